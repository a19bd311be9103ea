#include "error.h"
#include "takeanalysis.h"
#include "testfiles.h"
#include "testmain.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cmath>
#include <functional>
#include <numbers>
#include <random>
#include <sndfile.h>

using namespace Analysis;
using namespace Qt::Literals::StringLiterals;

namespace {

constexpr double quiet = silenceDb;

/// A generated take whose truth is known: pieces of a 300 Hz tone at a peak level (`quiet`:
/// digital silence) over a bed of uniform noise at an RMS level, with samples set at places
/// (in steps of the file's resolution). Mono 48 kHz 24-bit unless said otherwise (32 bits:
/// floating point); the channels after the first are silent.
struct Take
{
    QList<QPair<double, double>> pieces = {}; // seconds, peak dBFS
    double noiseDb = quiet;
    double dc = 0;
    QMap<qint64, qint32> set = {};
    int rate = 48000;
    int bits = 24;
    int channels = 1;
};

QString write(const QString &path, const Take &take)
{
    const double fullScale = std::ldexp(1.0, take.bits - 1);
    std::vector<qint32> samples;
    std::mt19937 random(7);
    const double noise = std::sqrt(3.0) * std::pow(10, take.noiseDb / 20) * fullScale;
    for (const auto &[seconds, db] : take.pieces)
        for (qint64 i = 0, n = std::llround(seconds * take.rate); i < n; ++i)
            samples.push_back(qint32(std::lround((db > quiet ? std::pow(10, db / 20) : 0)
                    * fullScale * std::sin(2 * std::numbers::pi * 300 * i / take.rate)
                + (take.noiseDb > quiet ? std::uniform_real_distribution(-noise, noise)(random) : 0)
                + take.dc * fullScale)));
    for (auto it = take.set.begin(); it != take.set.end(); ++it) {
        samples.resize(std::max(samples.size(), size_t(it.key() + 1)));
        samples[size_t(it.key())] = it.value();
    }
    std::vector<qint32> frames(samples.size() * size_t(take.channels));
    for (size_t i = 0; i < samples.size(); ++i)
        frames[i * size_t(take.channels)] = samples[i] * (1 << (32 - take.bits));
    SF_INFO info {0, take.rate, take.channels,
        SF_FORMAT_WAV
            | (take.bits == 16        ? SF_FORMAT_PCM_16
                    : take.bits == 32 ? SF_FORMAT_FLOAT
                                      : SF_FORMAT_PCM_24),
        0, 0};
    SNDFILE *file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    const auto count = sf_count_t(samples.size());
    // Integers become floating point unscaled unless asked.
    if (file)
        sf_command(file, SFC_SET_SCALE_INT_FLOAT_WRITE, nullptr, SF_TRUE);
    if (!file || sf_writef_int(file, frames.data(), count) != count || sf_close(file) != 0)
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

/// The measures a row may check, by name.
QMap<QByteArray, double> measured(const Report &r)
{
    return {{"duration", r.duration}, {"peak", r.peakDb}, {"speech", r.speechDb},
        {"floor", r.noiseFloorDb}, {"start", r.speechStart}, {"end", r.speechEnd},
        {"leading", r.leadingSilence}, {"trailing", r.trailingSilence}, {"dc", r.dcOffset},
        {"clipped", double(r.clippedSamples)}, {"runs", r.clippedRuns},
        {"firstClip", r.clippedAt.value(0, -1)}};
}

using Expected = QMap<QByteArray, double>;

} // namespace

Q_DECLARE_METATYPE(Take)
Q_DECLARE_METATYPE(Report)

/// The measures and flags of takes whose truth is known, of real speech, and the message for a
/// file that cannot be read.
class AnalysisTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void measures_data()
    {
        QTest::addColumn<Take>("take");
        QTest::addColumn<unsigned>("flags");
        QTest::addColumn<Expected>("expected");
        const Take tone {{{0.5, quiet}, {1, -20}, {0.5, quiet}}};
        QTest::addRow("a tone at -20 dBFS in silence")
            << tone << 0u
            << Expected {{"peak", -20}, {"speech", -23.01}, {"start", 0.5}, {"end", 1.5},
                   {"leading", 0.5}, {"trailing", 0.5}, {"duration", 2}};
        // Runs of three samples at or a step from either rail, each followed by one two steps
        // from it, which is not clipped.
        Take clipped = tone;
        for (qint64 i = 0, at = 30000; i < 12; ++i, at += 1000)
            for (int k = 0; k < 4; ++k)
                clipped.set[at + k]
                    = (i % 2 ? -1 : 1) * (0x7fffff - QList<int> {0, 1, 0, 2}[k]) - (i % 2);
        QTest::addRow("clipped 12 times")
            << clipped << unsigned(Clipped)
            << Expected {{"clipped", 36}, {"runs", 12}, {"firstClip", 0.625}};
        QTest::addRow("a tone at -50 dBFS") << Take {{{0.5, quiet}, {1, -50}, {0.5, quiet}}}
                                            << unsigned(TooQuiet) << Expected {{"speech", -53.01}};
        QTest::addRow("a hum at -65 dBFS, which is no voice")
            << Take {{{0.5, quiet}, {1, -65}, {0.5, quiet}}} << unsigned(TooQuiet | NoSpeech)
            << Expected {{"peak", -65}, {"start", -1}, {"leading", 2}};
        QTest::addRow("half a second with 60 ms of room before the voice") << Take {
            {{0.06, quiet}, {0.44, -20}}} << unsigned(EndsCutOff) << Expected {{"start", 0.06}};
        Take bursts {{{0.5, quiet}}, -40};
        for (int i = 0; i < 6; ++i)
            bursts.pieces << qMakePair(0.2, -6.0) << qMakePair(0.15, quiet);
        QTest::addRow("bursts over a room at -40 dBFS")
            << bursts << unsigned(Noisy) << Expected {{"floor", -40}};
        QTest::addRow("a voice 18 dB over a room at -56 dBFS")
            << Take {{{0.5, quiet}, {1, -35}, {0.5, quiet}}, -56} << unsigned(Noisy)
            << Expected {{"floor", -56}, {"speech", -38}};
        QTest::addRow("a tone from the first sample")
            << Take {{{1, -20}, {1, quiet}}} << unsigned(StartsCutOff) << Expected {{"start", 0}};
        QTest::addRow("a tone to the last sample, past the last whole window")
            << Take {{{1, quiet}, {1.005, -20}}} << unsigned(EndsCutOff)
            << Expected {{"end", 2.005}, {"trailing", 0}};
        QTest::addRow("a click 0.39 s before the voice")
            << Take {{{0.3, quiet}, {0.01, -10}, {0.39, quiet}, {1, -20}, {0.3, quiet}}} << 0u
            << Expected {{"start", 0.7}};
        QTest::addRow("a consonant 0.1 s before the vowel")
            << Take {{{0.5, quiet}, {0.02, -10}, {0.1, quiet}, {1, -20}, {0.38, quiet}}} << 0u
            << Expected {{"start", 0.5}};
        QTest::addRow("a constant offset, which is no noise")
            << Take {{{0.5, quiet}, {1, -20}, {0.5, quiet}}, quiet, 0.01} << 0u
            << Expected {{"dc", 0.01}, {"floor", quiet}};
        const Take stereo {tone.pieces, quiet, 0,
            {{20000, 32767}, {20001, 32766}, {20002, 32765}, {30000, -32768}, {30001, -32767},
                {30002, -32766}},
            22050, 16, 2};
        QTest::addRow("16-bit stereo at 22,050 Hz, clipped at its own full scale")
            << stereo << unsigned(Clipped)
            << Expected {
                   {"duration", 2}, {"start", 0.5}, {"end", 1.5}, {"clipped", 4}, {"runs", 2}};
        QTest::addRow("floating point at 44,100 Hz") << Take {tone.pieces, quiet, 0, {}, 44100,
            32} << 0u << Expected {{"peak", -20}, {"start", 0.5}, {"end", 1.5}};
        QTest::addRow("one sample at full scale")
            << Take {{}, quiet, 0, {{0, 0x7fffff}}} << unsigned(Clipped | NoSpeech)
            << Expected {{"duration", 1 / 48000.0}, {"peak", 0}, {"runs", 1}};
        QTest::addRow("empty") << Take {} << unsigned(TooQuiet | NoSpeech)
                               << Expected {{"duration", 0}, {"peak", quiet}};
    }
    void measures()
    {
        QFETCH(Take, take);
        QFETCH(unsigned, flags);
        QFETCH(Expected, expected);
        const Report report = analyseFile(write(m_dir.filePath(u"take.wav"_s), take));
        QCOMPARE(flagNames(report.flags).join(u' '), flagNames(flags).join(u' '));
        const QMap<QByteArray, double> actual = measured(report);
        for (auto it = expected.begin(); it != expected.end(); ++it) {
            // Levels to half a decibel, times and counts exactly.
            const bool level = QByteArrayList {"peak", "speech", "floor"}.contains(it.key());
            QVERIFY2(std::abs(actual.value(it.key(), NAN) - it.value()) <= (level ? 0.5 : 1e-6),
                qPrintable(u"%1 is %2, not %3"_s.arg(QString::fromUtf8(it.key()))
                               .arg(actual[it.key()])
                               .arg(it.value())));
        }
    }

