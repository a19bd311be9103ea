#include "apperror.h"
#include "savefaults.h"
#include "sessiondisk.h"
#include "testfiles.h"
#include "testmain.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <functional>
#include <limits>
#include <sys/stat.h>

using namespace Qt::Literals::StringLiterals;

namespace {

QDateTime utc(qint64 msecs)
{
    return QDateTime::fromMSecsSinceEpoch(msecs, Qt::UTC);
}

QString couldNotCreate(const QString &path, const QString &reason)
{
    return u"Could not create the folder “%1”: %2"_s.arg(path, reason);
}

/// A session that exercises every part of the format: notes present, empty and absent, text
/// that needs escaping, keys whose UTF-16 order differs from their code point order, takes under
/// a key that is no line, an empty take list and times with fractions of a second.
Session goldenSession()
{
    Session session {1,
        {"Chapter 1 / “Intro”",
            {{"intro", "Say \"hello\" / wave.\n\tThen pause.", u"Warmly"_s},
                {"Line_2", "Ünïcödé — 日本語 😀", std::nullopt}, {"b", "  spaced  ", QString()}}},
        1, {}, {}};
    session.takes["intro"] = {{"0B1E62A4-7C1F-4E8B-9D51-3A2F6C0D9E11", "takes/intro-0B1E62A4.wav",
                                  1.5, utc(1796555109750)},
        {"5D0A7E33-1B2C-4D3E-8F40-516273849A0B", "takes/intro-5D0A7E33.wav", 0.30000000000000004,
            utc(1796555170000)}};
    session.takes["zz-unknown"] = {{"x", "takes/zz-unknown-x.wav", 12, utc(0)}};
    session.takes["b"] = {};
    session.selected = {{"intro", "0B1E62A4-7C1F-4E8B-9D51-3A2F6C0D9E11"}, {"a", "missing"},
        {"B", "upper case sorts first"}, {"\U0001F600", "above U+FFFF sorts last"},
        {"\uFFFD", "U+FFFD sorts before it"}};
    return session;
}

/// The same session as a reload gives it back: recording times to the whole second.
Session truncatedToSeconds(Session session)
{
    for (QList<Take> &list : session.takes) {
        for (Take &take : list)
            take.created = utc(take.created.toMSecsSinceEpoch() / 1000 * 1000);
    }
    return session;
}

// A small valid session.json, with members the program does not know and must pass over.
constexpr char scriptMember[] = R"("script":{"title":"T","lines":[{"id":"a","text":"x"}]},)";
constexpr char takesMember[] = R"("takes":{"a":[{"created":"2026-12-06T11:05:09Z",)"
                               R"("duration":1.5,"file":"takes\/a.wav","id":"t","mood":1}]},)";
const QByteArray minimalDocument = QByteArray(R"({"index":0,)") + scriptMember + R"("selected":{},)"
    + takesMember + R"("version":1,"colour":[1]})";

} // namespace

namespace Folders {

Take take(const QString &id)
{
    return {id, u"takes/%1.wav"_s.arg(id), 1.5, utc(1'796'555'109'000)};
}

/// Lines a, b and c; a has two takes with the second selected, b one, c one whose file is gone.
Session recorded()
{
    return {1,
        {"Folders", {{"a", "Alpha / one", u"soft"_s}, {"b", "Beta", {}}, {"c", "Gamma", {}}}}, 2,
        {{"a", {take("a-1"), take("a-2")}}, {"b", {take("b-1")}}, {"c", {take("c-1")}}},
        {{"a", "a-2"}}};
}

/// A session folder holding recorded() and the audio of every take but c-1.
QString makeFolder(const QTemporaryDir &dir)
{
    const QString folder = SessionDisk::create(recorded().script, dir.path()).folder;
    for (const char *id : {"a-1", "a-2", "b-1"})
        writeFile(folder + u"/takes/%1.wav"_s.arg(id), QByteArray("RIFF ") + id);
    SessionDisk::save(recorded(), folder);
    return folder;
}

/// "a:a-1,a-2 a=a-2 b:b-1": each line's takes, and its selection where it has one.
QString takesAndSelections(const Session &session)
{
    QStringList parts;
    for (const QString line : {"a", "b", "c"}) {
        QStringList ids;
        for (const Take &take : session.takes.value(line))
            ids.append(take.id);
        if (session.takes.contains(line))
            parts.append(line + u':' + ids.join(u','));
        if (session.selected.contains(line))
            parts.append(line + u'=' + session.selected.value(line));
    }
    return parts.join(u' ');
}

} // namespace Folders

