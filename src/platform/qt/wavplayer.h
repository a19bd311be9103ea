#pragma once

#include "audio.h"

#include <QElapsedTimer>
#include <QTimer>

#include <memory>

class QAudioSink;

/// Plays takes on the output that the system's sound settings select.
class QtAudioOutput final : public Platform::AudioOutput
{
public:
    /// A WavPlayer for the file at `path`. Throws SystemError when it cannot be opened as audio.
    [[nodiscard]] std::unique_ptr<Platform::Player> makePlayer(const QString &path) override;
};

/// Plays one audio file, of any format libsndfile reads, on the default output. The file is
/// decoded a little ahead of the sound as it plays, so a take of any length costs only a few
/// milliseconds of samples in memory.
///
/// The output goes idle as soon as it has taken the last sample, while its buffer and device
/// still hold the end of the sound; `finished` waits until the output's clock, and the wall
/// clock since `play`, have both reached the take's length.
class WavPlayer final : public Platform::Player
{
    Q_OBJECT
public:
    /// Opens the file at `path` and reads its header. Throws SystemError, naming the file and the
    /// reason, when it cannot be opened or is not audio.
    explicit WavPlayer(const QString &path, QObject *parent = nullptr);
    /// Stops the sound, if any, at once.
    ~WavPlayer() override;

    [[nodiscard]] bool play() override;
    void stop() override;
    [[nodiscard]] double currentTime() const override;

private:
    struct Take;
    class Stream;

    /// Microseconds of the take heard so far in the current play.
    [[nodiscard]] qint64 heardUs() const;
    /// Called from the event loop while playing; ends the play once its sound is out.
    void checkProgress();
    /// The output changed state: notes the end of the data or a failure of the output.
    void sinkStateChanged();
    /// Ends the play, then emits the signal `emitter` stands for. Nothing of the player is
    /// touched afterwards, so a handler may delete it.
    template<class Emitter>
    void endWith(qint64 heard, Emitter emitter);
    /// Lets go of the output and the stream feeding it, silencing the sound at once.
    void releaseSink();

    std::shared_ptr<Take> m_take;
    qint64 m_durationUs = 0;
    /// Owned, but released through deleteLater (see releaseSink); the stream is its child.
    QAudioSink *m_sink = nullptr;
    Stream *m_stream = nullptr;
    /// Counts plays, so that work queued for one that has since ended is dropped.
    quint64 m_run = 0;
    bool m_playing = false;
    /// The stream has handed over its last sample and the output has gone idle.
    bool m_drained = false;
    QElapsedTimer m_sincePlay;
    QElapsedTimer m_sinceDrained;
    /// What `currentTime` answers while not playing.
    qint64 m_heardUs = 0;
    /// Polls the output's clock once the end is near; all endings go through it.
    QTimer m_progress;
};
