// The controller on the fake services, command by command as the window drives it, and the
// sidebar's list of lines.

#include "linelistmodel.h"
#include "servicerig.h"
#include "takechecktest.h"
#include "testfiles.h"
#include "testmain.h"

#include <QAbstractItemModelTester>
#include <QFileInfo>
#include <QTimeZone>

#include <csignal>
#include <sys/resource.h>

using namespace Qt::Literals::StringLiterals;

namespace {

// Expectations of several cases.
const QString saved = u"message=Take saved. Listen back or move to the next line."_s;
const QString idle = u"message=Every take is saved automatically."_s;
const QString ready = u"message=Ready. Record your first line."_s;
const QString noAudio = u"error=No usable audio was captured. Your previous take is still safe. "
                        u"Check the microphone and try again."_s;
const QString cut = u"message=Recording interrupted; the captured audio was saved. Listen back "
                    u"before continuing."_s;
const QString cutShort = u"error=The take was cut short: No space. The audio recorded until then "
                         u"was kept."_s;
const QString notSaved = u"error=Progress could not be saved. Keep this session open and retry. "
                         u"Audio remains in the session folder. …"_s;

/// The file of the take with the `n`th UUID on the line `line`.
QString takeFile(int n, const QString &line = u"test-welcome"_s)
{
    return u"takes/%1-%2.wav"_s.arg(
        line, ServiceRig::uuid(n).toString(QUuid::WithoutBraces).toUpper());
}

/// A folder where session.json goes makes every save into `folder` fail for real, even for
/// root, who ignores permission bits; unblocking puts the last saved document back.
void blockSaves(const QString &folder, bool block)
{
    const QString document = SessionDisk::documentPath(folder), aside = document + u".aside"_s;
    if (block) {
        QFile::rename(document, aside);
        QDir().mkpath(document + u"/in-the-way"_s);
    } else {
        QDir(document).removeRecursively();
        QFile::rename(aside, document);
    }
}

/// No file may grow past a few bytes, so no session.json can be written while the one there
/// stays readable; or no limit again.
void limitFiles(bool limited)
{
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit {};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = limited ? 16 : limit.rlim_max;
    setrlimit(RLIMIT_FSIZE, &limit);
}

struct Rig;
/// What the person or a service does, one step of a case.
using Step = std::function<void(Rig &)>;
using Steps = QList<Step>;

/// One run of the controller on the fake services; `launch` starts it, again as a relaunch.
struct Rig : ServiceRig
{
    RecorderModel &launch()
    {
        uut.reset();
        uut = std::make_unique<RecorderModel>(services());
        return *uut;
    }
    /// The recorder made `back` before the last one.
    [[nodiscard]] FakeRecorder *recorder(int back = 0) const
    {
        return audio.recorders.value(audio.recorders.size() - 1 - back);
    }
    [[nodiscard]] Session onDisk() const { return SessionDisk::load(uut->folder()); }
    /// Takes the steps in turn, each followed by the services' posted answers.
    void run(const Steps &steps)
    {
        for (const Step &step : steps) {
            step(*this);
            QCoreApplication::processEvents();
            // An export runs on its own threads; its end arrives through the event loop.
            QTRY_VERIFY(!uut || !uut->exporting());
        }
    }

