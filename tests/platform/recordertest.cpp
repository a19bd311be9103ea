#include "recordertest.h"

#include "qtaudioinput.h"
#include "wavrecorder.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMediaDevices>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <limits>
#include <numbers>
#include <optional>
#include <sndfile.h>
#include <vector>

#ifndef QUORBEL_TEST_AUDIO_SCRIPT
#    error "QUORBEL_TEST_AUDIO_SCRIPT must name scripts/test-audio.sh"
#endif

namespace {

constexpr int takeRate = 48000;
// Longer than any wait below should take when all is well.
constexpr int timeoutMs = 10'000;
const QString cli = QStringLiteral(QUORBEL_CLI);

constexpr char missingServer[] = "the test sound server is missing: run through ./scripts/test, "
                                 "which starts the test sound server";

bool haveTestServer()
{
    for (const char *name : {"PULSE_SERVER", "QUORBEL_TEST_MIC_FEED", "QUORBEL_TEST_MIC_NAME",
             "QUORBEL_TEST_AUDIO_SERVER_PID"}) {
        if (qEnvironmentVariableIsEmpty(name))
            return false;
    }
    return true;
}

QStringList speechFiles()
{
    const QDir folder(QStringLiteral(QUORBEL_FIXTURES "/speech"));
    QStringList files;
    for (const QString &name : folder.entryList({QStringLiteral("*.wav")}, QDir::Files))
        files.append(folder.filePath(name));
    return files;
}

struct Audio
{
    int rate = 0;
    int channels = 0;
    int format = 0;
    /// The first channel, full scale at 1.
    std::vector<double> samples;
};

/// The audio in the file at `path` as libsndfile reads it; rate 0 when it cannot.
Audio readAudio(const QString &path)
{
    SF_INFO info {};
    SNDFILE *file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!file)
        return {};
    std::vector<double> frames(size_t(info.frames) * size_t(info.channels));
    const sf_count_t read = sf_readf_double(file, frames.data(), info.frames);
    sf_close(file);
    Audio audio {info.samplerate, info.channels, info.format, {}};
    for (sf_count_t frame = 0; frame < read; ++frame)
        audio.samples.push_back(frames[size_t(frame * info.channels)]);
    return audio;
}

/// Writes mono 48 kHz 24-bit PCM; false when it cannot.
bool writeAudio(const QString &path, const std::vector<double> &samples)
{
    SF_INFO info {};
    info.samplerate = takeRate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
    SNDFILE *file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!file)
        return false;
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    const auto size = sf_count_t(samples.size());
    const bool written = sf_write_double(file, samples.data(), size) == size;
    return sf_close(file) == 0 && written;
}

double decibels(double amplitude)
{
    return amplitude > 0 ? 20 * std::log10(amplitude) : -std::numeric_limits<double>::infinity();
}

double peak(const std::vector<double> &samples, size_t begin, size_t end)
{
    double highest = 0;
    for (size_t i = begin; i < end; ++i)
        highest = std::max(highest, std::abs(samples[i]));
    return highest;
}

/// Normalised correlation of `source` from `begin` to `end` with `take` shifted by `lag`.
double correlation(const std::vector<double> &source, const std::vector<double> &take, size_t lag,
    size_t begin, size_t end)
{
    double both = 0, sourceEnergy = 0, takeEnergy = 0;
    for (size_t i = begin; i < end; ++i) {
        both += source[i] * take[lag + i];
        sourceEnergy += source[i] * source[i];
        takeEnergy += take[lag + i] * take[lag + i];
    }
    return sourceEnergy > 0 && takeEnergy > 0 ? both / std::sqrt(sourceEnergy * takeEnergy) : 0;
}

/// Where the first `head` samples of `source` begin in `take`: first over averages of eight
/// samples, which is quick, then sample by sample around the best of those. -1 when the take
/// is shorter than the head.
qint64 align(const std::vector<double> &source, const std::vector<double> &take, size_t head)
{
    constexpr size_t step = 8;
    const auto average = [](const std::vector<double> &samples, size_t count) {
        std::vector<double> averages(count / step);
        for (size_t i = 0; i < averages.size(); ++i) {
            for (size_t j = 0; j < step; ++j)
                averages[i] += samples[i * step + j];
        }
        return averages;
    };
    head = std::min(head, source.size());
    if (take.size() < head)
        return -1;
    const std::vector<double> coarseSource = average(source, head);
    const std::vector<double> coarseTake = average(take, take.size());
    size_t coarse = 0;
    double best = -std::numeric_limits<double>::infinity();
    for (size_t lag = 0; lag + coarseSource.size() <= coarseTake.size(); ++lag) {
        double sum = 0;
        for (size_t i = 0; i < coarseSource.size(); ++i)
            sum += coarseSource[i] * coarseTake[lag + i];
        if (sum > best) {
            best = sum;
            coarse = lag;
        }
    }
    qint64 lag = -1;
    best = -2;
    const size_t first = coarse * step >= 2 * step ? coarse * step - 2 * step : 0;
    for (size_t candidate = first; candidate <= coarse * step + 2 * step; ++candidate) {
        if (candidate + head > take.size())
            break;
        const double value = correlation(source, take, candidate, 0, head);
        if (value > best) {
            best = value;
            lag = qint64(candidate);
        }
    }
    return lag;
}

