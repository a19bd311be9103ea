#include "atomicfile.h"
#include "apperror.h"
#include "folders.h"
#include "savefaults.h"
#include "sessiondisk.h"
#include "testfiles.h"
#include "testmain.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cmath>
#include <functional>
#include <limits>
#include <sys/stat.h>

namespace {

QDateTime utc(qint64 msecs)
{
    return QDateTime::fromMSecsSinceEpoch(msecs, Qt::UTC);
}

/// A session that exercises every part of the format: notes present, empty and absent, text
/// that needs escaping, keys whose UTF-16 order differs from their code point order, takes under
/// a key that is no line, an empty take list and times with fractions of a second.
Session goldenSession()
{
    Session session;
    session.script.title = QStringLiteral("Chapter 1 / “Intro”");
    session.script.lines = {
        {QStringLiteral("intro"), QStringLiteral("Say \"hello\" / wave.\n\tThen pause."),
            QStringLiteral("Warmly")},
        {QStringLiteral("Line_2"), QStringLiteral("Ünïcödé — 日本語 😀"), std::nullopt},
        {QStringLiteral("b"), QStringLiteral("  spaced  "), QString()},
    };
    session.index = 1;
    session.takes[QStringLiteral("intro")] = {
        {QStringLiteral("0B1E62A4-7C1F-4E8B-9D51-3A2F6C0D9E11"),
            QStringLiteral("takes/intro-0B1E62A4.wav"), 1.5, utc(1796555109750)},
        {QStringLiteral("5D0A7E33-1B2C-4D3E-8F40-516273849A0B"),
            QStringLiteral("takes/intro-5D0A7E33.wav"), 0.30000000000000004, utc(1796555170000)},
    };
    session.takes[QStringLiteral("zz-unknown")]
        = {{QStringLiteral("x"), QStringLiteral("takes/zz-unknown-x.wav"), 12, utc(0)}};
    session.takes[QStringLiteral("b")] = {};
    session.selected[QStringLiteral("intro")]
        = QStringLiteral("0B1E62A4-7C1F-4E8B-9D51-3A2F6C0D9E11");
    session.selected[QStringLiteral("a")] = QStringLiteral("missing");
    session.selected[QStringLiteral("B")] = QStringLiteral("upper case sorts first");
    session.selected[QStringLiteral("\U0001F600")] = QStringLiteral("above U+FFFF sorts last");
    session.selected[QStringLiteral("\uFFFD")] = QStringLiteral("U+FFFD sorts before it");
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

// A small valid session.json; the error cases below each change one piece of it.
constexpr char minimalDocument[]
    = R"({"version":1,"index":0,"script":{"title":"T","lines":[{"id":"a","text":"x"}]},)"
      R"("takes":{"a":[{"id":"t","file":"takes\/a.wav","duration":1.5,"created":"2026-12-06T11:05:09Z"}]},)"
      R"("selected":{}})";

/// minimalDocument with one piece replaced, which must be in it.
QByteArray minimalWith(const char *from, const QByteArray &to)
{
    QByteArray changed(minimalDocument);
    if (!changed.contains(from))
        qFatal("the base document lacks %s", from);
    return changed.replace(from, to);
}

/// Loads the session in `folder` into `session`: an empty text, or the error's description;
/// prefixed with "wrote! " when the load changed anything in the folder, which no load may.
QString loadWritingNothing(const QString &folder, Session &session)
{
    const QMap<QString, QByteArray> before = folderSnapshot(folder);
    QString result;
    try {
        session = SessionDisk::load(folder);
    } catch (const Error &e) {
        result = e.description();
    }
    return folderSnapshot(folder) == before ? result : QStringLiteral("wrote! ") + result;
}

} // namespace

class SessionJsonTest : public QObject
{
    Q_OBJECT

private slots:
    void encodesTheGoldenDocument()
    {
        const QByteArray golden = readFile(QStringLiteral(QUORBEL_TEST_DATA "/session.json"));
        const QByteArray encoded = SessionDisk::encode(goldenSession());
        if (encoded != golden) {
            // Left beside the build for a person to compare, or to take as the new golden file.
            const QString actual = QDir::current().filePath(QStringLiteral("session.json.actual"));
            writeFile(actual, encoded);
            QFAIL(qPrintable(
                QStringLiteral("session.json differs from the golden file; see ") + actual));
        }
    }