    std::unique_ptr<RecorderModel> uut;
    /// What steps saw that the controller does not keep: the answers to quitting, for one.
    QStringList notes;
};

const Step test = [](Rig &r) { r.uut->startRecordingTest(); };
const Step press = [](Rig &r) { r.uut->toggleRecord(); };
const Step play = [](Rig &r) { r.uut->togglePlayback(); };
const Step next = [](Rig &r) { r.uut->next(); };
const Step previous = [](Rig &r) { r.uut->previous(); };
const Step importScript = [](Rig &r) { r.uut->importScript(); };
const Step openSession = [](Rig &r) { r.uut->openSession(); };
const Step deleteTake = [](Rig &r) { r.uut->confirmDeleteTake(); };
const Step startOver = [](Rig &r) { r.uut->confirmStartOver(); };
const Step exportAll = [](Rig &r) { r.uut->exportRecordings(); };
const Step quit = [](Rig &r) { r.notes << (r.uut->prepareToQuit() ? u"quit"_s : u"stay"_s); };
const Step quitUnattended
    = [](Rig &r) { r.notes << (r.uut->prepareToQuit(false) ? u"quit"_s : u"stay"_s); };
const Step relaunch = [](Rig &r) { r.launch(); };
const Step searched = [](Rig &r) {
    r.uut->setSearch(u"o"_s);
    r.uut->setMissingOnly(true);
};
const Step block = [](Rig &r) { blockSaves(r.uut->folder(), true); };
const Step unblock = [](Rig &r) { blockSaves(r.uut->folder(), false); };
const Step lift = [](Rig &) { limitFiles(false); };
// Panels and alerts are cancelled unless answered beforehand.
const Step yes = [](Rig &r) { r.desktop.confirmAnswers << true; };
const Step here = [](Rig &r) { r.desktop.panelAnswers << r.dataDir(); };
const Step hold = [](Rig &r) { r.audio.permission.reset(); };
const Step deny = [](Rig &r) { r.audio.permission = false; };
const Step grant = [](Rig &r) { r.audio.releasePermission(true); };
const Step deaf = [](Rig &r) { r.audio.recordResult = false; };
const Step stopFails = [](Rig &r) { r.recorder()->stopFailure = u"No space."_s; };
const Step busyInput = [](Rig &r) { r.audio.recorderFailure = u"Busy."_s; };
const Step noTakes = [](Rig &r) { QDir(r.uut->folder() + u"/takes"_s).removeRecursively(); };
const Step mute = [](Rig &r) { r.audio.playResult = false; };
const Step lost = [](Rig &r) { r.audio.playerFailure = u"Lost."_s; };
const Step ended = [](Rig &r) { Q_EMIT r.audio.players.constLast()->finished(true); };
const Step firstEnds = [](Rig &r) { Q_EMIT r.audio.players.constFirst()->finished(true); };
const Step midway = [](Rig &r) {
    r.audio.players.constLast()->seconds = 0.75;
    r.uut->tick();
};
/// Session.json names no take as chosen, so the newest stands for each line.
const Step unselect = [](Rig &r) {
    Session session = *r.uut->session();
    session.selected.clear();
    SessionDisk::save(session, r.uut->folder());
};
/// A second window starts, then tries to open the session of the first.
const Step secondWindow = [](Rig &r) {
    RecorderModel second(r.services());
    r.notes << second.errorText();
    r.desktop.panelAnswers << r.uut->folder();
    second.openSession();
    r.notes << second.errorText() + second.folder();
};

/// The running take holds `frames` at `rate`; the meters read `average` and `peak` at `seconds`.
const auto heard = [](qint64 frames, double rate = 48000, float peak = -12, float average = -30,
                       double seconds = 0) {
    return Step([=](Rig &r) {
        r.audio.files.insert(r.recorder()->path, {frames, rate});
        r.recorder()->peak = peak;
        r.recorder()->average = average;
        r.recorder()->seconds = seconds;
        r.uut->tick();
    });
};
/// A take of 1.5 s on the current line, stopped by the person.
const Step take = [](Rig &r) { r.run({press, heard(72000), press}); };

/// The recorder made `back` before the last stops by itself, whole or broken.
const auto ends = [](bool whole, int back = 0) {
    return Step([=](Rig &r) { Q_EMIT r.recorder(back)->finished(whole); });
};
/// Writing the running take fails, for `why`.
const auto writeFails = [](const QString &why) {
    return Step([=](Rig &r) { Q_EMIT r.recorder()->encodeError(why); });
};
const auto unreadable = [](const QString &why) {
    return Step([=](Rig &r) { Q_EMIT r.audio.players.constLast()->decodeError(why); });
};
/// The input is there or not, without a name, and the sound system says so.
const auto input = [](bool present) {
    return Step([=](Rig &r) {
        r.audio.input = {present, {}};
        Q_EMIT r.audio.inputsChanged();
    });
};
/// Chooses the current line's take `number`, from 1.
const auto pick = [](int number) {
    return Step([=](Rig &r) {
        r.uut->selectTake(r.uut->currentTakes().value(number - 1).toMap()[u"id"_s].toString());
    });
};
const auto goTo = [](const QString &id) { return Step([=](Rig &r) { r.uut->select(id); }); };

/// Imports `content` from a file called `name`.
const auto importFile = [](const QString &name, const QByteArray &content) {
    return Step([=](Rig &r) {
        r.desktop.panelAnswers << writeFile(r.path(name), content);
        r.uut->importScript();
    });
};
const Step three = importFile(u"prompts.txt"_s, prompts(3));

/// Opens the folder `name` in the rig's folder, or the session's own for none.
const auto openFolder = [](const QString &name = {}) {
    return Step([=](Rig &r) {
        r.desktop.panelAnswers << (name.isEmpty() ? r.uut->folder() : r.path(name));
        r.uut->openSession();
    });
};

/// The take file `file` of the session is gone, or a symbolic link to `target`.
const auto linked = [](const QString &file, const QString &target = {}) {
    return Step([=](Rig &r) {
        const QString path = SessionDisk::takePath(r.uut->folder(), file);
        QVERIFY(QFile::remove(path) && (target.isEmpty() || QFile::link(target, path)));
    });
};

/// A take file in the session that session.json does not name, holding `seconds` of audio
/// (none: no audio), last written `age` seconds before the others.
const auto orphan = [](const QString &file, double seconds, int age = 0) {
    return Step([=](Rig &r) {
        const QString path = writeFile(SessionDisk::takePath(r.uut->folder(), file), {});
        if (seconds > 0)
            r.setLength(path, seconds);
        QFile written(path);
        QVERIFY(written.open(QIODevice::Append)
            && written.setFileTime(QDateTime::fromSecsSinceEpoch(1000 - age, QTimeZone::utc()),
                QFileDevice::FileModificationTime));
    });
};

/// The Trash refuses what it is given; before that, the disk fills up ("full") or session.json
/// is blocked ("blocked").
const auto refuse = [](const QString &disk) {
    return Step([=](Rig &r) {
        r.desktop.trashFailure = u"The volume is read-only."_s;
        r.desktop.beforeTrash = [&r, disk] {
            if (disk == u"blocked")
                blockSaves(r.uut->folder(), true);
            limitFiles(disk == u"full");
        };
    });
};

/// What `key` reads after the steps: the controller's property of that name, or one of the
/// names below. Paths read from the session folder ("session/…") or the rig's folder.
QString observe(Rig &r, const QString &key)
{
    const RecorderModel &m = *r.uut;
    const Take *chosen = m.chosen();
    const auto last = [](const auto &list) { return list.value(list.size() - 1); };
    const Platform::FolderPanel folder = last(r.desktop.folderPanels);
    const Platform::Alert alert = last(r.desktop.alerts);
    QStringList durations;
    for (const QVariant &take : m.currentTakes())
        durations << take.toMap()[u"duration"_s].toString();
    const QVariantMap seen {
        {u"takes"_s, m.session() ? m.session()->takeCount() : 0},
        // The current line's takes, and the chosen one's place among them from 1, 0 for none.
        {u"durations"_s, durations.join(u' ')},
        {u"chosen"_s,
            chosen ? int(chosen - m.session()->takes.constFind(m.currentId())->constData()) + 1
                   : 0},
        {u"created"_s, chosen ? chosen->created.toString(Qt::ISODate) : QString()},
        {u"takeFiles"_s, entries(m.folder() + u"/takes"_s).size()},
        {u"asked"_s, r.audio.permissionRequests},
        {u"notes"_s, r.notes.join(u' ')},
        {u"played"_s, r.audio.playerPaths.join(u' ')},
        {u"trashed"_s, r.desktop.trashed.join(u' ')},
        {u"shown"_s, r.desktop.shownFolders.join(u' ')},
        {u"alert"_s, alert.title + u" / "_s + alert.detail + u" / "_s + alert.action},
        {u"fileTypes"_s, last(r.desktop.filePanels).extensions.join(u' ')},
        {u"folderPanel"_s,
            folder.title + u": "_s + folder.message + u" ["_s + folder.startFolder + u']'
                + (folder.canCreateFolders ? u" +"_s : QString())},
    };
    const QVariant read = seen.value(key, m.property(key.toLatin1()));
    QString value = read.isValid() ? read.toString() : u"<nothing called "_s + key + u'>';
    if (m.hasFolder())
        value.replace(m.folder(), u"session"_s);
    return value.replace(r.path({}) + u'/', QString());
}

/// The commands that change the line, the session or the sound; some save before they change
/// anything and stop when that fails.
const QList<std::tuple<const char *, bool, Step>> commands {{"import", true, importScript},
    {"open session", true, openSession}, {"select", false, goTo(u"test-welcome"_s)},
    {"next", false, next}, {"previous", false, previous}, {"select take", false, pick(1)},
    {"delete take", true, deleteTake}, {"start over", true, startOver}, {"export", true, exportAll},
    {"play", false, play}, {"record", true, press}, {"recording test", true, test}};

} // namespace

