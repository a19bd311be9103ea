#pragma once

#include <QObject>

class RecorderTest : public QObject
{
    Q_OBJECT
};

class InputDeviceTest : public QObject
{
    Q_OBJECT
};
