#pragma once

#include "audio.h"

#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <sndfile.h>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace WavRecording {

/// The take format's sample rate: mono 48 kHz 24-bit integer PCM WAV.
constexpr int takeRate = 48000;

/// libsndfile reads and writes the take through this, so that a failure's reason is the
/// system's own errno rather than a paraphrase, and flushing stays in our hands.
struct VirtualFile
{
    int fd = -1;
    int error = 0;
};

/// The take's file, and the thread that writes the samples handed to it. Samples queue up in
/// memory only for as long as the disk is slower than the input, so memory stays flat however
/// long the take. While it is written, the header follows every write and the data is flushed
/// to the disk every two seconds: a crash or a power cut leaves a playable file holding all
/// but the last seconds.
class TakeFile
{
public:
    /// Creates the file, never over an existing one, and writes the WAV header. Throws
    /// SystemError naming the file and the reason.
    explicit TakeFile(const QString &path);
    ~TakeFile();

    TakeFile(const TakeFile &) = delete;
    TakeFile &operator=(const TakeFile &) = delete;

    /// Starts the writing thread. `failed` is called on it, once, when a write fails; what is
    /// handed over afterwards is dropped.
    void start(std::function<void()> failed);

    /// Queues samples, 32-bit integers at full scale, for the file; from any thread.
    void push(std::vector<qint32> samples);

    /// Writes what is queued, closes the file and flushes it and its folder to the disk.
    /// The description of the first failure, if any. Later calls return the same.
    std::optional<QString> finish();

    /// Frames written to the file so far; from any thread.
    [[nodiscard]] qint64 frames() const { return m_frames.load(std::memory_order_relaxed); }

    /// Removes the file, when the file at the path still is the one this writer made.
    void removeFile() const;

private:
    void run();
    void write(const std::vector<qint32> &block);
    void sync(bool &folderFlushed);
    void close();
    void fail(const QString &description);

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

/// Frames and sample rate of the take file at `path`, counting every complete frame it holds:
/// a take killed between writing its audio and updating its header has a header that counts
/// fewer. With `repair`, such a header is rewritten to count them all. Only a file that is audio,
/// reached without a symbolic link at its end, is measured; throws SystemError otherwise, and
/// when the header cannot be written.
[[nodiscard]] Platform::AudioFileInfo completeLength(const QString &path, bool repair);

} // namespace WavRecording
