#include "fakeaudio.h"
#include "fakedesktop.h"
#include "realrecordingtest.h"
#include "recordermodel.h"
#include "sessiondisk.h"
#include "testmain.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimeZone>

#include <cmath>
#include <csignal>
#include <functional>
#include <memory>
#include <sys/resource.h>

using namespace Qt::Literals::StringLiterals;

namespace {

const QString dataDirVariable = QString::fromLatin1(RecorderModel::dataDirVariable);
const QString testingStore = QString::fromLatin1(RecorderModel::testingStoreName);
const QString lastSession = QString::fromLatin1(RecorderModel::lastSessionKey);

// What the person reads, word for word.
const QString everyTakeSaved = u"Every take is saved automatically."_s;
const QString restored = u"Session restored. All changes save automatically."_s;
const QString ready = u"Ready. Record your first line."_s;
const QString recordingNow = u"Recording… read the line, then click Stop & save."_s;
const QString plainSaved = u"Take saved. Listen back or move to the next line."_s;
const QString noUsableAudio = u"No usable audio was captured. Your previous take is still safe. "
                              u"Check the microphone and try again."_s;
const QString allRecordedText = u"All lines recorded. Export your recordings when you’re ready."_s;
const QString notSaved = u"Progress could not be saved. Keep this session open and retry. Audio "
                         u"remains in the session folder. "_s;
const QString couldNotComplete = u"Could not complete the action: "_s;

/// The scripted desktop, with a hook that runs just before an item goes to the Trash.
class TrappedDesktop final : public Platform::Desktop
{
public:
    explicit TrappedDesktop(FakeDesktop &fake) : d(fake) {}
    std::optional<QString> chooseFile(const Platform::FilePanel &p) override
    {
        return d.chooseFile(p);
    }
    std::optional<QString> chooseFolder(const Platform::FolderPanel &p) override
    {
        return d.chooseFolder(p);
    }
    bool confirm(const Platform::Alert &alert) override { return d.confirm(alert); }
    void showFolder(const QString &path) override { d.showFolder(path); }
    void openSoundSettings() override { d.openSoundSettings(); }
    void openMicrophoneSettings() override { d.openMicrophoneSettings(); }
    void moveToTrash(const QString &path) override
    {
        if (beforeTrash)
            beforeTrash();
        d.moveToTrash(path);
    }

    std::function<void()> beforeTrash;

private:
    FakeDesktop &d;
};

/// Everything one run of the program stands on: a scratch folder, the fake services, a fixed
/// clock and UUIDs that count up. Settings stores live as long as the rig, so a second launch
/// sees what the first one stored, as after a relaunch.
class Rig
{
public:
    Rig()
    {
        environment.setVariable(dataDirVariable, dataDir());
        QDir().mkpath(path(u"Trash"_s));
        desktop.setTrashFolder(path(u"Trash"_s));
    }

    [[nodiscard]] QString path(const QString &name) const { return m_dir.filePath(name); }
    [[nodiscard]] QString dataDir() const { return path(u"data"_s); }

    std::unique_ptr<RecorderModel> launch()
    {
        return std::make_unique<RecorderModel>(RecorderServices {&input, &output, &trapped,
            &environment, [this] { return clock; }, [this] { return nextUuid(); }});
    }

    /// Launched with the built-in recording test open, on its first line.
    std::unique_ptr<RecorderModel> launchOnTest()
    {
        auto model = launch();
        model->startRecordingTest();
        return model;
    }

    QString writeFile(const QString &name, const QByteArray &content) const
    {
        QFile file(path(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
            qFatal("cannot write the test file %s", qPrintable(file.fileName()));
        return file.fileName();
    }

private:
    QUuid nextUuid()
    {
        // The count leads, so UUIDs differ already in their first eight digits.
        ++m_uuids;
        return QUuid::fromString(u"%1-0000-4000-8000-%2"_s.arg(m_uuids, 8, 16, QLatin1Char('0'))
                                     .arg(m_uuids, 12, 16, QLatin1Char('0')));
    }

    QTemporaryDir m_dir;
    int m_uuids = 0;

public:
    FakeAudioInput input;
    FakeAudioOutput output;
    FakeDesktop desktop;
    TrappedDesktop trapped {desktop};
    FakeEnvironment environment;
    QDateTime clock {QDate(2025, 3, 4), QTime(10, 20, 30), QTimeZone::utc()};
};

/// Lets the answers the fakes posted arrive.
void settle()
{
    QCoreApplication::processEvents();
}

Session onDisk(const RecorderModel &uut)
{
    return SessionDisk::load(uut.folder());
}

QString loadFailure(const QString &folder)
{
    try {
        (void)SessionDisk::load(folder);
    } catch (const std::exception &failure) {
        return QString::fromUtf8(failure.what());
    }
    return {};
}

/// Presses Record on the current line; the recorder of the take that started, or null.
FakeRecorder *startTake(Rig &rig, RecorderModel &uut)
{
    uut.toggleRecord();
    settle();
    return uut.recording() ? rig.input.lastRecorder() : nullptr;
}

/// The take running on `recorder` captures `seconds` of audio whose loudest sample is `peakDb`.
void speak(Rig &rig, RecorderModel &uut, FakeRecorder *recorder, double seconds, float peakDb)
{
    rig.input.setFileInfo(recorder->path(), {qint64(std::llround(seconds * 48000)), 48000});
    recorder->setLevels(-30, peakDb);
    uut.tick();
}

/// Records a take on the current line and stops it; the id of the take filed, else empty.
QString recordTake(Rig &rig, RecorderModel &uut, double seconds = 1.5, float peakDb = -12)
{
    FakeRecorder *recorder = startTake(rig, uut);
    if (!recorder)
        return {};
    speak(rig, uut, recorder, seconds, peakDb);
    const QString path = recorder->path();
    uut.toggleRecord();
    const Take *take = uut.chosen();
    return take && path.endsWith(take->file) ? take->id : QString();
}

/// Opens a new session on a plain-text script of `count` prompts, ids line-001 onwards.
void importLines(Rig &rig, RecorderModel &uut, int count)
{
    QByteArray text;
    for (int i = 1; i <= count; ++i)
        text += "Prompt number " + QByteArray::number(i) + ".\n";
    rig.desktop.answerFile(rig.writeFile(u"Prompts-%1.txt"_s.arg(count), text));
    uut.importScript();
}

QString lineId(int index)
{
    return u"line-%1"_s.arg(index + 1, 3, 10, QLatin1Char('0'));
}

int takeCount(const Session &session)
{
    int count = 0;
    for (const QList<Take> &takes : session.takes)
        count += int(takes.size());
    return count;
}

/// Stands a folder with a file in it where session.json goes, so saving into `folder` fails for
/// real, also for root, who ignores permission bits. `release` puts the last saved file back.
class BlockedSave
{
public:
    explicit BlockedSave(const QString &folder) : m_document(SessionDisk::documentPath(folder))
    {
        QFile::rename(m_document, m_document + u".aside"_s);
        QDir().mkpath(m_document + u"/in-the-way"_s);
    }
    ~BlockedSave() { release(); }

    void release()
    {
        if (std::exchange(m_released, true))
            return;
        QDir(m_document).removeRecursively();
        QFile::rename(m_document + u".aside"_s, m_document);
    }

private:
    QString m_document;
    bool m_released = false;
};

using Command = std::function<void(Rig &, RecorderModel &)>;

} // namespace

Q_DECLARE_METATYPE(Command)

// --- Launching and opening sessions -------------------------------------------------------------

class StartUpTest : public QObject
{
    Q_OBJECT

private slots:
    void overrideKeepsEverythingInItsOwnPlace()
    {
        Rig rig;
        const QString data = rig.path(u"deep/er/data"_s);
        rig.environment.setVariable(dataDirVariable, data);
        rig.environment.stored()[lastSession] = u"/the/person's/own/session"_s;

        auto uut = rig.launch();
        QVERIFY2(QFileInfo(data).isDir(), "the data folder is made, parents and all");
        QCOMPARE(uut->root(), data);
        QVERIFY(!uut->error());

        uut->startRecordingTest();
        QCOMPARE(QFileInfo(uut->folder()).absolutePath(), data);
        QCOMPARE(rig.environment.stored(testingStore).value(lastSession), uut->folder());
        QVERIFY2(rig.environment.writtenStores() == QStringList {testingStore},
            "the person's own store is never written");
        QCOMPARE(rig.environment.stored().value(lastSession), u"/the/person's/own/session"_s);
    }