    void speech_data()
    {
        QTest::addColumn<QString>("path");
        const QDir fixtures(QStringLiteral(QUORBEL_FIXTURES "/speech"));
        const QStringList names = fixtures.entryList({u"*.wav"_s});
        QVERIFY2(!names.isEmpty(), "the speech fixtures must be in /work/shared");
        for (const QString &name : names)
            QTest::addRow("%s", qPrintable(name)) << fixtures.filePath(name);
    }
    // A studio's recordings of read sentences, cut tight around the voice (40 to 100 ms of room
    // at either end): nothing to record again.
    void speech()
    {
        QFETCH(QString, path);
        QCOMPARE(flagNames(analyseFile(path).flags), QStringList());
    }

    void unreadable_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("reason");
        QTest::addRow("not audio") << u"notes.wav"_s << u"Format not recognised."_s;
        QTest::addRow("cut inside its header")
            << u"cut.wav"_s << u"Error in WAV file. No 'data' chunk marker."_s;
        QTest::addRow("missing") << u"gone.wav"_s << u"No such file or directory"_s;
        QTest::addRow("a symbolic link to a take")
            << u"link.wav"_s << u"Too many levels of symbolic links"_s;
    }
    void unreadable()
    {
        QFETCH(QString, name);
        QFETCH(QString, reason);
        const QString take = write(m_dir.filePath(u"take.wav"_s), Take {{{0.1, -20}}});
        writeFile(m_dir.filePath(u"notes.wav"_s), "Not a sound, only words.\n");
        writeFile(m_dir.filePath(u"cut.wav"_s), readFile(take).left(30));
        QFile::link(take, m_dir.filePath(u"link.wav"_s));
        const QString path = m_dir.filePath(name);
        try {
            (void)analyseFile(path);
            QFAIL("read");
        } catch (const SystemError &error) {
            QCOMPARE(error.description(), u"Could not read “%1”: %2"_s.arg(path, reason));
        }
    }

    // The drawing of a take: its lowest and highest sample in each column, as "low/high".
    void envelope()
    {
        const auto drawn = [this](const Take &take, int columns) {
            const Envelope drawn
                = Analysis::envelope(write(m_dir.filePath(u"take.wav"_s), take), columns);
            QStringList texts;
            for (qsizetype i = 0; i < drawn.low.size(); ++i)
                texts << u"%1/%2"_s.arg(drawn.low[i], 0, 'g', 3).arg(drawn.high[i], 0, 'g', 3);
            return texts.join(u' ');
        };
        QCOMPARE(
            drawn({{{0.5, quiet}, {1, -20}, {0.5, quiet}}}, 4), u"0/0 -0.1/0.1 -0.1/0.1 0/0"_s);
        QCOMPARE(drawn({{}, quiet, 0, {{0, 0x400000}, {1, -0x200000}}}, 4),
            u"0.5/0.5 0.5/0.5 -0.25/-0.25 -0.25/-0.25"_s);
        QCOMPARE(drawn({}, 4), QString());
    }

    void verdict_data()
    {
        QTest::addColumn<Report>("report");
        QTest::addColumn<QString>("chips");
        QTest::addColumn<QString>("verdict");
        const auto report = [](unsigned flags, double peak, double floor) {
            Report report;
            report.peakDb = peak;
            report.noiseFloorDb = floor;
            report.clippedRuns = 12;
            report.flags = flags;
            return report;
        };
        QTest::addRow("good")
            << report(0, -9.4, -62.4) << QString()
            << u"Good level: your voice peaks at −9 dBFS over a quiet room (−62 dB)."_s;
        QTest::addRow("clipping before all else")
            << report(Clipped | TooQuiet | Noisy, 0, -41.4)
            << u"Clipped ×12, Too quiet, Noisy room −41 dB"_s
            << u"Clipping: your voice reached full scale 12 times"_s;
        QTest::addRow("too quiet")
            << report(TooQuiet | StartsCutOff, -47.6, -45) << u"Too quiet, Starts cut off"_s
            << u"Too quiet: your voice peaks at −48 dBFS"_s;
        QTest::addRow("nothing came in")
            << report(TooQuiet | NoSpeech, silenceDb, silenceDb) << u"Too quiet, No speech"_s
            << u"Too quiet: nothing louder than −120 dBFS came in"_s;
        QTest::addRow("a noisy room")
            << report(Noisy | EndsCutOff, -12, -44.6) << u"Noisy room −45 dB, Ends cut off"_s
            << u"Noisy room: the background noise is at −45 dB"_s;
        QTest::addRow("no voice") << report(NoSpeech, -6, -70) << u"No speech"_s
                                  << u"No voice heard: read a line aloud while the check runs."_s;
    }
    // A chip with a tip for each flag of a take, and the microphone check's sentence up to its
    // advice; and the flags' names for files.
    void verdict()
    {
        QFETCH(Report, report);
        QFETCH(QString, chips);
        QFETCH(QString, verdict);
        QStringList titles;
        for (const Advice &advice : Analysis::advice(report))
            titles << (advice.tip.isEmpty() ? QString() : advice.title);
        QCOMPARE(titles.join(u", "), chips);
        QCOMPARE(Analysis::verdict(report).section(u';', 0, 0), verdict);
        const QStringList names {u"clipped"_s, u"too-quiet"_s, u"noisy"_s, u"starts-cut-off"_s,
            u"ends-cut-off"_s, u"no-speech"_s};
        QCOMPARE(flagNames(0x3f), names);
        QCOMPARE(flagsFromNames(names + QStringList {u"loud"_s}), 0x3fu);
    }
};

QUORBEL_TEST_MAIN(AnalysisTest)

#include "tst_analysis.moc"
