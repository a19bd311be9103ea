// The controller on the fake services, command by command as the window drives it, and the
// sidebar's list of lines.

#include "linelistmodel.h"
#include "servicerig.h"
#include "sessiondisk.h"
#include "testfiles.h"
#include "testmain.h"

#include <QAbstractItemModelTester>
#include <QFileInfo>
#include <QTimeZone>

#include <csignal>
#include <sys/resource.h>

using namespace Qt::Literals::StringLiterals;

namespace {

const QString plainSaved = u"Take saved. Listen back or move to the next line."_s;
const QString everyTakeSaved = u"Every take is saved automatically."_s;
const QString ready = u"Ready. Record your first line."_s;
const QString noUsableAudio = u"No usable audio was captured. Your previous take is still safe. "
                              u"Check the microphone and try again."_s;
// Ends in "…": the start of the error.
const QString notSaved = u"Progress could not be saved. Keep this session open and retry. Audio "
                         u"remains in the session folder. …"_s;

QString lineId(int index)
{
    return u"line-%1"_s.arg(index + 1, 3, 10, QLatin1Char('0'));
}

Session onDisk(const RecorderModel &uut)
{
    return SessionDisk::load(uut.folder());
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

struct Rig : ServiceRig
{
    std::unique_ptr<RecorderModel> launch() { return std::make_unique<RecorderModel>(services()); }
    /// The recorder made `back` before the last one.
    FakeRecorder *recorder(int back = 0) const
    {
        return audio.recorders.value(audio.recorders.size() - 1 - back);
    }
    /// Records a take of 1.5 s on the current line, stopped by the person.
    void recordTake(RecorderModel &uut)
    {
        uut.toggleRecord();
        QCoreApplication::processEvents();
        if (!uut.recording())
            return;
        setLength(recorder()->path, 1.5);
        recorder()->peak = -12;
        uut.tick();
        uut.toggleRecord();
    }
    /// Opens a new session of `count` prompts, ids line-001 onwards.
    void importLines(RecorderModel &uut, int count)
    {
        desktop.panelAnswers << writeFile(path(u"prompts.txt"_s), prompts(count));
        uut.importScript();
    }

    /// The input is now `changed`, and the sound system says so.
    void changeInput(Platform::DefaultInput changed)
    {
        audio.input = std::move(changed);
        Q_EMIT audio.inputsChanged();
    }

    /// What `prepareToQuit` answered, in turn.
    QList<bool> quits;
};

/// What the person or a service does, one step of a case.
using Step = std::function<void(Rig &, RecorderModel &)>;
using Steps = QList<Step>;

const Step test = [](Rig &, RecorderModel &m) { m.startRecordingTest(); };
const Step three = [](Rig &r, RecorderModel &m) { r.importLines(m, 3); };
const Step take = [](Rig &r, RecorderModel &m) { r.recordTake(m); };
const Step press = [](Rig &, RecorderModel &m) { m.toggleRecord(); };
const Step play = [](Rig &, RecorderModel &m) { m.togglePlayback(); };
const Step next = [](Rig &, RecorderModel &m) { m.next(); };
const Step previous = [](Rig &, RecorderModel &m) { m.previous(); };
const Step openSession = [](Rig &, RecorderModel &m) { m.openSession(); };
const Step deleteTake = [](Rig &, RecorderModel &m) { m.confirmDeleteTake(); };
const Step startOver = [](Rig &, RecorderModel &m) { m.confirmStartOver(); };
const Step exportAll = [](Rig &, RecorderModel &m) { m.exportRecordings(); };
const Step quit = [](Rig &r, RecorderModel &m) { r.quits << m.prepareToQuit(); };
const Step quitUnattended = [](Rig &r, RecorderModel &m) { r.quits << m.prepareToQuit(false); };
const Step block = [](Rig &, RecorderModel &m) { blockSaves(m.folder(), true); };
const Step unblock = [](Rig &, RecorderModel &m) { blockSaves(m.folder(), false); };
// Panels and alerts are cancelled unless answered beforehand.
const Step yes = [](Rig &r, RecorderModel &) { r.desktop.confirmAnswers << true; };
const Step hold = [](Rig &r, RecorderModel &) { r.audio.permission.reset(); };
const Step deny = [](Rig &r, RecorderModel &) { r.audio.permission = false; };
const Step grant = [](Rig &r, RecorderModel &) { r.audio.releasePermission(true); };
const Step deaf = [](Rig &r, RecorderModel &) { r.audio.recordResult = false; };
const Step stopFails = [](Rig &r, RecorderModel &) { r.recorder()->stopFailure = u"No space."_s; };
const Step busyInput = [](Rig &r, RecorderModel &) { r.audio.recorderFailure = u"Busy."_s; };
const Step unnamed = [](Rig &r, RecorderModel &) { r.changeInput({true, {}}); };
const Step unplugged = [](Rig &r, RecorderModel &) { r.changeInput({false, {}}); };
const Step noTakes
    = [](Rig &, RecorderModel &m) { QDir(m.folder() + u"/takes"_s).removeRecursively(); };
const Step mute = [](Rig &r, RecorderModel &) { r.audio.playResult = false; };
const Step lost = [](Rig &r, RecorderModel &) { r.audio.playerFailure = u"Lost."_s; };
const Step midway = [](Rig &r, RecorderModel &m) {
    r.audio.players.constLast()->seconds = 0.75;
    m.tick();
};
const Step ended
    = [](Rig &r, RecorderModel &) { Q_EMIT r.audio.players.constLast()->finished(true); };
const Step firstEnds
    = [](Rig &r, RecorderModel &) { Q_EMIT r.audio.players.constFirst()->finished(true); };

/// The running take holds `frames` at `rate`; the meters read `average` and `peak` at `seconds`.
Step heard(
    qint64 frames, double rate = 48000, float peak = -12, float average = -30, double seconds = 0)
{
    return [=](Rig &r, RecorderModel &m) {
        r.audio.files.insert(r.recorder()->path, {frames, rate});
        r.recorder()->peak = peak;
        r.recorder()->average = average;
        r.recorder()->seconds = seconds;
        m.tick();
    };
}

/// The recorder made `back` before the last stops by itself, "finished" or "broken", or fails
/// to write: "encode:" and the reason.
Step ends(const QString &how, int back = 0)
{
    return [=](Rig &r, RecorderModel &) {
        if (how.startsWith(u"encode:"))
            Q_EMIT r.recorder(back)->encodeError(how.mid(7));
        else
            Q_EMIT r.recorder(back)->finished(how == u"finished");
    };
}

Step unreadable(const QString &reason)
{
    return
        [=](Rig &r, RecorderModel &) { Q_EMIT r.audio.players.constLast()->decodeError(reason); };
}

/// Chooses the current line's take `number`, from 1.
Step pick(int number)
{
    return [=](Rig &, RecorderModel &m) {
        m.selectTake(m.currentTakes().value(number - 1).toMap().value(u"id"_s).toString());
    };
}

Step goTo(const QString &id)
{
    return [=](Rig &, RecorderModel &m) { m.select(id); };
}

/// What the controller shows after the steps. A field left unset is not checked, but the error
/// always is (none by default), and the session on disk must be the one in memory.
struct Expect
{
    std::optional<int> line {}, takes {};
    /// The place of the chosen take among the current line's, from 1; 0 for none.
    std::optional<int> chosen {};
    std::optional<bool> recording {}, playing {};
    std::optional<double> elapsed {};
    std::optional<float> level {}, peak {};
    std::optional<QString> message {};
    QString error {};
    std::optional<int> asked {};
    std::optional<QList<bool>> quits {};
    std::optional<QString> input {};
};

/// The commands that change the line, the session or the sound; some save before they change
/// anything and stop when that fails.
const QList<std::tuple<const char *, bool, Step>> commands {
    {"import", true, [](Rig &, RecorderModel &m) { m.importScript(); }},
    {"open session", true, openSession},
    {"select", false, goTo(u"test-welcome"_s)},
    {"next", false, next},
    {"previous", false, previous},
    {"select take", false, pick(1)},
    {"delete take", true, deleteTake},
    {"start over", true, startOver},
    {"export", true, exportAll},
    {"play", false, play},
    {"record", true, press},
    {"recording test", true, test},
};

} // namespace

Q_DECLARE_METATYPE(Step)
Q_DECLARE_METATYPE(Expect)

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

