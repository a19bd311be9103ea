#include "takefile.h"

#include "error.h"
#include "files.h"

#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
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

/// Where a WAV file's audio is and what its header says of it.
struct DataChunk
{
    qint64 sizeField = 0; ///< where the header keeps the audio's size
    qint64 start = 0;
    qint64 declared = 0; ///< bytes of audio the header counts
    qint64 frameBytes = 0;
};

std::optional<DataChunk> findData(int fd)
{
    // Our takes hold the format and then the audio; a header this long is no take of ours.
    std::array<uchar, 4096> header {};
    const ssize_t got = ::pread(fd, header.data(), header.size(), 0);
    const auto is = [&](qint64 at, const char *id) { return std::memcmp(&header[at], id, 4) == 0; };
    if (got < 12 || !is(0, "RIFF") || !is(8, "WAVE"))
        return std::nullopt;
    qint64 frameBytes = 0;
    for (qint64 at = 12; at + 8 <= got;) {
        const quint32 size = qFromLittleEndian<quint32>(&header[at + 4]);
        if (is(at, "fmt ") && size >= 16 && at + 24 <= got)
            frameBytes = qFromLittleEndian<quint16>(&header[at + 20]);
        if (is(at, "data"))
            return frameBytes > 0 ? std::optional(DataChunk {at + 4, at + 8, size, frameBytes})
                                  : std::nullopt;
        at += 8 + qint64(size) + (size & 1);
    }
    return std::nullopt;
}

/// True when the 8 bytes at `at` read as the start of a chunk that fits in the file: audio
/// followed by a chunk of its own is complete as its header says.
bool chunkAt(int fd, qint64 at, qint64 fileSize)
{
    std::array<uchar, 8> bytes {};
    if (::pread(fd, bytes.data(), bytes.size(), at) != ssize_t(bytes.size()))
        return false;
    const bool named = std::all_of(
        bytes.begin(), bytes.begin() + 4, [](uchar c) { return c >= 0x20 && c < 0x7f; });
    return named && at + 8 + qint64(qFromLittleEndian<quint32>(&bytes[4])) <= fileSize;
}

} // namespace

Platform::AudioFileInfo completeLength(const QString &path, bool repair)
{
    const QString action = fileAction(u"read", path);
    const RegularFile file = openRegularFile(path, action, AT_FDCWD, O_NOFOLLOW);
    SF_INFO info {};
    // libsndfile closes a descriptor it fails to open even when told not to: it gets a
    // duplicate of its own, so that ours is closed once and no other file loses its number.
    SNDFILE *sound = sf_open_fd(::dup(file.descriptor.get()), SFM_READ, &info, SF_TRUE);
    if (!sound)
        throw SystemError::failed(action, QString::fromUtf8(sf_strerror(nullptr)));
    sf_close(sound);
    const Platform::AudioFileInfo counted {qint64(info.frames), double(info.samplerate)};

    const std::optional<DataChunk> data = findData(file.descriptor.get());
    if (!data)
        return counted;
    const qint64 complete = (file.size - data->start) / data->frameBytes * data->frameBytes;
    // The size fields hold 32 bits; a file past them was not written by us.
    if (complete <= data->declared || data->start + complete - 8 > 0xffff'ffffLL
        || chunkAt(
            file.descriptor.get(), data->start + data->declared + (data->declared & 1), file.size))
        return counted;
    if (repair) {
        FileDescriptor writable(
            ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
        const auto put = [&](qint64 at, qint64 value) {
            std::array<uchar, 4> field {};
            qToLittleEndian(quint32(value), field.data());
            return ::pwrite(writable.get(), field.data(), field.size(), at) == 4;
        };
        if (writable.get() < 0 || !put(data->sizeField, complete)
            || !put(4, data->start + complete - 8) || flushToDisk(writable.get()) != 0
            || writable.close() != 0)
            throw SystemError::io(u"write", path, errno);
    }
    return {std::max(counted.frames, complete / data->frameBytes), counted.sampleRate};
}

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