class SessionJsonTest : public QObject
{
    Q_OBJECT

private slots:
    void encodesTheGoldenDocument()
    {
        const QByteArray encoded = SessionDisk::encode(goldenSession());
        // Left beside the build for a person to compare, or to take as the new golden file.
        if (encoded != readFile(u"" QUORBEL_TEST_DATA "/session.json"_s))
            QFAIL(qPrintable("session.json differs from the golden file; see "
                + writeFile(QDir::current().filePath(u"session.json.actual"_s), encoded)));
    }

    void encodingFollowsEveryChange()
    {
        // One writer encodes every state, as the controller's does after each change, and each
        // state must read back whole: the writer reuses the pieces it encoded for records that
        // have not changed since, so every kind of change, in place or by replacement, must
        // still reach the document, and so must a change after an encoding that failed halfway.
        Session uut = goldenSession();
        const QString intro = u"intro"_s;
        const QList<std::pair<const char *, std::function<void(Session &)>>> changes {
            {"durations that need every digit, recorded in year 1",
                [&](Session &s) {
                    for (double d : {0.1 + 0.2, 1.0 / 3.0, 5e-324, 1.7976931348623157e308,
                             123456789.123456789, 2.2250738585072014e-308, 1e21})
                        s.takes[intro].append({"d", "takes/d.wav", d, utc(-62135596800000)});
                }},
            // Each at every place in a 16-byte block, where a vectorised writer or reader works
            // a block at a time.
            {"every control character in a prompt and a note",
                [](Session &s) {
                    for (char16_t c = 1; c < 0x20; ++c) {
                        QString text(48, u'x');
                        for (int at = 0; at < 48; at += 3)
                            text[at] = QChar(c);
                        s.script.lines.append({u"c%1"_s.arg(int(c)), text, text});
                    }
                }},
            // U+FEFF leads a file as its byte-order mark, but inside a text or a key it is text.
            {"a title, a key and a value that begin with U+FEFF",
                [&](Session &s) {
                    s.script.title.prepend(QChar(0xFEFF));
                    s.takes[u"\uFEFFintro"_s] = {s.takes[intro][0]};
                    s.selected[u"\uFEFFintro"_s] = u"\uFEFF"_s;
                }},
            {"a take added", [&](Session &s) { s.takes[intro].append(s.takes[intro].first()); }},
            {"a take changed in place", [&](Session &s) { s.takes[intro][0].duration = 2; }},
            {"a line's takes emptied", [](Session &s) { s.takes["zz-unknown"].clear(); }},
            {"a line's entry removed", [](Session &s) { s.takes.remove("b"); }},
            {"a prompt edited in place", [](Session &s) { s.script.lines[1].text = "New"; }},
            {"the title changed", [](Session &s) { s.script.title = "Other"; }},
            {"a take that cannot be written",
                [&](Session &s) {
                    s.takes[intro] = {{"t", "takes/t.wav", std::nan(""), utc(0)}};
                }},
            {"then no takes at all", [&](Session &s) { s.takes[intro] = {}; }},
            {"the script replaced", [](Session &s) { s.script = Script::recordingTest(); }},
        };
        SessionDisk::SessionWriter writer;
        for (const auto &[what, change] : changes) {
            change(uut);
            try {
                QByteArray encoded;
                writer.encode(uut, [&encoded](QByteArrayView piece) { encoded.append(piece); });
                QVERIFY2(SessionDisk::decode(encoded, u"session.json"_s) == truncatedToSeconds(uut),
                    what);
            } catch (const SystemError &) {
                QVERIFY2(std::isnan(uut.takes[intro].value(0).duration), what);
            }
        }
    }

