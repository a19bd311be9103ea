#include "scriptimport.h"

#include "error.h"
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

static QList<ScriptLine> linesFromText(QStringView text)
{
    QList<ScriptLine> lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
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

static QList<ScriptLine> linesFromCsv(QStringView text)
{
    const QList<QStringList> rows = csv(text);
    if (rows.isEmpty())
        throw AppError(QStringLiteral("The CSV is empty."));

    QStringList header;
    for (const QString &cell : rows.first())
        header.append(cell.trimmed().toLower());
    const qsizetype textColumn = header.indexOf(QLatin1String("text"));
    if (textColumn < 0)
        throw AppError(
            QStringLiteral("CSV needs a text column, with optional id and note columns."));
    const qsizetype idColumn = header.indexOf(QLatin1String("id"));
    const qsizetype noteColumn = header.indexOf(QLatin1String("note"));

    QList<ScriptLine> lines;
    lines.reserve(rows.size() - 1);
    for (qsizetype r = 1; r < rows.size(); ++r) {
        const QStringList &row = rows[r];
        if (isBlankRow(row))
            continue;
        // Rows are numbered as the person sees them counted: the header is row 1 and blank
        // rows, which were skipped, do not count.
        if (row.size() != header.size())
            throw AppError(QStringLiteral("CSV row %1 has the wrong number of columns.")
                               .arg(lines.size() + 2));
        ScriptLine line {idColumn >= 0 ? row[idColumn] : generatedId(lines.size() + 1),
            row[textColumn], std::nullopt};
        if (noteColumn >= 0)
            line.note = row[noteColumn];
        lines.append(std::move(line));
    }
    return lines;
}

Script read(const QString &path)
{
    const std::optional<QByteArray> bytes = readRegularFile(path, maxScriptBytes);
    if (!bytes)
        throw AppError(QStringLiteral("Scripts must be smaller than 10 MB."));

    const QFileInfo file(path);
    const QString extension = file.suffix().toLower();
    if (extension == QLatin1String("json"))
        return validate(Json::readScript(Json::Document(*bytes, file.fileName()).root()));

    // The decoder drops one leading byte-order mark, and reports any byte sequence that is not
    // UTF-8: overlong forms, encoded surrogates and truncated characters alike.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(*bytes);
    if (decoder.hasError())
        throw AppError(QStringLiteral("Save the script as UTF-8 text."));

    Script script;
    script.title = file.completeBaseName();
    script.lines = extension == QLatin1String("csv") ? linesFromCsv(text) : linesFromText(text);
    return validate(script);
}

QList<QStringList> csv(QStringView text)
{
    enum class State { Unquoted, Quoted, AfterQuote };
    static const auto malformed = [] {
        return AppError(QStringLiteral(
            "Malformed CSV quoting. Put text containing commas inside double quotes."));
    };

    QList<QStringList> rows;
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
        rows.append(std::exchange(row, {}));
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
    return rows;
}

} // namespace ScriptImport