/// The environment of the test run with the given sound server.
QProcessEnvironment environmentFor(const QString &server, const QString &clientConfig)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PULSE_SERVER"), server);
    if (!clientConfig.isEmpty())
        environment.insert(QStringLiteral("PULSE_CLIENTCONFIG"), clientConfig);
    environment.insert(QStringLiteral("QUORBEL_TEST_MIC_FEED"), QStringLiteral("micfeed"));
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    return environment;
}

/// Starts playing `file` into the virtual microphone of the server that `environment` names.
void feedMicrophone(QProcess &player, const QString &file,
    const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    player.setProcessEnvironment(environment);
    player.start(QStringLiteral("paplay"),
        {QStringLiteral("-d"), environment.value(QStringLiteral("QUORBEL_TEST_MIC_FEED")), file});
}

/// Waits, through the event loop, for `player` to have played to its end.
bool played(QProcess &player)
{
    return QTest::qWaitFor([&player] { return player.state() == QProcess::NotRunning; }, timeoutMs)
        && player.exitStatus() == QProcess::NormalExit && player.exitCode() == 0;
}

/// Waits, through the event loop, for quorbel-cli to say that it records.
bool recording(QProcess &process)
{
    return QTest::qWaitFor(
               [&process] {
                   return process.state() == QProcess::NotRunning
                       || process.peek(1 << 16).contains("\nRecording: ");
               },
               timeoutMs)
        && process.state() == QProcess::Running;
}

/// A sound server of a test's own, made by scripts/test-audio.sh like the shared one, for what
/// must not touch the shared one: killing it, hanging it, changing its default input. Its
/// shell stays to end it with the script's own stop_test_audio when its input closes.
class PrivateSoundServer
{
public:
    ~PrivateSoundServer() { stop(); }

    /// Empty when it runs, else what went wrong.
    QString start()
    {
        // The script's keep-alive listener asks for two seconds of latency, which makes the
        // server take up to two seconds to attach a new recording stream, and then to deliver
        // its first samples; one asking for 20 ms makes it do both at once, as a sound card's
        // source does, once it has heard something itself.
        m_shell.start(QStringLiteral("bash"),
            {QStringLiteral("-c"), QStringLiteral(R"(source "$1" && start_test_audio >&2 || exit 1
                # The server may still write into its folder while it ends: the folder goes
                # once it has.
                finish() {
                    local dir=$TEST_AUDIO_DIR pid=$TEST_AUDIO_PID tries=0
                    stop_test_audio
                    while [ -e "/proc/$pid" ] && ! grep -q '^State:.*Z' "/proc/$pid/status" \
                        && [ $tries -lt 100 ]; do
                        tries=$((tries + 1))
                        sleep 0.05
                    done
                    rm -rf "$dir"
                }
                trap finish EXIT
                kill "$TEST_AUDIO_KEEPALIVE"
                parec -d testmic --rate=48000 --channels=1 --latency-msec=20 2>/dev/null </dev/null |
                    { head -c 4 >/dev/null && touch "$TEST_AUDIO_DIR/heard"; exec cat >/dev/null; } &
                TEST_AUDIO_KEEPALIVE=$!
                tries=0
                until [ -e "$TEST_AUDIO_DIR/heard" ]; do
                    tries=$((tries + 1))
                    [ $tries -gt 250 ] && exit 1
                    sleep 0.02
                done
                printf '%s\n' "$PULSE_SERVER" "$PULSE_CLIENTCONFIG" "$TEST_AUDIO_PID"
                read -r _)"),
                QStringLiteral("bash"), QStringLiteral(QUORBEL_TEST_AUDIO_SCRIPT)});
        QStringList lines;
        while (lines.size() < 3 && m_shell.waitForReadyRead(timeoutMs)) {
            while (m_shell.canReadLine())
                lines.append(QString::fromUtf8(m_shell.readLine()).trimmed());
        }
        if (lines.size() < 3)
            return QStringLiteral("a private test sound server would not start: ")
                + QString::fromUtf8(m_shell.readAllStandardError());
        m_environment = environmentFor(lines[0], lines[1]);
        m_pid = lines[2].toLongLong();
        return QString();
    }