    // What the reader itself refuses is tested with the model; here, what the store asks of it.
    void load_data()
    {
        QTest::addColumn<QByteArray>("document"); // or "<none>", "<folder>", "<fifo>", "<huge>"
        QTest::addColumn<QString>("error"); // empty: loads; else in the message, <dir> the folder

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
        const QString notRead = u"Could not read “<dir>/session.json”: "_s;
        QTest::addRow("none") << QByteArray("<none>")
                              << "“<name>” is not a recording session: it has no session.json. "
                                 "Choose one of the session folders.";
        QTest::addRow("a folder") << QByteArray("<folder>") << notRead + "Not a regular file";
        QTest::addRow("a FIFO, read without waiting for a writer")
            << QByteArray("<fifo>") << notRead + "Not a regular file";
        QTest::addRow("a file over 1 GiB, refused before it is read")
            << QByteArray("<huge>") << notRead + "File too large";
    }

    void load()
    {
        QFETCH(QByteArray, document);
        QFETCH(QString, error);
        QTemporaryDir dir;
        const QString path = SessionDisk::documentPath(dir.path());
        if (document == "<folder>")
            QVERIFY(QDir().mkdir(path));
        else if (document == "<fifo>")
            QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
        else if (document == "<huge>") // sparse: it takes no room on the disk
            QVERIFY(QFile::resize(writeFile(path, minimalDocument), (qint64(1) << 30) + 1));
        else if (document != "<none>")
            writeFile(path, document);
        const QMap<QString, QByteArray> before = folderSnapshot(dir.path());
        Session session;
        QString message;
        try {
            session = SessionDisk::load(dir.path());
        } catch (const Error &e) {
            message = e.description();
        }
        QVERIFY2(folderSnapshot(dir.path()) == before, "a load writes nothing");
        Session minimal {1, {"T", {{"a", "x", {}}}}, 0,
            {{"a", {{"t", "takes/a.wav", 1.5, utc(1796555109000)}}}}, {}};
        if (document.size() > 10'000'000)
            minimal.script.lines[0].text = QString(9'999'998, u'x');
        QVERIFY2(error.isEmpty()
                ? message.isEmpty() && session == minimal
                : message.contains(error.replace("<dir>", dir.path())
                                       .replace("<name>", QFileInfo(dir.path()).fileName())),
            qPrintable(u"the load said “%1”"_s.arg(message)));
    }

    void failedSavesKeepTheOldDocument_data()
    {
        QTest::addColumn<QString>("folder"); // beside "kept", which holds a saved session
        QTest::addColumn<Session>("session");
        QTest::addColumn<QString>("error"); // <dir>: the folder holding them all

        QTest::addRow("folder missing")
            << "missing" << goldenSession()
            << couldNotWrite("<dir>/missing/session.json", "No such file or directory");
        QTest::addRow("a folder in the file's place: the rename fails")
            << "blocked" << goldenSession()
            << couldNotWrite("<dir>/blocked/session.json", "Is a directory");
        auto broken = [](auto change) {
            Session session = goldenSession();
            change(session.takes["intro"][0]);
            return session;
        };
        const QString encoding = u"The session could not be encoded: "_s;
        QTest::addRow("infinite duration") << "kept" << broken([](Take &t) {
            t.duration = std::numeric_limits<double>::infinity();
        }) << encoding + "a take’s duration is not a finite number.";
        QTest::addRow("no recording time")
            << "kept" << broken([](Take &t) { t.created = QDateTime(); })
            << encoding + "a take’s recording time is missing or outside the years 0000–9999.";
        QTest::addRow("lone surrogate")
            << "kept" << broken([](Take &t) { t.id = QString(QChar(0xD800)); })
            << encoding + "a take holds text that is not valid Unicode.";
        Session note = goldenSession();
        note.script.lines[0].note = QString(QChar(0xDC00));
        QTest::addRow("lone surrogate in a note")
            << "kept" << note << encoding + "the script holds text that is not valid Unicode.";
    }

