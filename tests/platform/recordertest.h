#pragma once

#include <QObject>
#include <QProcess>

/// WavRecorder on the test sound server, whose default input is a virtual microphone that the
/// tests feed with speech; and quorbel-cli record, for what only a process of its own can show:
/// its sound server dying, or itself being killed.
class RecorderTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void recordsSpeechWhole_data();
    void recordsSpeechWhole();
    void metersFoldEverySample_data();
    void metersFoldEverySample();
    void makesOnlyNewFiles_data();
    void makesOnlyNewFiles();
    void removesTheFileOfATakeNeverRecorded();
    void refusesAnInputThatIsGone();
    void stopsCleanlyWhenDestroyed();
    void keepsTheTakeWhenTheServerGoesAway_data();
    void keepsTheTakeWhenTheServerGoesAway();
    void leavesAPlayableTakeWhenKilled();
    void reportsAFailedWrite();
    void measuresAudioFiles_data();
    void measuresAudioFiles();

private:
    QProcess m_listener;
};

/// QtAudioInput's choice of input, and its answer to a permission request.
class InputDeviceTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void namesTheServersDefaultSource();
    void cliListsInputsAndMarksTheDefault_data();
    void cliListsInputsAndMarksTheDefault();
    void answersPermissionLater();
};
