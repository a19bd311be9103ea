#include "playertest.h"

#include "recordertest.h"
#include "testfiles.h"
#include "wavplayer.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sndfile.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

constexpr int take24 = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
/// How long after a take's length its end may be reported: the output's buffer and the polling
/// of its clock, with room for a loaded machine.
constexpr qint64 finishSlackMs = 500;

/// A silent take of `ms` milliseconds at `path`: only how long it plays matters.
QString writeTake(
    const QString &path, qint64 ms, int rate = 48000, int channels = 1, int format = take24)
{
    if (!writeAudio(
            path, {rate, channels, format, std::vector<double>(rate * ms / 1000 * channels)}))
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

/// How many streams this process plays on the default output, the test server's speakers.
/// Other tests may play on the same server meanwhile.
int ownStreamsOnSpeakers()
{
    const auto list = [](const QStringList &what) {
        QProcess pactl;
        pactl.start(u"pactl"_s, QStringList {u"-f"_s, u"json"_s, u"list"_s} + what);
        pactl.waitForFinished();
        return QJsonDocument::fromJson(pactl.readAllStandardOutput()).array();
    };
    int speakers = -1, streams = 0;
    for (const QJsonValue &sink : list({u"short"_s, u"sinks"_s}))
        speakers = sink["name"] == u"speakers"_s ? sink["index"].toInt() : speakers;
    const QString self = QString::number(QCoreApplication::applicationPid());
    for (const QJsonValue &input : list({u"sink-inputs"_s}))
        streams
            += input["sink"] == speakers && input["properties"]["application.process.id"] == self;
    return streams;
}

/// What a player says, and when, counted from its play(); reads its currentTime every few
/// milliseconds while it plays, and keeps the first reading that is wrong for a take of
/// `durationMs`: one that goes back, is past the take's end, or ahead of the wall clock.
struct Listener
{
    Listener(Platform::Player *player, qint64 durationMs) : player(player), durationMs(durationMs)
    {
        QObject::connect(player, &Platform::Player::finished, player,
            [this](bool success) { end(success ? u"finished"_s : u"finished(false)"_s); });
        QObject::connect(player, &Platform::Player::decodeError, player,
            [this](const QString &description) { end(description); });
        QObject::connect(&sampler, &QTimer::timeout, [this] {
            const double time = this->player->currentTime();
            if (wrongTime.isEmpty()
                && (time < lastTime || time * 1000 > double(this->durationMs)
                    || time * 1000 > double(clock.elapsed())))
                wrongTime = u"currentTime %1 s after %2 s"_s.arg(time).arg(lastTime);
            lastTime = time;
        });
    }

    bool play()
    {
        ends.clear();
        wrongTime.clear();
        lastTime = 0;
        clock.start();
        sampler.start(5);
        return player->play();
    }

    void end(const QString &what)
    {
        ends.append(what);
        endMs = clock.elapsed();
        sampler.stop();
    }

    /// Waits for the play's end; empty when the take was heard whole: finished once, not
    /// before its length nor long after, with currentTime at its end.
    QString playedWhole()
    {
        if (!QTest::qWaitFor([this] { return !ends.isEmpty(); }, int(durationMs + 3000)))
            return u"the take must end"_s;
        if (ends != QStringList {u"finished"_s})
            return u"ended with: "_s + ends.join(u", "_s);
        if (endMs < durationMs || endMs > durationMs + finishSlackMs)
            return u"finished %1 ms after play(), for %2 ms of sound"_s.arg(endMs).arg(durationMs);
        if (lastTime * 1000 < double(durationMs - 100)
            || std::abs(player->currentTime() * 1000 - double(durationMs)) > 1)
            return u"currentTime went to %1 s, then %2 s"_s.arg(lastTime).arg(
                player->currentTime());
        return wrongTime;
    }

    Platform::Player *player;
    qint64 durationMs;
    QElapsedTimer clock;
    QTimer sampler;
    QStringList ends;
    qint64 endMs = -1;
    double lastTime = 0;
    QString wrongTime;
};

} // namespace

void PlayerTest::initTestCase()
{
    QVERIFY2(!qEnvironmentVariableIsEmpty("PULSE_SERVER"), missingServer);
}

