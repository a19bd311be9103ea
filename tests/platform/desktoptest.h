#pragma once

#include <QObject>
#include <QTemporaryDir>

#include <functional>

class QWidget;

/// QtDesktop's panels and alert, driven by keys and clicks, and the environment and settings
/// stores, kept to a temporary home.
class DesktopTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void confirmTakesTheActionOnlyByClick_data();
    void confirmTakesTheActionOnlyByClick();
    void panelsAnswerThePathOrNothing_data();
    void panelsAnswerThePathOrNothing();
    void settingsCommandTakesTheFirstInstalled_data();
    void settingsCommandTakesTheFirstInstalled();
    void variableTellsUnsetFromEmpty_data();
    void variableTellsUnsetFromEmpty();
    void namedSettingsAreApartAndOnDisk();

private:
    /// Runs `act` on the modal window from inside its event loop, once it is shown and active;
    /// closes it if it is still open ten seconds later, so a broken case fails instead of hanging.
    void whenModal(std::function<void(QWidget *modal)> act);

    QTemporaryDir m_home;
    QByteArray m_realHome;
    bool m_timedOut = false;
};