    void stop()
    {
        if (m_shell.state() == QProcess::NotRunning)
            return;
        // A hung server must go on to hear the script's request to end.
        if (m_pid > 0)
            ::kill(pid_t(m_pid), SIGCONT);
        m_shell.closeWriteChannel();
        if (!m_shell.waitForFinished(timeoutMs))
            m_shell.kill();
        m_shell.waitForFinished();
    }

    [[nodiscard]] const QProcessEnvironment &environment() const { return m_environment; }
    [[nodiscard]] qint64 pid() const { return m_pid; }

    /// Runs `command` in a shell against this server; true when it succeeds.
    [[nodiscard]] bool run(const QString &command) const
    {
        QProcess shell;
        shell.setProcessEnvironment(m_environment);
        shell.start(QStringLiteral("bash"), {QStringLiteral("-c"), command});
        return shell.waitForFinished(timeoutMs) && shell.exitStatus() == QProcess::NormalExit
            && shell.exitCode() == 0;
    }

private:
    QProcess m_shell;
    QProcessEnvironment m_environment;
    qint64 m_pid = 0;
};

} // namespace

void RecorderTest::initTestCase()
{
    QVERIFY2(haveTestServer(), missingServer);
    QVERIFY2(speechFiles().size() >= 6, "the speech fixtures must be in /work/shared/fixtures");
    // See PrivateSoundServer::start: without a listener asking for a low latency, every take
    // would wait up to two seconds for the server to attach it.
    m_listener.setStandardErrorFile(QProcess::nullDevice());
    QObject::connect(&m_listener, &QProcess::readyReadStandardOutput, &m_listener,
        [this] { m_listener.readAllStandardOutput(); });
    m_listener.start(QStringLiteral("parec"),
        {QStringLiteral("--rate=48000"), QStringLiteral("--channels=1"),
            QStringLiteral("--latency-msec=20")});
    // Attached once it hears something.
    QVERIFY2(m_listener.waitForReadyRead(timeoutMs), "parec must listen to the microphone");
}

void RecorderTest::cleanupTestCase()
{
    m_listener.kill();
    m_listener.waitForFinished();
}

void RecorderTest::recordsSpeechWhole_data()
{
    QTest::addColumn<QString>("file");
    for (const QString &file : speechFiles())
        QTest::addRow("%s", qPrintable(QFileInfo(file).fileName())) << file;
}

