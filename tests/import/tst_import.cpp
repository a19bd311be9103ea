#include "error.h"
#include "json.h"
#include "scriptimport.h"
#include "testfiles.h"
#include "testmain.h"

#include <QFileInfo>
#include <QTemporaryDir>

#include <sys/stat.h>

using namespace Qt::Literals::StringLiterals;

namespace {

const QString notUtf8 = QStringLiteral("!Save the script as UTF-8 text.");
const QString lineCount = QStringLiteral("!A script must contain 1–10,000 lines.");
const QString tooLarge = QStringLiteral("!Scripts must be smaller than 10 MB.");

/// What the import makes of `bytes` in a file at `path`: a short script as one line of JSON, a
/// long one as its size and last line, or "!" and the error. With no path, the CSV tokenizer's
/// rows of them, each in brackets, cells between '|'. That an import writes nothing is a promise
/// its fuzz targets check.
QString outcome(const QString &path, const QByteArray &bytes)
{
    try {
        if (path.isEmpty()) {
            QString rows;
            for (const QStringList &row : ScriptImport::csv(QString::fromUtf8(bytes)))
                rows += u'[' + row.join(u'|') + u']';
            return rows;
        }
        const Script script = ScriptImport::read(path);
        const auto json = Json::writeToBytes<Json::CompactWriter>(
            [&script](auto &writer, auto &) { return Json::writeScript(writer, script); });
        return script.lines.size() > 3
            ? QStringLiteral("%1 lines, the last %2: %3")
                  .arg(script.lines.size())
                  .arg(script.lines.last().id, script.lines.last().text)
            : QString::fromUtf8(json.value_or("not Unicode")).replace("\\/"_L1, "/"_L1);
    } catch (const Error &error) {
        return u'!' + error.description();
    }
}

} // namespace

/// Script files as a person or another program leaves them, and the CSV tokenizer beneath the
/// CSV import: each is read as the person means it, or refused with its exact message.
class ScriptImportTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void read_data()
    {
        QTest::addColumn<QString>("name"); // a file's; empty: the tokenizer; absolute: as it is
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("expected");

        auto row = [](const char *what, const QString &name, const QByteArray &bytes,
                       const QString &expected) {
            QTest::addRow("%s", what) << name << bytes << expected;
        };
        // The CSV tokenizer alone.
        const QString malformed
            = u"!Malformed CSV quoting. Put text containing commas inside double quotes."_s;
        const QString unclosed = u"!The CSV has an unclosed quote."_s;
        row("cells: empty text", "", "", "");
        row("cells: plain rows", "", "a,b\nc,d", "[a|b][c|d]");
        row("cells: a final line feed adds no row", "", "a\n", "[a]");
        row("cells: empty lines are rows of one empty cell", "", "\n\n", "[][]");
        row("cells: a trailing comma ends in an empty cell", "", "a,", "[a|]");
        row("cells: the last line one empty quoted cell", "", "a\n\"\"", "[a][]");
        row("cells: quoted commas, line ends and doubled quotes", "", "\"x, \"\"y\"\"\r\nz\r\",w\n",
            "[x, \"y\"\nz\n|w]");
        row("cells: blanks around unquoted cells are kept", "", " a , b ", "[ a | b ]");
        row("cells: unicode line separators are ordinary characters", "", "a\u2028b,c\u0085",
            "[a\u2028b|c\u0085]");
        row("cells: a quote inside an unquoted cell", "", "ab\"c", malformed);
        row("cells: a blank before an opening quote", "", "a, \"b\"", malformed);
        row("cells: a character after a closing quote", "", "\"a\"b", malformed);
        row("cells: an unclosed quote", "", "a\n\"b,c\n", unclosed);
        row("cells: a lone quote at the end", "", "\"", unclosed);

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
        row("text: 10,001 lines", "many.txt", QByteArray("x\n").repeated(10'001), lineCount);
        row("text: an invalid byte", "bad.txt", "ok\n\xFF", notUtf8);
        row("text: a truncated character at the end", "bad.txt", "ab\xE2\x82", notUtf8);
        row("text: NUL bytes", "nul.txt", QByteArray("Hello\0world\n", 12), notUtf8);

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
            unclosed);
        const QByteArray csvLines = "text\n" + QByteArray("x\n").repeated(10'001);
        row("csv: 10,001 lines", "lines.csv", csvLines, lineCount);
        row("csv: a short row past the line limit still counts", "lines.csv", csvLines + "a,b\n",
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

        // Files that are not regular, or not there, given by their path: nothing is written.
        const QString fifo = m_dir.filePath(u"pipe.csv"_s);
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        const QString missing = m_dir.filePath(u"none.txt"_s);
        const QString notRead = u"!Could not read “%1”: %2"_s;
        row("a FIFO", fifo, {}, notRead.arg(fifo, "Not a regular file"));
        row("a device", "/dev/zero", {}, notRead.arg("/dev/zero", "Not a regular file"));
        row("missing", missing, {}, notRead.arg(missing, "No such file or directory"));
        // Sparse: 4 GiB that take no room, and that a reader reading first would choke on.
        const QString huge = writeFile(m_dir.filePath(u"huge.csv"_s), {});
        QVERIFY(QFile::resize(huge, qint64(4) << 30));
        row("4 GiB, refused without reading it", huge, {}, tooLarge);

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
        const bool given = name.isEmpty() || QFileInfo(name).isAbsolute();
        QCOMPARE(outcome(given ? name : writeFile(m_dir.filePath(name), bytes), bytes), expected);
    }
};

QUORBEL_TEST_MAIN(ScriptImportTest)
#include "tst_import.moc"