        auto uut = rig.launch();
        const bool reopened = place.startsWith(u"in");
        QCOMPARE(uut->errorText(), error);
        QVERIFY2(QFileInfo(root).isDir(), "the data folder is made, parents and all");
        QCOMPARE(QDir::cleanPath(uut->folder()), reopened ? made.folder : QString());
        QVERIFY2(uut->index() == (reopened ? 1 : -1), "on the line left");
        QVERIFY2(reopened || QDir::cleanPath(store[key]) == made.folder, "the next launch tries");
        if (reopened)
            QCOMPARE(uut->message(), u"Session restored. All changes save automatically."_s);
        uut->startRecordingTest();
        QCOMPARE(QFileInfo(uut->folder()).absolutePath(), root);
        QVERIFY(store[key] == uut->folder() && other[key] == u"untouched"_s);
    }

    void countsMissingRecordings_data()
    {
        QTest::addColumn<QStringList>("audio");
        QTest::addColumn<int>("missing");

        QTest::addRow("all there, one through a link") << QStringList {"", "", "link"} << 0;
        QTest::addRow("one gone") << QStringList {"gone", "", ""} << 1;
        QTest::addRow("one gone, one a link to nowhere")
            << QStringList {"gone", "nowhere", ""} << 2;
    }

    void countsMissingRecordings()
    {
        QFETCH(QStringList, audio);
        QFETCH(int, missing);

        Rig rig;
        auto uut = rig.launch();
        uut->startRecordingTest();
        for (const QString &kind : audio) {
            rig.recordTake(*uut);
            const QString file = rig.recorder()->path;
            if (!kind.isEmpty())
                QFile::remove(file);
            if (kind == u"link" || kind == u"nowhere")
                QFile::link(
                    kind == u"link" ? SessionDisk::documentPath(uut->folder()) : kind, file);
        }
        // A second window is kept out of the session while the first holds it.
        const QString held = u"This session is open in another Quorbel window."_s;
        auto second = rig.launch();
        QCOMPARE(second->errorText(), u"Could not restore the last session: "_s + held);
        rig.desktop.panelAnswers << uut->folder();
        second->openSession();
        QVERIFY2(second->errorText() == held && second->folder().isEmpty(), "nothing opened");
        second.reset();
        uut.reset();
        uut = rig.launch();
        QCOMPARE(uut->errorText(),
            missing == 0 ? QString()
                         : u"%1 recording file(s) are missing. Restore the takes folder from your "
                           u"backup, or re-record the affected lines."_s.arg(missing));
        QVERIFY2(uut->session()->takeCount() == 3, "takes without audio stay listed");
    }

    void recoversOrphanedTakes()
    {
        Rig rig;
        auto uut = rig.launch();
        uut->startRecordingTest();
        rig.recordTake(*uut);
        rig.recordTake(*uut);
        const QString folder = uut->folder();
        const QString first = uut->currentId(), second = uut->session()->script.lines[1].id;
        // Without a selection the newest take stands for the line; recovery must not change it.
        Session expected = *uut->session();
        expected.selected.clear();
        SessionDisk::save(expected, folder);
        uut.reset();

        const auto orphan = [&](const QString &line, int uuid, double seconds) {
            const QString file = u"takes/%1-%2.wav"_s.arg(
                line, ServiceRig::uuid(uuid).toString(QUuid::WithoutBraces).toUpper());
            const QString path = writeFile(SessionDisk::takePath(folder, file), {});
            if (seconds > 0)
                rig.setLength(path, seconds);
            const QDateTime modified = QDateTime::fromSecsSinceEpoch(1000 - uuid, QTimeZone::utc());
            QFile written(path);
            if (!written.open(QIODevice::Append)
                || !written.setFileTime(modified, QFileDevice::FileModificationTime))
                qFatal("cannot date %s", qPrintable(path));
            return Take {file.sliced(6 + line.size() + 1, 36), file, seconds, modified};
        };
        // Oldest first, each after its line's takes.
        const Take later = orphan(second, 91, 2), sooner = orphan(first, 92, 1);
        orphan(first, 93, 0.1); // too short to be a take
        orphan(first, 94, 0); // no audio
        orphan(u"nobody"_s, 95, 2);
        rig.setLength(writeFile(folder + u"/takes/"_s + first + u"-1.wav"_s, {}), 2);
        const QString link = SessionDisk::takePath(folder, orphan(first, 96, 2).file);
        QVERIFY(QFile::remove(link) && QFile::link(u"gone.wav"_s, link));
        const QStringList files = entries(folder + u"/takes"_s);

        uut = rig.launch();
        QCOMPARE(uut->message(), u"Recovered 2 takes recorded before Quorbel stopped."_s);
        expected.selected.insert(first, expected.chosen(first)->id);
        expected.takes[first].append(sooner);
        expected.takes[second].append(later);
        QCOMPARE(*uut->session(), expected);
        QCOMPARE(onDisk(*uut), expected);
        QVERIFY2(entries(folder + u"/takes"_s) == files, "recovery deletes nothing");

        uut.reset();
        orphan(second, 97, 1.5);
        uut = rig.launch();
        QCOMPARE(uut->message(), u"Recovered 1 take recorded before Quorbel stopped."_s);
        uut.reset();
        uut = rig.launch();
        QCOMPARE(uut->message(), u"Session restored. All changes save automatically."_s);
        QCOMPARE(uut->session()->takeCount(), expected.takeCount() + 1);
    }

    void importsAndOpensOrExplains()
    {
        Rig rig;
        auto uut = rig.launch();
        uut->setSearch(u"left over"_s);
        rig.importLines(*uut, 3);
        const Platform::FilePanel file = rig.desktop.filePanels.value(0);
        QCOMPARE(file.title, u"Import a script"_s);
        QCOMPARE(file.message,
            u"Text: one prompt per line. CSV: id,text,note columns. JSON: title and lines."_s);
        QCOMPARE(file.extensions, (QStringList {u"json"_s, u"csv"_s, u"txt"_s}));
        QVERIFY2(uut->currentId() == lineId(0) && uut->message() == ready, "on the first line");
        QVERIFY2(uut->search().isEmpty() && onDisk(*uut) == *uut->session(), "saved, afresh");

        // A script that fails its checks, a panel cancelled, a folder that holds no session:
        // the session stays as it was.
        uut->next();
        const Session before = *uut->session();
        rig.desktop.panelAnswers << writeFile(rig.path(u"dup.csv"_s), "id,text\na,One\nA,Two\n")
                                 << std::nullopt << std::nullopt << rig.desktop.trashFolder;
        uut->importScript();
        QVERIFY2(uut->errorText().startsWith(u"Could not import script: "_s)
                && uut->errorText().size() > 25,
            qPrintable(uut->errorText()));
        uut->setError(std::nullopt);
        uut->importScript();
        uut->openSession();
        QVERIFY(!uut->error());
        uut->openSession();
        try {
            (void)SessionDisk::load(rig.desktop.trashFolder);
        } catch (const Error &failure) {
            QCOMPARE(uut->errorText(), failure.description());
        }
        QCOMPARE(*uut->session(), before);
        const Platform::FolderPanel panel = rig.desktop.folderPanels.value(1);
        QCOMPARE(panel.title, u"Open a recording session"_s);
        QCOMPARE(panel.message, u"Choose a session folder containing session.json and takes."_s);
        QVERIFY(panel.startFolder == rig.dataDir() && !panel.canCreateFolders);

        uut->setSearch(u"x"_s);
        uut->setMissingOnly(true);
        rig.desktop.panelAnswers << uut->folder();
        uut->openSession();
        QVERIFY2(uut->search().isEmpty() && !uut->missingOnly(), "the sidebar starts afresh");
    }
};

