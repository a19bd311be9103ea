// The CSV tokenizer on any text. Beyond not crashing, two promises of its own: a carriage
// return, alone or before a line feed, reads exactly as a line feed, inside quotes too; and the
// rows it returns, written back with every cell quoted, read back as the very same rows.

#include "apperror.h"
#include "fuzzing.h"
#include "scriptimport.h"

using namespace Qt::Literals::StringLiterals;

/// The rows written back, every cell quoted, one row a line; or "!" and the message that ended
/// the tokenizing.
static QString outcome(QStringView text)
{
    try {
        QString quoted;
        for (const QStringList &row : ScriptImport::csv(text)) {
            QStringList cells;
            for (QString cell : row)
                cells += u'"' + cell.replace(u'"', "\"\""_L1) + u'"';
            quoted += cells.join(u',') + u'\n';
        }
        return quoted;
    } catch (const AppError &error) {
        return u'!' + error.description();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString result = outcome(text);
    Fuzz::check(outcome(QString(text).replace("\r\n"_L1, "\n"_L1).replace(u'\r', u'\n')) == result,
        "carriage returns read as line feeds");
    Fuzz::check(result.startsWith(u'!') || outcome(result) == result,
        "rows written back quoted read back the same");
    return 0;
}
