#include "desktoptest.h"

#include "qtdesktop.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTest>
#include <QToolButton>

#include <cerrno>

namespace {

// Long enough for a loaded machine to show a dialog, short enough to keep a broken case quick.
constexpr int modalTimeoutMs = 10'000;

const QString testingStore = QStringLiteral("org.quorbel.Quorbel.testing");

/// Presses each key of `keys` in the widget that has the keyboard focus, as a person would.
void press(QWidget *modal, const QKeySequence &keys)
{
    for (int i = 0; i < keys.count(); ++i) {
        QWidget *focus = QApplication::focusWidget();
        QTest::keyClick(focus ? focus : modal, keys[i].key(), keys[i].keyboardModifiers());
    }
}

/// Types `text` into the file name field of Qt's file dialog and presses Return there.
void enterPath(QWidget *modal, const QString &text)
{
    auto *field = modal->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
    if (!field)
        return;
    // setText rather than typed keys: the completer's popup would take the Return.
    field->setText(text);
    QTest::keyClick(field, Qt::Key_Return);
}

/// The message label's text and whether it stands above every row of the dialog.
struct MessageSeen
{
    QString text;
    bool onTop = false;
};

MessageSeen messageOf(QWidget *dialog)
{
    MessageSeen seen;
    auto *lookIn = dialog->findChild<QComboBox *>(QStringLiteral("lookInCombo"));
    for (QLabel *label : dialog->findChildren<QLabel *>()) {
        if (label->text().isEmpty() || !label->isVisible() || !label->wordWrap())
            continue;
        seen.text = label->text();
        seen.onTop = lookIn
            && label->mapTo(dialog, QPoint(0, label->height())).y()
                <= lookIn->mapTo(dialog, QPoint(0, 0)).y();
    }
    return seen;
}

void makeFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot make %s", qPrintable(path));
}

} // namespace

void DesktopTest::initTestCase()
{
    QVERIFY2(m_home.isValid(), "could not make a temporary home");
    // Qt's file dialog stores its history in the user's settings; all of that, and the
    // program's own settings, must land in the temporary home.
    m_realHome = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(m_home.path()));
    const QString config = m_home.filePath(QStringLiteral("config"));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, config);

    m_watchdog.setSingleShot(true);
    m_watchdog.setInterval(modalTimeoutMs);
    connect(&m_watchdog, &QTimer::timeout, this, [this] {
        m_timedOut = true;
        if (QWidget *modal = QApplication::activeModalWidget())
            modal->close();
    });
}

void DesktopTest::cleanupTestCase()
{
    qputenv("HOME", m_realHome);
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, config);
}

void DesktopTest::init()
{
    m_timedOut = false;
    m_watchdog.start();
}

void DesktopTest::cleanup()
{
    m_watchdog.stop();
}

void DesktopTest::whenModal(std::function<void(QWidget *)> act)
{
    QTimer::singleShot(0, this, [act = std::move(act)] {
        QWidget *modal = nullptr;
        const bool shown = QTest::qWaitFor(
            [&modal] {
                modal = QApplication::activeModalWidget();
                return modal && modal->isVisible();
            },
            modalTimeoutMs);
        if (shown && QTest::qWaitForWindowActive(modal))
            act(modal);
    });
}

void DesktopTest::confirmIgnoresEveryKeyButCancel_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QKeySequence>("keys");
    QTest::addColumn<bool>("closes"); // false: the keys leave the alert open

    const QString action = QStringLiteral("Move to Trash");
    auto keys = [](const char *text) { return QKeySequence(QString::fromLatin1(text)); };
    QTest::addRow("Return") << action << keys("Return") << true;
    QTest::addRow("Enter") << action << keys("Enter") << true;
    QTest::addRow("Escape") << action << keys("Esc") << true;
    QTest::addRow("Space") << action << keys("Space") << true;
    QTest::addRow("Tab, Return") << action << keys("Tab, Return") << true;
    QTest::addRow("Tab, Space") << action << keys("Tab, Space") << true;
    QTest::addRow("Backtab, Space") << action << keys("Backtab, Space") << true;
    QTest::addRow("Alt and the letter after an & in the action")
        << QStringLiteral("Delete &Take") << keys("Alt+T") << false;
}