class CommandTest : public QObject
{
    Q_OBJECT

private slots:
    void outcomes_data()
    {
        QTest::addColumn<Steps>("steps");
        QTest::addColumn<Expect>("expect");
        const auto row = [](const char *name, const Steps &steps, const Expect &expect) {
            QTest::addRow("%s", name) << steps << expect;
        };

        const QString stopped = u"The audio device stopped recording. "_s;
        const QString quiet = u"Take saved, but the input was very quiet. Check your microphone "
                              u"and listen back."_s;
        const QString loud = u"Take saved. The input may be too loud; listen for distortion."_s;
        const QString cut = u"Recording interrupted; the captured audio was saved. Listen back "
                            u"before continuing."_s;
        const QString micOff = u"Microphone access is off. Open System Settings → Privacy & "
                               u"Security → Microphone and enable Quorbel, then try again."_s;
        const QString wontStart = u"The microphone could not start. Check the input device in "
                                  u"Sound settings and try again."_s;
        // A take on a line that has one, and how it ends.
        const Steps again {test, take, press};
        row("a take starts", {test, press},
            {.recording = true, .message = u"Recording… read the line, then click Stop & save."_s});
        row("exactly 0.1 s", again + Steps {heard(4800), press},
            {.takes = 1,
                .chosen = 1,
                .recording = false,
                .level = 0,
                .message = everyTakeSaved,
                .error = noUsableAudio});
        row("just over 0.1 s", again + Steps {heard(4801), press},
            {.takes = 2, .chosen = 2, .elapsed = 4801 / 48000.0, .message = plainSaved});
        row("no rate", again + Steps {heard(480, 0), press}, {.takes = 1, .error = noUsableAudio});
        row("no length", again + Steps {heard(0, 0), press}, {.takes = 1, .error = noUsableAudio});
        row("unreadable", again + Steps {press},
            {.takes = 1, .error = QString::fromUtf8(FakeAudio::unreadable)});
        row("very quiet", again + Steps {heard(72000, 48000, -55.01f), press},
            {.elapsed = 1.5, .message = quiet});
        row("just not too quiet", again + Steps {heard(72000, 48000, -55), press},
            {.message = plainSaved});
        row("just not too loud", again + Steps {heard(72000, 48000, -0.5f), press},
            {.message = plainSaved});
        row("too loud", again + Steps {heard(72000, 48000, -0.49f), press}, {.message = loud});
        row("cut while quiet", again + Steps {heard(72000, 48000, -60), ends(u"finished"_s)},
            {.takes = 2, .recording = false, .message = cut});
        row("broken", again + Steps {heard(72000), ends(u"broken"_s)},
            {.takes = 1, .chosen = 1, .recording = false, .level = 0, .error = noUsableAudio});
        // The disk, not the device: what was written is kept when it can be played.
        const QString cutShort = u"The take was cut short: No space. The audio recorded until "
                                 u"then was kept."_s;
        row("writing fails", again + Steps {heard(72000), ends(u"encode:No space."_s)},
            {.takes = 2, .chosen = 2, .recording = false, .message = cut, .error = cutShort});
        row("writing fails at once", again + Steps {heard(2400), ends(u"encode:No space."_s)},
            {.takes = 1,
                .message = everyTakeSaved,
                .error = u"The take could not be written: No space."_s});
        row("writing fails as the take stops", again + Steps {heard(72000), stopFails, press},
            {.takes = 2, .recording = false, .message = cut, .error = cutShort});
        row("writing fails silently", again + Steps {ends(u"encode:"_s)},
            {.takes = 1, .error = stopped + u"Check the microphone connection."_s});
        row("a late report ends no later take",
            again + Steps {heard(72000), press, press, ends(u"finished"_s, 1)},
            {.takes = 2, .recording = true});
        row("microphone refused", {test, take, deny, press}, {.recording = false, .error = micOff});
        row("input will not start", {test, take, deaf, press}, {.takes = 1, .error = wontStart});
        row("no recorder", {test, take, busyInput, press}, {.takes = 1, .error = u"Busy."_s});
        row("the takes folder gone", {test, noTakes, take}, {.takes = 1});
        row("asked each time, once at a time", {test, take, hold, press, press, grant},
            {.takes = 1, .recording = true, .asked = 2});

        // The meters of the running take, and the input's name.
        row("level from the average", {test, press, heard(0, 48000, -20, -30, 1.25)},
            {.elapsed = 1.25, .level = 0.5f, .peak = -20});
        row("level at the floor", {test, press, heard(0, 48000, -24, -75)},
            {.level = 0, .peak = -24});
        row("level at the top", {test, press, heard(0, 48000, -9, 6)}, {.level = 1, .peak = -9});
        row("the peak held", {test, press, heard(0, 48000, -9), heard(0, 48000, -20, -45)},
            {.level = 0.25f, .peak = -9});
        row("each take its own peak", {test, take, press}, {.peak = Platform::silenceDb});
        row("the peak shown after", {test, press, heard(96000, 48000, -9), press},
            {.level = 0, .peak = -9});
        row("an unreadable name keeps the last", {unnamed}, {.input = u"Fake Microphone"_s});
        row("no input", {unplugged}, {.input = u"No microphone detected"_s});

        // Listening back.
        row("plays the chosen take", {test, take, play}, {.playing = true, .elapsed = 0});
        row("stops where it was", {test, take, play, midway, play},
            {.playing = false, .elapsed = 0.75});
        row("plays again from the start", {test, take, play, midway, play, play},
            {.playing = true, .elapsed = 0});
        row("heard to its end", {test, take, play, ended}, {.playing = false});
        row("a stopped player's end", {test, take, play, play, play, firstEnds}, {.playing = true});
        row("nothing to play", {test, play}, {.playing = false});
        row("the take will not open", {test, take, lost, play},
            {.playing = false, .error = u"Lost."_s});
        row("the output will not start", {test, take, mute, play},
            {.playing = false, .error = u"Could not play this take. Check your sound output."_s});
        row("reading fails", {test, take, play, unreadable(u"Damaged."_s)},
            {.playing = false, .error = u"This take could not be played. Damaged."_s});
        row("reading fails silently", {test, take, play, unreadable({})},
            {.error = u"This take could not be played. "_s});

        // Moving between lines and takes.
        row("next: the following line, taken or not", {test, next, take, previous, next},
            {.line = 1, .message = everyTakeSaved});
        row("next from the last line: the first without a take",
            {three, take, goTo(lineId(2)), take, play, midway, next},
            {.line = 1, .playing = false, .elapsed = 0});
        row("next from the last line: itself", {test, take, next, next},
            {.line = 1, .message = everyTakeSaved});
        row("next: nowhere once all have a take", {test, take, next, take, play, next},
            {.line = 1,
                .playing = true,
                .message = u"All lines recorded. Export your recordings when you’re ready."_s});
        row("a new session starts at no time", {test, take, three},
            {.line = 0, .elapsed = 0, .message = ready});
        row("previous", {three, goTo(lineId(2)), previous}, {.line = 1});
        row("previous on the first line", {three, previous}, {.line = 0, .message = ready});
        row("select: only an id as written", {test, goTo(u"TEST-ENDING"_s), goTo(u"none"_s)},
            {.line = 0});
        row("select take", {test, take, take, play, pick(1)},
            {.chosen = 1,
                .playing = false,
                .elapsed = 1.5,
                .message = u"This take will be included in the export."_s});
        row("a new take chosen over one picked", {test, take, take, pick(1), take}, {.chosen = 3});

        // Removing takes.
        row("delete the second of three", {test, take, take, take, pick(2), play, yes, deleteTake},
            {.takes = 2,
                .chosen = 2,
                .playing = false,
                .elapsed = 1.5,
                .message = u"Take deleted. The remaining selected take will be exported."_s});
        row("delete the only take", {test, take, yes, deleteTake},
            {.takes = 0,
                .chosen = 0,
                .elapsed = 0,
                .message = u"Take deleted. This line is ready to record again."_s});
        row("delete, cancelled", {test, take, take, play, deleteTake},
            {.takes = 2, .chosen = 2, .playing = false, .message = plainSaved});
        row("start over", {test, take, next, take, yes, startOver},
            {.line = 0,
                .takes = 0,
                .elapsed = 0,
                .level = 0,
                .message = u"Ready to start over. Record your first line."_s});
        row("start over, cancelled", {test, take, play, startOver}, {.takes = 1, .playing = false});
        row("export cancelled", {test, take, exportAll}, {.message = plainSaved});

        // Quitting, and saves that fail.
        row("quit while playing", {test, take, play, quit},
            {.takes = 1, .playing = false, .quits = QList<bool> {true}});
        row("quit during a take files it", {test, take, press, heard(96000), quit},
            {.takes = 2, .recording = false, .quits = QList<bool> {true}});
        row("quit while asking", {test, hold, press, quit}, {.quits = QList<bool> {false}});
        row("quit with nothing unsaved, the folder blocked", {test, take, block, quit, unblock},
            {.quits = QList<bool> {true}});
        // The second quit, with the folder back, saves what the first could not.
        row("quit unsaved, asked and cancelled", {test, take, block, next, quit, unblock, quit},
            {.line = 1, .error = notSaved, .quits = QList<bool> {false, true}});
        row("quit unsaved, asked and confirmed",
            {test, take, block, next, yes, quit, unblock, quit},
            {.error = notSaved, .quits = QList<bool> {true, true}});
        row("quit unsaved, unattended, asks no one",
            {test, take, block, next, yes, quitUnattended, unblock, quit},
            {.error = notSaved, .quits = QList<bool> {false, true}});
        row("a later command saves an earlier change", {test, block, next, unblock, openSession},
            {.line = 1, .error = notSaved});
        row("a take that cannot be saved is kept",
            {test, press, heard(96000, 48000, -12, -30, 0.5), block, press, quit, unblock, quit},
            {.takes = 1,
                .chosen = 1,
                .elapsed = 0.5,
                .error = notSaved,
                .quits = QList<bool> {false, true}});
        row("without a session nothing happens",
            {press, play, next, previous, pick(1), yes, deleteTake, startOver, exportAll},
            {.playing = false, .asked = 0});
    }

