#include "wavplayer.h"

#include "error.h"
#include "files.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QIODevice>
#include <QMediaDevices>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <sndfile.h>
#include <type_traits>
#include <unistd.h>
#include <vector>

namespace {

/// How often the output's clock is read once the last sample has been handed over.
constexpr int progressIntervalMs = 10;

/// How long past the time the output could still hold sound a play may wait for the output's
/// clock to reach the end, before it counts as not heard: a clock that stands still means the
/// output has stopped playing without saying so.
constexpr qint64 drainGraceMs = 2000;
// How long a stopped output is kept before it is deleted. Qt 6.4's PulseAudio output asks the
// server to drain its stream once it has played the last sample, and the server's answer may
// still come after the output was stopped: it is then delivered on the sound server's thread to
// the output itself, and deleting it first crashed the program (about once in ten plays to the
// end on a busy machine). The answer comes within milliseconds of the stop.
constexpr int stoppedOutputLifeMs = 5000;

} // namespace

/// The open file, shared by the player and the stream of each play, so that a stream the
/// output has not yet let go of never reads a closed file.
struct WavPlayer::Take
{
    QString path;
    FileDescriptor descriptor;
    SNDFILE *file = nullptr;
    SF_INFO info {};

    Take() = default;
    Take(const Take &) = delete;
    Take &operator=(const Take &) = delete;
    ~Take()
    {
        // libsndfile leaves the descriptor open: it was given one it does not own.
        if (file)
            sf_close(file);
    }
};

/// One play's sound, decoded from the take as the output pulls it, in the output's sample
/// format. The output reads it on the player's thread from its own timer; a failure is passed
/// to `onFailure` right there, which must not touch the output.
class WavPlayer::Stream final : public QIODevice
{
public:
    Stream(std::shared_ptr<Take> take, QAudioFormat::SampleFormat format,
        std::function<void(const QString &)> onFailure, QObject *parent)
        : QIODevice(parent)
        , m_take(std::move(take))
        , m_float(format == QAudioFormat::Float)
        , m_onFailure(std::move(onFailure))
    {
        if (sf_seek(m_take->file, 0, SEEK_SET) != 0)
            fail(QString::fromUtf8(sf_strerror(m_take->file)));
    }

    /// Drops `onFailure`: the player no longer listens.
    void abandon() { m_onFailure = nullptr; }

    [[nodiscard]] bool isSequential() const override { return true; }

    /// What is left of the take. The output asks from its sound server's thread, to learn
    /// whether an underrun is the end of the sound.
    [[nodiscard]] qint64 bytesAvailable() const override
    {
        const qint64 frames = m_take->info.frames - m_position.load(std::memory_order_relaxed);
        return std::max<qint64>(frames, 0) * frameBytes() + QIODevice::bytesAvailable();
    }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        if (m_failed)
            return 0;
        const sf_count_t position = m_position.load(std::memory_order_relaxed);
        const sf_count_t wanted
            = std::min<sf_count_t>(maxSize / frameBytes(), m_take->info.frames - position);
        if (wanted <= 0)
            return 0;
        const sf_count_t got
            = m_float ? decode(m_floats, data, wanted) : decode(m_ints, data, wanted);
        m_position.store(position + got, std::memory_order_relaxed);
        if (got < wanted) {
            // libsndfile reports a read past the end as a short count without an error: the
            // file has shrunk since it was opened.
            fail(sf_error(m_take->file) != SF_ERR_NO_ERROR
                    ? QString::fromUtf8(sf_strerror(m_take->file))
                    : QStringLiteral("The file was cut short while it played"));
        }
        return got * frameBytes();
    }

    qint64 writeData(const char *, qint64) override { return -1; }

private:
    [[nodiscard]] qint64 frameBytes() const
    {
        return qint64(m_take->info.channels) * qint64(sizeof(float));
    }

    /// Reads `frames` into `out` through a buffer of the right type, since the output's buffer
    /// promises no alignment.
    template<class Sample>
    sf_count_t decode(std::vector<Sample> &samples, char *out, sf_count_t frames)
    {
        static_assert(sizeof(Sample) == sizeof(float));
        samples.resize(std::size_t(frames * m_take->info.channels));
        sf_count_t got = 0;
        if constexpr (std::is_same_v<Sample, float>)
            got = sf_readf_float(m_take->file, samples.data(), frames);
        else
            got = sf_readf_int(m_take->file, samples.data(), frames);
        got = std::clamp<sf_count_t>(got, 0, frames);
        std::memcpy(out, samples.data(), std::size_t(got * frameBytes()));
        return got;
    }

    void fail(const QString &reason)
    {
        m_failed = true;
        if (m_onFailure)
            m_onFailure(
                SystemError::failed(fileAction(u"read", m_take->path), reason).description());
    }

    std::shared_ptr<Take> m_take;
    bool m_float;
    std::function<void(const QString &)> m_onFailure;
    bool m_failed = false;
    std::atomic<sf_count_t> m_position = 0;
    std::vector<float> m_floats;
    std::vector<int> m_ints;
};

std::unique_ptr<Platform::Player> QtAudioOutput::makePlayer(const QString &path)
{
    return std::make_unique<WavPlayer>(path);
}

