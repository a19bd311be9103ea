#include "playertest.h"

#include "wavplayer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QtEndian>

#include <cmath>
#include <cstring>
#include <memory>
#include <numbers>
#include <sys/stat.h>

namespace {

constexpr int takeRate = 48000;
/// How long after a take's length its end may be reported: the output's buffer and the polling
/// of its clock, with room for a loaded machine.
constexpr qint64 finishSlackMs = 500;
/// Longer than any wait below should take when all is well.
constexpr int signalTimeoutMs = 3000;

/// A mono 48 kHz 24-bit PCM WAV file of `frames` frames of a soft tone.
QByteArray takeBytes(qint64 frames)
{
    QByteArray samples;
    samples.reserve(frames * 3);
    for (qint64 i = 0; i < frames; ++i) {
        const double phase = 2 * std::numbers::pi * 440 * double(i) / takeRate;
        const qint32 value = qint32(std::lround(0.25 * 8388607 * std::sin(phase)));
        samples.append(char(value & 0xff)).append(char((value >> 8) & 0xff));
        samples.append(char((value >> 16) & 0xff));
    }
    QByteArray header(44, '\0');
    char *h = header.data();
    auto put32 = [h](int at, quint32 value) { qToLittleEndian(value, h + at); };
    auto put16 = [h](int at, quint16 value) { qToLittleEndian(value, h + at); };
    std::memcpy(h, "RIFF", 4);
    put32(4, quint32(36 + samples.size()));
    std::memcpy(h + 8, "WAVEfmt ", 8);
    put32(16, 16);
    put16(20, 1); // integer PCM
    put16(22, 1);
    put32(24, takeRate);
    put32(28, takeRate * 3);
    put16(32, 3);
    put16(34, 24);
    std::memcpy(h + 36, "data", 4);
    put32(40, quint32(samples.size()));
    return header + samples;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray pactl(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral("pactl"), arguments);
    if (!process.waitForFinished() || process.exitCode() != 0)
        return QByteArray();
    return process.readAllStandardOutput();
}

/// How many streams this process plays on the default output; -1 when the sound server cannot
/// be asked. Other tests may play on the same server meanwhile.
int ownStreamsOnSpeakers()
{
    const QString speakers = QString::fromUtf8(pactl({"get-default-sink"}).trimmed());
    int sink = -1;
    const QJsonArray sinks
        = QJsonDocument::fromJson(pactl({"-f", "json", "list", "short", "sinks"})).array();
    for (const QJsonValue &each : sinks)
        sink = each["name"].toString() == speakers ? each["index"].toInt() : sink;
    if (sink < 0)
        return -1;
    const QString process = QString::number(QCoreApplication::applicationPid());
    int streams = 0;
    const QJsonArray inputs
        = QJsonDocument::fromJson(pactl({"-f", "json", "list", "sink-inputs"})).array();
    for (const QJsonValue &input : inputs)
        streams += input["sink"].toInt() == sink
            && input["properties"]["application.process.id"].toString() == process;
    return streams;
}

/// What a player says, and when, counted from just before its play(); samples its currentTime
/// every few milliseconds while it plays.
class Listener
{
public:
    explicit Listener(Platform::Player *player) : m_player(player)
    {
        QObject::connect(player, &Platform::Player::finished, player, [this](bool success) {
            finished.append(success);
            endMs = clock.elapsed();
        });
        QObject::connect(
            player, &Platform::Player::decodeError, player, [this](const QString &description) {
                decodeErrors.append(description);
                endMs = clock.elapsed();
            });
        m_sampler.setInterval(5);
        QObject::connect(&m_sampler, &QTimer::timeout, [this] {
            if (m_player && endMs < 0)
                times.append({clock.elapsed(), m_player->currentTime()});
        });
    }

    /// Plays from now on; false when play() says the output would not start.
    bool play()
    {
        finished.clear();
        decodeErrors.clear();
        times.clear();
        endMs = -1;
        clock.start();
        m_sampler.start();
        return m_player->play();
    }

