#include "exportprofile.h"
#include "testfiles.h"
#include "testmain.h"

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <complex>
#include <ebur128.h>
#include <limits>
#include <numbers>
#include <sndfile.hh>

using namespace Exporting;
using Samples = std::vector<double>;

namespace {

constexpr double quiet = -200;
constexpr double unchecked = std::numeric_limits<double>::quiet_NaN();
const QString fixtures = QStringLiteral(QUORBEL_FIXTURES "/speech/");

/// A 1 kHz tone at 48 kHz in pieces: seconds and peak dBFS, `quiet` for digital silence.
Samples tone(const QList<QPair<double, double>> &pieces)
{
    Samples x;
    for (const auto &[seconds, db] : pieces)
        for (int i = 0; i < std::lround(seconds * 48000); ++i)
            x.push_back(std::pow(10, db / 20) * std::sin(2 * std::numbers::pi * i / 48));
    return x;
}

/// The first channel of a WAV file, and its rate and format.
struct Wav
{
    Samples x;
    int rate = 0, format = 0;
};
Wav readWav(const QString &path)
{
    SndfileHandle file(QFile::encodeName(path).constData());
    Samples x(std::size_t(std::max<sf_count_t>(file.frames(), 0)));
    file.readf(x.data(), file.frames());
    return {x, file.samplerate(), file.format()};
}

/// A take: mono 48 kHz 24-bit.
void writeWav(const QString &path, const Samples &x)
{
    SndfileHandle(
        QFile::encodeName(path).constData(), SFM_WRITE, SF_FORMAT_WAV | SF_FORMAT_PCM_24, 1, 48000)
        .writef(x.data(), sf_count_t(x.size()));
}

/// A fixture's speech with a millisecond at full scale in its middle: a click that resampling
/// does not smooth away.
Samples clicked(const QString &name)
{
    Samples x = readWav(fixtures + name).x;
    std::fill_n(x.begin() + std::ptrdiff_t(x.size() / 2), 48, 1.0);
    return x;
}

/// A fixture's speech at a quarter of full scale with 20 ms of a 12 kHz tone in its middle
/// whose peaks fall between the samples: its samples reach only 0.71, 3 dB under its true peak.
Samples betweenSamples(const QString &name)
{
    Samples x = readWav(fixtures + name).x;
    const double peak = std::abs(*std::max_element(
        x.begin(), x.end(), [](double a, double b) { return std::abs(a) < std::abs(b); }));
    for (double &v : x)
        v *= 0.25 / peak;
    for (int i = 0; i < 960; ++i)
        x[x.size() / 2 + std::size_t(i)] = std::sin(std::numbers::pi * (i / 2.0 + 0.25));
    return x;
}

/// The 1 kHz component's peak and the RMS of what is left without it, in dBFS, over the middle
/// second (a whole number of periods at every rate).
std::pair<double, double> measureTone(const Samples &x, int rate)
{
    const auto from = x.begin() + std::ptrdiff_t(x.size() - std::size_t(rate)) / 2;
    const auto wave
        = [&](int n) { return std::polar(1.0, 2 * std::numbers::pi * 1000 * n / rate); };
    std::complex<double> tone;
    for (int n = 0; n < rate; ++n)
        tone += 2.0 / rate * from[n] * std::conj(wave(n));
    double rest = 0;
    for (int n = 0; n < rate; ++n)
        rest += std::norm(from[n] - (tone * wave(n)).real()) / rate;
    return {20 * std::log10(std::abs(tone)), 10 * std::log10(rest)};
}

/// Integrated loudness (LUFS) and true peak (dBTP).
std::pair<double, double> measureLoudness(const Samples &x, int rate)
{
    ebur128_state *state = ebur128_init(1, unsigned(rate), EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
    double lufs = 0, peak = 0;
    ebur128_add_frames_double(state, x.data(), x.size());
    ebur128_loudness_global(state, &lufs);
    ebur128_true_peak(state, 0, &peak);
    ebur128_destroy(&state);
    return {lufs, 20 * std::log10(peak)};
}

ExportOptions lj(int rate = 22050, int bits = 16, std::optional<double> trim = 0.2,
    std::optional<double> lufs = -23.0, int jobs = 2)
{
    return {Profile::LJSpeech, rate, bits, trim, lufs, jobs};
}

} // namespace

Q_DECLARE_METATYPE(ExportOptions)
Q_DECLARE_METATYPE(Samples)

/// The export profiles on takes whose truth is known, generated tones and the speech fixtures,
/// and quorbel-cli's options for them.
class ExportProfileTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_to;
    int m_exports = 0;