    void savesAndLoadsBack_data()
    {
        QTest::addColumn<Session>("session");

        QTest::addRow("golden") << goldenSession();
        Session numbers = goldenSession();
        const QList<double> hard {0.1 + 0.2, 1.0 / 3.0, 5e-324, 1.7976931348623157e308,
            123456789.123456789, 2.2250738585072014e-308, 1e21, 0.1};
        QList<Take> takes;
        for (double d : hard)
            takes.append({QStringLiteral("t%1").arg(takes.size()), QStringLiteral("takes/t.wav"), d,
                utc(-62135596800000)});
        numbers.takes[QStringLiteral("intro")] = takes;
        QTest::addRow("durations that must survive exactly") << numbers;
        QTest::addRow("recording test") << Session {1, Script::recordingTest(), 0, {}, {}};
        // Every control character, each at every position within a 16-byte block, where a
        // vectorised writer or reader works a block at a time.
        Session controls = goldenSession();
        for (char16_t c = 1; c < 0x20; ++c) {
            QString text = QString(48, u'x');
            for (int at = 0; at < 48; at += 3)
                text[at] = QChar(c);
            controls.script.lines.append({QStringLiteral("c%1").arg(int(c)), text, text});
        }
        QTest::addRow("control characters") << controls;
        // U+FEFF leads a file as its byte-order mark, but inside a text or a key it is text.
        Session marks = goldenSession();
        marks.script.title.prepend(QChar(0xFEFF));
        marks.script.lines[0].text.prepend(QChar(0xFEFF));
        marks.takes[QStringLiteral("\uFEFFintro")] = {marks.takes[QStringLiteral("intro")][0]};
        marks.selected[QStringLiteral("\uFEFFintro")] = QStringLiteral("\uFEFF");
        QTest::addRow("texts and keys that begin with U+FEFF") << marks;
    }

    void savesAndLoadsBack()
    {
        QFETCH(Session, session);
        QTemporaryDir dir;
        SessionDisk::save(session, dir.path());
        const Session loaded = SessionDisk::load(dir.path());
        QVERIFY2(loaded == truncatedToSeconds(session), "a reload gives back what was saved");
        QCOMPARE(entries(dir.path()), QStringList {QStringLiteral("session.json")});
    }

    void encodingFollowsEveryChange()
    {
        // Saves reuse what they encoded for records that have not changed since. Every kind of
        // change, in place or by replacement, must still reach the file, and so must a change
        // after a save that failed halfway.
        Session uut = goldenSession();
        const QString intro = QStringLiteral("intro");
        const QList<std::pair<const char *, std::function<void(Session &)>>> changes {
            {"a take added", [&](Session &s) { s.takes[intro].append(s.takes[intro].first()); }},
            {"a take changed in place", [&](Session &s) { s.takes[intro][0].duration = 2; }},
            {"a line's takes emptied",
                [](Session &s) { s.takes[QStringLiteral("zz-unknown")].clear(); }},
            {"a line's entry removed", [](Session &s) { s.takes.remove(QStringLiteral("b")); }},
            {"a prompt edited in place",
                [](Session &s) { s.script.lines[1].text = QStringLiteral("New"); }},
            {"the title changed", [](Session &s) { s.script.title = QStringLiteral("Other"); }},
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
                QVERIFY2(SessionDisk::decode(encoded, QStringLiteral("session.json"))
                        == truncatedToSeconds(uut),
                    what);
            } catch (const SystemError &) {
                QVERIFY2(std::isnan(uut.takes[intro].value(0).duration), what);
            }
        }
    }

    void load_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QString>("error"); // empty: loads