    void failedSavesKeepTheOldDocument()
    {
        QFETCH(QString, folder);
        QFETCH(Session, session);
        QFETCH(QString, error);
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath(u"blocked/session.json/inside"_s));
        QVERIFY(QDir(dir.path()).mkdir(u"kept"_s));
        SessionDisk::save(goldenSession(), dir.filePath(u"kept"_s));
        const QMap<QString, QByteArray> before = folderSnapshot(dir.path());
        try {
            SessionDisk::save(session, dir.filePath(folder));
            QFAIL("the save must fail");
        } catch (const SystemError &e) {
            QCOMPARE(e.description(), error.replace("<dir>", dir.path()));
        }
        QVERIFY2(folderSnapshot(dir.path()) == before,
            "a failed save leaves the old document and no temporary file");
    }
};

class SessionFolderTest : public QObject
{
    Q_OBJECT

private slots:
    void folderName_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("stem");

        QTest::addRow("punctuation runs") << "Chapter 1: Intro!"
                                          << "Chapter-1-Intro-";
        QTest::addRow("blanks around") << " Demo "
                                       << "-Demo-";
        QTest::addRow("only other letters") << "Ελληνικά 日本語"
                                            << "-";
        QTest::addRow("underscores and hyphens kept") << "a__b--c"
                                                      << "a__b--c";
        QTest::addRow("a hyphen then a run") << "a-!"
                                             << "a--";
        QTest::addRow("cut at 60") << QString(100, u'x') << QString(60, u'x');
    }

    void folderName()
    {
        QFETCH(QString, title);
        QFETCH(QString, stem);
        QCOMPARE(SessionDisk::folderName(title, u"0123ABCD"), stem + u"-0123ABCD"_s);
    }

    void create()
    {
        QTemporaryDir dir;
        const QString under = dir.filePath(u"Sessions/nested"_s);
        const auto first = SessionDisk::create(Script::recordingTest(), under);
        const auto second = SessionDisk::create(Script::recordingTest(), under);
        QVERIFY2(first.folder != second.folder, "the random suffix keeps sessions apart");
        QVERIFY(QRegularExpression(u"^Recording-test-[0-9A-F]{8}$"_s)
                    .match(QDir(first.folder).dirName())
                    .hasMatch());
        QVERIFY2(entries(first.folder) == (QStringList {"session.json", "takes"})
                && entries(first.folder + u"/takes"_s).isEmpty(),
            "a new session folder holds session.json and an empty takes folder, nothing else");
        QVERIFY(first.session == (Session {1, Script::recordingTest(), 0, {}, {}}));
        QVERIFY(SessionDisk::load(first.folder) == first.session);

        const QString never = dir.filePath(u"never"_s);
        QVERIFY_THROWS_EXCEPTION(AppError, (void)SessionDisk::create(Script {"T", {}}, never));
        QVERIFY2(!QFileInfo::exists(never), "a refused script creates nothing");
        writeFile(never, "a file where the sessions folder must be");
        try {
            (void)SessionDisk::create(Script::recordingTest(), never);
            QFAIL("a file in the way is reported");
        } catch (const SystemError &e) {
            QCOMPARE(e.description(), couldNotCreate(never, u"File exists"_s));
        }
    }

    void removal_data()
    {
        // "delete <line> <take>" or "start over"; an action that names take x adds it to line b,
        // its file beside the session folder, as a session edited by hand could hold it. A take
        // may be named by its place ("#2"); "twin" and "shared" give line b a second take with
        // b-1's id, or with b-1's file.
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("error"); // empty: succeeds; else the trash fails when called
        QTest::addColumn<QString>("trashed"); // relative to the folder; empty: not called
        QTest::addColumn<QString>("after"); // Folders::takesAndSelections of the result

        const QString refused = u"Could not move it to the Trash: refused"_s;
        const QString reference = u"The session contains an invalid recording reference."_s;
        QTest::addRow("a take that is not chosen") << "delete a a-1" << QString() << "takes/a-1.wav"
                                                   << "a:a-2 a=a-2 b:b-1 c:c-1";
        QTest::addRow("the selected take: back to the newest")
            << "delete a a-2" << QString() << "takes/a-2.wav"
            << "a:a-1 b:b-1 c:c-1";
        QTest::addRow("the only take: no empty list")
            << "delete b b-1" << QString() << "takes/b-1.wav"
            << "a:a-1,a-2 a=a-2 c:c-1";
        QTest::addRow("the chosen of two takes with one id, and only it")
            << "delete b #2 twin" << QString() << "takes/b-2.wav"
            << "a:a-1,a-2 a=a-2 b:b-1 c:c-1";
        QTest::addRow("a take whose file another take names: no trash")
            << "delete b #2 shared" << QString() << QString() << "a:a-1,a-2 a=a-2 b:b-1 c:c-1";
        QTest::addRow("audio already gone: no trash")
            << "delete c c-1" << QString() << QString() << "a:a-1,a-2 a=a-2 b:b-1";
        QTest::addRow("a take the session lacks")
            << "delete b a-1" << u"That take is no longer available."_s << QString() << "";
        QTest::addRow("a take whose file leaves the folder")
            << "delete b x" << reference << QString() << "";
        QTest::addRow("start over") << "start over" << QString() << "takes"
                                    << "";
        QTest::addRow("start over with a take whose file leaves the folder")
            << "start over, x" << reference << QString() << "";
        QTest::addRow("start over without a takes folder: no trash")
            << "start over, no takes folder" << QString() << QString() << "";
        QTest::addRow("trash refuses: old document back")
            << "delete a a-1" << refused << "takes/a-1.wav"
            << "";
        QTest::addRow("start over, trash refuses") << "start over" << refused << "takes"
                                                   << "";
        // The fake trash turns session.json into a folder before it refuses.
        QTest::addRow("restore fails too")
            << "delete a a-1"
            << "The audio could not be moved and progress could not be restored. A recovery "
               "copy of session.json is in Session Backups. "
                + couldNotWrite("<folder>/session.json", "Is a directory")
            << "takes/a-1.wav"
            << "";
    }

    void removal()
    {
        QFETCH(QString, action);
        QFETCH(QString, error);
        QFETCH(QString, trashed);
        QFETCH(QString, after);
        QTemporaryDir dir;
        const QString folder = Folders::makeFolder(dir);
        const QString document = SessionDisk::documentPath(folder);
        writeFile(dir.filePath(u"x.wav"_s), "RIFF outside");
        if (action.endsWith(u"no takes folder"))
            QDir(folder + u"/takes"_s).removeRecursively();
        Session uut = Folders::recorded();
        if (action.endsWith(u" x"))
            uut.takes["b"].append({"x", "takes/../../x.wav", 1.0, utc(0)});
        if (action.endsWith(u"twin") || action.endsWith(u"shared")) {
            const bool twin = action.endsWith(u"twin");
            uut.takes["b"].append({"b-1", twin ? "takes/b-2.wav" : "takes/b-1.wav", 1.0, utc(0)});
            writeFile(folder + u"/takes/b-2.wav"_s, "RIFF b-2");
        }
        const QByteArray before = readFile(document);
        const QMap<QString, QByteArray> snapshot = folderSnapshot(dir.path());
        const bool breaksRestore = error.startsWith(u"The audio could not be moved");
        QString calls;
        const SessionDisk::TrashFunction trash = [&](const QString &path) {
            calls += QDir(folder).relativeFilePath(path);
            if (breaksRestore && QFile::remove(document))
                QDir(folder).mkpath(u"session.json/blocked"_s);
            if (!error.isEmpty())
                throw SystemError(u"Could not move it to the Trash: refused"_s);
        };
        const QStringList words = action.split(u' ');
        const QList<Take> list = uut.takes.value(words.value(1));
        const qsizetype place = words.value(2).startsWith(u'#')
            ? words[2].mid(1).toInt() - 1
            : std::find_if(list.cbegin(), list.cend(), [&](const Take &t) {
                  return t.id == words.value(2);
              }) - list.cbegin();
        try {
            const Session result = words[0] == u"start"
                ? SessionDisk::startOver(uut, folder, trash)
                : SessionDisk::deleteTake(
                    list.value(place).id, place, words[1], uut, folder, trash);
            QVERIFY2(error.isEmpty(), "the removal must fail");
            QCOMPARE(Folders::takesAndSelections(result), after);
            QVERIFY2(SessionDisk::load(folder) == result, "session.json holds the result");
        } catch (const Error &e) {
            QCOMPARE(e.description(), QString(error).replace("<folder>", folder));
        }
        QCOMPARE(calls, trashed);
        if (!error.isEmpty() && trashed.isEmpty()) {
            QVERIFY2(folderSnapshot(dir.path()) == snapshot,
                "a refused removal writes nothing, in the session folder or beside it");
            return;
        }
        const QStringList backups = entries(folder + u"/Session Backups"_s);
        QVERIFY2(backups.size() == 1
                && QRegularExpression(u"^[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$"_s)
                       .match(backups[0])
                       .hasMatch(),
            qPrintable("one recovery copy, in a folder named by a UUID: " + backups.join(u", ")));
        QCOMPARE(readFile(folder + u"/Session Backups/"_s + backups[0] + u"/session.json"_s),
            SessionDisk::encode(uut));
        if (!error.isEmpty() && !breaksRestore)
            QCOMPARE(readFile(document), before);
    }

    void takePathsAndMissingAudio()
    {
        QTemporaryDir dir;
        const QString folder = Folders::makeFolder(dir);
        QCOMPARE(SessionDisk::takePath(folder, u"takes/a-1.wav"_s), folder + u"/takes/a-1.wav"_s);
        // a-2's audio becomes a link that leads nowhere, and a take under a key that is no line
        // has no file: with c-1, three takes lack their audio while two have it.
        const QString a2 = SessionDisk::takePath(folder, u"takes/a-2.wav"_s);
        QVERIFY(QFile::remove(a2) && QFile::link(folder + u"/takes/gone.wav"_s, a2));
        Session session = Folders::recorded();
        session.takes["zz"] = {Folders::take(u"z-1"_s)};
        QCOMPARE(SessionDisk::missingAudioCount(session, folder), 3);
    }
};