    [[nodiscard]] bool ended() const { return !finished.isEmpty() || !decodeErrors.isEmpty(); }

    QElapsedTimer clock;
    QList<bool> finished;
    QStringList decodeErrors;
    qint64 endMs = -1;
    /// Milliseconds since play() and the currentTime then.
    QList<std::pair<qint64, double>> times;

private:
    QPointer<Platform::Player> m_player;
    QTimer m_sampler;
};

/// Why a list of currentTime samples is wrong for a take of `seconds`; empty when it is right.
QString timesProblem(const QList<std::pair<qint64, double>> &times, double seconds)
{
    double previous = 0;
    for (const auto &[ms, time] : times) {
        if (time < previous)
            return QStringLiteral("went back from %1 s to %2 s").arg(previous).arg(time);
        if (time > seconds)
            return QStringLiteral("%1 s is past the take's end").arg(time);
        if (time > double(ms) / 1000)
            return QStringLiteral("%1 s heard only %2 ms after play()").arg(time).arg(ms);
        previous = time;
    }
    return QString();
}

} // namespace

void PlayerTest::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("PULSE_SERVER"))
        QFAIL("PULSE_SERVER is not set: run through ./scripts/test, which starts the test sound "
              "server");
    QVERIFY2(ownStreamsOnSpeakers() == 0, "pactl must list the streams of the test sound server");
}

void PlayerTest::playsToTheEndThenFinishes_data()
{
    QTest::addColumn<QString>("fixture"); // empty: a tone of `frames` made for the test
    QTest::addColumn<qint64>("frames");

    QTest::addRow("a 24-bit take") << QString() << qint64(takeRate * 3 / 2);
    QTest::addRow("a 16-bit recording of speech")
        << QStringLiteral(QUORBEL_FIXTURES "/speech/arctic_a0001.wav") << qint64(158230);
    QTest::addRow("a take with no sound") << QString() << qint64(0);
}

void PlayerTest::playsToTheEndThenFinishes()
{
    QFETCH(QString, fixture);
    QFETCH(qint64, frames);
    QTemporaryDir dir;
    const QString path = fixture.isEmpty() ? dir.filePath(QStringLiteral("take.wav")) : fixture;
    QVERIFY2(!fixture.isEmpty() || writeFile(path, takeBytes(frames)), "could not write the take");
    const double seconds = double(frames) / takeRate;
    const qint64 durationMs = frames * 1000 / takeRate;

    const std::unique_ptr<Platform::Player> uut = QtAudioOutput().makePlayer(path);
    Listener listener(uut.get());
    QVERIFY2(listener.play(), "the default output must start");
    QVERIFY2(!listener.ended(), "no signal may come from inside play()");
    QTRY_VERIFY2_WITH_TIMEOUT(
        listener.ended(), "the take must end", int(durationMs + signalTimeoutMs));

    QVERIFY2(listener.decodeErrors.isEmpty(), qPrintable(listener.decodeErrors.join(u'\n')));
    QVERIFY2(listener.finished == QList<bool> {true}, "finished(true) must come once");
    QVERIFY2(listener.endMs >= durationMs,
        qPrintable(QStringLiteral("finished %1 ms after play(), before the %2 ms of sound played")
                       .arg(listener.endMs)
                       .arg(durationMs)));
    QVERIFY2(listener.endMs <= durationMs + finishSlackMs,
        qPrintable(QStringLiteral("finished %1 ms after play(), long after its %2 ms")
                       .arg(listener.endMs)
                       .arg(durationMs)));
    const QString problem = timesProblem(listener.times, seconds);
    QVERIFY2(problem.isEmpty(), qPrintable("currentTime " + problem));
    const double lastTime = listener.times.isEmpty() ? 0 : listener.times.last().second;
    QVERIFY2(lastTime >= seconds - 0.1,
        qPrintable(QStringLiteral("currentTime was %1 s at the end of a %2 s take")
                       .arg(lastTime)
                       .arg(seconds)));
    QVERIFY2(
        qAbs(uut->currentTime() - seconds) < 0.001, "once finished, the whole take has been heard");
    QTRY_VERIFY2(ownStreamsOnSpeakers() == 0, "a finished take must leave the output");
}

