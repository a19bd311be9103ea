#include "takeconversion.h"

#include "error.h"
#include "takeanalysis.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ebur128.h>
#include <memory>
#include <optional>
#include <sndfile.h>
#include <soxr.h>
#include <unistd.h>
#include <vector>

namespace Exporting {

namespace {

// libsndfile gives every integer format as 32-bit integers, full scale at ±2^31.
constexpr double fullScale32 = 2147483648.0;

// EBU R 128 keeps the true peak at or under −1 dBTP, so that the converters and lossy encoders
// of the tools after us do not clip the peaks between the samples...
constexpr double ceilingDbtp = -1.0;
// ...and the dither and rounding added after the peak is measured can lift it by a step or two:
// the gain stops a thousandth (0.009 dB, some 30 steps of 16 bits) under the ceiling.
constexpr double ceilingMargin = 0.999;

// Takes are read and written in blocks of this many frames: a few hundred kilobytes.
constexpr sf_count_t blockFrames = 1 << 16;

struct SoundFileCloser
{
    void operator()(SNDFILE *file) const { sf_close(file); }
};
using SoundFile = std::unique_ptr<SNDFILE, SoundFileCloser>;

/// libsndfile's reason for a failed open. Its global error is read, not its global message,
/// which another thread's failure could be writing meanwhile.
QString openFailure()
{
    return QString::fromUtf8(sf_error_number(sf_error(nullptr)));
}

/// A take's bytes, which libsndfile reads from memory: read whole with a few large reads, where
/// libsndfile reading the file itself asks for a few kilobytes at a time.
class Bytes
{
public:
    Bytes(const RegularFile &take, const QString &action, std::vector<char> &buffer)
        : m_bytes(buffer)
    {
        m_bytes.resize(std::size_t(std::max<qint64>(take.size, 0)) + 1);
        for (;;) {
            if (m_size == m_bytes.size())
                m_bytes.resize(m_bytes.size() * 2);
            const ssize_t n = ::pread(take.descriptor.get(), m_bytes.data() + m_size,
                m_bytes.size() - m_size, off_t(m_size));
            if (n == 0)
                break;
            if (n < 0 && errno != EINTR)
                throw SystemError::failed(action, qt_error_string(errno));
            m_size += std::size_t(std::max<ssize_t>(n, 0));
        }
    }

