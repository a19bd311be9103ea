#include "recordertest.h"

#include "qtaudioinput.h"
#include "testfiles.h"
#include "wavrecorder.h"

#include <QElapsedTimer>
#include <QMediaDevices>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cmath>
#include <csignal>
#include <numbers>
#include <optional>
#include <sndfile.h>

using namespace Qt::StringLiterals;

namespace {

constexpr int takeRate = 48000;
constexpr int takeFormat = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
// paplay drops the end of a 24-bit file: what the microphone is fed is written at 32 bits.
constexpr int feedFormat = SF_FORMAT_WAV | SF_FORMAT_PCM_32;
// Longer than any wait below should take when all is well.
constexpr int timeoutMs = 10'000;
const QString cli = QStringLiteral(QUORBEL_CLI);
// The shortest of the speech fixtures, 1.6 s: every take is made in real time.
const QString speech = QStringLiteral(QUORBEL_FIXTURES "/speech/arctic_a0005.wav");

/// The test run's environment, on the given sound server and in English.
QProcessEnvironment environmentFor(
    const QString &server, const QString &clientConfig = qEnvironmentVariable("PULSE_CLIENTCONFIG"))
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"PULSE_SERVER"_s, server);
    environment.insert(u"PULSE_CLIENTCONFIG"_s, clientConfig);
    environment.insert(u"LC_ALL"_s, u"C.UTF-8"_s);
    return environment;
}

/// Runs `program` to its end, turning the event loop meanwhile; what it printed, when it ended
/// well in time.
std::optional<QString> run(const QString &program, const QStringList &arguments,
    const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, timeoutMs)
        || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return std::nullopt;
    return QString::fromUtf8(process.readAllStandardOutput());
}

/// Plays `file` to its end into the virtual microphone of the server `environment` names.
bool feedMicrophone(const QString &file,
    const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    return run(u"paplay"_s, {u"-d"_s, u"micfeed"_s, file}, environment).has_value();
}

/// Why `take` does not hold all of `fed`, the sound played into the microphone, sample for
/// sample after the silence before it; empty when it does. The way from the feed to the file
/// is lossless at 24 bits: a sample may differ by rounding only.
QString wholeProblem(const Audio &take, const Audio &fed)
{
    const auto firstSound = [](const std::vector<double> &samples) {
        return std::find_if(samples.begin(), samples.end(), [](double s) { return s != 0; })
            - samples.begin();
    };
    const qint64 lag = firstSound(take.samples) - firstSound(fed.samples);
    if (take.rate != takeRate || take.format != takeFormat || lag < 0
        || size_t(lag) + fed.samples.size() > take.samples.size())
        return u"a %1 Hz take of %2 frames, format %3, does not hold the sound whole"_s
            .arg(take.rate)
            .arg(take.samples.size())
            .arg(take.format, 0, 16);
    const auto [differs, _] = std::mismatch(fed.samples.begin(), fed.samples.end(),
        take.samples.begin() + lag, [](double a, double b) { return std::abs(a - b) < 3e-7; });
    return differs == fed.samples.end() ? QString()
                                        : u"the take differs from the sound %1 s into it"_s.arg(
                                            double(differs - fed.samples.begin()) / takeRate);
}

/// A sound server of a test's own, made by scripts/test-audio.sh like the shared one, for what
/// must not touch the shared one: killing it, hanging it, changing its default input. Its shell
/// ends it once the shell's input closes.
class PrivateSoundServer
{
public:
    PrivateSoundServer()
    {
        // A null sink that starts with no listener renders two seconds ahead, and the first
        // take would wait that long for its first samples: the microphone's feed starts again
        // once the script's listener is there, and the server is ready once it delivers. The
        // server is killed, hung or not, and its folder goes once nothing can write there.
        m_shell.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_shell.start(u"bash"_s,
            {u"-c"_s, uR"(source "$1" && start_test_audio >&2 || exit 1
                pid=$TEST_AUDIO_PID dir=$TEST_AUDIO_DIR
                trap 'kill -KILL $pid; stop_test_audio
                      while grep -qs "^State:\s[^Z]" /proc/$pid/status; do sleep 0.02; done
                      rm -rf "$dir"' EXIT
                pactl suspend-sink micfeed 1 && pactl suspend-sink micfeed 0 || exit 1
                timeout 5 parec -d testmic --latency-msec=20 2>/dev/null | head -c 4 >/dev/null
                echo "$PULSE_SERVER $TEST_AUDIO_PID"
                read -r _)"_s,
                u"bash"_s, QStringLiteral(QUORBEL_TEST_AUDIO_SCRIPT)});
        const QStringList told
            = QTest::qWaitFor([this] { return m_shell.canReadLine(); }, timeoutMs)
            ? QString::fromUtf8(m_shell.readLine()).trimmed().split(u' ')
            : QStringList();
        environment = environmentFor(told.value(0));
        pid = told.value(1).toLongLong();
    }

    ~PrivateSoundServer()
    {
        m_shell.closeWriteChannel();
        if (!m_shell.waitForFinished(timeoutMs))
            m_shell.kill();
        m_shell.waitForFinished();
    }

    QProcessEnvironment environment;
    qint64 pid = 0; // 0: it would not start

