#pragma once

// The pieces every kind of export folder shares: where it may be made, how takes are read from
// the session without following a link, the index files, and the note an unfinished export
// leaves. SessionDisk::exportTo copies takes with them; the export profiles that convert the
// audio (src/exporting) write theirs with the same pieces, so both folders follow one set of
// rules.

#include "error.h"
#include "files.h"
#include "records.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace SessionDisk {

/// Checks `session` (every take a name inside its takes folder) and makes the new, empty
/// export folder `to`: its parent must exist, it must not, and it must lie outside the session
/// folder `from`. Throws AppError or SystemError, having written nothing.
void makeExportFolder(const Session &session, const QString &from, const QString &to);

/// The session's takes folder, opened once for the whole export without following a symbolic
/// link: a session folder received from someone else must not make the export read files from
/// anywhere else, such as the person's own documents.
class TakesFolder
{
public:
    explicit TakesFolder(const QString &session);

    /// The folder's descriptor; -1 with the reason in `error` when it cannot be opened. Throws
    /// AppError when it is a symbolic link. Opened by the first call: once that returned, the
    /// object only reads and may be shared between threads.
    int get();
    [[nodiscard]] int error() const { return m_error; }

    /// Opens the take `reference` ("takes/…") in the folder, and only there, for reading: a
    /// regular file reached without a symbolic link. Throws AppError for a link and SystemError
    /// "Could not <action>: …" otherwise.
    [[nodiscard]] RegularFile open(const QString &reference, QStringView action);

private:
    QString m_path;
    FileDescriptor m_fd;
    int m_error = 0;
};

/// One entry of recordings.json: the exported file ("" for a line without a take), the line's
/// id and text.
struct ExportRecord
{
    QString file;
    QString id;
    QString text;
};

/// README.txt: "<exported> of <lines> lines recorded.", the `format` line, "Missing: " and the
/// ids of the lines without a take, then the `notes` one a line.
[[nodiscard]] QByteArray exportReadme(int exported, qsizetype lines, const QString &format,
    const QStringList &missing, const QStringList &notes = {});

/// Writes recordings.json (the records in script order), script.json and README.txt into the
/// export folder `to`, each atomically. Throws SystemError.
void writeExportIndex(const QString &to, const QList<ExportRecord> &records, const Script &script,
    const QByteArray &readme);

/// Ends an export that `reason` stopped after its folder `to` was made: writes
/// EXPORT-INCOMPLETE.txt there saying "Export incomplete: " and the reason, and throws an error
/// saying the same, an ExportCancelled when the reason was one.
[[noreturn]] void abandonExport(const QString &to, const Error &reason);

} // namespace SessionDisk