    void outcomes()
    {
        QFETCH(Steps, steps);
        QFETCH(Expect, expect);

        Rig rig;
        auto uut = rig.launch();
        for (const Step &step : steps) {
            step(rig, *uut);
            QCoreApplication::processEvents();
        }
        const QString error = uut->errorText();
        QVERIFY2(expect.error.endsWith(u'…') ? error.startsWith(expect.error.chopped(1))
                                             : error == expect.error,
            qPrintable(error));
        if (uut->hasFolder())
            QCOMPARE(onDisk(*uut), *uut->session());
        const QVariantList takes = uut->currentTakes();
        int chosen = 0;
        while (chosen < takes.size() && takes.at(chosen).toMap().value(u"id"_s) != uut->chosenId())
            ++chosen;
#define CHECK(field, actual)                                                                       \
    if (expect.field)                                                                              \
    QCOMPARE(actual, *expect.field)
        CHECK(line, uut->index());
        CHECK(takes, uut->session()->takeCount());
        CHECK(chosen, uut->hasChosen() ? chosen + 1 : 0);
        CHECK(recording, uut->recording());
        CHECK(playing, uut->playing());
        CHECK(elapsed, uut->elapsed());
        CHECK(level, uut->level());
        CHECK(peak, uut->peak());
        CHECK(message, uut->message());
        CHECK(asked, rig.audio.permissionRequests);
        CHECK(quits, rig.quits);
        CHECK(input, uut->inputName());
#undef CHECK
    }

