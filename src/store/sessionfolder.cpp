// Creating a session folder, and the two operations that take audio away from it.

#include "apperror.h"
#include "atomicfile.h"
#include "sessiondisk.h"
#include "validation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <sys/file.h>
#include <sys/stat.h>

namespace SessionDisk {

namespace {

QString newUuid()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

bool isNameCharacter(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9')
        || u == u'_' || u == u'-';
}

/// Writes `updated` over `session` in `folder`, then moves `item` to the Trash. A recovery copy
/// of `session` is written first, and the old document is put back when the move fails, so no
/// step can lose what the person recorded or how far they got. No `item` moves nothing.
void replaceThenTrash(const Session &session, const Session &updated, const QString &folder,
    const QString &item, const TrashFunction &trash)
{
    const QString backup = QDir(folder).filePath(QStringLiteral("Session Backups/") + newUuid());
    createFolders(backup);
    // One writer for the three saves: the updated session shares all but one line with the
    // old one, so only that line is encoded again.
    SessionWriter writer;
    writer.save(session, backup);
    writer.save(updated, folder);
    if (item.isEmpty() || !QFileInfo::exists(item))
        return;
    try {
        trash(item);
    } catch (...) {
        try {
            writer.save(session, folder);
        } catch (const Error &restore) {
            throw AppError(QStringLiteral("The audio could not be moved and progress could not "
                                          "be restored. A recovery copy of session.json is in "
                                          "Session Backups. ")
                + restore.description());
        }
        throw;
    }
}

/// Tells one folder apart from every other, whatever path leads to it; nothing when there is
/// no folder there.
std::optional<std::pair<dev_t, ino_t>> identityOf(int fd)
{
    struct stat info
    {
    };
    if (::fstat(fd, &info) != 0)
        return std::nullopt;
    return std::pair(info.st_dev, info.st_ino);
}

} // namespace

SessionLock::SessionLock(const QString &folder)
    // Close-on-exec: a program started from here must not hold the session after we let go.
    : m_folder(::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
{
    if (m_folder.get() < 0)
        throw SystemError::io(u"open", folder, errno);
    int result;
    do {
        result = ::flock(m_folder.get(), LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0 && errno == EWOULDBLOCK)
        throw AppError(QStringLiteral("This session is open in another Quorbel window."));
}

bool SessionLock::holds(const QString &folder) const
{
    const FileDescriptor other(
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const auto identity = identityOf(other.get());
    return identity && identity == identityOf(m_folder.get());
}

QString folderName(const QString &title, QStringView suffix)
{
    // Every run of characters that a file name on any system could trip over becomes one "-".
    QString stem;
    bool inRun = false;
    for (const QChar c : title) {
        if (isNameCharacter(c))
            stem.append(c);
        else if (!inRun)
            stem.append(u'-');
        inRun = !isNameCharacter(c);
    }
    return stem.left(60) + u'-' + suffix.toString();
}

Created create(const Script &script, const QString &under)
{
    ScriptImport::validate(script);
    const QString folder = QDir::cleanPath(
        QDir(under).absoluteFilePath(folderName(script.title, newUuid().left(8))));
    createFolders(QDir(folder).filePath(QStringLiteral("takes")));
    const Session session {1, script, 0, {}, {}};
    save(session, folder);
    return {session, folder};
}

Session deleteTake(const QString &takeId, qsizetype position, const QString &lineId,
    const Session &session, const QString &folder, const TrashFunction &trash)
{
    // By position: session.json may hold two takes with one id, and only the one the person
    // chose may go.
    const QList<Take> takes = session.takes.value(lineId);
    if (position < 0 || position >= takes.size() || takes.at(position).id != takeId)
        throw AppError(QStringLiteral("That take is no longer available."));
    const Take take = takes.at(position);

    Session updated = session;
    QList<Take> &remaining = updated.takes[lineId];
    remaining.removeAt(position);
    if (remaining.isEmpty())
        updated.takes.remove(lineId);
    // The line then falls back to its newest remaining take; no other take is chosen for it.
    if (session.selected.contains(lineId) && session.selected.value(lineId) == takeId)
        updated.selected.remove(lineId);
    // A file that another take still names stays where it is: only the entry goes.
    const bool shared = std::any_of(
        updated.takes.cbegin(), updated.takes.cend(), [&take](const QList<Take> &list) {
            return std::any_of(list.cbegin(), list.cend(),
                [&take](const Take &other) { return other.file == take.file; });
        });

    (void)session.validated();
    replaceThenTrash(
        session, updated, folder, shared ? QString() : takePath(folder, take.file), trash);
    return updated;
}

Session startOver(const Session &session, const QString &folder, const TrashFunction &trash)
{
    const Session fresh {1, session.script, 0, {}, {}};
    (void)session.validated();
    replaceThenTrash(session, fresh, folder, QDir(folder).filePath(QStringLiteral("takes")), trash);
    return fresh;
}

} // namespace SessionDisk
