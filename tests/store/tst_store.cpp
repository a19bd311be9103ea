#include "atomicfile.h"
#include "error.h"
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

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

// A small valid session.json; the error cases below each change one piece of it.
constexpr char minimalDocument[]
    = R"({"version":1,"index":0,"script":{"title":"T","lines":[{"id":"a","text":"x"}]},)"
      R"("takes":{"a":[{"id":"t","file":"takes\/a.wav","duration":1.5,"created":"2026-12-06T11:05:09Z"}]},)"
      R"("selected":{}})";

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
        for (const auto &[what, change] : changes) {
            change(uut);
            try {
                const QByteArray encoded = SessionDisk::encode(uut);
                QVERIFY2(SessionDisk::decode(encoded, QStringLiteral("session.json"))
                        == truncatedToSeconds(uut),
                    what);
            } catch (const PlatformError &) {
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
        try {
            const Session session = SessionDisk::load(dir.path());
            QCOMPARE(QString(), error);
            QCOMPARE(session.script.lines.size(), 1);
        } catch (const Error &e) {
            QCOMPARE(e.description(), error);
        }
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
            try {
                (void)SessionDisk::load(where);
                QFAIL("a load without a session.json file must fail");
            } catch (const PlatformError &e) {
                QCOMPARE(e.description(),
                    QStringLiteral("Could not read “%1/session.json”: %2").arg(where, reason));
            }
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
        } catch (const PlatformError &e) {
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
        } catch (const PlatformError &e) {
            QCOMPARE(
                e.description(), QStringLiteral("The session could not be encoded: ") + reason);
        }
        QCOMPARE(readFile(SessionDisk::documentPath(dir.path())), before);
        QCOMPARE(entries(dir.path()), QStringList {QStringLiteral("session.json")});
    }
};

QUORBEL_TEST_MAIN(SessionJsonTest, AtomicFileTest, SaveFaultTest, SessionFolderTest, ExportTest)
#include "tst_store.moc"
