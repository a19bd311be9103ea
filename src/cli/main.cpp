// quorbel-cli: the program's script and session operations without the window.

#include "error.h"
#include "json.h"
#include "scriptimport.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

namespace {

constexpr char usage[] = R"(Usage: quorbel-cli COMMAND [ARGUMENTS]

Commands:
  check FILE   Read a script file (.txt, .csv or .json) exactly as the program's import
               does. On success, print the script as JSON and exit 0; otherwise print
               what is wrong with it and exit 1.
  help         Show this text (also --help, -h).

Check a script before a recording day: every rule the import applies is checked,
and the message names what to mend.
)";

bool writeOut(std::FILE *stream, QByteArrayView bytes)
{
    return std::fwrite(bytes.data(), 1, size_t(bytes.size()), stream) == size_t(bytes.size())
        && std::fflush(stream) == 0;
}

int fail(const QString &message)
{
    writeOut(stderr, message.toUtf8() + '\n');
    return 1;
}

int check(const QString &path)
{
    const Script script = ScriptImport::read(path);
    const std::optional<QByteArray> json = Json::writeToBytes<Json::PrettyWriter>(
        [&script](auto &writer, auto &) { return Json::writeScript(writer, script); });
    if (!json)
        return fail(QStringLiteral("The script holds text that is not valid Unicode."));
    if (!writeOut(stdout, *json + '\n'))
        return fail(QStringLiteral("Could not write the script to standard output."));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    const QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const QString command = args.value(0);

    if (args.size() == 1 && (command == u"help" || command == u"--help" || command == u"-h")) {
        writeOut(stdout, usage);
        return 0;
    }
    try {
        if (command == u"check" && args.size() == 2)
            return check(args[1]);
    } catch (const Error &error) {
        return fail(error.description());
    }
    writeOut(stderr, usage);
    return 2;
}
