// bench-analysis [--dir PATH]: times the take analysis on 1,000 ten-second takes of speech-like
// sound (mono 48 kHz 24-bit), read cold from the disk and from the page cache, one take after
// another on one core; next to sox's stats on the same files, which reads and measures them
// too. And one ten-minute take, for the memory the analysis takes.

#include "benchsupport.h"
#include "speechtakes.h"
#include "error.h"
#include "takeanalysis.h"

#include <QFileInfo>
#include <QProcess>

#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <numbers>
#include <stdexcept>
#include <sys/resource.h>
#include <unistd.h>

namespace {

constexpr int takeCount = 1'000;
constexpr int takeSeconds = 10;

// The analysis runs after every take and over whole sessions; it must keep far ahead of the
// audio on one core, and cost less than a general tool that measures the same file.
constexpr double minTimesRealTime = 300;

/// Empties the page cache of `paths`: the whole system's when this process may, otherwise each
/// file's own pages. Says which.
void dropCaches(const QStringList &paths)
{
    ::sync();
    QFile control(QStringLiteral("/proc/sys/vm/drop_caches"));
    if (control.open(QIODevice::WriteOnly) && control.write("1\n") == 2 && control.flush()) {
        std::printf("Page cache dropped (/proc/sys/vm/drop_caches).\n");
        return;
    }
    std::printf("Dropping the page cache was not possible (%s); each file's pages are dropped "
                "with posix_fadvise(DONTNEED) instead.\n",
        qPrintable(control.errorString()));
    for (const QString &path : paths) {
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || ::fdatasync(fd) != 0 || ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) != 0)
            throw std::runtime_error("Could not drop the cache of " + path.toStdString());
        ::close(fd);
    }
}

/// Analyses every take once, in order; returns the milliseconds it took, and fails on a take
/// that does not read as the speech it holds.
double analyseAll(const QStringList &paths)
{
    unsigned flags = 0;
    const double elapsed = Bench::milliseconds([&] {
        for (const QString &path : paths)
            flags |= Analysis::analyseFile(path).flags;
    });
    if (flags != 0)
        throw std::runtime_error(
            "A take was flagged: " + Analysis::flagNames(flags).join(u", ").toStdString());
    return elapsed;
}

/// Runs `sox FILE -n stats` on every take, one after another; returns the milliseconds.
double soxAll(const QStringList &paths)
{
    return Bench::milliseconds([&] {
        for (const QString &path : paths) {
            QProcess sox;
            sox.start(QStringLiteral("sox"), {path, QStringLiteral("-n"), QStringLiteral("stats")});
            if (!sox.waitForFinished(-1) || sox.exitStatus() != QProcess::NormalExit
                || sox.exitCode() != 0)
                throw std::runtime_error("sox failed on " + path.toStdString() + ": "
                    + sox.readAllStandardError().toStdString());
        }
    });
}

double processCpuMs()
{
    struct rusage usage
    {
    };
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec * 1e3 + usage.ru_utime.tv_usec / 1e3 + usage.ru_stime.tv_sec * 1e3
        + usage.ru_stime.tv_usec / 1e3;
}

