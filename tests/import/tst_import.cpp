#include "apperror.h"
#include "json.h"
#include "scriptimport.h"
#include "testfiles.h"
#include "testmain.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>

namespace {

const QString malformed
    = QStringLiteral("Malformed CSV quoting. Put text containing commas inside double quotes.");
const QString lineCount = QStringLiteral("A script must contain 1–10,000 lines.");
const QString notUtf8 = QStringLiteral("Save the script as UTF-8 text.");
const QString tooLarge = QStringLiteral("Scripts must be smaller than 10 MB.");

/// A script as one line of JSON, so a whole import result reads and compares at a glance.
QString compact(const Script &script)
{
    const auto json = Json::writeToBytes<Json::CompactWriter>(
        [&script](auto &writer, auto &) { return Json::writeScript(writer, script); });
    return QString::fromUtf8(json.value_or("not Unicode"))
        .replace(QLatin1String("\\/"), QLatin1String("/"));
}

/// Imports `path`: the script as compact JSON, or the error's description prefixed with "!".
QString importResult(const QString &path)
{
    try {
        return compact(ScriptImport::read(path));
    } catch (const Error &error) {
        return u'!' + error.description();
    }
}

/// Imports `path` as importResult() does, and says so in the result when the import changed
/// anything in `folder`, which no import may.
QString importWritingNothing(const QString &path, const QString &folder)
{
    const QMap<QString, QByteArray> before = folderSnapshot(folder);
    const QString result = importResult(path);
    return folderSnapshot(folder) == before ? result : QStringLiteral("wrote! ") + result;
}

QByteArray repeatedLines(int count)
{
    QByteArray text;
    for (int i = 1; i <= count; ++i)
        text += "Line number " + QByteArray::number(i) + '\n';
    return text;
}

} // namespace

class CsvTokenizerTest : public QObject
{
    Q_OBJECT

private slots:
    void tokenize_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QList<QStringList>>("rows");
        QTest::addColumn<QString>("error");

        using Rows = QList<QStringList>;
        QTest::addRow("empty text") << QString() << Rows() << QString();
        QTest::addRow("plain rows")
            << QStringLiteral("a,b\nc,d") << Rows {{"a", "b"}, {"c", "d"}} << QString();
        QTest::addRow("final line feed adds no row")
            << QStringLiteral("a\n") << Rows {{"a"}} << QString();
        QTest::addRow("empty lines are rows of one empty cell")
            << QStringLiteral("\n\n") << Rows {{""}, {""}} << QString();
        QTest::addRow("trailing comma ends in an empty cell")
            << QStringLiteral("a,") << Rows {{"a", ""}} << QString();
        QTest::addRow("last line one empty quoted cell")
            << QStringLiteral("a\n\"\"") << Rows {{"a"}, {""}} << QString();
        QTest::addRow("CRLF and lone CR end rows")
            << QStringLiteral("a\r\nb\rc") << Rows {{"a"}, {"b"}, {"c"}} << QString();
        QTest::addRow("quoted commas, line ends and doubled quotes")
            << QStringLiteral("\"x, \"\"y\"\"\r\nz\r\",w\n") << Rows {{"x, \"y\"\nz\n", "w"}}
            << QString();
        QTest::addRow("blanks around unquoted cells are kept")
            << QStringLiteral(" a , b ") << Rows {{" a ", " b "}} << QString();
        QTest::addRow("unicode line separators are ordinary characters")
            << QStringLiteral("a\u2028b,c\u0085") << Rows {{"a\u2028b", "c\u0085"}} << QString();
        QTest::addRow("quote inside an unquoted cell")
            << QStringLiteral("ab\"c") << Rows() << malformed;
        QTest::addRow("blank before an opening quote")
            << QStringLiteral("a, \"b\"") << Rows() << malformed;
        QTest::addRow("character after a closing quote")
            << QStringLiteral("\"a\"b") << Rows() << malformed;
        QTest::addRow("blank after a closing quote")
            << QStringLiteral("\"a\" ,b") << Rows() << malformed;
        QTest::addRow("unclosed quote") << QStringLiteral("a\n\"b,c\n") << Rows()
                                        << QStringLiteral("The CSV has an unclosed quote.");
        QTest::addRow("a lone quote at the end")
            << QStringLiteral("\"") << Rows() << QStringLiteral("The CSV has an unclosed quote.");
    }

    void tokenize()
    {
        QFETCH(QString, text);
        QFETCH(QList<QStringList>, rows);
        QFETCH(QString, error);
        try {
            QCOMPARE(ScriptImport::csv(text), rows);
            QCOMPARE(QString(), error);
        } catch (const AppError &e) {
            QCOMPARE(e.description(), error);
        }
    }
};

class ScriptImportTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString write(const QString &name, const QByteArray &bytes)
    {
        const QString path = m_dir.filePath(name);
        writeFile(path, bytes);
        return path;
    }

private slots:
    void read_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("expected");

        QTest::addRow("text: blank lines, blanks, tabs, CRLF, trimmed")
            << "Day one.txt" << QByteArray("\r\n  First line \t\r\n\t \n\nSecond\n")
            << R"({"lines":[{"id":"line-001","text":"First line"},{"id":"line-002","text":"Second"}],"title":"Day one"})";
        QTest::addRow("text: every newline character splits")
            << "n.md"
            << QByteArray("a\vb\fc\rd\xC2\x85"
                          "e\xE2\x80\xA8"
                          "f\xE2\x80\xA9g\xE2\x80\x83")
            << R"({"lines":[{"id":"line-001","text":"a"},{"id":"line-002","text":"b"},{"id":"line-003","text":"c"},{"id":"line-004","text":"d"},{"id":"line-005","text":"e"},{"id":"line-006","text":"f"},{"id":"line-007","text":"g"}],"title":"n"})";
        QTest::addRow("text: byte-order mark removed, no extension")
            << "prompts" << QByteArray("\xEF\xBB\xBFHello")
            << R"({"lines":[{"id":"line-001","text":"Hello"}],"title":"prompts"})";
        QTest::addRow("text: only blanks") << "e.txt" << QByteArray(" \n\t\n") << u'!' + lineCount;
        for (const auto &[what, bytes] :
            std::initializer_list<std::pair<const char *, QByteArray>> {
                {"invalid byte", "ok\n\xFF"}, {"overlong slash", "\xC0\xAF"},
                {"encoded surrogate", "\xED\xA0\x80"}, {"truncated character", "ab\xE2\x82"},
                {"UTF-16 with its mark",
                    QByteArray("\xFF\xFE"
                               "a\0",
                        4)}}) {
            QTest::addRow("text: %s", what) << "bad.txt" << bytes << u'!' + notUtf8;
            QTest::addRow("csv: %s", what) << "bad.csv"
                                           << "text\n" + bytes << u'!' + notUtf8;
        }
        QTest::addRow("json: invalid UTF-8 goes to the JSON reader")
            << "bad.json" << QByteArray("{\"title\":\"\xFF\",\"lines\":[]}")
            << "!bad.json, line 1, column 11: Invalid encoding in string.";

        QTest::addRow("csv: header Text,Note in any case with blanks")
            << "notes.CSV"
            << QByteArray("\xEF\xBB\xBF Text ,NOTE\r\nHello,\r\n\"Hi, you\",Softly\r\n")
            << R"({"lines":[{"id":"line-001","note":"","text":"Hello"},{"id":"line-002","note":"Softly","text":"Hi, you"}],"title":"notes"})";
        QTest::addRow("csv: id column, cells as written, extra columns ignored")
            << "s.csv" << QByteArray("extra,id,text\nz,a-1, spaced \n")
            << R"({"lines":[{"id":"a-1","text":" spaced "}],"title":"s"})";
        QTest::addRow("csv: blank rows skipped, whatever their width")
            << "s.csv" << QByteArray("text,note\n , \n\nHi,x\n")
            << R"({"lines":[{"id":"line-001","note":"x","text":"Hi"}],"title":"s"})";
        QTest::addRow("csv: no text column")
            << "s.csv" << QByteArray("id,note\na,b\n")
            << "!CSV needs a text column, with optional id and note columns.";
        QTest::addRow("csv: empty") << "s.csv" << QByteArray() << "!The CSV is empty.";
        QTest::addRow("csv: header only") << "s.csv" << QByteArray("text\n") << u'!' + lineCount;
        QTest::addRow("csv: third row short") << "s.csv" << QByteArray("id,text\na,A\nb\n")
                                              << "!CSV row 3 has the wrong number of columns.";
        QTest::addRow("csv: blank rows do not count")
            << "s.csv" << QByteArray("id,text\n\na,A\n\nb\n")
            << "!CSV row 3 has the wrong number of columns.";
        QTest::addRow("csv: empty id")
            << "s.csv" << QByteArray("id,text\n,Hello\n") << u'!' + formMessage();
        QTest::addRow("csv: id with a line feed from a quoted cell")
            << "s.csv" << QByteArray("id,text\n\"abc\n\",Hello\n")
            << u'!' + formMessage() + "abc\n";
        QTest::addRow("csv: text of blanks")
            << "s.csv" << QByteArray("id,text\na,\"  \"\n") << "!Line a has no text.";
        QTest::addRow("csv: malformed quoting")
            << "s.csv" << QByteArray("text\nab\"c\n") << u'!' + malformed;

        QTest::addRow("json: title from the document, null note absent")
            << "FILE.JSON"
            << QByteArray(
                   R"({"lines":[{"id":"a","text":"x\/y","note":null,"other":1}],"title":"Real"})")
            << R"({"lines":[{"id":"a","text":"x/y"}],"title":"Real"})";
        QTest::addRow("json: blank title")
            << "s.json" << QByteArray(R"({"title":" ","lines":[]})") << "!Give the script a title.";
        QTest::addRow("json: lines missing")
            << "s.json" << QByteArray(R"({"title":"T"})") << R"(!s.json: "lines" is missing)";
        QTest::addRow("json: text of the wrong type")
            << "s.json" << QByteArray(R"({"title":"T","lines":[{"id":"a","text":1}]})")
            << R"(!s.json: "lines[0].text" must be a string)";
        QTest::addRow("json: member given twice")
            << "s.json" << QByteArray(R"({"title":"T","lines":[{"id":"a","text":"x","id":"b"}]})")
            << R"(!s.json: "lines[0].id" appears more than once)";
        QTest::addRow("json: lone high surrogate")
            << "s.json" << QByteArray(R"({"title":"\ud800","lines":[]})")
            << "!s.json, line 1, column 11: The surrogate pair in string is invalid.";
        QTest::addRow("json: lone low surrogate")
            << "s.json" << QByteArray(R"({"title":"\udc00","lines":[]})")
            << R"(!s.json: "title" holds an unpaired surrogate escape)";
        QTest::addRow("json: nested 100,000 deep")
            << "s.json" << QByteArray(100'000, '[') + QByteArray(100'000, ']')
            << "!s.json: the document must be an object";
        QTest::addRow("json: not closed")
            << "s.json" << QByteArray("{\n  \"title\": \"T\",\n")
            << "!s.json, line 3, column 1: Missing a name for object member.";
        QTest::addRow("json: something after the document")
            << "s.json" << QByteArray(R"({"title":"T","lines":[{"id":"a","text":"x"}]} x)")
            << "!s.json, line 1, column 47: The document root must not be followed by other "
               "values.";
    }

    void read()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, expected);
        QCOMPARE(importWritingNothing(write(name, bytes), m_dir.path()), expected);
    }

    void limits_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("expected");

        QByteArray exactly = "x" + QByteArray(10'000'000 - 1, ' ');
        QTest::addRow("exactly 10,000,000 bytes")
            << exactly << R"({"lines":[{"id":"line-001","text":"x"}],"title":"big"})";
        QTest::addRow("10,000,001 bytes") << exactly + ' ' << u'!' + tooLarge;
        QTest::addRow("10,001 lines") << repeatedLines(10'001) << u'!' + lineCount;
    }

    void limits()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, expected);
        QCOMPARE(
            importWritingNothing(write(QStringLiteral("big.txt"), bytes), m_dir.path()), expected);
    }

    void aHugeFileIsRefusedWithoutReadingIt()
    {
        // Sparse: 4 GiB that take no room, and that a reader reading first would choke on.
        const QString path = write(QStringLiteral("huge.csv"), QByteArray());
        QVERIFY(QFile::resize(path, qint64(4) << 30));
        QCOMPARE(importResult(path), u'!' + tooLarge);
    }

    void tenThousandLines()
    {
        const Script script
            = ScriptImport::read(write(QStringLiteral("many.txt"), repeatedLines(10'000)));
        QCOMPARE(script.lines.size(), 10'000);
        QCOMPARE(script.lines.last().id, QStringLiteral("line-10000"));
        QCOMPARE(script.lines[41].id, QStringLiteral("line-042"));
    }

    void notRegularFiles_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("reason");

        const QString fifo = m_dir.filePath(QStringLiteral("pipe.csv"));
        if (::mkfifo(QFile::encodeName(fifo).constData(), 0600) != 0)
            qFatal("mkfifo failed");
        const QString jsonFifo = m_dir.filePath(QStringLiteral("pipe.json"));
        if (::mkfifo(QFile::encodeName(jsonFifo).constData(), 0600) != 0)
            qFatal("mkfifo failed");
        QDir(m_dir.path()).mkdir(QStringLiteral("folder.txt"));
        QDir(m_dir.path()).mkdir(QStringLiteral("folder.csv"));
        QTest::addRow("fifo") << fifo << QStringLiteral("Not a regular file");
        QTest::addRow("fifo as JSON") << jsonFifo << QStringLiteral("Not a regular file");
        QTest::addRow("directory as CSV")
            << m_dir.filePath(QStringLiteral("folder.csv")) << QStringLiteral("Not a regular file");
        QTest::addRow("device") << QStringLiteral("/dev/zero")
                                << QStringLiteral("Not a regular file");
        QTest::addRow("directory")
            << m_dir.filePath(QStringLiteral("folder.txt")) << QStringLiteral("Not a regular file");
        QTest::addRow("missing") << m_dir.filePath(QStringLiteral("none.txt"))
                                 << QStringLiteral("No such file or directory");
    }

    void notRegularFiles()
    {
        QFETCH(QString, path);
        QFETCH(QString, reason);
        QCOMPARE(importWritingNothing(path, m_dir.path()),
            QStringLiteral("!Could not read “%1”: %2").arg(path, reason));
    }

    void arcticFixtures()
    {
        const QString folder = QStringLiteral(QUORBEL_FIXTURES "/scripts/");
        const Script csv = ScriptImport::read(folder + "arctic.csv");
        const Script json = ScriptImport::read(folder + "arctic.json");
        const Script text = ScriptImport::read(folder + "arctic.txt");
        for (const Script *script : {&csv, &json, &text})
            QCOMPARE(script->lines.size(), 1132);
        QCOMPARE(csv.lines.first().id, QStringLiteral("arctic_a0001"));
        QCOMPARE(csv.lines.first().text,
            QStringLiteral("Author of the danger trail, Philip Steels, etc."));
        QVERIFY2(csv.lines == json.lines, "CSV and JSON hold the same prompts");
        QCOMPARE(text.lines.first().id, QStringLiteral("line-001"));
        QCOMPARE(text.lines.last().id, QStringLiteral("line-1132"));
        // The text import trims each line; the CSV keeps its cells as written.
        for (qsizetype i = 0; i < csv.lines.size(); ++i)
            QCOMPARE(text.lines[i].text, csv.lines[i].text.trimmed());
    }

private:
    static QString formMessage()
    {
        return QStringLiteral(
            "Line IDs must use letters, numbers, hyphens or underscores (up to 100 characters): ");
    }
};

/// Script files made to break the import, beyond the encodings, limits and non-files that
/// ScriptImportTest covers: each is refused with its exact message, or read as a person means
/// it, and never makes the import write anything.
class HostileScriptTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    /// A short account of a script, so rows of thousands of lines stay readable.
    static QString summary(const Script &script)
    {
        const ScriptLine &last = script.lines.last();
        return QStringLiteral("%1 lines, the last %2: %3")
            .arg(script.lines.size())
            .arg(last.id, QString(last.text).replace(u'\n', QLatin1String("\\n")));
    }

private slots:
    void read_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("expected"); // a summary of the script, or "!" and the error

        const QString jsonReader = QStringLiteral("!s.json, line 1, column %1: %2");
        QTest::addRow("text: NUL bytes")
            << "nul.txt" << QByteArray("Hello\0world\n", 12) << u'!' + notUtf8;
        QTest::addRow("text: UTF-16 without its mark")
            << "u16.txt" << QByteArray("H\0i\0\n\0", 6) << u'!' + notUtf8;
        QTest::addRow("csv: a NUL byte in a cell")
            << "nul.csv" << QByteArray("text\nHel\0lo\n", 12) << u'!' + notUtf8;
        QTest::addRow("json: a NUL byte in a string")
            << "s.json" << QByteArray("{\"title\":\"T\0\",\"lines\":[]}", 25)
            << jsonReader.arg(12).arg("Missing a closing quotation mark in string.");
        QTest::addRow("json: UTF-16 with its mark") << "s.json" << QByteArray("\xFF\xFE{\0}\0", 6)
                                                    << jsonReader.arg(1).arg("Invalid value.");
        QTest::addRow("json: an overlong slash in a string")
            << "s.json" << QByteArray("{\"title\":\"\xC0\xAF\",\"lines\":[]}")
            << jsonReader.arg(11).arg("Invalid encoding in string.");
        QTest::addRow("json: an encoded surrogate in a string")
            << "s.json" << QByteArray("{\"title\":\"\xED\xA0\x80\",\"lines\":[]}")
            << jsonReader.arg(11).arg("Invalid encoding in string.");

        QTest::addRow("text: CR-only line endings")
            << "mac.txt" << QByteArray("One\rTwo\r\rThree\r")
            << "3 lines, the last line-003: Three";
        QTest::addRow("csv: CR-only line endings, inside quotes too")
            << "mac.csv" << QByteArray("id,text\ra,One\r\rb,\"Two\rlines\"\r")
            << "2 lines, the last b: Two\\nlines";

        // Blank rows are skipped, so a file of them is read to its end as cheaply as any.
        const QByteArray csvOfTenMillion = "text\nx\n" + QByteArray(10'000'000 - 7, '\n');
        QTest::addRow("csv: exactly 10,000,000 bytes")
            << "big.csv" << csvOfTenMillion << "1 lines, the last line-001: x";
        QTest::addRow("csv: 10,000,001 bytes") << "big.csv" << csvOfTenMillion + '\n'
                                               << u'!' + tooLarge;
        const QByteArray jsonOfTenMillion
            = R"({"title":"T","lines":[{"id":"a","text":"x"}]})" + QByteArray(10'000'000 - 45, ' ');
        QTest::addRow("json: exactly 10,000,000 bytes")
            << "big.json" << jsonOfTenMillion << "1 lines, the last a: x";
        QTest::addRow("json: 10,000,001 bytes, refused before it is parsed")
            << "big.json" << jsonOfTenMillion + '{' << u'!' + tooLarge;

        QByteArray csvLines = "id,text\n";
        for (int i = 1; i <= 10'001; ++i)
            csvLines += 'l' + QByteArray::number(i) + ",x\n";
        QTest::addRow("csv: 10,000 lines")
            << "lines.csv" << csvLines.left(csvLines.lastIndexOf("l10001"))
            << "10000 lines, the last l10000: x";
        QTest::addRow("csv: 10,001 lines") << "lines.csv" << csvLines << u'!' + lineCount;
        QTest::addRow("csv: a short row past the line limit still counts")
            << "lines.csv" << csvLines + "short\n"
            << "!CSV row 10003 has the wrong number of columns.";
        QTest::addRow("text: five million one-letter lines")
            << "many.txt" << QByteArray("a\n").repeated(5'000'000) << u'!' + lineCount;
        QTest::addRow("csv: a quoting fault outranks an earlier short row")
            << "s.csv" << QByteArray("text\na,b\n\"open\n") << "!The CSV has an unclosed quote.";

        for (const char *id : {"../x", "a/b", "."}) {
            QTest::addRow("csv: line id %s", id) << "s.csv"
                                                 << "id,text\n" + QByteArray(id) + ",Hello\n"
                                                 << u'!' + formMessage() + QString::fromUtf8(id);
        }
        QTest::addRow("json: line id naming a path")
            << "s.json" << QByteArray(R"({"title":"T","lines":[{"id":"a/../../b","text":"x"}]})")
            << u'!' + formMessage() + "a/../../b";
        QTest::addRow("csv: ids differing only in case")
            << "s.csv" << QByteArray("id,text\nIntro,A\nintro,B\n") << "!Duplicate line ID: intro";
        QTest::addRow("json: a huge number where text belongs")
            << "s.json" << QByteArray(R"({"title":1e400,"lines":[]})")
            << jsonReader.arg(10).arg("Number too big to be stored in double.");
        QTest::addRow("json: title given twice")
            << "s.json" << QByteArray(R"({"title":"A","lines":[],"title":"B"})")
            << R"(!s.json: "title" appears more than once)";
        QTest::addRow("json: a line nested 100,000 deep") << "s.json"
                                                          << R"({"title":"T","lines":)"
                + QByteArray(100'000, '[') + QByteArray(100'000, ']')
                + '}' << R"(!s.json: "lines[0]" must be an object)";
    }

    void read()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, expected);
        const QString path = m_dir.filePath(name);
        writeFile(path, bytes);
        const QMap<QString, QByteArray> before = folderSnapshot(m_dir.path());
        QString result;
        try {
            result = summary(ScriptImport::read(path));
        } catch (const Error &error) {
            result = u'!' + error.description();
        }
        QCOMPARE(result, expected);
        QVERIFY2(folderSnapshot(m_dir.path()) == before, "an import writes nothing");
    }

private:
    static QString formMessage()
    {
        return QStringLiteral(
            "Line IDs must use letters, numbers, hyphens or underscores (up to 100 characters): ");
    }
};

QUORBEL_TEST_MAIN(CsvTokenizerTest, ScriptImportTest, HostileScriptTest)
#include "tst_import.moc"
