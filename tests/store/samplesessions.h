#pragma once

// The sessions that quorbel-test-saver writes, shared with SaveFaultTest, which encodes them
// itself to know the exact bytes each save must leave on disk.

#include "records.h"

#include <optional>

namespace SampleSessions {

/// What the folder holds before each save: small, and no takes yet.
inline Session before()
{
    return {1, Script::recordingTest(), 0, {}, {}};
}

/// The save under test: every part of the document differs from before(). Far more than fits
/// on a 64 KiB disk, and large enough (about 700 KiB) to be written in several pieces: 1,200
/// lines with three takes each.
inline Session big()
{
    Session session;
    session.script.title = QStringLiteral("Long read");
    for (int i = 0; i < 1200; ++i) {
        const QString id = QStringLiteral("line-%1").arg(i, 4, 10, QLatin1Char('0'));
        session.script.lines.append(
            {id, QStringLiteral("Sentence number %1 of the long read, spoken slowly.").arg(i), {}});
        QList<Take> &takes = session.takes[id];
        for (int t = 0; t < 3; ++t) {
            const QString take = QStringLiteral("%1_%2").arg(id).arg(t);
            takes.append({take, QStringLiteral("takes/%1.wav").arg(take), 1.5 + t,
                QDateTime(QDate(2024, 3, 4), QTime(9, 0).addSecs(i % 600 * 60), Qt::UTC)});
        }
    }
    session.index = 1199;
    session.selected.insert(QStringLiteral("line-0007"), QStringLiteral("line-0007_1"));
    return session;
}

/// The session quorbel-test-saver writes for its first argument.
inline std::optional<Session> named(QStringView name)
{
    if (name == u"old")
        return before();
    if (name == u"big")
        return big();
    return std::nullopt;
}

} // namespace SampleSessions