void RecorderTest::recordsSpeechWhole()
{
    QFETCH(QString, file);
    const Audio source = readAudio(file);
    QVERIFY2(source.rate == takeRate && source.channels == 1, "the fixture is 48 kHz mono");

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("take.wav"));
    QtAudioInput input;
    const std::unique_ptr<Platform::Recorder> uut = input.makeRecorder(path);
    QSignalSpy finished(uut.get(), &Platform::Recorder::finished);
    QSignalSpy failed(uut.get(), &Platform::Recorder::encodeError);
    QElapsedTimer clock;
    clock.start();
    QVERIFY2(uut->record(), "the test microphone must start");
    const qint64 started = clock.elapsed();
    QTRY_VERIFY2_WITH_TIMEOUT(uut->currentTime() > 0, "samples must reach the file", timeoutMs);
    const qint64 firstSample = clock.elapsed();
    QProcess player;
    feedMicrophone(player, file);
    QVERIFY2(played(player), "paplay must play the speech into the microphone");
    // Stopped half a second after the speech, as a person does.
    QTest::qWait(500);
    uut->stop();
    uut->stop();
    const double stoppedAt = uut->currentTime();
    QTest::qWait(50);
    QVERIFY2(finished.isEmpty() && failed.isEmpty(), "a stop that was asked for is not reported");
    QCOMPARE(uut->currentTime(), stoppedAt);

    const Audio take = readAudio(path);
    QVERIFY2(take.rate == takeRate && take.channels == 1
            && take.format == (SF_FORMAT_WAV | SF_FORMAT_PCM_24),
        "libsndfile must read the take as a mono 48 kHz 24-bit PCM WAV");
    QProcess soxi;
    soxi.start(QStringLiteral("soxi"), {path});
    QVERIFY2(soxi.waitForFinished(timeoutMs) && soxi.exitCode() == 0, "soxi must read the take");
    const QString described = QString::fromUtf8(soxi.readAllStandardOutput());
    for (const char *line : {"Channels       : 1", "Sample Rate    : 48000",
             "Precision      : 24-bit", "Sample Encoding: 24-bit Signed Integer PCM"}) {
        QVERIFY2(described.contains(QLatin1String(line)), qPrintable(described));
    }
    const qint64 frames = qint64(take.samples.size());
    const Platform::AudioFileInfo info = input.fileInfo(path);
    QVERIFY2(info.frames == frames && info.sampleRate == takeRate,
        "fileInfo must tell the take's frames and rate");
    QVERIFY2(std::abs(stoppedAt * takeRate - double(frames)) < 0.5,
        "currentTime must tell the audio written");

    // Aligned by the first second, which any take holds whole.
    const qint64 lag = align(source.samples, take.samples, takeRate);
    QVERIFY2(lag >= 0, "the speech must be in the take");
    const size_t overlap = std::min(source.samples.size(), take.samples.size() - size_t(lag));
    const double similarity = correlation(source.samples, take.samples, size_t(lag), 0, overlap);
    QVERIFY2(similarity >= 0.95, qPrintable(QStringLiteral("correlation %1").arg(similarity)));
    const double sourcePeak = decibels(peak(source.samples, 0, source.samples.size()));
    const double peakDifference
        = decibels(peak(take.samples, size_t(lag), size_t(lag) + overlap)) - sourcePeak;
    QVERIFY2(std::abs(peakDifference) <= 1,
        qPrintable(QStringLiteral("the take's peak differs by %1 dB").arg(peakDifference)));

    // The speech ends at its last sample above -40 dBFS; its last 200 ms must be in the take
    // and sound as they did.
    size_t speechEnd = source.samples.size();
    while (speechEnd > 0 && std::abs(source.samples[speechEnd - 1]) < 0.01)
        --speechEnd;
    const size_t tail = takeRate / 5;
    QVERIFY2(speechEnd > tail, "the fixture holds speech");
    QVERIFY2(size_t(lag) + speechEnd <= take.samples.size(),
        "the last 200 ms of the speech must be in the take");
    const double tailSimilarity
        = correlation(source.samples, take.samples, size_t(lag), speechEnd - tail, speechEnd);
    QVERIFY2(tailSimilarity >= 0.95,
        qPrintable(QStringLiteral("the last 200 ms correlate at %1").arg(tailSimilarity)));
    const double afterSpeechMs = double(frames - lag - qint64(speechEnd)) * 1000 / takeRate;
    qInfo("%s: record() took %lld ms, first sample after %lld ms, speech %.1f ms into the take, "
          "correlation %.5f, peak %+.3f dB, last 200 ms correlation %.5f, take ends %.0f ms "
          "after the speech (stop came 500 ms after playback ended)",
        qPrintable(QFileInfo(file).fileName()), started, firstSample, double(lag) * 1000 / takeRate,
        similarity, peakDifference, tailSimilarity, afterSpeechMs);
}

void RecorderTest::metersFoldEverySample_data()
{
    QTest::addColumn<double>("toneDb"); // a second of 1 kHz at this level; none when NaN
    QTest::addColumn<int>("burstMs"); // then a full-scale square burst this long
    QTest::addColumn<double>("lowestPeak"); // bounds of the highest peak reading
    QTest::addColumn<double>("highestPeak");

    const double none = std::numeric_limits<double>::quiet_NaN();
    QTest::addRow("a -60 dBFS tone stays low") << -60.0 << 0 << -61.0 << -55.0;
    QTest::addRow("a 10 ms clipped burst between two readings is caught")
        << none << 10 << -0.5 << 0.0;
    QTest::addRow("silence reads as silence") << none << 0 << -160.0 << -160.0;
}

