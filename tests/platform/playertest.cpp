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

/// How many streams this process plays on the test sound server, where other tests may play
/// meanwhile.
int ownStreams()
{
    QProcess pactl;
    pactl.start(u"pactl"_s, {u"-f"_s, u"json"_s, u"list"_s, u"sink-inputs"_s});
    pactl.waitForFinished();
    const QString self = QString::number(QCoreApplication::applicationPid());
    int streams = 0;
    for (const QJsonValue &input : QJsonDocument::fromJson(pactl.readAllStandardOutput()).array())
        streams += input["properties"]["application.process.id"] == self;
    return streams;
}

/// What a player says, and how long after its play().
struct Listener
{
    explicit Listener(Platform::Player *player) : player(player)
    {
        QObject::connect(player, &Platform::Player::finished, player,
            [this](bool success) { end(success ? u"finished"_s : u"finished(false)"_s); });
        QObject::connect(player, &Platform::Player::decodeError, player,
            [this](const QString &description) { end(description); });
    }

    bool play()
    {
        ends.clear();
        clock.start();
        return player->play();
    }

    void end(const QString &what)
    {
        ends.append(what);
        endMs = clock.elapsed();
    }

    /// Waits for the play's end; empty when a take of `ms` was heard whole: finished once,
    /// neither before its length nor long after, with currentTime at its end.
    QString playedWhole(qint64 ms)
    {
        // An end that never came shows as no end at all.
        (void)QTest::qWaitFor([this] { return !ends.isEmpty(); }, int(ms + 3000));
        if (ends != QStringList {u"finished"_s})
            return u"ended with: "_s + ends.join(u", "_s);
        if (endMs < ms || endMs > ms + finishSlackMs
            || std::abs(player->currentTime() * 1000 - double(ms)) > 1)
            return u"finished %1 ms after play(), for %2 ms of sound, having played %3 s"_s
                .arg(endMs)
                .arg(ms)
                .arg(player->currentTime());
        return QString();
    }

    Platform::Player *player;
    QElapsedTimer clock;
    QStringList ends;
    qint64 endMs = -1;
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
    QTest::addColumn<bool>("replaced"); // by another file, while it plays

    // The output goes idle some 150 ms before its last sample is heard.
    QTest::addRow("a take") << qint64(500) << 48000 << 1 << take24 << false;
    // Long enough that at half speed it would end past the slack.
    QTest::addRow("a 16-bit stereo recording at 44.1 kHz")
        << qint64(1000) << 44100 << 2 << (SF_FORMAT_WAV | SF_FORMAT_PCM_16) << false;
    QTest::addRow("a take with no sound") << qint64(0) << 48000 << 1 << take24 << false;
    // The player holds the file open, so it plays the take it opened to its end.
    QTest::addRow("a take replaced while it plays") << qint64(500) << 48000 << 1 << take24 << true;
}

void PlayerTest::playsToTheEndThenFinishes()
{
    QFETCH(qint64, ms);
    QFETCH(int, rate);
    QFETCH(int, channels);
    QFETCH(int, format);
    QFETCH(bool, replaced);
    QTemporaryDir dir;
    const QString path = writeTake(dir.filePath(u"take.wav"_s), ms, rate, channels, format);
    const std::unique_ptr<Platform::Player> uut = QtAudioOutput().makePlayer(path);
    Listener listener(uut.get());
    QVERIFY2(listener.play(), "the default output must start");
    QVERIFY2(listener.ends.isEmpty(), "no signal may come from inside play()");
    if (replaced) {
        QTest::qWait(200);
        QVERIFY(QFile::remove(path));
        writeTake(path, 100);
    }
    QCOMPARE(listener.playedWhole(ms), QString());
    QTRY_VERIFY2(ownStreams() == 0, "a finished take must leave the output");
}

void PlayerTest::stopSilencesAtOnceAndPlayStartsOver()
{
    QTemporaryDir dir;
    const std::unique_ptr<Platform::Player> uut
        = QtAudioOutput().makePlayer(writeTake(dir.filePath(u"take.wav"_s), 1000));
    Listener listener(uut.get());
    QVERIFY2(listener.play(), "the default output must start");
    QTest::qWait(300);
    QVERIFY2(ownStreams() == 1, "the take must play");
    uut->stop();
    const double stoppedAt = uut->currentTime();
    QVERIFY2(stoppedAt > 0.1 && stoppedAt * 1000 <= double(listener.clock.elapsed()),
        qPrintable(u"%1 s heard when stopped"_s.arg(stoppedAt)));
    QTRY_VERIFY2_WITH_TIMEOUT(ownStreams() == 0, "the sound must leave the output on stop()", 300);
    QTest::qWait(int(1000 + finishSlackMs - listener.clock.elapsed()));
    QVERIFY2(listener.ends.isEmpty() && uut->currentTime() == stoppedAt,
        "no signal may follow stop(), and currentTime must stand still");

    QVERIFY2(listener.play(), "the default output must start again");
    QTest::qWait(50);
    QVERIFY2(uut->currentTime() < 0.1, "a new play must start from the beginning");
    QCOMPARE(listener.playedWhole(1000), QString());
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

void PlayerTest::reportsItsFileCutShortWhilePlaying()
{
    QTemporaryDir dir;
    const QString path = writeTake(dir.filePath(u"take.wav"_s), 1000);
    const std::unique_ptr<Platform::Player> uut = QtAudioOutput().makePlayer(path);
    Listener listener(uut.get());
    QVERIFY2(listener.play(), "the default output must start");
    QTest::qWait(300);
    // Only the header and a tenth of a second stay, which has been read by then.
    QVERIFY(QFile::resize(path, 44 + 3 * 4800));
    QTRY_VERIFY2(!listener.ends.isEmpty(), "the play must end");
    QCOMPARE(listener.ends,
        QStringList {u"Could not read “%1”: The file was cut short while it played"_s.arg(path)});
    QVERIFY2(listener.endMs < 700, "the failure must be reported as soon as it is read");
    const double stoppedAt = uut->currentTime();
    QTest::qWait(100);
    QVERIFY2(uut->currentTime() == stoppedAt && stoppedAt < 0.7,
        "the sound must stop where the take was cut");
    QTRY_VERIFY2(ownStreams() == 0, "the sound must leave the output");
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
    QTRY_VERIFY2(ownStreams() == 0, "the sound must leave the output");
}