void DesktopTest::confirmIgnoresEveryKeyButCancel()
{
    QFETCH(QString, action);
    QFETCH(QKeySequence, keys);
    QFETCH(bool, closes);

    bool closedByKeys = false;
    QString focused;
    whenModal([&](QWidget *modal) {
        const QPointer<QWidget> box = modal;
        if (auto *button = qobject_cast<QPushButton *>(QApplication::focusWidget()))
            focused = button->text();
        press(modal, keys);
        // A button's keyboard shortcut clicks it only after showing it pressed for a moment.
        closedByKeys = QTest::qWaitFor([&box] { return !box || !box->isVisible(); }, 500);
        if (!closedByKeys)
            QTest::keyClick(box, Qt::Key_Escape);
    });
    QtDesktop uut;
    const bool chosen = uut.confirm(
        {QStringLiteral("Delete this take?"), QStringLiteral("It goes to the Trash."), action});

    QVERIFY2(!m_timedOut, "the alert must be shown, and Escape must close it");
    QVERIFY2(!chosen, "no key may choose the action");
    QVERIFY2(focused == QStringLiteral("Cancel"),
        qPrintable("the keyboard must start on Cancel, not on: " + focused));
    QVERIFY2(closedByKeys == closes,
        closes ? "these keys must close the alert, choosing Cancel"
               : "these keys must leave the alert open");
}

void DesktopTest::confirmChoosesTheActionByClick()
{
    const QString action = QStringLiteral("Start Over");
    whenModal([&](QWidget *modal) {
        for (QPushButton *button : modal->findChildren<QPushButton *>()) {
            if (button->text() == action)
                QTest::mouseClick(button, Qt::LeftButton);
        }
    });
    QtDesktop uut;
    const bool chosen = uut.confirm(
        {QStringLiteral("Start the script over?"), QStringLiteral("All takes go."), action});

    QVERIFY2(!m_timedOut, "a click on the action must close the alert");
    QVERIFY2(chosen, "a click on the action must choose it");
}

void DesktopTest::confirmShowsTitleAndDetailAsWritten()
{
    // Script text may look like markup; it must be shown as it is written.
    const Platform::Alert alert {QStringLiteral("Delete “<b>Intro</b>”?"),
        QStringLiteral("<i>take 3</i> of line 1 goes to the Trash."), QStringLiteral("Delete")};
    QString windowTitle;
    QStringList shown; // the texts of the labels, as they are shown
    QStringList buttons;
    whenModal([&](QWidget *modal) {
        windowTitle = modal->windowTitle();
        for (QLabel *label : modal->findChildren<QLabel *>()) {
            if (label->isVisible() && !label->text().isEmpty())
                shown.append(label->textFormat() == Qt::PlainText ? label->text()
                                                                  : QStringLiteral("(markup)"));
        }
        for (QPushButton *button : modal->findChildren<QPushButton *>())
            buttons.append(button->text());
        QTest::keyClick(modal, Qt::Key_Escape);
    });
    QtDesktop uut;
    (void)uut.confirm(alert);

    QVERIFY2(!m_timedOut, "the alert must be shown, and Escape must close it");
    QVERIFY2(windowTitle == alert.title, qPrintable("the window title: " + windowTitle));
    shown.sort();
    QVERIFY2(shown == QStringList({alert.detail, alert.title}),
        qPrintable("title and detail must be shown as plain text: " + shown.join(u'|')));
    buttons.sort();
    QVERIFY2(buttons == QStringList({QStringLiteral("Cancel"), alert.action}),
        qPrintable("only Cancel and the action: " + buttons.join(u'|')));
}

