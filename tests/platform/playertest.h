#pragma once

#include <QObject>

class PlayerTest : public QObject
{
    Q_OBJECT
};