void RecorderTest::metersFoldEverySample()
{
    QFETCH(double, toneDb);
    QFETCH(int, burstMs);
    QFETCH(double, lowestPeak);
    QFETCH(double, highestPeak);

    std::vector<double> sound(takeRate / 2, 0.0);
    if (!std::isnan(toneDb)) {
        const double amplitude = std::pow(10, toneDb / 20);
        for (int i = 0; i < takeRate; ++i)
            sound.push_back(amplitude * std::sin(2 * std::numbers::pi * 1000 * i / takeRate));
    }
    for (int i = 0; i < burstMs * takeRate / 1000; ++i)
        sound.push_back(i / 24 % 2 == 0 ? 1.0 : -1.0);
    sound.resize(sound.size() + takeRate / 2, 0.0);
    QTemporaryDir dir;
    const QString soundPath = dir.filePath(QStringLiteral("sound.wav"));
    QVERIFY2(writeAudio(soundPath, sound), "the sound must be written");

    QtAudioInput input;
    const std::unique_ptr<Platform::Recorder> uut
        = input.makeRecorder(dir.filePath(QStringLiteral("take.wav")));
    QVERIFY2(uut->record(), "the test microphone must start");
    QTRY_VERIFY2_WITH_TIMEOUT(uut->currentTime() > 0, "samples must reach the file", timeoutMs);
    // Read as the controller reads them, every 80 ms, while the sound plays.
    float highest = -1000, highestAverage = -1000;
    int readings = 0;
    const auto read = [&] {
        uut->updateMeters();
        highest = std::max(highest, uut->peakPower());
        highestAverage = std::max(highestAverage, uut->averagePower());
        ++readings;
    };
    QTimer meters;
    QObject::connect(&meters, &QTimer::timeout, read);
    meters.start(80);
    QProcess player;
    feedMicrophone(player, soundPath);
    QVERIFY2(played(player), "paplay must play the sound into the microphone");
    QTest::qWait(300);
    meters.stop();
    uut->stop();
    read();

    qInfo("%s: highest peak reading %.2f dBFS, highest average %.2f dBFS over %d readings",
        QTest::currentDataTag(), double(highest), double(highestAverage), readings);
    QVERIFY2(readings > 10, "the meters must have been read while the sound played");
    QVERIFY2(highest >= lowestPeak && highest <= highestPeak,
        qPrintable(QStringLiteral("highest peak reading %1 dBFS").arg(highest)));
    QVERIFY2(highestAverage <= highest && highestAverage >= Platform::silenceDb,
        qPrintable(QStringLiteral("highest average reading %1 dBFS").arg(highestAverage)));
    if (!std::isnan(toneDb))
        QVERIFY2(std::abs(highestAverage - (toneDb - 3.01)) < 1,
            qPrintable(QStringLiteral("a sine's average is 3 dB under its peak, not %1 dBFS")
                           .arg(highestAverage)));
}

void RecorderTest::makesOnlyNewFiles_data()
{
    QTest::addColumn<QString>("name"); // inside a fresh folder holding "existing.wav"
    QTest::addColumn<QString>("reason");

    QTest::addRow("over an existing file") << "existing.wav"
                                           << "File exists";
    QTest::addRow("in a missing folder") << "missing/take.wav"
                                         << "No such file or directory";
}

void RecorderTest::makesOnlyNewFiles()
{
    QFETCH(QString, name);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    const QString existing = dir.filePath(QStringLiteral("existing.wav"));
    {
        QFile file(existing);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("an earlier take") == 15);
    }
    const QString path = dir.filePath(name);
    QtAudioInput input;
    try {
        const std::unique_ptr<Platform::Recorder> uut = input.makeRecorder(path);
        QFAIL("the recorder must not be made");
    } catch (const SystemError &failure) {
        QCOMPARE(
            failure.description(), QStringLiteral("Could not create “%1”: %2").arg(path, reason));
    }
    QFile file(existing);
    QVERIFY2(file.open(QIODevice::ReadOnly) && file.readAll() == "an earlier take",
        "an existing file must stay as it was");
}

void RecorderTest::removesTheFileOfATakeNeverRecorded()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("take.wav"));
    QtAudioInput input;
    std::unique_ptr<Platform::Recorder> uut = input.makeRecorder(path);
    QVERIFY2(QFileInfo::exists(path), "the file is made with the recorder");
    uut.reset();
    QVERIFY2(!QFileInfo::exists(path), "a take never recorded leaves no file");
}

void RecorderTest::refusesAnInputThatIsGone()
{
    // A source that the program saw, gone when the take starts, as a microphone unplugged
    // just then: Qt alone would wait for it without end.
    const auto pactl = [](const QStringList &arguments) {
        QProcess process;
        process.start(QStringLiteral("pactl"), arguments);
        return process.waitForFinished(timeoutMs) && process.exitCode() == 0
            ? std::optional(QString::fromUtf8(process.readAllStandardOutput()).trimmed())
            : std::nullopt;
    };
    const std::optional<QString> module
        = pactl({QStringLiteral("load-module"), QStringLiteral("module-remap-source"),
            QStringLiteral("source_name=gonemic"), QStringLiteral("master=micfeed.monitor")});
    QVERIFY2(module, "a second source must be made");
    bool unloaded = false;
    const auto unload = qScopeGuard([&] {
        if (!unloaded)
            pactl({QStringLiteral("unload-module"), *module});
    });
    const QMediaDevices devices;
    QAudioDevice gone;
    QTRY_VERIFY2_WITH_TIMEOUT(
        [&] {
            for (const QAudioDevice &device : QMediaDevices::audioInputs())
                gone = device.id() == "gonemic" ? device : gone;
            return !gone.isNull();
        }(),
        "Qt must list the second source", timeoutMs);
    unloaded = pactl({QStringLiteral("unload-module"), *module}).has_value();
    QVERIFY2(unloaded, "the second source must go");

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("take.wav"));
    WavRecorder uut(gone, path);
    QElapsedTimer clock;
    clock.start();
    QVERIFY2(!uut.record(), "a take from a source that is gone must not start");
    QVERIFY2(clock.elapsed() < 1000, "nor make the program wait");
    QVERIFY2(!QFileInfo::exists(path), "nor leave a file");
}

