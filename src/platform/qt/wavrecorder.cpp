#include "wavrecorder.h"

#include "defaultinput.h"
#include "error.h"
#include "files.h"

#include <QAudioSource>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <QtEndian>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <future>
#include <mutex>
#include <sndfile.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int takeRate = 48000;
// A sample at full scale, as the 32-bit integers that carry samples from the input to the file.
constexpr double fullScale = 2147483648.0;
// How often the file is flushed to the disk: a power cut loses at most about this much.
constexpr std::chrono::seconds syncInterval {2};
// An input that has delivered nothing for this long has gone away without saying so, as a
// hung sound server or a device that vanished under it does.
constexpr qint64 stallMs = 3000;
constexpr int watchdogIntervalMs = 250;
// The sound reaches us a little after it was spoken: a fragment of the server (Qt asks for
// 50 ms) plus Qt's reading period (as long again) plus the device's own latency. Reading on
// for this long after `stop` keeps the last words of a take that is stopped right after them.
constexpr int drainMs = 200;
// Asking the sound server whether the input is still there takes milliseconds; a server that
// does not answer must not hold the program for longer than this.
constexpr std::chrono::seconds sourceCheckTimeout {2};
// Starting a stream takes milliseconds too. Qt waits without end for a stream on a source
// that vanished between that question and the start; only then does this bound apply.
constexpr std::chrono::seconds startTimeout {5};
// Beyond the drain, how long ending the input may take before its thread is left to itself.
constexpr int endTimeoutMs = 3000;

// The system's reason for `errnum`, or libsndfile's own when it gave no errno.
QString reason(int errnum, SNDFILE *file)
{
    return errnum != 0 ? qt_error_string(errnum) : QString::fromUtf8(sf_strerror(file));
}

// libsndfile reads and writes the take through these, so that a failure's reason is the
// system's own errno rather than a paraphrase, and flushing stays in our hands.
struct VirtualFile
{
    int fd = -1;
    int error = 0;
};

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

namespace WavRecording {

/// The sums the meters are made of, gathered as the samples arrive so that none is missed
/// however seldom the meters are read.
class Meter
{
public:
    struct Sums
    {
        double squares = 0;
        double peak = 0;
        qint64 samples = 0;
    };

    void add(const Sums &sums)
    {
        const std::lock_guard lock(m_mutex);
        m_sums.squares += sums.squares;
        m_sums.peak = std::max(m_sums.peak, sums.peak);
        m_sums.samples += sums.samples;
    }

    /// The sums since the previous call.
    Sums take()
    {
        const std::lock_guard lock(m_mutex);
        return std::exchange(m_sums, {});
    }

private:
    std::mutex m_mutex;
    Sums m_sums;
};

/// The take's file, and the thread that writes the samples handed to it. Samples queue up in
/// memory only for as long as the disk is slower than the input, so memory stays flat however
/// long the take.
class FileWriter
{
public:
    /// Creates the file, never over an existing one, and writes the WAV header. Throws
    /// SystemError naming the file and the reason.
    explicit FileWriter(const QString &path) : m_path(path)
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
            const QString description = QStringLiteral("Could not create “%1”: %2")
                                            .arg(path, reason(m_file.error, nullptr));
            ::close(m_file.fd);
            removeFile();
            throw SystemError(description);
        }
        // The header follows every write, so that a crash leaves a file whose header tells
        // all the audio it holds.
        sf_command(m_sndfile, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
    }

    ~FileWriter() { finish(); }

    FileWriter(const FileWriter &) = delete;
    FileWriter &operator=(const FileWriter &) = delete;

    /// Starts the writing thread. `failed` is called on it, once, when a write fails; what is
    /// handed over afterwards is dropped.
    void start(std::function<void()> failed)
    {
        m_failed = std::move(failed);
        m_thread = std::thread([this] { run(); });
    }

    /// Queues samples for the file; from any thread.
    void push(std::vector<qint32> samples)
    {
        {
            const std::lock_guard lock(m_mutex);
            if (m_closing)
                return;
            m_queue.push_back(std::move(samples));
        }
        m_wake.notify_one();
    }

