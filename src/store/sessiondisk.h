#pragma once

#include "error.h"
#include "files.h"
#include "json.h"
#include "records.h"

#include <QByteArray>
#include <QString>
#include <QUuid>

#include <functional>

/// Operations on a session folder. They keep nothing between calls.
namespace SessionDisk {

/// Writes the document of one session again and again, encoding only what changed since its
/// previous save: the encoded script and each line's takes are kept and reused while the
/// records they came from stay unchanged, so a save after a small change does not encode a
/// 10,000-line script anew. Held by whoever saves the same session after every change.
///
/// Unchanged is decided by identity, which is sound with Qt's implicitly shared containers: the
/// writer keeps its own copy of each list, and a list whose data is shared is never changed in
/// place; changing either copy gives it data of its own. So a list that still points at the
/// kept copy's data holds exactly what it held when its piece was encoded.
class SessionWriter
{
public:
    /// The document's bytes, as `SessionDisk::encode` gives them, handed to `sink` piece by
    /// piece as they are written. Throws SystemError as it does.
    void encode(const Session &session, const Json::Sink &sink);
    /// Writes folder/session.json atomically and durably, as `SessionDisk::save` does.
    void save(const Session &session, const QString &folder);

private:
    Script m_script;
    QByteArray m_scriptJson;
    QHash<QString, std::pair<QList<Take>, QByteArray>> m_takes; // line id → takes, their JSON
};

/// The session document's bytes: pretty-printed UTF-8, keys in code point order at every level,
/// '/' written as "\/", times as "YYYY-MM-DDTHH:MM:SSZ". Throws SystemError when the session
/// holds something JSON cannot carry (a duration that is not finite, text that is not Unicode).
[[nodiscard]] QByteArray encode(const Session &session);

/// The same bytes, handed to `sink` piece by piece as they are written.
void encode(const Session &session, const Json::Sink &sink);

/// Reads a session document (not yet validated). `fileName` starts every error message.
/// Throws SystemError naming the member at fault.
[[nodiscard]] Session decode(const QByteArray &bytes, const QString &fileName);

/// Writes folder/session.json atomically and durably; the old file survives any failure.
void save(const Session &session, const QString &folder);

/// Reads folder/session.json and returns it validated.
[[nodiscard]] Session load(const QString &folder);

/// Holds a session folder for this process, so that no second window opens it and saves over
/// what the first one saved: an advisory lock on the folder itself, which the system lets go
/// when the process ends, however it ends. Nothing is written into the folder for it, so a
/// read-only session, or a folder chosen by mistake, is left as it was.
class SessionLock
{
public:
    /// Locks `folder`. Throws AppError "This session is open in another Quorbel window." when
    /// another lock holds it, in this process or another, and SystemError when the folder
    /// cannot be opened. Where the file system keeps no locks, the folder is held unlocked.
    explicit SessionLock(const QString &folder);

    /// True when `folder` is the very folder this lock holds, whatever path leads to it.
    [[nodiscard]] bool holds(const QString &folder) const;

private:
    FileDescriptor m_folder;
};

/// The location of the session document inside `folder`.
[[nodiscard]] QString documentPath(const QString &folder);

/// Moves one file or folder, given by its absolute path, to the user's Trash; throws Error
/// when it cannot, leaving the item where it was.
using TrashFunction = std::function<void(const QString &path)>;

/// A new session on disk and where it lives.
struct Created
{
    Session session;
    QString folder;
};

/// Validates `script` and creates a session folder for it under `under` (created when missing):
/// the folder is named after the title ("Chapter 1: Intro!" → "Chapter-1-Intro--" and 8
/// hexadecimal digits), holds an empty "takes" folder and the first session.json.
[[nodiscard]] Created create(const Script &script, const QString &under);

/// The folder name `create` gives a script with `title`, for a given 8-digit suffix.
[[nodiscard]] QString folderName(const QString &title, QStringView suffix);

/// Removes one take, the one at `position` in the line's list, which must have the id `takeId`:
/// checks the session, writes a recovery copy of it under "Session Backups", writes the session
/// without the take, then moves the take's audio to the Trash unless another take names the
/// same file; when that move fails the old session.json is written back. Returns the session
/// without the take.
[[nodiscard]] Session deleteTake(const QString &takeId, qsizetype position, const QString &lineId,
    const Session &session, const QString &folder, const TrashFunction &trash);

/// Starts the script over: the same protocol as deleteTake, with a session of no takes and the
/// whole "takes" folder going to the Trash. Returns the fresh session.
[[nodiscard]] Session startOver(
    const Session &session, const QString &folder, const TrashFunction &trash);

/// How far an export has come: `done` of the `total` WAV files it writes are finished. Called
/// once with 0 before the first, then after each, one call at a time. Returning false cancels
/// the export before its next file (after the last one it changes nothing); the export then
/// throws ExportCancelled.
using ExportProgress = std::function<bool(int done, int total)>;

/// The error of an export that its progress cancelled: "Export incomplete: Export cancelled.",
/// which EXPORT-INCOMPLETE.txt says too. What was finished stays in the folder.
class ExportCancelled final : public Error
{
public:
    explicit ExportCancelled(QString description = QStringLiteral("Export cancelled."))
        : Error(std::move(description))
    {}
};

/// Builds a new export folder at `to` (its parent must exist, it must not, and it must lie
/// outside the session folder `from`): one WAV per line with a chosen take, named after the
/// line, recordings.json, script.json and README.txt. A take is copied only when it is a
/// regular file inside the takes folder, reached without following a symbolic link. On a
/// failure after the folder exists, EXPORT-INCOMPLETE.txt says why, and the error thrown says
/// "Export incomplete: " and the reason; a folder that cannot be made, or a session that fails
/// its checks, is reported as it is. Returns the number of WAV files copied. Audio is copied by
/// the file system, never through memory. `progress`, when given, is told how far it came and
/// may cancel it (see ExportProgress).
int exportTo(const Session &session, const QString &from, const QString &to,
    const ExportProgress &progress = {});

/// How many takes of the session, under any line id, have no audio at their file in `folder`:
/// nothing is there, or a symbolic link that leads nowhere.
[[nodiscard]] int missingAudioCount(const Session &session, const QString &folder);

/// A take file that no take of the session names: a crash, a full disk or a second window left
/// it behind.
struct Orphan
{
    QString line;
    /// Its id and file from its name, its length, created when the file was last written.
    Take take;
};

/// Frames and sample rate of the audio file at `path`; throws Error when it is no audio.
using MeasureFunction = std::function<std::pair<qint64, double>(const QString &path)>;

/// The orphans in folder/takes that opening the session files again, oldest first: regular
/// files, reached without a symbolic link, named as takes are named (`<line id>-<UUID>.wav`)
/// for a line of the script, that `measure` reads as audio long enough for a take
/// (takeDuration). Nothing else there is ever counted, and a takes folder that cannot be read
/// holds none.
[[nodiscard]] QList<Orphan> orphanedTakes(
    const Session &session, const QString &folder, const MeasureFunction &measure);

/// Where the audio of a take lives: its reference `file` ("takes/…") inside the session
/// `folder`.
[[nodiscard]] QString takePath(const QString &folder, const QString &file);

/// The name of a new export folder: "Quorbel-Export-" and the first 8 hexadecimal digits of
/// `uuid`, in capitals.
[[nodiscard]] QString exportFolderName(const QUuid &uuid);

/// True when a file or folder is at `path`.
[[nodiscard]] bool exists(const QString &path);

} // namespace SessionDisk
