// bench-import: times importing a CSV script just under the size limit (10,000 rows of long
// multilingual prose), and compares it with Python's csv module merely splitting the same file.

#include "benchsupport.h"
#include "scriptimport.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>

namespace {

constexpr qsizetype rowCount = 10'000;

/// Reads the file with Python's csv module `runs` times and prints the median in milliseconds,
/// the number of rows and Python's version.
constexpr char pythonCode[] = R"(import csv, statistics, sys, time
path, runs = sys.argv[1], int(sys.argv[2])
times = []
for _ in range(runs):
    start = time.perf_counter()
    with open(path, newline='', encoding='utf-8') as f:
        rows = list(csv.reader(f))
    times.append((time.perf_counter() - start) * 1000)
print(statistics.median(times), len(rows), sys.version.split()[0])
)";

/// A cell in quotes, with its own quotes doubled.
QByteArray quoted(QString text)
{
    return '"' + text.replace(u'"', QStringLiteral("\"\"")).toUtf8() + '"';
}

/// A note cell, quoted only when it has to be.
QByteArray noteCell(const QString &note)
{
    return note.contains(u',') || note.contains(u'"') ? quoted(note) : note.toUtf8();
}

/// Rows of one size, the largest that keeps the file under the size limit. Every fifth text
/// holds a line feed.
QByteArray makeCsv()
{
    static const QString notes[] = {
        QStringLiteral("calm"),
        QStringLiteral("slow, warm"),
        QStringLiteral("whisper"),
        QStringLiteral("brighter"),
        QStringLiteral("ударение: утро"),
        QStringLiteral("\"smile\" here"),
        QStringLiteral("静かに"),
        QStringLiteral("pause after the comma"),
    };
    const QByteArray header = "id,text,note\n";
    const qsizetype rowBytes = (ScriptImport::maxScriptBytes - 1 - header.size()) / rowCount;
    // The UTF-8 size of text once quoted, without the enclosing quotes.
    const auto quotedSize
        = [](QStringView text) { return text.toUtf8().size() + text.count(u'"'); };

    Bench::Prose prose(20250314);
    QByteArray csv = header;
    csv.reserve(header.size() + rowCount * rowBytes);
    for (qsizetype i = 1; i <= rowCount; ++i) {
        const QByteArray id = QStringLiteral("a%1").arg(i, 5, 10, QLatin1Char('0')).toUtf8();
        const QByteArray note = noteCell(notes[i % qsizetype(std::size(notes))]);
        // Besides the cells: two commas, the text's two quotes and the line feed.
        const qsizetype textBytes = rowBytes - id.size() - note.size() - 5;
        QString text = prose.text(textBytes, quotedSize);
        text.append(QString(textBytes - quotedSize(text), u'.'));
        if (i % 5 == 0)
            text[text.indexOf(u' ', text.size() / 2)] = u'\n';
        csv += id + ',' + quoted(text) + ',' + note + '\n';
    }
    return csv;
}

/// Python's median in milliseconds, or a negative number when Python failed.
double pythonMedian(const QString &path)
{
    QProcess python;
    python.start(QStringLiteral("python3"),
        {QStringLiteral("-c"), QString::fromUtf8(pythonCode), path, QString::number(Bench::runs)});
    if (!python.waitForFinished(-1) || python.exitStatus() != QProcess::NormalExit
        || python.exitCode() != 0) {
        std::fprintf(stderr, "python3 failed: %s\n%s", qPrintable(python.errorString()),
            python.readAllStandardError().constData());
        return -1;
    }
    const QList<QByteArray> fields = python.readAllStandardOutput().trimmed().split(' ');
    bool ok = fields.size() == 3;
    const double median = ok ? fields[0].toDouble(&ok) : 0;
    if (!ok || fields[1].toLongLong() != rowCount + 1) {
        std::fprintf(stderr, "python3 did not report reading %lld rows\n", qint64(rowCount + 1));
        return -1;
    }
    std::printf("Python %s\n", fields[2].constData());
    return median;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    return Bench::guarded([] {
        const QTemporaryDir folder;
        if (!folder.isValid()) {
            std::fprintf(stderr, "Could not create a temporary folder: %s\n",
                qPrintable(folder.errorString()));
            return 1;
        }
        const QString path = folder.filePath(QStringLiteral("script.csv"));
        const QByteArray csv = makeCsv();
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(csv) != csv.size() || !file.flush()) {
            std::fprintf(stderr, "Could not write %s\n", qPrintable(path));
            return 1;
        }
        file.close();
        std::printf("CSV: %s, %lld rows, %lld bytes\n", qPrintable(path), qint64(rowCount),
            qint64(csv.size()));

        // One untimed import checks the result, and leaves the file in the page cache as
        // Python will find it.
        const qsizetype lines = ScriptImport::read(path).lines.size();
        if (lines != rowCount) {
            std::fprintf(
                stderr, "import gave %lld lines, not %lld\n", qint64(lines), qint64(rowCount));
            return 1;
        }
        QList<double> times;
        for (int run = 0; run < Bench::runs; ++run) {
            // Declared outside the timing, so freeing the script is not counted.
            Script script;
            times.append(Bench::milliseconds([&] { script = ScriptImport::read(path); }));
        }
        const double ours = Bench::median(times);
        std::printf(
            "import %lld rows: %.1f ms (median of %d)\n", qint64(rowCount), ours, Bench::runs);
        std::fflush(stdout);

        const double python = pythonMedian(path);
        if (python < 0)
            return 1;
        std::printf("python csv %lld rows: %.1f ms (median of %d)\n", qint64(rowCount), python,
            Bench::runs);
        std::printf("import/python: %.2f (target: our import faster than Python's parse "
                    "alone: %s)\n",
            ours / python, Bench::verdict(ours < python));
        return 0;
    });
}
