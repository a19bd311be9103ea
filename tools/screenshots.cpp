// quorbel-screenshots OUTPUT-FOLDER: renders the window, offscreen and on fake services, in the
// states people review the look in, one PNG file each.

#include "windowrig.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <optional>
#include <sndfile.h>
#include <utility>
#include <vector>

using namespace Qt::Literals::StringLiterals;

namespace {

struct Shot
{
    const char *name;
    /// Brings a freshly launched window into the state; false when it could not.
    std::function<bool(WindowRig &)> prepare;
};

QByteArray manyLines(int count)
{
    QByteArray text;
    const char *phrases[] = {"The quiet river carries the morning light past the old mill.",
        "She said the road home was longer than she remembered, and brighter.",
        "Numbers like 24/7 and 1/2 should be read aloud exactly as written.",
        "Under the bright window the cat slept through the whole afternoon.",
        "We never spoke of it again, not even when the letters arrived."};
    for (int i = 0; i < count; ++i)
        text += phrases[i % 5] + QByteArray(" (") + QByteArray::number(i + 1) + ")\n";
    return text;
}

const QByteArray interviewScript
    = "id,text,note\n"
      "intro,\"Welcome to the harbour tour. Today we follow the old trade route from the "
      "lighthouse "
      "to the fish market.\",Warm and unhurried\n"
      "lighthouse,The lighthouse was built in 1872 and still guides ships at night.,\n"
      "market,\"At the market, the first boats arrive before sunrise.\",Slightly brighter\n"
      "farewell,Thank you for joining us. Mind the steps on your way out.,\n";

/// The picture taken while a confirmation held the window, which a grab after it could not show.
QImage asked;

/// Writes real speech, one of the test fixtures, made louder or softer by `gainDb` (clipped
/// where that passes full scale), as the recorder writes a take; its peak in dBFS, or nothing.
std::optional<float> writeSpeech(const QString &path, const char *fixture, double gainDb)
{
    SF_INFO format {};
    SNDFILE *in = sf_open((QUORBEL_FIXTURES "/speech/" + QByteArray(fixture) + ".wav").constData(),
        SFM_READ, &format);
    if (!in)
        return std::nullopt;
    std::vector<double> samples(size_t(format.frames));
    sf_readf_double(in, samples.data(), format.frames);
    sf_close(in);
    const double gain = std::pow(10.0, gainDb / 20);
    double peak = 1e-8;
    for (double &sample : samples) {
        sample = std::clamp(sample * gain, -1.0, 1.0);
        peak = std::max(peak, std::abs(sample));
    }
    format = {.frames = 0,
        .samplerate = 48000,
        .channels = 1,
        .format = SF_FORMAT_WAV | SF_FORMAT_PCM_24,
        .sections = 0,
        .seekable = 0};
    SNDFILE *out = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &format);
    if (!out)
        return std::nullopt;
    sf_writef_double(out, samples.data(), sf_count_t(samples.size()));
    sf_close(out);
    return float(20 * std::log10(peak));
}

/// Records a take of the fixture `fixture` with the record button.
bool speak(WindowRig &rig, const char *fixture, double gainDb = 0)
{
    FakeRecorder *recorder = rig.startTake();
    const std::optional<float> peak
        = recorder ? writeSpeech(recorder->path, fixture, gainDb) : std::nullopt;
    if (!peak)
        return false;
    rig.setLength(recorder->path, 3);
    recorder->peak = *peak;
    QTest::qWait(RecorderModel::tickIntervalMs * 2);
    return rig.click(u"recordButton"_s) && !rig.model().recording();
}

bool linesWithTakes(WindowRig &rig)
{
    return rig.importScript(u"Harbour tour.csv"_s, interviewScript) && speak(rig, "arctic_a0001")
        && rig.click(u"nextButton"_s) && speak(rig, "arctic_a0002", -6)
        && speak(rig, "arctic_a0003");
}

/// The harbour tour with a clipped take on its third line, shown.
bool clippedTake(WindowRig &rig)
{
    return linesWithTakes(rig) && rig.click(u"nextButton"_s) && speak(rig, "arctic_a0004", 20);
}