    void eachTakeIsFiledAndPlayedUnderItsName()
    {
        Rig rig;
        auto uut = rig.launch();
        uut->startRecordingTest();
        rig.recordTake(*uut);
        const QString id = ServiceRig::uuid(rig.uuids).toString(QUuid::WithoutBraces).toUpper();
        const QString file = u"takes/test-welcome-"_s + id + u".wav"_s;
        QCOMPARE(onDisk(*uut).takes.value(u"test-welcome"_s),
            (QList<Take> {{id, file, 1.5, rig.clock}}));
        QCOMPARE(onDisk(*uut).selected.value(u"test-welcome"_s), id);
        uut->togglePlayback();
        QCOMPARE(rig.audio.playerPaths, QStringList {SessionDisk::takePath(uut->folder(), file)});
        QCOMPARE(rig.recorder()->path, rig.audio.playerPaths.value(0));
    }

    void removalAsksFirst()
    {
        Rig rig;
        auto uut = rig.launch();
        for (const Step &step : {test, take, take, take, pick(2), deleteTake, next, startOver})
            step(rig, *uut);
        const Platform::Alert remove = rig.desktop.alerts.value(0),
                              over = rig.desktop.alerts.value(1);
        QCOMPARE(remove.title, u"Delete take 2?"_s);
        QCOMPARE(remove.detail,
            u"This removes the selected take for “test-welcome” and moves its "
            u"audio to the Trash. Other takes and exported recordings are kept."_s);
        QCOMPARE(remove.action, u"Delete take"_s);
        QCOMPARE(over.title, u"Start this script over?"_s);
        QCOMPARE(over.detail,
            u"This removes all 3 takes from “Recording test” and returns to the "
            u"first line. The script is kept. Audio moves to the Trash; other "
            u"sessions and exports are kept."_s);
        QCOMPARE(over.action, u"Start over"_s);

        uut->setSearch(u"o"_s);
        rig.desktop.confirmAnswers << true << true;
        uut->previous();
        const QString second = SessionDisk::takePath(uut->folder(), uut->chosen()->file);
        uut->confirmDeleteTake();
        uut->confirmStartOver();
        QCOMPARE(
            rig.desktop.trashed, (QStringList {second, QDir(uut->folder()).filePath(u"takes"_s)}));
        QVERIFY2(uut->search().isEmpty(), "the sidebar starts afresh");

        blockSaves(uut->folder(), true);
        uut->next();
        QVERIFY(!uut->prepareToQuit());
        blockSaves(uut->folder(), false);
        const Platform::Alert leave = rig.desktop.alerts.value(4);
        QCOMPARE(leave.title, u"Quit without saving?"_s);
        QCOMPARE(leave.detail,
            u"The latest changes to “Recording test” could not be saved: Could not write “%1”: Is "
            u"a directory Quitting now loses them."_s.arg(
                SessionDisk::documentPath(uut->folder())));
        QCOMPARE(leave.action, u"Quit Without Saving"_s);
    }