void RecorderTest::stopsCleanlyWhenDestroyed()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("take.wav"));
    QtAudioInput input;
    std::unique_ptr<Platform::Recorder> uut = input.makeRecorder(path);
    QVERIFY2(uut->record(), "the test microphone must start");
    QTRY_VERIFY2_WITH_TIMEOUT(uut->currentTime() >= 1, "a second must be recorded", timeoutMs);
    QElapsedTimer clock;
    clock.start();
    uut.reset();
    QVERIFY2(clock.elapsed() < 1000, "destroying a recorder must not wait long");
    const Audio take = readAudio(path);
    QVERIFY2(
        take.rate == takeRate && take.samples.size() >= size_t(takeRate), "the take must be whole");
    // The header must tell all the audio in the file: 3 bytes a frame, padded to an even size.
    QCOMPARE(QFileInfo(path).size(), 44 + (3 * qint64(take.samples.size()) + 1) / 2 * 2);
}

void RecorderTest::keepsTheTakeWhenTheServerGoesAway_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("noticeMs"); // how soon the recorder must notice, with room to spare

    QTest::addRow("killed") << int(SIGKILL) << 3000;
    // Only the stall watchdog can tell: the connection stays open.
    QTest::addRow("hung") << int(SIGSTOP) << 6000;
}

void RecorderTest::keepsTheTakeWhenTheServerGoesAway()
{
    QFETCH(int, signal);
    QFETCH(int, noticeMs);
    PrivateSoundServer server;
    const QString trouble = server.start();
    QVERIFY2(trouble.isEmpty(), qPrintable(trouble));
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("take.wav"));
    QProcess recorder;
    recorder.setProcessEnvironment(server.environment());
    recorder.start(
        cli, {QStringLiteral("record"), path, QStringLiteral("--seconds"), QStringLiteral("60")});
    QVERIFY2(recording(recorder), recorder.readAllStandardError().constData());
    QElapsedTimer clock;
    clock.start();
    const QString speech = speechFiles().constFirst();
    QProcess player;
    feedMicrophone(player, speech, server.environment());
    QVERIFY2(played(player), "paplay must play the speech into the microphone");
    QTest::qWait(int(std::max<qint64>(0, 4000 - clock.elapsed())));

    QVERIFY2(::kill(pid_t(server.pid()), signal) == 0, "the private server must take the signal");
    const double recordedFor = double(clock.elapsed()) / 1000;
    clock.restart();
    QVERIFY2(QTest::qWaitFor([&] { return recorder.state() == QProcess::NotRunning; }, timeoutMs),
        "the recorder must stop by itself");
    const qint64 noticed = clock.elapsed();
    const QString errors = QString::fromUtf8(recorder.readAllStandardError());
    QVERIFY2(recorder.exitStatus() == QProcess::NormalExit && recorder.exitCode() == 3,
        qPrintable(QStringLiteral("exit code %1: %2").arg(recorder.exitCode()).arg(errors)));
    QVERIFY2(errors.contains(QLatin1String("interrupted"))
            && errors.contains(QStringLiteral("kept in “%1”").arg(path)),
        qPrintable(errors));
    QVERIFY2(noticed < noticeMs, qPrintable(QStringLiteral("noticed after %1 ms").arg(noticed)));

    const Audio take = readAudio(path);
    const double seconds = double(take.samples.size()) / takeRate;
    QVERIFY2(take.rate == takeRate && take.format == (SF_FORMAT_WAV | SF_FORMAT_PCM_24),
        "the take must be a readable WAV");
    QVERIFY2(seconds > recordedFor - 0.5 && seconds < recordedFor + 0.2,
        qPrintable(QStringLiteral("%1 s kept of %2 s").arg(seconds).arg(recordedFor)));
    const Audio source = readAudio(speech);
    const qint64 lag = align(source.samples, take.samples, takeRate);
    QVERIFY2(lag >= 0 && size_t(lag) + source.samples.size() <= take.samples.size(),
        "the speech must be in the take whole");
    const double similarity
        = correlation(source.samples, take.samples, size_t(lag), 0, source.samples.size());
    QVERIFY2(similarity >= 0.95, qPrintable(QStringLiteral("correlation %1").arg(similarity)));
    qInfo("server %s after %.2f s of recording: %.2f s kept, noticed after %lld ms, speech "
          "correlation %.5f",
        QTest::currentDataTag(), recordedFor, seconds, noticed, similarity);
}

