#pragma once

// A large session as people build them: long multilingual lines, notes on half of them, several
// takes on every line and a chosen take on every third.

#include "benchsupport.h"
#include "records.h"

#include <QDateTime>
#include <QUuid>

namespace Bench {

/// `lineCount` lines of about 120 characters, ids "line-00001" onwards.
inline Script makeScript(Prose &prose, qsizetype lineCount)
{
    const auto characters = [](QStringView text) { return text.size(); };
    Script script;
    script.title = QStringLiteral("Benchmark script");
    script.lines.reserve(lineCount);
    for (qsizetype i = 1; i <= lineCount; ++i) {
        ScriptLine line {QStringLiteral("line-%1").arg(i, 5, 10, QLatin1Char('0')),
            prose.text(120, characters), std::nullopt};
        if (i % 2 == 0)
            line.note = prose.text(40, characters);
        script.lines.append(std::move(line));
    }
    return script;
}

/// The script with `perLine` takes on every line and a chosen take on every third.
inline Session makeSession(const Script &script, int perLine, QRandomGenerator &random)
{
    const qint64 firstTake
        = QDateTime(QDate(2025, 3, 14), QTime(9, 30), Qt::UTC).toSecsSinceEpoch();
    Session session;
    session.script = script;
    session.takes.reserve(script.lines.size());
    qint64 taken = 0;
    for (qsizetype i = 0; i < script.lines.size(); ++i) {
        const QString &lineId = script.lines[i].id;
        QList<Take> &takes = session.takes[lineId];
        takes.reserve(perLine);
        for (int t = 0; t < perLine; ++t) {
            const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces);
            takes.append({id, QStringLiteral("takes/%1-%2.wav").arg(lineId, id),
                1.0 + 7.0 * random.generateDouble(),
                QDateTime::fromSecsSinceEpoch(firstTake + 47 * taken++, Qt::UTC)});
        }
        if (i % 3 == 0)
            session.selected.insert(lineId, takes[random.bounded(perLine)].id);
    }
    return session;
}

} // namespace Bench
