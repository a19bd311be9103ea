#include "apperror.h"
#include "savefaults.h"
#include "sessiondisk.h"
#include "testfiles.h"
#include "testmain.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <functional>

namespace {

QDateTime utc(qint64 msecs)
{
    return QDateTime::fromMSecsSinceEpoch(msecs, Qt::UTC);
}

/// The golden session, which exercises every part of the format: notes present, empty and
/// absent, text that needs escaping, keys whose UTF-16 order differs from their code point
/// order, takes under a key that is no line, an empty take list, and a line with two takes that
/// chooses the older.
Session golden()
{
    return SessionDisk::decode(readFile(u"" QUORBEL_TEST_DATA "/session.json"_s), {});
}

// A small valid session.json, with members the program does not know and must pass over.
constexpr char scriptMember[] = R"("script":{"title":"T","lines":[{"id":"a","text":"x"}]},)";
constexpr char takesMember[] = R"("takes":{"a":[{"created":"2026-12-06T11:05:09Z",)"
                               R"("duration":1.5,"file":"takes\/a.wav","id":"t","mood":1}]},)";
const QByteArray minimalDocument = QByteArray(R"({"index":0,)") + scriptMember + R"("selected":{},)"
    + takesMember + R"("version":1,"colour":[1]})";

/// A session folder holding the golden session, the audio of its intro takes ("RIFF " and the
/// start of the take's id) and, for zz-unknown's take, a link that leads nowhere.
QString makeFolder(const QTemporaryDir &dir)
{
    const Session session = golden();
    const QString folder = SessionDisk::create(session.script, dir.path()).folder;
    for (const Take &take : session.takes["intro"])
        writeFile(SessionDisk::takePath(folder, take.file), "RIFF " + take.id.left(4).toLatin1());
    QFile::link(folder + u"/takes/gone.wav"_s, folder + u"/takes/zz-unknown-x.wav"_s);
    SessionDisk::save(session, folder);
    return folder;
}

/// "b: intro:0B1E,5D0A intro=0B1E zz-unknown:x": each key's takes and selection, ids by their
/// start.
QString takesAndSelections(const Session &session)
{
    QStringList parts;
    for (const QString key : {"b", "intro", "zz-unknown"}) {
        QStringList ids;
        for (const Take &take : session.takes.value(key))
            ids.append(take.id.left(4));
        if (session.takes.contains(key))
            parts.append(key + u':' + ids.join(u','));
        if (session.selected.contains(key))
            parts.append(key + u'=' + session.selected.value(key).left(4));
    }
    return parts.join(u' ');
}

} // namespace

class SessionJsonTest : public QObject
{
    Q_OBJECT

private slots:
    void encodesTheGoldenDocument()
    {
        QCOMPARE(SessionDisk::encode(golden()), readFile(u"" QUORBEL_TEST_DATA "/session.json"_s));
    }

    void encodingFollowsEveryChange()
    {
        // One writer encodes every state, as the controller's does after each change, reusing
        // the pieces it encoded for records that have not changed since: every kind of change,
        // in place or by replacement, must still reach the document, and so must a change after
        // an encoding that failed halfway, with the reason. Each document must read back whole.
        Session uut = golden();
        const QString intro = u"intro"_s;
        const QList<std::tuple<const char *, std::function<void(Session &)>, QString>> changes {
            {"a take changed in place", [&](Session &s) { s.takes[intro][0].duration = 2; }, {}},
            {"a prompt edited in place", [](Session &s) { s.script.lines[1].text = "New"; }, {}},
            {"the title changed", [](Session &s) { s.script.title = "Other"; }, {}},
            {"an endless take", [&](Session &s) { s.takes[intro][0].duration = qInf(); },
                "a take’s duration is not a finite number."},
            {"a take without a time", [&](Session &s) { s.takes[intro][0].created = {}; },
                "a take’s recording time is missing or outside the years 0000–9999."},
            {"a take id that is not Unicode",
                [&](Session &s) {
                    s.takes[intro] = {{QChar(0xD800), "takes/t.wav", 1, utc(0)}};
                },
                "a take holds text that is not valid Unicode."},
            {"then no takes at all", [&](Session &s) { s.takes[intro] = {}; }, {}},
            {"a note that is not Unicode",
                [](Session &s) { s.script.lines[0].note = QString(QChar(0xDC00)); },
                "the script holds text that is not valid Unicode."},
            {"the script replaced", [](Session &s) { s.script = Script::recordingTest(); }, {}},
        };
        SessionDisk::SessionWriter writer;
        for (const auto &[what, change, error] : changes) {
            change(uut);
            QByteArray encoded;
            QCOMPARE(errorOf([&] {
                writer.encode(uut, [&encoded](QByteArrayView piece) { encoded.append(piece); });
            }),
                error.isEmpty() ? error : u"The session could not be encoded: "_s + error);
            if (error.isEmpty()) {
                QVERIFY2(encoded == SessionDisk::encode(uut), what);
                QVERIFY2(SessionDisk::encode(SessionDisk::decode(encoded, {})) == encoded, what);
            }
        }
    }

