// bench-export [--dir PATH]: times exporting a 2,000-line session whose takes are one-second
// WAV files, next to cp copying the session's takes folder, and cp copying only the chosen
// takes, the least any export must write.

#include "benchsupport.h"
#include "speechtakes.h"
#include "sessiondisk.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QProcess>
#include <QUuid>

#include <cmath>
#include <cstdio>
#include <functional>
#include <numbers>
#include <stdexcept>
#include <unistd.h>

namespace {

constexpr qsizetype lineCount = 2'000;

// Exporting copies audio like any file manager would; it may cost at most a little more than
// cp copying the takes folder.
constexpr double maxExportOverCp = 1.2;

// One second of mono 24-bit audio at 48 kHz, after the 44-byte header.
constexpr int sampleRate = 48'000;
constexpr int bytesPerSample = 3;
constexpr qsizetype dataBytes = qsizetype(sampleRate) * bytesPerSample;

// How many exported WAVs are compared byte for byte with the takes they came from.
constexpr qsizetype checkedFiles = 50;

/// One second of a quiet tone under faint noise: every file differs from every other, so no
/// file system can share their blocks and a copy must move every byte.
QByteArray makeWav(const QList<qint32> &tone, QRandomGenerator &random)
{
    QByteArray wav = Bench::takeHeader(sampleRate);
    const qsizetype header = wav.size();
    wav.resize(header + dataBytes);
    char *out = wav.data() + header;
    // Four samples of noise, of at most ±128 (36 dB under the tone), from each random word.
    quint32 noise = 0;
    for (int i = 0; i < sampleRate; ++i) {
        if (i % 4 == 0)
            noise = random.generate();
        const quint32 sample = quint32(tone[i] + qint8(noise >> (8 * (i % 4))));
        for (int byte = 0; byte < bytesPerSample; ++byte)
            *out++ = char(sample >> (8 * byte) & 0xff);
    }
    return wav;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly) || file.write(bytes) != bytes.size()
        || !file.flush())
        throw std::runtime_error("Could not write " + path.toStdString());
}