WavPlayer::WavPlayer(const QString &path, QObject *parent)
    : Platform::Player(parent)
    , m_take(std::make_shared<Take>())
{
    m_take->path = path;
    // libsndfile calls a folder, a device and an empty file alike "Format not recognised", which
    // does not help to find the fault.
    const QString action = fileAction(u"open", path);
    RegularFile regular = openRegularFile(path, action);
    if (regular.size == 0)
        throw SystemError::failed(action, QStringLiteral("The file is empty"));
    m_take->descriptor = std::move(regular.descriptor);
    // libsndfile closes a descriptor it fails to open even when told not to: it gets a
    // duplicate of its own, so that ours is closed once and no other file loses its number.
    m_take->file = sf_open_fd(::dup(m_take->descriptor.get()), SFM_READ, &m_take->info, SF_TRUE);
    if (!m_take->file)
        throw SystemError::failed(action, QString::fromUtf8(sf_strerror(nullptr)));
    m_durationUs = m_take->info.frames * 1'000'000 / m_take->info.samplerate;

    m_progress.setInterval(progressIntervalMs);
    connect(&m_progress, &QTimer::timeout, this, &WavPlayer::checkProgress);
}

WavPlayer::~WavPlayer()
{
    stop();
}

bool WavPlayer::play()
{
    stop();
    m_heardUs = 0;
    const QAudioDevice device = QMediaDevices::defaultAudioOutput();
    if (device.isNull())
        return false;
    // Any sample format carries a take without loss; the sound server converts from it to
    // whatever the device takes.
    QAudioFormat format;
    format.setSampleRate(m_take->info.samplerate);
    format.setChannelCount(m_take->info.channels);
    format.setSampleFormat(QAudioFormat::Float);
    if (!device.isFormatSupported(format))
        format.setSampleFormat(QAudioFormat::Int32);

    const quint64 run = ++m_run;
    m_sink = new QAudioSink(device, format);
    // The failure is found inside the output's own read; ending the play there would delete the
    // output under itself.
    m_stream = new Stream(
        m_take, format.sampleFormat(),
        [this, run](const QString &description) {
            QMetaObject::invokeMethod(
                this,
                [this, run, description] {
                    if (run == m_run && m_playing)
                        endWith(heardUs(), [description](WavPlayer *player) {
                            Q_EMIT player->decodeError(description);
                        });
                },
                Qt::QueuedConnection);
        },
        m_sink);
    // Some of the sink's changes come from the sound server's thread, so they arrive queued.
    connect(m_sink, &QAudioSink::stateChanged, this, &WavPlayer::sinkStateChanged);
    m_playing = true;
    m_drained = false;
    m_sincePlay.start();
    m_stream->open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    m_sink->start(m_stream);
    if (m_sink->state() == QAudio::StoppedState || m_sink->error() != QAudio::NoError) {
        m_playing = false;
        ++m_run;
        releaseSink();
        return false;
    }
    return true;
}

void WavPlayer::stop()
{
    if (!m_playing)
        return;
    m_heardUs = heardUs();
    m_playing = false;
    ++m_run;
    m_progress.stop();
    releaseSink();
}

double WavPlayer::currentTime() const
{
    return double(heardUs()) / 1e6;
}

qint64 WavPlayer::heardUs() const
{
    if (!m_playing || !m_sink)
        return m_heardUs;
    // The output's clock counts what its device has played; no sound is heard faster than the
    // wall clock runs, whatever an early estimate of the device's latency says.
    const qint64 played = std::max<qint64>(m_sink->processedUSecs(), 0);
    return std::min({played, m_sincePlay.nsecsElapsed() / 1000, m_durationUs});
}

void WavPlayer::sinkStateChanged()
{
    if (!m_playing || !m_sink)
        return;
    const QAudio::State state = m_sink->state();
    if (state == QAudio::IdleState && m_stream->atEnd() && !m_drained) {
        // The output goes idle once it has taken the last sample, while it still holds the
        // latest part of the sound; the play ends when its clock says that has been heard.
        m_drained = true;
        m_sinceDrained.start();
    }
    if ((m_drained || state == QAudio::StoppedState) && !m_progress.isActive())
        m_progress.start();
}

void WavPlayer::checkProgress()
{
    if (!m_playing || !m_sink) {
        m_progress.stop();
        return;
    }
    if (m_sink->state() == QAudio::StoppedState) {
        // The output stopped by itself: its device or the sound server went away.
        endWith(heardUs(), [](WavPlayer *player) { Q_EMIT player->finished(false); });
        return;
    }
    if (!m_drained)
        return;
    const qint64 frameUs = 1'000'000 / m_take->info.samplerate;
    const bool clockAtEnd = m_sink->processedUSecs() + frameUs >= m_durationUs;
    if (clockAtEnd && m_sincePlay.nsecsElapsed() / 1000 >= m_durationUs) {
        endWith(m_durationUs, [](WavPlayer *player) { Q_EMIT player->finished(true); });
        return;
    }
    const qint64 heldMs = m_sink->format().durationForBytes(m_sink->bufferSize()) / 1000;
    if (m_sinceDrained.elapsed() > heldMs + drainGraceMs)
        endWith(heardUs(), [](WavPlayer *player) { Q_EMIT player->finished(false); });
}

template<class Emitter>
void WavPlayer::endWith(qint64 heard, Emitter emitter)
{
    m_heardUs = heard;
    m_playing = false;
    ++m_run;
    m_progress.stop();
    releaseSink();
    emitter(this);
}

void WavPlayer::releaseSink()
{
    if (!m_sink)
        return;
    m_stream->abandon();
    m_sink->disconnect(this);
    m_sink->stop();
    // Deleted later from the event loop: Qt's PulseAudio sink runs the event loop while it is
    // deleted, which must not happen inside a call the player's owner made.
    QTimer::singleShot(stoppedOutputLifeMs, m_sink, &QObject::deleteLater);
    m_sink = nullptr;
    m_stream = nullptr;
}
