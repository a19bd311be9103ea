#pragma once

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>

#include <optional>

/// One prompt of a script. Texts compare by canonical Unicode equivalence, so a line typed with
/// a precomposed "é" equals the same line typed with "e" and a combining accent.
struct ScriptLine
{
    QString id;
    QString text;
    std::optional<QString> note;

    friend bool operator==(const ScriptLine &, const ScriptLine &);
};

/// The ordered prompts the user reads aloud, under a title.
struct Script
{
    QString title;
    QList<ScriptLine> lines;

    /// The built-in two-line script that checks a microphone.
    [[nodiscard]] static const Script &recordingTest();

    friend bool operator==(const Script &, const Script &);
};

/// One recording of one line. `file` is relative to the session folder.
struct Take
{
    QString id;
    QString file;
    double duration = 0;
    QDateTime created;

    friend bool operator==(const Take &, const Take &);
};

/// The length of audio that makes a take: more than 0.1 s, for anything shorter holds nothing
/// a person said. Nothing for shorter audio, or a length that is no number (a file that
/// reports no sample rate), which session.json could not keep.
[[nodiscard]] std::optional<double> takeDuration(qint64 frames, double sampleRate);

/// The session document: the script, where the user is, and every take kept so far.
struct Session
{
    qint64 version = 1;
    Script script;
    qint64 index = 0;
    QHash<QString, QList<Take>> takes; ///< line id → takes, oldest first
    QHash<QString, QString> selected; ///< line id → the take id chosen for export

    /// Returns the session unchanged when it may be trusted; throws AppError otherwise.
    [[nodiscard]] Session validated() const;

    /// The take that stands for the line: the selected one, else the newest, else none.
    [[nodiscard]] const Take *chosen(const QString &lineId) const;
    /// How many lines of the script have a take, and so a chosen one.
    [[nodiscard]] int recordedCount() const;
    /// How many takes the session holds, under any line id.
    [[nodiscard]] qsizetype takeCount() const;

    friend bool operator==(const Session &, const Session &);
};

/// True when both texts are canonically equivalent Unicode.
[[nodiscard]] bool canonicallyEqual(const QString &a, const QString &b);