Q_DECLARE_METATYPE(Step)

class StartUpTest : public QObject
{
    Q_OBJECT

private slots:
    void reopensOnlyWhatItMay_data()
    {
        QTest::addColumn<QString>("override");
        QTest::addColumn<QString>("place");
        QTest::addColumn<QString>("error");

        // Reopened when `place` starts with "in".
        QTest::addRow("in the data folder") << u"deep/data"_s << u"in"_s << QString();
        QTest::addRow("override with a slash") << u"deep/data/"_s << u"in"_s << QString();
        QTest::addRow("stored with a slash") << u"deep/data"_s << u"in/"_s << QString();
        QTest::addRow("elsewhere, without the override") << QString() << u"in, out"_s << QString();
        QTest::addRow("elsewhere") << u"deep/data"_s << u"out"_s << QString();
        QTest::addRow("deleted") << u"deep/data"_s << u"deleted"_s << QString();
        QTest::addRow("past its last line")
            << u"deep/data"_s << u"broken"_s
            << u"Could not restore the last session: The saved line position is invalid."_s;
    }

    void reopensOnlyWhatItMay()
    {
        QFETCH(QString, override);
        QFETCH(QString, place);
        QFETCH(QString, error);

        Rig rig;
        rig.environment.dataFolder = rig.path(u"appdata"_s);
        rig.environment.variables.clear();
        if (!override.isEmpty())
            rig.environment.variables[QString::fromLatin1(RecorderModel::dataDirVariable)]
                = rig.path(override);
        const QString root
            = rig.path(override.isEmpty() ? u"appdata/Quorbel/Sessions"_s : u"deep/data"_s);
        const QString testing = QString::fromLatin1(RecorderModel::testingStoreName);
        auto &store = rig.environment.stores[override.isEmpty() ? QString() : testing];
        auto &other = rig.environment.stores[override.isEmpty() ? testing : QString()];
        auto made = SessionDisk::create(
            Script::recordingTest(), place.endsWith(u"out") ? rig.path(u"out"_s) : root);
        made.session.index = place == u"broken" ? 2 : 1;
        SessionDisk::save(made.session, made.folder);
        if (place == u"deleted")
            QDir(made.folder).removeRecursively();
        const QString key = QString::fromLatin1(RecorderModel::lastSessionKey);
        store[key] = made.folder + (place.endsWith(u'/') ? u"/"_s : QString());
        other[key] = u"untouched"_s;

        RecorderModel &uut = rig.launch();
        const bool reopened = place.startsWith(u"in");
        QCOMPARE(uut.errorText(), error);
        QVERIFY2(QFileInfo(root).isDir(), "the data folder is made, parents and all");
        QCOMPARE(QDir::cleanPath(uut.folder()), reopened ? made.folder : QString());
        QVERIFY2(uut.index() == (reopened ? 1 : -1), "on the line left");
        QVERIFY2(reopened || QDir::cleanPath(store[key]) == made.folder, "the next launch tries");
        QCOMPARE(u"message="_s + uut.message(),
            reopened ? u"message=Session restored. All changes save automatically."_s : idle);
        uut.startRecordingTest();
        QCOMPARE(QFileInfo(uut.folder()).absolutePath(), root);
        QVERIFY(store[key] == uut.folder() && other[key] == u"untouched"_s);
    }
};