void DesktopTest::chooseFileShowsItsMessageAndTypes()
{
    const Platform::FilePanel panel {QStringLiteral("Open Script"),
        QStringLiteral("Choose the script to record: a JSON, CSV or text file with one line of "
                       "the script to a row. The takes are kept in a folder beside it."),
        {QStringLiteral("json"), QStringLiteral("csv"), QStringLiteral("txt")}};
    QString windowTitle;
    MessageSeen message;
    QStringList filters;
    whenModal([&](QWidget *modal) {
        windowTitle = modal->windowTitle();
        message = messageOf(modal);
        if (auto *dialog = qobject_cast<QFileDialog *>(modal))
            filters = dialog->nameFilters();
        QTest::keyClick(modal, Qt::Key_Escape);
    });
    QtDesktop uut;
    (void)uut.chooseFile(panel);

    QVERIFY2(!m_timedOut, "the panel must be shown, and Escape must close it");
    QVERIFY2(windowTitle == panel.title, qPrintable("the window title: " + windowTitle));
    QVERIFY2(message.text == panel.message, qPrintable("the message shown: " + message.text));
    QVERIFY2(message.onTop, "the message must stand above the rest of the panel");
    QVERIFY2(!filters.isEmpty() && filters.first().endsWith(QStringLiteral("(*.json *.csv *.txt)")),
        qPrintable("the first filter must take all three types, in order: " + filters.join(u'|')));
}

void DesktopTest::chooseFileAnswersThePathOrNothing_data()
{
    // "%1" stands for a folder holding script.json and "my script.csv".
    QTest::addColumn<QString>("typed"); // empty: Escape
    QTest::addColumn<QString>("expected"); // empty: nothing chosen

    QTest::addRow("a JSON script") << "%1/script.json"
                                   << "%1/script.json";
    QTest::addRow("a name with a space") << "%1/my script.csv"
                                         << "%1/my script.csv";
    QTest::addRow("Escape") << ""
                            << "";
}

void DesktopTest::chooseFileAnswersThePathOrNothing()
{
    QFETCH(QString, typed);
    QFETCH(QString, expected);

    QTemporaryDir dir;
    makeFile(dir.filePath(QStringLiteral("script.json")));
    makeFile(dir.filePath(QStringLiteral("my script.csv")));
    typed.replace(QStringLiteral("%1"), dir.path());
    expected.replace(QStringLiteral("%1"), dir.path());
    whenModal([&](QWidget *modal) {
        if (typed.isEmpty())
            QTest::keyClick(modal, Qt::Key_Escape);
        else
            enterPath(modal, typed);
    });
    QtDesktop uut;
    const std::optional<QString> chosen
        = uut.chooseFile({QStringLiteral("Open Script"), QStringLiteral("Choose a script."),
            {QStringLiteral("json"), QStringLiteral("csv"), QStringLiteral("txt")}});

    QVERIFY2(!m_timedOut, "the panel must close on Return in the file name or on Escape");
    QVERIFY2(chosen.value_or(QString()) == expected && chosen.has_value() == !expected.isEmpty(),
        qPrintable("chosen: " + chosen.value_or(QStringLiteral("nothing"))));
}

void DesktopTest::chooseFolderAnswersThePathOrNothing_data()
{
    // "%1" stands for a folder holding the folders start/ and takes/.
    QTest::addColumn<bool>("canCreateFolders");
    QTest::addColumn<QString>("typed"); // empty: Escape
    QTest::addColumn<QString>("expected"); // empty: nothing chosen

    QTest::addRow("a folder") << false << "%1/takes"
                              << "%1/takes";
    QTest::addRow("a folder where new folders may be made") << true << "%1/takes"
                                                            << "%1/takes";
    QTest::addRow("Escape") << false << ""
                            << "";
}

