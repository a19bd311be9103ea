#pragma once

#include <QObject>

/// The controller on the real sound services, with the test sound server's virtual microphone.
class RealRecordingTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void recordsAndPlaysBackATake();
};