    void reopensWhereThePersonLeftOff()
    {
        Rig rig;
        QString folder;
        {
            auto first = rig.launch();
            first->startRecordingTest();
            first->next();
            folder = first->folder();
        }
        auto uut = rig.launch();
        QCOMPARE(uut->folder(), folder);
        QVERIFY2(uut->current() && uut->current()->id == u"test-ending"_s, "on the line left");
        QCOMPARE(uut->message(), restored);
        QVERIFY(!uut->error());
    }

    void restoresOnlyWhatItMay_data()
    {
        QTest::addColumn<bool>("override");
        QTest::addColumn<QString>("place");
        QTest::addColumn<bool>("reopened");

        QTest::addRow("in the data folder") << true << u"data"_s << true;
        QTest::addRow("in the data folder, stored with a slash") << true << u"data/"_s << true;
        QTest::addRow("elsewhere, with the override") << true << u"elsewhere"_s << false;
        QTest::addRow("elsewhere, without the override") << false << u"elsewhere"_s << true;
        QTest::addRow("deleted") << true << u"deleted"_s << false;
        QTest::addRow("deleted, without the override") << false << u"deleted"_s << false;
    }

    void restoresOnlyWhatItMay()
    {
        QFETCH(bool, override);
        QFETCH(QString, place);
        QFETCH(bool, reopened);

        Rig rig;
        QString root = rig.dataDir();
        if (!override) {
            rig.environment.unsetVariable(dataDirVariable);
            rig.environment.setDataFolder(rig.path(u"appdata"_s));
            root = rig.path(u"appdata/Quorbel/Sessions"_s);
        }
        const QString store = override ? testingStore : QString();
        const QString under = place == u"elsewhere" ? rig.path(u"elsewhere"_s) : root;
        const QString folder = SessionDisk::create(Script::recordingTest(), under).folder;
        if (place == u"deleted")
            QDir(folder).removeRecursively();
        const QString stored = place.endsWith(u'/') ? folder + u'/' : folder;
        rig.environment.stored(store)[lastSession] = stored;

        auto uut = rig.launch();
        QCOMPARE(uut->root(), root);
        QCOMPARE(QDir::cleanPath(uut->folder()), reopened ? folder : QString());
        QVERIFY2(!uut->error(), qPrintable(uut->errorText()));
        if (!reopened)
            QCOMPARE(rig.environment.stored(store).value(lastSession), stored);
    }

    void reportsASessionThatFailsItsChecks()
    {
        Rig rig;
        const QString folder = rig.dataDir() + u"/Past-the-end"_s;
        QDir().mkpath(folder);
        SessionDisk::save(Session {1, Script::recordingTest(), 2, {}, {}}, folder);
        rig.environment.stored(testingStore)[lastSession] = folder;

        auto uut = rig.launch();
        QVERIFY(!uut->session());
        QCOMPARE(uut->errorText(),
            u"Could not restore the last session: The saved line position is invalid."_s);
        QVERIFY2(rig.environment.stored(testingStore).value(lastSession) == folder,
            "the next launch tries again");
    }

    void countsMissingRecordings_data()
    {
        QTest::addColumn<int>("missing");
        QTest::addRow("none") << 0;
        QTest::addRow("one") << 1;
        QTest::addRow("two") << 2;
    }

    void countsMissingRecordings()
    {
        QFETCH(int, missing);
        Rig rig;
        rig.input.setRecordersCreateFiles(true);
        {
            auto first = rig.launch();
            first->startRecordingTest();
            for (int i = 0; i < 3; ++i)
                QVERIFY(!recordTake(rig, *first).isEmpty());
            const QList<Take> takes = first->session()->takes.value(u"test-welcome"_s);
            for (int i = 0; i < missing; ++i)
                QVERIFY(QFile::remove(QDir(first->folder()).filePath(takes.at(i).file)));
        }
        auto uut = rig.launch();
        QCOMPARE(uut->message(), restored);
        QCOMPARE(uut->errorText(),
            missing == 0 ? QString()
                         : QString::number(missing)
                    + u" recording file(s) are missing. Restore the takes folder from your "
                      u"backup, or re-record the affected lines."_s);
        QVERIFY2(takeCount(*uut->session()) == 3, "takes without audio stay listed");
    }

