#pragma once

#include <QByteArray>
#include <QObject>
#include <QTemporaryDir>
#include <QTimer>

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
    void init();
    void cleanup();

    void confirmIgnoresEveryKeyButCancel_data();
    void confirmIgnoresEveryKeyButCancel();
    void confirmChoosesTheActionByClick();
    void confirmShowsTitleAndDetailAsWritten();
    void chooseFileShowsItsMessageAndTypes();
    void chooseFileAnswersThePathOrNothing_data();
    void chooseFileAnswersThePathOrNothing();
    void chooseFolderAnswersThePathOrNothing_data();
    void chooseFolderAnswersThePathOrNothing();
    void settingsCommandTakesTheFirstInstalled_data();
    void settingsCommandTakesTheFirstInstalled();
    void variableTellsUnsetFromEmpty_data();
    void variableTellsUnsetFromEmpty();
    void namedSettingsAreApartAndOnDisk();
    void moveToTrashReportsWhyNot_data();
    void moveToTrashReportsWhyNot();

private:
    /// Runs `act` on the modal window from inside its event loop, once it is shown and active.
    void whenModal(std::function<void(QWidget *modal)> act);

    QTemporaryDir m_home;
    QByteArray m_realHome;
    /// Closes a modal window the test left open, so a broken case fails instead of hanging.
    QTimer m_watchdog;
    bool m_timedOut = false;
};
