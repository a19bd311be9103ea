#include "apperror.h"
#include "datetime.h"
#include "json.h"
#include "records.h"
#include "testmain.h"
#include "validation.h"

using namespace Qt::Literals::StringLiterals;

namespace {

ScriptLine line(const QString &id, const QString &text = u"Hello."_s)
{
    return {id, text, std::nullopt};
}

Script numbered(qsizetype count)
{
    Script script {u"Numbered"_s, {}};
    for (qsizetype i = 1; i <= count; ++i)
        script.lines.append(line(u"l%1"_s.arg(i)));
    return script;
}

using Takes = QHash<QString, QList<Take>>;

Session session(const Script &script, qint64 version = 1, qint64 index = 0, const Takes &takes = {},
    const QHash<QString, QString> &selected = {})
{
    return {version, script, index, takes, selected};
}

Take take(const QString &id, const QString &file = u"takes/a.wav"_s, double duration = 1)
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
        const Json::Document document(bytes, u"session.json"_s);
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

/// The rules a script and a session must keep, in the order they are checked, what a session's
/// takes add up to, and the times a session records.
class SessionRulesTest : public QObject
{
    Q_OBJECT

private slots:
    void validated_data()
    {
        QTest::addColumn<Session>("session");
        QTest::addColumn<QString>("message"); // empty: valid

        const QString count = u"A script must contain 1–10,000 lines."_s;
        const QString newer = u"This session needs a newer version of Quorbel."_s;
        const QString position = u"The saved line position is invalid."_s;
        const QString reference = u"The session contains an invalid recording reference."_s;
        const Script three = numbered(3);
        const auto lines = [](std::initializer_list<ScriptLine> lines) {
            return session({u"T"_s, lines});
        };
        const auto second = [&three](double duration) {
            return session(three, 1, 0, {{"l2", {take("ok"), take("t", "takes/a.wav", duration)}}});
        };
        const QList<std::tuple<const char *, Session, QString>> rows {
            {"a title of blanks and newlines, before the count", session({" \t\n\u2028", {}}),
                "Give the script a title."},
            {"no lines", session(numbered(0)), count},
            {"10,000 lines", session(numbered(10'000)), {}},
            {"10,001 lines", session(numbered(10'001)), count},
            {"a later line's id", lines({line("a"), line("b c")}),
                "Line IDs must use letters, numbers, hyphens or underscores (up to 100 "
                "characters): b c"},
            {"ids differing in case name the later one",
                lines({line("Intro"), line("other"), line("intro")}), "Duplicate line ID: intro"},
            {"the first offending line wins", lines({line("a", "\n"), line("b c")}),
                "Line a has no text."},
            {"text of blanks and a line separator", lines({line("x-1", " \u2028\t")}),
                "Line x-1 has no text."},
            {"version 2", session(three, 2), newer},
            {"version 0", session(three, 0), newer},
            {"the version before the script", session(numbered(0), 2), newer},
            {"the last line's index", session(three, 1, 2), {}},
            {"an index at the line count", session(three, 1, 3), position},
            {"a negative index", session(three, 1, -1), position},
            {"a selection naming no take", session(three, 1, 0, {}, {{"l1", "none"}}), {}},
            {"takes under an unknown key are kept", session(three, 1, 0, {{"gone", {take("t")}}}),
                {}},
            {"a bad take under an unknown key",
                session(three, 1, 0, {{"gone", {take("t", "takes/a b.wav")}}}), reference},
            {"a second take of 1e-9 s", second(1e-9), {}},
            {"a second take of 0 s", second(0), reference},
            {"a second take of -1 s", second(-1), reference},
            {"a second take of NaN s", second(qQNaN()), reference},
            {"a second take of infinite length", second(qInf()), reference},
        };
        for (const auto &[name, session, message] : rows)
            QTest::addRow("%s", name) << session << message;
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
            {"takes/line-1_A.wav", false, true}, {"takes/.wav", false, false},
            {"recordings/x.wav", false, false}, {"/takes/x.wav", false, false},
            {"takes/x.WAV", false, false}, {"takes/x.wav.tmp", false, false},
            {"takes/x.wav\n", false, false}};
        for (const QChar c : u"@[`{/:. \u00e9"_s)
            names += {{u"a%1b"_s.arg(c), false, false}, {u"takes/a%1b.wav"_s.arg(c), false, false}};
        for (const auto &[text, lineId, takeFile] : names)
            QTest::addRow("\"%s\"", qPrintable(QString(text).replace(u'\n', "\\n"_L1)))
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
        QVERIFY(
            ScriptLine({"a", "Caf\u00e9", "\u00c5"}) == ScriptLine({"a", "Cafe\u0301", "A\u030a"}));
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
        const Take *uut = session.chosen(u"l1"_s);
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
        // The fraction dropped, also before 1970; none after year 9999 or for an invalid time.
        for (const auto &[msecs, text] : std::initializer_list<std::pair<qint64, QString>> {
                 {1796555109999, "2026-12-06T11:05:09Z"}, {-500, "1969-12-31T23:59:59Z"},
                 {-62135596800000, "0001-01-01T00:00:00Z"}, {253402300800000, "none"}}) {
            const auto formatted
                = formatInternetDateTime(QDateTime::fromMSecsSinceEpoch(msecs, Qt::UTC));
            QCOMPARE(formatted ? QString::fromUtf16(formatted->data(), 20) : "none", text);
        }
        QVERIFY(!formatInternetDateTime(QDateTime()));
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

        const auto of = [](const char *path, const char *problem) {
            return u"session.json: \"%1\" %2"_s.arg(path, problem);
        };
        // A document the reader refuses, and where: the column counted in characters.
        const auto at = [](int column, const char *what, int line = 1) {
            return u"session.json, line %1, column %2: %3"_s.arg(line).arg(column).arg(what);
        };
        const char *integer = "must be an integer";
        const char *twice = "appears more than once";
        const char *after = "The document root must not be followed by other values.";
        QByteArray seventeen = "{";
        for (int i = 0; i < 17; ++i)
            seventeen += "\"m" + QByteArray::number(i) + "\":0,";
        const QList<std::tuple<QByteArray, const char *, QString>> rows {
            {"{}", "integer version", of("version", "is missing")},
            {R"({"t":[{}]})", "date t.0.c", of("t[0].c", "is missing")},
            {"[]", "names", "session.json: the document must be an object"},
            {R"({"a":{}})", "array a", of("a", "must be an array")},
            {R"({"a":null})", "string a", of("a", "must be a string")},
            {R"({"a":7})", "optional a", of("a", "must be a string")},
            {R"({"a":"1"})", "number a", of("a", "must be a number")},
            {R"({"t":"2026-12-06T11:05:09.5Z"})", "date t",
                of("t", "must be a date and time such as 2026-01-31T09:30:00Z")},
            // Numbers: whole ones in 64 bits are integers, 1.0 too; the rest are doubles, those
            // too small for one are zero, and those too big are refused.
            {R"({"n":"1"})", "integer n", of("n", integer)},
            {R"({"n":1.0})", "integer n", "1"},
            {R"({"n":1.0000000000000002})", "integer n", of("n", integer)},
            {R"({"n":-0e300})", "number n", "0"},
            {R"({"n":9223372036854775807})", "integer n", "9223372036854775807"},
            {R"({"n":9223372036854775808})", "integer n", of("n", integer)},
            {R"({"n":-1e19})", "integer n", of("n", integer)},
            {R"({"n":99999999999999999999})", "number n", "1e+20"},
            {R"({"n":1e-400})", "number n", "0"},
            {"[1e400]", "names", at(2, "Number too big to be stored in double.")},
            {R"({"a":1,"b":2,"a":3})", "names", of("a", twice)},
            {seventeen + R"("m3":1})", "names", of("m3", twice)},
            // A surrogate escape on its own is refused in the program's words where RapidJSON
            // lets it pass; U+FEFF is text inside a document and skipped before it.
            {R"({"s":"\ud7ff"})", "string s", u"\ud7ff"_s},
            {R"({"s":"\ud7ff\udc00"})", "string s", of("s", "holds an unpaired surrogate escape")},
            {R"({"\udc00":1})", "names",
                "session.json: a member name holds an unpaired surrogate escape"},
            {"{\"\uFEFFa\":1,\"a\":2}", "names", u"\uFEFFa,a"_s},
            {"\uFEFF[x]", "names", at(2, "Invalid value.")},
            {"[\"\xC0\xAF\"]", "names", at(3, "Invalid encoding in string.")},
            {QByteArray("[\"x\0\"]", 6), "names",
                at(4, "Missing a closing quotation mark in string.")},
            // Past the first 16 bytes, where a vectorised reader works a block at a time.
            {"[\"0123456789abcdef0123456789abcdef0123456789\x1E\"]", "names",
                at(45, "Invalid escape character in string.")},
            {"[\n1,\n\"\u00e9\",x]", "names", at(5, "Invalid value.", 3)},
            {"{} x", "names", at(4, after)},
            {QByteArray("{}\0x", 4), "names", at(3, after)},
            {R"({"a":["\u00e9",{"b":"xy"}],"k":1})", "bytes", "4"},
            {QByteArray(100'000, '[') + QByteArray(100'000, ']'), "names",
                "session.json: the document must be an object"},
        };
        for (const auto &[bytes, query, expected] : rows)
            QTest::addRow("%s %s", query, bytes.left(60).constData())
                << bytes << QString::fromLatin1(query) << expected;
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