private:
    QProcess m_shell;
};

} // namespace

Audio readAudio(const QString &path)
{
    SF_INFO info {};
    SNDFILE *file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!file)
        return {};
    Audio audio {info.samplerate, info.channels, info.format,
        std::vector<double>(size_t(info.frames * info.channels))};
    audio.samples.resize(
        size_t(sf_read_double(file, audio.samples.data(), sf_count_t(audio.samples.size()))));
    sf_close(file);
    return audio;
}

bool writeAudio(const QString &path, const Audio &audio)
{
    SF_INFO info {0, audio.rate, audio.channels, audio.format, 0, 0};
    SNDFILE *file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!file)
        return false;
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    const auto size = sf_count_t(audio.samples.size());
    const bool written = sf_write_double(file, audio.samples.data(), size) == size;
    return sf_close(file) == 0 && written;
}

void RecorderTest::initTestCase()
{
    QVERIFY2(!qEnvironmentVariableIsEmpty("PULSE_SERVER"), missingServer);
    QVERIFY2(readAudio(speech).rate == takeRate, "the speech fixtures must be in /work/shared");
}

void RecorderTest::recordsSpeechWhole()
{
    // The speech with every bit of a 24-bit sample in use: a take made at 16 bits, or with a
    // sample lost or one twice, would not match it.
    Audio fed = readAudio(speech);
    for (double &sample : fed.samples)
        sample = std::round(sample * 0.7 * 0x800000) / 0x800000;
    fed.format = feedFormat;
    QTemporaryDir dir;
    const QString fedPath = dir.filePath(u"fed.wav"_s), path = dir.filePath(u"take.wav"_s);
    QVERIFY(writeAudio(fedPath, fed));

    QtAudioInput input;
    const std::unique_ptr<Platform::Recorder> uut = input.makeRecorder(path);
    QSignalSpy finished(uut.get(), &Platform::Recorder::finished);
    QSignalSpy failed(uut.get(), &Platform::Recorder::encodeError);
    QVERIFY2(uut->record(), "the test microphone must start");
    QTRY_VERIFY2_WITH_TIMEOUT(uut->currentTime() > 0, "samples must reach the file", timeoutMs);
    QVERIFY2(feedMicrophone(fedPath), "paplay must play into the microphone");
    // Stopped the moment the speech is out, while its end is still on its way to the program.
    uut->stop();
    uut->stop();
    const double stoppedAt = uut->currentTime();
    QTest::qWait(50);
    QVERIFY2(finished.isEmpty() && failed.isEmpty() && uut->currentTime() == stoppedAt,
        "a stop that was asked for is not reported, and holds");

    const Audio take = readAudio(path);
    QCOMPARE(wholeProblem(take, fed), QString());
    const Platform::AudioFileInfo info = input.fileInfo(path);
    QVERIFY2(info.frames == qint64(take.samples.size()) && info.sampleRate == takeRate
            && std::lround(stoppedAt * takeRate) == info.frames,
        "currentTime and fileInfo must tell the audio written");
}

