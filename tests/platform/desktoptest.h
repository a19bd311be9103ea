#pragma once

#include <QObject>

class DesktopTest : public QObject
{
    Q_OBJECT
};