class ExportTest : public QObject
{
    Q_OBJECT

private slots:
    void exportTo_data()
    {
        // Beside the session folder, where "Existing" is; "<folder>/…" inside the session folder.
        QTest::addColumn<QString>("to");
        QTest::addColumn<QString>("error"); // empty: exports; <folder> and <to> as they are
        QTest::addColumn<QStringList>("written"); // what is in `to` afterwards

        const QString incomplete = u"Export incomplete: "_s;
        const QString link = u"is a symbolic link; only files inside the session folder are "
                             u"exported."_s;
        QTest::addRow("the chosen takes")
            << "Export" << QString()
            << QStringList {"README.txt", "a.wav", "c.wav", "recordings.json", "script.json"};
        QTest::addRow("stops at a missing take") << "Export"
                                                 << incomplete
                + "Could not copy “<folder>/takes/c-1.wav” to “<to>/c.wav”: No such file or "
                  "directory" << QStringList {"EXPORT-INCOMPLETE.txt", "a.wav", "b.wav"};
        // The missing take's file, and then the takes folder, lead out of the session folder.
        QTest::addRow("a take that is a link")
            << "Export" << incomplete + "“takes/c-1.wav” " + link
            << QStringList {"EXPORT-INCOMPLETE.txt", "a.wav", "b.wav"};
        QTest::addRow("a takes folder that is a link")
            << "Export" << incomplete + "“takes” " + link << QStringList {"EXPORT-INCOMPLETE.txt"};
        QTest::addRow("refuses a folder inside the session folder")
            << "<folder>/takes/Export"
            << "“<to>” is inside the session folder; choose a folder outside it for the export."
            << QStringList();
        QTest::addRow("refuses a folder that exists")
            << "Existing" << couldNotCreate("<to>", "File exists") << QStringList();
        QTest::addRow("refuses a folder whose parent is missing")
            << "missing/Export" << couldNotCreate("<to>", "No such file or directory")
            << QStringList();
    }

