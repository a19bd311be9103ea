#include "longtext.h"

namespace {

/// Where a cut at `at` would leave the halves of a surrogate pair apart, one unit earlier.
qsizetype wholeCharacters(const QString &text, qsizetype at)
{
    return at > 0 && text.at(at - 1).isHighSurrogate() ? at - 1 : at;
}

} // namespace

QString glimpse(const QString &text, qsizetype limit)
{
    if (text.size() <= limit)
        return text;
    return text.left(wholeCharacters(text, limit - 1)) + u'…';
}

QStringList pages(const QString &text, qsizetype length)
{
    QStringList pages;
    qsizetype at = 0;
    while (text.size() - at > length) {
        const QStringView secondHalf
            = QStringView(text).sliced(at + length / 2, length - length / 2);
        qsizetype end = secondHalf.lastIndexOf(u'\n');
        if (end < 0)
            end = secondHalf.lastIndexOf(u' ');
        end = end >= 0 ? at + length / 2 + end + 1 : wholeCharacters(text, at + length);
        pages.append(text.sliced(at, end - at));
        at = end;
    }
    pages.append(text.sliced(at));
    return pages;
}