    // What the reader itself refuses is tested with the model; here, what the store asks of it.
    void load_data()
    {
        QTest::addColumn<QByteArray>("document"); // or "<none>", "<huge>"
        QTest::addColumn<QString>("error"); // empty: loads; else in the message

        QTest::addRow("minimal") << minimalDocument << QString();
        // A member taken for granted, given a default instead, fails only its own row.
        const QList<std::pair<QString, QByteArray>> members {{"index", R"("index":0,)"},
            {"script", scriptMember}, {"selected", R"("selected":{},)"}, {"takes", takesMember},
            {"version", R"("version":1,)"},
            {"takes.a[0].created", R"("created":"2026-12-06T11:05:09Z",)"},
            {"takes.a[0].duration", R"("duration":1.5,)"},
            {"takes.a[0].file", R"("file":"takes\/a.wav",)"}, {"takes.a[0].id", R"("id":"t",)"}};
        for (const auto &[path, member] : members) {
            QTest::addRow("without %s", qPrintable(path))
                << QByteArray(minimalDocument).replace(member, "")
                << u"session.json: \"%1\""_s.arg(path);
        }
        // The texts of the script, title and id included, at the import's limit and past it.
        const auto texts = [](qsizetype bytes) {
            return QByteArray(minimalDocument)
                .replace("\"text\":\"x\"", "\"text\":\"" + QByteArray(bytes - 2, 'x') + '"');
        };
        QTest::addRow("a script of 10,000,000 bytes") << texts(10'000'000) << QString();
        QTest::addRow("a script of 10,000,001 bytes")
            << texts(10'000'001) << "The session's script is too large to open.";
        // A well-formed name in a folder other than takes: only the session's own rules refuse it.
        QTest::addRow("a take outside the takes folder")
            << QByteArray(minimalDocument).replace("takes\\/a.wav", "audio\\/a.wav")
            << "The session contains an invalid recording reference.";
        QTest::addRow("none") << QByteArray("<none>")
                              << "“<name>” is not a recording session: it has no session.json. "
                                 "Choose one of the session folders.";
        QTest::addRow("a file over 1 GiB, refused before it is read")
            << QByteArray("<huge>") << "session.json”: File too large";
    }

    void load()
    {
        QFETCH(QByteArray, document);
        QFETCH(QString, error);
        QTemporaryDir dir;
        const QString path = SessionDisk::documentPath(dir.path());
        if (document == "<huge>") // sparse: it takes no room on the disk
            QVERIFY(QFile::resize(writeFile(path, minimalDocument), (qint64(1) << 30) + 1));
        else if (document != "<none>")
            writeFile(path, document);
        Session session;
        const QString message = errorOf([&] { session = SessionDisk::load(dir.path()); });
        // What the document holds is read as the golden document shows; here, that it loads.
        QVERIFY2(error.isEmpty()
                ? message.isEmpty() && session == SessionDisk::decode(document, {})
                : message.contains(error.replace("<name>", QFileInfo(dir.path()).fileName())),
            qPrintable(u"the load said “%1”"_s.arg(message)));
    }
};

