#include "desktoptest.h"

#include "qtdesktop.h"
#include "testfiles.h"

#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QTimer>
#include <QToolButton>

using namespace Qt::StringLiterals;

namespace {

// Long enough for a loaded machine to show a dialog, short enough to keep a broken case quick.
constexpr int modalTimeoutMs = 10'000;

} // namespace

void DesktopTest::initTestCase()
{
    // Qt's file dialog keeps its history in the user's settings: that, and the program's own
    // settings, must land in the temporary home.
    QVERIFY(m_home.isValid());
    m_realHome = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(m_home.path()));
    for (const QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat})
        QSettings::setPath(format, QSettings::UserScope, m_home.filePath(u"config"_s));
}

void DesktopTest::cleanupTestCase()
{
    qputenv("HOME", m_realHome);
}

void DesktopTest::whenModal(std::function<void(QWidget *)> act)
{
    m_timedOut = false;
    QTimer::singleShot(0, this, [this, act = std::move(act)] {
        QWidget *modal = nullptr;
        const bool shown = QTest::qWaitFor(
            [&modal] { return (modal = QApplication::activeModalWidget()) && modal->isVisible(); },
            modalTimeoutMs);
        if (!shown || !QTest::qWaitForWindowActive(modal))
            return;
        QTimer::singleShot(modalTimeoutMs, modal, [this, modal] {
            m_timedOut = true;
            modal->close();
        });
        act(modal);
    });
}

void DesktopTest::confirmTakesTheActionOnlyByClick_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QKeySequence>("keys"); // none: a click on the action
    QTest::addColumn<bool>("closes");

    const QString action = u"Move to Trash"_s;
    QTest::addRow("Return") << action << QKeySequence(u"Return"_s) << true;
    QTest::addRow("Escape") << action << QKeySequence(u"Esc"_s) << true;
    QTest::addRow("Space") << action << QKeySequence(u"Space"_s) << true;
    QTest::addRow("Tab, Space") << action << QKeySequence(u"Tab, Space"_s) << true;
    QTest::addRow("Alt and the letter after an & in the action")
        << u"Delete &Take"_s << QKeySequence(u"Alt+T"_s) << false;
    QTest::addRow("a click on the action") << action << QKeySequence() << true;
}

void DesktopTest::confirmTakesTheActionOnlyByClick()
{
    QFETCH(QString, action);
    QFETCH(QKeySequence, keys);
    QFETCH(bool, closes);
    // Script text may look like markup; it must be shown as it is written.
    const Platform::Alert alert {
        u"Delete “<b>Intro</b>”?"_s, u"<i>take 3</i> of line 1 goes to the Trash."_s, action};
    QStringList shown; // the window title, then the labels' texts as they are shown
    QString focused;
    int buttons = 0;
    bool closed = false;
    whenModal([&](QWidget *modal) {
        shown.append(modal->windowTitle());
        for (QLabel *label : modal->findChildren<QLabel *>()) {
            if (label->isVisible() && !label->text().isEmpty())
                shown.append(label->textFormat() == Qt::PlainText ? label->text() : u"(markup)"_s);
        }
        if (auto *button = qobject_cast<QPushButton *>(QApplication::focusWidget()))
            focused = button->text();
        for (QPushButton *button : modal->findChildren<QPushButton *>()) {
            ++buttons;
            if (keys.isEmpty() && button->text() == action)
                QTest::mouseClick(button, Qt::LeftButton);
        }
        for (int i = 0; i < keys.count(); ++i) {
            QWidget *focus = QApplication::focusWidget();
            QTest::keyClick(focus ? focus : modal, keys[i].key(), keys[i].keyboardModifiers());
        }
        // A button's keyboard shortcut clicks it only after showing it pressed for a moment.
        const QPointer<QWidget> box = modal;
        closed = QTest::qWaitFor([&box] { return !box || !box->isVisible(); }, 500);
        if (!closed)
            QTest::keyClick(box, Qt::Key_Escape);
    });
    const bool chosen = QtDesktop().confirm(alert);

    QVERIFY2(!m_timedOut, "the alert must be shown, and Escape must close it");
    QCOMPARE(chosen, keys.isEmpty());
    QCOMPARE(closed, closes);
    QVERIFY2(focused == u"Cancel"_s && buttons == 2,
        qPrintable(
            u"Cancel and the action; the keyboard must start on Cancel, not on "_s + focused));
    shown.sort();
    QVERIFY2(shown == QStringList({alert.detail, alert.title, alert.title}),
        qPrintable(u"title and detail must be shown as plain text: "_s + shown.join(u'|')));
}

