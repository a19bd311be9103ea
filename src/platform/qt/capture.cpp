#include "capture.h"

#include "defaultinput.h"
#include "takefile.h"

#include <QAudioSource>
#include <QElapsedTimer>
#include <QIODevice>
#include <QThread>
#include <QTimer>
#include <QtEndian>

#include <chrono>
#include <cmath>
#include <vector>

namespace WavRecording {

namespace {

// A sample at full scale, as the 32-bit integers that carry samples from the input to the file.
constexpr double fullScale = 2147483648.0;
// An input that has delivered nothing for this long has gone away without saying so, as a
// hung sound server or a device that vanished under it does.
constexpr qint64 stallMs = 3000;
constexpr int watchdogIntervalMs = 250;
// Asking the sound server whether the input is still there takes milliseconds; a server that
// does not answer must not hold the program for longer than this.
constexpr std::chrono::seconds sourceCheckTimeout {2};

} // namespace

/// What the input pushes its samples into: they are turned into the file's mono 32-bit samples,
/// folded into the meters and handed to the file at once, because Qt calls this while it
/// holds the sound server's lock.
class SampleSink final : public QIODevice
{
public:
    SampleSink(std::shared_ptr<TakeFile> file, std::shared_ptr<Meter> meter, QObject *parent)
        : QIODevice(parent)
        , m_file(std::move(file))
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
        m_file->push(std::move(samples));
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

    std::shared_ptr<TakeFile> m_file;
    std::shared_ptr<Meter> m_meter;
    QAudioFormat m_format;
    QByteArray m_partial;
    QElapsedTimer m_arrival;
};

/// The input, on a thread of its own with its own event loop, so that Qt's periodic reads
/// never wait for the main window.

Capture::Capture(
    const QAudioDevice &device, std::shared_ptr<TakeFile> file, std::shared_ptr<Meter> meter)
    : m_device(device)
    , m_sink(new SampleSink(std::move(file), std::move(meter), this))
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

bool Capture::start()
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

void Capture::finish(int drain)
{
    m_ending = true;
    m_watchdog->stop();
    if (m_lost || !m_source || m_source->state() == QAudio::StoppedState || drain <= 0)
        end();
    else
        QTimer::singleShot(drain, Qt::PreciseTimer, this, &Capture::end);
}

std::optional<QAudioFormat> Capture::chooseFormat() const
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

void Capture::giveUp()
{
    if (m_lost)
        return;
    m_lost = true;
    m_watchdog->stop();
    Q_EMIT lost();
}

void Capture::end()
{
    m_watchdog->stop();
    if (m_source) {
        m_source->stop();
        delete m_source;
    }
    m_sink->close();
    thread()->quit();
}

} // namespace WavRecording