        const QByteArray base(minimalDocument);
        auto with = [&base](const char *from, const char *to) {
            QByteArray changed = base;
            if (!changed.contains(from))
                qFatal("the base document lacks %s", from);
            return changed.replace(from, to);
        };
        QTest::addRow("minimal") << base << QString();
        for (const char *member : {"\"version\":1,", "\"index\":0,", ",\"selected\":{}"})
            QTest::addRow("without %s", member)
                << with(member, "")
                << QStringLiteral("session.json: \"%1\" is missing")
                       .arg(QString::fromLatin1(member).section(u'"', 1, 1));
        QTest::addRow("without takes") << with(
            R"("takes":{"a":[{"id":"t","file":"takes\/a.wav","duration":1.5,"created":"2026-12-06T11:05:09Z"}]},)",
            "") << R"(session.json: "takes" is missing)";
        QTest::addRow("without a take's created") << with(R"(,"created":"2026-12-06T11:05:09Z")",
            "") << R"(session.json: "takes.a[0].created" is missing)";
        QTest::addRow("version as text") << with("\"version\":1", "\"version\":\"1\"")
                                         << R"(session.json: "version" must be an integer)";
        QTest::addRow("version 1.5") << with("\"version\":1", "\"version\":1.5")
                                     << R"(session.json: "version" must be an integer)";
        QTest::addRow("version 1.0 counts as 1")
            << with("\"version\":1", "\"version\":1.0") << QString();
        QTest::addRow("version 1e0 counts as 1")
            << with("\"version\":1", "\"version\":1e0") << QString();
        QTest::addRow("version 2") << with("\"version\":1", "\"version\":2")
                                   << "This session needs a newer version of Quorbel.";
        QTest::addRow("index beyond 64 bits") << with("\"index\":0",
            "\"index\":99999999999999999999") << R"(session.json: "index" must be an integer)";
        QTest::addRow("index past the lines")
            << with("\"index\":0", "\"index\":1") << "The saved line position is invalid.";
        QTest::addRow("index too big for a double")
            << with("\"index\":0", "\"index\":1e400")
            << "session.json, line 1, column 22: Number too big to be stored in double.";
        QTest::addRow("index given twice") << with("\"index\":0", "\"index\":0,\"index\":0")
                                           << R"(session.json: "index" appears more than once)";
        QTest::addRow("a take member given twice")
            << with("\"duration\":1.5", "\"duration\":1.5,\"duration\":2")
            << R"(session.json: "takes.a[0].duration" appears more than once)";
        QTest::addRow("a line's takes given twice") << with("\"takes\":{",
            "\"takes\":{\"a\":[],") << R"(session.json: "takes.a" appears more than once)";
        QTest::addRow("duration as text") << with("\"duration\":1.5",
            "\"duration\":\"1.5\"") << R"(session.json: "takes.a[0].duration" must be a number)";
        QTest::addRow("duration zero") << with("\"duration\":1.5", "\"duration\":0")
                                       << "The session contains an invalid recording reference.";
        QTest::addRow("takes not a list") << with(
            R"("takes":{"a":[{"id":"t","file":"takes\/a.wav","duration":1.5,"created":"2026-12-06T11:05:09Z"}]})",
            R"("takes":{"a":{}})") << R"(session.json: "takes.a" must be an array)";
        QTest::addRow("created with an offset") << with("11:05:09Z", "13:05:09+02:00") << QString();
        QTest::addRow("created with a fraction")
            << with("11:05:09Z", "11:05:09.5Z")
            << R"(session.json: "takes.a[0].created" must be a date and time such as 2026-01-31T09:30:00Z)";
        QTest::addRow("file leaving the folder") << with("takes\\/a.wav",
            "takes\\/..\\/a.wav") << "The session contains an invalid recording reference.";
        QTest::addRow("absolute file") << with("takes\\/a.wav", "\\/etc\\/takes\\/a.wav")
                                       << "The session contains an invalid recording reference.";
        QTest::addRow("lone low surrogate")
            << with("\"id\":\"t\"", "\"id\":\"\\udc00\"")
            << R"(session.json: "takes.a[0].id" holds an unpaired surrogate escape)";
        QTest::addRow("selected value not text") << with("\"selected\":{}",
            "\"selected\":{\"a\":7}") << R"(session.json: "selected.a" must be a string)";
        QTest::addRow("note null, unknown members ignored")
            << with("\"text\":\"x\"", "\"text\":\"x\",\"note\":null,\"colour\":[1]") << QString();
        QTest::addRow("a list") << QByteArray("[]")
                                << "session.json: the document must be an object";
        QTest::addRow("empty") << QByteArray()
                               << "session.json, line 1, column 1: The document is empty.";
        QTest::addRow("NaN") << with("1.5", "NaN")
                             << "session.json, line 1, column 136: Invalid value.";
        QTest::addRow("nested 100,000 deep")
            << QByteArray(100'000, '{').replace("{", "{\"a\":") + "1" + QByteArray(100'000, '}')
            << R"(session.json: "version" is missing)";
    }

