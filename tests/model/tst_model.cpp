#include "datetime.h"
#include "apperror.h"
#include "records.h"
#include "testmain.h"
#include "validation.h"

#include <cmath>
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

/// The message validate() raises, or an empty text when the script passes.
QString validationMessage(const Script &script)
{
    try {
        const Script &result = ScriptImport::validate(script);
        if (&result != &script)
            return QStringLiteral("validate returned a different script");
        return {};
    } catch (const AppError &error) {
        return error.description();
    }
}

Take take(
    const QString &id, const QString &file = QStringLiteral("takes/a.wav"), double duration = 1.0)
{
    return {id, file, duration, QDateTime::fromSecsSinceEpoch(1'800'000'000, Qt::UTC)};
}

const QString formMessage = QStringLiteral(
    "Line IDs must use letters, numbers, hyphens or underscores (up to 100 characters): ");

} // namespace

class ScriptRulesTest : public QObject
{
    Q_OBJECT

private slots:
    void validate_data()
    {
        QTest::addColumn<Script>("script");
        QTest::addColumn<QString>("message");

        const QString count = QStringLiteral("A script must contain 1–10,000 lines.");
        QTest::addRow("title of blanks and newlines, before the count rule") << Script {
            QStringLiteral(" \t\n\u2028"), {}} << QStringLiteral("Give the script a title.");
        QTest::addRow("title of an ideographic space") << Script {
            QStringLiteral("\u3000"), {line("a")}} << QStringLiteral("Give the script a title.");
        QTest::addRow("no lines") << numbered(0) << count;
        QTest::addRow("one line") << numbered(1) << QString();
        QTest::addRow("10,000 lines") << numbered(10'000) << QString();
        QTest::addRow("10,001 lines") << numbered(10'001) << count;

        const auto single = [](const QString &id) {
            return Script {QStringLiteral("T"), {line(id)}};
        };
        QTest::addRow("id of 100 characters") << single(QString(100, u'a')) << QString();
        QTest::addRow("id of 101 characters")
            << single(QString(101, u'a')) << formMessage + QString(101, u'a');
        for (const QString &id :
            {QString(), QStringLiteral("_a"), QStringLiteral("-a"), QStringLiteral("a b"),
                QStringLiteral("a.b"), QStringLiteral("caf\u00e9"), QStringLiteral("abc\n"),
                QStringLiteral("../x"), QStringLiteral("a/b"), QStringLiteral(".")})
            QTest::addRow("id %s", qPrintable(QString(id).replace(u'\n', QLatin1String("\\n"))))
                << single(id) << formMessage + id;

        QTest::addRow("ids differing in case name the later one")
            << Script {QStringLiteral("T"), {line("Intro"), line("other"), line("intro")}}
            << QStringLiteral("Duplicate line ID: intro");
        QTest::addRow("a duplicate is reported before empty text") << Script {QStringLiteral("T"),
            {line("a"), line("A", QStringLiteral(" "))}} << QStringLiteral("Duplicate line ID: A");
        QTest::addRow("the first offending line in order wins")
            << Script {QStringLiteral("T"), {line("a", QStringLiteral("\n")), line("b c")}}
            << QStringLiteral("Line a has no text.");
        QTest::addRow("text of blanks and a line separator") << Script {QStringLiteral("T"),
            {line("x-1", QStringLiteral(" \u2028\t"))}} << QStringLiteral("Line x-1 has no text.");

        Script kept {QStringLiteral("  Padded  "), {line("a", QStringLiteral("  spaced  "))}};
        kept.lines.append({QStringLiteral("b"), QStringLiteral("b"), QString()});
        QTest::addRow("blanks are kept, empty notes pass") << kept << QString();
        QTest::addRow("the recording test") << Script::recordingTest() << QString();
    }

    void validate()
    {
        QFETCH(Script, script);
        QFETCH(QString, message);
        QCOMPARE(validationMessage(script), message);
    }

    void linesCompareByCanonicalEquivalence()
    {
        const ScriptLine composed {
            QStringLiteral("a"), QStringLiteral("Caf\u00e9"), QStringLiteral("\u00c5")};
        const ScriptLine decomposed {
            QStringLiteral("a"), QStringLiteral("Cafe\u0301"), QStringLiteral("A\u030a")};
        QVERIFY2(composed == decomposed, "canonically equivalent texts make equal lines");
        QVERIFY2(!(ScriptLine {"a", "x", std::nullopt} == ScriptLine {"a", "x", QString()}),
            "an absent note equals only an absent note");
        QVERIFY(!(ScriptLine {"a", "x", std::nullopt} == ScriptLine {"a", "y", std::nullopt}));
    }
};

class SessionRulesTest : public QObject
{
    Q_OBJECT

private slots:
    void validated_data()
    {
        QTest::addColumn<Session>("session");
        QTest::addColumn<QString>("message");

        const QString newer = QStringLiteral("This session needs a newer version of Quorbel.");
        const QString position = QStringLiteral("The saved line position is invalid.");
        const QString reference
            = QStringLiteral("The session contains an invalid recording reference.");
        const Session valid {1, numbered(3), 0, {}, {}};

        auto with = [&](auto change) {
            Session s = valid;
            change(s);
            return s;
        };
        QTest::addRow("valid") << valid << QString();
        QTest::addRow("version 2") << with([](Session &s) { s.version = 2; }) << newer;
        QTest::addRow("version 0") << with([](Session &s) { s.version = 0; }) << newer;
        QTest::addRow("version before script") << with([](Session &s) {
            s.version = 2;
            s.script.lines.clear();
        }) << newer;
        QTest::addRow("script rules apply") << with([](Session &s) { s.script.title.clear(); })
                                            << QStringLiteral("Give the script a title.");
        QTest::addRow("last line's index") << with([](Session &s) { s.index = 2; }) << QString();
        QTest::addRow("index at the line count")
            << with([](Session &s) { s.index = 3; }) << position;
        QTest::addRow("negative index") << with([](Session &s) { s.index = -1; }) << position;
        QTest::addRow("takes under an unknown key are kept")
            << with([](Session &s) { s.takes[QStringLiteral("gone")] = {take("t")}; }) << QString();
        QTest::addRow("selection naming no take") << with([](Session &s) {
            s.selected[QStringLiteral("l1")] = QStringLiteral("nothing");
        }) << QString();

        const double nan = std::numeric_limits<double>::quiet_NaN();
        const double inf = std::numeric_limits<double>::infinity();
        const QList<std::pair<QString, double>> takes {{"takes/line-1.wav", 0.5},
            {"takes/line 1.wav", 0.5}, {"takes/x.wav.tmp", 0.5}, {"recordings/x.wav", 0.5},
            {"takes/sub/x.wav", 0.5}, {"takes/A.WAV", 0.5}, {"takes/.wav", 0.5},
            {"takes/x.wav\n", 0.5}, {"takes/../x.wav", 0.5}, {"/takes/x.wav", 0.5},
            {"takes/x.wav", 0}, {"takes/x.wav", -1}, {"takes/x.wav", nan}, {"takes/x.wav", inf},
            {"takes/x.wav", 1e-9}};
        for (const auto &[file, duration] : takes) {
            const bool good = file == u"takes/line-1.wav" || duration == 1e-9;
            QTest::addRow("take %s for %g s",
                qPrintable(QString(file).replace(u'\n', QLatin1String("\\n"))), duration)
                << with([&](Session &s) {
                       s.takes[QStringLiteral("l2")] = {take("ok"), take("t", file, duration)};
                   })
                << (good ? QString() : reference);
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

    void chosen_data()
    {
        QTest::addColumn<QList<Take>>("takes");
        QTest::addColumn<QString>("selected");
        QTest::addColumn<QString>("expected");

        const QList<Take> three {take("t1"), take("t2"), take("t3")};
        QTest::addRow("no selection: the newest") << three << QString() << QStringLiteral("t3");
        QTest::addRow("the first selected")
            << three << QStringLiteral("t1") << QStringLiteral("t1");
        QTest::addRow("selection of a removed take")
            << three << QStringLiteral("t9") << QStringLiteral("t3");
        QTest::addRow("selection is case-sensitive")
            << three << QStringLiteral("T1") << QStringLiteral("t3");
        QTest::addRow("empty list") << QList<Take>() << QStringLiteral("t1") << QString();
    }

    void chosen()
    {
        QFETCH(QList<Take>, takes);
        QFETCH(QString, selected);
        QFETCH(QString, expected);

        Session uut {1, numbered(2), 0, {{QStringLiteral("l1"), takes}}, {}};
        if (!selected.isEmpty())
            uut.selected[QStringLiteral("l1")] = selected;
        const Take *result = uut.chosen(QStringLiteral("l1"));
        QCOMPARE(result ? result->id : QString(), expected);
        QVERIFY2(!uut.chosen(QStringLiteral("l2")), "a line without an entry has no chosen take");
    }
};

class DateTimeTest : public QObject
{
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<qint64>("seconds"); // -1: refused

        QTest::addRow("UTC") << QByteArray("2026-12-06T11:05:09Z") << qint64(1796555109);
        QTest::addRow("positive offset")
            << QByteArray("2026-12-06T13:05:09+02:00") << qint64(1796555109);
        QTest::addRow("negative offset")
            << QByteArray("2026-12-06T05:35:09-05:30") << qint64(1796555109);
        QTest::addRow("leap day") << QByteArray("2024-02-29T00:00:00Z") << qint64(1709164800);
        QTest::addRow("epoch") << QByteArray("1970-01-01T00:00:00Z") << qint64(0);
        QTest::addRow("first second of year 0")
            << QByteArray("0000-01-01T00:00:00Z") << qint64(-62167219200);
        QTest::addRow("last second of year 9999")
            << QByteArray("9999-12-31T23:59:59Z") << qint64(253402300799);
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

    void format_data()
    {
        QTest::addColumn<qint64>("msecs");
        QTest::addColumn<QString>("text");

        QTest::addRow("fraction dropped")
            << qint64(1796555109999) << QStringLiteral("2026-12-06T11:05:09Z");
        QTest::addRow("before 1970, towards the past")
            << qint64(-500) << QStringLiteral("1969-12-31T23:59:59Z");
        QTest::addRow("year 1") << qint64(-62135596800000)
                                << QStringLiteral("0001-01-01T00:00:00Z");
        QTest::addRow("year 10000 cannot be written") << qint64(253402300800000) << QString();
    }

    void format()
    {
        QFETCH(qint64, msecs);
        QFETCH(QString, text);
        const auto formatted
            = formatInternetDateTime(QDateTime::fromMSecsSinceEpoch(msecs, Qt::UTC));
        QCOMPARE(formatted ? QString::fromUtf16(formatted->data(), 20) : QString(), text);
        QVERIFY2(!formatInternetDateTime(QDateTime()), "an invalid time cannot be written");
    }
};

QUORBEL_TEST_MAIN(ScriptRulesTest, SessionRulesTest, DateTimeTest)
#include "tst_model.moc"