    /// Writes what is queued, closes the file and flushes it and its folder to the disk.
    /// The description of the first failure, if any. Later calls return the same.
    std::optional<QString> finish()
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

    /// Frames written to the file so far; from any thread.
    [[nodiscard]] qint64 frames() const { return m_frames.load(std::memory_order_relaxed); }

    /// Removes the file, when the file at the path still is the one this writer made.
    void removeFile() const
    {
        const QByteArray native = QFile::encodeName(m_path);
        struct stat info
        {
        };
        if (::stat(native.constData(), &info) == 0 && info.st_dev == m_device
            && info.st_ino == m_inode)
            ::unlink(native.constData());
    }

private:
    using Clock = std::chrono::steady_clock;

    void run()
    {
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

    void write(const std::vector<qint32> &block)
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

    void sync(bool &folderFlushed)
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

    void close()
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

    void fail(const QString &description)
    {
        if (m_failure)
            return;
        m_failure = description;
        if (m_failed)
            m_failed();
    }

    const QString m_path;
    VirtualFile m_file;
    SNDFILE *m_sndfile = nullptr;
    dev_t m_device = 0;
    ino_t m_inode = 0;
    std::function<void()> m_failed;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::vector<qint32>> m_queue;
    bool m_closing = false;
    // Written by the writing thread only, read by others once it has ended.
    std::optional<QString> m_failure;
    std::atomic<qint64> m_frames {0};
};

/// What the input pushes its samples into: they are turned into the file's mono 32-bit samples,
/// folded into the meters and handed to the writer at once, because Qt calls this while it
/// holds the sound server's lock.
class SampleSink final : public QIODevice
{
public:
    SampleSink(std::shared_ptr<FileWriter> writer, std::shared_ptr<Meter> meter, QObject *parent)
        : QIODevice(parent)
        , m_writer(std::move(writer))
        , m_meter(std::move(meter))
    {}

    void begin(const QAudioFormat &format)
    {
        m_format = format;
        m_partial.clear();
        m_arrival.start();
        open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }

    /// Milliseconds since samples last arrived, or since `begin`.
    [[nodiscard]] qint64 quietFor() const { return m_arrival.elapsed(); }

    [[nodiscard]] bool isSequential() const override { return true; }

protected:
    qint64 readData(char *, qint64) override { return -1; }

    qint64 writeData(const char *data, qint64 size) override
    {
        m_arrival.start();
        const int frameBytes = m_format.bytesPerFrame();
        if (frameBytes <= 0)
            return size;
        // Qt hands over whole frames, but a frame split between two calls must not shift every
        // sample after it.
        QByteArray joined;
        const char *bytes = data;
        qint64 available = size;
        if (!m_partial.isEmpty()) {
            joined = m_partial + QByteArray::fromRawData(data, qsizetype(size));
            bytes = joined.constData();
            available = joined.size();
        }
        const qint64 frames = available / frameBytes;
        m_partial = QByteArray(bytes + frames * frameBytes, qsizetype(available % frameBytes));

        const int channels = m_format.channelCount();
        const int sampleBytes = m_format.bytesPerSample();
        std::vector<qint32> samples(size_t(frames), 0);
        Meter::Sums sums;
        sums.samples = frames;
        for (qint64 frame = 0; frame < frames; ++frame) {
            const char *at = bytes + frame * frameBytes;
            qint64 sum = 0;
            for (int channel = 0; channel < channels; ++channel)
                sum += toInt32(at + channel * sampleBytes);
            const auto sample = qint32(sum / channels);
            samples[size_t(frame)] = sample;
            const double level = double(sample) / fullScale;
            sums.squares += level * level;
            sums.peak = std::max(sums.peak, std::abs(level));
        }
        m_meter->add(sums);
        m_writer->push(std::move(samples));
        // Always all of it: Qt takes a short write for an overrun and stops reading.
        return size;
    }

private:
    qint32 toInt32(const char *at) const
    {
        switch (m_format.sampleFormat()) {
        case QAudioFormat::Int32:
            return qFromUnaligned<qint32>(at);
        case QAudioFormat::Int16:
            return qint32(qFromUnaligned<qint16>(at)) * 65536;
        case QAudioFormat::UInt8:
            return (qint32(qFromUnaligned<quint8>(at)) - 128) * 16777216;
        case QAudioFormat::Float: {
            const float value = qFromUnaligned<float>(at);
            if (!std::isfinite(value))
                return 0;
            return qint32(std::lrint(double(std::clamp(value, -1.0f, 1.0f)) * (fullScale - 1)));
        }
        default:
            return 0;
        }
    }