    void load()
    {
        QFETCH(QByteArray, document);
        QFETCH(QString, error);
        QTemporaryDir dir;
        writeFile(dir.filePath(QStringLiteral("session.json")), document);
        Session session;
        QCOMPARE(loadWritingNothing(dir.path(), session), error);
        if (error.isEmpty())
            QCOMPARE(session.script.lines.size(), 1);
    }

    void loadRefusesWhatIsNoFile()
    {
        QTemporaryDir dir;
        const QString missing = dir.filePath(QStringLiteral("gone"));
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("folder/session.json")));
        const QString folder = dir.filePath(QStringLiteral("folder"));
        const QList<std::pair<QString, QString>> cases {
            {missing, QStringLiteral("No such file or directory")},
            {folder, QStringLiteral("Not a regular file")},
        };
        for (const auto &[where, reason] : cases) {
            Session session;
            QCOMPARE(loadWritingNothing(where, session),
                QStringLiteral("Could not read “%1/session.json”: %2").arg(where, reason));
        }
    }
};

class AtomicFileTest : public QObject
{
    Q_OBJECT

private slots:
    void replacesTheFileAndLeavesNothingElse()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("session.json"));
        writeFileAtomically(path, "first");
        writeFileAtomically(path, "second, longer");
        writeFileAtomically(path, "3");
        QCOMPARE(readFile(path), QByteArray("3"));
        QCOMPARE(entries(dir.path()), QStringList {QStringLiteral("session.json")});
    }

    void failuresAreReportedAndKeepTheOldFile_data()
    {
        QTest::addColumn<QString>("target"); // relative to a folder holding "kept/session.json"
        QTest::addColumn<QString>("reason");

        QTest::addRow("folder missing") << "missing/session.json"
                                        << "No such file or directory";
        QTest::addRow("a folder in the file's place") << "kept/blocked"
                                                      << "Is a directory";
        QTest::addRow("a file in the folder's place") << "kept/session.json/x"
                                                      << "Not a directory";
    }

    void failuresAreReportedAndKeepTheOldFile()
    {
        QFETCH(QString, target);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("kept/blocked/inside")));
        const QString kept = dir.filePath(QStringLiteral("kept/session.json"));
        writeFile(kept, "old");
        const QString path = dir.filePath(target);
        try {
            writeFileAtomically(path, "new");
            QFAIL("the write must fail");
        } catch (const SystemError &e) {
            QCOMPARE(e.description(), QStringLiteral("Could not write “%1”: %2").arg(path, reason));
        }
        QCOMPARE(readFile(kept), QByteArray("old"));
        QCOMPARE(entries(dir.filePath(QStringLiteral("kept"))),
            (QStringList {QStringLiteral("blocked"), QStringLiteral("session.json")}));
    }

    void anUnencodableSessionWritesNothing_data()
    {
        QTest::addColumn<Session>("session");
        QTest::addColumn<QString>("reason");

        auto broken = [](auto change) {
            Session session = goldenSession();
            change(session.takes[QStringLiteral("intro")][0]);
            return session;
        };
        QTest::addRow("infinite duration")
            << broken([](Take &t) { t.duration = std::numeric_limits<double>::infinity(); })
            << "a take’s duration is not a finite number.";
        QTest::addRow("no recording time")
            << broken([](Take &t) { t.created = QDateTime(); })
            << "a take’s recording time is missing or outside the years 0000–9999.";
        QTest::addRow("lone surrogate") << broken([](Take &t) { t.id = QString(QChar(0xD800)); })
                                        << "a take holds text that is not valid Unicode.";
        Session script = goldenSession();
        script.script.lines[0].note = QString(QChar(0xDC00));
        QTest::addRow("lone surrogate in a note")
            << script << "the script holds text that is not valid Unicode.";
    }

    void anUnencodableSessionWritesNothing()
    {
        QFETCH(Session, session);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        SessionDisk::save(goldenSession(), dir.path());
        const QByteArray before = readFile(SessionDisk::documentPath(dir.path()));
        try {
            SessionDisk::save(session, dir.path());
            QFAIL("the session cannot be saved");
        } catch (const SystemError &e) {
            QCOMPARE(
                e.description(), QStringLiteral("The session could not be encoded: ") + reason);
        }
        QCOMPARE(readFile(SessionDisk::documentPath(dir.path())), before);
        QCOMPARE(entries(dir.path()), QStringList {QStringLiteral("session.json")});
    }
};