void PlayerTest::stopSilencesAtOnceAndPlayStartsOver()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("take.wav"));
    const qint64 durationMs = 1500;
    QVERIFY2(writeFile(path, takeBytes(takeRate * durationMs / 1000)), "could not write the take");
    const std::unique_ptr<Platform::Player> uut = QtAudioOutput().makePlayer(path);
    Listener listener(uut.get());

    QVERIFY2(listener.play(), "the default output must start");
    QTest::qWait(600);
    QVERIFY2(ownStreamsOnSpeakers() == 1, "the take must play on the default output");
    uut->stop();
    const qint64 stoppedMs = listener.clock.elapsed();
    const double stoppedAt = uut->currentTime();
    QVERIFY2(stoppedAt > 0.2 && stoppedAt <= double(stoppedMs) / 1000,
        qPrintable(QStringLiteral("%1 s heard when stopped %2 ms into the take")
                       .arg(stoppedAt)
                       .arg(stoppedMs)));
    QTRY_VERIFY2_WITH_TIMEOUT(
        ownStreamsOnSpeakers() == 0, "the sound must leave the output on stop()", 300);
    QTest::qWait(int(durationMs + finishSlackMs - listener.clock.elapsed()));
    QVERIFY2(!listener.ended(), "no signal may follow stop()");
    QVERIFY2(uut->currentTime() == stoppedAt, "currentTime must stand still once stopped");

    QVERIFY2(listener.play(), "the default output must start again");
    QTest::qWait(50);
    QVERIFY2(uut->currentTime() < 0.1, "a new play must start from the beginning");
    QTRY_VERIFY2_WITH_TIMEOUT(
        listener.ended(), "the take must end", int(durationMs + signalTimeoutMs));
    QVERIFY2(listener.finished == QList<bool> {true}, "finished(true) must come once");
    QVERIFY2(listener.endMs >= durationMs,
        qPrintable(QStringLiteral("finished %1 ms after play(), before the whole take played")
                       .arg(listener.endMs)));
}

void PlayerTest::refusesWhatIsNotAudio_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("contents"); // "folder", "pipe": a folder, a named pipe
    QTest::addColumn<bool>("create");
    QTest::addColumn<QString>("reason"); // empty: any reason libsndfile gives

    QTest::addRow("a missing file")
        << "gone.wav" << QByteArray() << false << "No such file or directory";
    QTest::addRow("an empty file") << "empty.wav" << QByteArray() << true << "The file is empty";
    QTest::addRow("a text file named .wav")
        << "notes.wav" << QByteArray("Line 1: Hello there.\n") << true << QString();
    QTest::addRow("a take cut inside its header")
        << "cut.wav" << takeBytes(100).left(20) << true << QString();
    QTest::addRow("a folder") << "takes.wav" << QByteArray("folder") << true << "Not a regular file";
    // Opening a pipe to read waits for a writer, unless told not to.
    QTest::addRow("a named pipe") << "pipe.wav" << QByteArray("pipe") << true
                                  << "Not a regular file";
}

void PlayerTest::refusesWhatIsNotAudio()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, contents);
    QFETCH(bool, create);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    const QString path = dir.filePath(name);
    if (create && contents == "folder")
        QVERIFY2(QDir(dir.path()).mkdir(name), "could not make the folder");
    else if (create && contents == "pipe")
        QVERIFY2(
            ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0, "could not make the pipe");
    else if (create)
        QVERIFY2(writeFile(path, contents), "could not write the file");

    QtAudioOutput uut;
    try {
        const std::unique_ptr<Platform::Player> player = uut.makePlayer(path);
        QFAIL("a player was made for a file that is not audio");
    } catch (const SystemError &failure) {
        const QString prefix = QStringLiteral("Could not open “%1”: ").arg(path);
        const QString &description = failure.description();
        QVERIFY2(description.startsWith(prefix) && description.size() > prefix.size()
                && (reason.isEmpty() || description == prefix + reason),
            qPrintable("the failure must name the file and say why: " + description));
    }
}