long maxResidentKb()
{
    struct rusage usage
    {
    };
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString parent = Bench::parseDirOption(app,
        QStringLiteral("Times the take analysis on 1,000 ten-second takes, cold and from the "
                       "page cache, next to sox's stats."));
    return Bench::guarded([&] {
        std::optional<QTemporaryDir> folder = Bench::workFolder(parent);
        if (!folder)
            return 1;
        QRandomGenerator random(20261208);
        QStringList paths;
        const auto writing = Bench::milliseconds([&] {
            // A few lines of speech, each used by many takes: the noise tells the files apart.
            QList<QList<qint32>> lines;
            for (int i = 0; i < 20; ++i)
                lines.append(Bench::speechLike(random, takeSeconds));
            for (int i = 0; i < takeCount; ++i) {
                paths.append(folder->filePath(
                    QStringLiteral("take-%1.wav").arg(i, 4, 10, QLatin1Char('0'))));
                Bench::writeTake(paths.last(), lines[i % lines.size()], random);
            }
        });
        const double audioSeconds = double(takeCount) * takeSeconds;
        std::printf("Wrote %d takes of %d s (%.0f MB) in %.1f s.\n", takeCount, takeSeconds,
            takeCount * (44.0 + takeSeconds * Bench::takeRate * Bench::takeBytesPerSample) / 1e6, writing / 1e3);
        const Analysis::Report sample = Analysis::analyseFile(paths.first());
        std::printf("One take: peak %.1f dBFS, speech %.1f dBFS, floor %.1f dBFS, speech "
                    "%.2f–%.2f s, flags: %s\n",
            sample.peakDb, sample.speechDb, sample.noiseFloorDb, sample.speechStart,
            sample.speechEnd, qPrintable(Analysis::flagNames(sample.flags).join(u", ")));

        const auto report = [&](const char *what, double ms, double cpuMs) {
            std::printf("%-28s %9.1f ms  %7.3f ms a take  %8.0f × real time (CPU %.1f ms)\n", what,
                ms, ms / takeCount, audioSeconds * 1e3 / ms, cpuMs);
        };
        dropCaches(paths);
        double cpu = processCpuMs();
        const double cold = analyseAll(paths);
        report("Analysis, cold from disk:", cold, processCpuMs() - cpu);

        analyseAll(paths); // brings every file into the page cache
        QList<double> warmRuns;
        cpu = processCpuMs();
        for (int run = 0; run < Bench::runs; ++run)
            warmRuns.append(analyseAll(paths));
        const double warm = Bench::median(warmRuns);
        report("Analysis, page cache:", warm, (processCpuMs() - cpu) / Bench::runs);

        const double sox = soxAll(paths);
        std::printf("%-28s %9.1f ms  %7.3f ms a take  %8.0f × real time\n",
            "sox stats, page cache:", sox, sox / takeCount, audioSeconds * 1e3 / sox);

        // Ten minutes in one take: the analysis reads in blocks, so its memory stays that of
        // its per-window levels, not the audio's.
        const QString longTake = folder->filePath(QStringLiteral("ten-minutes.wav"));
        {
            QFile file(longTake);
            const QList<qint32> speech = Bench::speechLike(random, takeSeconds);
            if (!file.open(QIODevice::WriteOnly) || file.write(Bench::takeHeader(60 * speech.size())) != 44)
                throw std::runtime_error("Could not write " + longTake.toStdString());
            file.close();
            for (int i = 0; i < 60; ++i) {
                const QString part = folder->filePath(QStringLiteral("part.wav"));
                Bench::writeTake(part, speech, random);
                QFile in(part);
                if (!in.open(QIODevice::ReadOnly) || !file.open(QIODevice::Append)
                    || file.write(in.readAll().mid(44)) != speech.size() * Bench::takeBytesPerSample)
                    throw std::runtime_error("Could not write " + longTake.toStdString());
                file.close();
                in.remove();
            }
        }
        const long residentBefore = maxResidentKb();
        const double longMs = Bench::milliseconds([&] { (void)Analysis::analyseFile(longTake); });
        std::printf("Ten-minute take (%.0f MB): %.1f ms; peak memory of the process %ld KB "
                    "before, %ld KB after\n",
            QFileInfo(longTake).size() / 1e6, longMs, residentBefore, maxResidentKb());

        const double timesRealTime = audioSeconds * 1e3 / warm;
        std::printf("From the page cache: %.0f × real time on one core (target ≥ %.0f): %s\n",
            timesRealTime, minTimesRealTime, Bench::verdict(timesRealTime >= minTimesRealTime));
        std::printf("Against sox's stats: %.2f of its time (target < 1): %s\n", warm / sox,
            Bench::verdict(warm < sox));
        return 0;
    });
}
