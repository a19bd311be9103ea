#include "exportcommand.h"

#include "error.h"
#include "sessiondisk.h"
#include "terminationwatcher.h"

#include <QDir>
#include <QEventLoop>
#include <QUuid>

#include <atomic>
#include <cstdio>
#include <exception>
#include <functional>
#include <thread>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace ExportCommand {

namespace {

bool writeOut(std::FILE *stream, QByteArrayView bytes)
{
    return std::fwrite(bytes.data(), 1, size_t(bytes.size()), stream) == size_t(bytes.size())
        && std::fflush(stream) == 0;
}

/// An option of the command: the setting it gives (options that contradict each other give
/// the same one) and how it reads its value; an option without a value reads an empty text.
struct Option
{
    QString name;
    QString setting;
    /// The message for a value it cannot read, with %1 for the value; empty: takes no value.
    QString badValue;
    std::function<bool(const QString &value, Exporting::ExportOptions &options)> apply;
};

bool readInt(const QString &text, int &to)
{
    bool ok = false;
    to = text.toInt(&ok);
    return ok;
}

bool readDouble(const QString &text, double &to)
{
    bool ok = false;
    to = text.toDouble(&ok);
    return ok;
}

const QList<Option> &options()
{
    using Exporting::ExportOptions;
    using Exporting::Profile;
    static const QList<Option> list = {
        {u"--profile"_s, u"profile"_s, u"The profile must be as-recorded or ljspeech, not “%1”."_s,
            [](const QString &v, ExportOptions &o) {
                o.profile = v == u"ljspeech" ? Profile::LJSpeech : Profile::AsRecorded;
                return v == u"ljspeech" || v == u"as-recorded";
            }},
        {u"--rate"_s, u"rate"_s, u"--rate needs a whole number of hertz, not “%1”."_s,
            [](const QString &v, ExportOptions &o) { return readInt(v, o.sampleRate); }},
        {u"--bits"_s, u"bits"_s, u"--bits needs a whole number, not “%1”."_s,
            [](const QString &v, ExportOptions &o) { return readInt(v, o.bits); }},
        {u"--trim"_s, u"trim"_s, u"--trim needs a number of seconds, not “%1”."_s,
            [](const QString &v, ExportOptions &o) {
                return readDouble(v, o.trimPadding.emplace());
            }},
        {u"--no-trim"_s, u"trim"_s, {},
            [](const QString &, ExportOptions &o) {
                o.trimPadding.reset();
                return true;
            }},
        {u"--loudness"_s, u"loudness"_s, u"--loudness needs a number of LUFS, not “%1”."_s,
            [](const QString &v, ExportOptions &o) {
                return readDouble(v, o.loudnessLufs.emplace());
            }},
        {u"--no-loudness"_s, u"loudness"_s, {},
            [](const QString &, ExportOptions &o) {
                o.loudnessLufs.reset();
                return true;
            }},
        {u"--jobs"_s, u"jobs"_s, u"--jobs needs a whole number, not “%1”."_s,
            [](const QString &v, ExportOptions &o) { return readInt(v, o.jobs); }},
    };
    return list;
}

} // namespace

std::variant<Request, QString> parse(const QStringList &arguments)
{
    Request request;
    QStringList folders;
    QHash<QString, QString> given; // setting → the option that gave it
    QString firstAudioOption;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments[i];
        if (!argument.startsWith(u"--")) {
            folders.append(argument);
            continue;
        }
        const auto option = std::find_if(options().begin(), options().end(),
            [&](const Option &o) { return o.name == argument; });
        if (option == options().end())
            return u"Unknown option “%1”."_s.arg(argument);
        if (given.contains(option->setting))
            return u"%1 after %2: give each option once."_s.arg(
                argument, given.value(option->setting));
        given.insert(option->setting, argument);
        QString value;
        if (!option->badValue.isEmpty()) {
            if (++i == arguments.size())
                return u"%1 needs a value."_s.arg(argument);
            value = arguments[i];
        }
        if (!option->apply(value, request.options))
            return option->badValue.arg(value);
        if (option->setting != u"profile" && firstAudioOption.isEmpty())
            firstAudioOption = argument;
    }
    if (folders.size() != 2)
        return QString();
    // An empty folder name would export into whatever folder the command runs in.
    if (folders[1].isEmpty())
        return u"The folder to export into is empty."_s;
    if (request.options.profile == Exporting::Profile::AsRecorded && !firstAudioOption.isEmpty())
        return u"%1 applies only to --profile ljspeech."_s.arg(firstAudioOption);
    if (const QString problem = Exporting::validationError(request.options); !problem.isEmpty())
        return problem;
    request.session = folders[0];
    request.parent = folders[1];
    return request;
}

int run(const Request &request)
{
    const Session session = SessionDisk::load(request.session);
    const QString destination
        = QDir(request.parent).absoluteFilePath(SessionDisk::exportFolderName(QUuid::createUuid()));

    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    std::atomic<bool> cancel = false;
    const Exporting::Progress progress = [&](int done, int total) {
        if (terminal && total > 0)
            writeOut(stderr, u"\rExporting %1 of %2…"_s.arg(done).arg(total).toUtf8());
        return !cancel;
    };
    // Ctrl+C and SIGTERM cancel the export, which then leaves what it finished and says so in
    // EXPORT-INCOMPLETE.txt; the export runs on a thread of its own meanwhile. Without the
    // watcher they end the program as they do by default.
    TerminationWatcher stopRequested;
    (void)stopRequested.start();
    QEventLoop loop;
    QObject::connect(&stopRequested, &TerminationWatcher::requested, &loop, [&] { cancel = true; });
    int exported = 0;
    std::exception_ptr failure;
    std::thread exporting([&] {
        try {
            exported = Exporting::exportSession(
                session, request.session, destination, request.options, progress);
        } catch (...) {
            failure = std::current_exception();
        }
        QMetaObject::invokeMethod(
            &loop, [&loop] { loop.quit(); }, Qt::QueuedConnection);
    });
    loop.exec();
    exporting.join();
    if (terminal)
        writeOut(stderr, "\n");
    if (failure)
        std::rethrow_exception(failure);
    const QString text = u"Exported %1 of %2 lines.\n%3\n"_s.arg(exported)
                             .arg(session.script.lines.size())
                             .arg(destination);
    if (writeOut(stdout, text.toUtf8()))
        return 0;
    writeOut(stderr, "Could not write to standard output.\n");
    return 1;
}

} // namespace ExportCommand
