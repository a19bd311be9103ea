#include "realrecordingtest.h"

#include "fakedesktop.h"
#include "qtaudioinput.h"
#include "recordermodel.h"
#include "wavplayer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sndfile.h>

namespace {

constexpr int timeoutMs = 20'000;

struct WavFormat
{
    sf_count_t frames = 0;
    int rate = 0;
    int channels = 0;
    int format = 0;
};

std::optional<WavFormat> readFormat(const QString &path)
{
    SF_INFO info {};
    SNDFILE *file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!file)
        return std::nullopt;
    sf_close(file);
    return WavFormat {info.frames, info.samplerate, info.channels, info.format};
}

} // namespace

void RealRecordingTest::recordsAndPlaysBackATake()
{
    const QString feed = qEnvironmentVariable("QUORBEL_TEST_MIC_FEED");
    QVERIFY2(qEnvironmentVariableIsSet("PULSE_SERVER") && !feed.isEmpty(),
        "PULSE_SERVER is not set: run through ./scripts/test, which starts the test sound server");
    const QString speech = QStringLiteral(QUORBEL_FIXTURES "/speech/arctic_a0001.wav");
    const std::optional<WavFormat> source = readFormat(speech);
    QVERIFY2(source, "the fixture speech must be readable");
    const double speechSeconds = double(source->frames) / source->rate;

    QTemporaryDir data;
    QVERIFY(data.isValid());
    QtAudioInput input;
    QtAudioOutput output;
    FakeDesktop desktop;
    FakeEnvironment environment;
    environment.setVariable(QString::fromLatin1(RecorderModel::dataDirVariable), data.path());
    RecorderModel uut({&input, &output, &desktop, &environment});
    uut.startRecordingTest();
    QVERIFY2(uut.current(), qPrintable(uut.errorText()));

    uut.toggleRecord();
    QVERIFY2(uut.requestingPermission(), "the answer to the permission request comes later");
    QTRY_VERIFY_WITH_TIMEOUT(uut.recording(), timeoutMs);
    QProcess player;
    player.start(QStringLiteral("paplay"), {QStringLiteral("-d"), feed, speech});
    QVERIFY2(player.waitForFinished(timeoutMs) && player.exitCode() == 0,
        qPrintable(QString::fromLocal8Bit(player.readAllStandardError())));
    // Leave the end of the sentence time to arrive, as a person waits a moment before stopping.
    QTest::qWait(500);
    QVERIFY2(uut.peak() > -40, "the meters must have seen the speech");
    uut.toggleRecord();

    QVERIFY(!uut.recording());
    QCOMPARE(uut.message(), QStringLiteral("Take saved. Listen back or move to the next line."));
    QVERIFY2(!uut.error(), qPrintable(uut.errorText()));
    const Take *take = uut.chosen();
    QVERIFY2(take, "the take must be filed as the line's chosen take");
    const QString path = QDir(uut.folder()).filePath(take->file);
    const std::optional<WavFormat> recorded = readFormat(path);
    QVERIFY2(recorded, "the take must be a WAV file that libsndfile opens");
    QCOMPARE(recorded->rate, 48000);
    QCOMPARE(recorded->channels, 1);
    QCOMPARE(recorded->format, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
    QVERIFY2(take->duration > speechSeconds && take->duration < speechSeconds + 2.0,
        qPrintable(QStringLiteral("a take of %1 s for %2 s of speech")
                       .arg(take->duration)
                       .arg(speechSeconds)));
    QCOMPARE(uut.session()->takes.value(uut.current()->id).size(), 1);

    QElapsedTimer clock;
    clock.start();
    uut.togglePlayback();
    QVERIFY2(uut.playing(), qPrintable(uut.errorText()));
    QTRY_VERIFY_WITH_TIMEOUT(!uut.playing(), timeoutMs);
    QVERIFY2(clock.elapsed() >= qint64(take->duration * 1000) - 100,
        qPrintable(QStringLiteral("playback ended after %1 ms of a %2 s take")
                       .arg(clock.elapsed())
                       .arg(take->duration)));
    QVERIFY2(!uut.error(), qPrintable(uut.errorText()));
}
