#pragma once

#include <QAudioDevice>
#include <QObject>
#include <QPointer>

#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>

class QAudioSource;
class QTimer;

namespace WavRecording {

class TakeFile;
class SampleSink;

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

/// The input, on a thread of its own with its own event loop, so that Qt's periodic reads
/// never wait for the main window. Every sample it reads is mixed down to mono, folded into
/// the meter and handed to the take's file at once. A watchdog notices an input that has
/// gone away without saying so, as a hung sound server or a device that vanished under it does.
class Capture final : public QObject
{
    Q_OBJECT
public:
    Capture(
        const QAudioDevice &device, std::shared_ptr<TakeFile> file, std::shared_ptr<Meter> meter);

    /// Starts the input; false when it will not start. On the capture thread.
    bool start();

    /// Reads on for `drain` milliseconds, then stops the input and ends the thread. On the
    /// capture thread.
    void finish(int drain);

Q_SIGNALS:
    /// The input went away: it stopped without being asked, or delivers nothing any more.
    void lost();

private:
    [[nodiscard]] std::optional<QAudioFormat> chooseFormat() const;
    void giveUp();
    void end();

    QAudioDevice m_device;
    SampleSink *m_sink;
    QTimer *m_watchdog;
    // Null once deleted, whichever way the input ended.
    QPointer<QAudioSource> m_source;
    bool m_ending = false;
    bool m_lost = false;
};

} // namespace WavRecording