class CommandTest : public QObject
{
    Q_OBJECT

private slots:
    void outcomes_data()
    {
        QTest::addColumn<Steps>("steps");
        QTest::addColumn<QStringList>("expected");
        const auto row = [](const char *name, const Steps &steps, const QStringList &expected) {
            QTest::addRow("%s", name) << steps << expected;
        };
        // Each expectation reads "key=value", as `observe` reads the key; the error is "" unless
        // given, a value ending in "…" gives its start, and the session on disk is always the
        // one shown.

        // A take on a line that has one, and how it ends.
        const Steps again {test, take, press};
        row("exactly 0.1 s", again + Steps {heard(4800), press}, {"takes=1", idle, noAudio});
        row("just over 0.1 s", again + Steps {heard(4801), press}, {"takes=2", "chosen=2", saved});
        row("no rate", again + Steps {heard(480, 0), press}, {"takes=1", noAudio});
        row("no length", again + Steps {heard(0, 0), press}, {"takes=1", noAudio});
        row("unreadable", again + Steps {press},
            {"takes=1", u"error="_s + QString::fromUtf8(FakeAudio::unreadable)});
        row("very quiet", again + Steps {heard(72000, 48000, -55.01f), press},
            {"elapsed=1.5",
                "message=Take saved, but the input was very quiet. Check your microphone and "
                "listen back."});
        row("just not too quiet", again + Steps {heard(72000, 48000, -55), press}, {saved});
        row("just not too loud", again + Steps {heard(72000, 48000, -0.5f), press}, {saved});
        row("too loud", again + Steps {heard(72000, 48000, -0.49f), press},
            {"message=Take saved. The input may be too loud; listen for distortion."});
        row("cut while quiet", again + Steps {heard(72000, 48000, -60), ends(true)},
            {"takes=2", "recording=false", cut});
        row("broken", again + Steps {heard(72000), ends(false)},
            {"takes=1", "chosen=1", "recording=false", "level=0", noAudio});
        // The disk, not the device: what was written is kept when it can be played.
        row("writing fails", again + Steps {heard(72000), writeFails(u"No space."_s)},
            {"takes=2", "chosen=2", "recording=false", cut, cutShort});
        row("writing fails at once", again + Steps {heard(2400), writeFails(u"No space."_s)},
            {"takes=1", idle, "error=The take could not be written: No space."});
        row("writing fails as the take stops", again + Steps {heard(72000), stopFails, press},
            {"takes=2", "recording=false", cut, cutShort});
        row("writing fails silently", again + Steps {writeFails({})},
            {"takes=1",
                "error=The audio device stopped recording. Check the microphone connection."});
        row("a late report ends no later take",
            again + Steps {heard(72000), press, press, ends(true, 1)},
            {"takes=2", "recording=true"});
        row("microphone refused", {test, take, deny, press},
            {"recording=false",
                "error=Microphone access is off. Open System Settings → Privacy & Security → "
                "Microphone and enable Quorbel, then try again."});
        row("input will not start", {test, take, deaf, press},
            {"takes=1",
                "error=The microphone could not start. Check the input device in Sound settings "
                "and try again."});
        row("no recorder", {test, take, busyInput, press}, {"takes=1", "error=Busy."});
        row("the takes folder gone", {test, noTakes, take}, {"takes=1"});
        row("asked each time, once at a time", {test, take, hold, press, press, grant},
            {"takes=1", "recording=true", "asked=2",
                "message=Recording… read the line, then click Stop & save."});

        // The meters of the running take, and the input's name.
        row("level from the average", {test, press, heard(0, 48000, -20, -30, 1.25)},
            {"elapsed=1.25", "level=0.5", "peak=-20"});
        row("level at the floor", {test, press, heard(0, 48000, -24, -75)}, {"level=0"});
        row("level at the top", {test, press, heard(0, 48000, -9, 6)}, {"level=1", "peak=-9"});
        row("the peak held", {test, press, heard(0, 48000, -9), heard(0, 48000, -20, -45)},
            {"level=0.25", "peak=-9"});
        row("each take its own peak", {test, take, press}, {"peak=-160"});
        row("the peak shown after", {test, press, heard(96000, 48000, -9), press},
            {"level=0", "peak=-9"});
        row("an unreadable name keeps the last", {input(true)}, {"inputName=Fake Microphone"});
        row("no input", {input(false)}, {"inputName=No microphone detected"});

        // Listening back.
        row("plays the chosen take", {test, take, play},
            {"playing=true", "elapsed=0", "played=session/" + takeFile(1),
                "chosenId=00000001-ABCD-4000-8000-000000000001",
                "created=2025-03-04T10:20:30+00:00"});
        row("stops where it was", {test, take, play, midway, play},
            {"playing=false", "elapsed=0.75"});
        row("plays again from the start", {test, take, play, midway, play, play},
            {"playing=true", "elapsed=0"});
        row("heard to its end", {test, take, play, ended}, {"playing=false"});
        row("a stopped player's end", {test, take, play, play, play, firstEnds}, {"playing=true"});
        row("nothing to play", {test, play}, {"playing=false"});
        row("the take will not open", {test, take, lost, play}, {"playing=false", "error=Lost."});
        row("the output will not start", {test, take, mute, play},
            {"playing=false", "error=Could not play this take. Check your sound output."});
        row("reading fails", {test, take, play, unreadable(u"Damaged."_s)},
            {"playing=false", "error=This take could not be played. Damaged."});

        // Scripts and sessions.
        row("import: a new session on its first line", {test, take, searched, three},
            {"currentId=line-001", "elapsed=0", "search=", "missingOnly=false", ready,
                "fileTypes=json csv txt"});
        row("a script that fails its checks",
            {three, next, importFile(u"dup.csv"_s, "id,text\na,One\nA,Two\n")},
            {"index=1", "error=Could not import script: Duplicate line ID: A"});
        row("panels cancelled", {three, next, importScript, openSession},
            {"index=1",
                "folderPanel=Open a recording session: Choose a session folder containing "
                "session.json and takes. [data]"});
        row("a folder without a session", {three, next, openFolder(u"Trash"_s)},
            {"index=1", "error=“Trash” is not a recording session…"});
        row("opening starts the sidebar afresh", {three, searched, openFolder()},
            {"search=", "missingOnly=false"});
        // Opening again: what has no audio, what a crash left behind, and who holds it.
        row("takes without audio stay listed",
            {test, take, take, take, linked(takeFile(1)), linked(takeFile(2), u"nowhere"_s),
                linked(takeFile(3), u"../session.json"_s), relaunch},
            {"takes=3",
                "error=2 recording file(s) are missing. Restore the takes folder from your "
                "backup, or re-record the affected lines."});
        row("takes no take names are filed again, oldest first",
            {test, take, take, unselect, orphan(takeFile(91), 2), orphan(takeFile(92), 1, 1),
                orphan(takeFile(93), 0.1), orphan(takeFile(94), 0),
                orphan(takeFile(95, u"nobody"_s), 2), orphan(u"takes/test-welcome-1.wav"_s, 2),
                orphan(takeFile(96), 2), linked(takeFile(96), u"gone.wav"_s), relaunch},
            {"takes=4", "durations=1.5 1.5 1 2", "chosen=2", "takeFiles=9",
                "message=Recovered 2 takes recorded before Quorbel stopped."});
        row("a take filed again", {test, take, orphan(takeFile(9, u"test-ending"_s), 2), relaunch},
            {"takes=2", "message=Recovered 1 take recorded before Quorbel stopped."});
        row("a second window is kept out", {test, secondWindow},
            {"notes=Could not restore the last session: This session is open in another "
             "Quorbel window. This session is open in another Quorbel window."});
        row("export, each time into a new folder",
            {three, take, goTo(u"line-003"_s), take, here, exportAll, here, exportAll},
            {"message=Exported 2 of 3 lines.", "messageFolder=data/Quorbel-Export-00000004",
                "shown=data/Quorbel-Export-00000003 data/Quorbel-Export-00000004",
                "folderPanel=Export recordings: Choose where to save a new export folder. "
                "Includes one selected WAV per recorded line (2/3). [] +"});
        row("an export that fails", {test, take, noTakes, here, exportAll},
            {"shown=", "error=Export incomplete: Could not copy…"});

        // Moving between lines and takes.
        row("next: the following line, taken or not", {test, next, take, previous, next},
            {"index=1", idle});
        row("next from the last line: the first without a take",
            {three, take, goTo(u"line-003"_s), take, play, midway, next},
            {"index=1", "playing=false", "elapsed=0"});
        row("next: nowhere once all have a take", {test, take, next, take, play, next},
            {"index=1", "playing=true",
                "message=All lines recorded. Export your recordings when you’re ready."});
        row("previous on the first line", {three, previous}, {"index=0", ready});
        row("select: only an id as written", {test, goTo(u"TEST-ENDING"_s), goTo(u"none"_s)},
            {"index=0"});
        row("select take", {test, take, take, play, pick(1)},
            {"chosen=1", "playing=false", "elapsed=1.5",
                "message=This take will be included in the export."});
        row("a new take chosen over one picked", {test, take, take, pick(1), take}, {"chosen=3"});

        // Removing takes.
        row("delete the second of three", {test, take, take, take, pick(2), play, yes, deleteTake},
            {"takes=2", "chosen=2", "playing=false", "elapsed=1.5",
                "trashed=session/" + takeFile(2),
                "message=Take deleted. The remaining selected take will be exported.",
                "alert=Delete take 2? / This removes the selected take for “test-welcome” and "
                "moves its audio to the Trash. Other takes and exported recordings are kept. / "
                "Delete take"});
        row("delete the only take", {test, take, yes, deleteTake},
            {"takes=0", "chosen=0", "elapsed=0",
                "message=Take deleted. This line is ready to record again."});
        row("delete, cancelled", {test, take, take, play, deleteTake},
            {"takes=2", "playing=false", saved});
        row("start over", {test, take, next, take, searched, yes, startOver},
            {"index=0", "takes=0", "elapsed=0", "level=0", "search=", "missingOnly=false",
                "trashed=session/takes", "message=Ready to start over. Record your first line.",
                "alert=Start this script over? / This removes all 2 takes from “Recording test” "
                "and returns to the first line. The script is kept. Audio moves to the Trash; "
                "other sessions and exports are kept. / Start over"});
        row("start over, cancelled", {test, take, play, startOver}, {"takes=1", "playing=false"});
        // What is on disk is shown: the old document put back, else the new one; when neither
        // can be read, what was shown stays, and is saved at the next chance.
        row("the Trash refuses the takes", {test, take, refuse({}), yes, startOver},
            {"takes=1", saved, "error=Could not complete the action: Could not move…"});
        const QString notBack = u"error=Could not complete the action: The audio could not be "
                                u"moved and progress could not be restored.…"_s;
        row("the old document cannot be put back",
            {test, take, refuse(u"full"_s), yes, deleteTake, lift}, {"takes=0", notBack});
        row("nothing can be read",
            {test, take, refuse(u"blocked"_s), yes, deleteTake, unblock, quit},
            {"takes=1", "notes=quit", notBack});

        // Quitting, and saves that fail.
        row("quit while playing", {test, take, play, quit}, {"playing=false", "notes=quit"});
        row("quit during a take files it", {test, take, press, heard(96000), quit},
            {"takes=2", "recording=false", "notes=quit"});
        row("quit while asking", {test, hold, press, quit}, {"notes=stay"});
        row("quit with nothing unsaved, the folder blocked", {test, take, block, quit, unblock},
            {"notes=quit"});
        // The second quit, with the folder back, saves what the first could not.
        row("quit unsaved, asked and cancelled", {test, take, block, next, quit, unblock, quit},
            {"index=1", notSaved, "notes=stay quit",
                "alert=Quit without saving? / The latest changes to “Recording test” could not "
                "be saved: Could not write “session/session.json”: Is a directory Quitting now "
                "loses them. / Quit Without Saving"});
        row("quit unsaved, asked and confirmed",
            {test, take, block, next, yes, quit, unblock, quit}, {notSaved, "notes=quit quit"});
        row("quit unsaved, unattended, asks no one",
            {test, take, block, next, yes, quitUnattended, unblock, quit},
            {notSaved, "notes=stay quit"});
        row("a later command saves an earlier change", {test, block, next, unblock, openSession},
            {"index=1", notSaved});
        row("a take that cannot be saved is kept",
            {test, press, heard(96000, 48000, -12, -30, 0.5), block, press, quit, unblock, quit},
            {"takes=1", "elapsed=0.5", notSaved, "notes=stay quit"});
        row("without a session nothing happens",
            {press, play, next, previous, pick(1), yes, deleteTake, startOver, exportAll},
            {"playing=false", "asked=0"});
    }