    void failedRemovalShowsWhatIsOnDisk_data()
    {
        QTest::addColumn<bool>("startOver");
        QTest::addColumn<QString>("disk");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<int>("shown");

        const QString lost = u"The audio could not be moved and progress could not be restored."_s;
        QTest::addRow("trash refuses the takes") << true << u"fine"_s << u"Could not move"_s << 1;
        QTest::addRow("old document cannot be put back") << false << u"full"_s << lost << 0;
        QTest::addRow("nothing can be read") << false << u"blocked"_s << lost << 1;
    }

    void failedRemovalShowsWhatIsOnDisk()
    {
        QFETCH(bool, startOver);
        QFETCH(QString, disk);
        QFETCH(QString, reason);
        QFETCH(int, shown);

        Rig rig;
        auto uut = rig.launch();
        uut->startRecordingTest();
        rig.recordTake(*uut);
        const QString document = SessionDisk::documentPath(uut->folder());
        rlimit limit {};
        getrlimit(RLIMIT_FSIZE, &limit);
        const rlimit unlimited = limit;
        const auto ignored = std::signal(SIGXFSZ, SIG_IGN);
        rig.desktop.beforeTrash = [&] {
            // No file may grow past a few bytes, so the old session.json cannot be written
            // back while the new one stays readable.
            limit.rlim_cur = disk == u"full" ? 16 : limit.rlim_cur;
            setrlimit(RLIMIT_FSIZE, &limit);
            // A folder where session.json goes: neither written back nor read.
            if (disk == u"blocked" && QFile::remove(document))
                QDir().mkpath(document + u"/in-the-way"_s);
        };
        rig.desktop.trashFailure = u"The volume is read-only."_s;
        rig.desktop.confirmAnswers << true;
        startOver ? uut->confirmStartOver() : uut->confirmDeleteTake();
        setrlimit(RLIMIT_FSIZE, &unlimited);
        std::signal(SIGXFSZ, ignored);

        QVERIFY2(uut->errorText().startsWith(u"Could not complete the action: "_s + reason),
            qPrintable(uut->errorText()));
        QVERIFY(uut->session()->takeCount() == shown && uut->message() == plainSaved);
        if (disk != u"blocked")
            QCOMPARE(onDisk(*uut), *uut->session());
    }

