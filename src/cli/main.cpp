// quorbel-cli: the program's script and session operations, and a microphone check, without
// the window.

#include "defaultinput.h"
#include "error.h"
#include "json.h"
#include "qtaudioinput.h"
#include "scriptimport.h"
#include "sessiondisk.h"
#include "takefile.h"
#include "terminationwatcher.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QMediaDevices>
#include <QStringList>
#include <QTimer>
#include <QUuid>

#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>

namespace {

constexpr char usage[] = R"(Usage: quorbel-cli COMMAND [ARGUMENTS]

Commands:
  check FILE          Read a script file (.txt, .csv or .json) exactly as the program's
                      import does. On success, print the script as JSON and exit 0;
                      otherwise print what is wrong with it and exit 1.
  info FOLDER         Load and check the session in a session folder and print its title,
                      line count, recorded lines, takes, current line and the number of
                      takes whose audio file is missing; then the takes in its takes
                      folder that the session does not name and that opening it in the
                      program recovers, each with its length. Nothing is written.
  export FOLDER DIR   Export the session into a new folder "Quorbel-Export-XXXXXXXX"
                      inside DIR, exactly as the program's export does.
  devices             List the input devices, one a line: description, then the device's
                      ID in brackets. The one the program records from, the system's
                      default input, is marked with "* ". With no input device at all,
                      print "No microphone detected." and exit 1.
  record FILE [--seconds S]
                      Record from that same input into a new take file FILE (mono,
                      48 kHz, 24-bit WAV; an existing file is never overwritten), as
                      the program does, until S seconds have passed or Ctrl+C. Prints
                      the microphone's name, then the take's duration and its peak and
                      average level in dBFS over the whole take (-160 is silence).
                      When the microphone goes away during the take, the audio until
                      then is kept, a note on standard error says so, and the exit
                      code is 3.
  help                Show this text (also --help, -h).

Check a script before a recording day: every rule the import applies is checked,
and the message names what to mend. Every failure is printed on standard error
and ends with exit code 1.
)";

// Exit code of a take that the microphone's going away ended early, its audio kept.
constexpr int interruptedExit = 3;

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
    const QString text = QStringLiteral("Title: %1\nLines: %2\nRecorded: %3\nTakes: %4\n"
                                        "Current line: %5\nMissing audio files: %6\n")
                             .arg(session.script.title)
                             .arg(session.script.lines.size())
                             .arg(session.recordedCount())
                             .arg(session.takeCount())
                             .arg(session.index + 1)
                             .arg(SessionDisk::missingAudioCount(session, folder));
    // Measured as the program measures them when it files them again, but left as they are.
    QStringList recoverable;
    const auto measure = [](const QString &path) {
        const Platform::AudioFileInfo length = WavRecording::completeLength(path, false);
        return std::pair(length.frames, length.sampleRate);
    };
    for (const SessionDisk::Orphan &orphan : SessionDisk::orphanedTakes(session, folder, measure))
        recoverable.append(QStringLiteral("  %1 (%2 s)\n")
                               .arg(orphan.take.file)
                               .arg(orphan.take.duration, 0, 'f', 1));
    return print(text + QStringLiteral("Takes to recover: %1\n").arg(recoverable.size())
        + recoverable.join(QString()));
}

int exportSession(const QString &folder, const QString &parent)
{
    const Session session = SessionDisk::load(folder);
    const QString destination
        = QDir(parent).absoluteFilePath(SessionDisk::exportFolderName(QUuid::createUuid()));
    const int copied = SessionDisk::exportTo(session, folder, destination);
    return print(QStringLiteral("Exported %1 of %2 lines.\n%3\n")
                     .arg(copied)
                     .arg(session.script.lines.size())
                     .arg(destination));
}

int devices()
{
    const QList<QAudioDevice> inputs = QMediaDevices::audioInputs();
    if (inputs.isEmpty())
        return fail(QStringLiteral("No microphone detected."));
    const QAudioDevice chosen = systemDefaultInput();
    QString text;
    for (const QAudioDevice &device : inputs) {
        text += QStringLiteral("%1%2 (%3)\n")
                    .arg(device == chosen ? QStringLiteral("* ") : QStringLiteral("  "),
                        device.description(), QString::fromUtf8(device.id()));
    }
    return print(text);
}