    void outcomes()
    {
        QFETCH(Steps, steps);
        QFETCH(QStringList, expected);

        Rig rig;
        rig.launch();
        rig.run(steps);
        if (rig.uut->hasFolder())
            QCOMPARE(rig.onDisk(), *rig.uut->session());
        QMap<QString, QString> checks {{u"error"_s, QString()}};
        for (const QString &expectation : expected)
            checks[expectation.section(u'=', 0, 0)] = expectation.section(u'=', 1);
        for (const auto &[key, value] : checks.asKeyValueRange()) {
            const QString seen = observe(rig, key);
            QVERIFY2(value.endsWith(u'…') ? seen.startsWith(value.chopped(1)) : seen == value,
                qPrintable(key + u": "_s + seen));
        }
    }

    void busyOrUnsavedStopsTheCommand_data()
    {
        QTest::addColumn<Steps>("state");
        QTest::addColumn<bool>("unsaved");
        QTest::addColumn<Step>("command");

        // On the second of two lines with a take each, where nothing else stops the command.
        // Unsaved: a change that cannot be saved, so the session differs from its file.
        const QList<std::pair<const char *, Steps>> states {
            {"recording", {press}}, {"asking", {hold, press}}, {"unsaved", {block, previous}}};
        for (const auto &[state, steps] : states) {
            const bool unsaved = qstrcmp(state, "unsaved") == 0;
            for (const auto &[name, savesFirst, step] : commands) {
                if (unsaved ? savesFirst : qstrcmp(state, "asking") == 0 || qstrcmp(name, "record"))
                    QTest::addRow("%s while %s", name, state) << steps << unsaved << step;
            }
        }
    }