    void exportMakesANewFolderEachTime()
    {
        Rig rig;
        auto uut = rig.launch();
        rig.importLines(*uut, 5);
        for (const Step &step : {take, goTo(lineId(2)), take, goTo(lineId(4)), take})
            step(rig, *uut);
        QStringList made;
        for (int i = 0; i < 3; ++i) {
            if (i == 2)
                QFile::remove(rig.recorder()->path);
            rig.desktop.panelAnswers << rig.dataDir();
            uut->exportRecordings();
            made << QDir(rig.dataDir())
                        .filePath(SessionDisk::exportFolderName(ServiceRig::uuid(rig.uuids)));
        }
        const Platform::FolderPanel panel = rig.desktop.folderPanels.value(0);
        QCOMPARE(panel.title, u"Export recordings"_s);
        QCOMPARE(panel.message,
            u"Choose where to save a new export folder. Includes one selected "
            u"WAV per recorded line (3/5)."_s);
        QVERIFY(panel.canCreateFolders);
        QCOMPARE(uut->message(), u"Exported 3 of 5 lines."_s);
        QCOMPARE(entries(made.at(1)).filter(u".wav"_s),
            (QStringList {u"line-001.wav"_s, u"line-003.wav"_s, u"line-005.wav"_s}));
        QVERIFY2(uut->errorText().startsWith(u"Export incomplete: Could not copy"_s),
            qPrintable(uut->errorText()));
        QVERIFY2(rig.desktop.shownFolders == made.first(2), "each complete export is shown");

        uut->reveal();
        QCOMPARE(rig.desktop.shownFolders.value(2), uut->folder());
        uut->soundSettings();
        QVERIFY(rig.desktop.soundSettingsOpened == 1 && rig.desktop.microphoneSettingsOpened == 0);
        uut->microphoneSettings();
        QCOMPARE(rig.desktop.microphoneSettingsOpened, 1);
    }

    void busyOrUnsavedStopsTheCommand_data()
    {
        QTest::addColumn<QString>("state");
        QTest::addColumn<Step>("command");

        // On the second of two lines with a take each, where nothing else stops the command.
        for (const char *state : {"recording", "asking", "unsaved"}) {
            for (const auto &[name, savesFirst, step] : commands) {
                const bool stops = qstrcmp(state, "unsaved") == 0
                    ? savesFirst
                    : qstrcmp(state, "recording") != 0 || qstrcmp(name, "record") != 0;
                if (stops)
                    QTest::addRow("%s while %s", name, state) << QString::fromLatin1(state) << step;
            }
        }
    }