const Shot shots[] = {
    {"welcome", [](WindowRig &) { return true; }},
    {"line-idle-with-takes", linesWithTakes},
    {"recording",
        [](WindowRig &rig) {
            if (!linesWithTakes(rig) || !rig.click(u"nextButton"_s))
                return false;
            FakeRecorder *recorder = rig.startTake();
            if (!recorder)
                return false;
            recorder->average = -14;
            recorder->peak = -3;
            recorder->seconds = 12.6;
            QTest::qWait(RecorderModel::tickIntervalMs * 3);
            return true;
        }},
    {"playing",
        [](WindowRig &rig) {
            if (!linesWithTakes(rig) || !rig.click(u"playButton"_s) || rig.audio.players.isEmpty())
                return false;
            rig.audio.players.constLast()->seconds = 2.4;
            QTest::qWait(RecorderModel::tickIntervalMs * 3);
            return true;
        }},
    {"error-alert",
        [](WindowRig &rig) {
            if (!rig.startRecordingTest())
                return false;
            rig.audio.permission = false;
            return rig.click(u"recordButton"_s) && rig.read(u"errorAlert"_s, "opened").toBool();
        }},
    {"search-10000-lines",
        [](WindowRig &rig) {
            if (!rig.importScript(u"Ten thousand lines.txt"_s, manyLines(10'000)))
                return false;
            for (int i = 0; i < 40; ++i)
                rig.key(Qt::Key_Right, Qt::ControlModifier);
            if (!rig.click(u"searchField"_s))
                return false;
            rig.type(u"bright"_s);
            return true;
        }},
    {"focus-on-record",
        [](WindowRig &rig) {
            auto *button = linesWithTakes(rig)
                ? qobject_cast<QQuickItem *>(rig.object(u"recordButton"_s))
                : nullptr;
            if (button)
                button->forceActiveFocus(Qt::TabFocusReason);
            return button != nullptr;
        }},
    {"show-folder-failed",
        [](WindowRig &rig) {
            if (!linesWithTakes(rig))
                return false;
            rig.desktop.openFailure = u"Could not open “%1”: no application is set to open "
                                      u"folders."_s.arg(rig.model().folder());
            return rig.click(u"revealButton"_s) && rig.read(u"errorAlert"_s, "opened").toBool();
        }},
    {"confirm-delete",
        [](WindowRig &rig) {
            if (!linesWithTakes(rig))
                return false;
            // The question waits for its answer: the picture is taken meanwhile, then Escape
            // answers it.
            QTimer::singleShot(600, rig.window(), [&rig] {
                asked = rig.window()->grabWindow();
                rig.key(Qt::Key_Escape, {});
            });
            return rig.click(u"deleteTakeButton"_s) && !asked.isNull();
        }},
    {"clipped-take",
        [](WindowRig &rig) {
            if (!clippedTake(rig))
                return false;
            QTest::qWait(300);
            return true;
        }},
    {"needs-attention",
        [](WindowRig &rig) {
            if (!clippedTake(rig))
                return false;
            QTest::qWait(300);
            return rig.click(u"attentionOnlySwitch"_s);
        }},
    {"microphone-check",
        [](WindowRig &rig) {
            if (!rig.startRecordingTest() || !rig.click(u"checkMicrophoneButton"_s))
                return false;
            if (!writeSpeech(rig.audio.recorders.constLast()->path, "arctic_a0005", 0))
                return false;
            return rig.click(u"checkMicrophoneButton"_s)
                && !rig.model().microphoneVerdict().isEmpty();
        }},
    {"long-line",
        [](WindowRig &rig) {
            // A chapter as one line, of about 300,000 characters, with a note.
            QByteArray chapter = "id,text,note\nchapter-1,\"";
            for (int i = 0; i < 5'000; ++i)
                chapter += manyLines(5).replace('\n', ' ');
            chapter += "\",Read at an even pace\nchapter-2,The end.,\n";
            return rig.importScript(u"Chapters.csv"_s, chapter);
        }},
};

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "Usage: quorbel-screenshots OUTPUT-FOLDER\n");
        return 2;
    }
    const QDir output(QString::fromLocal8Bit(argv[1]));
    if (!QDir().mkpath(output.path())) {
        std::fprintf(stderr, "Cannot create %s\n", qPrintable(output.path()));
        return 1;
    }
    int failures = 0;
    for (const Shot &shot : shots) {
        WindowRig rig;
        const QString file = output.filePath(QString::fromLatin1(shot.name) + u".png"_s);
        if (!rig.launch() || !shot.prepare(rig)) {
            std::fprintf(
                stderr, "%s: the window could not be brought into this state\n", shot.name);
            ++failures;
            continue;
        }
        rig.settle();
        // Let animations (the list's scroll, popups opening) come to rest.
        QTest::qWait(400);
        const QImage image = asked.isNull() ? rig.window()->grabWindow() : std::exchange(asked, {});
        if (image.isNull() || !image.save(file)) {
            std::fprintf(stderr, "%s: cannot write %s\n", shot.name, qPrintable(file));
            ++failures;
            continue;
        }
        std::printf("%s\n", qPrintable(file));
    }
    return failures == 0 ? 0 : 1;
}
