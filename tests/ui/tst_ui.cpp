// The window on fake services, driven by clicks and keys as a person drives it; every check
// reads what the window shows.

#include "iconprovider.h"
#include "sessiondisk.h"
#include "testmain.h"
#include "windowrig.h"

#include <QColor>
#include <QDirIterator>
#include <QFont>
#include <QSignalSpy>

#include <cmath>
#include <csignal>

using namespace Qt::Literals::StringLiterals;

namespace {

const QColor accent = QColor::fromRgbF(0.15f, 0.43f, 0.37f);
const QColor red = QColor(u"#d9382c"_s);
const QColor orange = QColor(u"#f08a00"_s);

/// The menu items of both command tables, by object name.
const QStringList menuItems = {u"menuNewRecordingTest"_s, u"menuImportScript"_s,
    u"menuOpenSession"_s, u"menuRecord"_s, u"menuPlayStop"_s, u"menuNextLine"_s,
    u"menuPreviousLine"_s, u"menuDeleteTake"_s, u"menuStartOver"_s, u"menuExport"_s};

/// A plain-text script of `count` prompts; the import names them line-001 onwards.
QByteArray prompts(int count)
{
    QByteArray text;
    for (int i = 1; i <= count; ++i)
        text += "Prompt number " + QByteArray::number(i) + ".\n";
    return text;
}

bool sameColour(const QVariant &shown, const QColor &expected)
{
    return shown.value<QColor>().rgb() == expected.rgb();
}

QString describeColour(const QVariant &shown)
{
    return shown.value<QColor>().name();
}

/// The states of the window that the menus and the line view are checked in, each reached by
/// clicks from a fresh start.
enum class State { NoSession, NoTake, Take, Recording, AskingForMicrophone, Playing };

bool reach(WindowRig &rig, State state)
{
    switch (state) {
    case State::NoSession:
        return true;
    case State::NoTake:
        return rig.startRecordingTest();
    case State::Take:
        return rig.startRecordingTest() && rig.recordTake(2.5);
    case State::Recording:
        return rig.startRecordingTest() && rig.startTake();
    case State::AskingForMicrophone:
        rig.input.setPermission(FakeAudioInput::Permission::Held);
        return rig.startRecordingTest() && rig.click(u"recordButton"_s)
            && rig.input.heldRequests() == 1;
    case State::Playing:
        return rig.startRecordingTest() && rig.recordTake(2.5) && rig.click(u"playButton"_s)
            && rig.output.lastPlayer() && rig.output.lastPlayer()->isPlaying();
    }
    return false;
}

} // namespace

Q_DECLARE_METATYPE(State)

class MenuTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void enabledItemsFollowTheState_data()
    {
        QTest::addColumn<State>("state");
        QTest::addColumn<QStringList>("enabled");
        QTest::addColumn<QString>("recordTitle");

        QTest::addRow("no session")
            << State::NoSession
            << QStringList {u"menuNewRecordingTest"_s, u"menuImportScript"_s, u"menuOpenSession"_s,
                   u"menuNextLine"_s, u"menuPreviousLine"_s}
            << u"Record"_s;
        QTest::addRow("session, no take on the line")
            << State::NoTake
            << QStringList {u"menuNewRecordingTest"_s, u"menuImportScript"_s, u"menuOpenSession"_s,
                   u"menuRecord"_s, u"menuNextLine"_s, u"menuPreviousLine"_s, u"menuStartOver"_s}
            << u"Record"_s;
        QTest::addRow("line with a take") << State::Take << menuItems << u"Record"_s;
        QTest::addRow("recording")
            << State::Recording << QStringList {u"menuRecord"_s} << u"Stop & Save"_s;
        QTest::addRow("asking for the microphone")
            << State::AskingForMicrophone << QStringList {} << u"Record"_s;
    }

    void enabledItemsFollowTheState()
    {
        QFETCH(State, state);
        QFETCH(QStringList, enabled);
        QFETCH(QString, recordTitle);
        WindowRig rig;
        QVERIFY(rig.launch());
        QVERIFY2(reach(rig, state), "the window did not reach the state by clicks");

        for (const QString &item : menuItems) {
            QVERIFY2(rig.object(item), qPrintable(item + u" is not in the menus"_s));
            QVERIFY2(rig.isEnabled(item) == enabled.contains(item),
                qPrintable(item
                    + (enabled.contains(item) ? u" should be enabled"_s
                                              : u" should be disabled"_s)));
        }
        QCOMPARE(rig.text(u"menuRecord"_s), recordTitle);
    }

    void titlesAreWrittenOut()
    {
        WindowRig rig;
        QVERIFY(rig.launch());
        QCOMPARE(rig.text(u"menuImportScript"_s), u"Import Script…"_s);
        QCOMPARE(rig.text(u"menuDeleteTake"_s), u"Delete Selected Take…"_s);
        QCOMPARE(rig.text(u"menuExport"_s), u"Export Recordings…"_s);
        QCOMPARE(rig.read(u"commandRecord"_s, "keysText").toString(), u"Ctrl+R"_s);
    }

    void keysActFromTheSearchField()
    {
        WindowRig rig;
        QVERIFY(rig.launch());
        QVERIFY(rig.startRecordingTest());
        QVERIFY(rig.click(u"searchField"_s));

        rig.key(Qt::Key_Right, Qt::ControlModifier);
        QCOMPARE(rig.text(u"lineNumber"_s), u"LINE 02"_s);
        rig.key(Qt::Key_Left, Qt::ControlModifier);
        QCOMPARE(rig.text(u"lineNumber"_s), u"LINE 01"_s);

        rig.type(u"te"_s);
        rig.key(Qt::Key_Left);
        QCOMPARE(rig.text(u"searchField"_s), u"te"_s);
        QVERIFY2(rig.text(u"lineNumber"_s) == u"LINE 01"_s, "a plain arrow moved the line");
        QVERIFY2(rig.read(u"searchField"_s, "cursorPosition").toInt() == 1,
            "a plain arrow no longer moves the cursor");

        rig.key(Qt::Key_R, Qt::ControlModifier);
        QVERIFY2(rig.text(u"recordButton"_s) == u"Stop & Save"_s, "Ctrl+R did not start a take");
        FakeRecorder *recorder = rig.input.lastRecorder();
        QVERIFY(recorder);
        rig.input.setFileInfo(recorder->path(), {96000, 48000});
        rig.key(Qt::Key_R, Qt::ControlModifier);
        QCOMPARE(rig.text(u"recordButton"_s), u"Record another take"_s);

        // The script text takes focus for selecting and copying, and keeps the line keys.
        QVERIFY(rig.click(u"lineText"_s));
        rig.key(Qt::Key_Right, Qt::ControlModifier);
        QCOMPARE(rig.text(u"lineNumber"_s), u"LINE 02"_s);
    }

    void disabledCommandsIgnoreTheirKeys()
    {
        WindowRig rig;
        QVERIFY(rig.launch());
        rig.key(Qt::Key_R, Qt::ControlModifier);
        rig.key(Qt::Key_E, Qt::ControlModifier);
        QVERIFY2(rig.input.permissionRequests() == 0, "Ctrl+R asked for the microphone");
        QVERIFY2(rig.desktop.folderPanels().isEmpty(), "Ctrl+E opened a panel");
        QVERIFY(rig.isShown(u"welcomePanel"_s));
    }
};

class LineViewTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void controlsFollowTheState_data()
    {
        QTest::addColumn<State>("state");
        QTest::addColumn<QString>("recordTitle");
        QTest::addColumn<QColor>("recordTint");
        QTest::addColumn<bool>("recordEnabled");
        QTest::addColumn<QString>("playTitle");
        QTest::addColumn<bool>("playEnabled");
        QTest::addColumn<QString>("takeRow");

        QTest::addRow("idle, no take") << State::NoTake << u"Record line"_s << accent << true
                                       << u"Play take"_s << false << u"formatText"_s;
        QTest::addRow("idle, with a take") << State::Take << u"Record another take"_s << accent
                                           << true << u"Play take"_s << true << u"takePicker"_s;
        QTest::addRow("asking for the microphone")
            << State::AskingForMicrophone << u"Allow microphone…"_s << accent << false
            << u"Play take"_s << false << u"formatText"_s;
        QTest::addRow("recording") << State::Recording << u"Stop & Save"_s << red << true
                                   << u"Play take"_s << false << u"levelBar"_s;
        QTest::addRow("playing") << State::Playing << u"Record another take"_s << accent << true
                                 << u"Stop playback"_s << true << u"takePicker"_s;
    }

    void controlsFollowTheState()
    {
        QFETCH(State, state);
        QFETCH(QString, recordTitle);
        QFETCH(QColor, recordTint);
        QFETCH(bool, recordEnabled);
        QFETCH(QString, playTitle);
        QFETCH(bool, playEnabled);
        QFETCH(QString, takeRow);
        WindowRig rig;
        QVERIFY(rig.launch());
        QVERIFY2(reach(rig, state), "the window did not reach the state by clicks");

        QCOMPARE(rig.text(u"recordButton"_s), recordTitle);
        QVERIFY2(sameColour(rig.read(u"recordButton"_s, "tint"), recordTint),
            qPrintable(
                u"record button tinted "_s + describeColour(rig.read(u"recordButton"_s, "tint"))));
        QCOMPARE(rig.isEnabled(u"recordButton"_s), recordEnabled);
        QCOMPARE(rig.text(u"playButton"_s), playTitle);
        QCOMPARE(rig.isEnabled(u"playButton"_s), playEnabled);
        for (const QString &part : {u"formatText"_s, u"takePicker"_s, u"levelBar"_s}) {
            QVERIFY2(rig.isShown(part) == (part == takeRow),
                qPrintable(part + (part == takeRow ? u" is hidden"_s : u" is shown"_s)));
        }
        QCOMPARE(rig.isShown(u"deleteTakeButton"_s), takeRow == u"takePicker"_s);
        const bool moving = state != State::Recording && state != State::AskingForMicrophone;
        QCOMPARE(rig.isEnabled(u"nextButton"_s), moving);
        QCOMPARE(rig.isEnabled(u"changeInputButton"_s), moving);
    }

    void endsOfTheScript()
    {
        WindowRig rig;
        QVERIFY(rig.launch());
        QVERIFY(rig.startRecordingTest());
        QVERIFY2(!rig.isEnabled(u"previousButton"_s), "previous is enabled on the first line");
        QCOMPARE(rig.text(u"nextButton"_s), u"Next line →"_s);
        QCOMPARE(rig.text(u"lineCount"_s), u"/ 2"_s);

        QVERIFY(rig.click(u"nextButton"_s));
        QCOMPARE(rig.text(u"lineNumber"_s), u"LINE 02"_s);
        QCOMPARE(rig.text(u"nextButton"_s), u"Finish"_s);
        QVERIFY(rig.isEnabled(u"previousButton"_s));
        QVERIFY(rig.click(u"previousButton"_s));
        QCOMPARE(rig.text(u"lineNumber"_s), u"LINE 01"_s);
    }

    void levelMeter_data()
    {
        QTest::addColumn<float>("averageDb");
        QTest::addColumn<float>("peakDb");
        QTest::addColumn<QString>("hint");
        QTest::addColumn<QColor>("bar");

        QTest::addRow("silence") << -58.0f << -40.0f << u"Speak into your microphone"_s << accent;
        QTest::addRow("speech") << -20.0f << -6.0f << u"Recording"_s << accent;
        QTest::addRow("peak at -0.5 dBFS") << -12.0f << -0.5f << u"Recording"_s << accent;
        QTest::addRow("peak above -0.5 dBFS") << -12.0f << -0.4f << u"Recording"_s << orange;
    }

    void levelMeter()
    {
        QFETCH(float, averageDb);
        QFETCH(float, peakDb);
        QFETCH(QString, hint);
        QFETCH(QColor, bar);
        WindowRig rig;
        QVERIFY(rig.launch());
        QVERIFY(rig.startRecordingTest());
        FakeRecorder *recorder = rig.startTake();
        QVERIFY(recorder);

        recorder->setLevels(averageDb, peakDb);
        QTRY_COMPARE(rig.text(u"levelHint"_s), hint);
        QTRY_VERIFY2(sameColour(rig.read(u"levelBar"_s, "barColor"), bar),
            qPrintable(u"level bar is "_s + describeColour(rig.read(u"levelBar"_s, "barColor"))));
        QVERIFY(rig.isShown(u"levelBar"_s));
    }

    void notes_data()
    {
        QTest::addColumn<QByteArray>("note");
        QTest::addColumn<bool>("shown");

        QTest::addRow("empty") << QByteArray() << false;
        QTest::addRow("one blank") << QByteArray(" ") << true;
        QTest::addRow("words") << QByteArray("Warm and slow") << true;
    }

    void notes()
    {
        QFETCH(QByteArray, note);
        QFETCH(bool, shown);
        WindowRig rig;
        QVERIFY(rig.launch());
        QVERIFY(
            rig.importScript(u"Notes.csv"_s, "id,text,note\nfirst,Read me aloud.," + note + "\n"));
        QCOMPARE(rig.text(u"lineId"_s), u"first"_s);
        QCOMPARE(rig.isShown(u"lineNote"_s), shown);
        if (shown)
            QCOMPARE(rig.text(u"lineNoteText"_s), QString::fromUtf8(note));
    }

    void scriptTextIsShownAsWritten()
    {
        WindowRig rig;
        QVERIFY(rig.launch());
        QVERIFY(rig.importScript(
            u"Marks.csv"_s, "id,text\nmarks,\"Tom & <b>Jerry</b>\nsaid  \"\"hi\"\"\"\n"));
        QQuickItem *text = rig.item(u"lineText"_s);
        QVERIFY(text);
        QString shown;
        QVERIFY(QMetaObject::invokeMethod(text, "getText", Q_RETURN_ARG(QString, shown),
            Q_ARG(int, 0), Q_ARG(int, text->property("length").toInt())));
        QCOMPARE(shown, u"Tom & <b>Jerry</b>\u2029said  \"hi\""_s);
    }

    void fontButtons_data()
    {
        QTest::addColumn<int>("larger");
        QTest::addColumn<int>("smaller");
        QTest::addColumn<int>("size");

        QTest::addRow("three larger from 30") << 3 << 0 << 36;
        QTest::addRow("larger stops at 46") << 10 << 0 << 46;
        QTest::addRow("smaller stops at 22") << 0 << 6 << 22;
        QTest::addRow("back and forth") << 2 << 1 << 32;
    }

    void fontButtons()
    {
        QFETCH(int, larger);
        QFETCH(int, smaller);
        QFETCH(int, size);
        WindowRig rig;
        QVERIFY(rig.launch());
        QVERIFY(rig.startRecordingTest());
        QCOMPARE(rig.text(u"smallerTextButton"_s), u"A−"_s);
        for (int i = 0; i < larger; ++i)
            QVERIFY(rig.click(u"largerTextButton"_s));
        for (int i = 0; i < smaller; ++i)
            QVERIFY(rig.click(u"smallerTextButton"_s));
        QCOMPARE(rig.read(u"lineText"_s, "font").value<QFont>().pixelSize(), size);
    }

    void time_data()
    {
        QTest::addColumn<double>("seconds");
        QTest::addColumn<QString>("shown");

        QTest::addRow("zero") << 0.0 << u"0:00"_s;
        QTest::addRow("cut, not rounded") << 59.9 << u"0:59"_s;
        QTest::addRow("a minute") << 60.0 << u"1:00"_s;
        QTest::addRow("no hours") << 3725.0 << u"62:05"_s;
        QTest::addRow("negative") << -4.0 << u"0:00"_s;
    }

    void time()
    {
        QFETCH(double, seconds);
        QFETCH(QString, shown);
        WindowRig rig;
        QVERIFY(rig.launch());
        QString result;
        QVERIFY(QMetaObject::invokeMethod(rig.item(u"contentView"_s), "time",
            Q_RETURN_ARG(QString, result), Q_ARG(double, seconds)));
        QCOMPARE(result, shown);
    }

    void statusTurnsAccentWhenEveryLineHasATake()
    {
        WindowRig rig;
        QVERIFY(rig.launch());
        QVERIFY(rig.startRecordingTest());
        QVERIFY(rig.recordTake(1.5));
        QVERIFY2(!sameColour(rig.read(u"statusMessage"_s, "color"), accent),
            "accent before every line has a take");
        QVERIFY(rig.click(u"nextButton"_s));
        QVERIFY(rig.recordTake(1.5));
        QVERIFY2(sameColour(rig.read(u"statusMessage"_s, "color"), accent),
            qPrintable(u"status is "_s + describeColour(rig.read(u"statusMessage"_s, "color"))));
        QCOMPARE(rig.text(u"takeStatus"_s), u"Take saved"_s);
    }
};

class TakePickerTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void entriesNumberEveryTake()
    {
        WindowRig rig;
        QVERIFY(rig.launch());
        QVERIFY(rig.startRecordingTest());
        const double seconds[] = {1.2, 7.4, 3, 3, 3, 3, 3, 3, 3, 65.9};
        for (const double length : seconds)
            QVERIFY(rig.recordTake(length));

        QCOMPARE(rig.read(u"takePicker"_s, "count").toInt(), 10);
        QCOMPARE(rig.read(u"takePicker"_s, "displayText").toString(), u"Take 10 · 1:05"_s);
        QVERIFY(rig.click(u"takePicker"_s));
        QTRY_VERIFY(rig.isShown(u"takeEntry:1"_s));
        QCOMPARE(rig.text(u"takeEntry:0"_s), u"Take 1 · 0:01"_s);
        QCOMPARE(rig.text(u"takeEntry:1"_s), u"Take 2 · 0:07"_s);
    }

    void choosingAnEntrySelectsItsTake()
    {
        WindowRig rig;
        QVERIFY(rig.launch());
        QVERIFY(rig.startRecordingTest());
        QVERIFY(rig.recordTake(1.2));
        QVERIFY(rig.recordTake(7.4));

        QVERIFY(rig.click(u"takePicker"_s));
        QTRY_VERIFY(rig.isShown(u"takeEntry:0"_s));
        QVERIFY(rig.click(u"takeEntry:0"_s));
        QTRY_COMPARE(rig.read(u"takePicker"_s, "displayText").toString(), u"Take 1 · 0:01"_s);
        QCOMPARE(rig.text(u"elapsedTime"_s), u"0:01"_s);
        QCOMPARE(rig.text(u"statusMessage"_s), u"This take will be included in the export."_s);

        QVERIFY(rig.click(u"playButton"_s));
        QVERIFY2(rig.output.playerPaths().constLast().endsWith(
                     SessionDisk::load(rig.app().model().folder()).chosen(u"test-welcome"_s)->file),
            "the play button played another take");
    }

    void deleteButtonRemovesTheChosenTake()
    {
        WindowRig rig;
        QVERIFY(rig.launch());
        QVERIFY(rig.startRecordingTest());
        QVERIFY(rig.recordTake(1.2));
        QVERIFY(rig.recordTake(7.4));

        rig.desktop.answerConfirm(true);
        QVERIFY(rig.click(u"deleteTakeButton"_s));
        QCOMPARE(rig.desktop.alerts().size(), 1);
        QCOMPARE(rig.desktop.alerts().constFirst().title, u"Delete take 2?"_s);
        QCOMPARE(rig.read(u"takePicker"_s, "count").toInt(), 1);
        QCOMPARE(rig.read(u"takePicker"_s, "displayText").toString(), u"Take 1 · 0:01"_s);

        rig.desktop.answerConfirm(true);
        QVERIFY(rig.click(u"deleteTakeButton"_s));
        QVERIFY(!rig.isShown(u"takePicker"_s));
        QVERIFY(rig.isShown(u"formatText"_s));
        QCOMPARE(rig.text(u"recordButton"_s), u"Record line"_s);
        QCOMPARE(rig.text(u"takeStatus"_s), u"Ready to record"_s);
    }
};

class SidebarTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void withoutASession()
    {
        WindowRig rig;
        QVERIFY(rig.launch());
        QVERIFY(rig.isShown(u"welcomePanel"_s));
        QCOMPARE(rig.text(u"headerLabel"_s), u"WELCOME"_s);
        QCOMPARE(rig.text(u"headerTitle"_s), u"Quorbel"_s);
        QVERIFY(!rig.isEnabled(u"revealButton"_s));
        QVERIFY(!rig.isShown(u"searchField"_s));
        QVERIFY(!rig.isShown(u"exportButton"_s));
        QVERIFY(rig.isEnabled(u"welcomeImportButton"_s));
        QVERIFY(rig.isEnabled(u"welcomeTestButton"_s));
        QCOMPARE(rig.text(u"footer"_s), u"Saved on this computer • No account needed"_s);

        QVERIFY(rig.startRecordingTest());
        QCOMPARE(rig.text(u"headerLabel"_s), u"RECORDING SESSION"_s);
        QCOMPARE(rig.text(u"headerTitle"_s), u"Recording test"_s);
        QVERIFY(rig.click(u"revealButton"_s));
        QCOMPARE(rig.desktop.shownFolders(), QStringList {rig.app().model().folder()});
    }

    void progress_data()
    {
        QTest::addColumn<int>("recorded");
        QTest::addColumn<QString>("count");
        QTest::addColumn<QString>("percent");

        QTest::addRow("none") << 0 << u"0 of 3 recorded"_s << u"0%"_s;
        QTest::addRow("one") << 1 << u"1 of 3 recorded"_s << u"33%"_s;
        QTest::addRow("two, cut not rounded") << 2 << u"2 of 3 recorded"_s << u"66%"_s;
        QTest::addRow("all") << 3 << u"3 of 3 recorded"_s << u"100%"_s;
    }

    void progress()
    {
        QFETCH(int, recorded);
        QFETCH(QString, count);
        QFETCH(QString, percent);
        WindowRig rig;
        QVERIFY(rig.launch());
        QVERIFY(rig.importScript(u"Three.txt"_s, prompts(3)));
        for (int i = 0; i < recorded; ++i) {
            QVERIFY(rig.recordTake(1.5));
            QVERIFY(rig.click(u"nextButton"_s));
        }
        QCOMPARE(rig.text(u"progressText"_s), count);
        QCOMPARE(rig.text(u"progressPercent"_s), percent);
        QCOMPARE(rig.isEnabled(u"exportButton"_s), recorded > 0);
        for (int i = 1; i <= 3; ++i) {
            const QString row = u"lineRow:line-%1"_s.arg(i, 3, 10, QLatin1Char('0'));
            QVERIFY2(rig.read(row, "recorded").toBool() == (i <= recorded),
                qPrintable(row + u" shows the wrong mark"_s));
        }
    }

    void searchWithoutMatches()
    {
        WindowRig rig;
        QVERIFY(rig.launch());
        QVERIFY(rig.startRecordingTest());
        QVERIFY(rig.click(u"searchField"_s));
        rig.type(u"ending"_s);
        QCOMPARE(rig.read(u"lineList"_s, "count").toInt(), 1);
        QVERIFY(rig.isShown(u"lineRow:test-ending"_s));
        QVERIFY(!rig.isShown(u"noMatchingLines"_s));

        rig.type(u"zzz"_s);
        QCOMPARE(rig.read(u"lineList"_s, "count").toInt(), 0);
        QVERIFY2(rig.isShown(u"noMatchingLines"_s), "no word that nothing matches");
        QCOMPARE(rig.text(u"noMatchingLines"_s), u"No matching lines"_s);

        rig.key(Qt::Key_A, Qt::ControlModifier);
        rig.key(Qt::Key_Backspace);
        QCOMPARE(rig.read(u"lineList"_s, "count").toInt(), 2);
        QVERIFY(!rig.isShown(u"noMatchingLines"_s));
    }

    void switchShowsUnrecordedLinesOnly()
    {
        WindowRig rig;
        QVERIFY(rig.launch());
        QVERIFY(rig.startRecordingTest());
        QVERIFY(rig.recordTake(1.5));
        QVERIFY(rig.click(u"missingOnlySwitch"_s));
        QVERIFY(rig.read(u"missingOnlySwitch"_s, "checked").toBool());
        QCOMPARE(rig.read(u"lineList"_s, "count").toInt(), 1);
        QVERIFY(rig.isShown(u"lineRow:test-ending"_s));

        // A take on the last unrecorded line takes it off the list at once.
        QVERIFY(rig.click(u"lineRow:test-ending"_s));
        QVERIFY(rig.recordTake(1.5));
        QVERIFY(rig.isShown(u"noMatchingLines"_s));

        QVERIFY(rig.click(u"missingOnlySwitch"_s));
        QCOMPARE(rig.read(u"lineList"_s, "count").toInt(), 2);
    }

    void rowsAreDisabledWhileRecording()
    {
        WindowRig rig;
        QVERIFY(rig.launch());
        QVERIFY(rig.startRecordingTest());
        QVERIFY(rig.startTake());
        for (const QString &control :
            {u"lineRow:test-ending"_s, u"missingOnlySwitch"_s, u"sessionOptionsButton"_s,
                u"exportButton"_s, u"sidebarImportButton"_s, u"sidebarOpenButton"_s}) {
            QVERIFY2(!rig.isEnabled(control), qPrintable(control + u" is enabled"_s));
        }
        QVERIFY(rig.isEnabled(u"searchField"_s));
        QVERIFY(rig.click(u"lineRow:test-ending"_s));
        QCOMPARE(rig.text(u"lineNumber"_s), u"LINE 01"_s);
    }

    void currentRowIsHighlightedAndCentred()
    {
        WindowRig rig;
        QVERIFY(rig.launch());
        QVERIFY(rig.importScript(u"Two hundred.txt"_s, prompts(200)));
        for (int i = 0; i < 59; ++i)
            rig.key(Qt::Key_Right, Qt::ControlModifier);
        QVERIFY(rig.click(u"nextButton"_s));
        QCOMPARE(rig.text(u"lineNumber"_s), u"LINE 61"_s);

        const QString row = u"lineRow:line-061"_s;
        QTRY_VERIFY2(rig.isShown(row), "the current row was not built");
        QVERIFY(rig.read(row, "current").toBool());
        QVERIFY(!rig.read(u"lineRow:line-060"_s, "current").toBool());
        const QQuickItem *list = rig.item(u"lineList"_s);
        const auto offset = [&] {
            const QQuickItem *current = rig.item(row);
            if (!current)
                return list->height();
            const QPointF middle = current->mapToItem(list, QPointF(0, current->height() / 2));
            return std::abs(middle.y() - list->height() / 2);
        };
        QTRY_VERIFY2(offset() < 40, qPrintable(u"the row is %1 from the middle"_s.arg(offset())));
    }
};

class AlertTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void shownOnceAndClearedByEitherButton_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<int>("settingsOpened");

        QTest::addRow("OK") << u"alertOk"_s << 0;
        QTest::addRow("Microphone Settings") << u"alertMicrophoneSettings"_s << 1;
    }

    void shownOnceAndClearedByEitherButton()
    {
        QFETCH(QString, button);
        QFETCH(int, settingsOpened);
        WindowRig rig;
        QVERIFY(rig.launch());
        QVERIFY(!rig.read(u"errorAlert"_s, "opened").toBool());
        QVERIFY(rig.startRecordingTest());
        rig.input.setPermission(FakeAudioInput::Permission::Refused);

        QVERIFY(rig.click(u"recordButton"_s));
        QTRY_VERIFY(rig.read(u"errorAlert"_s, "opened").toBool());
        QCOMPARE(rig.read(u"errorAlert"_s, "title").toString(), u"Something needs attention"_s);
        QVERIFY(rig.text(u"errorMessage"_s).startsWith(u"Microphone access is off."_s));

        QVERIFY(rig.click(button));
        QTRY_VERIFY2(!rig.read(u"errorAlert"_s, "visible").toBool(), "the alert stayed open");
        QCOMPARE(rig.desktop.microphoneSettingsOpened(), settingsOpened);
        QVERIFY(rig.app().model().errorText().isEmpty());

        QVERIFY(rig.click(u"nextButton"_s));
        QVERIFY2(!rig.read(u"errorAlert"_s, "opened").toBool(), "the alert came back by itself");

        QVERIFY(rig.click(u"recordButton"_s));
        QTRY_VERIFY2(rig.read(u"errorAlert"_s, "opened").toBool(), "the next error is not shown");
    }

    void escapeClearsTheError()
    {
        WindowRig rig;
        QVERIFY(rig.launch());
        QVERIFY(rig.startRecordingTest());
        rig.input.setPermission(FakeAudioInput::Permission::Refused);
        QVERIFY(rig.click(u"recordButton"_s));
        QTRY_VERIFY(rig.read(u"errorAlert"_s, "opened").toBool());
        rig.key(Qt::Key_Escape);
        QTRY_VERIFY(!rig.read(u"errorAlert"_s, "visible").toBool());
        QVERIFY(rig.app().model().errorText().isEmpty());
    }
};

class QuitTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void closingTheWindowFilesTheRunningTake()
    {
        WindowRig rig;
        QVERIFY(rig.launch());
        QVERIFY(rig.startRecordingTest());
        FakeRecorder *recorder = rig.startTake();
        QVERIFY(recorder);
        rig.input.setFileInfo(recorder->path(), {96000, 48000});

        rig.window()->close();
        rig.settle();
        QVERIFY2(!rig.window()->isVisible(), "the window stayed open");
        const Session saved = SessionDisk::load(rig.app().model().folder());
        QVERIFY2(saved.chosen(u"test-welcome"_s), "the take was not filed before quitting");
    }

    void closingWhileAskingForTheMicrophoneIsRefused()
    {
        WindowRig rig;
        QVERIFY(rig.launch());
        QVERIFY(reach(rig, State::AskingForMicrophone));
        rig.window()->close();
        rig.settle();
        QVERIFY2(rig.window()->isVisible(), "the window closed while the question was out");
    }

    void terminationSignalFilesTheRunningTake()
    {
        WindowRig rig;
        QVERIFY(rig.launch());
        QVERIFY2(rig.app().quitOnTerminationSignals(), qPrintable(rig.app().loadErrors()));
        QVERIFY(rig.startRecordingTest());
        FakeRecorder *recorder = rig.startTake();
        QVERIFY(recorder);
        rig.input.setFileInfo(recorder->path(), {96000, 48000});

        ::raise(SIGTERM);
        QTRY_VERIFY2(!rig.window()->isVisible(), "SIGTERM did not close the window");
        const Session saved = SessionDisk::load(rig.app().model().folder());
        QVERIFY2(saved.chosen(u"test-welcome"_s), "the take was not filed before quitting");
    }
};

class IconTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void everySymbolDrawsInItsColour()
    {
        QDirIterator files(QString::fromLatin1(IconProvider::folder));
        int count = 0;
        while (files.hasNext()) {
            const QString name = files.nextFileInfo().completeBaseName();
            const QImage image = IconProvider::render(name, accent, QSize(32, 32));
            QVERIFY2(!image.isNull(),
                qPrintable(name + u" cannot be drawn (is Qt's SVG image plugin installed?)"_s));
            QCOMPARE(image.size(), QSize(32, 32));
            bool inked = false;
            for (int y = 0; y < image.height() && !inked; ++y) {
                for (int x = 0; x < image.width() && !inked; ++x)
                    inked = image.pixelColor(x, y).alpha() == 255;
            }
            QVERIFY2(inked, qPrintable(name + u" draws nothing"_s));
            ++count;
        }
        QVERIFY2(count >= 16, "symbols are missing from the module");
    }

    void unknownSymbolsDrawNothing()
    {
        IconProvider uut;
        QSize size;
        QVERIFY(uut.requestImage(u"no.such.symbol/266e5e"_s, &size, QSize(16, 16)).isNull());
        QVERIFY(uut.requestImage(u"mic/not-a-colour"_s, &size, QSize(16, 16)).isNull());
        QVERIFY(!uut.requestImage(u"mic/266e5e"_s, &size, QSize(16, 16)).isNull());
    }
};

QUORBEL_TEST_MAIN(
    MenuTest, LineViewTest, TakePickerTest, SidebarTest, AlertTest, QuitTest, IconTest)
#include "tst_ui.moc"
