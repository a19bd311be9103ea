#include "records.h"

#include "apperror.h"
#include "validation.h"

#include <algorithm>
#include <cmath>

bool canonicallyEqual(const QString &a, const QString &b)
{
    if (a == b)
        return true;
    return a.normalized(QString::NormalizationForm_D) == b.normalized(QString::NormalizationForm_D);
}

static bool canonicallyEqual(const std::optional<QString> &a, const std::optional<QString> &b)
{
    return a.has_value() == b.has_value() && (!a || canonicallyEqual(*a, *b));
}

bool operator==(const ScriptLine &a, const ScriptLine &b)
{
    return canonicallyEqual(a.id, b.id) && canonicallyEqual(a.text, b.text)
        && canonicallyEqual(a.note, b.note);
}

bool operator==(const Script &a, const Script &b)
{
    return canonicallyEqual(a.title, b.title) && a.lines == b.lines;
}

bool operator==(const Take &a, const Take &b)
{
    return canonicallyEqual(a.id, b.id) && canonicallyEqual(a.file, b.file)
        && a.duration == b.duration && a.created == b.created;
}

bool operator==(const Session &a, const Session &b)
{
    return a.version == b.version && a.index == b.index && a.script == b.script
        && a.takes == b.takes && a.selected == b.selected;
}

const Script &Script::recordingTest()
{
    static const Script script {
        QStringLiteral("Recording test"),
        {
            {QStringLiteral("test-welcome"), QStringLiteral("Welcome. This is a recording test."),
                QStringLiteral("Record this line, then play it back to check your microphone.")},
            {QStringLiteral("test-ending"), QStringLiteral("Thank you for listening."),
                QStringLiteral(
                    "Try another take, delete a take, or start over from the session menu.")},
        },
    };
    return script;
}

Session Session::validated() const
{
    if (version != 1)
        throw AppError(QStringLiteral("This session needs a newer version of Quorbel."));
    (void)ScriptImport::validate(script);
    if (index < 0 || index >= script.lines.size())
        throw AppError(QStringLiteral("The saved line position is invalid."));
    // Keys need not name lines of the script: takes filed under an unknown key are kept, not
    // dropped, so nothing recorded is ever lost by a check.
    for (const QList<Take> &list : takes) {
        for (const Take &take : list) {
            if (!isValidTakeFile(take.file) || !std::isfinite(take.duration) || take.duration <= 0)
                throw AppError(
                    QStringLiteral("The session contains an invalid recording reference."));
        }
    }
    return *this;
}

int Session::recordedCount() const
{
    // A line has a chosen take exactly when its list of takes is not empty; asking that alone
    // spares the look-up of the selection.
    return int(
        std::count_if(script.lines.cbegin(), script.lines.cend(), [this](const ScriptLine &line) {
            const auto found = takes.constFind(line.id);
            return found != takes.cend() && !found->isEmpty();
        }));
}

std::optional<double> takeDuration(qint64 frames, double sampleRate)
{
    const double seconds = double(frames) / sampleRate;
    // A NaN compares false, so it is refused with the rest.
    if (!std::isfinite(seconds) || !(seconds > 0.1))
        return std::nullopt;
    return seconds;
}

qsizetype Session::takeCount() const
{
    qsizetype count = 0;
    for (const QList<Take> &list : takes)
        count += list.size();
    return count;
}

const Take *Session::chosen(const QString &lineId) const
{
    const auto list = takes.constFind(lineId);
    if (list == takes.cend() || list->isEmpty())
        return nullptr;
    const auto choice = selected.constFind(lineId);
    if (choice != selected.cend()) {
        for (const Take &take : *list) {
            if (take.id == *choice)
                return &take;
        }
    }
    return &list->constLast();
}