    void busyOrUnsavedStopsTheCommand()
    {
        QFETCH(QString, state);
        QFETCH(Step, command);

        Rig rig;
        auto uut = rig.launch();
        for (const Step &step : {test, take, next, take, state == u"asking" ? hold : yes})
            step(rig, *uut);
        if (state != u"unsaved")
            uut->toggleRecord();
        QCoreApplication::processEvents();
        const Session saved = *uut->session();
        if (state == u"unsaved") {
            // A change that cannot be saved: the session now differs from its file.
            blockSaves(uut->folder(), true);
            uut->previous();
            uut->setError(std::nullopt);
        }
        const Session before = *uut->session();
        const QString message = uut->message();
        const auto asked = rig.audio.permissionRequests;
        const auto recorders = rig.audio.recorders.size();
        rig.desktop.panelAnswers << writeFile(rig.path(u"prompts.txt"_s), prompts(2));
        rig.desktop.confirmAnswers << true;

        command(rig, *uut);
        QCoreApplication::processEvents();
        if (state == u"unsaved")
            blockSaves(uut->folder(), false);
        QVERIFY2(uut->errorText().startsWith(notSaved.chopped(1)) == (state == u"unsaved"),
            qPrintable(uut->errorText()));
        QVERIFY(uut->busy() == (state != u"unsaved") && uut->message() == message);
        QCOMPARE(*uut->session(), before);
        QCOMPARE(onDisk(*uut), saved);
        QVERIFY2(entries(rig.dataDir()).size() == 1 && rig.desktop.trashed.isEmpty(),
            "no session made, no take moved");
        QVERIFY2(rig.desktop.folderPanels.isEmpty() && rig.audio.playerPaths.isEmpty(),
            "nothing shown or heard");
        QVERIFY((rig.audio.permissionRequests == asked || state == u"unsaved")
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

        // The filters set in turn, a leading * for unrecorded lines only; the line ids shown.
        QTest::addRow("everything") << QStringList {""} << u"alpha bravo light-3 delta echo"_s << 3;
        QTest::addRow("short search, in text or id, any case")
            << QStringList {"LI"} << u"bravo light-3 delta"_s << 2;
        QTest::addRow("long search, in text or id, any case")
            << QStringList {"liGHt"} << u"bravo light-3 delta"_s << 2;
        QTest::addRow("unrecorded") << QStringList {"*"} << u"bravo delta echo"_s << 1;
        QTest::addRow("unrecorded, searched") << QStringList {"*light"} << u"bravo delta"_s << 1;
        QTest::addRow("current line filtered out") << QStringList {"quiet"} << u"alpha"_s << -1;
        QTest::addRow("typing on narrows")
            << QStringList {"i", "ig"} << u"bravo light-3 delta echo"_s << 2;
        QTest::addRow("deleting letters widens")
            << QStringList {"light", "i"} << u"alpha bravo light-3 delta echo"_s << 3;
        QTest::addRow("switching off widens")
            << QStringList {"*i", "ig"} << u"bravo light-3 delta echo"_s << 2;
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
        session.takes[u"alpha"_s] = session.takes[u"light-3"_s] = {Take {}};
        session.index = 3;
        LineListModel uut(nullptr);
        QAbstractItemModelTester tester(
            &uut, QAbstractItemModelTester::FailureReportingMode::QtTest);
        uut.setSession(&session);
        for (const QString &filter : filters)
            uut.setFilter(filter.mid(filter.startsWith(u'*')), filter.startsWith(u'*'));
        QStringList ids;
        for (const ScriptLine &line : uut.visibleLines())
            ids << line.id;
        QCOMPARE(ids.join(u' '), shown);
        QCOMPARE(uut.rowCount(), ids.size());
        QCOMPARE(uut.currentRow(), currentRow);
    }

    void longTextsComeInPieces_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("length");
        QTest::addColumn<QStringList>("pages"); // at most `length` characters each
        QTest::addColumn<QString>("glimpse"); // at most `length` characters

        const QString smile = u"\U0001F600"_s;
        QTest::addRow("short") << u"One two"_s << 8 << QStringList {u"One two"_s} << u"One two"_s;
        QTest::addRow("after a blank")
            << u"aaaa bbbb cccc"_s << 8 << QStringList {u"aaaa "_s, u"bbbb "_s, u"cccc"_s}
            << u"aaaa bb…"_s;
        QTest::addRow("after a line break first")
            << u"abcd\nf gh ij"_s << 8 << QStringList {u"abcd\n"_s, u"f gh ij"_s} << u"abcd\nf …"_s;
        QTest::addRow("never inside a character")
            << u"aaaaaa"_s + smile + u"bc"_s << 7 << QStringList {u"aaaaaa"_s, smile + u"bc"_s}
            << u"aaaaaa…"_s;
        QTest::addRow("never inside a character, glimpsed")
            << u"aaaaa"_s + smile + u"bc"_s << 7 << QStringList {u"aaaaa"_s + smile, u"bc"_s}
            << u"aaaaa…"_s;
    }

    void longTextsComeInPieces()
    {
        QFETCH(QString, text);
        QFETCH(int, length);
        QFETCH(QStringList, pages);
        QFETCH(QString, glimpse);
        QCOMPARE(::pages(text, length), pages);
        QCOMPARE(::glimpse(text, length), glimpse);
    }

    void rowsShowTheStartOfALongLine()
    {
        // A row gets no more than it shows; the search still reads the whole line.
        Session session;
        session.script.lines.append({u"long"_s, QString(100'000, u'a') + u" needle"_s, {}});
        LineListModel uut(nullptr);
        uut.setSession(&session);
        const QString row = uut.index(0).data(LineListModel::TextRole).toString();
        QVERIFY2(row.size() == 200 && row.endsWith(u'…'), qPrintable(row.right(10)));
        uut.setFilter(u"needle"_s, false);
        QCOMPARE(uut.rowCount(), 1);
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
            session.script.lines.append({lineId(i), u"Prompt %1"_s.arg(i), {}});
        for (const int line : before)
            session.takes[lineId(line)] = {Take {}};
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
            session.takes[lineId(line)] = {Take {}};
        uut.setSession(&session);
        QCOMPARE(seen.join(u' '), changes);
        QCOMPARE(uut.rowCount(), lines - after.size());
    }
};

QUORBEL_TEST_MAIN(StartUpTest, CommandTest, LineListTest)

#include "tst_recorder.moc"