    void busyOrUnsavedStopsTheCommand()
    {
        QFETCH(Steps, state);
        QFETCH(bool, unsaved);
        QFETCH(Step, command);

        Rig rig;
        rig.launch();
        rig.run({test, take, next, take});
        const Session saved = *rig.uut->session();
        rig.run(state);
        rig.uut->setError(std::nullopt);
        const Session before = *rig.uut->session();
        const QString message = rig.uut->message();
        const auto asked = rig.audio.permissionRequests;
        const auto recorders = rig.audio.recorders.size();
        rig.desktop.panelAnswers << writeFile(rig.path(u"prompts.txt"_s), prompts(2));
        rig.desktop.confirmAnswers << true;

        rig.run({command, unsaved ? unblock : Step([](Rig &) {})});
        QVERIFY2(rig.uut->errorText().startsWith(notSaved.sliced(6).chopped(1)) == unsaved,
            qPrintable(rig.uut->errorText()));
        QVERIFY(rig.uut->busy() == !unsaved && rig.uut->message() == message);
        QCOMPARE(*rig.uut->session(), before);
        QCOMPARE(rig.onDisk(), saved);
        QVERIFY2(entries(rig.dataDir()).size() == 1 && rig.desktop.trashed.isEmpty(),
            "no session made, no take moved");
        QVERIFY2(rig.desktop.folderPanels.isEmpty() && rig.audio.playerPaths.isEmpty(),
            "nothing shown or heard");
        QVERIFY((rig.audio.permissionRequests == asked || unsaved)
            && rig.audio.recorders.size() == recorders);
    }
};

