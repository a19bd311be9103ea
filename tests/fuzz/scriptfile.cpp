// ScriptImport::read on any bytes, as a file of the extension QUORBEL_FUZZ_EXTENSION names.
// Whatever the import accepts must be a valid script that the program can write as JSON and
// read back unchanged; whatever it refuses, it refuses with an error, having written nothing.

#include "apperror.h"
#include "fuzzing.h"
#include "json.h"
#include "scriptimport.h"

#ifndef QUORBEL_FUZZ_EXTENSION
#    error "QUORBEL_FUZZ_EXTENSION names the extension the input is imported under"
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QString folder = Fuzz::scratch(QStringLiteral(QUORBEL_FUZZ_EXTENSION));
    static const QString name = QStringLiteral("script." QUORBEL_FUZZ_EXTENSION);
    const QString path = QDir(folder).filePath(name);
    Fuzz::writeFile(path, data, size);

    Script script;
    try {
        script = ScriptImport::read(path);
    } catch (const Error &) {
        Fuzz::check(Fuzz::entries(folder) == QStringList {name}, "a refused import writes nothing");
        return 0;
    }
    Fuzz::check(Fuzz::entries(folder) == QStringList {name}, "an import writes nothing");
    try {
        (void)ScriptImport::validate(script);
    } catch (const AppError &) {
        Fuzz::broken("an imported script is valid");
    }

    const std::optional<QByteArray> json = Json::writeToBytes<Json::CompactWriter>(
        [&script](auto &writer, auto &) { return Json::writeScript(writer, script); });
    Fuzz::check(json.has_value(), "an imported script can be written as JSON");
    try {
        const Json::Document document(*json, QStringLiteral("script.json"));
        Fuzz::check(Json::readScript(document.root()) == script,
            "an imported script reads back from its JSON unchanged");
    } catch (const Error &) {
        Fuzz::broken("an imported script's JSON can be read");
    }
    return 0;
}