void RecorderTest::leavesAPlayableTakeWhenKilled()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("take.wav"));
    QProcess recorder;
    recorder.start(cli, {QStringLiteral("record"), path});
    QVERIFY2(recording(recorder), recorder.readAllStandardError().constData());
    QTest::qWait(6000);
    QVERIFY2(::kill(pid_t(recorder.processId()), SIGKILL) == 0, "the recorder must be killed");
    QVERIFY2(recorder.waitForFinished(timeoutMs), "the killed recorder must end");

    const Audio take = readAudio(path);
    const double seconds = double(take.samples.size()) / takeRate;
    QVERIFY2(take.rate == takeRate && seconds >= 3,
        qPrintable(QStringLiteral("libsndfile reads %1 s of 6").arg(seconds)));
    QProcess python;
    python.start(QStringLiteral("python3"),
        {QStringLiteral("-c"),
            QStringLiteral("import wave, sys; w = wave.open(sys.argv[1]); "
                           "print(w.getnframes(), w.getframerate(), w.getsampwidth())"),
            path});
    QVERIFY2(python.waitForFinished(timeoutMs) && python.exitCode() == 0,
        python.readAllStandardError().constData());
    const QStringList told = QString::fromUtf8(python.readAllStandardOutput()).split(u' ');
    QVERIFY2(told.size() == 3 && told[0].toLongLong() >= 3 * takeRate && told[1].toInt() == takeRate
            && told[2].trimmed() == u"3",
        qPrintable(told.join(u' ')));
    qInfo("killed after 6 s: libsndfile reads %.2f s, Python's wave %s frames", seconds,
        qPrintable(told[0]));
}

void RecorderTest::reportsAFailedWrite()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("take.wav"));
    // A file size limit of 150 KiB, reached after about a second: the writes beyond it fail
    // with EFBIG, as they would on a full disk with ENOSPC. The sound server's client library
    // would complain about the limit on its shared memory: it is told to use none.
    const QString clientConfig = dir.filePath(QStringLiteral("client.conf"));
    QFile config(clientConfig);
    QVERIFY(
        config.open(QIODevice::WriteOnly) && config.write("autospawn = no\nenable-shm = no\n") > 0);
    config.close();
    QProcess recorder;
    recorder.setProcessEnvironment(
        environmentFor(qEnvironmentVariable("PULSE_SERVER"), clientConfig));
    recorder.start(QStringLiteral("bash"),
        {QStringLiteral("-c"), QStringLiteral(R"(trap "" XFSZ; ulimit -f 150; exec "$0" "$@")"),
            cli, QStringLiteral("record"), path, QStringLiteral("--seconds"),
            QStringLiteral("20")});
    QVERIFY2(recorder.waitForFinished(timeoutMs), "the recorder must stop by itself");
    QCOMPARE(recorder.exitCode(), 1);
    QCOMPARE(QString::fromUtf8(recorder.readAllStandardError()),
        QStringLiteral("Could not write “%1”: File too large\n").arg(path));
    const Audio take = readAudio(path);
    QVERIFY2(take.rate == takeRate && take.samples.size() > size_t(takeRate * 0.9),
        "what was written before must stay readable");
}

void RecorderTest::measuresAudioFiles_data()
{
    QTest::addColumn<QString>("name"); // in a folder holding take.wav, notes.txt and folder/
    QTest::addColumn<qint64>("frames"); // -1: fails
    QTest::addColumn<QString>("reason");

    QTest::addRow("a take") << "take.wav" << qint64(24000) << "";
    QTest::addRow("a missing file") << "gone.wav" << qint64(-1) << "No such file or directory";
    QTest::addRow("a folder") << "folder" << qint64(-1) << "Not a regular file";
    QTest::addRow("text") << "notes.txt" << qint64(-1) << "";
}