/// Saves broken in every call they make: whatever happens, session.json must hold the old or the
/// new document, a failure must be reported, and no temporary file may stay behind.
class SaveFaultTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    int m_cases = 0;
    const QByteArray m_old = SessionDisk::encode({1, Script::recordingTest(), 0, {}, {}});
    /// The takes of 3,000 lines: far more than one piece of the writer, so it makes several writes.
    const Session m_big = [] {
        Session big {1, {"Big", {{"a", "x", {}}}}, 0, {}, {}};
        for (int i = 0; i < 3000; ++i)
            big.takes[QString::number(i)]
                = {{"t", "takes/" + QString(200, u'x') + ".wav", 1, utc(0)}};
        return big;
    }();
    const QByteArray m_new = SessionDisk::encode(m_big);
    QStringList m_calls; ///< the calls of a save without faults

    /// Saves the big session over the old one in a new folder, with call `broken` broken by
    /// `fault`: the folder and what the save reported.
    std::pair<QString, QString> save(qsizetype broken = -1, const QString &fault = {})
    {
        const QString folder = m_dir.filePath(QString::number(++m_cases));
        QDir().mkdir(folder);
        writeFile(SessionDisk::documentPath(folder), m_old);
        Watch::start(broken, fault);
        const QString error = errorOf([&] { SessionDisk::save(m_big, folder); });
        Watch::on = false;
        return {folder, error};
    }

private slots:
    void initTestCase()
    {
        save(); // once before, so what the process does only once is not counted
        const auto [folder, error] = save();
        QVERIFY2(error.isEmpty() && readFile(SessionDisk::documentPath(folder)) == m_new
                && entries(folder) == QStringList {"session.json"},
            "a save without faults leaves the new document and nothing else");
        m_calls = Watch::calls;
    }

    // Injected faults cannot catch a missing flush: the save still succeeds, and only a power
    // cut would lose the document. So the order of the calls is checked itself: session.json is
    // never written in place, the temporary file is flushed before the rename, the folder after.
    void flushesAroundTheRename()
    {
        QVERIFY2(
            QRegularExpression(u"^(write temporary, )+fsync temporary, renameat, fsync folder$"_s)
                .match(m_calls.join(u", "))
                .hasMatch(),
            qPrintable(m_calls.join(u", ")));
    }

    void survivesAFaultInEveryCall_data()
    {
        QTest::addColumn<int>("call");
        QTest::addColumn<QString>("fault");
        for (int i = 0; i < m_calls.size(); ++i) {
            QStringList faults {"EIO", "kill"};
            if (m_calls[i].startsWith(u"write")) // the disk took part of it, or nothing at all
                faults << "half"
                       << "nothing";
            if (!m_calls[i].startsWith(u"rename")) // a signal arrived: the call is repeated
                faults << "EINTR";
            for (const QString &fault : faults)
                QTest::addRow("call %d, %s: %s", i, qPrintable(m_calls[i]), qPrintable(fault))
                    << i << fault;
        }
    }

    void survivesAFaultInEveryCall()
    {
        QFETCH(int, call);
        QFETCH(QString, fault);
        const auto [folder, error] = save(call, fault);
        QVERIFY2(Watch::calls.value(call) == m_calls[call], "the row breaks the call it names");
        const bool goesOn = fault == u"EINTR" || fault == u"half";
        const bool renamed = goesOn || call > m_calls.indexOf(u"renameat"_s);
        const QString document = SessionDisk::documentPath(folder);
        QVERIFY2(readFile(document) == (renamed ? m_new : m_old),
            renamed ? "session.json holds the new document" : "session.json keeps the old one");
        QStringList left = entries(folder);
        left.removeOne(u"session.json"_s);
        if (fault == u"kill") {
            QVERIFY2(left.size() <= 1, "a killed save leaves at most its temporary file");
            // What a crash left behind must not stand in the way of the next save.
            SessionDisk::save(m_big, folder);
            QVERIFY2(readFile(document) == m_new, "the next save after a crash succeeds");
            return;
        }
        QVERIFY2(left.isEmpty(), qPrintable("a temporary file stayed: " + left.join(u", ")));
        // Until the folder is flushed a power cut may undo the rename, so a failed flush is
        // reported too; other calls after the rename cannot lose the document.
        const QString reported = u"Could not write “%1”: %2"_s.arg(
            document, fault == u"nothing" ? "No space left on device" : "Input/output error");
        const bool mustReport = !goesOn && (!renamed || m_calls[call].startsWith(u"fsync"));
        QVERIFY2(mustReport ? error == reported : error.isEmpty() || (!goesOn && error == reported),
            qPrintable(u"the save said “%1”"_s.arg(error)));
    }
};

