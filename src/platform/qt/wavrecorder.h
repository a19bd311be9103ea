#pragma once

#include "audio.h"

#include <QAudioDevice>

#include <memory>
#include <optional>

class QThread;

namespace WavRecording {
class Capture;
class TakeFile;
class Meter;
} // namespace WavRecording

/// Records one take from one input device into a mono 48 kHz 24-bit PCM WAV file.
///
/// Three threads share the work. The input is read on a thread of its own, so a busy main
/// window never leaves the device's buffer to overflow; the samples are written to the file on
/// another one, so a slow disk never stalls the input. The object itself, and every signal it
/// emits, belong to the thread that made it.
///
/// The file is made by the constructor, never over an existing one, so that a file that cannot
/// be made is reported with the system's reason before anything is recorded. While recording,
/// its header is rewritten after every write and its data flushed to the disk every two
/// seconds: a crash or a power cut leaves a playable file holding all but the last seconds.
class WavRecorder final : public Platform::Recorder
{
    Q_OBJECT
public:
    /// Creates the file at `path` for a take from `device`. Throws SystemError naming the
    /// file and the reason when it cannot be made, an existing file included.
    WavRecorder(const QAudioDevice &device, const QString &path, QObject *parent = nullptr);
    /// Stops a recording first. A recorder that never recorded removes the empty file it made.
    ~WavRecorder() override;

    /// Starts the input. When it will not start, the empty file is removed again.
    [[nodiscard]] bool record() override;
    [[nodiscard]] std::optional<QString> stop() override;
    void updateMeters() override;
    [[nodiscard]] float averagePower() const override { return m_averagePower; }
    [[nodiscard]] float peakPower() const override { return m_peakPower; }
    [[nodiscard]] double currentTime() const override;

private:
    enum class State { Ready, Recording, Stopped };

    void inputLost();
    void writeFailed();
    /// Ends the input, after reading for `drainMs` more, then writes out and closes the file.
    /// The failure's description when writing failed.
    std::optional<QString> shutDown(int drainMs);
    void endCapture(int drainMs);

    QAudioDevice m_device;
    QString m_path;
    State m_state = State::Ready;
    std::shared_ptr<WavRecording::TakeFile> m_file;
    std::shared_ptr<WavRecording::Meter> m_meter;
    QThread *m_thread = nullptr;
    WavRecording::Capture *m_capture = nullptr;
    float m_averagePower = Platform::silenceDb;
    float m_peakPower = Platform::silenceDb;
};