/// Session folders made to break the program, beyond the documents SessionJsonTest::load
/// covers: session.json edited by hand or by another program, files that are no documents, and
/// sessions whose takes point out of their folder. Each is refused with its exact message, and
/// nothing is written: not into the folder, not anywhere a take's file names.
class HostileSessionTest : public QObject
{
    Q_OBJECT

private slots:
    void load_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QString>("error"); // empty: loads

        const QString reference
            = QStringLiteral("The session contains an invalid recording reference.");
        const QString reader = QStringLiteral("session.json, line 1, column %1: %2");
        const QString notInteger = QStringLiteral(R"(session.json: "%1" must be an integer)");

        QTest::addRow("take file in a sub-folder")
            << minimalWith("takes\\/a.wav", "takes\\/sub\\/a.wav") << reference;
        QTest::addRow("take file leaving the folder, slashes unescaped")
            << minimalWith("takes\\/a.wav", "takes/../../a.wav") << reference;
        QTest::addRow("takes under a key that looks like a path are kept")
            << minimalWith("\"takes\":{\"a\"", "\"takes\":{\"../../x\"") << QString();
        const QString form = QStringLiteral(
            "Line IDs must use letters, numbers, hyphens or underscores (up to 100 characters): ");
        for (const char *id : {"../x", "a/b", "."}) {
            QTest::addRow("line id %s", id)
                << minimalWith("\"id\":\"a\"", "\"id\":\"" + QByteArray(id) + '"')
                << form + QString::fromLatin1(id);
        }
        QTest::addRow("line ids differing only in case")
            << minimalWith(R"([{"id":"a","text":"x"}])",
                   R"([{"id":"Intro","text":"x"},{"id":"intro","text":"y"}])")
            << "Duplicate line ID: intro";

        QTest::addRow("duration too big for a double") << minimalWith(
            "1.5", "1e400") << reader.arg(136).arg("Number too big to be stored in double.");
        QTest::addRow("duration zero with a large exponent")
            << minimalWith("1.5", "-0e300") << reference;
        QTest::addRow("duration so small it is zero") << minimalWith("1.5", "1e-400") << reference;
        QTest::addRow("index zero with a large exponent")
            << minimalWith("\"index\":0", "\"index\":0e300") << QString();
        QTest::addRow("index with a fraction")
            << minimalWith("\"index\":0", "\"index\":0.5") << notInteger.arg("index");
        QTest::addRow("index whole but beyond 64 bits")
            << minimalWith("\"index\":0", "\"index\":1e19") << notInteger.arg("index");
        QTest::addRow("version beyond 64 bits") << minimalWith("\"version\":1",
            "\"version\":18446744073709551617") << notInteger.arg("version");
        QTest::addRow("version 1 and a little") << minimalWith("\"version\":1",
            "\"version\":1.0000000000000002") << notInteger.arg("version");
        QTest::addRow("created past year 9999 in UTC")
            << minimalWith("2026-12-06T11:05:09Z", "9999-12-31T23:59:59-00:01")
            << R"(session.json: "takes.a[0].created" must be a date and time such as 2026-01-31T09:30:00Z)";