    SNDFILE *open(SF_INFO &info)
    {
        static SF_VIRTUAL_IO io {
            [](void *b) { return sf_count_t(static_cast<Bytes *>(b)->m_size); },
            [](sf_count_t offset, int whence, void *b) {
                Bytes &bytes = *static_cast<Bytes *>(b);
                const sf_count_t base = whence == SEEK_SET ? 0
                    : whence == SEEK_CUR                   ? bytes.m_at
                                                           : sf_count_t(bytes.m_size);
                bytes.m_at = std::clamp<sf_count_t>(base + offset, 0, sf_count_t(bytes.m_size));
                return bytes.m_at;
            },
            [](void *to, sf_count_t count, void *b) {
                Bytes &bytes = *static_cast<Bytes *>(b);
                const sf_count_t n = std::min(count, sf_count_t(bytes.m_size) - bytes.m_at);
                std::memcpy(to, bytes.m_bytes.data() + bytes.m_at, std::size_t(n));
                bytes.m_at += n;
                return n;
            },
            [](const void *, sf_count_t, void *) { return sf_count_t(0); },
            [](void *b) { return static_cast<Bytes *>(b)->m_at; },
        };
        return sf_open_virtual(&io, SFM_READ, &info, this);
    }

private:
    std::vector<char> &m_bytes;
    std::size_t m_size = 0;
    sf_count_t m_at = 0;
};

/// Reads the first channel of the take into `samples`, as 32-bit integers; returns its sample
/// rate.
int readTake(const RegularFile &take, const QString &action, ConversionBuffers &buffers)
{
    Bytes bytes(take, action, buffers.bytes);
    SF_INFO info {};
    const SoundFile file(bytes.open(info));
    if (!file)
        throw SystemError::failed(action, openFailure());
    // A take in floating point is scaled to full scale like the integer formats.
    sf_command(file.get(), SFC_SET_SCALE_FLOAT_INT_READ, nullptr, SF_TRUE);
    const auto channels = std::size_t(std::max(info.channels, 1));
    // One more than the header counts: the read that finds the end needs room to try.
    std::vector<std::int32_t> &samples = buffers.samples;
    samples.resize(std::size_t(std::max<sf_count_t>(info.frames, 0)) + 1);
    std::vector<std::int32_t> &block = buffers.block;
    block.resize(channels > 1 ? std::size_t(blockFrames) * channels : 0);
    std::size_t done = 0;
    for (;;) {
        if (done == samples.size())
            samples.resize(std::max<std::size_t>(done * 2, blockFrames));
        // A mono take is read in place; of several channels, the first is kept.
        const sf_count_t want
            = sf_count_t(std::min<std::size_t>(samples.size() - done, blockFrames));
        const sf_count_t got
            = sf_readf_int(file.get(), channels == 1 ? samples.data() + done : block.data(), want);
        if (got <= 0) {
            if (sf_error(file.get()) != SF_ERR_NO_ERROR)
                throw SystemError::failed(action, QString::fromUtf8(sf_strerror(file.get())));
            break;
        }
        for (std::size_t i = 0; channels > 1 && i < std::size_t(got); ++i)
            samples[done + i] = block[i * channels];
        done += std::size_t(got);
    }
    samples.resize(done);
    return info.samplerate;
}

/// The samples from `padding` before the speech to `padding` after it, as the take analysis
/// finds it; all of them when it finds no speech, so a take of only silence is kept whole.
std::pair<std::size_t, std::size_t> trimmed(
    const std::vector<std::int32_t> &samples, int rate, std::optional<double> padding)
{
    if (!padding)
        return {0, samples.size()};
    const Analysis::Report report = Analysis::analyse(samples, rate);
    if (report.speechStart < 0)
        return {0, samples.size()};
    const auto at = [&](double seconds) {
        return std::size_t(
            std::clamp<double>(std::round(seconds * rate), 0, double(samples.size())));
    };
    return {at(report.speechStart - *padding), at(report.speechEnd + *padding)};
}

/// Resamples `audio` into `out`.
void resample(const std::vector<float> &audio, std::vector<float> &out, int from, int to,
    const QString &action)
{
    out.resize(std::size_t(std::ceil(double(audio.size()) * to / from)) + 16);
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
    // One thread: the export already keeps every core busy with a take of its own.
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    std::size_t done = 0;
    if (const soxr_error_t error = soxr_oneshot(from, to, 1, audio.data(), audio.size(), nullptr,
            out.data(), out.size(), &done, &io, &quality, &runtime))
        throw SystemError::failed(action, QString::fromUtf8(error));
    out.resize(done);
}

using Meter = std::unique_ptr<ebur128_state, void (*)(ebur128_state *)>;

/// A loudness meter over `audio`; nothing when memory runs out, libebur128's only failure.
Meter measure(const float *audio, std::size_t frames, int rate, int mode)
{
    Meter meter(
        ebur128_init(1, unsigned(rate), mode), [](ebur128_state *s) { ebur128_destroy(&s); });
    if (meter && ebur128_add_frames_float(meter.get(), audio, frames) != EBUR128_SUCCESS)
        meter.reset();
    return meter;
}

// libebur128 finds the true peak (at the rates written, all under 96 kHz) by interpolating 4×:
// each point between samples weighs the 13 samples around it with weights whose magnitudes sum
// to at most 1.87 (5.4 dB). No point can rise above the loudest sample it weighs times this.
constexpr float maxInterpolationGain = 1.87f;

/// The loudest sample of `audio`, as a magnitude.
float loudestSample(const std::vector<float> &audio)
{
    float loudest = 0;
    for (const float x : audio)
        loudest = std::max(loudest, std::abs(x));
    return loudest;
}

/// The true peak libebur128 finds in `audio`, looked for only around the samples at or over
/// `threshold`: no point elsewhere can pass `threshold` × 1.87. Measuring every sample would
/// cost as much as resampling the take.
std::optional<double> truePeak(const std::vector<float> &audio, int rate, float threshold)
{
    // Samples kept on either side of a loud one: the points it weighs in lie within 7
    // samples of it, each weighing 6 more on either side.
    constexpr std::size_t reach = 16;
    const auto loud = [&](std::size_t i) { return std::abs(audio[i]) >= threshold; };
    // The stretches around loud samples, each followed by silence that ends its interpolation.
    std::vector<float> near;
    for (std::size_t i = 0; i < audio.size(); ++i) {
        if (!loud(i))
            continue;
        const std::size_t from = i - std::min(i, reach);
        std::size_t to = std::min(audio.size(), i + reach + 1);
        for (std::size_t j = i + 1; j < to; ++j)
            to = loud(j) ? std::min(audio.size(), j + reach + 1) : to;
        near.insert(
            near.end(), audio.begin() + std::ptrdiff_t(from), audio.begin() + std::ptrdiff_t(to));
        near.insert(near.end(), reach, 0.0f);
        i = to - 1;
    }
    const Meter meter = measure(near.data(), near.size(), rate, EBUR128_MODE_TRUE_PEAK);
    double peak = 0;
    if (!meter || ebur128_true_peak(meter.get(), 0, &peak) != EBUR128_SUCCESS)
        return std::nullopt;
    return peak;
}

/// The gain that brings `audio` to `target` LUFS with its true peak at most at the ceiling;
/// when the ceiling held it lower, the loudness it reaches goes into `converted`. Audio too
/// short or too quiet to have a loudness is left as it is.
double loudnessGain(const std::vector<float> &audio, int rate, double target, const QString &action,
    Converted &converted)
{
    const Meter meter = measure(audio.data(), audio.size(), rate, EBUR128_MODE_I);
    double loudness = 0;
    if (!meter || ebur128_loudness_global(meter.get(), &loudness) != EBUR128_SUCCESS)
        throw SystemError::failed(action, QStringLiteral("Out of memory"));
    if (!std::isfinite(loudness))
        return 1;
    const double wanted = std::pow(10, (target - loudness) / 20);
    const double ceiling = std::pow(10, ceilingDbtp / 20) * ceilingMargin;
    // Most speech brought to its loudness peaks well under the ceiling: when even the most the
    // interpolation could add keeps it there, the true peak need not be measured.
    const double over = ceiling / wanted;
    const float loudest = loudestSample(audio);
    if (loudest * maxInterpolationGain <= over)
        return wanted;
    // Only points over `over` matter, and only those near samples over `over` / 1.87 can be;
    // the highest point lies near a sample over `loudest` / 1.87, which it never falls below.
    const std::optional<double> peak
        = truePeak(audio, rate, float(std::max<double>(loudest, over) / maxInterpolationGain));
    if (!peak)
        throw SystemError::failed(action, QStringLiteral("Out of memory"));
    if (*peak * wanted <= ceiling)
        return wanted;
    const double gain = ceiling / *peak;
    converted.limitedLufs = loudness + 20 * std::log10(gain);
    return gain;
}

/// A generator of the dither's noise: splitmix64, fast and plenty random for noise at the
/// level of the last bit.
class Noise
{
public:
    explicit Noise(std::uint64_t seed) : m_state(seed) {}

