#pragma once

// Fixed sessions shared by the fault tests and the quorbel-test-saver helper they run: the test
// encodes the same sessions itself to know the exact bytes each save must leave on disk.

#include "records.h"

#include <QDate>
#include <QDateTime>
#include <QTime>

#include <optional>

namespace SampleSessions {

inline QDateTime at(int day, int minute)
{
    return QDateTime(QDate(2024, 3, day), QTime(9, 0).addSecs(minute * 60), Qt::UTC);
}

/// What the folder holds before each save: small, and no takes yet.
inline Session before()
{
    Session session;
    session.script.title = QStringLiteral("Lighthouse");
    session.script.lines = {{QStringLiteral("l1"), QStringLiteral("The lamp is lit at dusk."), {}},
        {QStringLiteral("l2"), QStringLiteral("Fog rolls in."), {}}};
    return session;
}

/// The save under test: every part of the document differs from before().
inline Session after()
{
    Session session;
    session.script.title = QStringLiteral("Harbour voices");
    session.script.lines = {
        {QStringLiteral("h1"), QStringLiteral("Ropes creak against the pier."), {}},
        {QStringLiteral("h2"), QStringLiteral("Gulls argue over the nets."), QStringLiteral("Low")},
        {QStringLiteral("h3"), QStringLiteral("The ferry leaves at six."), {}}};
    session.index = 1;
    session.takes.insert(QStringLiteral("h1"),
        {{QStringLiteral("t1"), QStringLiteral("takes/h1_t1.wav"), 2.5, at(2, 0)},
            {QStringLiteral("t2"), QStringLiteral("takes/h1_t2.wav"), 2.25, at(2, 1)}});
    session.selected.insert(QStringLiteral("h1"), QStringLiteral("t1"));
    return session;
}

/// Far more than fits on a 64 KiB disk, and large enough (about 700 KiB) that a save may write
/// it in several pieces: 1,200 lines with three takes each.
inline Session big()
{
    Session session;
    session.script.title = QStringLiteral("Long read");
    for (int i = 0; i < 1200; ++i) {
        const QString id = QStringLiteral("line-%1").arg(i, 4, 10, QLatin1Char('0'));
        session.script.lines.append(
            {id, QStringLiteral("Sentence number %1 of the long read, spoken slowly.").arg(i), {}});
        QList<Take> takes;
        for (int t = 0; t < 3; ++t) {
            const QString take = QStringLiteral("%1_%2").arg(id).arg(t);
            takes.append({take, QStringLiteral("takes/%1.wav").arg(take), 1.5 + t, at(4, i % 600)});
        }
        session.takes.insert(id, takes);
    }
    session.index = 1199;
    return session;
}

/// The session quorbel-test-saver writes for its first argument.
inline std::optional<Session> named(QStringView name)
{
    if (name == u"old")
        return before();
    if (name == u"new")
        return after();
    if (name == u"big")
        return big();
    return std::nullopt;
}

} // namespace SampleSessions
