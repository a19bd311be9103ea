#include "files.h"

#include "error.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

FileDescriptor::~FileDescriptor()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

int FileDescriptor::close()
{
    const int result = ::close(std::exchange(m_fd, -1));
    // Linux releases the descriptor even when close is interrupted; never retry.
    return result != 0 && errno == EINTR ? 0 : result;
}

std::optional<QByteArray> readRegularFile(const QString &path, qint64 limit)
{
    auto failure = [&path](int errnum) { return PlatformError::io(u"read", path, errnum); };

    // O_NONBLOCK: opening a FIFO with no writer would otherwise wait forever.
    const FileDescriptor file(
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (file.get() < 0)
        throw failure(errno);
    struct stat info
    {
    };
    if (::fstat(file.get(), &info) != 0)
        throw failure(errno);
    if (!S_ISREG(info.st_mode))
        throw PlatformError(QStringLiteral("Could not read “%1”: Not a regular file").arg(path));
    if (info.st_size > limit)
        return std::nullopt;

    // The size is a hint only: the file may grow or shrink while it is read. One byte beyond
    // the limit is enough to know it is too large.
    QByteArray bytes;
    bytes.resize(qsizetype(std::min<qint64>(info.st_size, limit) + 1));
    qsizetype used = 0;
    for (;;) {
        if (used == bytes.size()) {
            if (used > limit)
                return std::nullopt;
            bytes.resize(qsizetype(std::min<qint64>(qint64(used) * 2, limit + 1)));
        }
        const ssize_t n = ::read(file.get(), bytes.data() + used, size_t(bytes.size() - used));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw failure(errno);
        }
        if (n == 0)
            break;
        used += n;
    }
    if (used > limit)
        return std::nullopt;
    bytes.truncate(used);
    return bytes;
}

int writeAll(int fd, const char *data, qsizetype size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        // A regular file only writes nothing when it cannot take more: treat it as a full disk
        // rather than loop for ever.
        if (n == 0) {
            errno = ENOSPC;
            return -1;
        }
        data += n;
        size -= n;
    }
    return 0;
}

int flushToDisk(int fd)
{
    // F_FULLFSYNC asks the drive to write out its cache; some file systems refuse it.
#ifdef F_FULLFSYNC
    if (::fcntl(fd, F_FULLFSYNC) == 0)
        return 0;
#endif
    int result;
    do {
        result = ::fsync(fd);
    } while (result != 0 && errno == EINTR);
    return result;
}

int flushFolder(const QString &path)
{
    const FileDescriptor folder(
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return folder.get() < 0 ? -1 : flushToDisk(folder.get());
}
