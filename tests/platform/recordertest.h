#pragma once

#include <QObject>
#include <QString>

#include <vector>

inline constexpr char missingServer[] = "the test sound server is missing: run through "
                                        "./scripts/test, which starts it";

/// Audio as libsndfile reads and writes it: samples interleaved, full scale at 1.
struct Audio
{
    int rate = 0; // 0: the file could not be read
    int channels = 1;
    int format = 0;
    std::vector<double> samples;
};

Audio readAudio(const QString &path);
/// False when the file cannot be written.
bool writeAudio(const QString &path, const Audio &audio);

/// WavRecorder on the test sound server, whose default input is a virtual microphone that the
/// tests feed; and quorbel-cli record, for what only a process of its own can show: its sound
/// server dying, or itself being killed.
class RecorderTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void recordsSpeechWhole();
    void metersFoldEverySampleUntilDestroyed();
    void touchesOnlyItsOwnFiles_data();
    void touchesOnlyItsOwnFiles();
    void refusesAnInputThatIsGone();
    void keepsTheTakeWhenInterrupted_data();
    void keepsTheTakeWhenInterrupted();
    void reportsAFailedWrite();
};

/// QtAudioInput's choice of input, and its answer to a permission request.
class InputDeviceTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void namesTheServersDefaultSource();
    void cliMarksTheServersDefaultInput();
    void cliFindsNoMicrophoneWithoutAServer_data();
    void cliFindsNoMicrophoneWithoutAServer();
    void answersPermissionLater();
};