void RecorderTest::metersFoldEverySampleUntilDestroyed()
{
    // A quarter second of silence, half a second of a 1 kHz tone at -60 dBFS starting on a
    // crest, a quarter second of silence, a 10 ms full-scale burst, and silence again.
    Audio sound {takeRate, 1, feedFormat, {}};
    for (int i = 0; i < takeRate * 126 / 100; ++i) {
        const bool tone = i >= takeRate / 4 && i < takeRate * 3 / 4;
        const bool burst = i >= takeRate && i < takeRate * 101 / 100;
        sound.samples.push_back(tone ? 0.001 * std::cos(2 * std::numbers::pi * 1000 * i / takeRate)
                : burst              ? (i / 24 % 2 == 0 ? 1.0 : -1.0)
                                     : 0.0);
    }
    QTemporaryDir dir;
    const QString soundPath = dir.filePath(u"sound.wav"_s), path = dir.filePath(u"take.wav"_s);
    QVERIFY(writeAudio(soundPath, sound));

    std::unique_ptr<Platform::Recorder> uut = QtAudioInput().makeRecorder(path);
    QVERIFY2(uut->record(), "the test microphone must start");
    QTRY_VERIFY2_WITH_TIMEOUT(uut->currentTime() > 0.1, "silence must be recorded", timeoutMs);
    // Read as the controller reads them, every 80 ms, while the sound plays.
    QList<std::pair<float, float>> readings; // peak, average
    const auto read = [&] {
        uut->updateMeters();
        readings.append({uut->peakPower(), uut->averagePower()});
    };
    read();
    QTimer meters;
    QObject::connect(&meters, &QTimer::timeout, read);
    meters.start(80);
    QVERIFY2(feedMicrophone(soundPath), "paplay must play into the microphone");
    read();
    meters.stop();
    // Destroyed the moment the sound is out: the end must still be kept.
    QElapsedTimer clock;
    clock.start();
    uut.reset();
    QVERIFY2(clock.elapsed() < 1000, "destroying a recorder must not wait long");

    const std::pair silence {Platform::silenceDb, Platform::silenceDb};
    QVERIFY2(readings.size() > 10 && readings.first() == silence, "silence must read as silence");
    float toneAverage = Platform::silenceDb, loudest = Platform::silenceDb;
    for (const auto &[peak, average] : std::as_const(readings)) {
        const bool tone = std::abs(peak + 60) < 0.5f && average < peak;
        toneAverage = tone ? std::max(toneAverage, average) : toneAverage;
        loudest = std::max(loudest, peak);
        QVERIFY2(std::pair(peak, average) == silence || tone || peak > -0.5f,
            qPrintable(u"a reading of %1 dBFS peak, %2 dBFS average"_s.arg(peak).arg(average)));
    }
    QVERIFY2(loudest > -0.5f, "a burst between two readings must be caught by the next");
    QVERIFY2(std::abs(toneAverage + 63.01f) < 0.5f,
        qPrintable(u"a sine's average is 3 dB under its peak, not at %1 dBFS"_s.arg(toneAverage)));
    const Audio take = readAudio(path);
    QCOMPARE(wholeProblem(take, sound), QString());
    // The header must tell all the audio in the file: 3 bytes a frame, padded to an even size.
    QCOMPARE(QFileInfo(path).size(), 44 + (3 * qint64(take.samples.size()) + 1) / 2 * 2);
}

void RecorderTest::touchesOnlyItsOwnFiles_data()
{
    QTest::addColumn<bool>("measure"); // fileInfo; else makeRecorder, never recording
    QTest::addColumn<QString>("name"); // in a folder holding existing.wav, which is not audio
    QTest::addColumn<QByteArray>("replacement"); // put at the path once the recorder made it
    QTest::addColumn<QString>("reason"); // why the file is refused; "-": any reason

    QTest::addRow("a take over an existing file")
        << false << "existing.wav" << QByteArray() << "File exists";
    QTest::addRow("a take in a missing folder")
        << false << "missing/take.wav" << QByteArray() << "No such file or directory";
    QTest::addRow("a take never recorded") << false << "take.wav" << QByteArray() << "";
    QTest::addRow("a take never recorded, replaced meanwhile")
        << false << "take.wav" << QByteArray("another program's") << "";
    QTest::addRow("measuring a missing file")
        << true << "gone.wav" << QByteArray() << "No such file or directory";
    QTest::addRow("measuring what is not audio") << true << "existing.wav" << QByteArray() << "-";
}

void RecorderTest::touchesOnlyItsOwnFiles()
{
    QFETCH(bool, measure);
    QFETCH(QString, name);
    QFETCH(QByteArray, replacement);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    writeFile(dir.filePath(u"existing.wav"_s), "an earlier take");
    QMap<QString, QByteArray> expected = folderSnapshot(dir.path());
    const QString path = dir.filePath(name);
    QString description;
    try {
        if (measure)
            (void)QtAudioInput().fileInfo(path);
        const std::unique_ptr<Platform::Recorder> uut
            = measure ? nullptr : QtAudioInput().makeRecorder(path);
        QVERIFY2(measure || QFileInfo::exists(path), "the file is made with the recorder");
        if (!replacement.isEmpty() && QFile::remove(path))
            expected.insert(name, readFile(writeFile(path, replacement)));
    } catch (const SystemError &failure) {
        description = failure.description();
    }
    const QString prefix = u"Could not %1 “%2”: "_s.arg(measure ? u"read"_s : u"create"_s, path);
    QVERIFY2(reason == u"-"_s ? description.startsWith(prefix) && description.size() > prefix.size()
                              : description == (reason.isEmpty() ? QString() : prefix + reason),
        qPrintable(u"refused with: "_s + description));
    QCOMPARE(folderSnapshot(dir.path()), expected);
}

