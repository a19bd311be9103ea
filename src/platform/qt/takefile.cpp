#include "takefile.h"

#include "error.h"
#include "files.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace WavRecording {

namespace {

// How often the file is flushed to the disk: a power cut loses at most about this much.
constexpr std::chrono::seconds syncInterval {2};

// The system's reason for `errnum`, or libsndfile's own when it gave no errno.
QString reason(int errnum, SNDFILE *file)
{
    return errnum != 0 ? qt_error_string(errnum) : QString::fromUtf8(sf_strerror(file));
}

sf_count_t fileLength(void *data)
{
    auto *file = static_cast<VirtualFile *>(data);
    struct stat info
    {
    };
    if (::fstat(file->fd, &info) == 0)
        return info.st_size;
    file->error = errno;
    return -1;
}

sf_count_t seekFile(sf_count_t offset, int whence, void *data)
{
    auto *file = static_cast<VirtualFile *>(data);
    const off_t position = ::lseek(file->fd, off_t(offset), whence);
    if (position < 0)
        file->error = errno;
    return position;
}

sf_count_t readFile(void *buffer, sf_count_t count, void *data)
{
    auto *file = static_cast<VirtualFile *>(data);
    sf_count_t done = 0;
    while (done < count) {
        const ssize_t n
            = ::read(file->fd, static_cast<char *>(buffer) + done, size_t(count - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            file->error = errno;
        if (n <= 0)
            break;
        done += n;
    }
    return done;
}

sf_count_t writeFile(const void *buffer, sf_count_t count, void *data)
{
    auto *file = static_cast<VirtualFile *>(data);
    if (writeAll(file->fd, static_cast<const char *>(buffer), qsizetype(count)) == 0)
        return count;
    file->error = errno;
    return 0;
}

sf_count_t tellFile(void *data)
{
    return seekFile(0, SEEK_CUR, data);
}

SF_VIRTUAL_IO virtualIo {fileLength, seekFile, readFile, writeFile, tellFile};

} // namespace

TakeFile::TakeFile(const QString &path) : m_path(path)
{
    const QByteArray native = QFile::encodeName(path);
    m_file.fd = ::open(native.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (m_file.fd < 0)
        throw SystemError::io(u"create", path, errno);
    struct stat info
    {
    };
    if (::fstat(m_file.fd, &info) == 0) {
        m_device = info.st_dev;
        m_inode = info.st_ino;
    }
    SF_INFO format {};
    format.samplerate = takeRate;
    format.channels = 1;
    format.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
    m_sndfile = sf_open_virtual(&virtualIo, SFM_WRITE, &format, &m_file);
    if (!m_sndfile) {
        const QString description
            = QStringLiteral("Could not create “%1”: %2").arg(path, reason(m_file.error, nullptr));
        ::close(m_file.fd);
        removeFile();
        throw SystemError(description);
    }
    // The header follows every write, so that a crash leaves a file whose header tells
    // all the audio it holds.
    sf_command(m_sndfile, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
}

TakeFile::~TakeFile()
{
    finish();
}

void TakeFile::start(std::function<void()> failed)
{
    m_failed = std::move(failed);
    m_thread = std::thread([this] { run(); });
}

void TakeFile::push(std::vector<qint32> samples)
{
    {
        const std::lock_guard lock(m_mutex);
        if (m_closing)
            return;
        m_queue.push_back(std::move(samples));
    }
    m_wake.notify_one();
}

std::optional<QString> TakeFile::finish()
{
    {
        const std::lock_guard lock(m_mutex);
        m_closing = true;
    }
    m_wake.notify_one();
    if (m_thread.joinable())
        m_thread.join();
    else if (m_sndfile)
        close();
    return m_failure;
}

void TakeFile::removeFile() const
{
    const QByteArray native = QFile::encodeName(m_path);
    struct stat info
    {
    };
    if (::stat(native.constData(), &info) == 0 && info.st_dev == m_device && info.st_ino == m_inode)
        ::unlink(native.constData());
}

void TakeFile::run()
{
    using Clock = std::chrono::steady_clock;
    auto nextSync = Clock::now() + syncInterval;
    bool folderFlushed = false;
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait_until(lock, nextSync, [this] { return !m_queue.empty() || m_closing; });
        std::deque<std::vector<qint32>> blocks;
        blocks.swap(m_queue);
        const bool closing = m_closing;
        lock.unlock();
        for (const std::vector<qint32> &block : blocks)
            write(block);
        if (!closing && Clock::now() >= nextSync) {
            sync(folderFlushed);
            nextSync = Clock::now() + syncInterval;
        }
        if (closing)
            break;
        lock.lock();
    }
    close();
}

void TakeFile::write(const std::vector<qint32> &block)
{
    if (m_failure)
        return;
    m_file.error = 0;
    const auto size = sf_count_t(block.size());
    const sf_count_t written = sf_write_int(m_sndfile, block.data(), size);
    m_frames.fetch_add(std::max<sf_count_t>(written, 0), std::memory_order_relaxed);
    if (written != size)
        fail(QStringLiteral("Could not write “%1”: %2")
                 .arg(m_path, reason(m_file.error, m_sndfile)));
}

void TakeFile::sync(bool &folderFlushed)
{
    if (m_failure)
        return;
    if (flushData(m_file.fd) != 0) {
        fail(SystemError::io(u"write", m_path, errno).description());
        return;
    }
    // Once, so that the new file's name survives a power cut together with its audio.
    if (!folderFlushed) {
        const QString folder = QFileInfo(m_path).path();
        if (flushFolder(folder) != 0)
            fail(SystemError::io(u"flush the folder", folder, errno).description());
        folderFlushed = true;
    }
}

void TakeFile::close()
{
    m_file.error = 0;
    const int closed = sf_close(m_sndfile);
    m_sndfile = nullptr;
    if (closed != 0 || m_file.error != 0)
        fail(QStringLiteral("Could not write “%1”: %2")
                 .arg(m_path,
                     m_file.error != 0 ? qt_error_string(m_file.error)
                                       : QString::fromUtf8(sf_error_number(closed))));
    if (flushToDisk(m_file.fd) != 0)
        fail(SystemError::io(u"write", m_path, errno).description());
    // Some file systems (NFS, FUSE) report a write that did not reach the server only here.
    if (::close(std::exchange(m_file.fd, -1)) != 0 && errno != EINTR)
        fail(SystemError::io(u"write", m_path, errno).description());
    const QString folder = QFileInfo(m_path).path();
    if (flushFolder(folder) != 0)
        fail(SystemError::io(u"flush the folder", folder, errno).description());
}

void TakeFile::fail(const QString &description)
{
    if (m_failure)
        return;
    m_failure = description;
    if (m_failed)
        m_failed();
}

} // namespace WavRecording
