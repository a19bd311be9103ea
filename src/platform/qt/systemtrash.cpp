#include "systemtrash.h"

#include "error.h"

#include <QByteArray>
#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>
#include <sys/stat.h>

#if defined(Q_OS_LINUX)
#    include <gio/gio.h>
#elif !defined(Q_OS_MACOS)
#    error "moveToSystemTrash knows the Trash of Linux and macOS only"
#endif

namespace {

SystemError failure(const QString &path, const QString &reason)
{
    return SystemError(QStringLiteral("Could not move “%1” to the Trash: %2").arg(path, reason));
}

/// Tells one item apart from every other, whatever path leads to it.
struct Identity
{
    dev_t device;
    ino_t inode;

    bool operator==(const Identity &) const = default;
};

std::optional<Identity> identityOf(const char *path)
{
    struct stat status = {};
    if (::lstat(path, &status) != 0)
        return std::nullopt;
    return Identity {status.st_dev, status.st_ino};
}

#ifdef Q_OS_LINUX

/// `path` with its folder resolved by the system. GIO tidies "." and ".." out of a path by its
/// text, which leads to another item when a folder on the way is a symbolic link; in a path
/// without links the text and the system agree.
QByteArray withFolderResolved(const QString &path, QByteArray local)
{
    while (local.size() > 1 && local.endsWith('/'))
        local.chop(1);
    const qsizetype slash = local.lastIndexOf('/');
    const std::unique_ptr<char, decltype(&std::free)> folder(
        ::realpath(local.left(qMax(slash, qsizetype(1))).constData(), nullptr), &std::free);
    if (!folder)
        throw failure(path, qt_error_string(errno));
    QByteArray resolved(folder.get());
    if (!resolved.endsWith('/'))
        resolved += '/';
    return resolved + local.sliced(slash + 1);
}

void trash(const QString &path, const QByteArray &local, Identity item)
{
    // GLib takes HOME and XDG_DATA_HOME as they are: a relative one puts the Trash inside
    // whatever folder the program happens to run in, where nobody would look for it.
    const QString dataFolder = QFile::decodeName(g_get_user_data_dir());
    if (!dataFolder.startsWith(u'/'))
        throw failure(path,
            QStringLiteral("The Trash folder “%1/Trash” is not an absolute path; HOME or "
                           "XDG_DATA_HOME is set wrongly")
                .arg(dataFolder));

    const std::unique_ptr<GFile, decltype(&g_object_unref)> file(
        g_file_new_for_path(withFolderResolved(path, local).constData()), &g_object_unref);
    if (identityOf(g_file_peek_path(file.get())) != item)
        throw failure(path,
            QStringLiteral("Its path leads to another item once symbolic links are followed"));

    GError *error = nullptr;
    if (!g_file_trash(file.get(), nullptr, &error)) {
        const std::unique_ptr<GError, decltype(&g_error_free)> owned(error, &g_error_free);
        throw failure(path, QString::fromUtf8(owned->message));
    }
}

#else

void trash(const QString &path, const QByteArray &, Identity)
{
    QFile file(path);
    if (!file.moveToTrash())
        throw failure(path, file.errorString());
}

#endif

} // namespace

void moveToSystemTrash(const QString &path)
{
    // A relative path would depend on the working folder, which nothing here controls.
    if (!path.startsWith(u'/'))
        throw failure(path, QStringLiteral("Not an absolute path"));
    const QByteArray local = QFile::encodeName(path);
    const std::optional<Identity> item = identityOf(local.constData());
    if (!item)
        throw failure(path, qt_error_string(errno));

    trash(path, local, *item);

    // On success the caller forgets the item, so success must mean it has really left its place.
    if (identityOf(local.constData()) == item)
        throw failure(
            path, QStringLiteral("The move was reported done, but the item is still in its place"));
}