/// Creating a session folder, taking takes away from it and exporting it.
class SessionFolderTest : public QObject
{
    Q_OBJECT

private slots:
    void create()
    {
        // Each run of characters a file name could trip over becomes one "-", cut at 60.
        const Script script {" Ünï__b-!: " + QString(100, u'x'), {{"a", "x", {}}}};
        QTemporaryDir dir;
        const QString under = dir.filePath(u"Sessions/nested"_s);
        Watch::start();
        const auto first = SessionDisk::create(script, under);
        Watch::on = false;
        // Each folder made is flushed in its parent, or a power cut could lose it with all it
        // holds: four here, and the session's once session.json is in it.
        QVERIFY(Watch::calls.count(u"fsync folder"_s) >= 5);
        const auto second = SessionDisk::create(script, under);
        QVERIFY2(first.folder != second.folder, "the random suffix keeps sessions apart");
        QVERIFY2(QRegularExpression(u"^-n-__b--x{52}-[0-9A-F]{8}$"_s)
                     .match(QDir(first.folder).dirName())
                     .hasMatch(),
            qPrintable(first.folder));
        QVERIFY2(entries(first.folder) == (QStringList {"session.json", "takes"})
                && entries(first.folder + u"/takes"_s).isEmpty(),
            "a new session folder holds session.json and an empty takes folder, nothing else");
        QVERIFY(SessionDisk::load(first.folder) == (Session {1, script, 0, {}, {}}));

        const QString never = dir.filePath(u"never"_s);
        QVERIFY(!errorOf([&] { (void)SessionDisk::create(Script {"T", {}}, never); }).isEmpty());
        QVERIFY2(!QFileInfo::exists(never), "a refused script creates nothing");
        writeFile(never, "a file where the sessions folder must be");
        QCOMPARE(errorOf([&] { (void)SessionDisk::create(script, never); }),
            u"Could not create the folder “%1”: File exists"_s.arg(never));
    }

    void removal_data()
    {
        // "KEY N" removes the Nth take under KEY, "start over" every take; then what is
        // different: "twin" and "shared" give intro a third take with the second's id but a file
        // of its own, or with the first's file, and "outside" gives b one whose file leaves the
        // folder, as a session edited by hand could hold them.
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("error"); // empty: succeeds; else the trash fails when called
        QTest::addColumn<QString>("trashed"); // relative to the folder; empty: not called
        QTest::addColumn<QString>("after"); // takesAndSelections of the result

        auto row = [](const char *name, const char *action, const QString &error,
                       const char *trashed, const char *after) {
            QTest::addRow("%s", name) << QString::fromLatin1(action) << error
                                      << QString::fromLatin1(trashed) << QString::fromLatin1(after);
        };
        const QString refused = u"Could not move it to the Trash: refused"_s;
        const char *all = "b: intro:0B1E,5D0A intro=0B1E zz-unknown:x";
        row("a take not chosen", "intro 2", {}, "takes/intro-5D0A7E33.wav",
            "b: intro:0B1E intro=0B1E zz-unknown:x");
        row("the chosen take: back to the newest", "intro 1", {}, "takes/intro-0B1E62A4.wav",
            "b: intro:5D0A zz-unknown:x");
        row("of two takes with one id, the chosen only", "intro 3 twin", {}, "takes/intro-twin.wav",
            all);
        row("a take whose file another take names: no trash", "intro 3 shared", {}, "", all);
        row("audio already gone: no trash", "zz-unknown 1", {}, "",
            "b: intro:0B1E,5D0A intro=0B1E");
        row("a take the session lacks", "b 1", u"That take is no longer available."_s, "", "");
        row("a take whose file leaves the folder", "b 1 outside",
            u"The session contains an invalid recording reference."_s, "", "");
        row("start over", "start over", {}, "takes", "");
        row("trash refuses: old document back", "intro 2", refused, "takes/intro-5D0A7E33.wav", "");
        // The fake trash turns session.json into a folder before it refuses.
        row("restore fails too", "intro 2 breaks restore",
            u"The audio could not be moved and progress could not be restored. A recovery copy of "
            u"session.json is in Session Backups. Could not write “<folder>/session.json”: Is a "
            u"directory"_s,
            "takes/intro-5D0A7E33.wav", "");
    }