    void importOpensTheScriptOrExplains()
    {
        Rig rig;
        auto uut = rig.launch();
        uut->setSearch(u"left over"_s);
        importLines(rig, *uut, 3);

        const Platform::FilePanel panel = rig.desktop.filePanels().value(0);
        QCOMPARE(panel.title, u"Import a script"_s);
        QCOMPARE(panel.message,
            u"Text: one prompt per line. CSV: id,text,note columns. JSON: title and lines."_s);
        QCOMPARE(panel.extensions, (QStringList {u"json"_s, u"csv"_s, u"txt"_s}));
        QCOMPARE(uut->current()->id, lineId(0));
        QCOMPARE(uut->message(), ready);
        QVERIFY(uut->search().isEmpty());
        QCOMPARE(onDisk(*uut), *uut->session());

        uut->next();
        const Session before = *uut->session();
        rig.desktop.answerFile(rig.writeFile(u"dup.csv"_s, "id,text\na,One\nA,Two\n"));
        uut->importScript();
        QVERIFY2(uut->errorText().startsWith(u"Could not import script: "_s)
                && uut->errorText().size() > 25,
            qPrintable(uut->errorText()));
        QVERIFY2(*uut->session() == before, "the open session stays, on the same line");
    }

    void openSessionReloadsOrExplains()
    {
        Rig rig;
        auto uut = rig.launchOnTest();
        const QString folder = uut->folder();
        const QString empty = rig.path(u"empty"_s);
        QDir().mkpath(empty);

        rig.desktop.answerFolder(empty);
        uut->openSession();
        QCOMPARE(rig.desktop.folderPanels().value(0).title, u"Open a recording session"_s);
        QCOMPARE(rig.desktop.folderPanels().value(0).startFolder, rig.dataDir());
        QVERIFY2(uut->errorText() == loadFailure(empty) && uut->error()->size() > 0,
            "the reason alone, no prefix");
        QCOMPARE(uut->folder(), folder);

        uut->startRecordingTest();
        uut->setSearch(u"test"_s);
        uut->setMissingOnly(true);
        rig.desktop.answerFolder(folder);
        uut->openSession();
        QCOMPARE(uut->folder(), folder);
        QVERIFY2(uut->search().isEmpty() && !uut->missingOnly(), "the sidebar starts afresh");
        QCOMPARE(uut->message(), restored);
        QCOMPARE(rig.environment.stored(testingStore).value(lastSession), folder);
    }
};

// --- Recording ----------------------------------------------------------------------------------

class RecordingTest : public QObject
{
    Q_OBJECT

private slots:
    void eachTakeIsFiledAndChosen()
    {
        Rig rig;
        auto uut = rig.launchOnTest();
        FakeRecorder *recorder = startTake(rig, *uut);
        QVERIFY2(recorder, "granted permission starts a take");
        QCOMPARE(uut->message(), recordingNow);
        const QString file = QDir(uut->folder()).relativeFilePath(recorder->path());
        QVERIFY2(QRegularExpression(u"^takes/test-welcome-[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}"
                                    u"\\.wav$"_s)
                     .match(file)
                     .hasMatch(),
            qPrintable(file));
        speak(rig, *uut, recorder, 2.5, -12);
        uut->toggleRecord();

        const QString first = file.mid(19, 36);
        Session disk = onDisk(*uut);
        QCOMPARE(disk, *uut->session());
        const Take filed {first, file, 2.5, rig.clock};
        QVERIFY2(disk.takes.value(u"test-welcome"_s) == QList<Take> {filed},
            "the take is in session.json, with its file, length and time");
        QCOMPARE(disk.selected.value(u"test-welcome"_s), first);
        QCOMPARE(uut->message(), plainSaved);
        QCOMPARE(uut->elapsed(), 2.5);
        QVERIFY(!uut->recording());

        // A new take becomes the choice even over one the person picked; the old stay in order.
        const QString second = recordTake(rig, *uut);
        uut->selectTake(first);
        const QString third = recordTake(rig, *uut);
        disk = onDisk(*uut);
        QCOMPARE(disk.selected.value(u"test-welcome"_s), third);
        QStringList ids;
        for (const Take &take : disk.takes.value(u"test-welcome"_s))
            ids.append(take.id);
        QCOMPARE(ids, (QStringList {first, second, third}));
    }

    void asksForTheMicrophoneOnEachRecord()
    {
        Rig rig;
        rig.input.setPermission(FakeAudioInput::Permission::Held);
        auto uut = rig.launch();
        uut->toggleRecord();
        QVERIFY2(rig.input.permissionRequests() == 0, "nothing to record without a session");

        uut->startRecordingTest();
        uut->toggleRecord();
        uut->toggleRecord();
        QVERIFY2(rig.input.permissionRequests() == 1, "one question at a time");
        QVERIFY(uut->busy());
        rig.input.releasePermission(false);
        settle();
        QCOMPARE(uut->errorText(),
            u"Microphone access is off. Open System Settings → Privacy & Security → Microphone and "
            u"enable Quorbel, then try again."_s);
        QVERIFY(!uut->busy());
        QVERIFY(rig.input.recorderPaths().isEmpty());

        uut->toggleRecord();
        rig.input.releasePermission(true);
        settle();
        QCOMPARE(rig.input.permissionRequests(), 2);
        QVERIFY(uut->recording() && !uut->requestingPermission());
    }

    void keepsOnlyTakesLongerThanATenth_data()
    {
        QTest::addColumn<qint64>("frames");
        QTest::addColumn<double>("rate");
        QTest::addColumn<QString>("unreadable");
        QTest::addColumn<QString>("expectedError");

        const QString notWav = u"Could not read “x”: not a WAV file"_s;
        QTest::addRow("exactly 0.1 s") << qint64(1000) << 10000.0 << QString() << noUsableAudio;
        QTest::addRow("0.1001 s") << qint64(1001) << 10000.0 << QString() << QString();
        QTest::addRow("empty") << qint64(0) << 48000.0 << QString() << noUsableAudio;
        QTest::addRow("no length at all") << qint64(0) << 0.0 << QString() << noUsableAudio;
        QTest::addRow("no sample rate") << qint64(480) << 0.0 << QString() << noUsableAudio;
        QTest::addRow("unreadable") << qint64(0) << 0.0 << notWav << notWav;
    }

