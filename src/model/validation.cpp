#include "validation.h"

#include "apperror.h"

#include <QSet>

static bool isAsciiLetterOrDigit(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9');
}

static bool isNameCharacter(QChar c)
{
    return isAsciiLetterOrDigit(c) || c == u'_' || c == u'-';
}

// Both checks walk the whole text by hand rather than through a regular expression: a '$'
// anchor also matches before a final line feed, and an id with a line break in it would name a
// take file that no later load accepts. Loading 30,000 takes also stays cheap this way.
bool isValidLineId(QStringView id)
{
    if (id.isEmpty() || id.size() > 100 || !isAsciiLetterOrDigit(id.front()))
        return false;
    return std::all_of(id.begin(), id.end(), isNameCharacter);
}

bool isValidTakeFile(QStringView file)
{
    static constexpr QStringView folder = u"takes/";
    static constexpr QStringView extension = u".wav";
    if (file.size() <= folder.size() + extension.size() || !file.startsWith(folder)
        || !file.endsWith(extension))
        return false;
    const QStringView name
        = file.sliced(folder.size(), file.size() - folder.size() - extension.size());
    return std::all_of(name.begin(), name.end(), isNameCharacter);
}

namespace ScriptImport {

const Script &validate(const Script &script)
{
    if (QStringView(script.title).trimmed().isEmpty())
        throw AppError(QStringLiteral("Give the script a title."));
    if (script.lines.isEmpty() || script.lines.size() > 10'000)
        throw AppError(QStringLiteral("A script must contain 1–10,000 lines."));

    QSet<QString> seen;
    seen.reserve(script.lines.size());
    for (const ScriptLine &line : script.lines) {
        if (!isValidLineId(line.id))
            throw AppError(QStringLiteral("Line IDs must use letters, numbers, hyphens or "
                                          "underscores (up to 100 characters): ")
                + line.id);
        // The form check above leaves only ASCII, so lower-casing is plain ASCII folding.
        const qsizetype before = seen.size();
        seen.insert(line.id.toLower());
        if (seen.size() == before)
            throw AppError(QStringLiteral("Duplicate line ID: ") + line.id);
        if (QStringView(line.text).trimmed().isEmpty())
            throw AppError(QStringLiteral("Line ") + line.id + QStringLiteral(" has no text."));
    }
    return script;
}

} // namespace ScriptImport
