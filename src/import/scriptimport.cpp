#include "scriptimport.h"

#include "apperror.h"
#include "files.h"
#include "json.h"

#include <QFileInfo>
#include <QStringDecoder>

namespace ScriptImport {

static QString generatedId(qsizetype number)
{
    return QStringLiteral("line-%1").arg(number, 3, 10, QLatin1Char('0'));
}

static bool isNewline(QChar c)
{
    switch (c.unicode()) {
    case u'\n':
    case u'\r':
    case u'\v':
    case u'\f':
    case 0x85:
    case 0x2028:
    case 0x2029:
        return true;
    default:
        return false;
    }
}

// One line more than a script may hold already breaks the line-count rule, so no more are
// built: a 10 MB file of five million one-letter lines would otherwise take over a gigabyte of
// memory and seconds to be refused.
constexpr qsizetype maxBuiltLines = 10'001;

static QList<ScriptLine> linesFromText(QStringView text)
{
    QList<ScriptLine> lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= text.size() && lines.size() < maxBuiltLines; ++i) {
        if (i < text.size() && !isNewline(text[i]))
            continue;
        const QStringView piece = text.sliced(start, i - start).trimmed();
        if (!piece.isEmpty())
            lines.append({generatedId(lines.size() + 1), piece.toString(), {}});
        start = i + 1;
    }
    return lines;
}

static bool isBlankRow(const QStringList &row)
{
    return std::all_of(row.begin(), row.end(),
        [](const QString &cell) { return QStringView(cell).trimmed().isEmpty(); });
}

/// Tokenizes CSV text as csv() does, handing each row to `take` as soon as it ends, so that
/// the rows never all sit in memory at once. Throws AppError.
template<class F>
static void forEachCsvRow(QStringView text, F &&take);

static QList<ScriptLine> linesFromCsv(QStringView text)
{
    std::optional<QStringList> header;
    qsizetype textColumn = -1, idColumn = -1, noteColumn = -1;
    QList<ScriptLine> lines;
    qsizetype built = 0;
    // A fault in the rows is raised only once the whole text is tokenized: a quoting fault
    // anywhere in the file is reported before it, as when all rows are read first.
    std::optional<AppError> failure;

    forEachCsvRow(text, [&](QStringList &&row) {
        if (failure)
            return;
        if (!header) {
            header.emplace();
            for (const QString &cell : row)
                header->append(cell.trimmed().toLower());
            textColumn = header->indexOf(QLatin1String("text"));
            idColumn = header->indexOf(QLatin1String("id"));
            noteColumn = header->indexOf(QLatin1String("note"));
            if (textColumn < 0)
                failure = AppError(
                    QStringLiteral("CSV needs a text column, with optional id and note columns."));
            return;
        }
        if (isBlankRow(row))
            return;
        // Rows are numbered as the person sees them counted: the header is row 1 and blank
        // rows, which were skipped, do not count.
        if (row.size() != header->size()) {
            failure = AppError(
                QStringLiteral("CSV row %1 has the wrong number of columns.").arg(built + 2));
            return;
        }
        ++built;
        // Rows past the line limit are still checked for their columns, but not kept.
        if (lines.size() == maxBuiltLines)
            return;
        ScriptLine line {idColumn >= 0 ? std::move(row[idColumn]) : generatedId(built),
            std::move(row[textColumn]), std::nullopt};
        if (noteColumn >= 0)
            line.note = std::move(row[noteColumn]);
        lines.append(std::move(line));
    });

    if (!header)
        throw AppError(QStringLiteral("The CSV is empty."));
    if (failure)
        throw *failure;
    return lines;
}

Script read(const QString &path)
{
    const std::optional<QByteArray> bytes = readRegularFile(path, maxScriptBytes);
    if (!bytes)
        throw AppError(QStringLiteral("Scripts must be smaller than 10 MB."));

    const QFileInfo file(path);
    // A name that is all extension (".csv") is a hidden plain-text file by that name, not a CSV
    // script without a title.
    const QString extension
        = file.completeBaseName().isEmpty() ? QString() : file.suffix().toLower();
    if (extension == QLatin1String("json"))
        return validate(Json::readScript(Json::Document(*bytes, file.fileName()).root()));

    // The decoder drops one leading byte-order mark, and reports any byte sequence that is not
    // UTF-8: overlong forms, encoded surrogates and truncated characters alike. A NUL byte is
    // UTF-8 but no character of any text a person writes: a file holding them is UTF-16
    // without its mark, or not text at all, and would import as prompts of invisible garbage.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(*bytes);
    if (decoder.hasError() || bytes->contains('\0'))
        throw AppError(QStringLiteral("Save the script as UTF-8 text."));

    Script script;
    script.title = extension.isEmpty() && file.completeBaseName().isEmpty()
        ? file.fileName()
        : file.completeBaseName();
    script.lines = extension == QLatin1String("csv") ? linesFromCsv(text) : linesFromText(text);
    return validate(script);
}

QList<QStringList> csv(QStringView text)
{
    QList<QStringList> rows;
    forEachCsvRow(text, [&rows](QStringList &&row) { rows.append(std::move(row)); });
    return rows;
}

template<class F>
static void forEachCsvRow(QStringView text, F &&take)
{
    enum class State { Unquoted, Quoted, AfterQuote };
    static const auto malformed = [] {
        return AppError(QStringLiteral(
            "Malformed CSV quoting. Put text containing commas inside double quotes."));
    };

    QStringList row;
    QString cell;
    State state = State::Unquoted;
    const QChar *const begin = text.data();
    const QChar *const end = begin + text.size();

    auto endCell = [&] {
        row.append(std::exchange(cell, {}));
        state = State::Unquoted;
    };
    auto endRow = [&] {
        endCell();
        take(std::exchange(row, {}));
    };

    // A carriage return, alone or before a line feed, is a line feed, inside quotes too; the
    // pair counts once. Runs of ordinary characters are copied in one piece.
    for (const QChar *p = begin; p < end;) {
        const char16_t c = p->unicode();
        const bool lineEnd = c == u'\n' || c == u'\r';
        const qsizetype lineEndLength = (c == u'\r' && p + 1 < end && p[1] == u'\n') ? 2 : 1;
        switch (state) {
        case State::Unquoted:
        case State::AfterQuote:
            if (c == u',') {
                endCell();
                ++p;
            } else if (lineEnd) {
                endRow();
                p += lineEndLength;
            } else if (state == State::AfterQuote) {
                throw malformed();
            } else if (c == u'"') {
                if (!cell.isEmpty())
                    throw malformed();
                state = State::Quoted;
                ++p;
            } else {
                const QChar *run = p;
                while (run < end && *run != u',' && *run != u'\n' && *run != u'\r' && *run != u'"')
                    ++run;
                cell.append(p, run - p);
                p = run;
            }
            break;
        case State::Quoted:
            if (c == u'"') {
                if (p + 1 < end && p[1] == u'"') {
                    cell.append(u'"');
                    p += 2;
                } else {
                    state = State::AfterQuote;
                    ++p;
                }
            } else if (c == u'\r') {
                cell.append(u'\n');
                p += lineEndLength;
            } else {
                const QChar *run = p;
                while (run < end && *run != u'"' && *run != u'\r')
                    ++run;
                cell.append(p, run - p);
                p = run;
            }
            break;
        }
    }

    if (state == State::Quoted)
        throw AppError(QStringLiteral("The CSV has an unclosed quote."));
    if (!cell.isEmpty() || !row.isEmpty() || state == State::AfterQuote)
        endRow();
}

} // namespace ScriptImport