    void keepsOnlyTakesLongerThanATenth()
    {
        QFETCH(qint64, frames);
        QFETCH(double, rate);
        QFETCH(QString, unreadable);
        QFETCH(QString, expectedError);

        Rig rig;
        auto uut = rig.launchOnTest();
        const QString earlier = recordTake(rig, *uut);
        FakeRecorder *recorder = startTake(rig, *uut);
        QVERIFY(recorder);
        if (unreadable.isEmpty())
            rig.input.setFileInfo(recorder->path(), {frames, rate});
        else
            rig.input.setFileInfoFailure(recorder->path(), unreadable);
        uut->toggleRecord();

        const Session disk = onDisk(*uut);
        QCOMPARE(uut->errorText(), expectedError);
        QCOMPARE(takeCount(disk), expectedError.isEmpty() ? 2 : 1);
        QCOMPARE(disk, *uut->session());
        if (!expectedError.isEmpty())
            QVERIFY2(uut->chosen()->id == earlier, "the previous take is still the choice");
        QVERIFY(!uut->recording());
        QCOMPARE(uut->level(), 0.0f);
    }

    void statusFollowsThePeak_data()
    {
        QTest::addColumn<float>("peak");
        QTest::addColumn<bool>("interrupted");
        QTest::addColumn<QString>("expected");

        const QString quiet = u"Take saved, but the input was very quiet. Check your microphone "
                              u"and listen back."_s;
        const QString loud = u"Take saved. The input may be too loud; listen for distortion."_s;
        const QString cut = u"Recording interrupted; the captured audio was saved. Listen back "
                            u"before continuing."_s;
        QTest::addRow("very quiet") << -60.0f << false << quiet;
        QTest::addRow("too loud") << -0.4f << false << loud;
        QTest::addRow("just not too loud") << -0.5f << false << plainSaved;
        QTest::addRow("just not too quiet") << -55.0f << false << plainSaved;
        QTest::addRow("interrupted, quiet") << -60.0f << true << cut;
        QTest::addRow("interrupted, loud") << -0.4f << true << cut;
        QTest::addRow("interrupted, good") << -12.0f << true << cut;
    }

    void statusFollowsThePeak()
    {
        QFETCH(float, peak);
        QFETCH(bool, interrupted);
        QFETCH(QString, expected);

        Rig rig;
        auto uut = rig.launchOnTest();
        FakeRecorder *recorder = startTake(rig, *uut);
        QVERIFY(recorder);
        speak(rig, *uut, recorder, 1.5, peak);
        if (interrupted)
            recorder->finishLater(true);
        else
            uut->toggleRecord();
        settle();
        QCOMPARE(uut->message(), expected);
        QCOMPARE(takeCount(onDisk(*uut)), 1);
        QCOMPARE(uut->elapsed(), 1.5);
        QVERIFY(!uut->error());
    }

    void eachTakeIsFinishedOnce()
    {
        Rig rig;
        auto uut = rig.launchOnTest();
        QPointer<FakeRecorder> first = startTake(rig, *uut);
        QVERIFY(first);
        speak(rig, *uut, first, 1.5, -12);
        first->finishLater(true);
        uut->toggleRecord();
        settle();
        QCOMPARE(takeCount(onDisk(*uut)), 1);
        QVERIFY2(uut->message() == plainSaved, "the person's stop, not an interruption");

        // However late the first recorder reports, it cannot end the take after it.
        FakeRecorder *second = startTake(rig, *uut);
        QVERIFY(second);
        if (first) {
            first->finishLater(true);
            settle();
        }
        QVERIFY(uut->recording());
        QVERIFY(!uut->error());
    }

    void reportsARecorderThatWillNotStart_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("expected");

        QTest::addRow("record refused") << u"record"_s
                                        << u"The microphone could not start. Check the input "
                                           u"device in Sound settings and try again."_s;
        QTest::addRow("no recorder")
            << u"make"_s << u"Could not open the input “Desk Mic”: Device or resource busy"_s;
        QTest::addRow("no takes folder") << u"folder"_s << QString();
    }

    void reportsARecorderThatWillNotStart()
    {
        QFETCH(QString, fault);
        QFETCH(QString, expected);

        Rig rig;
        auto uut = rig.launchOnTest();
        const QString takes = QDir(uut->folder()).filePath(u"takes"_s);
        if (fault == u"record")
            rig.input.setRecordResult(false);
        else if (fault == u"make")
            rig.input.setRecorderFailure(expected);
        else if (QDir(takes).removeRecursively())
            rig.writeFile(QDir(rig.path(u"."_s)).relativeFilePath(takes), "in the way");

        uut->toggleRecord();
        settle();
        if (expected.isEmpty())
            QVERIFY2(uut->errorText().contains(takes), qPrintable(uut->errorText()));
        else
            QCOMPARE(uut->errorText(), expected);
        QVERIFY(!uut->busy());
        QCOMPARE(uut->message(), ready);
        QCOMPARE(takeCount(onDisk(*uut)), 0);
        // The next Record starts afresh.
        rig.input.setRecordResult(true);
        rig.input.setRecorderFailure(std::nullopt);
        QFile::remove(takes);
        QVERIFY(!recordTake(rig, *uut).isEmpty());
    }

    void recorderTroubleEndsTheTake_data()
    {
        QTest::addColumn<bool>("encoding");
        QTest::addColumn<QString>("description");
        QTest::addColumn<QString>("expected");

        QTest::addRow("encoding fails with a reason")
            << true << u"No space left on device"_s
            << u"The audio device stopped recording. No space left on device"_s;
        QTest::addRow("encoding fails silently")
            << true << QString()
            << u"The audio device stopped recording. Check the microphone connection."_s;
        QTest::addRow("recorder ends with a bad file") << false << QString() << noUsableAudio;
    }

    void recorderTroubleEndsTheTake()
    {
        QFETCH(bool, encoding);
        QFETCH(QString, description);
        QFETCH(QString, expected);

        Rig rig;
        auto uut = rig.launchOnTest();
        FakeRecorder *recorder = startTake(rig, *uut);
        QVERIFY(recorder);
        speak(rig, *uut, recorder, 2, -8);
        if (encoding)
            recorder->failEncodingLater(description);
        else
            recorder->finishLater(false);
        settle();

        QCOMPARE(uut->errorText(), expected);
        QVERIFY(!uut->recording());
        QCOMPARE(uut->level(), 0.0f);
        QCOMPARE(uut->peak(), -8.0f);
        QCOMPARE(takeCount(onDisk(*uut)), 0);
    }