/// A session folder as recording leaves it: one to three takes on every line, stored as
/// takes/<line>-<n>.wav, a chosen take on every third line (often not the newest), and
/// session.json.
Session makeSessionFolder(const QString &folder)
{
    const QString takesFolder = QDir(folder).filePath(QStringLiteral("takes"));
    if (!QDir().mkpath(takesFolder))
        throw std::runtime_error("Could not create " + takesFolder.toStdString());

    // A 441 Hz tone 30 dB under full scale, computed once: the noise alone tells files apart.
    QList<qint32> tone(sampleRate);
    for (int i = 0; i < sampleRate; ++i)
        tone[i] = qint32(
            std::lround(265'000 * std::sin(2 * std::numbers::pi * 441 * i / double(sampleRate))));

    Bench::Prose prose(20250314);
    QRandomGenerator &random = prose.random();
    const auto characters = [](QStringView text) { return text.size(); };
    const qint64 firstTake
        = QDateTime(QDate(2025, 3, 14), QTime(9, 30), Qt::UTC).toSecsSinceEpoch();
    Session session;
    session.script.title = QStringLiteral("Export benchmark");
    session.script.lines.reserve(lineCount);
    session.takes.reserve(lineCount);
    qint64 taken = 0;
    for (qsizetype i = 0; i < lineCount; ++i) {
        const QString lineId = QStringLiteral("line-%1").arg(i + 1, 4, 10, QLatin1Char('0'));
        session.script.lines.append({lineId, prose.text(40, characters), std::nullopt});
        QList<Take> &takes = session.takes[lineId];
        const int count = 1 + int(random.bounded(3));
        for (int n = 1; n <= count; ++n) {
            const QString file = QStringLiteral("takes/%1-%2.wav").arg(lineId).arg(n);
            writeFile(QDir(folder).filePath(file), makeWav(tone, random));
            takes.append({QUuid::createUuid().toString(QUuid::WithoutBraces), file, 1.0,
                QDateTime::fromSecsSinceEpoch(firstTake + 47 * taken++, Qt::UTC)});
        }
        if (i % 3 == 0)
            session.selected.insert(lineId, takes[random.bounded(count)].id);
    }
    SessionDisk::save(session, folder);
    return session;
}

/// Runs cp and waits for it; throws when it fails.
void runCp(const QStringList &arguments, const QString &workingFolder = QString())
{
    QProcess cp;
    cp.setWorkingDirectory(workingFolder);
    cp.start(QStringLiteral("cp"), arguments);
    if (!cp.waitForFinished(-1) || cp.exitStatus() != QProcess::NormalExit || cp.exitCode() != 0)
        throw std::runtime_error("cp failed: " + cp.errorString().toStdString() + "\n"
            + cp.readAllStandardError().toStdString());
}

struct Tally
{
    qsizetype wavs = 0, others = 0;
    qint64 wavBytes = 0, otherBytes = 0;
};

/// What a copy left in `folder`.
Tally tally(const QString &folder)
{
    Tally tally;
    QDirIterator files(folder, QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QFileInfo file = files.nextFileInfo();
        if (file.suffix() == QLatin1String("wav")) {
            ++tally.wavs;
            tally.wavBytes += file.size();
        } else {
            ++tally.others;
            tally.otherBytes += file.size();
        }
    }
    return tally;
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

/// True when the export holds one WAV per line, named after the line, and a sample of them
/// hold exactly the bytes of the line's chosen take.
bool checkExport(const Session &session, const QString &from, const QString &to)
{
    const Tally exported = tally(to);
    if (exported.wavs != lineCount) {
        std::fprintf(stderr, "The export holds %lld WAV files, not %lld\n", qint64(exported.wavs),
            qint64(lineCount));
        return false;
    }
    qsizetype overNewer = 0;
    const QList<ScriptLine> &lines = session.script.lines;
    for (qsizetype i = 0; i < lines.size(); i += lines.size() / checkedFiles) {
        const QString &lineId = lines[i].id;
        const Take *take = session.chosen(lineId);
        const QString source = QDir(from).filePath(take->file);
        const QString target = QDir(to).filePath(lineId + QStringLiteral(".wav"));
        const QByteArray expected = contents(source);
        if (expected.size() != 44 + dataBytes || contents(target) != expected) {
            std::fprintf(stderr, "%s does not hold the bytes of %s\n", qPrintable(target),
                qPrintable(source));
            return false;
        }
        if (take != &session.takes.constFind(lineId)->constLast())
            ++overNewer;
    }
    std::printf("check: %lld exported WAVs identical to their chosen takes (%lld of them "
                "chosen over a newer take)\n",
        qint64(checkedFiles), qint64(overNewer));
    return true;
}

void printTally(const char *label, const Tally &copied)
{
    std::printf(
        "%s copies %lld WAVs, %.1f MB", label, qint64(copied.wavs), double(copied.wavBytes) / 1e6);
    if (copied.others > 0)
        std::printf(" (and %lld other files, %.1f kB)", qint64(copied.others),
            double(copied.otherBytes) / 1e3);
    std::printf("\n");
}

/// One way of copying the takes out of the session folder into a new folder.
struct Contender
{
    const char *label;
    std::function<void(const QString &destination)> copy;
    /// cp given many files copies them into an existing folder; the others make their own.
    bool needsFolder = false;
    QList<double> times = {};
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString dir = Bench::parseDirOption(
        app, QStringLiteral("Times exporting a session's chosen takes, next to cp."));

    return Bench::guarded([&] {
        const auto work = Bench::workFolder(dir);
        if (!work)
            return 1;
        const QString from = work->filePath(QStringLiteral("session"));
        const Session session = makeSessionFolder(from);

        QStringList chosen;
        qsizetype takes = 0, overNewer = 0;
        for (const ScriptLine &line : session.script.lines) {
            const QList<Take> &lineTakes = *session.takes.constFind(line.id);
            const Take *take = session.chosen(line.id);
            chosen.append(take->file);
            takes += lineTakes.size();
            overNewer += take != &lineTakes.constLast();
        }
        std::printf("%lld lines, %lld takes of %lld bytes, %lld lines with a chosen take, "
                    "%lld of them not the newest\n",
            qint64(lineCount), qint64(takes), qint64(44 + dataBytes),
            qint64(session.selected.size()), qint64(overNewer));

        int exported = 0;
        QList<Contender> contenders = {
            {"export",
                [&](const QString &to) { exported = SessionDisk::exportTo(session, from, to); }},
            {"cp -r takes",
                [&](const QString &to) {
                    runCp({QStringLiteral("-r"), QDir(from).filePath(QStringLiteral("takes")), to});
                }},
            {"cp of the chosen takes alone (floor)",
                [&](const QString &to) { runCp(chosen + QStringList {to}, from); }, true},
        };

        // One untimed round checks the export and counts what each contender copies; it also
        // brings cp and the takes into memory, as every timed round will find them.
        const auto prepare = [](const Contender &contender, const QString &to) {
            if (contender.needsFolder && !QDir().mkdir(to))
                throw std::runtime_error("Could not create " + to.toStdString());
        };
        for (qsizetype c = 0; c < contenders.size(); ++c) {
            const QString to = work->filePath(QStringLiteral("first-%1").arg(c));
            prepare(contenders[c], to);
            contenders[c].copy(to);
            if (c == 0) {
                if (exported != lineCount) {
                    std::fprintf(stderr, "export reported %d WAV files, not %lld\n", exported,
                        qint64(lineCount));
                    return 1;
                }
                if (!checkExport(session, from, to))
                    return 1;
            }
            printTally(contenders[c].label, tally(to));
            QDir(to).removeRecursively();
        }

        // The contenders take turns and swap places every round, so each meets the disk as
        // the others do. Every copy goes to a new folder, removed after it outside the timing,
        // and starts once sync has written out what the one before left in memory.
        for (int run = 0; run < Bench::runs; ++run) {
            for (qsizetype k = 0; k < contenders.size(); ++k) {
                Contender &contender = contenders[(run + k) % contenders.size()];
                const QString to = work->filePath(QStringLiteral("run-%1-%2").arg(run).arg(k));
                prepare(contender, to);
                ::sync();
                contender.times.append(Bench::milliseconds([&] { contender.copy(to); }));
                QDir(to).removeRecursively();
            }
            if (exported != lineCount) {
                std::fprintf(stderr, "export reported %d WAV files, not %lld\n", exported,
                    qint64(lineCount));
                return 1;
            }
        }

        QList<double> medians;
        for (const Contender &contender : contenders) {
            medians.append(Bench::median(contender.times));
            std::printf(
                "%s: %.1f ms (median of %d)\n", contender.label, medians.last(), Bench::runs);
        }
        const double ratio = medians[0] / medians[1];
        std::printf("export/cp -r takes: %.2f (target ≤ %.1f: %s)\n", ratio, maxExportOverCp,
            Bench::verdict(ratio <= maxExportOverCp));
        std::printf("export/cp of the chosen takes: %.2f (no target: the same files, without "
                    "renaming or index)\n",
            medians[0] / medians[2]);
        return 0;
    });
}