    std::shared_ptr<FileWriter> m_writer;
    std::shared_ptr<Meter> m_meter;
    QAudioFormat m_format;
    QByteArray m_partial;
    QElapsedTimer m_arrival;
};

/// The input, on a thread of its own with its own event loop, so that Qt's periodic reads
/// never wait for the main window.
class Capture final : public QObject
{
    Q_OBJECT
public:
    Capture(const QAudioDevice &device, std::shared_ptr<FileWriter> writer,
        std::shared_ptr<Meter> meter)
        : m_device(device)
        , m_sink(new SampleSink(std::move(writer), std::move(meter), this))
        , m_watchdog(new QTimer(this))
    {
        m_watchdog->setInterval(watchdogIntervalMs);
        // Samples waiting to be read are no stall: this thread may merely have been kept from
        // running for a while.
        connect(m_watchdog, &QTimer::timeout, this, [this] {
            if (m_sink->quietFor() > stallMs && (!m_source || m_source->bytesAvailable() <= 0))
                giveUp();
        });
    }

    /// Starts the input; false when it will not start. On the capture thread.
    bool start()
    {
        const std::optional<QAudioFormat> format = chooseFormat();
        if (!format || !serverHasSource(m_device.id(), sourceCheckTimeout))
            return false;
        m_source = new QAudioSource(m_device, *format, this);
        connect(m_source, &QAudioSource::stateChanged, this, [this](QAudio::State state) {
            if (state == QAudio::StoppedState && !m_ending)
                giveUp();
        });
        m_sink->begin(m_source->format());
        // Push mode: Qt writes into our own device, which it can neither delete nor close.
        m_source->start(m_sink);
        if (m_source->state() == QAudio::StoppedState || m_source->error() != QAudio::NoError) {
            delete m_source;
            m_sink->close();
            return false;
        }
        m_watchdog->start();
        return true;
    }

    /// Reads on for `drain` milliseconds, then stops the input and ends the thread. On the
    /// capture thread.
    void finish(int drain)
    {
        m_ending = true;
        m_watchdog->stop();
        if (m_lost || !m_source || m_source->state() == QAudio::StoppedState || drain <= 0)
            end();
        else
            QTimer::singleShot(drain, Qt::PreciseTimer, this, &Capture::end);
    }

Q_SIGNALS:
    /// The input went away: it stopped without being asked, or delivers nothing any more.
    void lost();

private:
    std::optional<QAudioFormat> chooseFormat() const
    {
        // 32-bit integers keep every bit of a 24-bit take; where the device offers no such
        // thing, the server converts from floats or 16-bit integers.
        const int channelCounts[] = {1, std::max(1, m_device.preferredFormat().channelCount())};
        for (const int channels : channelCounts) {
            for (const QAudioFormat::SampleFormat sampleFormat :
                {QAudioFormat::Int32, QAudioFormat::Float, QAudioFormat::Int16}) {
                QAudioFormat format;
                format.setSampleRate(takeRate);
                format.setChannelCount(channels);
                format.setSampleFormat(sampleFormat);
                if (m_device.isFormatSupported(format))
                    return format;
            }
        }
        return std::nullopt;
    }

    void giveUp()
    {
        if (m_lost)
            return;
        m_lost = true;
        m_watchdog->stop();
        Q_EMIT lost();
    }

    void end()
    {
        m_watchdog->stop();
        if (m_source) {
            m_source->stop();
            delete m_source;
        }
        m_sink->close();
        thread()->quit();
    }