void RecorderTest::measuresAudioFiles()
{
    QFETCH(QString, name);
    QFETCH(qint64, frames);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    QVERIFY(writeAudio(dir.filePath(QStringLiteral("take.wav")), std::vector<double>(24000)));
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder")));
    QFile notes(dir.filePath(QStringLiteral("notes.txt")));
    QVERIFY(notes.open(QIODevice::WriteOnly) && notes.write("no audio here\n") > 0);
    notes.close();
    const QString path = dir.filePath(name);
    QtAudioInput uut;
    try {
        const Platform::AudioFileInfo info = uut.fileInfo(path);
        QVERIFY2(frames >= 0, "the file must be refused");
        QCOMPARE(info.frames, frames);
        QCOMPARE(info.sampleRate, double(takeRate));
    } catch (const SystemError &failure) {
        QVERIFY2(frames < 0, qPrintable(failure.description()));
        const QString prefix = QStringLiteral("Could not read “%1”: ").arg(path);
        QVERIFY2(failure.description().startsWith(prefix)
                && failure.description().size() > prefix.size()
                && failure.description().endsWith(reason),
            qPrintable(failure.description()));
    }
}

void InputDeviceTest::initTestCase()
{
    QVERIFY2(haveTestServer(), missingServer);
}

void InputDeviceTest::namesTheServersDefaultSource()
{
    QtAudioInput uut;
    const Platform::DefaultInput input = uut.defaultInput();
    QVERIFY2(input.present, "the test server has a microphone");
    QCOMPARE(input.name, qEnvironmentVariable("QUORBEL_TEST_MIC_NAME"));
}

void InputDeviceTest::cliListsInputsAndMarksTheDefault_data()
{
    QTest::addColumn<bool>("server");
    QTest::addColumn<QString>("setup"); // run against the private server first
    QTest::addColumn<QStringList>("arguments"); // "%1" stands for a fresh folder
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");

    const QStringList devices {QStringLiteral("devices")};
    QTest::addRow("the test microphone")
        << true << "" << devices << 0 << "* Quorbel-Test-Microphone (testmic)\n"
        << "";
    // Qt 6.4 on its own would keep the first source as its default.
    QTest::addRow("another default input")
        << true
        << "pactl load-module module-remap-source source_name=othermic master=micfeed.monitor "
           "source_properties=device.description=Other-Microphone >/dev/null && "
           "pactl set-default-source othermic"
        << devices << 0 << "  Quorbel-Test-Microphone (testmic)\n* Other-Microphone (othermic)\n"
        << "";
    QTest::addRow("no sound server") << false << "" << devices << 1 << ""
                                     << "No microphone detected.\n";
    QTest::addRow("recording without a sound server")
        << false << "" << QStringList {QStringLiteral("record"), QStringLiteral("%1/take.wav")} << 1
        << ""
        << "No microphone detected.\n";
}

void InputDeviceTest::cliListsInputsAndMarksTheDefault()
{
    QFETCH(bool, server);
    QFETCH(QString, setup);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);

    QTemporaryDir dir;
    PrivateSoundServer sound;
    QProcessEnvironment environment
        = environmentFor(QStringLiteral("unix:%1/no-server").arg(dir.path()), QString());
    if (server) {
        const QString trouble = sound.start();
        QVERIFY2(trouble.isEmpty(), qPrintable(trouble));
        QVERIFY2(setup.isEmpty() || sound.run(setup), qPrintable(setup));
        environment = sound.environment();
    }
    arguments.replaceInStrings(QStringLiteral("%1"), dir.path());
    QProcess uut;
    uut.setProcessEnvironment(environment);
    uut.start(cli, arguments);
    QVERIFY2(uut.waitForFinished(timeoutMs) && uut.exitStatus() == QProcess::NormalExit,
        "quorbel-cli must end by itself");
    QCOMPARE(QString::fromUtf8(uut.readAllStandardError()), err);
    QCOMPARE(QString::fromUtf8(uut.readAllStandardOutput()), out);
    QCOMPARE(uut.exitCode(), exitCode);
    QVERIFY2(QDir(dir.path()).isEmpty(), "no file may be left behind");
}

void InputDeviceTest::answersPermissionLater()
{
    QtAudioInput uut;
    QObject receiver;
    int answers = 0;
    bool granted = false;
    uut.requestPermission(&receiver, [&](bool answer) {
        ++answers;
        granted = answer;
    });
    QVERIFY2(answers == 0, "the answer must come later, not inside the call");
    QTRY_VERIFY2(answers == 1 && granted, "the answer must come, and grant");

    auto *gone = new QObject;
    uut.requestPermission(gone, [&](bool) { ++answers; });
    delete gone;
    QTest::qWait(50);
    QVERIFY2(answers == 1, "a receiver gone by then is not answered");
}