    void metersTheRunningTake()
    {
        Rig rig;
        auto uut = rig.launchOnTest();
        recordTake(rig, *uut, 1.5, -3);
        FakeRecorder *recorder = startTake(rig, *uut);
        QVERIFY(recorder);
        QCOMPARE(uut->peak(), -160.0f);

        struct Reading
        {
            float average, peak, level, held;
        };
        const Reading readings[] {
            {-30, -20, 0.5f, -20},
            {-75, -24, 0, -20},
            {6, -9, 1, -9},
            {-45, -9.5f, 0.25f, -9},
        };
        recorder->setCurrentTime(1.25);
        for (const Reading &r : readings) {
            recorder->queueLevels(r.average, r.peak);
            uut->tick();
            QCOMPARE(uut->level(), r.level);
            QCOMPARE(uut->peak(), r.held);
        }
        QCOMPARE(uut->elapsed(), 1.25);

        rig.input.setFileInfo(recorder->path(), {96000, 48000});
        uut->toggleRecord();
        QCOMPARE(uut->level(), 0.0f);
        QVERIFY2(uut->peak() == -9.0f, "the take's peak stays on show until the next take");
        uut->tick();
        QCOMPARE(uut->elapsed(), 2.0);
    }
};

// --- Listening back and moving around -----------------------------------------------------------

class PlaybackNavigationTest : public QObject
{
    Q_OBJECT

private slots:
    void playsAndStopsTheChosenTake()
    {
        Rig rig;
        auto uut = rig.launchOnTest();
        uut->togglePlayback();
        QVERIFY2(rig.output.playerPaths().isEmpty() && !uut->error(), "nothing to play yet");

        recordTake(rig, *uut, 1.5);
        uut->togglePlayback();
        QVERIFY(uut->playing());
        QCOMPARE(rig.output.playerPaths(),
            QStringList {QDir(uut->folder()).filePath(uut->chosen()->file)});
        QPointer<FakePlayer> first = rig.output.lastPlayer();
        first->setCurrentTime(0.75);
        uut->tick();
        QCOMPARE(uut->elapsed(), 0.75);

        uut->togglePlayback();
        QVERIFY(!uut->playing());
        QCOMPARE(uut->elapsed(), 0.75);

        uut->togglePlayback();
        QVERIFY2(uut->playing() && uut->elapsed() == 0, "played again from the start");
        if (first) {
            first->finishLater(true);
            settle();
            QVERIFY2(uut->playing(), "a stopped player's end does not stop the next one");
        }
        FakePlayer *player = rig.output.lastPlayer();
        player->setCurrentTime(1.5);
        uut->tick();
        player->finishLater(true);
        settle();
        QVERIFY(!uut->playing());
        QCOMPARE(uut->elapsed(), 1.5);
        QVERIFY(!uut->error());
    }

    void reportsPlaybackTrouble_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("detail");
        QTest::addColumn<QString>("expected");

        const QString missing = u"Could not open “takes/a.wav”: No such file or directory"_s;
        QTest::addRow("file missing") << u"open"_s << missing << missing;
        QTest::addRow("output will not start")
            << u"start"_s << QString() << u"Could not play this take. Check your sound output."_s;
        QTest::addRow("decoding fails") << u"decode"_s << u"The data is damaged."_s
                                        << u"This take could not be played. The data is damaged."_s;
        QTest::addRow("decoding fails silently")
            << u"decode"_s << QString() << u"This take could not be played. "_s;
    }

    void reportsPlaybackTrouble()
    {
        QFETCH(QString, fault);
        QFETCH(QString, detail);
        QFETCH(QString, expected);

        Rig rig;
        auto uut = rig.launchOnTest();
        recordTake(rig, *uut);
        if (fault == u"open")
            rig.output.setPlayerFailure(detail);
        if (fault == u"start")
            rig.output.setPlayResult(false);
        uut->togglePlayback();
        if (fault == u"decode") {
            rig.output.lastPlayer()->failDecodingLater(detail);
            settle();
        }
        QCOMPARE(uut->errorText(), expected);
        QVERIFY(!uut->playing());
    }

    void nextMovesThroughTheScript_data()
    {
        QTest::addColumn<int>("lines");
        QTest::addColumn<QList<int>>("recorded");
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("to");
        QTest::addColumn<QString>("message");

        QTest::addRow("to the following line, taken or not")
            << 5 << QList<int> {2} << 1 << 2 << everyTakeSaved;
        QTest::addRow("from the last line to the first without a take")
            << 5 << QList<int> {0, 2, 4} << 4 << 1 << everyTakeSaved;
        QTest::addRow("from the last line to itself, the only one without a take")
            << 5 << QList<int> {0, 1, 2, 3} << 4 << 4 << everyTakeSaved;
        QTest::addRow("nowhere once every line has a take")
            << 5 << QList<int> {0, 1, 2, 3, 4} << 4 << 4 << allRecordedText;
        QTest::addRow("one line without a take") << 1 << QList<int> {} << 0 << 0 << everyTakeSaved;
        QTest::addRow("one line with a take") << 1 << QList<int> {0} << 0 << 0 << allRecordedText;
    }

    void nextMovesThroughTheScript()
    {
        QFETCH(int, lines);
        QFETCH(QList<int>, recorded);
        QFETCH(int, from);
        QFETCH(int, to);
        QFETCH(QString, message);

        Rig rig;
        auto uut = rig.launch();
        importLines(rig, *uut, lines);
        for (int line : recorded) {
            uut->select(lineId(line));
            QVERIFY(!recordTake(rig, *uut).isEmpty());
        }
        uut->select(lineId(from));
        const bool heard = uut->chosen();
        if (heard) {
            uut->togglePlayback();
            rig.output.lastPlayer()->setCurrentTime(0.5);
            uut->tick();
        }

        uut->next();
        QCOMPARE(uut->current()->id, lineId(to));
        QCOMPARE(onDisk(*uut).index, to);
        QCOMPARE(uut->message(), message);
        const bool moved = message == everyTakeSaved;
        QVERIFY2(uut->playing() == (heard && !moved), "only a move stops the sound");
        QCOMPARE(uut->elapsed(), heard && !moved ? 0.5 : 0.0);
    }

