// The CSV tokenizer on any text. Beyond not crashing, two promises of its own: a carriage
// return, alone or before a line feed, reads exactly as a line feed, inside quotes too; and the
// rows it returns, written back with every cell quoted, read back as the very same rows.

#include "apperror.h"
#include "fuzzing.h"
#include "scriptimport.h"

namespace {

/// The rows, or the message that ended the tokenizing.
QString outcome(QStringView text, QList<QStringList> *rows = nullptr)
{
    try {
        const QList<QStringList> result = ScriptImport::csv(text);
        if (rows)
            *rows = result;
        return QString::number(result.size());
    } catch (const AppError &error) {
        return error.description();
    }
}

QString quoted(const QList<QStringList> &rows)
{
    QString text;
    for (const QStringList &row : rows) {
        for (qsizetype i = 0; i < row.size(); ++i) {
            if (i > 0)
                text += u',';
            text += u'"' + QString(row[i]).replace(u'"', QLatin1String("\"\"")) + u'"';
        }
        text += u'\n';
    }
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    QList<QStringList> rows;
    const QString result = outcome(text, &rows);

    QString lineFeeds = text;
    lineFeeds.replace(QLatin1String("\r\n"), QLatin1String("\n")).replace(u'\r', u'\n');
    QList<QStringList> rowsFromLineFeeds;
    Fuzz::check(outcome(lineFeeds, &rowsFromLineFeeds) == result && rowsFromLineFeeds == rows,
        "carriage returns read as line feeds");

    QList<QStringList> again;
    Fuzz::check(outcome(quoted(rows), &again) == QString::number(rows.size()) && again == rows,
        "rows written back quoted read back the same");
    return 0;
}
