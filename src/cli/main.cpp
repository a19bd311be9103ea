// quorbel-cli: the program's script and session operations, and a microphone check, without
// the window.

#include "analysiscache.h"
#include "defaultinput.h"
#include "error.h"
#include "exportcommand.h"
#include "json.h"
#include "qtaudioinput.h"
#include "quorbelversion.h"
#include "scriptimport.h"
#include "sessiondisk.h"
#include "takefile.h"
#include "terminationwatcher.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QMediaDevices>
#include <QRegularExpression>
#include <QStringList>
#include <QTimer>
#include <QUuid>

#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>

using namespace Qt::Literals::StringLiterals;

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
  takes FOLDER [--json]
                      Check every take of the session: one row per take with its line,
                      take number, "*" for the chosen one, duration, peak (dBFS), noise
                      floor (dB) and what it needs attention for (clipped, too-quiet,
                      noisy, starts-cut-off, ends-cut-off, no-speech), or why it could
                      not be checked. --json prints the same as a JSON array. Uses and
                      updates the measures kept in the folder's analysis.json.
  export FOLDER DIR [--profile as-recorded|ljspeech] [--rate HZ] [--bits 16|24]
         [--trim SECONDS|--no-trim] [--loudness LUFS|--no-loudness] [--jobs N]
                      Export the session into a new folder "Quorbel-Export-XXXXXXXX"
                      inside DIR. as-recorded, the default, copies every chosen take
                      exactly as the program's export does. ljspeech writes
                      wavs/<id>.wav and metadata.csv (id|text|text) for speech
                      training, converted: --rate 48000, 44100, 24000, 22050 or 16000
                      (default 22050); --bits 16, dithered, or 24 (default 16);
                      silence trimmed to --trim seconds around the speech (default
                      0.2); loudness brought to --loudness LUFS (default -23) with the
                      true peak at most -1 dBTP; --jobs takes at once (default: one
                      per core). Progress goes to standard error on a terminal;
                      Ctrl+C cancels, leaving EXPORT-INCOMPLETE.txt.
  devices             List the input devices, one a line: description, then the device's
                      ID in brackets. The one the program records from, the system's
                      default input, is marked with "* ". With no input device at all,
                      print "No microphone detected." and exit 1.
  record FILE [--seconds S]
                      Record from that same input into a new take file FILE (mono,
                      48 kHz, 24-bit WAV; an existing file is never overwritten), as
                      the program does, until S seconds have passed or Ctrl+C. Prints
                      the microphone's name, then the take's duration and its peak and
                      average level in dBFS over the whole take (-160 is silence),
                      and a verdict on the level and the room, as the program's
                      microphone check gives it.
                      When the microphone goes away during the take, the audio until
                      then is kept, a note on standard error says so, and the exit
                      code is 3.
  help                Show this text (also --help, -h).
  --version           Show the version.

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

/// A command line that cannot be followed: says why, then how the commands go.
int usageError(const QString &mistake)
{
    writeOut(stderr, mistake.toUtf8() + '\n' + usage);
    return 2;
}