void RecorderTest::refusesAnInputThatIsGone()
{
    // A source that the program saw, gone when the take starts, as a microphone unplugged
    // just then: Qt alone would wait for it without end.
    const std::optional<QString> module = run(u"pactl"_s,
        {u"load-module"_s, u"module-remap-source"_s, u"source_name=gonemic"_s,
            u"master=micfeed.monitor"_s});
    QVERIFY2(module, "a second source must be made");
    const QStringList unload {u"unload-module"_s, module->trimmed()};
    const auto cleanUp = qScopeGuard([&] { run(u"pactl"_s, unload); });
    const QMediaDevices devices;
    QAudioDevice gone;
    QTRY_VERIFY2_WITH_TIMEOUT(
        [&] {
            for (const QAudioDevice &device : QMediaDevices::audioInputs())
                gone = device.id() == "gonemic" ? device : gone;
            return !gone.isNull();
        }(),
        "Qt must list the second source", timeoutMs);
    QVERIFY2(run(u"pactl"_s, unload), "the second source must go");

    QTemporaryDir dir;
    WavRecorder uut(gone, dir.filePath(u"take.wav"_s));
    QElapsedTimer clock;
    clock.start();
    QVERIFY2(!uut.record(), "a take from a source that is gone must not start");
    QVERIFY2(clock.elapsed() < 1000, "nor make the program wait");
    QVERIFY2(entries(dir.path()).isEmpty(), "nor leave a file");
}

void RecorderTest::keepsTheTakeWhenInterrupted_data()
{
    QTest::addColumn<bool>("server"); // who takes the signal: the sound server, or the recorder
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("noticeMs"); // how soon the recorder must notice, with room to spare

    QTest::addRow("sound server killed") << true << int(SIGKILL) << 3000;
    // Only the stall watchdog can tell: the connection stays open.
    QTest::addRow("sound server hung") << true << int(SIGSTOP) << 6000;
    // What it wrote is all there is: the header must have followed every write.
    QTest::addRow("recorder killed") << false << int(SIGKILL) << 0;
}

void RecorderTest::keepsTheTakeWhenInterrupted()
{
    QFETCH(bool, server);
    QFETCH(int, signal);
    QFETCH(int, noticeMs);
    const PrivateSoundServer sound;
    QVERIFY2(sound.pid > 0, "a private test sound server must start");
    QTemporaryDir dir;
    const QString path = dir.filePath(u"take.wav"_s);
    QProcess recorder;
    recorder.setProcessEnvironment(sound.environment);
    recorder.start(cli, {u"record"_s, path});
    QVERIFY2(QTest::qWaitFor(
                 [&] { return recorder.peek(1 << 16).contains("\nRecording: "); }, timeoutMs),
        recorder.readAllStandardError().constData());
    QElapsedTimer clock;
    clock.start();
    QVERIFY2(feedMicrophone(speech, sound.environment), "paplay must play into the microphone");
    QTest::qWait(300);

    QVERIFY2(::kill(pid_t(server ? sound.pid : recorder.processId()), signal) == 0,
        "the signal must be taken");
    const double recordedFor = double(clock.restart()) / 1000;
    QVERIFY2(QTest::qWaitFor([&] { return recorder.state() == QProcess::NotRunning; }, timeoutMs),
        "the recorder must end");
    const QString errors = QString::fromUtf8(recorder.readAllStandardError());
    QVERIFY2(!server
            || (clock.elapsed() < noticeMs && recorder.exitStatus() == QProcess::NormalExit
                && recorder.exitCode() == 3 && errors.contains(u"interrupted"_s)
                && errors.contains(u"kept in “%1”"_s.arg(path))),
        qPrintable(u"after %1 ms, exit code %2: %3"_s.arg(clock.elapsed())
                       .arg(recorder.exitCode())
                       .arg(errors)));

    const Audio take = readAudio(path);
    QCOMPARE(wholeProblem(take, readAudio(speech)), QString());
    const double seconds = double(take.samples.size()) / takeRate;
    QVERIFY2(seconds > recordedFor - 0.5 && seconds < recordedFor + 0.2,
        qPrintable(u"%1 s kept of %2 s"_s.arg(seconds).arg(recordedFor)));
    // Python's wave module believes the header alone.
    const std::optional<QString> told = run(u"python3"_s,
        {u"-c"_s,
            u"import wave, sys; w = wave.open(sys.argv[1]); "
            "print(w.getnframes(), w.getframerate(), w.getsampwidth())"_s,
            path});
    QCOMPARE(told.value_or(QString()), u"%1 48000 3\n"_s.arg(take.samples.size()));
}

