#include "apperror.h"
#include "datetime.h"
#include "json.h"
#include "records.h"
#include "testmain.h"
#include "validation.h"

#include <limits>

namespace {

ScriptLine line(const QString &id, const QString &text = QStringLiteral("Hello."))
{
    return {id, text, std::nullopt};
}

Script numbered(qsizetype count)
{
    Script script {QStringLiteral("Numbered"), {}};
    for (qsizetype i = 1; i <= count; ++i)
        script.lines.append(line(QStringLiteral("l%1").arg(i)));
    return script;
}

using Takes = QHash<QString, QList<Take>>;

Session session(const Script &script, qint64 version = 1, qint64 index = 0, const Takes &takes = {},
    const QHash<QString, QString> &selected = {})
{
    return {version, script, index, takes, selected};
}

Take take(const QString &id, const QString &file = "takes/a.wav", double duration = 1)
{
    return {id, file, duration, QDateTime::fromSecsSinceEpoch(1'800'000'000, Qt::UTC)};
}

/// Reads `bytes` as session.json and then the value at `query`, "KIND PATH" with the steps of the
/// path joined by '.' (a number is an array index): the value as text, or the reader's error.
QString readJson(const QByteArray &bytes, const QString &query)
{
    using Read = std::function<QString(const Json::Value &)>;
    static const QHash<QString, Read> kinds {
        {"array", [](const Json::Value &v) { return QString::number(v.array().size()); }},
        {"string", [](const Json::Value &v) { return v.string(); }},
        {"optional", [](const Json::Value &v) { return v.optionalString().value_or("null"); }},
        {"number", [](const Json::Value &v) { return QString::number(v.number(), 'g', 17); }},
        {"integer", [](const Json::Value &v) { return QString::number(v.integer()); }},
        {"date", [](const Json::Value &v) { return v.dateTime().toString(Qt::ISODate); }},
        {"bytes", [](const Json::Value &v) { return QString::number(v.textBytes()); }},
        {"names", [](const Json::Value &v) {
             QStringList names;
             v.object().forEach([&names](const QString &name, auto) { names.append(name); });
             return names.join(u',');
         }}};
    try {
        const Json::Document document(bytes, QStringLiteral("session.json"));
        Json::Value value = document.root();
        for (const QString &step : query.section(u' ', 1).split(u'.', Qt::SkipEmptyParts)) {
            bool index = false;
            const int at = step.toInt(&index);
            value = index ? value.array().at(at) : value.object().member(step.toStdString());
        }
        return kinds.value(query.section(u' ', 0, 0))(value);
    } catch (const Error &error) {
        return error.description();
    }
}

} // namespace

/// The rules a script and a session must keep, the checks they are made of, what a session's
/// takes add up to, and the times a session records.
class SessionRulesTest : public QObject
{
    Q_OBJECT

private slots:
    void validated_data()
    {
        QTest::addColumn<Session>("session");
        QTest::addColumn<QString>("message");

        const QString count = QStringLiteral("A script must contain 1–10,000 lines.");
        const QString newer = QStringLiteral("This session needs a newer version of Quorbel.");
        const QString position = QStringLiteral("The saved line position is invalid.");
        const QString reference
            = QStringLiteral("The session contains an invalid recording reference.");
        const Script three = numbered(3);
        auto row = [](const char *name, const Session &session, const QString &message) {
            QTest::addRow("%s", name) << session << message;
        };
        auto lines = [](std::initializer_list<ScriptLine> lines) {
            return session({QStringLiteral("T"), lines});
        };

        row("title of blanks and newlines, before the count", session({" \t\n\u2028", {}}),
            "Give the script a title.");
        row("no lines", session(numbered(0)), count);
        row("10,000 lines", session(numbered(10'000)), QString());
        row("10,001 lines", session(numbered(10'001)), count);
        row("a later line's id", lines({line("a"), line("b c")}),
            "Line IDs must use letters, numbers, hyphens or underscores (up to 100 characters): "
            "b c");
        row("ids differing in case name the later one",
            lines({line("Intro"), line("other"), line("intro")}), "Duplicate line ID: intro");
        row("a duplicate before empty text", lines({line("a"), line("A", " ")}),
            "Duplicate line ID: A");
        row("the first offending line in order wins", lines({line("a", "\n"), line("b c")}),
            "Line a has no text.");
        row("text of blanks and a line separator", lines({line("x-1", " \u2028\t")}),
            "Line x-1 has no text.");
        row("the recording test", session(Script::recordingTest()), QString());

        row("version 2", session(three, 2), newer);
        row("version 0", session(three, 0), newer);
        row("version before script", session(numbered(0), 2), newer);
        row("last line's index", session(three, 1, 2), QString());
        row("index at the line count", session(three, 1, 3), position);
        row("negative index", session(three, 1, -1), position);
        row("selection naming no take", session(three, 1, 0, {}, {{"l1", "nothing"}}), QString());
        row("takes under an unknown key are kept", session(three, 1, 0, {{"gone", {take("t")}}}),
            QString());
        row("a bad take under an unknown key",
            session(three, 1, 0, {{"gone", {take("t", "takes/a b.wav")}}}), reference);
        const double nan = std::numeric_limits<double>::quiet_NaN();
        const double inf = std::numeric_limits<double>::infinity();
        const QList<std::pair<QString, double>> takes {{"takes/a.wav", 1e-9},
            {"recordings/a.wav", 1}, {"takes/a.wav", 0}, {"takes/a.wav", -1}, {"takes/a.wav", nan},
            {"takes/a.wav", inf}};
        for (const auto &[file, duration] : takes) {
            QTest::addRow("second take %s for %g s", qPrintable(file), duration)
                << session(three, 1, 0, {{"l2", {take("ok"), take("t", file, duration)}}})
                << (duration == 1e-9 ? QString() : reference);
        }
    }

    void validated()
    {
        QFETCH(Session, session);
        QFETCH(QString, message);
        try {
            QVERIFY2(session.validated() == session, "validated returns the session unchanged");
            QCOMPARE(QString(), message);
        } catch (const AppError &error) {
            QCOMPARE(error.description(), message);
        }
    }

    void names_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("lineId");
        QTest::addColumn<bool>("takeFile");

        // A line id: 1 to 100 ASCII letters, digits, '_' or '-', led by a letter or digit. A take
        // file: "takes/", a name of those characters, ".wav".
        QList<std::tuple<QString, bool, bool>> names {{"0azAZ9_-", true, false},
            {QString(100, u'a'), true, false}, {QString(101, u'a'), false, false},
            {"", false, false}, {"_a", false, false}, {"abc\n", false, false},
            {"takes/line-1_A.wav", false, true}, {"takes/x.wav", false, true},
            {"takes/.wav", false, false}, {"recordings/x.wav", false, false},
            {"/takes/x.wav", false, false}, {"takes/x.WAV", false, false},
            {"takes/x.wav.tmp", false, false}, {"takes/x.wav\n", false, false}};
        for (const QChar c : QStringLiteral("@[`{/:. \u00e9"))
            names += {{QStringLiteral("a%1b").arg(c), false, false},
                {QStringLiteral("takes/a%1b.wav").arg(c), false, false}};
        for (const auto &[text, lineId, takeFile] : names)
            QTest::addRow("\"%s\"", qPrintable(QString(text).replace(u'\n', QLatin1String("\\n"))))
                << text << lineId << takeFile;
    }

    void names()
    {
        QFETCH(QString, text);
        QFETCH(bool, lineId);
        QFETCH(bool, takeFile);
        QCOMPARE(isValidLineId(text), lineId);
        QCOMPARE(isValidTakeFile(text), takeFile);
    }

    void linesCompareByCanonicalEquivalence()
    {
        const ScriptLine composed {"a", "Caf\u00e9", "\u00c5"};
        QVERIFY2(composed == (ScriptLine {"a", "Cafe\u0301", "A\u030a"}),
            "canonically equivalent texts make equal lines");
        QVERIFY2(!(ScriptLine {"a", "x", std::nullopt} == ScriptLine {"a", "x", QString()}),
            "an absent note equals only an absent note");
        QVERIFY(!(ScriptLine {"a", "x", std::nullopt} == ScriptLine {"a", "y", std::nullopt}));
    }

    void takes_data()
    {
        QTest::addColumn<Session>("session");
        QTest::addColumn<QString>("chosen"); // line l1's
        QTest::addColumn<int>("recorded");
        QTest::addColumn<qsizetype>("takes");

        const QList<Take> three {take("t1"), take("t2"), take("t3")};
        auto row = [](const char *name, const Takes &takes, const QHash<QString, QString> &selected,
                       const char *chosen, int recorded, qsizetype count) {
            QTest::addRow("%s", name)
                << session(numbered(3), 1, 0, takes, selected) << chosen << recorded << count;
        };
        row("a selection without takes", {}, {{"l1", "t1"}}, "", 0, 0);
        row("no selection: the newest", {{"l1", three}}, {}, "t3", 1, 3);
        row("the first selected", {{"l1", three}}, {{"l1", "t1"}}, "t1", 1, 3);
        row("selection of a removed take", {{"l1", three}}, {{"l1", "t9"}}, "t3", 1, 3);
        row("selection is case-sensitive", {{"l1", three}}, {{"l1", "T1"}}, "t3", 1, 3);
        row("an empty list, takes under an unknown key",
            {{"l1", {}}, {"l2", {take("t1")}}, {"gone", three}}, {}, "", 1, 4);
    }

    void takes()
    {
        QFETCH(Session, session);
        QFETCH(QString, chosen);
        QFETCH(int, recorded);
        QFETCH(qsizetype, takes);
        const Take *uut = session.chosen(QStringLiteral("l1"));
        QCOMPARE(uut ? uut->id : QString(), chosen);
        QCOMPARE(session.recordedCount(), recorded);
        QCOMPARE(session.takeCount(), takes);
    }

    void parse_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<qint64>("seconds"); // -1: refused

        for (const auto &[text, seconds] : std::initializer_list<std::pair<const char *, qint64>> {
                 {"2026-12-06T11:05:09Z", 1796555109}, {"2026-12-06T13:05:09+02:00", 1796555109},
                 {"2026-12-06T05:35:09-05:30", 1796555109}, {"2024-02-29T00:00:00Z", 1709164800},
                 {"1970-01-01T00:00:00Z", 0}, {"0000-01-01T00:00:00Z", -62167219200},
                 {"9999-12-31T23:59:59Z", 253402300799}})
            QTest::addRow("reads \"%s\"", text) << QByteArray(text) << seconds;
        for (const char *bad :
            {"2026-02-29T00:00:00Z", "2026-04-31T00:00:00Z", "2026-13-01T00:00:00Z",
                "2026-12-06T24:00:00Z", "2026-12-06T11:60:00Z", "2026-12-06T11:05:60Z",
                "2026-12-06T11:05:09.5Z", "2026-12-06T11:05:09", "2026-12-06 11:05:09Z",
                "2026-12-06T11:05:09z", "2026-12-06T11:05:09+0200", "2026-12-06T11:05:09+24:00",
                "2026-12-06T11:05:09Z ", "+2026-12-06T11:05:09Z", "2026-1-06T11:05:09Z", "",
                // Before year 0 or after 9999 in UTC, where no time can be written back.
                "0000-01-01T00:00:00+00:01", "9999-12-31T23:59:59-00:01"})
            QTest::addRow("refuses \"%s\"", bad) << QByteArray(bad) << qint64(-1);
    }

    void parse()
    {
        QFETCH(QByteArray, text);
        QFETCH(qint64, seconds);
        const std::optional<QDateTime> parsed = parseInternetDateTime(text.toStdString());
        QCOMPARE(parsed ? parsed->toSecsSinceEpoch() : qint64(-1), seconds);
    }

    void format()
    {
        const QList<std::pair<qint64, QString>> cases {
            {1796555109999, "2026-12-06T11:05:09Z"}, // the fraction dropped
            {-500, "1969-12-31T23:59:59Z"}, // before 1970, towards the past
            {-62135596800000, "0001-01-01T00:00:00Z"}, {253402300800000, "year 10000: none"}};
        for (const auto &[msecs, text] : cases) {
            const auto formatted
                = formatInternetDateTime(QDateTime::fromMSecsSinceEpoch(msecs, Qt::UTC));
            QCOMPARE(
                formatted ? QString::fromUtf16(formatted->data(), 20) : "year 10000: none", text);
        }
        QVERIFY2(!formatInternetDateTime(QDateTime()), "an invalid time cannot be written");
    }
};

/// The strict JSON reader on documents given as bytes: what it reads and how it words a fault,
/// with the file and then the value's path, or the line and column.
class JsonReaderTest : public QObject
{
    Q_OBJECT

private slots:
    void read_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("query"); // "KIND PATH", see readJson
        QTest::addColumn<QString>("expected"); // the value, or the error

        const QString of = QStringLiteral("session.json: \"%1\" %2");
        const QString notInteger = QStringLiteral("must be an integer");
        const QString twice = QStringLiteral("appears more than once");
        auto row = [](const char *name, const QByteArray &bytes, const char *query,
                       const QString &expected) {
            QTest::addRow("%s", name) << bytes << QString::fromLatin1(query) << expected;
        };
        // A document the reader refuses, and where: the column counted in characters.
        const QString at = QStringLiteral("session.json, line %1, column %2: %3");
        auto fault = [&at](const char *name, const QByteArray &bytes, int column, const char *what,
                         int line = 1) {
            QTest::addRow("%s", name) << bytes << "names" << at.arg(line).arg(column).arg(what);
        };

        row("missing at the top", "{}", "integer version", of.arg("version", "is missing"));
        row("missing further in", R"({"t":[{}]})", "date t.0.c", of.arg("t[0].c", "is missing"));
        row("of the wrong type further in", R"({"takes":{"a":[{"created":1}]}})",
            "date takes.a.0.created", of.arg("takes.a[0].created", "must be a string"));
        row("not an object", "[]", "names", "session.json: the document must be an object");
        row("not an array", R"({"a":{}})", "array a", of.arg("a", "must be an array"));
        row("null is no string", R"({"a":null})", "string a", of.arg("a", "must be a string"));
        row("nor is a number an optional one", R"({"a":7})", "optional a",
            of.arg("a", "must be a string"));
        row("not a number", R"({"a":"1"})", "number a", of.arg("a", "must be a number"));
        row("a date and time with a fraction", R"({"t":"2026-12-06T11:05:09.5Z"})", "date t",
            of.arg("t", "must be a date and time such as 2026-01-31T09:30:00Z"));

        row("an integer as text", R"({"n":"1"})", "integer n", of.arg("n", notInteger));
        row("1.0 is the integer 1", R"({"n":1.0})", "integer n", "1");
        row("1 and a little", R"({"n":1.0000000000000002})", "integer n", of.arg("n", notInteger));
        row("zero with a large exponent", R"({"n":-0e300})", "number n", "0");
        row("2^63 - 1", R"({"n":9223372036854775807})", "integer n", "9223372036854775807");
        row("2^63", R"({"n":9223372036854775808})", "integer n", of.arg("n", notInteger));
        row("whole, below 64 bits", R"({"n":-1e19})", "integer n", of.arg("n", notInteger));
        row("digits beyond 64 bits", R"({"n":99999999999999999999})", "number n", "1e+20");
        row("too small for a double is zero", R"({"n":1e-400})", "number n", "0");
        fault("too big for a double", "[1e400]", 2, "Number too big to be stored in double.");

        row("a member twice, apart", R"({"a":1,"b":2,"a":3})", "names", of.arg("a", twice));
        QByteArray seventeen = "{";
        for (int i = 0; i < 17; ++i)
            seventeen += "\"m" + QByteArray::number(i) + "\":0,";
        row("twice among seventeen", seventeen + R"("m3":1})", "names", of.arg("m3", twice));

        row("next to the surrogates", R"({"s":"\ud7ff"})", "string s", "\ud7ff");
        fault(
            "lone high surrogate", R"(["\ud800"])", 3, "The surrogate pair in string is invalid.");
        row("lone low surrogate", R"({"s":"\udc00"})", "string s",
            of.arg("s", "holds an unpaired surrogate escape"));
        row("lone surrogate in a member name", R"({"\udc00":1})", "names",
            "session.json: a member name holds an unpaired surrogate escape");
        row("U+FEFF leading a name", "{\"\uFEFFa\":1,\"a\":2}", "names",
            QStringLiteral("\uFEFFa,a"));
        fault("a byte-order mark skipped, not counted", "\uFEFF[x]", 2, "Invalid value.");
        fault("invalid UTF-8", "[\"\xC0\xAF\"]", 3, "Invalid encoding in string.");
        fault("a NUL byte", QByteArray("[\"x\0\"]", 6), 4,
            "Missing a closing quotation mark in string.");
        // Past the first 16 bytes of the text, where a vectorised reader works a block at a time.
        fault("a raw control character in a long text",
            "[\"0123456789abcdef0123456789abcdef0123456789\x1E\"]", 45,
            "Invalid escape character in string.");
        fault(
            "lines counted, columns in characters", "[\n1,\n\"\u00e9\",x]", 5, "Invalid value.", 3);
        fault("something after the document", "{} x", 4,
            "The document root must not be followed by other values.");
        fault("something after a NUL after the document", QByteArray("{}\0x", 4), 3,
            "The document root must not be followed by other values.");
        row("text bytes, at any depth, names aside", R"({"a":["\u00e9",{"b":"xy"}],"k":1})",
            "bytes", "4");
        row("nested 100,000 deep", QByteArray(100'000, '[') + QByteArray(100'000, ']'), "names",
            "session.json: the document must be an object");
    }

    void read()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, query);
        QFETCH(QString, expected);
        QCOMPARE(readJson(bytes, query), expected);
    }
};

QUORBEL_TEST_MAIN(SessionRulesTest, JsonReaderTest)
#include "tst_model.moc"