/// What is wrong with a command line that no command took.
QString mistakeIn(const QStringList &args)
{
    if (args.isEmpty())
        return QStringLiteral("No command given.");
    // The usage text names every command and option, so they are read from it.
    static const QRegularExpression commandLines(
        QStringLiteral(R"(^  ([a-z]+) )"), QRegularExpression::MultilineOption);
    static const QRegularExpression options(QStringLiteral(R"(--[a-z-]+)"));
    const QString text = QString::fromUtf8(usage);
    QStringList known;
    for (const auto &match : commandLines.globalMatch(text))
        known.append(match.captured(1));
    if (!known.contains(args.first()))
        return u"Unknown command “%1”."_s.arg(args.first());
    known.clear();
    for (const auto &match : options.globalMatch(text))
        known.append(match.captured());
    for (const QString &arg : args.mid(1)) {
        if (arg.startsWith(u"--") && !known.contains(arg))
            return u"Unknown option “%1”."_s.arg(arg);
    }
    return u"Wrong arguments for “%1”; see its line below."_s.arg(args.first());
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

int takes(const QString &folder, bool json)
{
    const Session session = SessionDisk::load(folder);
    const AnalysisCache::Entries cached = AnalysisCache::load(folder);
    AnalysisCache::Entries checked;
    QString text;
    const std::optional<QByteArray> document
        = Json::writeToBytes<Json::CompactWriter>([&](auto &w, auto &) {
              w.StartArray();
              for (const ScriptLine &line : session.script.lines) {
                  const auto listed = session.takes.constFind(line.id);
                  if (listed == session.takes.cend())
                      continue;
                  const QList<Take> &lineTakes = *listed;
                  const Take *chosen = session.chosen(line.id);
                  for (qsizetype i = 0; i < lineTakes.size(); ++i) {
                      const Take &take = lineTakes.at(i);
                      const auto found = cached.constFind(take.file);
                      const AnalysisCache::Entry entry
                          = AnalysisCache::check(SessionDisk::takePath(folder, take.file),
                              found == cached.cend() ? nullptr : &found.value());
                      checked.insert(take.file, entry);
                      const bool isChosen = chosen == &take;
                      const Analysis::Report &r = entry.report;
                      const QStringList flags = Analysis::flagNames(entry.flags());
                      const QString measures = entry.failure.isEmpty()
                          ? u"%1 dBFS\t%2 dB\t%3"_s.arg(r.peakDb, 0, 'f', 1)
                                .arg(r.noiseFloorDb, 0, 'f', 1)
                                .arg(flags.isEmpty() ? u"ok"_s : flags.join(u','))
                          : u"could not check: "_s + entry.failure;
                      text += u"%1\t%2\t%3\t%4 s\t%5\n"_s.arg(line.id)
                                  .arg(i + 1)
                                  .arg(isChosen ? u"*"_s : u"-"_s)
                                  .arg(take.duration, 0, 'f', 2)
                                  .arg(measures);
                      w.StartObject();
                      Json::key(w, "line");
                      Json::writeString(w, line.id);
                      Json::key(w, "take");
                      w.Int64(i + 1);
                      Json::key(w, "file");
                      Json::writeString(w, take.file);
                      Json::key(w, "chosen");
                      w.Bool(isChosen);
                      Json::key(w, "duration");
                      w.Double(take.duration);
                      if (entry.failure.isEmpty()) {
                          Json::key(w, "peak");
                          w.Double(r.peakDb);
                          Json::key(w, "noiseFloor");
                          w.Double(r.noiseFloorDb);
                      } else {
                          Json::key(w, "failure");
                          Json::writeString(w, entry.failure);
                      }
                      Json::key(w, "flags");
                      w.StartArray();
                      for (const QString &flag : flags)
                          Json::writeString(w, flag);
                      w.EndArray();
                      w.EndObject();
                  }
              }
              return w.EndArray();
          });
    if (!document)
        return fail(QStringLiteral("The session holds text that is not valid Unicode."));
    // The measures are kept for next time; the window may write the same file meanwhile, and
    // each write replaces it whole.
    if (checked != cached) {
        try {
            AnalysisCache::save(folder, checked);
        } catch (const Error &error) {
            writeOut(stderr, error.description().toUtf8() + '\n');
        }
    }
    return print(json ? QString::fromUtf8(*document) + u'\n' : text);
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
    QString verdict;
    try {
        verdict = Analysis::verdict(Analysis::analyseFile(path));
    } catch (const Error &error) {
        verdict = u"Could not check this take: "_s + error.description();
    }
    const int judged = printed != 0 ? printed : print(u"Verdict: "_s + verdict + u'\n');
    if (!failure.isEmpty())
        writeOut(stderr, failure.toUtf8() + '\n');
    return judged != 0 ? judged : exitCode;
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
    if (args.size() == 1 && command == u"--version")
        return print(QStringLiteral("quorbel-cli " QUORBEL_VERSION "\n"));
    try {
        if (command == u"check" && args.size() == 2)
            return check(args[1]);
        if (command == u"info" && args.size() == 2)
            return info(args[1]);
        if (command == u"export") {
            const auto parsed = ExportCommand::parse(args.mid(1));
            if (const auto *request = std::get_if<ExportCommand::Request>(&parsed))
                return ExportCommand::run(*request);
            if (!std::get<QString>(parsed).isEmpty())
                return usageError(std::get<QString>(parsed));
        }
        if (command == u"takes" && (args.size() == 2 || (args.size() == 3 && args[2] == u"--json")))
            return takes(args[1], args.size() == 3);
        if (command == u"devices" && args.size() == 1)
            return devices();
        if (command == u"record" && args.size() == 2)
            return record(args[1], 0);
        if (command == u"record" && args.size() == 4 && args[2] == u"--seconds") {
            if (const std::optional<double> seconds = parseSeconds(args[3]))
                return record(args[1], *seconds);
            return usageError(
                u"--seconds needs a number of seconds greater than 0, not “%1”."_s.arg(args[3]));
        }
    } catch (const Error &error) {
        return fail(error.description());
    }
    return usageError(mistakeIn(args));
}