int record(const QString &file, double seconds)
{
    QtAudioInput input;
    const Platform::DefaultInput microphone = input.defaultInput();
    if (!microphone.present)
        return fail(QStringLiteral("No microphone detected."));
    const QString path = QFileInfo(file).absoluteFilePath();
    const std::unique_ptr<Platform::Recorder> recorder = input.makeRecorder(path);
    // Ctrl+C and SIGTERM end a recording through the event loop, so the take is kept.
    TerminationWatcher stopRequested;
    if (!stopRequested.start())
        return fail(
            QStringLiteral("Could not prepare for Ctrl+C: %1").arg(stopRequested.failure()));

    QEventLoop loop;
    int exitCode = 0;
    QString failure;
    const auto stop = [&] {
        if (const std::optional<QString> stopped = recorder->stop()) {
            exitCode = 1;
            failure = *stopped;
        }
        loop.quit();
    };
    QObject::connect(&stopRequested, &TerminationWatcher::requested, &loop, stop);
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.setTimerType(Qt::PreciseTimer);
    QObject::connect(&deadline, &QTimer::timeout, &loop, stop);
    QObject::connect(recorder.get(), &Platform::Recorder::finished, &loop, [&](bool success) {
        if (success) {
            exitCode = interruptedExit;
            failure = QStringLiteral("The microphone went away: the recording was interrupted, "
                                     "and the audio until then is kept in “%1”.")
                          .arg(path);
        } else {
            exitCode = 1;
            failure = QStringLiteral("The microphone went away before it recorded anything.");
        }
        loop.quit();
    });
    QObject::connect(
        recorder.get(), &Platform::Recorder::encodeError, &loop, [&](const QString &description) {
            exitCode = 1;
            failure = description.isEmpty() ? QStringLiteral("Could not write “%1”.").arg(path)
                                            : description;
            loop.quit();
        });

    if (!recorder->record())
        return fail(
            QStringLiteral("The microphone “%1” would not start recording.").arg(microphone.name));
    if (print(QStringLiteral("Microphone: %1\nRecording: %2\n").arg(microphone.name, path)) != 0)
        return 1;
    if (seconds > 0)
        deadline.start(int(std::ceil(seconds * 1000)));
    loop.exec();

    if (exitCode == 1 && recorder->currentTime() <= 0) {
        // Not a single frame: what is there is no take, at most a header.
        QFile::remove(path);
        return fail(failure);
    }
    if (exitCode == 1)
        return fail(failure
            + QStringLiteral("\nThe take was cut short: kept %1 s in “%2”.")
                  .arg(recorder->currentTime(), 0, 'f', 1)
                  .arg(path));
    // One reading over the whole take: the meters fold every sample since they were last read.
    recorder->updateMeters();
    const int printed = print(QStringLiteral("Duration: %1 s\nPeak: %2 dBFS\nAverage: %3 dBFS\n")
                                  .arg(recorder->currentTime(), 0, 'f', 2)
                                  .arg(double(recorder->peakPower()), 0, 'f', 1)
                                  .arg(double(recorder->averagePower()), 0, 'f', 1));
    if (!failure.isEmpty())
        writeOut(stderr, failure.toUtf8() + '\n');
    return printed != 0 ? printed : exitCode;
}

/// Seconds from the text of --seconds: a positive number, or nothing.
std::optional<double> parseSeconds(const QString &text)
{
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    return ok && seconds > 0 && seconds < 1e6 ? std::optional(seconds) : std::nullopt;
}

// Qt's sound backend tells its own troubles (no sound server, a buffer overflow) on standard
// error; the commands say what matters to the person in their own words instead.
void quietQt(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtFatalMsg)
        writeOut(stderr, message.toUtf8() + '\n');
}

} // namespace

int main(int argc, char *argv[])
{
    qInstallMessageHandler(quietQt);
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
        // An empty folder name would export into whatever folder the command runs in.
        if (command == u"export" && args.size() == 3 && args[2].isEmpty()) {
            writeOut(stderr, "The folder to export into is empty.\n");
        } else if (command == u"export" && args.size() == 3) {
            return exportSession(args[1], args[2]);
        }
        if (command == u"devices" && args.size() == 1)
            return devices();
        if (command == u"record" && args.size() == 2)
            return record(args[1], 0);
        if (command == u"record" && args.size() == 4 && args[2] == u"--seconds") {
            if (const std::optional<double> seconds = parseSeconds(args[3]))
                return record(args[1], *seconds);
        }
    } catch (const Error &error) {
        return fail(error.description());
    }
    writeOut(stderr, usage);
    return 2;
}