void DesktopTest::chooseFolderAnswersThePathOrNothing()
{
    QFETCH(bool, canCreateFolders);
    QFETCH(QString, typed);
    QFETCH(QString, expected);

    QTemporaryDir dir;
    QVERIFY2(QDir(dir.path()).mkdir(QStringLiteral("start"))
            && QDir(dir.path()).mkdir(QStringLiteral("takes")),
        "could not make the folders");
    const Platform::FolderPanel panel {QStringLiteral("Choose Folder"),
        QStringLiteral("Choose where the session folder goes."),
        dir.filePath(QStringLiteral("start")), canCreateFolders};
    typed.replace(QStringLiteral("%1"), dir.path());
    expected.replace(QStringLiteral("%1"), dir.path());
    QString windowTitle;
    MessageSeen message;
    QString openedIn;
    bool newFolderOffered = false;
    whenModal([&](QWidget *modal) {
        windowTitle = modal->windowTitle();
        message = messageOf(modal);
        if (auto *dialog = qobject_cast<QFileDialog *>(modal))
            openedIn = dialog->directory().absolutePath();
        if (auto *button = modal->findChild<QToolButton *>(QStringLiteral("newFolderButton")))
            newFolderOffered = button->isVisible() && button->isEnabled();
        if (typed.isEmpty())
            QTest::keyClick(modal, Qt::Key_Escape);
        else
            enterPath(modal, typed);
    });
    QtDesktop uut;
    const std::optional<QString> chosen = uut.chooseFolder(panel);

    QVERIFY2(!m_timedOut, "the panel must close on Return in the folder name or on Escape");
    QVERIFY2(chosen.value_or(QString()) == expected && chosen.has_value() == !expected.isEmpty(),
        qPrintable("chosen: " + chosen.value_or(QStringLiteral("nothing"))));
    QVERIFY2(windowTitle == panel.title, qPrintable("the window title: " + windowTitle));
    QVERIFY2(message.text == panel.message && message.onTop,
        qPrintable("the message must stand above the rest of the panel: " + message.text));
    QVERIFY2(openedIn == panel.startFolder, qPrintable("the panel opened in " + openedIn));
    QVERIFY2(newFolderOffered == canCreateFolders,
        canCreateFolders ? "making a new folder must be offered"
                         : "making a new folder must not be offered");
}

void DesktopTest::settingsCommandTakesTheFirstInstalled_data()
{
    QTest::addColumn<QStringList>("installed");
    QTest::addColumn<bool>("microphone"); // else the sound page
    QTest::addColumn<QStringList>("expected"); // programs named without their folder

    const QStringList everything {QStringLiteral("gnome-control-center"),
        QStringLiteral("systemsettings"), QStringLiteral("kcmshell6"),
        QStringLiteral("systemsettings5"), QStringLiteral("kcmshell5"),
        QStringLiteral("pavucontrol")};
    QTest::addRow("sound on GNOME")
        << everything << false << QStringList {"gnome-control-center", "sound"};
    QTest::addRow("sound on Plasma 6")
        << everything.mid(1) << false << QStringList {"systemsettings", "kcm_pulseaudio"};
    QTest::addRow("sound with only kcmshell6") << QStringList {"kcmshell6", "pavucontrol"} << false
                                               << QStringList {"kcmshell6", "kcm_pulseaudio"};
    QTest::addRow("sound on Plasma 5")
        << everything.mid(3) << false << QStringList {"systemsettings5", "kcm_pulseaudio"};
    QTest::addRow("sound with only pavucontrol")
        << QStringList {"pavucontrol"} << false << QStringList {"pavucontrol"};
    QTest::addRow("sound with nothing") << QStringList() << false << QStringList();
    QTest::addRow("microphone on GNOME")
        << everything << true << QStringList {"gnome-control-center", "microphone"};
    QTest::addRow("microphone on Plasma 6")
        << everything.mid(1) << true << QStringList {"systemsettings", "kcm_pulseaudio"};
    QTest::addRow("microphone with only pavucontrol")
        << QStringList {"pavucontrol"} << true << QStringList {"pavucontrol"};
    QTest::addRow("microphone with nothing") << QStringList() << true << QStringList();
}

void DesktopTest::settingsCommandTakesTheFirstInstalled()
{
    QFETCH(QStringList, installed);
    QFETCH(bool, microphone);
    QFETCH(QStringList, expected);

    const QString bin = QStringLiteral("/usr/bin/");
    const QStringList command
        = settingsCommand(microphone ? SettingsPage::Microphone : SettingsPage::Sound,
            [&](const QString &name) { return installed.contains(name) ? bin + name : QString(); });

    if (!expected.isEmpty())
        expected.first().prepend(bin);
    QVERIFY2(command == expected, qPrintable("the command: " + command.join(u' ')));
}

void DesktopTest::variableTellsUnsetFromEmpty_data()
{
    QTest::addColumn<bool>("set");
    QTest::addColumn<QString>("value");

    QTest::addRow("unset") << false << "";
    QTest::addRow("set but empty") << true << "";
    QTest::addRow("set") << true << "/srv/takes";
}

