// bench-export-profiles [--dir PATH] [--takes N]: times the LJSpeech export of 2,000
// ten-second takes (22,050 Hz, 16-bit, trimmed, −23 LUFS, one job per core) next to sox doing
// only the resampling and dither of the same files, one process per file (`sox in.wav -r 22050
// -b 16 out.wav`, as people script it), one after another and with `xargs -P $(nproc)`; and the
// "As recorded" export next to `cp -r` of the takes folder.

#include "benchsupport.h"
#include "speechtakes.h"
#include "exportprofile.h"

#include <QDirIterator>
#include <QProcess>
#include <QUuid>

#include <cmath>
#include <cstdio>
#include <numbers>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace {

constexpr int takeSeconds = 10;

// The full pipeline trims and normalises as well, yet it must beat sox's resampling alone run
// on every core; and copying the takes as they are may cost at most a little more than cp.
constexpr double maxAsRecordedOverCp = 1.2;

Session makeSessionFolder(const QString &folder, int takes)
{
    if (!QDir().mkpath(QDir(folder).filePath(QStringLiteral("takes"))))
        throw std::runtime_error("Could not create " + folder.toStdString());
    QRandomGenerator random(20261208);
    QList<QList<qint32>> lines;
    for (int i = 0; i < 20; ++i)
        lines.append(Bench::speechLike(random, takeSeconds));
    Bench::Prose prose(20261208);
    Session session;
    session.script.title = QStringLiteral("Export profiles benchmark");
    for (int i = 0; i < takes; ++i) {
        const QString id = QStringLiteral("line-%1").arg(i + 1, 4, 10, QLatin1Char('0'));
        session.script.lines.append(
            {id, prose.text(80, [](QStringView text) { return text.size(); }), std::nullopt});
        const QString file = QStringLiteral("takes/%1.wav").arg(id);
        Bench::writeTake(QDir(folder).filePath(file), lines[i % lines.size()], random);
        session.takes[id] = {{QUuid::createUuid().toString(QUuid::WithoutBraces), file,
            double(takeSeconds), QDateTime::currentDateTimeUtc()}};
    }
    SessionDisk::save(session, folder);
    return session;
}

/// Runs a command through the shell and waits for it; throws when it fails.
void shell(const QString &command)
{
    QProcess process;
    process.start(QStringLiteral("sh"), {QStringLiteral("-c"), command});
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0)
        throw std::runtime_error(
            command.toStdString() + " failed: " + process.readAllStandardError().toStdString());
}

qsizetype wavCount(const QString &folder)
{
    qsizetype count = 0;
    QDirIterator files(
        folder, {QStringLiteral("*.wav")}, QDir::Files, QDirIterator::Subdirectories);
    for (; files.hasNext(); files.next())
        ++count;
    return count;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Times the LJSpeech export next to sox, and As recorded next to cp -r."));
    parser.addHelpOption();
    const QCommandLineOption dirOption(QStringLiteral("dir"),
        QStringLiteral("Create the working folder inside <path> (default: ./build)."),
        QStringLiteral("path"));
    const QCommandLineOption takesOption(QStringLiteral("takes"),
        QStringLiteral("How many ten-second takes (default 2000)."), QStringLiteral("n"),
        QStringLiteral("2000"));
    parser.addOptions({dirOption, takesOption});
    parser.process(app);
    const int takes = std::max(1, parser.value(takesOption).toInt());

    return Bench::guarded([&] {
        const auto work = Bench::workFolder(parser.value(dirOption));
        if (!work)
            return 1;
        const QString from = work->filePath(QStringLiteral("session"));
        const double writing = Bench::milliseconds([&] { (void)makeSessionFolder(from, takes); });
        const Session session = SessionDisk::load(from);
        const int cores = int(std::max(1u, std::thread::hardware_concurrency()));
        std::printf("%d takes of %d s, mono 48 kHz 24-bit (%.0f MB), written in %.1f s; %d "
                    "cores\n",
            takes, takeSeconds, takes * (44.0 + takeSeconds * Bench::takeRate * Bench::takeBytesPerSample) / 1e6,
            writing / 1e3, cores);
        // Every contender finds the takes in the page cache, as after a read of them all.
        shell(QStringLiteral("cat '%1'/takes/*.wav > /dev/null").arg(from));

        Exporting::ExportOptions ljspeech;
        ljspeech.profile = Exporting::Profile::LJSpeech;
        int exported = 0;
        const QString ours = work->filePath(QStringLiteral("ljspeech"));
        const double pipeline = Bench::milliseconds(
            [&] { exported = Exporting::exportSession(session, from, ours, ljspeech); });
        if (exported != takes || wavCount(ours) != takes)
            throw std::runtime_error("The LJSpeech export wrote the wrong number of files");
        QDir(ours).removeRecursively();

        const auto sox = [&](int jobs) {
            const QString out = work->filePath(QStringLiteral("sox-%1").arg(jobs));
            QDir().mkpath(out);
            const double ms = Bench::milliseconds([&] {
                shell(QStringLiteral("cd '%1'/takes && ls | xargs -P %2 -I{} sox {} -r 22050 -b 16 "
                                     "'%3'/{}")
                          .arg(from)
                          .arg(jobs)
                          .arg(out));
            });
            if (wavCount(out) != takes)
                throw std::runtime_error("sox wrote the wrong number of files");
            QDir(out).removeRecursively();
            return ms;
        };
        const double soxOne = sox(1);
        const double soxAll = sox(cores);
        const auto line = [&](const char *what, double ms) {
            std::printf("%-58s %9.1f s  %6.2f ms a take  %5.0f × real time\n", what, ms / 1e3,
                ms / takes, takes * takeSeconds * 1e3 / ms);
        };
        line("LJSpeech export (trim, resample, loudness, dither)", pipeline);
        line("sox resample + dither, one file at a time", soxOne);
        line("sox resample + dither, xargs -P cores", soxAll);
        std::printf("LJSpeech export / sox on every core: %.2f (target < 1: %s)\n",
            pipeline / soxAll, Bench::verdict(pipeline < soxAll));

        // As recorded against cp -r, taking turns over a few rounds, each after a sync.
        QList<double> asRecorded, cp;
        for (int run = 0; run < 3; ++run) {
            const QString a = work->filePath(QStringLiteral("as-recorded-%1").arg(run));
            const QString c = work->filePath(QStringLiteral("cp-%1").arg(run));
            ::sync();
            asRecorded.append(
                Bench::milliseconds([&] { (void)Exporting::exportSession(session, from, a, {}); }));
            ::sync();
            cp.append(Bench::milliseconds(
                [&] { shell(QStringLiteral("cp -r '%1'/takes '%2'").arg(from, c)); }));
            QDir(a).removeRecursively();
            QDir(c).removeRecursively();
        }
        const double ratio = Bench::median(asRecorded) / Bench::median(cp);
        std::printf("As recorded: %.1f ms, cp -r takes: %.1f ms (medians of 3); ratio %.2f "
                    "(target ≤ %.1f: %s)\n",
            Bench::median(asRecorded), Bench::median(cp), ratio, maxAsRecordedOverCp,
            Bench::verdict(ratio <= maxAsRecordedOverCp));
        return 0;
    });
}
