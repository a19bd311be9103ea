// ScriptImport::read on any bytes, as a file of the extension QUORBEL_FUZZ_EXTENSION names.
// Whatever the import accepts must be a valid script that the program can write as JSON and
// read back unchanged; whatever it refuses, it refuses with an error, having written nothing.

#include "fuzzing.h"
#include "json.h"
#include "scriptimport.h"

#ifndef QUORBEL_FUZZ_EXTENSION
#    error "QUORBEL_FUZZ_EXTENSION names the extension the input is imported under"
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QString folder = Fuzz::scratch(QStringLiteral(QUORBEL_FUZZ_EXTENSION));
    Script script;
    if (!Fuzz::readInput(folder, QStringLiteral("script." QUORBEL_FUZZ_EXTENSION), data, size,
            [&script](const QString &path) { script = ScriptImport::read(path); }))
        return 0;
    Fuzz::check(Fuzz::holds([&script] { return &ScriptImport::validate(script) == &script; }),
        "an imported script is valid");
    const std::optional<QByteArray> json = Json::writeToBytes<Json::CompactWriter>(
        [&script](auto &writer, auto &) { return Json::writeScript(writer, script); });
    Fuzz::check(json && Fuzz::holds([&] {
        return Json::readScript(Json::Document(*json, "script.json").root()) == script;
    }),
        "an imported script is written as JSON and reads back unchanged");
    return 0;
}