    void previousAndSelectMoveBetweenLines()
    {
        Rig rig;
        auto uut = rig.launch();
        importLines(rig, *uut, 3);
        uut->previous();
        QCOMPARE(uut->session()->index, 0);
        QVERIFY2(uut->message() == ready, "previous on the first line says nothing");

        uut->select(lineId(2));
        QCOMPARE(onDisk(*uut).index, 2);
        uut->previous();
        QCOMPARE(onDisk(*uut).index, 1);
        uut->select(lineId(2).toUpper());
        uut->select(u"no-such-line"_s);
        QCOMPARE(uut->session()->index, 1);
        QCOMPARE(uut->message(), everyTakeSaved);
    }

    void selectTakeChoosesForExport()
    {
        Rig rig;
        auto uut = rig.launchOnTest();
        const QString first = recordTake(rig, *uut, 1.0);
        recordTake(rig, *uut, 2.0);
        recordTake(rig, *uut, 3.0);
        uut->togglePlayback();

        uut->selectTake(first);
        QCOMPARE(uut->chosen()->id, first);
        QCOMPARE(uut->elapsed(), 1.0);
        QCOMPARE(onDisk(*uut).selected.value(u"test-welcome"_s), first);
        QCOMPARE(uut->message(), u"This take will be included in the export."_s);
        QVERIFY(!uut->playing());
    }
};

// --- Deleting takes and starting over -----------------------------------------------------------

class RemovalTest : public QObject
{
    Q_OBJECT

private slots:
    void removalAsksFirst_data()
    {
        QTest::addColumn<bool>("startOver");
        QTest::addColumn<int>("takes");
        QTest::addColumn<bool>("confirmed");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("left");
        QTest::addColumn<double>("elapsed");

        const QString some = u"Take deleted. The remaining selected take will be exported."_s;
        const QString none = u"Take deleted. This line is ready to record again."_s;
        const QString fresh = u"Ready to start over. Record your first line."_s;
        QTest::addRow("the second of three takes")
            << false << 3 << true << u"Delete take 2?"_s << some << 2 << 3.0;
        QTest::addRow("the only take")
            << false << 1 << true << u"Delete take 1?"_s << none << 0 << 0.0;
        QTest::addRow("a take, cancelled")
            << false << 3 << false << u"Delete take 2?"_s << QString() << 3 << 0.0;
        const QString again = u"Start this script over?"_s;
        QTest::addRow("five takes over") << true << 5 << true << again << fresh << 0 << 0.0;
        QTest::addRow("one take over") << true << 1 << true << again << fresh << 0 << 0.0;
        QTest::addRow("over, cancelled") << true << 5 << false << again << QString() << 5 << 0.0;
    }

    void removalAsksFirst()
    {
        QFETCH(bool, startOver);
        QFETCH(int, takes);
        QFETCH(bool, confirmed);
        QFETCH(QString, title);
        QFETCH(QString, message);
        QFETCH(int, left);
        QFETCH(double, elapsed);

        Rig rig;
        rig.input.setRecordersCreateFiles(true);
        auto uut = rig.launchOnTest();
        QStringList ids;
        for (int i = 1; i <= takes; ++i)
            ids.append(recordTake(rig, *uut, i));
        if (takes > 1)
            uut->selectTake(ids.at(1));
        const QString file = QDir(uut->folder()).filePath(uut->chosen()->file);
        uut->togglePlayback();
        if (startOver)
            uut->next();
        uut->setSearch(u"o"_s);
        uut->setMissingOnly(true);
        const Session before = *uut->session();

        rig.desktop.answerConfirm(confirmed);
        startOver ? uut->confirmStartOver() : uut->confirmDeleteTake();
        const Platform::Alert alert = rig.desktop.alerts().value(0);
        QCOMPARE(alert.title, title);
        QCOMPARE(alert.detail,
            startOver ? u"This removes all %1 takes from “Recording test” and returns to the first "
                        u"line. The script is kept. Audio moves to the Trash; other sessions and "
                        u"exports are kept."_s.arg(takes)
                      : u"This removes the selected take for “test-welcome” and moves its audio "
                        u"to the Trash. Other takes and exported recordings are kept."_s);
        QCOMPARE(alert.action, startOver ? u"Start over"_s : u"Delete take"_s);
        QVERIFY2(!uut->playing(), "the sound stops before the question, whatever the answer");
        QCOMPARE(takeCount(onDisk(*uut)), left);
        QCOMPARE(onDisk(*uut), *uut->session());
        if (!confirmed) {
            QVERIFY2(*uut->session() == before && uut->search() == u"o"_s, "nothing changes");
            QVERIFY(rig.desktop.trashRequests().isEmpty());
            return;
        }
        QCOMPARE(uut->message(), message);
        QCOMPARE(uut->elapsed(), elapsed);
        QCOMPARE(uut->session()->index, 0);
        QCOMPARE(uut->search().isEmpty(), startOver);
        QCOMPARE(rig.desktop.trashed(),
            QStringList {startOver ? QDir(uut->folder()).filePath(u"takes"_s) : file});
        if (!startOver && takes == 3)
            QVERIFY2(uut->chosen()->id == ids.at(2), "the line falls back to its newest take");
        QCOMPARE(QDir(uut->folder() + u"/Session Backups"_s)
                     .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
                     .size(),
            1);
    }