void PlayerTest::playsToTheEndThenFinishes_data()
{
    QTest::addColumn<qint64>("ms");
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("channels");
    QTest::addColumn<int>("format");

    // The output goes idle some 150 ms before its last sample is heard.
    QTest::addRow("a take") << qint64(500) << 48000 << 1 << take24;
    QTest::addRow("a 16-bit stereo recording at 44.1 kHz")
        << qint64(500) << 44100 << 2 << (SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    QTest::addRow("a take with no sound") << qint64(0) << 48000 << 1 << take24;
}

void PlayerTest::playsToTheEndThenFinishes()
{
    QFETCH(qint64, ms);
    QFETCH(int, rate);
    QFETCH(int, channels);
    QFETCH(int, format);
    QTemporaryDir dir;
    const std::unique_ptr<Platform::Player> uut = QtAudioOutput().makePlayer(
        writeTake(dir.filePath(u"take.wav"_s), ms, rate, channels, format));
    Listener listener(uut.get(), ms);
    QVERIFY2(listener.play(), "the default output must start");
    QVERIFY2(listener.ends.isEmpty(), "no signal may come from inside play()");
    const QString problem = listener.playedWhole();
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QTRY_VERIFY2(ownStreamsOnSpeakers() == 0, "a finished take must leave the output");
}

void PlayerTest::stopSilencesAtOnceAndPlayStartsOver()
{
    QTemporaryDir dir;
    const std::unique_ptr<Platform::Player> uut
        = QtAudioOutput().makePlayer(writeTake(dir.filePath(u"take.wav"_s), 1000));
    Listener listener(uut.get(), 1000);
    QVERIFY2(listener.play(), "the default output must start");
    QTest::qWait(300);
    QVERIFY2(ownStreamsOnSpeakers() == 1, "the take must play on the default output");
    uut->stop();
    const double stoppedAt = uut->currentTime();
    QVERIFY2(stoppedAt > 0.1 && stoppedAt * 1000 <= double(listener.clock.elapsed()),
        qPrintable(u"%1 s heard when stopped"_s.arg(stoppedAt)));
    QTRY_VERIFY2_WITH_TIMEOUT(
        ownStreamsOnSpeakers() == 0, "the sound must leave the output on stop()", 300);
    QTest::qWait(int(1000 + finishSlackMs - listener.clock.elapsed()));
    QVERIFY2(listener.ends.isEmpty() && uut->currentTime() == stoppedAt,
        "no signal may follow stop(), and currentTime must stand still");

    QVERIFY2(listener.play(), "the default output must start again");
    QTest::qWait(50);
    QVERIFY2(uut->currentTime() < 0.1, "a new play must start from the beginning");
    const QString problem = listener.playedWhole();
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void PlayerTest::refusesWhatIsNotAudio_data()
{
    QTest::addColumn<QByteArray>("contents"); // "<missing>", "<pipe>": no file, a named pipe
    QTest::addColumn<QString>("reason"); // "-": any that libsndfile gives

    QTest::addRow("a missing file") << QByteArray("<missing>") << "No such file or directory";
    QTest::addRow("an empty file") << QByteArray() << "The file is empty";
    // Opening a pipe to read waits for a writer, unless told not to.
    QTest::addRow("a named pipe") << QByteArray("<pipe>") << "Not a regular file";
    QTest::addRow("text") << QByteArray("Line 1: Hello there.\n") << "-";
}

void PlayerTest::refusesWhatIsNotAudio()
{
    QFETCH(QByteArray, contents);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    const QString path = dir.filePath(u"take.wav"_s);
    if (contents == "<pipe>")
        QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
    else if (contents != "<missing>")
        writeFile(path, contents);
    QString description;
    try {
        (void)QtAudioOutput().makePlayer(path);
    } catch (const SystemError &failure) {
        description = failure.description();
    }
    const QString prefix = u"Could not open “%1”: "_s.arg(path);
    QVERIFY2(reason == u"-"_s ? description.startsWith(prefix) && description.size() > prefix.size()
                              : description == prefix + reason,
        qPrintable(u"refused with: "_s + description));
}

void PlayerTest::survivesItsFileChangingWhilePlaying_data()
{
    QTest::addColumn<bool>("cut"); // else replaced by another file
    // Only the header and a tenth of a second stay, which has been read by then.
    QTest::addRow("cut short") << true;
    // The player holds the file open, so it plays the take it opened to its end.
    QTest::addRow("replaced by another file") << false;
}

void PlayerTest::survivesItsFileChangingWhilePlaying()
{
    QFETCH(bool, cut);
    QTemporaryDir dir;
    const QString path = writeTake(dir.filePath(u"take.wav"_s), 1000);
    const std::unique_ptr<Platform::Player> uut = QtAudioOutput().makePlayer(path);
    Listener listener(uut.get(), 1000);
    QVERIFY2(listener.play(), "the default output must start");
    QTest::qWait(300);
    if (!cut) {
        QVERIFY(QFile::remove(path));
        writeTake(path, 100);
        const QString problem = listener.playedWhole();
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        return;
    }
    QVERIFY(QFile::resize(path, 44 + 3 * 4800));
    QTRY_VERIFY2(!listener.ends.isEmpty(), "the play must end");
    QVERIFY2(listener.ends
            == QStringList {u"Could not read “%1”: The file was cut short while it played"_s.arg(
                path)},
        qPrintable(u"ended with: "_s + listener.ends.join(u", "_s)));
    QVERIFY2(listener.endMs < 700, "the failure must be reported as soon as it is read");
    const double stoppedAt = uut->currentTime();
    QTest::qWait(100);
    QVERIFY2(uut->currentTime() == stoppedAt && stoppedAt < 0.7,
        "the sound must stop where the take was cut");
    QTRY_VERIFY2(ownStreamsOnSpeakers() == 0, "the sound must leave the output");
}

void PlayerTest::mayBeDeletedAnyTime_data()
{
    QTest::addColumn<bool>("whilePlaying"); // else by the handler of its finished signal
    QTest::addRow("while it plays") << true;
    QTest::addRow("by the handler of its finished signal") << false;
}

void PlayerTest::mayBeDeletedAnyTime()
{
    QFETCH(bool, whilePlaying);
    QTemporaryDir dir;
    std::unique_ptr<Platform::Player> uut
        = QtAudioOutput().makePlayer(writeTake(dir.filePath(u"take.wav"_s), 300));
    bool finished = false;
    QObject::connect(uut.get(), &Platform::Player::finished, [&] {
        finished = true;
        uut.reset();
    });
    QVERIFY2(uut->play(), "the default output must start");
    if (whilePlaying) {
        QTest::qWait(100);
        uut.reset();
    }
    QTRY_VERIFY2(!uut, "the player must be gone");
    QVERIFY2(finished != whilePlaying, "finished comes only to a player that plays to its end");
    QTRY_VERIFY2(ownStreamsOnSpeakers() == 0, "the sound must leave the output");
}
