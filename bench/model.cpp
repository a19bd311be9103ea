// bench-model [--dir PATH]: times the controller's commands and derived values that run on every
// click or keystroke, on a 10,000-line session with 30,000 takes: `select` (which saves), the
// sidebar's filtered lines for a one-letter and a ten-letter search, and the recorded count.
// A bare save of the same session after the same kind of change is measured beside `select`.

#include "benchsupport.h"
#include "fakes.h"
#include "recordermodel.h"
#include "samplesession.h"
#include "sessiondisk.h"

#include <QCoreApplication>
#include <QDir>

#include <cstdio>

namespace {

constexpr qsizetype lineCount = 10'000;
constexpr int takesPerLine = 3;

// A click on a line may cost at most a few milliseconds more than the save it causes, and a
// keystroke in the search field must filter within a frame.
constexpr double maxSelectOverSaveMs = 5;
constexpr double maxVisibleLinesMs = 5;

int run(const QString &parent)
{
    const auto work = Bench::workFolder(parent);
    if (!work)
        return 1;
    const QString root = QDir(work->path()).filePath(QStringLiteral("Sessions"));
    const QString folder = QDir(root).filePath(QStringLiteral("Benchmark"));
    QDir().mkpath(folder);

    Bench::Prose prose(20250314);
    const Script script = Bench::makeScript(prose, lineCount);
    const Session session = Bench::makeSession(script, takesPerLine, prose.random());
    SessionDisk::save(session, folder);

    FakeAudio audio;
    FakeDesktop desktop;
    FakeEnvironment environment;
    environment.variables.insert(QString::fromLatin1(RecorderModel::dataDirVariable), root);
    RecorderModel uut({&audio, &audio, &desktop, &environment});
    uut.open(folder);
    // The takes' audio files are not made; the count of missing ones is not what is measured.
    uut.setError(std::nullopt);

    // The bare save meets the session as `select` does: a copy read back from disk, saved once
    // already, of which only the position changes. The two run apart, since a save reuses what
    // the previous save of the same session encoded.
    QList<double> selects, saves;
    for (int run = 0; run < Bench::runs; ++run) {
        const QString id = script.lines.at((run * 997 + 1) % lineCount).id;
        selects.append(Bench::milliseconds([&] { uut.select(id); }));
    }
    Session bare = SessionDisk::load(folder);
    SessionDisk::SessionWriter writer;
    writer.save(bare, folder);
    for (int run = 0; run < Bench::runs; ++run) {
        bare.index = (run * 997 + 1) % lineCount;
        saves.append(Bench::milliseconds([&] { writer.save(bare, folder); }));
    }
    if (uut.error()) {
        std::fprintf(stderr, "%s\n", qPrintable(*uut.error()));
        return 1;
    }

    const auto timeVisible = [&](const QString &search) {
        uut.setSearch(search);
        QList<double> times;
        qsizetype shown = 0;
        for (int run = 0; run < Bench::runs; ++run)
            times.append(Bench::milliseconds([&] { shown = uut.lines()->visibleLines().size(); }));
        std::printf("visibleLines “%s”: %.2f ms, %lld lines shown (median of %d; target ≤ %.0f "
                    "ms: %s)\n",
            qPrintable(search), Bench::median(times), qint64(shown), Bench::runs, maxVisibleLinesMs,
            Bench::verdict(Bench::median(times) <= maxVisibleLinesMs));
    };

    QList<double> counts;
    int recorded = 0;
    for (int run = 0; run < Bench::runs; ++run)
        counts.append(Bench::milliseconds([&] { recorded = uut.recordedCount(); }));

    const double selectMs = Bench::median(selects), saveMs = Bench::median(saves);
    std::printf("\n%lld lines, %lld takes\n", qint64(lineCount), qint64(lineCount * takesPerLine));
    std::printf("select: %.1f ms, bare save: %.1f ms (medians of %d; target select ≤ save + %.0f "
                "ms: %s)\n",
        selectMs, saveMs, Bench::runs, maxSelectOverSaveMs,
        Bench::verdict(selectMs <= saveMs + maxSelectOverSaveMs));
    timeVisible(QStringLiteral("a"));
    timeVisible(QStringLiteral("quiet rive"));
    std::printf("recordedCount: %.3f ms, %d lines (median of %d)\n", Bench::median(counts),
        recorded, Bench::runs);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString dir = Bench::parseDirOption(
        app, QStringLiteral("Times the controller's commands on a large session."));
    return Bench::guarded([&] { return run(dir); });
}
