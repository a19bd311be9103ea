// quorbel-cli: the program's script and session operations without the window.

#include "error.h"
#include "json.h"
#include "scriptimport.h"
#include "sessiondisk.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStringList>
#include <QUuid>

#include <cstdio>

namespace {

constexpr char usage[] = R"(Usage: quorbel-cli COMMAND [ARGUMENTS]

Commands:
  check FILE          Read a script file (.txt, .csv or .json) exactly as the program's
                      import does. On success, print the script as JSON and exit 0;
                      otherwise print what is wrong with it and exit 1.
  info FOLDER         Load and check the session in a session folder and print its title,
                      line count, recorded lines, takes, current line and the number of
                      takes whose audio file is missing.
  export FOLDER DIR   Export the session into a new folder "Quorbel-Export-XXXXXXXX"
                      inside DIR, exactly as the program's export does.
  help                Show this text (also --help, -h).

Check a script before a recording day: every rule the import applies is checked,
and the message names what to mend. Every failure is printed on standard error
and ends with exit code 1.
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

int print(const QString &text)
{
    return writeOut(stdout, text.toUtf8())
        ? 0
        : fail(QStringLiteral("Could not write to standard output."));
}

int check(const QString &path)
{
    const Script script = ScriptImport::read(path);
    const std::optional<QByteArray> json = Json::writeToBytes<Json::PrettyWriter>(
        [&script](auto &writer, auto &) { return Json::writeScript(writer, script); });
    if (!json)
        return fail(QStringLiteral("The script holds text that is not valid Unicode."));
    return print(QString::fromUtf8(*json) + u'\n');
}

int info(const QString &folder)
{
    const Session session = SessionDisk::load(folder);
    const QDir dir(folder);
    qsizetype recorded = 0, takes = 0, missing = 0;
    for (const ScriptLine &line : session.script.lines)
        recorded += session.chosen(line.id) ? 1 : 0;
    for (const QList<Take> &list : session.takes) {
        takes += list.size();
        for (const Take &take : list)
            missing += QFileInfo::exists(dir.filePath(take.file)) ? 0 : 1;
    }
    const QString text = QStringLiteral("Title: %1\nLines: %2\nRecorded: %3\nTakes: %4\n"
                                        "Current line: %5\nMissing audio files: %6\n")
                             .arg(session.script.title)
                             .arg(session.script.lines.size())
                             .arg(recorded)
                             .arg(takes)
                             .arg(session.index + 1)
                             .arg(missing);
    return print(text);
}

int exportSession(const QString &folder, const QString &parent)
{
    const Session session = SessionDisk::load(folder);
    const QString name = QStringLiteral("Quorbel-Export-")
        + QUuid::createUuid().toString(QUuid::WithoutBraces).left(8).toUpper();
    const QString destination = QDir(parent).absoluteFilePath(name);
    try {
        const int copied = SessionDisk::exportTo(session, folder, destination);
        const QString text = QStringLiteral("Exported %1 of %2 lines.\n%3\n")
                                 .arg(copied)
                                 .arg(session.script.lines.size())
                                 .arg(destination);
        return print(text);
    } catch (const Error &error) {
        return fail(QStringLiteral("Export incomplete: ") + error.description());
    }
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
        if (command == u"info" && args.size() == 2)
            return info(args[1]);
        if (command == u"export" && args.size() == 3)
            return exportSession(args[1], args[2]);
    } catch (const Error &error) {
        return fail(error.description());
    }
    writeOut(stderr, usage);
    return 2;
}