void RecorderTest::reportsAFailedWrite()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"take.wav"_s);
    // A file size limit of 150 KiB, reached after about a second: the writes beyond it fail
    // with EFBIG, as they would on a full disk with ENOSPC. The sound server's client library
    // would complain about the limit on its shared memory: it is told to use none.
    const QString config
        = writeFile(dir.filePath(u"client.conf"_s), "autospawn = no\nenable-shm = no\n");
    QProcess recorder;
    recorder.setProcessEnvironment(environmentFor(qEnvironmentVariable("PULSE_SERVER"), config));
    recorder.start(u"bash"_s,
        {u"-c"_s, uR"(trap "" XFSZ; ulimit -f 150; exec "$0" "$@")"_s, cli, u"record"_s, path,
            u"--seconds"_s, u"20"_s});
    QVERIFY2(recorder.waitForFinished(timeoutMs), "the recorder must stop by itself");
    QCOMPARE(QString::fromUtf8(recorder.readAllStandardError()),
        u"Could not write “%1”: File too large\n"_s.arg(path));
    QCOMPARE(recorder.exitCode(), 1);
    QVERIFY2(readAudio(path).samples.size() > size_t(takeRate * 0.9),
        "what was written before must stay readable");
}

void InputDeviceTest::initTestCase()
{
    QVERIFY2(!qEnvironmentVariableIsEmpty("PULSE_SERVER"), missingServer);
}

void InputDeviceTest::namesTheServersDefaultSource()
{
    const Platform::DefaultInput input = QtAudioInput().defaultInput();
    QVERIFY2(input.present && input.name == u"Quorbel-Test-Microphone"_s, qPrintable(input.name));
}

void InputDeviceTest::cliMarksTheServersDefaultInput()
{
    // Qt 6.4 on its own would keep the first source as its default.
    const PrivateSoundServer sound;
    QVERIFY2(sound.pid > 0, "a private test sound server must start");
    const QString setup
        = u"pactl load-module module-remap-source source_name=othermic master=micfeed.monitor "
          "source_properties=device.description=Other-Microphone && "
          "pactl set-default-source othermic"_s;
    QVERIFY2(run(u"bash"_s, {u"-c"_s, setup}, sound.environment), "a second source must be made");
    QCOMPARE(run(cli, {u"devices"_s}, sound.environment).value_or(u"failed"_s),
        u"  Quorbel-Test-Microphone (testmic)\n* Other-Microphone (othermic)\n"_s);
}

void InputDeviceTest::cliFindsNoMicrophoneWithoutAServer_data()
{
    QTest::addColumn<QStringList>("arguments"); // "%1" stands for a fresh folder
    QTest::addRow("devices") << QStringList {u"devices"_s};
    QTest::addRow("record") << QStringList {u"record"_s, u"%1/take.wav"_s};
}

void InputDeviceTest::cliFindsNoMicrophoneWithoutAServer()
{
    QFETCH(QStringList, arguments);
    QTemporaryDir dir;
    QProcess uut;
    uut.setProcessEnvironment(environmentFor(u"unix:/nonexistent/native"_s));
    uut.start(cli, arguments.replaceInStrings(u"%1"_s, dir.path()));
    QVERIFY2(uut.waitForFinished(timeoutMs) && uut.exitStatus() == QProcess::NormalExit,
        "quorbel-cli must end by itself");
    QCOMPARE(QString::fromUtf8(uut.readAllStandardError()), u"No microphone detected.\n"_s);
    QVERIFY2(uut.exitCode() == 1 && uut.readAllStandardOutput().isEmpty()
            && entries(dir.path()).isEmpty(),
        "nothing printed, nothing left behind");
}

void InputDeviceTest::answersPermissionLater()
{
    QtAudioInput uut;
    QObject receiver;
    QList<bool> answers;
    uut.requestPermission(&receiver, [&](bool granted) { answers.append(granted); });
    auto *gone = new QObject;
    uut.requestPermission(gone, [&](bool granted) { answers.append(granted); });
    delete gone;
    QVERIFY2(answers.isEmpty(), "the answer must come later, not inside the call");
    QTRY_VERIFY2(!answers.isEmpty(), "the answer must come");
    QTest::qWait(50);
    QVERIFY2(answers == QList<bool> {true}, "granted, and only to a receiver still there");
}
