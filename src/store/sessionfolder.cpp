// Creating a session folder, and the two operations that take audio away from it.

#include "apperror.h"
#include "atomicfile.h"
#include "sessiondisk.h"
#include "validation.h"

#include <QDir>
#include <QFileInfo>
#include <QUuid>

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
/// step can lose what the person recorded or how far they got.
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
    if (!QFileInfo::exists(item))
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

} // namespace

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

Session deleteTake(const QString &takeId, const QString &lineId, const Session &session,
    const QString &folder, const TrashFunction &trash)
{
    const QList<Take> takes = session.takes.value(lineId);
    const auto take = std::find_if(
        takes.cbegin(), takes.cend(), [&takeId](const Take &t) { return t.id == takeId; });
    if (take == takes.cend())
        throw AppError(QStringLiteral("That take is no longer available."));

    Session updated = session;
    QList<Take> &remaining = updated.takes[lineId];
    remaining.removeIf([&takeId](const Take &t) { return t.id == takeId; });
    if (remaining.isEmpty())
        updated.takes.remove(lineId);
    // The line then falls back to its newest remaining take; no other take is chosen for it.
    if (session.selected.contains(lineId) && session.selected.value(lineId) == takeId)
        updated.selected.remove(lineId);

    (void)session.validated();
    replaceThenTrash(session, updated, folder, takePath(folder, take->file), trash);
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
