// The CSV tokenizer on any text. Beyond not crashing, two promises of its own: a carriage
// return, alone or before a line feed, reads exactly as a line feed, inside quotes too; and the
// rows it returns, written back with every cell quoted, read back as the very same rows.

#include "apperror.h"
#include "fuzzing.h"
#include "scriptimport.h"

namespace {

/// The message that ended the tokenizing, or nothing with the rows in `rows`.
QString outcome(QStringView text, QList<QStringList> &rows)
{
    try {
        rows = ScriptImport::csv(text);
        return {};
    } catch (const AppError &error) {
        return error.description();
    }
}

QString quoted(const QList<QStringList> &rows)
{
    QString text;
    for (const QStringList &row : rows) {
        QStringList cells;
        for (QString cell : row)
            cells += u'"' + cell.replace(u'"', QLatin1String("\"\"")) + u'"';
        text += cells.join(u',') + u'\n';
    }
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    QList<QStringList> rows, rowsFromLineFeeds, again;
    const QString result = outcome(text, rows);

    const QString lineFeeds
        = QString(text).replace(QLatin1String("\r\n"), QLatin1String("\n")).replace(u'\r', u'\n');
    Fuzz::check(outcome(lineFeeds, rowsFromLineFeeds) == result && rowsFromLineFeeds == rows,
        "carriage returns read as line feeds");
    Fuzz::check(outcome(quoted(rows), again).isEmpty() && again == rows,
        "rows written back quoted read back the same");
    return 0;
}
