#include "apperror.h"
#include "json.h"
#include "scriptimport.h"
#include "testfiles.h"
#include "testmain.h"

#include <QTemporaryDir>

#include <sys/stat.h>

namespace {

const QString notUtf8 = QStringLiteral("!Save the script as UTF-8 text.");
const QString lineCount = QStringLiteral("!A script must contain 1–10,000 lines.");
const QString tooLarge = QStringLiteral("!Scripts must be smaller than 10 MB.");

/// Imports `path`: a short script as one line of JSON, a long one as its size and last line, or
/// "!" and the error; marked "wrote!" when the import changed anything in `folder`.
QString importResult(const QString &path, const QString &folder)
{
    const QMap<QString, QByteArray> before = folderSnapshot(folder);
    QString result;
    try {
        const Script script = ScriptImport::read(path);
        const auto json = Json::writeToBytes<Json::CompactWriter>(
            [&script](auto &writer, auto &) { return Json::writeScript(writer, script); });
        result = script.lines.size() > 3
            ? QStringLiteral("%1 lines, the last %2: %3")
                  .arg(script.lines.size())
                  .arg(script.lines.last().id, script.lines.last().text)
            : QString::fromUtf8(json.value_or("not Unicode")).replace(QLatin1String("\\/"), "/");
    } catch (const Error &error) {
        result = u'!' + error.description();
    }
    return folderSnapshot(folder) == before ? result : QStringLiteral("wrote! ") + result;
}

QByteArray numberedLines(
    int count, const QByteArray &before = "Line ", const QByteArray &after = "")
{
    QByteArray text;
    for (int i = 1; i <= count; ++i)
        text += before + QByteArray::number(i) + after + '\n';
    return text;
}

} // namespace