    /// Triangular noise between −1 and 1 step: the difference of two uniform draws, which
    /// makes the error of the rounding after it independent of the signal in its mean and its
    /// power.
    double triangular()
    {
        std::uint64_t z = (m_state += 0x9e3779b97f4a7c15u);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
        z ^= z >> 31;
        constexpr double step = 1.0 / (1 << 24);
        return double(z >> 40) * step - double((z >> 16) & 0xffffff) * step;
    }

private:
    std::uint64_t m_state;
};

/// Writes the audio times `gain` as a new WAV file of `bits`: 16 bits with TPDF dither, 24
/// rounded (their own noise lies far under any dither's). Samples beyond full scale clip.
void writeWav(const QString &target, const std::vector<float> &audio, double gain, int rate,
    int bits, std::uint64_t seed, std::vector<std::int32_t> &block)
{
    const QString action = fileAction(u"write", target);
    const QByteArray native = QFile::encodeName(target);
    FileDescriptor out(::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (out.get() < 0)
        throw SystemError::failed(action, qt_error_string(errno));
    try {
        SF_INFO info {
            0, rate, 1, SF_FORMAT_WAV | (bits == 16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_24), 0, 0};
        // libsndfile closes a descriptor it fails to open even when told not to: it gets a
        // duplicate of its own, so that ours is closed once and no other file loses its number.
        SoundFile file(sf_open_fd(::dup(out.get()), SFM_WRITE, &info, SF_TRUE));
        if (!file)
            throw SystemError::failed(action, openFailure());
        const double scale = std::ldexp(1.0, bits - 1);
        const int shift = 32 - bits;
        Noise noise(seed);
        block.resize(static_cast<std::size_t>(blockFrames));
        for (std::size_t at = 0; at < audio.size(); at += block.size()) {
            const std::size_t n = std::min(block.size(), audio.size() - at);
            for (std::size_t i = 0; i < n; ++i) {
                const double value = double(audio[at + i]) * gain * scale
                    + (bits == 16 ? noise.triangular() : 0.0);
                const double code = std::clamp(std::round(value), -scale, scale - 1);
                block[i] = std::int32_t(code) * (1 << shift);
            }
            errno = 0;
            if (sf_writef_int(file.get(), block.data(), sf_count_t(n)) != sf_count_t(n))
                throw SystemError::failed(action,
                    errno != 0 ? qt_error_string(errno)
                               : QString::fromUtf8(sf_strerror(file.get())));
        }
        errno = 0;
        if (sf_close(file.release()) != 0 || out.close() != 0)
            throw SystemError::failed(action, qt_error_string(errno != 0 ? errno : EIO));
    } catch (...) {
        ::unlink(native.constData());
        throw;
    }
}

} // namespace

Converted convertTake(const RegularFile &take, const QString &source, const QString &target,
    const ExportOptions &options, std::uint64_t seed, ConversionBuffers &buffers)
{
    const QString action = fileAction(u"read", source);
    const int rate = readTake(take, action, buffers);
    if (rate <= 0)
        throw SystemError::failed(action, QStringLiteral("The file gives no sample rate"));
    const std::vector<std::int32_t> &samples = buffers.samples;
    const auto [first, last] = trimmed(samples, rate, options.trimPadding);
    std::vector<float> &audio = buffers.audio;
    audio.resize(last - first);
    std::transform(samples.begin() + std::ptrdiff_t(first), samples.begin() + std::ptrdiff_t(last),
        audio.begin(), [](std::int32_t sample) { return float(sample) * float(1 / fullScale32); });
    if (rate != options.sampleRate) {
        resample(audio, buffers.resampled, rate, options.sampleRate, fileAction(u"convert", source));
        audio.swap(buffers.resampled);
    }
    Converted converted;
    // Measured on the resampled signal: that is what the listener, and the true peak, get.
    const double gain = options.loudnessLufs
        ? loudnessGain(audio, options.sampleRate, *options.loudnessLufs,
            fileAction(u"measure the loudness of", source), converted)
        : 1.0;
    writeWav(target, audio, gain, options.sampleRate, options.bits, seed, buffers.block);
    return converted;
}

} // namespace Exporting