        QTest::addRow("script given twice") << minimalWith("\"index\":0,",
            R"("index":0,"script":{},)") << R"(session.json: "script" appears more than once)";
        QTest::addRow("a line's selection given twice")
            << minimalWith("\"selected\":{}", R"("selected":{"a":"t","a":"u"})")
            << R"(session.json: "selected.a" appears more than once)";
        QTest::addRow("lone high surrogate in a take id")
            << minimalWith("\"id\":\"t\"", "\"id\":\"\\ud800\"")
            << reader.arg(100).arg("The surrogate pair in string is invalid.");
        QTest::addRow("NUL byte in a text")
            << minimalWith("\"text\":\"x\"", QByteArray("\"text\":\"x\0\"", 11))
            << reader.arg(74).arg("Missing a closing quotation mark in string.");
        QTest::addRow("invalid UTF-8 in a text") << minimalWith("\"text\":\"x\"",
            "\"text\":\"\xC0\xAF\"") << reader.arg(73).arg("Invalid encoding in string.");
        // Past the first 16 bytes of the text, where a vectorised reader works a block at a
        // time.
        QTest::addRow("raw control character in a long text")
            << minimalWith(
                   "\"text\":\"x\"", "\"text\":\"0123456789abcdef0123456789abcdef0123456789\x1E\"")
            << reader.arg(115).arg("Invalid escape character in string.");
        QTest::addRow("UTF-16 with its mark")
            << QByteArray("\xFF\xFE{\0}\0", 6) << reader.arg(1).arg("Invalid value.");
    }

    void load()
    {
        QFETCH(QByteArray, document);
        QFETCH(QString, error);
        QTemporaryDir dir;
        writeFile(SessionDisk::documentPath(dir.path()), document);
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("takes")));
        writeFile(dir.filePath(QStringLiteral("takes/a.wav")), "RIFF");
        Session session;
        QCOMPARE(loadWritingNothing(dir.path(), session), error);
    }

    void notADocument_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");

        QTest::addRow("a FIFO, read without waiting for a writer") << "fifo"
                                                                   << "Not a regular file";
        QTest::addRow("a file over 1 GiB, refused before it is read") << "huge"
                                                                      << "File too large";
    }

    void notADocument()
    {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString path = SessionDisk::documentPath(dir.path());
        if (kind == u"fifo") {
            QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
        } else {
            writeFile(path, minimalDocument);
            // Sparse: it takes no room on the disk.
            QVERIFY(QFile::resize(path, (qint64(1) << 30) + 1));
        }
        Session session;
        QCOMPARE(loadWritingNothing(dir.path(), session),
            QStringLiteral("Could not read “%1”: %2").arg(path, reason));
    }

    void removalRefusesReferencesOutOfTheFolder_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("startOver");

        for (const char *file : {"takes/../x.wav", "takes/sub/x.wav"}) {
            QTest::addRow("delete beside %s", file) << file << false;
            QTest::addRow("start over with %s", file) << file << true;
        }
        // An absolute file named the same way as the one the removal would trash.
        QTest::addRow("delete beside an absolute file") << "ABSOLUTE" << false;
    }

    void removalRefusesReferencesOutOfTheFolder()
    {
        QFETCH(QString, file);
        QFETCH(bool, startOver);
        QTemporaryDir dir;
        const QString folder = Folders::makeFolder(dir);
        const QString outside = dir.filePath(QStringLiteral("x.wav"));
        writeFile(outside, "RIFF outside");
        if (file == u"ABSOLUTE")
            file = outside;

        // Removals check the session they are given, which need not have come from disk.
        Session uut = Folders::recorded();
        uut.takes[QStringLiteral("b")].append(
            {QStringLiteral("escapes"), file, 1.0, QDateTime::fromSecsSinceEpoch(0, Qt::UTC)});
        QStringList trashed;
        const SessionDisk::TrashFunction trash = [&](const QString &path) { trashed.append(path); };
        const QMap<QString, QByteArray> before = folderSnapshot(dir.path());
        try {
            if (startOver)
                (void)SessionDisk::startOver(uut, folder, trash);
            else
                (void)SessionDisk::deleteTake(
                    QStringLiteral("escapes"), QStringLiteral("b"), uut, folder, trash);
            QFAIL("the removal must be refused");
        } catch (const AppError &e) {
            QCOMPARE(e.description(),
                QStringLiteral("The session contains an invalid recording reference."));
        }
        QCOMPARE(trashed, QStringList());
        QVERIFY2(folderSnapshot(dir.path()) == before,
            "nothing is written, in the session folder or beside it");
    }
};

QUORBEL_TEST_MAIN(SessionJsonTest, AtomicFileTest, SaveFaultTest, SessionFolderTest, ExportTest,
    HostileSessionTest)
#include "tst_store.moc"