    void failedRemovalShowsWhatIsOnDisk_data()
    {
        QTest::addColumn<bool>("startOver");
        QTest::addColumn<QString>("disk");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<int>("shown");

        const QString trash = u"Could not move"_s;
        const QString lost = u"The audio could not be moved and progress could not be restored."_s;
        QTest::addRow("trash refuses a take") << false << u"fine"_s << trash << 1;
        QTest::addRow("trash refuses the takes") << true << u"fine"_s << trash << 1;
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
        rig.input.setRecordersCreateFiles(true);
        auto uut = rig.launchOnTest();
        recordTake(rig, *uut);
        const QString document = SessionDisk::documentPath(uut->folder());
        rlimit limit {};
        getrlimit(RLIMIT_FSIZE, &limit);
        const rlimit unlimited = limit;
        const auto ignored = std::signal(SIGXFSZ, SIG_IGN);
        rig.trapped.beforeTrash = [&] {
            // No file may grow past a few bytes, so the old session.json cannot be written
            // back while the new one stays readable.
            if (disk == u"full") {
                limit.rlim_cur = 16;
                setrlimit(RLIMIT_FSIZE, &limit);
            }
            // A folder where session.json goes: neither written back nor read.
            if (disk == u"blocked" && QFile::remove(document))
                QDir().mkpath(document + u"/in-the-way"_s);
        };
        rig.desktop.failTrash(u"The volume is read-only."_s);

        rig.desktop.answerConfirm(true);
        startOver ? uut->confirmStartOver() : uut->confirmDeleteTake();
        setrlimit(RLIMIT_FSIZE, &unlimited);
        std::signal(SIGXFSZ, ignored);
        QVERIFY2(
            uut->errorText().startsWith(couldNotComplete + reason), qPrintable(uut->errorText()));
        QCOMPARE(takeCount(*uut->session()), shown);
        QCOMPARE(uut->message(), plainSaved);
        if (disk == u"blocked")
            QDir(document).removeRecursively();
        else
            QCOMPARE(onDisk(*uut), *uut->session());
    }
};

// --- Export, reveal, settings and quit ----------------------------------------------------------

class ExportQuitTest : public QObject
{
    Q_OBJECT

private:
    /// Five lines, the first, third and fifth recorded.
    static std::unique_ptr<RecorderModel> threeOfFive(Rig &rig)
    {
        rig.input.setRecordersCreateFiles(true);
        auto uut = rig.launch();
        importLines(rig, *uut, 5);
        for (int line : {0, 2, 4}) {
            uut->select(lineId(line));
            recordTake(rig, *uut);
        }
        QDir().mkpath(rig.path(u"exports"_s));
        return uut;
    }

private slots:
    void exportMakesANewFolderEachTime()
    {
        Rig rig;
        auto uut = threeOfFive(rig);
        const QDir exports(rig.path(u"exports"_s));
        rig.desktop.answerFolder(exports.path());
        rig.desktop.answerFolder(exports.path());
        uut->exportRecordings();
        QCOMPARE(uut->message(), u"Exported 3 of 5 lines."_s);
        uut->exportRecordings();

        const Platform::FolderPanel panel = rig.desktop.folderPanels().value(0);
        QCOMPARE(panel.title, u"Export recordings"_s);
        QCOMPARE(panel.message,
            u"Choose where to save a new export folder. Includes one selected WAV per recorded "
            u"line (3/5)."_s);
        QVERIFY(panel.canCreateFolders);
        const QStringList made = exports.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        QCOMPARE(made.size(), 2);
        for (const QString &name : made)
            QVERIFY2(QRegularExpression(u"^Quorbel-Export-[0-9A-F]{8}$"_s).match(name).hasMatch(),
                qPrintable(name));
        QCOMPARE(rig.desktop.shownFolders(),
            (QStringList {exports.filePath(made.at(0)), exports.filePath(made.at(1))}));
        QVERIFY(QFile::exists(exports.filePath(made.at(0) + u"/line-003.wav"_s)));
        QVERIFY(!uut->error());
    }

    void exportCancelledOrFailedShowsNothing()
    {
        Rig rig;
        auto uut = threeOfFive(rig);
        const QString message = uut->message();
        rig.desktop.answerFolder(std::nullopt);
        uut->exportRecordings();
        QCOMPARE(uut->message(), message);
        QVERIFY(QDir(rig.path(u"exports"_s)).isEmpty());
        QVERIFY(!uut->error());

        QVERIFY(QFile::remove(QDir(uut->folder()).filePath(uut->chosen()->file)));
        rig.desktop.answerFolder(rig.path(u"exports"_s));
        uut->exportRecordings();
        QVERIFY2(uut->errorText().startsWith(u"Export incomplete: Could not"_s),
            qPrintable(uut->errorText()));
        QVERIFY2(rig.desktop.shownFolders().isEmpty(), "an incomplete export is not shown");
    }

    void revealAndSettingsOpenTheirPlaces()
    {
        Rig rig;
        auto uut = rig.launch();
        uut->reveal();
        QVERIFY(rig.desktop.shownFolders().isEmpty());
        uut->startRecordingTest();
        uut->reveal();
        QCOMPARE(rig.desktop.shownFolders(), QStringList {uut->folder()});
        uut->soundSettings();
        QCOMPARE(rig.desktop.soundSettingsOpened(), 1);
        uut->microphoneSettings();
        QCOMPARE(rig.desktop.microphoneSettingsOpened(), 1);
    }

    void quitLeavesTheSessionSafe_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<bool>("mayQuit");
        QTest::addColumn<int>("takesOnDisk");

        QTest::addRow("idle") << u"idle"_s << true << 1;
        QTest::addRow("during a take") << u"recording"_s << true << 2;
        QTest::addRow("while asking for the microphone") << u"asking"_s << false << 1;
        QTest::addRow("when saving fails") << u"unsaved"_s << false << 1;
    }

    void quitLeavesTheSessionSafe()
    {
        QFETCH(QString, situation);
        QFETCH(bool, mayQuit);
        QFETCH(int, takesOnDisk);

        Rig rig;
        auto uut = rig.launchOnTest();
        recordTake(rig, *uut);
        std::optional<BlockedSave> blocked;
        if (situation == u"recording") {
            FakeRecorder *recorder = startTake(rig, *uut);
            QVERIFY(recorder);
            speak(rig, *uut, recorder, 2, -12);
        } else if (situation == u"asking") {
            rig.input.setPermission(FakeAudioInput::Permission::Held);
            uut->toggleRecord();
        } else if (situation == u"unsaved") {
            blocked.emplace(uut->folder());
        }

        QCOMPARE(uut->prepareToQuit(), mayQuit);
        QVERIFY(!uut->recording());
        QCOMPARE(uut->requestingPermission(), situation == u"asking");
        QCOMPARE(uut->errorText().startsWith(notSaved), situation == u"unsaved");
        if (blocked)
            blocked->release();
        QCOMPARE(takeCount(onDisk(*uut)), takesOnDisk);
    }
};

// --- Busy and failed saves ----------------------------------------------------------------------

