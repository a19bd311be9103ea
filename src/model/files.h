#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

/// Owns an open file descriptor and closes it when it goes out of scope.
class FileDescriptor
{
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor();
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;

    [[nodiscard]] int get() const { return m_fd; }
    /// Closes now and reports the result (0, or -1 with errno): close is where some file
    /// systems (NFS, FUSE) report a write that did not reach the server.
    int close();

private:
    int m_fd;
};

/// Reads a whole regular file, but never more than `limit` bytes: nothing when the file holds
/// more. A FIFO, a device or a directory is refused without waiting on it, so a file that never
/// ends cannot hang the program or fill its memory. Throws PlatformError naming the file.
[[nodiscard]] std::optional<QByteArray> readRegularFile(const QString &path, qint64 limit);

/// Writes all of `data` to `fd`, through short writes and interruptions. Returns 0, or -1 with
/// errno; a file that takes nothing more is a full disk (ENOSPC).
int writeAll(int fd, const char *data, qsizetype size);

/// Flushes the file to the storage device itself, not only to the system's cache (on macOS
/// fsync stops at the drive's cache). Returns 0, or -1 with errno.
int flushToDisk(int fd);

/// Flushes the folder at `path`, so that names just made or changed in it survive a power cut.
/// Returns 0, or -1 with errno.
int flushFolder(const QString &path);
