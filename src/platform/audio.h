#pragma once

#include "error.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

// What the controller needs of the sound system: takes are recorded, metered, measured and
// played through these, so the controller can be driven by fakes in tests.
//
// Every signal below is emitted on the main thread from its event loop, never from inside a
// call the controller made, so a handler may drop the object that emitted it.

namespace Platform {

/// Readings in decibels relative to full scale: 0 is full scale, -160 stands for silence.
constexpr float silenceDb = -160.0f;

/// One take being captured into one file, in the take format: mono, 48 kHz, 24-bit integer PCM
/// WAV. Made by `AudioInput::makeRecorder`; the file is kept whatever becomes of the recorder.
class Recorder : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    /// Starts capturing from the input into the file. False when the input would not start;
    /// the recorder has then stopped.
    [[nodiscard]] virtual bool record() = 0;
    /// Stops capturing, after writing what the input still held. The file is complete and
    /// closed on return, and what went wrong writing it is returned: a description that names
    /// the file and the reason, which no signal repeats. Does nothing once stopped; `finished`
    /// is not emitted for it.
    [[nodiscard]] virtual std::optional<QString> stop() = 0;
    /// Folds every sample captured since the previous call into the two readings below.
    virtual void updateMeters() = 0;
    /// Average (RMS) power of the samples taken in by the last `updateMeters`, in dBFS.
    [[nodiscard]] virtual float averagePower() const = 0;
    /// Highest sample of those, in dBFS.
    [[nodiscard]] virtual float peakPower() const = 0;
    /// Seconds of audio written to the file so far.
    [[nodiscard]] virtual double currentTime() const = 0;

Q_SIGNALS:
    /// The recorder stopped by itself, because its input went away. `success` tells whether
    /// its file is a good one holding what was captured until then.
    void finished(bool success);
    /// Writing the take failed while it was recorded, and the recorder has stopped; what was
    /// written until then stays in the file. `description` names the file and the reason; empty
    /// when the system gave none.
    void encodeError(const QString &description);
};

/// One take being played back.
class Player : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    /// Starts the sound from the beginning. False when the output would not start.
    [[nodiscard]] virtual bool play() = 0;
    /// Stops the sound at once. No signal follows.
    virtual void stop() = 0;
    /// Seconds of the take heard so far.
    [[nodiscard]] virtual double currentTime() const = 0;

Q_SIGNALS:
    /// The take has been heard to its end (not merely handed to the output).
    void finished(bool success);
    /// Reading the take failed while it played; the sound has stopped. `description` is empty
    /// when the system gave none.
    void decodeError(const QString &description);
};

/// The length of an audio file.
struct AudioFileInfo
{
    qint64 frames = 0;
    double sampleRate = 0;
};

/// The input that the system's sound settings select.
struct DefaultInput
{
    /// False when the system has no input device at all.
    bool present = false;
    /// The device's description, as the sound settings show it; empty when it could not be read.
    QString name;
};

/// The microphone side: permission, the default input, recording, and measuring a take.
class AudioInput : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    /// Asks for permission to use the microphone. `answer` runs once, later, on `receiver`'s
    /// thread through its event loop, and not at all if `receiver` is gone by then.
    virtual void requestPermission(QObject *receiver, std::function<void(bool granted)> answer) = 0;
    /// The input that a recorder made now would use.
    [[nodiscard]] virtual DefaultInput defaultInput() = 0;
    /// A recorder for a new take file at the absolute `path`, which is created here and must
    /// not exist yet. Throws SystemError when no recorder or no file can be made for it.
    [[nodiscard]] virtual std::unique_ptr<Recorder> makeRecorder(const QString &path) = 0;
    /// Frames and sample rate of the audio file at `path`. Throws SystemError when it cannot be
    /// read as audio.
    [[nodiscard]] virtual AudioFileInfo fileInfo(const QString &path) = 0;
    /// Frames and sample rate of a take file that a crash may have cut off, after making its
    /// header count every complete frame the file holds. Throws SystemError when the file is
    /// no audio, or its header cannot be mended.
    [[nodiscard]] virtual AudioFileInfo recoverFile(const QString &path) = 0;

Q_SIGNALS:
    /// Input devices came or went, or another one became the default.
    void inputsChanged();
};

/// The speaker side: playing a take.
class AudioOutput
{
public:
    virtual ~AudioOutput() = default;

    /// A player for the audio file at `path`. Throws SystemError when the file cannot be opened as
    /// audio.
    [[nodiscard]] virtual std::unique_ptr<Player> makePlayer(const QString &path) = 0;
};

} // namespace Platform