    void exportTo()
    {
        QFETCH(QString, to);
        QFETCH(QString, error);
        QFETCH(QStringList, written);
        QTemporaryDir dir;
        const QString folder = Folders::makeFolder(dir);
        QVERIFY(QDir(dir.path()).mkdir(u"Existing"_s));
        to = to.startsWith(u"<folder>") ? QString(to).replace("<folder>", folder)
                                        : dir.filePath(to);
        const QString tag = QString::fromLatin1(QTest::currentDataTag());
        // Outside the session folder: a file a take must not reach, and a takes folder beside it.
        writeFile(dir.filePath(u"private.txt"_s), "private");
        if (tag == u"a take that is a link")
            QVERIFY(QFile::link(dir.filePath(u"private.txt"_s), folder + u"/takes/c-1.wav"_s));
        if (tag == u"a takes folder that is a link") {
            QVERIFY(QDir(folder + u"/takes"_s)
                        .rename(folder + u"/takes"_s, dir.filePath(u"elsewhere"_s)));
            QVERIFY(QFile::link(dir.filePath(u"elsewhere"_s), folder + u"/takes"_s));
        }
        error.replace("<to>", to).replace("<folder>", folder);
        // Every chosen take has its audio: b has none left, and c chooses the older of two.
        Session session = Folders::recorded();
        if (error.isEmpty()) {
            session.takes.insert({{"b", {}}, {"c", {Folders::take("a-1"), Folders::take("b-1")}}});
            session.selected.insert("c", "a-1");
        }
        try {
            QCOMPARE(SessionDisk::exportTo(session, folder, to), 2);
            QVERIFY2(error.isEmpty(), "the export must fail");
        } catch (const Error &e) {
            QCOMPARE(e.description(), error);
        }
        QCOMPARE(entries(to), written);
        if (written.contains("EXPORT-INCOMPLETE.txt"))
            QCOMPARE(readFile(to + u"/EXPORT-INCOMPLETE.txt"_s), error.toUtf8());
        if (!error.isEmpty())
            return;
        QCOMPARE(readFile(to + u"/a.wav"_s), QByteArray("RIFF a-2"));
        QCOMPARE(readFile(to + u"/c.wav"_s), QByteArray("RIFF a-1"));
        QCOMPARE(readFile(to + u"/recordings.json"_s),
            readFile(u"" QUORBEL_TEST_DATA "/recordings.json"_s));
        QCOMPARE(readFile(to + u"/README.txt"_s),
            QByteArray("2 of 3 lines recorded.\n48 kHz, mono PCM WAV.\nMissing: b\n"));
        const Json::Document script(readFile(to + u"/script.json"_s), u"script.json"_s);
        QVERIFY2(Json::readScript(script.root()) == session.script,
            "script.json holds the script, notes too");
        QCOMPARE(SessionDisk::exportFolderName(QUuid("{0b1e62a4-7c1f-4e8b-9d51-3a2f6c0d9e11}")),
            u"Quorbel-Export-0B1E62A4"_s);
    }
};

QUORBEL_TEST_MAIN(SessionJsonTest, SaveFaultTest, SessionFolderTest, ExportTest)
#include "tst_store.moc"