/// Script files as a person or another program leaves them: each is read as the person means
/// it, or refused with its exact message, and the import never writes anything. And the CSV
/// tokenizer beneath the CSV import.
class ScriptImportTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void tokenize_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QList<QStringList>>("rows");
        QTest::addColumn<QString>("error");

        using Rows = QList<QStringList>;
        const QString malformed = QStringLiteral(
            "Malformed CSV quoting. Put text containing commas inside double quotes.");
        const QString unclosed = QStringLiteral("The CSV has an unclosed quote.");
        auto row = [](const char *name, const QString &text, const Rows &rows,
                       const QString &error = {}) {
            QTest::addRow("%s", name) << text << rows << error;
        };
        row("empty text", "", {});
        row("plain rows", "a,b\nc,d", {{"a", "b"}, {"c", "d"}});
        row("final line feed adds no row", "a\n", {{"a"}});
        row("empty lines are rows of one empty cell", "\n\n", {{""}, {""}});
        row("trailing comma ends in an empty cell", "a,", {{"a", ""}});
        row("last line one empty quoted cell", "a\n\"\"", {{"a"}, {""}});
        row("CRLF and lone CR end rows", "a\r\nb\rc", {{"a"}, {"b"}, {"c"}});
        row("quoted commas, line ends and doubled quotes", "\"x, \"\"y\"\"\r\nz\r\",w\n",
            {{"x, \"y\"\nz\n", "w"}});
        row("blanks around unquoted cells are kept", " a , b ", {{" a ", " b "}});
        row("unicode line separators are ordinary characters", "a\u2028b,c\u0085",
            {{"a\u2028b", "c\u0085"}});
        row("quote inside an unquoted cell", "ab\"c", {}, malformed);
        row("blank before an opening quote", "a, \"b\"", {}, malformed);
        row("character after a closing quote", "\"a\"b", {}, malformed);
        row("blank after a closing quote", "\"a\" ,b", {}, malformed);
        row("unclosed quote", "a\n\"b,c\n", {}, unclosed);
        row("a lone quote at the end", "\"", {}, unclosed);
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

    void read_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("expected");

        auto row = [](const char *what, const char *name, const QByteArray &bytes,
                       const QString &expected) {
            QTest::addRow("%s", what) << name << bytes << expected;
        };
        row("text: blank lines, blanks, tabs, CRLF, trimmed", "Day one.draft.txt",
            "\r\n  First line \t\r\n\t \n\nSecond\n",
            R"({"lines":[{"id":"line-001","text":"First line"},{"id":"line-002","text":"Second"}],"title":"Day one.draft"})");
        row("text: every newline character splits", "n.md",
            "a\vb\fc\rd\xC2\x85"
            "e\xE2\x80\xA8"
            "f\xE2\x80\xA9g\xE2\x80\x83",
            "7 lines, the last line-007: g");
        row("text: byte-order mark removed, no extension", "prompts", "\xEF\xBB\xBFHello",
            R"({"lines":[{"id":"line-001","text":"Hello"}],"title":"prompts"})");
        row("text: a name that is all extension", ".csv", "a,b\n",
            R"({"lines":[{"id":"line-001","text":"a,b"}],"title":".csv"})");
        row("text: 10,000 lines", "many.txt", numberedLines(10'000),
            "10000 lines, the last line-10000: Line 10000");
        row("text: 10,001 lines", "many.txt", numberedLines(10'001), lineCount);
        row("text: an invalid byte", "bad.txt", "ok\n\xFF", notUtf8);
        row("text: a truncated character at the end", "bad.txt", "ab\xE2\x82", notUtf8);
        row("text: NUL bytes", "nul.txt", QByteArray("Hello\0world\n", 12), notUtf8);
        row("csv: a NUL byte in a cell", "nul.csv", QByteArray("text\nHel\0lo\n", 12), notUtf8);

        row("csv: header Text,Note in any case with blanks", "notes.CSV",
            "\xEF\xBB\xBF Text ,NOTE\r\nHello,\r\n\"Hi, you\",Softly\r\n",
            R"({"lines":[{"id":"line-001","note":"","text":"Hello"},{"id":"line-002","note":"Softly","text":"Hi, you"}],"title":"notes"})");
        row("csv: id column, cells as written, extra columns ignored", "s.csv",
            "extra,id,text\nz,a-1, spaced \n",
            R"({"lines":[{"id":"a-1","text":" spaced "}],"title":"s"})");
        row("csv: blank rows skipped, whatever their width", "s.csv", "text,note\n , \n\nHi,x\n",
            R"({"lines":[{"id":"line-001","note":"x","text":"Hi"}],"title":"s"})");
        row("csv: no text column", "s.csv", "id,note\na,b\n",
            "!CSV needs a text column, with optional id and note columns.");
        row("csv: empty", "s.csv", "", "!The CSV is empty.");
        row("csv: a short row, counted without the blank rows", "s.csv", "id,text\n\na,A\n\nb\n",
            "!CSV row 3 has the wrong number of columns.");
        row("csv: a quoting fault outranks an earlier short row", "s.csv", "text\na,b\n\"open\n",
            "!The CSV has an unclosed quote.");
        const QByteArray csvLines = "id,text\n" + numberedLines(10'001, "l", ",x");
        row("csv: 10,001 lines", "lines.csv", csvLines, lineCount);
        row("csv: a short row past the line limit still counts", "lines.csv", csvLines + "short\n",
            "!CSV row 10003 has the wrong number of columns.");
        row("csv: the script rules apply", "s.csv", "id,text\nIntro,A\nintro,B\n",
            "!Duplicate line ID: intro");

        row("json: title from the document, notes null, absent and given", "FILE.JSON",
            R"({"lines":[{"id":"a","text":"x\/y","note":null,"other":1},{"id":"b","text":"z"},{"id":"c","text":"w","note":"n"}],"title":"Real"})",
            R"({"lines":[{"id":"a","text":"x/y"},{"id":"b","text":"z"},{"id":"c","note":"n","text":"w"}],"title":"Real"})");
        row("json: the script rules apply", "s.json", R"({"title":" ","lines":[]})",
            "!Give the script a title.");
        row("json: the reader's errors name the file", "bad.json",
            "{\"title\":\"\xFF\",\"lines\":[]}",
            "!bad.json, line 1, column 11: Invalid encoding in string.");

        const QByteArray tenMillion = "x" + QByteArray(10'000'000 - 1, ' ');
        row("exactly 10,000,000 bytes", "big.txt", tenMillion,
            R"({"lines":[{"id":"line-001","text":"x"}],"title":"big"})");
        row("10,000,001 bytes", "big.txt", tenMillion + ' ', tooLarge);
    }

    void read()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, expected);
        QCOMPARE(importResult(writeFile(m_dir.filePath(name), bytes), m_dir.path()), expected);
    }

    void notRegularFiles_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("expected");

        const QString fifo = m_dir.filePath(QStringLiteral("pipe.csv"));
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        const QString folder = m_dir.filePath(QStringLiteral("folder.txt"));
        QVERIFY(QDir(m_dir.path()).mkdir(QStringLiteral("folder.txt")));
        const QString missing = m_dir.filePath(QStringLiteral("none.txt"));
        // Sparse: 4 GiB that take no room, and that a reader reading first would choke on.
        const QString huge = writeFile(m_dir.filePath(QStringLiteral("huge.csv")), {});
        QVERIFY(QFile::resize(huge, qint64(4) << 30));
        const QString notRead = QStringLiteral("!Could not read “%1”: %2");
        QTest::addRow("a FIFO") << fifo << notRead.arg(fifo, "Not a regular file");
        QTest::addRow("a folder") << folder << notRead.arg(folder, "Not a regular file");
        QTest::addRow("a device") << "/dev/zero" << notRead.arg("/dev/zero", "Not a regular file");
        QTest::addRow("missing") << missing << notRead.arg(missing, "No such file or directory");
        QTest::addRow("4 GiB, refused without reading it") << huge << tooLarge;
    }

    void notRegularFiles()
    {
        QFETCH(QString, path);
        QFETCH(QString, expected);
        QCOMPARE(importResult(path, m_dir.path()), expected);
    }

    void arcticFixtures()
    {
        const QString folder = QStringLiteral(QUORBEL_FIXTURES "/scripts/");
        const Script csv = ScriptImport::read(folder + "arctic.csv");
        const Script json = ScriptImport::read(folder + "arctic.json");
        const Script text = ScriptImport::read(folder + "arctic.txt");
        QCOMPARE(csv.lines.size(), 1132);
        QCOMPARE(csv.lines.first().id, QStringLiteral("arctic_a0001"));
        QCOMPARE(csv.lines.first().text,
            QStringLiteral("Author of the danger trail, Philip Steels, etc."));
        QVERIFY2(csv.lines == json.lines, "CSV and JSON hold the same prompts");
        QCOMPARE(text.lines.size(), 1132);
        QCOMPARE(text.lines.last().id, QStringLiteral("line-1132"));
        // The text import trims each line; the CSV keeps its cells as written.
        for (qsizetype i = 0; i < csv.lines.size(); ++i)
            QCOMPARE(text.lines[i].text, csv.lines[i].text.trimmed());
    }
};

QUORBEL_TEST_MAIN(ScriptImportTest)
#include "tst_import.moc"