    QAudioDevice m_device;
    SampleSink *m_sink;
    QTimer *m_watchdog;
    // Null once deleted, whichever way the input ended.
    QPointer<QAudioSource> m_source;
    bool m_ending = false;
    bool m_lost = false;
};

} // namespace WavRecording

using namespace WavRecording;

WavRecorder::WavRecorder(const QAudioDevice &device, const QString &path, QObject *parent)
    : Platform::Recorder(parent)
    , m_device(device)
    , m_path(path)
    , m_writer(std::make_shared<FileWriter>(path))
    , m_meter(std::make_shared<Meter>())
{}

WavRecorder::~WavRecorder()
{
    if (m_state == State::Recording) {
        shutDown(drainMs);
    } else if (m_state == State::Ready) {
        m_writer->finish();
        m_writer->removeFile();
    }
}

bool WavRecorder::record()
{
    if (m_state != State::Ready)
        return false;
    m_state = State::Stopped;
    m_writer->start([this] {
        QMetaObject::invokeMethod(this, &WavRecorder::writeFailed, Qt::QueuedConnection);
    });

    m_thread = new QThread;
    m_thread->setObjectName(QStringLiteral("Quorbel capture"));
    m_capture = new Capture(m_device, m_writer, m_meter);
    m_capture->moveToThread(m_thread);
    connect(m_capture, &Capture::lost, this, &WavRecorder::inputLost, Qt::QueuedConnection);
    m_thread->start();

    const auto answer = std::make_shared<std::promise<bool>>();
    std::future<bool> started = answer->get_future();
    QMetaObject::invokeMethod(
        m_capture, [capture = m_capture, answer] { answer->set_value(capture->start()); },
        Qt::QueuedConnection);
    const bool answered = started.wait_for(startTimeout) == std::future_status::ready;
    if (answered && started.get()) {
        m_state = State::Recording;
        return true;
    }
    if (answered) {
        endCapture(0);
    } else {
        // Qt waits without end for a stream the server never makes ready. The thread, and
        // what it shares, are left to it rather than destroyed under it.
        m_capture = nullptr;
        m_thread = nullptr;
    }
    m_writer->finish();
    m_writer->removeFile();
    return false;
}

void WavRecorder::stop()
{
    if (m_state != State::Recording)
        return;
    if (const std::optional<QString> failure = shutDown(drainMs)) {
        QMetaObject::invokeMethod(
            this, [this, description = *failure] { Q_EMIT encodeError(description); },
            Qt::QueuedConnection);
    }
}

void WavRecorder::updateMeters()
{
    const Meter::Sums sums = m_meter->take();
    if (sums.samples == 0)
        return;
    const auto decibels = [](double amplitude) {
        return amplitude > 0 ? std::max(float(20 * std::log10(amplitude)), Platform::silenceDb)
                             : Platform::silenceDb;
    };
    m_averagePower = decibels(std::sqrt(sums.squares / double(sums.samples)));
    m_peakPower = decibels(sums.peak);
}

double WavRecorder::currentTime() const
{
    return double(m_writer->frames()) / takeRate;
}

void WavRecorder::inputLost()
{
    if (m_state != State::Recording)
        return;
    if (const std::optional<QString> failure = shutDown(0))
        Q_EMIT encodeError(*failure);
    else
        Q_EMIT finished(m_writer->frames() > 0);
}

void WavRecorder::writeFailed()
{
    if (m_state != State::Recording)
        return;
    Q_EMIT encodeError(shutDown(0).value_or(QString()));
}

std::optional<QString> WavRecorder::shutDown(int drain)
{
    m_state = State::Stopped;
    endCapture(drain);
    return m_writer->finish();
}

void WavRecorder::endCapture(int drain)
{
    if (!m_thread)
        return;
    QMetaObject::invokeMethod(
        m_capture, [capture = m_capture, drain] { capture->finish(drain); }, Qt::QueuedConnection);
    if (m_thread->wait(QDeadlineTimer(drain + endTimeoutMs))) {
        delete m_capture;
        delete m_thread;
    }
    // Otherwise the input hangs in the sound system: its thread is left to it, as in `record`.
    m_capture = nullptr;
    m_thread = nullptr;
}

#include "wavrecorder.moc"