    /// A session folder `name` whose lines l1, l2, … have `texts`, and a take each written by
    /// `write`; an empty text is a line without a take.
    Session session(const QString &name, const QStringList &texts,
        const std::function<void(int line, const QString &path)> &write)
    {
        Session s {1, {"T", {}}, 0, {}, {}};
        QDir(m_dir.path()).mkpath(name + "/takes");
        for (int i = 1; i <= texts.size(); ++i) {
            const QString id = QString("l%1").arg(i), text = texts[i - 1];
            s.script.lines.append({id, text.isEmpty() ? "No take" : text, {}});
            if (!text.isEmpty()) {
                s.takes[id] = {{id, "takes/" + id + ".wav", 1, QDateTime(QDate(2026, 1, 1), {})}};
                write(i, m_dir.filePath(name + "/takes/" + id + ".wav"));
            }
        }
        SessionDisk::save(s, m_dir.filePath(name));
        return s;
    }
    QString run(const Session &s, const QString &name, const ExportOptions &options,
        const Progress &progress = {})
    {
        m_to = m_dir.filePath(QString("export %1").arg(++m_exports));
        exportSession(s, m_dir.filePath(name), m_to, options, progress);
        return m_to;
    }
    /// The WAV of a session with one line, whose take is `take`, exported.
    Wav exported(const Samples &take, const ExportOptions &options)
    {
        const QString name
            = QString("one ") + QTest::currentTestFunction() + QTest::currentDataTag();
        const Session s
            = session(name, {"Line."}, [&](int, const QString &path) { writeWav(path, take); });
        return readWav(run(s, name, options) + "/wavs/l1.wav");
    }

private slots:
    void audio_data()
    {
        QTest::addColumn<Samples>("take");
        QTest::addColumn<ExportOptions>("options");
        // Seconds; where the tone starts; the 1 kHz peak in dBFS; the rest's RMS, at most or,
        // at 16 bits, about. NaN: not checked.
        QTest::addColumn<QList<double>>("expected");
        const auto row = [](const QByteArray &name, const Samples &take, const ExportOptions &o,
                             double seconds, double onset = unchecked, double tone = unchecked,
                             double rest = unchecked) {
            QTest::addRow("%s", name.constData())
                << take << o << QList {seconds, onset, tone, rest};
        };
        const Samples steady = tone({{2, -6}}), spoken = tone({{1, quiet}, {1, -20}, {1, quiet}});
        row("48 kHz 24-bit", steady, lj(48000, 24, {}, {}), 2, unchecked, -6, -140);
        for (const int rate : {44100, 24000, 22050, 16000})
            row("resampled to " + QByteArray::number(rate), steady, lj(rate, 24, {}, {}), 2,
                unchecked, -6, -130);
        row("full scale, resampled: clipped, not wrapped", tone({{2, 0}}), lj(44100, 16, {}, {}), 2,
            unchecked, 0, -96.3);
        // A tone under half a step survives only dithered; the triangular dither leaves noise
        // of half a step RMS (−96.3 dBFS): rounding's twelfth plus the dither's sixth.
        row("16-bit, dithered", tone({{2, -98}}), lj(48000, 16, {}, {}), 2, unchecked, -98, -96.3);
        row("trimmed", spoken, lj(48000, 24, 0.2, {}), 1.4, 0.2);
        row("trimmed, then resampled", spoken, lj(16000, 24, 0.5, {}), 2, 0.5);
        row("padding longer than the silence", spoken, lj(48000, 24, 2, {}), 3, 1);
        row("no speech: kept whole", tone({{3, quiet}}), lj(48000, 24, 0.2, {}), 3);
        row("every option", spoken, lj(), 1.4, 0.2);
    }
    void audio()
    {
        QFETCH(Samples, take);
        QFETCH(ExportOptions, options);
        QFETCH(QList<double>, expected);
        const double seconds = expected[0], onset = expected[1], toneDb = expected[2],
                     restDb = expected[3];
        const auto [out, rate, format] = exported(take, options);
        const int bits = options.bits == 16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_24;
        QCOMPARE(QList({rate, format}), QList({options.sampleRate, SF_FORMAT_WAV | bits}));
        QVERIFY2(std::abs(double(out.size()) - seconds * rate) <= 1,
            qPrintable(QString::number(out.size())));
        const auto loud
            = std::find_if(out.begin(), out.end(), [](double x) { return std::abs(x) > 0.01; });
        QVERIFY(std::isnan(onset) || std::abs(double(loud - out.begin()) / rate - onset) < 0.002);
        const auto [level, rest]
            = std::isnan(toneDb) ? std::pair(toneDb, restDb) : measureTone(out, rate);
        // The dither's noise moves a tone under a step by about 0.1 dB.
        QVERIFY2(std::isnan(toneDb)
                || (std::abs(level - toneDb) < (options.bits == 16 ? 0.3 : 0.05)
                    && (options.bits == 16 ? std::abs(rest - restDb) < 0.5 : rest < restDb)),
            qPrintable(QString("%1 and %2 dBFS").arg(level).arg(rest)));
    }