class SafetyTest : public QObject
{
    Q_OBJECT

private slots:
    void busyIgnoresCommands_data()
    {
        QTest::addColumn<bool>("asking");
        QTest::addColumn<Command>("command");

        const QList<std::pair<const char *, Command>> commands {
            {"import", [](Rig &, RecorderModel &m) { m.importScript(); }},
            {"open session", [](Rig &, RecorderModel &m) { m.openSession(); }},
            {"recording test", [](Rig &, RecorderModel &m) { m.startRecordingTest(); }},
            {"select", [](Rig &, RecorderModel &m) { m.select(u"test-welcome"_s); }},
            {"next", [](Rig &, RecorderModel &m) { m.next(); }},
            {"previous", [](Rig &, RecorderModel &m) { m.previous(); }},
            {"select take", [](Rig &, RecorderModel &m) { m.selectTake(u"another"_s); }},
            {"delete take", [](Rig &, RecorderModel &m) { m.confirmDeleteTake(); }},
            {"start over", [](Rig &, RecorderModel &m) { m.confirmStartOver(); }},
            {"export", [](Rig &, RecorderModel &m) { m.exportRecordings(); }},
            {"play", [](Rig &, RecorderModel &m) { m.togglePlayback(); }},
        };
        for (bool asking : {false, true}) {
            for (const auto &[name, command] : commands)
                QTest::addRow("%s while %s", name, asking ? "asking" : "recording")
                    << asking << command;
        }
    }

    void busyIgnoresCommands()
    {
        QFETCH(bool, asking);
        QFETCH(Command, command);

        Rig rig;
        auto uut = rig.launchOnTest();
        recordTake(rig, *uut);
        uut->next();
        recordTake(rig, *uut);
        if (asking) {
            rig.input.setPermission(FakeAudioInput::Permission::Held);
            uut->toggleRecord();
        } else {
            QVERIFY(startTake(rig, *uut));
        }
        const Session before = *uut->session();
        const QString folder = uut->folder();
        const QString message = uut->message();

        command(rig, *uut);
        QVERIFY(uut->busy());
        QCOMPARE(*uut->session(), before);
        QCOMPARE(onDisk(*uut), before);
        QCOMPARE(uut->folder(), folder);
        QCOMPARE(uut->message(), message);
        QVERIFY2(rig.desktop.filePanels().isEmpty() && rig.desktop.folderPanels().isEmpty()
                && rig.desktop.alerts().isEmpty(),
            "nothing is shown");
        QVERIFY(rig.output.playerPaths().isEmpty());
        QVERIFY(!uut->error());
    }

    void failedSaveStopsTheCommand_data()
    {
        QTest::addColumn<Command>("command");

        QTest::addRow("record") << Command([](Rig &, RecorderModel &m) {
            m.toggleRecord();
            settle();
        });
        QTest::addRow("recording test")
            << Command([](Rig &, RecorderModel &m) { m.startRecordingTest(); });
        QTest::addRow("import") << Command(
            [](Rig &rig, RecorderModel &m) { importLines(rig, m, 2); });
        QTest::addRow("open session") << Command([](Rig &, RecorderModel &m) { m.openSession(); });
        QTest::addRow("delete take") << Command([](Rig &rig, RecorderModel &m) {
            rig.desktop.answerConfirm(true);
            m.confirmDeleteTake();
        });
        QTest::addRow("start over") << Command([](Rig &rig, RecorderModel &m) {
            rig.desktop.answerConfirm(true);
            m.confirmStartOver();
        });
        QTest::addRow("export") << Command([](Rig &, RecorderModel &m) { m.exportRecordings(); });
    }

    void failedSaveStopsTheCommand()
    {
        QFETCH(Command, command);

        Rig rig;
        rig.input.setRecordersCreateFiles(true);
        auto uut = rig.launchOnTest();
        recordTake(rig, *uut);
        const Session before = *uut->session();
        const QString folder = uut->folder();
        BlockedSave blocked(folder);

        command(rig, *uut);
        QVERIFY2(uut->errorText().startsWith(notSaved) && uut->errorText() != notSaved,
            qPrintable(uut->errorText()));
        QCOMPARE(*uut->session(), before);
        QCOMPARE(uut->folder(), folder);
        QVERIFY(!uut->busy());
        QCOMPARE(rig.input.recorderPaths().size(), 1);
        QVERIFY(rig.desktop.folderPanels().isEmpty());
        QVERIFY(rig.desktop.trashRequests().isEmpty());
        QCOMPARE(QDir(rig.dataDir()).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 1);
        blocked.release();
        QCOMPARE(onDisk(*uut), before);
    }

    void nextCommandSavesAnEarlierChange()
    {
        Rig rig;
        auto uut = rig.launchOnTest();
        BlockedSave blocked(uut->folder());
        uut->select(u"test-ending"_s);
        QVERIFY2(uut->errorText().startsWith(notSaved), qPrintable(uut->errorText()));
        QCOMPARE(uut->current()->id, u"test-ending"_s);
        blocked.release();
        QCOMPARE(onDisk(*uut).index, 0);

        rig.desktop.answerFolder(std::nullopt);
        uut->openSession();
        QCOMPARE(onDisk(*uut).index, 1);
    }

    void aTakeThatCannotBeSavedIsKept()
    {
        Rig rig;
        auto uut = rig.launchOnTest();
        FakeRecorder *recorder = startTake(rig, *uut);
        QVERIFY(recorder);
        recorder->setCurrentTime(0.5);
        speak(rig, *uut, recorder, 2, -12);
        BlockedSave blocked(uut->folder());
        uut->toggleRecord();

        QVERIFY2(uut->errorText().startsWith(notSaved), qPrintable(uut->errorText()));
        QVERIFY2(uut->chosen(), "the take is kept in memory");
        QCOMPARE(uut->message(), recordingNow);
        QCOMPARE(uut->elapsed(), 0.5);
        QVERIFY(!uut->prepareToQuit());
        blocked.release();
        QVERIFY(uut->prepareToQuit());
        QCOMPARE(onDisk(*uut), *uut->session());
        QCOMPARE(takeCount(onDisk(*uut)), 1);
    }
};

QUORBEL_TEST_MAIN(StartUpTest, RecordingTest, PlaybackNavigationTest, RemovalTest, ExportQuitTest,
    SafetyTest, RealRecordingTest)

#include "tst_recorder.moc"