void DesktopTest::panelsAnswerThePathOrNothing_data()
{
    // "%1" stands for a folder holding "my script.json" and the folders start/ and takes/.
    QTest::addColumn<bool>("folder"); // chooseFolder, else chooseFile
    QTest::addColumn<bool>("canCreateFolders");
    QTest::addColumn<QString>("typed"); // into the name field, then Return; empty: Escape

    QTest::addRow("a file") << false << false << "%1/my script.json";
    QTest::addRow("no file") << false << false << "";
    QTest::addRow("a folder") << true << false << "%1/takes";
    QTest::addRow("a folder where new ones may be made") << true << true << "%1/takes";
    QTest::addRow("no folder") << true << false << "";
}

void DesktopTest::panelsAnswerThePathOrNothing()
{
    QFETCH(bool, folder);
    QFETCH(bool, canCreateFolders);
    QFETCH(QString, typed);
    QTemporaryDir dir;
    writeFile(dir.filePath(u"my script.json"_s), "[]");
    QVERIFY(QDir(dir.path()).mkdir(u"start"_s) && QDir(dir.path()).mkdir(u"takes"_s));
    typed.replace(u"%1"_s, dir.path());
    const QString title = u"Open Script"_s;
    const QString message = u"Choose the script to record: a JSON, CSV or text file with one "
                            "line of the script to a row. The takes are kept beside it."_s;
    QStringList seen; // title, message, start folder, filters
    bool messageOnTop = false, newFolderOffered = false;
    whenModal([&](QWidget *modal) {
        auto *dialog = qobject_cast<QFileDialog *>(modal);
        auto *lookIn = modal->findChild<QComboBox *>(u"lookInCombo"_s);
        auto *field = modal->findChild<QLineEdit *>(u"fileNameEdit"_s);
        auto *newFolder = modal->findChild<QToolButton *>(u"newFolderButton"_s);
        seen.append(modal->windowTitle());
        for (QLabel *label : modal->findChildren<QLabel *>()) {
            if (label->isVisible() && label->wordWrap() && !label->text().isEmpty()) {
                seen.append(label->text());
                messageOnTop = lookIn
                    && label->mapTo(modal, QPoint(0, label->height())).y()
                        <= lookIn->mapTo(modal, QPoint()).y();
            }
        }
        if (dialog)
            seen << dialog->directory().absolutePath() << dialog->nameFilters().value(0);
        newFolderOffered = newFolder && newFolder->isVisible() && newFolder->isEnabled();
        if (typed.isEmpty() || !field) {
            QTest::keyClick(modal, Qt::Key_Escape);
        } else {
            // Set rather than typed: the completer's popup would take the Return.
            field->setText(typed);
            QTest::keyClick(field, Qt::Key_Return);
        }
    });
    QtDesktop uut;
    const std::optional<QString> chosen = folder
        ? uut.chooseFolder({title, message, dir.filePath(u"start"_s), canCreateFolders})
        : uut.chooseFile({title, message, {u"json"_s, u"csv"_s, u"txt"_s}});

    QVERIFY2(!m_timedOut, "the panel must close on Return in the name field, or on Escape");
    QCOMPARE(chosen.value_or(u"nothing"_s), typed.isEmpty() ? u"nothing"_s : typed);
    QVERIFY2(seen.size() == 4 && seen[0] == title && seen[1] == message && messageOnTop,
        qPrintable(u"the title, then the message above the rest: "_s + seen.join(u'|')));
    if (folder)
        QVERIFY2(seen[2] == dir.filePath(u"start"_s) && newFolderOffered == canCreateFolders,
            qPrintable(u"opened in "_s + seen[2]));
    else
        QVERIFY2(seen[3].endsWith(u"(*.json *.csv *.txt)"_s),
            qPrintable(u"the first filter must take all three types, in order: "_s + seen[3]));
}