void DesktopTest::variableTellsUnsetFromEmpty()
{
    QFETCH(bool, set);
    QFETCH(QString, value);

    const char *name = "QUORBEL_DESKTOP_TEST_VARIABLE";
    if (set)
        qputenv(name, value.toLocal8Bit());
    else
        qunsetenv(name);
    QtEnvironment uut;
    const std::optional<QString> read = uut.variable(QString::fromLatin1(name));
    qunsetenv(name);

    QVERIFY2(read.has_value() == set, set ? "a set variable must be read" : "must read as unset");
    QVERIFY2(read.value_or(QString()) == value, qPrintable("read: " + read.value_or(QString())));
}

void DesktopTest::namedSettingsAreApartAndOnDisk()
{
    const QString config = m_home.filePath(QStringLiteral("config"));
    // A value in the organization's shared file, which QSettings would read for every store.
    QVERIFY2(QDir().mkpath(config), "could not make the configuration folder");
    QFile shared(config + QStringLiteral("/Quorbel.conf"));
    QVERIFY2(shared.open(QIODevice::WriteOnly) && shared.write("[General]\nshared=yes\n") > 0,
        "could not write the shared file");
    shared.close();

    QtEnvironment uut;
    const std::unique_ptr<Platform::SettingsStore> user = uut.settings();
    const std::unique_ptr<Platform::SettingsStore> testing = uut.settings(testingStore);
    user->setText(QStringLiteral("lastFolder"), QStringLiteral("/home/me/scripts"));
    QVERIFY2(!testing->text(QStringLiteral("lastFolder")), "the user's values must not show");
    testing->setText(QStringLiteral("lastFolder"), QStringLiteral("/tmp/run"));
    QVERIFY2(user->text(QStringLiteral("lastFolder")) == QStringLiteral("/home/me/scripts"),
        "a named store must not change the user's");
    QVERIFY2(!user->text(QStringLiteral("shared")) && !testing->text(QStringLiteral("shared")),
        "the organization's shared values are no store's");

    // On disk already, while the stores are open: a crash now loses nothing.
    auto onDisk = [&](const QString &file) {
        QFile conf(config + QStringLiteral("/Quorbel/") + file);
        return conf.open(QIODevice::ReadOnly) ? QString::fromUtf8(conf.readAll()) : QString();
    };
    const QString userFile = onDisk(QStringLiteral("Quorbel.conf"));
    const QString testingFile = onDisk(testingStore + QStringLiteral(".conf"));
    QVERIFY2(userFile.contains(QStringLiteral("lastFolder=/home/me/scripts"))
            && !userFile.contains(QStringLiteral("/tmp/run")),
        qPrintable("the user's file: " + userFile));
    QVERIFY2(testingFile.contains(QStringLiteral("lastFolder=/tmp/run"))
            && !testingFile.contains(QStringLiteral("/home/me/scripts")),
        qPrintable("the named store's file: " + testingFile));

    QtEnvironment relaunched;
    QVERIFY2(relaunched.settings(testingStore)->text(QStringLiteral("lastFolder"))
            == QStringLiteral("/tmp/run"),
        "a named store must keep its values for the next run");
}

void DesktopTest::moveToTrashReportsWhyNot_data()
{
    QTest::addColumn<QString>("path"); // "%1" stands for an empty folder
    QTest::addColumn<QString>("reason");

    // The system's reason in the system's language.
    QTest::addRow("a missing take") << "%1/gone.wav" << qt_error_string(ENOENT);
    QTest::addRow("a relative path") << "takes/a.wav"
                                     << "Not an absolute path";
}

void DesktopTest::moveToTrashReportsWhyNot()
{
    QFETCH(QString, path);
    QFETCH(QString, reason);

    QTemporaryDir dir;
    path.replace(QStringLiteral("%1"), dir.path());
    QtDesktop uut;
    QString description;
    try {
        uut.moveToTrash(path);
    } catch (const SystemError &failure) {
        description = failure.description();
    }

    QVERIFY2(
        description == QStringLiteral("Could not move “%1” to the Trash: %2").arg(path, reason),
        qPrintable("the failure must name the item and why: " + description));
}