void PlayerTest::survivesItsFileChangingWhilePlaying_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("decodeError");

    // The header stays and a tenth of a second of sound, which has been read by then.
    QTest::addRow("cut short") << "cut" << true;
    // The player holds the file open, so it plays the take it opened to its end.
    QTest::addRow("replaced by another file") << "replace" << false;
}

void PlayerTest::survivesItsFileChangingWhilePlaying()
{
    QFETCH(QString, change);
    QFETCH(bool, decodeError);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("take.wav"));
    const qint64 durationMs = 1500;
    QVERIFY2(writeFile(path, takeBytes(takeRate * durationMs / 1000)), "could not write the take");
    const std::unique_ptr<Platform::Player> uut = QtAudioOutput().makePlayer(path);
    Listener listener(uut.get());

    QVERIFY2(listener.play(), "the default output must start");
    QTest::qWait(500);
    const QString other = dir.filePath(QStringLiteral("other.wav"));
    if (change == "cut")
        QVERIFY2(QFile::resize(path, 44 + 3 * (takeRate / 10)), "could not cut the take short");
    else
        QVERIFY2(writeFile(other, takeBytes(takeRate / 10)) && QFile::remove(path)
                && QFile::rename(other, path),
            "could not replace the take");
    QTRY_VERIFY2_WITH_TIMEOUT(
        listener.ended(), "the play must end", int(durationMs + signalTimeoutMs));

    if (decodeError) {
        QVERIFY2(listener.finished.isEmpty(), "a take that could not be read has not finished");
        QVERIFY2(listener.decodeErrors
                == QStringList {QStringLiteral(
                    "Could not read “%1”: The file was cut short while it played")
                                    .arg(path)},
            qPrintable("decodeError must name the file and say why: "
                + listener.decodeErrors.join(u'\n')));
        QVERIFY2(listener.endMs < 1000, "the failure must be reported as soon as it is read");
        const double stoppedAt = uut->currentTime();
        QTest::qWait(100);
        QVERIFY2(uut->currentTime() == stoppedAt && stoppedAt < 1,
            "the sound must stop where the take was cut");
        QTRY_VERIFY2(ownStreamsOnSpeakers() == 0, "the sound must leave the output");
    } else {
        QVERIFY2(listener.decodeErrors.isEmpty(), qPrintable(listener.decodeErrors.join(u'\n')));
        QVERIFY2(listener.finished == QList<bool> {true} && listener.endMs >= durationMs,
            "the take opened must play to its end");
    }
}

void PlayerTest::mayBeDeletedAnyTime_data()
{
    QTest::addColumn<bool>("whilePlaying"); // otherwise: by the handler of finished
    QTest::addRow("while it plays") << true;
    QTest::addRow("by the handler of its finished signal") << false;
}

void PlayerTest::mayBeDeletedAnyTime()
{
    QFETCH(bool, whilePlaying);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("take.wav"));
    QVERIFY2(writeFile(path, takeBytes(takeRate / 2)), "could not write the take");
    std::unique_ptr<Platform::Player> uut = QtAudioOutput().makePlayer(path);
    bool finished = false;
    QObject::connect(uut.get(), &Platform::Player::finished, [&] {
        finished = true;
        uut.reset();
    });

    QVERIFY2(uut->play(), "the default output must start");
    if (whilePlaying) {
        QTest::qWait(200);
        uut.reset();
    }
    QTRY_VERIFY2_WITH_TIMEOUT(!uut, "the player must be gone", signalTimeoutMs);
    QVERIFY2(finished != whilePlaying, "finished comes only to a player that plays to its end");
    QTRY_VERIFY2(ownStreamsOnSpeakers() == 0, "the sound must leave the output");
}