class LineListTest : public QObject
{
    Q_OBJECT

private slots:
    void filters_data()
    {
        QTest::addColumn<QStringList>("filters");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<int>("currentRow");
        const auto row = [](const char *name, const char *filters, const char *shown, int at) {
            QTest::addRow("%s", name)
                << QString::fromLatin1(filters).split(u'|') << QString::fromLatin1(shown) << at;
        };

        // The filters set in turn, a leading * for unrecorded lines only; the line ids shown,
        // and the row of the current line, light-3. Alpha and light-3 have a take.
        row("everything", "", "alpha bravo light-3 delta echo", 2);
        row("short search, in text or id, any case", "LI", "bravo light-3 delta", 1);
        row("long search, in text or id, any case", "liGHt", "bravo light-3 delta", 1);
        row("beyond what a row shows", "needle", "echo", -1);
        row("unrecorded", "*", "bravo delta echo", -1);
        row("unrecorded, searched", "*light", "bravo delta", -1);
        row("typing on narrows", "i|ig", "bravo light-3 delta echo", 1);
        row("deleting letters widens", "light|i", "alpha bravo light-3 delta echo", 2);
        row("switching off widens", "*i|ig", "bravo light-3 delta echo", 1);
    }

    void filters()
    {
        QFETCH(QStringList, filters);
        QFETCH(QString, shown);
        QFETCH(int, currentRow);

        Session session;
        for (const char *line : {"alpha:The quiet river", "bravo:Morning LIGHT",
                 "light-3:Evening sun", "delta:A bright light", "echo:Night rain"})
            session.script.lines.append({QString::fromLatin1(line).section(u':', 0, 0),
                QString::fromLatin1(line).section(u':', 1), {}});
        session.script.lines.last().text += QString(300, u' ') + u"needle"_s;
        session.takes[u"alpha"_s] = session.takes[u"light-3"_s] = {Take {}};
        session.index = 2;
        LineListModel uut(nullptr);
        QAbstractItemModelTester tester(
            &uut, QAbstractItemModelTester::FailureReportingMode::QtTest);
        uut.setSession(&session);
        for (const QString &filter : filters)
            uut.setFilter(filter.mid(filter.startsWith(u'*')), filter.startsWith(u'*'));
        QStringList ids;
        for (int row = 0; row < uut.rowCount(); ++row) {
            ids << uut.lineIdAt(row);
            QVERIFY2(uut.index(row).data(LineListModel::TextRole).toString().size() <= 200,
                "a row gets no more than it shows");
        }
        QCOMPARE(ids.join(u' '), shown);
        QCOMPARE(uut.currentRow(), currentRow);
    }