    void removal()
    {
        QFETCH(QString, action);
        QFETCH(QString, error);
        QFETCH(QString, trashed);
        QFETCH(QString, after);
        QTemporaryDir dir;
        const QString folder = makeFolder(dir);
        const QString document = SessionDisk::documentPath(folder);
        writeFile(dir.filePath(u"x.wav"_s), "RIFF outside");
        writeFile(folder + u"/takes/intro-twin.wav"_s, "RIFF twin");
        Session uut = golden();
        QList<Take> &intro = uut.takes["intro"];
        if (action.endsWith(u"twin") || action.endsWith(u"shared"))
            intro.append({intro[1].id,
                action.endsWith(u"twin") ? "takes/intro-twin.wav" : intro[0].file, 1, utc(0)});
        if (action.endsWith(u"outside"))
            uut.takes["b"].append({"x", "takes/../../x.wav", 1, utc(0)});
        const QMap<QString, QByteArray> snapshot = folderSnapshot(dir.path());
        const bool breaksRestore = action.endsWith(u"breaks restore");
        QString calls;
        const SessionDisk::TrashFunction trash = [&](const QString &path) {
            calls += QDir(folder).relativeFilePath(path);
            if (breaksRestore && QFile::remove(document))
                QDir(folder).mkpath(u"session.json/blocked"_s);
            if (!error.isEmpty())
                throw SystemError(u"Could not move it to the Trash: refused"_s);
        };
        const QString key = action.section(u' ', 0, 0);
        const qsizetype place = action.section(u' ', 1, 1).toInt() - 1;
        Session result;
        QCOMPARE(errorOf([&] {
            result = key == u"start" ? SessionDisk::startOver(uut, folder, trash)
                                     : SessionDisk::deleteTake(uut.takes.value(key).value(place).id,
                                         place, key, uut, folder, trash);
        }),
            QString(error).replace("<folder>", folder));
        QCOMPARE(calls, trashed);
        if (error.isEmpty()) {
            QCOMPARE(takesAndSelections(result), after);
        } else if (trashed.isEmpty()) {
            QVERIFY2(folderSnapshot(dir.path()) == snapshot,
                "a refused removal writes nothing, in the session folder or beside it");
            return;
        }
        const QStringList backups = entries(folder + u"/Session Backups"_s);
        QVERIFY2(backups.size() == 1 && !QUuid::fromString(backups[0]).isNull(),
            "one recovery copy, in a folder of its own");
        QCOMPARE(readFile(folder + u"/Session Backups/"_s + backups[0] + u"/session.json"_s),
            SessionDisk::encode(uut));
        if (!breaksRestore)
            QCOMPARE(readFile(document), SessionDisk::encode(error.isEmpty() ? result : uut));
    }

    void missingAudio()
    {
        // Both intro takes have their audio; zz-unknown's is a link that leads nowhere.
        QTemporaryDir dir;
        QCOMPARE(SessionDisk::missingAudioCount(golden(), makeFolder(dir)), 1);
    }

