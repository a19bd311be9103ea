// The window on the fake services, driven by clicks and keys as a person drives it; every check
// reads what the window shows.

#include "appinfo.h"
#include "iconprovider.h"
#include "sessiondisk.h"
#include "testfiles.h"
#include "testmain.h"
#include "windowrig.h"

#include <QAccessible>
#include <QDirIterator>
#include <QTest>
#include <QTimer>

#include <cmath>
#include <csignal>

using namespace Qt::Literals::StringLiterals;

namespace {

const QColor accent = QColor::fromRgbF(0.15f, 0.43f, 0.37f);

/// What the person or a service does to the window.
using Act = std::function<void(WindowRig &)>;
using Acts = QList<Act>;

const Act test = [](WindowRig &rig) { QVERIFY(rig.startRecordingTest()); };
const Act record = [](WindowRig &rig) { QVERIFY(rig.startTake()); };
const Act hold = [](WindowRig &rig) { rig.audio.permission.reset(); };
const Act deny = [](WindowRig &rig) { rig.audio.permission = false; };
const Act closeWindow = [](WindowRig &rig) { rig.window()->close(); };

Act take(double seconds = 2.5, float peakDb = -12)
{
    return [=](WindowRig &rig) { QVERIFY(rig.recordTake(seconds, peakDb)); };
}

Act click(const char *name, int times = 1)
{
    return [=](WindowRig &rig) {
        for (int i = 0; i < times; ++i)
            QVERIFY2(rig.click(QString::fromLatin1(name)), name);
    };
}

/// A key with Ctrl, unless other modifiers are given, pressed `times`.
Act key(int key, Qt::KeyboardModifiers modifiers = Qt::ControlModifier, int times = 1)
{
    return [=](WindowRig &rig) {
        for (int i = 0; i < times; ++i)
            rig.key(key, modifiers);
    };
}

/// The keyboard focus on `name`, as Tab puts it there.
Act tabTo(const char *name)
{
    return [=](WindowRig &rig) {
        auto *item = qobject_cast<QQuickItem *>(rig.object(QString::fromLatin1(name)));
        QVERIFY2(item, name);
        item->forceActiveFocus(Qt::TabFocusReason);
    };
}

/// Answers the next confirmation: once its dialog is open, `acts` run on it, and Escape closes
/// it if they left it open. Its title joins the rig's `asked`.
Act answer(const Acts &acts)
{
    return [=](WindowRig &rig) {
        auto *timer = new QTimer(rig.window());
        QObject::connect(timer, &QTimer::timeout, timer, [&rig, timer, acts] {
            QObject *dialog = rig.object(u"confirmDialog"_s);
            if (!dialog || !dialog->property("opened").toBool())
                return;
            timer->deleteLater();
            timer->stop();
            // A menu drawn over the question would hide it.
            const bool underMenu = rig.read(u"sessionOptionsMenu"_s, "visible").toBool();
            rig.asked << rig.text(u"confirmTitle"_s) + (underMenu ? u" (under a menu)"_s : u""_s);
            for (const Act &act : acts)
                act(rig);
            if (dialog->property("visible").toBool())
                rig.key(Qt::Key_Escape, {});
        });
        timer->start(10);
    };
}

Act type(const char *text)
{
    return [=](WindowRig &rig) { rig.type(QString::fromLatin1(text)); };
}

Act import(const QByteArray &content, const char *fileName = "script.csv")
{
    return
        [=](WindowRig &rig) { QVERIFY(rig.importScript(QString::fromLatin1(fileName), content)); };
}

/// The running take has `seconds` of audio, and its meters read `average` and `peak`, long
/// enough for the window to show them.
Act reads(double seconds, float average = -30, float peak = -12)
{
    return [=](WindowRig &rig) {
        FakeRecorder *recorder = rig.audio.recorders.constLast();
        rig.setLength(recorder->path, seconds);
        recorder->seconds = seconds;
        recorder->average = average;
        recorder->peak = peak;
        QTest::qWait(RecorderModel::tickIntervalMs * 2);
    };
}

/// The menu items and controls a person can use, when enabled and shown.
const QStringList controls {"menuNewRecordingTest", "menuImportScript", "menuOpenSession",
    "menuRecord", "menuPlayStop", "menuNextLine", "menuPreviousLine", "menuDeleteTake",
    "menuStartOver", "menuExport", "recordButton", "playButton", "previousButton", "nextButton",
    "deleteTakeButton", "changeInputButton", "exportButton", "revealButton", "sidebarImportButton",
    "sidebarOpenButton", "missingOnlySwitch", "sessionOptionsButton", "lineRow:test-ending"};
/// The parts of the window that come and go.
const QStringList parts {"welcomePanel", "formatText", "takePicker", "levelBar", "deleteTakeButton",
    "searchField", "exportButton"};

/// What `key` ("name.property") reads on the window. "enabled" and "shown" list the `controls`
/// usable and the `parts` shown; "model", "desktop", "audio" and "disk" read the controller,
/// the fakes, and the session on disk.
QString observe(WindowRig &rig, const QString &key)
{
    const QString name = key.section(u'.', 0, 0), property = key.section(u'.', 1);
    QStringList names;
    for (const QString &control : key == u"enabled" ? controls : parts) {
        const bool usable = rig.read(control, "enabled").toBool()
            && (control.startsWith(u"menu") || rig.isShown(control));
        if (key == u"shown" ? rig.isShown(control) : usable)
            names << control;
    }
    QObject *object = rig.object(name);
    QString plain;
    QVariant seen = object ? object->property(property.toLatin1()) : QVariant();
    if (key == u"enabled" || key == u"shown")
        seen = names.join(u' ');
    else if (name == u"model")
        seen = rig.model().property(property.toLatin1());
    else if (property == u"shown")
        seen = rig.isShown(name);
    else if (property == u"lead")
        seen = object->property("text").toString().left(40);
    else if (property == u"plain")
        QMetaObject::invokeMethod(object, "getText", Q_RETURN_ARG(QString, plain), Q_ARG(int, 0),
            Q_ARG(int, object->property("length").toInt()));
    else if (key == u"desktop.panels")
        seen = rig.desktop.filePanels.size() + rig.desktop.folderPanels.size();
    else if (key == u"asked")
        seen = rig.asked.join(u" | "_s);
    else if (key == u"desktop.folders")
        seen = rig.desktop.shownFolders.size();
    else if (key == u"desktop.settings")
        seen = u"%1 %2"_s.arg(rig.desktop.soundSettingsOpened)
                   .arg(rig.desktop.microphoneSettingsOpened);
    else if (key == u"desktop.copied")
        seen = rig.desktop.clipboard.size();
    else if (key == u"disk.takes")
        seen = SessionDisk::load(rig.model().folder()).takeCount();
    else if (key == u"tabOrder") {
        // Tab from the window's start until it comes round again.
        names.clear();
        rig.window()->contentItem()->forceActiveFocus();
        for (int i = 0; i < 40; ++i) {
            rig.key(Qt::Key_Tab, {});
            const QString focused = rig.window()->activeFocusItem()
                ? rig.window()->activeFocusItem()->objectName()
                : QString();
            if (!names.isEmpty() && focused == names.constFirst())
                break;
            names << focused;
        }
        // Told from the first stop of the window, wherever the focus stood before.
        const qsizetype first = std::max<qsizetype>(names.indexOf(u"sidebarImportButton"_s), 0);
        seen = (names.mid(first) + names.first(first)).join(u' ');
    } else if (key == u"focusRings") {
        // What each ring shown surrounds, by the name of the nearest named item.
        names.clear();
        const std::function<void(QQuickItem *)> walk = [&](QQuickItem *item) {
            if (item->objectName() == u"focusRing" && item->isVisible()) {
                QQuickItem *named = item->parentItem();
                while (named && named->objectName().isEmpty())
                    named = named->parentItem();
                names << (named ? named->objectName() : u"?"_s);
            }
            for (QQuickItem *child : item->childItems())
                walk(child);
        };
        walk(rig.window()->contentItem());
        seen = names.join(u' ');
    } else if (key == u"window.visible")
        seen = rig.window()->isVisible();
    else if (const auto *list = qobject_cast<QQuickItem *>(rig.object(u"lineList"_s));
             property == u"centred" && rig.isShown(name)) {
        const auto *row = qobject_cast<QQuickItem *>(object);
        seen = std::abs(row->mapToItem(list, {0, row->height() / 2}).y() - list->height() / 2) < 40;
    }
    return property == u"plain" ? plain : seen.toString();
}

} // namespace