void DesktopTest::settingsCommandTakesTheFirstInstalled_data()
{
    QTest::addColumn<QStringList>("installed");
    QTest::addColumn<bool>("microphone"); // else the sound page
    QTest::addColumn<QStringList>("expected"); // programs named without their folder

    const QStringList all {u"gnome-control-center"_s, u"systemsettings"_s, u"kcmshell6"_s,
        u"systemsettings5"_s, u"kcmshell5"_s, u"pavucontrol"_s};
    const QString kcm = u"kcm_pulseaudio"_s;
    QTest::addRow("sound on GNOME") << all << false << QStringList {all[0], u"sound"_s};
    QTest::addRow("sound on Plasma 6") << all.mid(1) << false << QStringList {all[1], kcm};
    QTest::addRow("sound with only kcmshell6") << all.mid(2) << false << QStringList {all[2], kcm};
    QTest::addRow("sound on Plasma 5") << all.mid(3) << false << QStringList {all[3], kcm};
    QTest::addRow("sound with only pavucontrol") << all.mid(5) << false << all.mid(5);
    QTest::addRow("sound with nothing") << QStringList() << false << QStringList();
    QTest::addRow("microphone on GNOME") << all << true << QStringList {all[0], u"microphone"_s};
    QTest::addRow("microphone on Plasma 6") << all.mid(1) << true << QStringList {all[1], kcm};
}

void DesktopTest::settingsCommandTakesTheFirstInstalled()
{
    QFETCH(QStringList, installed);
    QFETCH(bool, microphone);
    QFETCH(QStringList, expected);
    const QStringList command = settingsCommand(
        microphone ? SettingsPage::Microphone : SettingsPage::Sound, [&](const QString &name) {
            return installed.contains(name) ? u"/bin/"_s + name : QString();
        });
    if (!expected.isEmpty())
        expected.first().prepend(u"/bin/"_s);
    QCOMPARE(command, expected);
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
    const std::optional<QString> read = QtEnvironment().variable(QString::fromLatin1(name));
    qunsetenv(name);
    QCOMPARE(read, set ? std::optional(value) : std::nullopt);
}

void DesktopTest::namedSettingsAreApartAndOnDisk()
{
    // A value in the organization's shared file, which QSettings would read for every store.
    const QString config = m_home.filePath(u"config"_s);
    QVERIFY(QDir().mkpath(config));
    writeFile(config + u"/Quorbel.conf"_s, "[General]\nshared=yes\n");

    QtEnvironment uut;
    const std::unique_ptr<Platform::SettingsStore> user = uut.settings();
    const std::unique_ptr<Platform::SettingsStore> testing = uut.settings(u"testing"_s);
    user->setText(u"lastFolder"_s, u"/home/me/scripts"_s);
    QVERIFY2(!testing->text(u"lastFolder"_s), "the user's values must not show");
    testing->setText(u"lastFolder"_s, u"/tmp/run"_s);
    QVERIFY2(user->text(u"lastFolder"_s) == u"/home/me/scripts"_s,
        "a named store must not change the user's");
    QVERIFY2(!user->text(u"shared"_s) && !testing->text(u"shared"_s),
        "the organization's shared values are no store's");
    // On disk already, while the stores are open: a crash now loses nothing.
    QVERIFY(readFile(config + u"/Quorbel/Quorbel.conf"_s).contains("lastFolder=/home/me/scripts"));
    QVERIFY(readFile(config + u"/Quorbel/testing.conf"_s).contains("lastFolder=/tmp/run"));
}