    void longTextsComeInPieces_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("length");
        QTest::addColumn<QString>("pages"); // at most `length` characters each, split by "|"
        QTest::addColumn<QString>("glimpse"); // at most `length` characters

        const QString smile = u"\U0001F600"_s;
        QTest::addRow("short") << u"One two"_s << 8 << u"One two"_s << u"One two"_s;
        QTest::addRow("after a blank")
            << u"aaaa bbbb cccc"_s << 8 << u"aaaa |bbbb |cccc"_s << u"aaaa bb…"_s;
        QTest::addRow("after a line break first")
            << u"abcd\nf gh ij"_s << 8 << u"abcd\n|f gh ij"_s << u"abcd\nf …"_s;
        QTest::addRow("never inside a character")
            << u"aaaaaa"_s + smile + u"bc"_s << 7 << u"aaaaaa|"_s + smile + u"bc"_s << u"aaaaaa…"_s;
        QTest::addRow("never inside a character, glimpsed")
            << u"aaaaa"_s + smile + u"bc"_s << 7 << u"aaaaa"_s + smile + u"|bc"_s << u"aaaaa…"_s;
    }

    void longTextsComeInPieces()
    {
        QFETCH(QString, text);
        QFETCH(int, length);
        QFETCH(QString, pages);
        QFETCH(QString, glimpse);
        QCOMPARE(::pages(text, length).join(u'|'), pages);
        QCOMPARE(::glimpse(text, length), glimpse);
    }

    void rowsComeAndGoInRuns_data()
    {
        QTest::addColumn<int>("lines");
        QTest::addColumn<QList<int>>("before");
        QTest::addColumn<QList<int>>("after");
        QTest::addColumn<QString>("changes");

        // Unrecorded lines only are listed; `before` and `after` have a take.
        QList<int> even;
        for (int line = 0; line <= 64; line += 2)
            even << line;
        QTest::addRow("taken lines leave")
            << 10 << QList<int> {} << QList<int> {1, 2, 5} << u"-1:2 -3:3"_s;
        QTest::addRow("come and go")
            << 10 << QList<int> {1, 2} << QList<int> {2, 5} << u"+1:1 -4:4"_s;
        QTest::addRow("in 33 runs, all at once") << 66 << QList<int> {} << even << u"reset"_s;
    }

    void rowsComeAndGoInRuns()
    {
        QFETCH(int, lines);
        QFETCH(QList<int>, before);
        QFETCH(QList<int>, after);
        QFETCH(QString, changes);

        Session session;
        for (int i = 0; i < lines; ++i)
            session.script.lines.append({QString::number(i), u"Prompt %1"_s.arg(i), {}});
        for (const int line : before)
            session.takes[QString::number(line)] = {Take {}};
        LineListModel uut(nullptr);
        uut.setSession(&session);
        uut.setFilter({}, true);
        QAbstractItemModelTester tester(
            &uut, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QStringList seen;
        const auto note = [&](QChar sign) {
            return [&seen, sign](const QModelIndex &, int first, int last) {
                seen << sign + u"%1:%2"_s.arg(first).arg(last);
            };
        };
        connect(&uut, &LineListModel::rowsRemoved, this, note(u'-'));
        connect(&uut, &LineListModel::rowsInserted, this, note(u'+'));
        connect(&uut, &LineListModel::modelReset, this, [&] { seen << u"reset"_s; });

        session.takes.clear();
        for (const int line : after)
            session.takes[QString::number(line)] = {Take {}};
        uut.setSession(&session);
        QCOMPARE(seen.join(u' '), changes);
        QCOMPARE(uut.rowCount(), lines - after.size());
    }
};

QUORBEL_TEST_MAIN(StartUpTest, CommandTest, LineListTest, TakeCheckTest)

#include "tst_recorder.moc"