Q_DECLARE_METATYPE(Acts)

class WindowTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void showsWhatItDoes_data()
    {
        QTest::addColumn<Acts>("acts");
        QTest::addColumn<QStringList>("expected");
        const auto row = [](const char *name, const Acts &acts, const QStringList &expected) {
            QTest::addRow("%s", name) << acts << expected;
        };
        // Each expectation reads "name.property=value", as `observe` reads it.
        const QString red = u"#d9382c"_s, green = accent.name();
        const QString all = controls.join(u' '),
                      shown = u"shown=takePicker deleteTakeButton searchField exportButton"_s;

        row("no session", {},
            {"enabled=menuNewRecordingTest menuImportScript menuOpenSession menuNextLine "
             "menuPreviousLine changeInputButton sidebarImportButton sidebarOpenButton",
                "shown=welcomePanel", "revealButton.enabled=false"});
        row("a line without a take", {test},
            {"enabled=menuNewRecordingTest menuImportScript menuOpenSession menuRecord "
             "menuNextLine menuPreviousLine menuStartOver recordButton nextButton "
             "changeInputButton revealButton sidebarImportButton sidebarOpenButton "
             "missingOnlySwitch sessionOptionsButton lineRow:test-ending",
                "shown=formatText searchField exportButton", "recordButton.text=Record line",
                "recordButton.tint=" + green});
        row("a line with a take", {test, take()},
            {"enabled=" + QString(all).remove(u"previousButton "_s), shown,
                "recordButton.text=Record another take", "menuRecord.text=Record"});
        row("recording", {test, record},
            {"enabled=menuRecord recordButton revealButton",
                "shown=levelBar searchField exportButton", "recordButton.text=Stop & Save",
                "recordButton.tint=" + red, "menuRecord.text=Stop & Save"});
        row("asking for the microphone", {hold, test, click("recordButton")},
            {"enabled=revealButton", "shown=formatText searchField exportButton",
                "recordButton.text=Allow microphone…"});
        row("playing", {test, take(), click("playButton")},
            {"enabled=" + QString(all).remove(u"previousButton "_s), shown,
                "playButton.text=Stop playback", "model.playing=true"});

        row("keys move on from the search field", {test, click("searchField"), key(Qt::Key_Right)},
            {"lineNumber.text=LINE 02", "nextButton.text=Finish", "searchField.activeFocus=true"});
        row("and back", {test, take(), click("searchField"), key(Qt::Key_Right), key(Qt::Key_Left)},
            {"lineNumber.text=LINE 01"});
        row("Shift keeps word selection",
            {test, click("searchField"), type("one two"),
                key(Qt::Key_Left, Qt::ControlModifier | Qt::ShiftModifier)},
            {"lineNumber.text=LINE 01", "searchField.selectedText=two"});
        row("the field's word moves while a line command cannot act",
            {test, record, click("searchField"), type("one two"), key(Qt::Key_Left)},
            {"lineNumber.text=LINE 01", "searchField.cursorPosition=4"});
        row("plain arrows move the cursor",
            {test, click("searchField"), type("te"), key(Qt::Key_Left, {})},
            {"lineNumber.text=LINE 01", "searchField.cursorPosition=1"});
        row("the script text keeps the line keys", {test, click("lineText"), key(Qt::Key_Right)},
            {"lineNumber.text=LINE 02"});
        row("keys record and stop",
            {test, click("searchField"), key(Qt::Key_R), reads(2), key(Qt::Key_R)},
            {"takePicker.count=1", "model.recording=false"});
        row("a disabled command ignores its key", {test, key(Qt::Key_E)}, {"desktop.panels=0"});
        row("an enabled one acts", {test, take(), key(Qt::Key_E), click("exportGo")},
            {"desktop.panels=1"});

        row("quiet", {test, record, reads(9.9, -56, -0.5)},
            {"levelHint.text=Speak into your microphone", "levelBar.barColor=" + green,
                "elapsedTime.text=0:09"});
        row("loud", {test, record, reads(119.9, -55, -0.4f)},
            {"levelHint.text=Recording", "levelBar.barColor=#f08a00", "elapsedTime.text=1:59"});
        row("past an hour", {test, record, reads(3725)}, {"elapsedTime.text=62:05"});
        row("larger text", {test, click("largerTextButton", 3)}, {"model.fontSize=36"});
        row("larger text stops", {test, click("largerTextButton", 9)}, {"model.fontSize=46"});
        row("smaller text stops", {test, click("smallerTextButton", 5)}, {"model.fontSize=22"});
        row("a blank note", {import("id,text,note\na,Read me.,\" \"\n")},
            {"lineNote.shown=true", "lineNoteText.text= "});
        row("no note", {import("id,text,note\na,Read me.,\n")}, {"lineNote.shown=false"});
        row("the text as written",
            {import("id,text\na,\"Fish &amp; <b>chips</b>\nsaid  \"\"hi\"\"\"\n")},
            {u"lineText.plain=Fish &amp; <b>chips</b>\u2029said  \"hi\""_s});
        row("a long line, in pages, copied whole",
            {import("id,text,note\na," + QByteArray("word ").repeated(19'999) + "end,Slowly\n"),
                key(Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier)},
            {"linePages.count=50", "lineNote.shown=true", "desktop.copied=99998",
                "statusMessage.text=The line’s text is on the clipboard."});
        // Scripts for speech synthesis hold tags: every place shows them as characters.
        // The keyboard: Tab in reading order, one stop for the list, a ring on what has it.
        row("Tab in reading order", {test, take()},
            {"tabOrder=sidebarImportButton sidebarOpenButton searchField missingOnlySwitch "
             "attentionOnlySwitch lineList "
             "revealButton sessionOptionsButton exportButton smallerTextButton largerTextButton "
             "takePicker deleteTakeButton recordButton playButton nextButton "
             "checkMicrophoneButton changeInputButton"});
        row("a ring where Tab goes", {test, take(), tabTo("recordButton")},
            {"focusRings=recordButton"});
        row("no ring and no focus from a click",
            {test, click("recordButton"), reads(2), click("recordButton"), key(Qt::Key_Space, {})},
            {"focusRings=", "model.recording=false", "takePicker.count=1"});
        const Act five = import("id,text\na,A\nb,B\nc,C\nd,D\ne,E\n");
        row("the list's keys", {five, tabTo("lineList"), key(Qt::Key_Down, {}, 2)},
            {"lineNumber.text=LINE 03", "focusRings=lineRow:c"});
        row("the list's end and start", {five, tabTo("lineList"), key(Qt::Key_End, {})},
            {"lineNumber.text=LINE 05"});
        row("the list's start",
            {five, tabTo("lineList"), key(Qt::Key_End, {}), key(Qt::Key_Home, {})},
            {"lineNumber.text=LINE 01"});
        row("markup as written",
            {import(R"({"title": "<i>Tour</i> &amp;", "lines": [{"id": "a",
                       "text": "Say <b>now</b> &lt;", "note": "<u>soft</u>"}]})",
                 "script.json"),
                import("id,text\n<b>x</b>,Hi\n")},
            {"headerTitle.text=<i>Tour</i> &amp;", "headerTitle.textFormat=PlainText",
                "progressTitle.text=<i>Tour</i> &amp;", "progressTitle.textFormat=PlainText",
                "rowText.text=Say <b>now</b> &lt;", "rowText.textFormat=PlainText",
                "lineNoteText.text=<u>soft</u>", "lineNoteText.textFormat=PlainText",
                "lineText.plain=Say <b>now</b> &lt;",
                "errorMessage.text=Could not import script: Line IDs must use letters, numbers, "
                "hyphens or underscores (up "
                "to 100 characters): <b>x</b>",
                "errorMessage.textFormat=PlainText"});
        row("every line taken", {test, take(), click("nextButton"), take()},
            {"statusMessage.color=" + green, "takeStatus.text=Take saved"});
        row("not every line", {test, take()}, {"statusMessage.color=#bd243b3b"});

        row("two takes", {test, take(1.2), take(7.4)},
            {"takePicker.count=2", "takePicker.displayText=Take 2 · 0:07"});
        row("the first chosen",
            {test, take(1.2), take(7.4), click("takePicker"), click("takeEntry:0")},
            {"takePicker.displayText=Take 1 · 0:01", "elapsedTime.text=0:01"});
        const Act yes = answer({click("confirmAction")});
        row("one deleted", {test, take(1.2), take(7.4), yes, click("deleteTakeButton")},
            {"takePicker.count=1", "takePicker.displayText=Take 1 · 0:01"});
        row("both deleted", {test, take(), yes, click("deleteTakeButton")},
            {"takePicker.shown=false", "formatText.shown=true", "recordButton.text=Record line",
                "takeStatus.text=Ready to record"});

        row("progress", {import(prompts(3), "script.txt"), take(), click("nextButton"), take()},
            {"progressText.text=2 of 3 recorded", "progressPercent.text=66%",
                "lineRow:line-001.recorded=true", "lineRow:line-003.recorded=false",
                "lineRow:line-002.current=true", "lineRow:line-001.current=false"});
        row("the current row centred",
            {import(prompts(200), "script.txt"), key(Qt::Key_Right, Qt::ControlModifier, 60)},
            {"lineNumber.text=LINE 61", "lineRow:line-061.current=true",
                "lineRow:line-061.centred=true"});
        row("a search", {test, click("searchField"), type("ending")},
            {"lineList.count=1", "lineRow:test-ending.shown=true", "noMatchingLines.shown=false"});
        row("a search without matches", {test, click("searchField"), type("zzz")},
            {"lineList.count=0", "noMatchingLines.shown=true"});
        row("unrecorded only", {test, take(), click("missingOnlySwitch")},
            {"lineList.count=1", "missingOnlySwitch.checked=true"});
        row("the last unrecorded line taken",
            {test, take(), click("missingOnlySwitch"), click("lineRow:test-ending"), take()},
            {"noMatchingLines.shown=true"});

        // Each take checked: its drawing, what needs attention, and the sidebar's filter.
        const Act clipped = take(2.5, 6);
        row("a take checked", {test, take()},
            {"takeCheckState.text=Level good", "waveform.loaded=true", "takeChip.shown=false",
                "lineRow:test-welcome.attention=false"});
        row("a clipped take", {test, clipped},
            {"takeChip.shown=true", "clippedSpot.shown=true",
                "lineRow:test-welcome.attention=true"});
        row("a take that cannot be checked", {test, record, reads(2), click("recordButton")},
            {"takeCheckState.lead=Could not check this take: Could not rea",
                "lineRow:test-welcome.attention=true"});
        const Acts three {import("id,text\na,A\nb,B\nc,C\n"), clipped, click("nextButton"), take()};
        row("needs attention", three + Acts {click("attentionOnlySwitch")},
            {"lineList.count=1", "lineRow:a.shown=true"});
        row("what is left to do",
            three + Acts {click("attentionOnlySwitch"), click("missingOnlySwitch")},
            {"lineList.count=2", "lineRow:c.shown=true"});
        // The microphone check judges what it heard, files no take, and keeps the status line.
        const Act speak = [](WindowRig &rig) {
            WindowRig::writeTake(rig.audio.recorders.constLast()->path, 2, -12);
        };
        row("a microphone check",
            {test, click("checkMicrophoneButton"), speak, click("checkMicrophoneButton")},
            {"microphoneVerdict.lead=Good level: your voice peaks at −12 dBFS",
                "takePicker.shown=false", "statusMessage.text=Ready. Record your first line."});
        row("show session folder", {test, click("revealButton")}, {"desktop.folders=1"});
        row("change input", {test, click("changeInputButton")}, {"desktop.settings=1 0"});
        row("import from the welcome panel", {click("welcomeImportButton")}, {"desktop.panels=1"});
        row("open from the sidebar", {click("sidebarOpenButton")}, {"desktop.panels=1"});
        row("export", {test, take(), click("exportButton"), click("exportGo")},
            {"desktop.panels=1"});
        const Act ljspeech = [](WindowRig &rig) {
            rig.object(u"exportProfile"_s)->setProperty("currentIndex", 1);
        };
        const Act into = [](WindowRig &rig) { rig.desktop.panelAnswers << rig.path(u""_s); };
        row("export for training, remembered",
            {test, take(), key(Qt::Key_E), ljspeech, into, click("exportGo"),
                [](WindowRig &rig) { QTRY_VERIFY(!rig.model().exporting()); }, key(Qt::Key_E)},
            {"statusMessage.text=Exported 1 of 2 lines.", "exportRate.shown=true",
                "exportProfile.currentIndex=1"});
        row("previous", {test, click("nextButton"), click("previousButton")},
            {"lineNumber.text=LINE 01"});
        row("start over from the options",
            {test, take(), answer({}), click("sessionOptionsButton"), click("optionStartOver")},
            {"asked=Start this script over?", "takePicker.count=1"});
        // Asked in the window: only a click acts, and nothing else runs meanwhile.
        row("no key chooses the action",
            {test, take(), answer({key(Qt::Key_Tab, {}, 2), key(Qt::Key_Space, {})}),
                click("deleteTakeButton")},
            {"asked=Delete take 1?", "takePicker.count=1"});
        row("Return cancels",
            {test, take(), answer({tabTo("confirmCancel"), key(Qt::Key_Return, {})}),
                click("deleteTakeButton"), key(Qt::Key_Right)},
            {"disk.takes=1", "lineNumber.text=LINE 02"});
        row("modal",
            {test, take(), answer({key(Qt::Key_Right), click("nextButton"), key(Qt::Key_R)}),
                click("deleteTakeButton")},
            {"takePicker.count=1", "lineNumber.text=LINE 01", "model.recording=false"});
        row("import from the options",
            {test, click("sessionOptionsButton"), click("optionImportScript")},
            {"desktop.panels=1"});

        const Acts refused {test, deny, click("recordButton")};
        row("an error", refused, {"errorAlert.opened=true"});
        row("cleared by OK", refused + Acts {click("alertOk")},
            {"errorAlert.visible=false", "model.error="});
        row("cleared by Microphone Settings", refused + Acts {click("alertMicrophoneSettings")},
            {"errorAlert.visible=false", "model.error=", "desktop.settings=0 1"});
        // A desktop that opens nothing: the failure is shown, the one from the alert included.
        const Act cannotOpen = [](WindowRig &rig) { rig.desktop.openFailure = u"No way."_s; };
        row("settings that do not open",
            refused + Acts {cannotOpen, click("alertMicrophoneSettings")},
            {"errorAlert.opened=true", "model.error=No way."});
        row("a folder that does not open", {test, cannotOpen, click("revealButton")},
            {"errorAlert.opened=true", "model.error=No way."});
        const Act exportHere = [](WindowRig &rig) { rig.desktop.panelAnswers << rig.path(u""_s); };
        row("the export's folder stays named",
            {test, take(), cannotOpen, exportHere, key(Qt::Key_E), click("exportGo")},
            {"statusMessage.text=Exported 1 of 2 lines.", "statusFolder.shown=true",
                "model.error=No way."});
        row("cleared by Return", refused + Acts {key(Qt::Key_Return, {})},
            {"errorAlert.visible=false", "model.error="});
        row("cleared by Escape", refused + Acts {key(Qt::Key_Escape, {})},
            {"errorAlert.visible=false", "model.error="});
        row("shown once", refused + Acts {click("alertOk"), click("nextButton")},
            {"errorAlert.opened=false"});
        row("the next error shown", refused + Acts {click("alertOk"), click("recordButton")},
            {"errorAlert.opened=true"});

        row("closing files a running take", {test, record, reads(2), closeWindow},
            {"window.visible=false", "disk.takes=1"});
        const Act watch = [](WindowRig &rig) { QVERIFY(rig.app().quitOnTerminationSignals()); };
        const Act terminate = [](WindowRig &) { ::raise(SIGTERM); };
        row("SIGTERM files a running take", {watch, test, record, reads(2), terminate},
            {"window.visible=false", "disk.takes=1"});
        row("closing is refused while asking", {hold, test, click("recordButton"), closeWindow},
            {"window.visible=true"});
        // A folder where session.json goes: the change of line cannot be saved.
        const Act block = [](WindowRig &rig) {
            const QString document = SessionDisk::documentPath(rig.model().folder());
            QVERIFY(QFile::remove(document) && QDir().mkpath(document + u"/x"_s));
        };
        // Staying is what the window does anyway until the signal arrives: give it time to.
        const Act terminateAndWait = [](WindowRig &) {
            ::raise(SIGTERM);
            QTest::qWait(300);
        };
        row("SIGTERM with a change unsaved asks no one and stays",
            {watch, test, block, click("nextButton"), yes, terminateAndWait},
            {"window.visible=true", "asked="});
    }

    void showsWhatItDoes()
    {
        QFETCH(Acts, acts);
        QFETCH(QStringList, expected);

        WindowRig rig;
        QVERIFY(rig.launch());
        for (const Act &act : acts) {
            act(rig);
            if (QTest::currentTestFailed())
                return;
        }
        for (const QString &expectation : expected)
            QTRY_COMPARE(
                observe(rig, expectation.section(u'=', 0, 0)), expectation.section(u'=', 1));
    }

    void everyControlIsNamed()
    {
        // What a screen reader says of each thing a person can use: a name and a role.
        // Active before the window is made, as with a screen reader running.
        QAccessible::setActive(true);
        WindowRig rig;
        QVERIFY(rig.launch() && rig.startRecordingTest() && rig.recordTake(2.5));
        QStringList unnamed;
        const std::function<void(QQuickItem *)> walk = [&](QQuickItem *item) {
            const bool usable = item->isVisible()
                && (item->activeFocusOnTab() || item->inherits("QQuickAbstractButton"));
            if (usable) {
                QAccessibleInterface *face = QAccessible::queryAccessibleInterface(item);
                if (!face || face->text(QAccessible::Name).trimmed().isEmpty()
                    || face->role() == QAccessible::NoRole || face->role() == QAccessible::Client)
                    unnamed << item->objectName() + u'(' + item->metaObject()->className() + u')';
                // What a control is made of (the picker's text field) is spoken of as the control.
                if (item->inherits("QQuickControl"))
                    return;
            }
            for (QQuickItem *child : item->childItems())
                walk(child);
        };
        walk(rig.window()->contentItem());
        QAccessible::setActive(false);
        QVERIFY2(unnamed.isEmpty(), qPrintable(unnamed.join(u", "_s)));
    }

    void secondaryTextIsReadable_data()
    {
        QTest::addColumn<QString>("background"); // a colour of the theme, or the current row's
        QTest::newRow("the window") << "paper";
        QTest::newRow("the sidebar and the card") << "white";
        QTest::newRow("the current row") << "row";
    }

    void secondaryTextIsReadable()
    {
        QFETCH(QString, background);
        WindowRig rig;
        QVERIFY(rig.launch() && rig.startRecordingTest());
        // The colours as the window draws them: the line count's secondary text, the window's
        // own background, and the current row's tint over the white sidebar.
        const QColor secondary = rig.read(u"lineCount"_s, "color").value<QColor>();
        const auto over = [](const QColor &top, const QColor &below) {
            const double a = top.alphaF();
            return QColor::fromRgbF(float(top.redF() * a + below.redF() * (1 - a)),
                float(top.greenF() * a + below.greenF() * (1 - a)),
                float(top.blueF() * a + below.blueF() * (1 - a)));
        };
        // Relative luminance and contrast ratio as the web's accessibility guidelines define them.
        const auto luminance = [](const QColor &c) {
            const auto linear = [](double v) {
                return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
            };
            return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF())
                + 0.0722 * linear(c.blueF());
        };
        QColor tint = accent;
        tint.setAlphaF(0.10f);
        const QColor below = background == u"row"_s ? over(tint, Qt::white)
            : background == u"white"_s              ? QColor(Qt::white)
                                                    : rig.window()->color();
        const double text = luminance(over(secondary, below)), ground = luminance(below);
        const double ratio = (std::max(text, ground) + 0.05) / (std::min(text, ground) + 0.05);
        QVERIFY2(ratio >= 4.5, qPrintable(u"contrast %1:1"_s.arg(ratio, 0, 'f', 2)));
    }

    void iconsDrawInTheirColour()
    {
        QDirIterator files(QString::fromLatin1(IconProvider::folder));
        int count = 0;
        for (; files.hasNext(); ++count) {
            const QString name = files.nextFileInfo().completeBaseName();
            const QImage image = IconProvider::render(name, accent, QSize(32, 32));
            QVERIFY2(image.size() == QSize(32, 32),
                qPrintable(name + u" is not drawn (is Qt's SVG plugin there?)"_s));
            bool inked = false, clear = false;
            for (int i = 0; i < 32 * 32; ++i) {
                inked = inked || image.pixel(i % 32, i / 32) == accent.rgb();
                clear = clear || qAlpha(image.pixel(i % 32, i / 32)) == 0;
            }
            QVERIFY2(inked && clear, qPrintable(name + u" is not drawn in its colour"_s));
        }
        QVERIFY2(count >= 16, "symbols are missing from the module");
        IconProvider uut;
        QSize size;
        QVERIFY(uut.requestImage(u"no.such.symbol/266e5e"_s, &size, QSize(16, 16)).isNull());
        QVERIFY(uut.requestImage(u"mic/not-a-colour"_s, &size, QSize(16, 16)).isNull());
        QVERIFY(!uut.requestImage(u"mic/266e5e"_s, &size, QSize(16, 16)).isNull());
    }

    /// `quorbel PATH` opens the session or script it names instead of the session opened last;
    /// what cannot be opened shows the alert its menu command would.
    void opensWhatTheCommandLineNames_data()
    {
        QTest::addColumn<QString>("path"); // in the data folder: Last, Named and Held are sessions
        QTest::addColumn<QString>("shown"); // the open session's title, else the alert's text
        auto row = [](const char *name, const char *path, const char *shown) {
            QTest::addRow("%s", name) << path << shown;
        };
        row("a session folder", "Named", "Named");
        row("its session.json", "Named/session.json", "Named");
        row("a script", "Chapter one.txt", "Chapter one");
        row("a session open elsewhere", "Held", "This session is open in another Quorbel window.");
        row("no such file", "none.txt",
            "Could not import script: Could not read “$D/none.txt”: No such file or directory");
    }

    void opensWhatTheCommandLineNames()
    {
        QFETCH(QString, path);
        QFETCH(QString, shown);
        WindowRig rig;
        const QDir data(rig.dataDir());
        for (const QString &title : {u"Last"_s, u"Named"_s, u"Held"_s}) {
            QVERIFY(data.mkpath(title));
            SessionDisk::save(
                {1, {title, {{u"a"_s, u"One."_s, {}}}}, 0, {}, {}}, data.filePath(title));
        }
        writeFile(data.filePath(u"Chapter one.txt"_s), "The first line.\n");
        rig.environment.stores[QString::fromLatin1(RecorderModel::testingStoreName)]
                              [QString::fromLatin1(RecorderModel::lastSessionKey)]
            = data.filePath(u"Last"_s);
        const SessionDisk::SessionLock elsewhere(data.filePath(u"Held"_s));

        QuorbelApp app(
            rig.services(), AppInfo::parseCommandLine({u"quorbel"_s, data.filePath(path)}).path);
        QVERIFY(app.load());
        // Last stays closed, whether the path opened or not.
        QCOMPARE(app.model().hasSession() ? app.model().title() : app.model().errorText(),
            shown.replace(u"$D"_s, data.path()));
        QObject *alert = app.window()->findChild<QObject *>(u"errorAlert"_s);
        QTRY_COMPARE(alert->property("visible").toBool(), !app.model().hasSession());
    }
};

QUORBEL_TEST_MAIN(WindowTest)
#include "tst_ui.moc"