    void exportTo_data()
    {
        // Beside the session folder, where "Existing" is; "<folder>/…" inside the session folder.
        QTest::addColumn<QString>("to");
        QTest::addColumn<QString>("error"); // empty: exports; <folder> and <to> as they are
        QTest::addColumn<QStringList>("written"); // what is in `to` afterwards

        const QString link = u"Export incomplete: “%1” is a symbolic link; only files inside the "
                             u"session folder are exported."_s;
        QTest::addRow("the chosen takes")
            << "Export" << QString()
            << QStringList {"README.txt", "intro.wav", "recordings.json", "script.json"};
        // The chosen take's file, and then the takes folder, lead out of the session folder.
        QTest::addRow("a take that is a link") << "Export" << link.arg("takes/intro-0B1E62A4.wav")
                                               << QStringList {"EXPORT-INCOMPLETE.txt"};
        QTest::addRow("a takes folder that is a link")
            << "Export" << link.arg("takes") << QStringList {"EXPORT-INCOMPLETE.txt"};
        QTest::addRow("refuses a folder inside the session folder")
            << "<folder>/takes/Export"
            << "“<to>” is inside the session folder; choose a folder outside it for the export."
            << QStringList();
        QTest::addRow("refuses a folder that exists")
            << "Existing"
            << "Could not create the folder “<to>”: File exists" << QStringList();
    }

    void exportTo()
    {
        QFETCH(QString, to);
        QFETCH(QString, error);
        QFETCH(QStringList, written);
        QTemporaryDir dir;
        const QString folder = makeFolder(dir);
        QVERIFY(QDir(dir.path()).mkdir(u"Existing"_s));
        to = to.startsWith(u"<folder>") ? QString(to).replace("<folder>", folder)
                                        : dir.filePath(to);
        const QString tag = QString::fromLatin1(QTest::currentDataTag());
        // Outside the session folder: a file a take must not reach, and a takes folder beside it.
        const QString chosen = folder + u"/takes/intro-0B1E62A4.wav"_s;
        if (tag == u"a take that is a link")
            QVERIFY(QFile::remove(chosen)
                && QFile::link(writeFile(dir.filePath(u"private"_s), "private"), chosen));
        if (tag == u"a takes folder that is a link") {
            QVERIFY(QDir().rename(folder + u"/takes"_s, dir.filePath(u"elsewhere"_s)));
            QVERIFY(QFile::link(dir.filePath(u"elsewhere"_s), folder + u"/takes"_s));
        }
        error.replace("<to>", to).replace("<folder>", folder);
        int copied = -1;
        QCOMPARE(errorOf([&] { copied = SessionDisk::exportTo(golden(), folder, to); }), error);
        QCOMPARE(entries(to), written);
        if (!error.isEmpty()) {
            if (!written.isEmpty())
                QCOMPARE(readFile(to + u"/EXPORT-INCOMPLETE.txt"_s), error.toUtf8());
            return;
        }
        QCOMPARE(copied, 1);
        QCOMPARE(readFile(to + u"/intro.wav"_s), QByteArray("RIFF 0B1E"));
        QCOMPARE(readFile(to + u"/recordings.json"_s),
            readFile(u"" QUORBEL_TEST_DATA "/recordings.json"_s));
        QCOMPARE(readFile(to + u"/README.txt"_s),
            QByteArray("1 of 3 lines recorded.\n48 kHz, mono PCM WAV.\nMissing: Line_2, b\n"));
        const Json::Document script(readFile(to + u"/script.json"_s), u"script.json"_s);
        QVERIFY2(Json::readScript(script.root()) == golden().script,
            "script.json holds the script, notes too");
        QCOMPARE(SessionDisk::exportFolderName(QUuid("{0b1e62a4-7c1f-4e8b-9d51-3a2f6c0d9e11}")),
            u"Quorbel-Export-0B1E62A4"_s);
    }
};

QUORBEL_TEST_MAIN(SessionJsonTest, SaveFaultTest, SessionFolderTest)
#include "tst_store.moc"
