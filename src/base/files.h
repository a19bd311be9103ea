#pragma once

#include <QByteArray>
#include <QString>

#include <fcntl.h>
#include <optional>
#include <utility>

/// Owns an open file descriptor and closes it when it goes out of scope.
class FileDescriptor
{
public:
    explicit FileDescriptor(int fd = -1) : m_fd(fd) {}
    ~FileDescriptor();
    FileDescriptor(FileDescriptor &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    FileDescriptor &operator=(FileDescriptor &&other) noexcept;
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;

    [[nodiscard]] int get() const { return m_fd; }
    /// Gives up ownership: the caller closes the descriptor.
    [[nodiscard]] int release() { return std::exchange(m_fd, -1); }
    /// Closes now and reports the result (0, or -1 with errno): close is where some file
    /// systems (NFS, FUSE) report a write that did not reach the server.
    int close();

private:
    int m_fd;
};

/// A regular file open for reading, and its size when it was opened.
struct RegularFile
{
    FileDescriptor descriptor;
    qint64 size = 0;
};

/// Opens the file at `path` for reading; a relative path is taken inside the folder open as
/// `folder`, and `flags` may add O_NOFOLLOW. Only a regular file is accepted: a FIFO, a device
/// or a folder is refused without waiting on it, so a file that never ends cannot hang the
/// program. Throws SystemError "Could not <action>: <reason>", the action worded by the caller,
/// such as `read “/…/x”` (fileAction) — "Not a regular file" being the reason for the others.
[[nodiscard]] RegularFile openRegularFile(
    const QString &path, QStringView action, int folder = AT_FDCWD, int flags = 0);

/// Reads a whole regular file, but never more than `limit` bytes: nothing when the file holds
/// more. Opened as openRegularFile does; throws SystemError `Could not read “<path>”: …`.
[[nodiscard]] std::optional<QByteArray> readRegularFile(const QString &path, qint64 limit);

/// Writes all of `data` to `fd`, through short writes and interruptions. Returns 0, or -1 with
/// errno; a file that takes nothing more is a full disk (ENOSPC).
int writeAll(int fd, const char *data, qsizetype size);

/// Flushes the file to the storage device itself, not only to the system's cache (on macOS
/// fsync stops at the drive's cache). Returns 0, or -1 with errno.
int flushToDisk(int fd);

/// Flushes the data written so far to the disk, with the file's length but not necessarily its
/// other metadata: cheaper than flushToDisk while a file grows. Returns 0, or -1 with errno.
int flushData(int fd);

/// Flushes the folder at `path`, so that names just made or changed in it survive a power cut.
/// Returns 0, or -1 with errno.
int flushFolder(const QString &path);
