#pragma once

#include <QString>
#include <QStringList>

// Scripts may hold a line of megabytes (the import takes up to 10,000,000 bytes of text, all in
// one line if need be). Laying out such a text at once stops the window for minutes, and a
// text layout of hundreds of megabytes crashes, so the window never gets one whole.

/// What a label that shows only the start of a text (a sidebar row, a title) is given: at most
/// `limit` characters, ending in "…" when the text is longer.
[[nodiscard]] QString glimpse(const QString &text, qsizetype limit);

/// `text` in consecutive pages of at most `length` characters, so that a view lays out only the
/// pages in sight. A page ends after a line break, else after a blank, in its second half where
/// there is one there, and never inside a character. Joined, the pages are the text.
[[nodiscard]] QStringList pages(const QString &text, qsizetype length);