    // Speech lands on the target; a click, or a peak between samples whose samples stay 2 dB
    // under the ceiling, holds its gain at a true peak of −1 dBTP, and README.txt says so.
    // Where ffmpeg is installed, its meter, which nobody here wrote, agrees.
    void loudness_data()
    {
        QTest::addColumn<Samples>("take");
        QTest::addColumn<ExportOptions>("options");
        QTest::addColumn<bool>("limited");
        QTest::addRow("at −16 LUFS, 44.1 kHz 24-bit")
            << readWav(fixtures + "arctic_a0004.wav").x << lj(44100, 24, 0.2, -16.0) << false;
        QTest::addRow("a click") << clicked("arctic_a0005.wav") << lj() << true;
        const Samples between = betweenSamples("arctic_a0004.wav");
        // The gain that lifts its samples to −2 dBFS, and its true peak to +1 dBTP.
        const double target = std::round(measureLoudness(between, 48000).first
            - 2 - 20 * std::log10(std::sin(std::numbers::pi / 4)));
        QTest::addRow("a peak between samples") << between << lj(48000, 24, 0.2, target) << true;
    }
    void loudness()
    {
        QFETCH(Samples, take);
        QFETCH(ExportOptions, options);
        QFETCH(bool, limited);
        const auto [lufs, peak] = measureLoudness(exported(take, options).x, options.sampleRate);
        QVERIFY2(
            peak <= -1 && (limited ? peak > -1.1 : std::abs(lufs - *options.loudnessLufs) <= 0.5),
            qPrintable(QString("%1 LUFS, %2 dBTP").arg(lufs).arg(peak)));
        QCOMPARE(QString(readFile(m_to + "/README.txt")).section('\n', 3),
            limited ? QString("wavs/l1.wav: −%1 LUFS instead of −%2 LUFS, its gain limited to keep "
                              "the true peak at −1 dBTP.\n")
                          .arg(-lufs, 0, 'f', 1)
                          .arg(-*options.loudnessLufs)
                    : QString());
        if (const QString ffmpeg = QStandardPaths::findExecutable("ffmpeg"); !ffmpeg.isEmpty()) {
            QProcess meter;
            meter.start(ffmpeg,
                {"-nostats", "-i", m_to + "/wavs/l1.wav", "-af", "ebur128=peak=true", "-f", "null",
                    "-"});
            QVERIFY(meter.waitForFinished(60'000));
            static const QRegularExpression summary(
                R"(Summary:[\s\S]*I:\s+(\S+) LUFS[\s\S]*Peak:\s+(\S+) dBFS)");
            const QRegularExpressionMatch found = summary.match(meter.readAllStandardError());
            QVERIFY2(std::abs(found.captured(1).toDouble() - lufs) < 0.1
                    && found.captured(2).toDouble() <= -1,
                qPrintable(found.captured()));
        }
    }

    void layout()
    {
        const Session s
            = session("layout", {"a|b\nc\r\nd", {}, "Plain."}, [](int, const QString &path) {
                  writeWav(path, tone({{0.3, quiet}, {0.5, -20}, {0.3, quiet}}));
              });
        QList<QPair<int, int>> calls;
        const QString to = run(s, "layout", lj(), [&](int done, int total) {
            return calls.append({done, total}), true;
        });
        QCOMPARE(calls, (QList<QPair<int, int>> {{0, 2}, {1, 2}, {2, 2}}));
        QCOMPARE(folderSnapshot(to).keys(),
            QString(
                "README.txt metadata.csv recordings.json script.json wavs wavs/l1.wav wavs/l3.wav")
                .split(' '));
        QCOMPARE(readFile(to + "/metadata.csv"), "l1|a b c d|a b c d\nl3|Plain.|Plain.\n");
        QCOMPARE(readFile(to + "/README.txt"),
            "2 of 3 lines recorded.\n22.05 kHz, mono 16-bit PCM WAV, trimmed (0.2 s padding), −23 "
            "LUFS.\nMissing: l2\n");
        // As recorded is the plain export, byte for byte; the index files differ only in
        // where the WAVs are.
        ExportOptions plain = lj(8000); // As recorded ignores the audio options
        plain.profile = Profile::AsRecorded;
        const QString asRecorded = run(s, "layout", plain);
        SessionDisk::exportTo(s, m_dir.filePath("layout"), m_dir.filePath("plain"));
        QCOMPARE(folderSnapshot(asRecorded), folderSnapshot(m_dir.filePath("plain")));
        QCOMPARE(readFile(to + "/script.json"), readFile(asRecorded + "/script.json"));
        QCOMPARE(readFile(to + "/recordings.json"),
            readFile(asRecorded + "/recordings.json")
                .replace("\"file\": \"l", "\"file\": \"wavs\\/l"));
    }

    void unfinished_data()
    {
        QTest::addColumn<bool>("lj");
        // Cancelled after two files, or l3's take missing or a link.
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("error"); // $S: the session folder, $E: the export's
        const QString prefix = "Export incomplete: ", cancelled = prefix + "Export cancelled.";
        QTest::addRow("as recorded, cancelled") << false << "cancel" << cancelled;
        QTest::addRow("ljspeech, cancelled") << true << "cancel" << cancelled;
        QTest::addRow("ljspeech, a take missing")
            << true << "missing"
            << prefix + "Could not read “$S/takes/l3.wav”: No such file or directory";
        QTest::addRow("ljspeech, a take that is a link") << true << "link"
                                                         << prefix
                + "“takes/l3.wav” is a symbolic link; only files inside the session folder are "
                  "exported.";
    }
    void unfinished()
    {
        QFETCH(bool, lj);
        QFETCH(QString, fault);
        QFETCH(QString, error);
        const QString name = QString("unfinished ") + QTest::currentDataTag();
        const Session s
            = session(name, {"One", "Two", "Three", "Four"}, [&](int line, const QString &path) {
                  if (line == 3 && fault == "missing")
                      return;
                  const QString at = line == 3 && fault == "link" ? path + ".elsewhere" : path;
                  writeWav(at, tone({{0.3, quiet}, {0.5, -20}, {0.3, quiet}}));
                  if (at != path)
                      QFile::link(at, path);
              });
        QString said;
        try {
            run(s, name, lj ? ::lj(22050, 16, 0.2, -23.0, 1) : ExportOptions {},
                [&](int done, int) { return fault != "cancel" || done < 2; });
        } catch (const SessionDisk::ExportCancelled &e) {
            said = "cancelled: " + e.description();
        } catch (const Error &e) {
            said = e.description();
        }
        QCOMPARE(said,
            (fault == "cancel" ? "cancelled: " : "")
                + error.replace("$S", m_dir.filePath(name)).replace("$E", m_to));
        QCOMPARE(readFile(m_to + "/EXPORT-INCOMPLETE.txt"), error.toUtf8());
        QCOMPARE(folderSnapshot(m_to).keys(),
            QString(lj ? "EXPORT-INCOMPLETE.txt wavs wavs/l1.wav wavs/l2.wav"
                       : "EXPORT-INCOMPLETE.txt l1.wav l2.wav")
                .split(' '));
    }

    void commandLine_data()
    {
        QTest::addColumn<QString>("options");
        QTest::addColumn<QString>("said"); // on success README.txt's second line, else the error
        const auto row = [](const char *options, const QString &said) {
            QTest::addRow("%s", options) << QString(options) << said;
        };
        row("--profile ljspeech --rate 16000 --bits 24 --trim 0.5 --no-loudness --jobs 1",
            "16 kHz, mono 24-bit PCM WAV, trimmed (0.5 s padding).");
        row("--profile ljspeech --no-trim --loudness -16",
            "22.05 kHz, mono 16-bit PCM WAV, −16 LUFS.");
        row("--profile ljspeech --rate fast", "--rate needs a whole number of hertz, not “fast”.");
        row("--profile ljspeech --rate 8000",
            "The sample rate must be 48000, 44100, 24000, 22050 or 16000 Hz, not 8000.");
        row("--profile ljspeech --bits 20", "The bit depth must be 16 or 24, not 20.");
        const QString trim = "The trim padding must be between 0 and 10 seconds, not %1.";
        row("--profile ljspeech --trim -0.05", trim.arg("−0.05"));
        row("--profile ljspeech --trim 10.5", trim.arg("10.5"));
        const QString lufs = "The loudness target must be between −60 and −5 LUFS, not %1.";
        row("--profile ljspeech --loudness -61", lufs.arg("−61"));
        row("--profile ljspeech --loudness -4.5", lufs.arg("−4.5"));
        row("--profile ljspeech --jobs 0", "The number of jobs must be between 1 and 256, not 0.");
        row("--profile wav", "The profile must be as-recorded or ljspeech, not “wav”.");
        row("--bits 24", "--bits applies only to --profile ljspeech.");
        row("--profile ljspeech --trim 0.1 --no-trim",
            "--no-trim after --trim: give each option once.");
        row("--profile ljspeech --jobs", "--jobs needs a value.");
        row("--gain 3", "Unknown option “--gain”.");
    }
    void commandLine()
    {
        QFETCH(QString, options);
        QFETCH(QString, said);
        if (!QFile::exists(m_dir.filePath("cli")))
            session("cli", {"One", {}, "Three"}, [](int, const QString &path) {
                writeWav(path, tone({{1, -20}}));
            });
        QTemporaryDir into;
        QProcess cli;
        cli.start(QUORBEL_CLI,
            QStringList {"export", m_dir.filePath("cli"), into.path()} + options.split(' '));
        QVERIFY(cli.waitForFinished(60'000) && cli.exitStatus() == QProcess::NormalExit);
        const QStringList out = QString(cli.readAllStandardOutput()).split('\n');
        const bool done = out.first() == "Exported 2 of 3 lines.";
        QCOMPARE(cli.exitCode(), done ? 0 : 2);
        QCOMPARE(done ? QString(readFile(out.value(1) + "/README.txt")).section('\n', 1, 1)
                      : QString(cli.readAllStandardError()).section('\n', 0, 0),
            said);
        QVERIFY2(done || entries(into.path()).isEmpty(), "a usage error writes nothing");
    }
};

QUORBEL_TEST_MAIN(ExportProfileTest)
#include "tst_exporting.moc"
