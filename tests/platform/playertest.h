#pragma once

#include <QObject>

/// WavPlayer on the test sound server, whose default output is a null sink playing in real time.
class PlayerTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void playsToTheEndThenFinishes_data();
    void playsToTheEndThenFinishes();
    void stopSilencesAtOnceAndPlayStartsOver();
    void refusesWhatIsNotAudio_data();
    void refusesWhatIsNotAudio();
    void reportsItsFileCutShortWhilePlaying();
    void mayBeDeletedAnyTime_data();
    void mayBeDeletedAnyTime();
};
