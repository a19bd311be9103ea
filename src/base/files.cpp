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

FileDescriptor &FileDescriptor::operator=(FileDescriptor &&other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

int FileDescriptor::close()
{
    const int result = ::close(std::exchange(m_fd, -1));
    // Linux releases the descriptor even when close is interrupted; never retry.
    return result != 0 && errno == EINTR ? 0 : result;
}

RegularFile openRegularFile(const QString &path, QStringView action, int folder, int flags)
{
    // O_NONBLOCK: opening a FIFO with no writer would otherwise wait forever.
    FileDescriptor file(::openat(folder, QFile::encodeName(path).constData(),
        O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | flags));
    struct stat info
    {
    };
    if (file.get() < 0 || ::fstat(file.get(), &info) != 0)
        throw SystemError::failed(action, qt_error_string(errno));
    if (!S_ISREG(info.st_mode))
        throw SystemError::failed(action, QStringLiteral("Not a regular file"));
    return {std::move(file), qint64(info.st_size)};
}

std::optional<QByteArray> readRegularFile(const QString &path, qint64 limit)
{
    const QString action = fileAction(u"read", path);
    const RegularFile file = openRegularFile(path, action);
    if (file.size > limit)
        return std::nullopt;

    // The size is a hint only: the file may grow or shrink while it is read. One byte beyond
    // the limit is enough to know it is too large.
    QByteArray bytes;
    bytes.resize(qsizetype(std::min<qint64>(file.size, limit) + 1));
    qsizetype used = 0;
    for (;;) {
        if (used == bytes.size()) {
            if (used > limit)
                return std::nullopt;
            bytes.resize(qsizetype(std::min<qint64>(qint64(used) * 2, limit + 1)));
        }
        const ssize_t n
            = ::read(file.descriptor.get(), bytes.data() + used, size_t(bytes.size() - used));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw SystemError::failed(action, qt_error_string(errno));
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

int flushData(int fd)
{
    int result;
    do {
#ifdef Q_OS_MACOS
        result = ::fsync(fd);
#else
        result = ::fdatasync(fd);
#endif
    } while (result != 0 && errno == EINTR);
    return result;
}

int flushFolder(const QString &path)
{
    const FileDescriptor folder(
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return folder.get() < 0 ? -1 : flushToDisk(folder.get());
}
