#include "takeanalysis.h"

#include "error.h"
#include "files.h"

#include <QStringBuilder>

#include <algorithm>
#include <cmath>
#include <limits>
#include <sndfile.h>
#include <unistd.h>
#include <vector>

namespace Analysis {

namespace {

// The thresholds, in one place. They suit spoken voice recorded at 48 kHz 24-bit in a home
// studio: a voice that peaks around −12 to −6 dBFS over a room at −60 dBFS or below.

// Levels are measured over windows this long: several periods of the lowest voice (a 70 Hz
// fundamental lasts 14 ms) and of mains hum, yet short enough to find where speech begins to
// within a syllable's attack.
constexpr double windowSeconds = 0.020;

// The room is heard in the pauses: before the first word, after the last and between phrases.
// The noise floor is the level under which the quietest tenth of the windows lie, read speech
// pausing for more than a tenth of a take...
constexpr double noiseFloorShare = 0.10;
// ...but counting no more than 100 ms of windows: a take cut tight around the voice (a few
// windows of room at either end, as spoken corpora are cut) would otherwise find its floor
// inside the speech and read as a noisy room. From a second on, the floor is thus the level
// of the take's quietest 100 ms.
constexpr double noiseFloorMaxSeconds = 0.100;

// A window holds speech when it stands this far above the floor: room noise wanders by a few
// dB from window to window, a voice's quietest syllables stand 20 dB and more above a
// usable room.
constexpr double speechAboveFloorDb = 12;
// ...and above this absolute level, so that over digital silence the dither, a converter's
// own hiss or a distant car are not taken for a voice.
constexpr double speechMinDb = -60;

// A sound shorter than this standing alone is a click, a knock or a lip smack, not speech:
// the shortest spoken word lasts longer.
constexpr double minSpeechSeconds = 0.050;
// ...but one this close to the speech belongs to it: the release of a final "t" after its
// closure, or the first consonant of a word before its vowel.
constexpr double speechBridgeSeconds = 0.300;

// A sample counts as clipped at or within this many steps of full scale (at the file's own
// resolution, 24 bits for floating point): converters clip a step short of the rail, and a
// level pinned there is the sound of an overloaded input all the same.
constexpr int clipSteps = 1;

// The window's status line calls a take whose peak stays under −55 dBFS "very quiet"; the
// flag must agree with it.
constexpr double tooQuietPeakDb = -55;
// Speech averaging under −40 dBFS (peaks around −25 dBFS) leaves the voice close to the noise
// of the preamplifier once it is raised to a listening level: raise the gain instead.
constexpr double tooQuietSpeechDb = -40;

// A room above −50 dBFS is heard under the voice: fans, traffic, a computer's hum.
constexpr double noisyFloorDb = -50;
// A voice less than 20 dB above the room sounds as if recorded in it, whatever the room's
// level: move closer to the microphone or quiet the room.
constexpr double minSpeechToNoiseDb = 20;

// Full scale of the 24-bit steps the sums are kept in (samples come as 32-bit integers).
constexpr double fullScale24 = double(1 << 23);
constexpr double fullScale32 = 2147483648.0;

// Sums of squares of 24-bit steps stay exact in 64 bits for this many samples.
constexpr std::size_t maxChunk = 1 << 16;

double decibels(double power)
{
    return power > 0 ? std::max(10 * std::log10(power), silenceDb) : silenceDb;
}

double power(double db)
{
    return std::pow(10.0, db / 10);
}

/// The measures of a take, fed with its samples in blocks of any size.
class Measurer
{
public:
    Measurer(int sampleRate, int resolutionBits)
        : m_rate(std::max(sampleRate, 1))
        , m_windowLength(std::max<qint64>(1, std::llround(windowSeconds * m_rate)))
    {
        const std::int64_t step = std::int64_t(1) << (32 - std::clamp(resolutionBits, 8, 24));
        // The highest code is one step under full scale, the lowest at full scale.
        const std::int64_t top = std::int64_t(1) << 31;
        m_clipHigh = std::int32_t(top - step - clipSteps * step);
        m_clipLow = std::int32_t(-top + clipSteps * step);
    }

    void add(std::span<const std::int32_t> samples)
    {
        while (!samples.empty()) {
            const std::size_t n = std::min<std::size_t>(
                {samples.size(), std::size_t(m_windowLength - m_current.count), maxChunk});
            addChunk(samples.first(n));
            samples = samples.subspan(n);
            if (m_current.count == m_windowLength)
                closeWindow();
        }
    }

    Report finish();

private:
    struct Window
    {
        qint64 count = 0;
        double sum = 0; // of 24-bit steps
        double squares = 0;
    };

    void addChunk(std::span<const std::int32_t> samples)
    {
        std::int64_t sum = 0;
        std::int64_t squares = 0;
        std::int32_t low = std::numeric_limits<std::int32_t>::max();
        std::int32_t high = std::numeric_limits<std::int32_t>::min();
        for (const std::int32_t sample : samples) {
            const std::int64_t step = sample >> 8;
            sum += step;
            squares += step * step;
            low = std::min(low, sample);
            high = std::max(high, sample);
        }
        m_current.count += qint64(samples.size());
        m_current.sum += double(sum);
        m_current.squares += double(squares);
        m_peak = std::max({m_peak, std::int64_t(high), -std::int64_t(low)});
        if (high >= m_clipHigh || low <= m_clipLow)
            findClips(samples);
        else
            m_inClip = false;
        m_samples += qint64(samples.size());
    }

    void findClips(std::span<const std::int32_t> samples)
    {
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const bool clipped = samples[i] >= m_clipHigh || samples[i] <= m_clipLow;
            if (clipped) {
                ++m_report.clippedSamples;
                if (!m_inClip) {
                    if (m_report.clippedRuns < maxClippedSpots)
                        m_report.clippedAt.append(double(m_samples + qint64(i)) / m_rate);
                    ++m_report.clippedRuns;
                }
            }
            m_inClip = clipped;
        }
    }

    void closeWindow()
    {
        m_windows.push_back(m_current);
        m_current = {};
    }

    const int m_rate;
    const qint64 m_windowLength;
    std::int32_t m_clipHigh;
    std::int32_t m_clipLow;
    std::vector<Window> m_windows;
    Window m_current;
    qint64 m_samples = 0;
    std::int64_t m_peak = 0;
    bool m_inClip = false;
    Report m_report;
};

Report Measurer::finish()
{
    // A last stretch shorter than half a window is too short to measure a level on its own.
    if (m_current.count > 0) {
        if (m_current.count * 2 < m_windowLength && !m_windows.empty()) {
            m_windows.back().count += m_current.count;
            m_windows.back().sum += m_current.sum;
            m_windows.back().squares += m_current.squares;
            m_current = {};
        } else {
            closeWindow();
        }
    }
    Report report = std::move(m_report);
    report.duration = double(m_samples) / m_rate;
    report.trailingSilence = report.leadingSilence = report.duration;
    report.peakDb = m_peak > 0 ? std::max(20 * std::log10(double(m_peak) / fullScale32), silenceDb)
                               : silenceDb;
    if (m_windows.empty()) {
        report.flags = TooQuiet | NoSpeech;
        return report;
    }

    // Levels are measured around the take's mean: a constant offset is no sound anyone hears,
    // and counted as one it would read as a noisy room.
    double total = 0;
    for (const Window &window : m_windows)
        total += window.sum;
    const double mean = total / double(m_samples);
    report.dcOffset = mean / fullScale24;
    std::vector<double> powers(m_windows.size());
    std::transform(m_windows.begin(), m_windows.end(), powers.begin(), [mean](const Window &w) {
        const double squares = w.squares - 2 * mean * w.sum + double(w.count) * mean * mean;
        return std::max(squares, 0.0) / double(w.count) / (fullScale24 * fullScale24);
    });

    std::vector<double> sorted = powers;
    const auto quietest = std::clamp<qint64>(
        std::min(std::llround(std::ceil(noiseFloorShare * double(sorted.size()))),
            std::llround(noiseFloorMaxSeconds * m_rate / double(m_windowLength))),
        1, qint64(sorted.size()));
    std::nth_element(sorted.begin(), sorted.begin() + (quietest - 1), sorted.end());
    report.noiseFloorDb = decibels(sorted[std::size_t(quietest - 1)]);

    // The runs of windows loud enough for speech; the long ones are speech, the short ones only
    // when close to a long one.
    const double threshold
        = std::max(power(report.noiseFloorDb + speechAboveFloorDb), power(speechMinDb));
    struct Run
    {
        std::size_t first, last;
    };
    std::vector<Run> runs;
    for (std::size_t i = 0; i < powers.size(); ++i) {
        if (powers[i] < threshold)
            continue;
        if (!runs.empty() && runs.back().last + 1 == i)
            runs.back().last = i;
        else
            runs.push_back({i, i});
    }
    const double windowTime = double(m_windowLength) / m_rate;
    const auto isLong = [&](const Run &run) {
        return double(run.last - run.first + 1) * windowTime >= minSpeechSeconds - 1e-9;
    };
    const auto longFirst = std::find_if(runs.begin(), runs.end(), isLong);
    if (longFirst == runs.end()) {
        report.flags |= NoSpeech;
    } else {
        const auto gap = [&](std::size_t from, std::size_t to) {
            return double(to - from - 1) * windowTime <= speechBridgeSeconds + 1e-9;
        };
        std::size_t first = longFirst->first;
        for (auto run = std::make_reverse_iterator(longFirst);
             run != runs.rend() && gap(run->last, first); ++run)
            first = run->first;
        const auto longLast = std::find_if(runs.rbegin(), runs.rend(), isLong);
        std::size_t last = longLast->last;
        for (auto run = longLast.base(); run != runs.end() && gap(last, run->first); ++run)
            last = run->last;

        qint64 start = 0;
        for (std::size_t i = 0; i < first; ++i)
            start += m_windows[i].count;
        qint64 count = 0;
        double energy = 0;
        for (std::size_t i = first; i <= last; ++i) {
            count += m_windows[i].count;
            energy += powers[i] * double(m_windows[i].count);
        }
        report.speechStart = report.leadingSilence = double(start) / m_rate;
        report.speechEnd = double(start + count) / m_rate;
        report.trailingSilence = report.duration - report.speechEnd;
        report.speechDb = decibels(energy / double(count));
        if (first == 0)
            report.flags |= StartsCutOff;
        if (last == m_windows.size() - 1)
            report.flags |= EndsCutOff;
    }

    if (report.clippedSamples > 0)
        report.flags |= Clipped;
    const bool speech = !(report.flags & NoSpeech);
    if (report.peakDb < tooQuietPeakDb || (speech && report.speechDb < tooQuietSpeechDb))
        report.flags |= TooQuiet;
    if (report.noiseFloorDb > noisyFloorDb
        || (speech && report.speechDb - report.noiseFloorDb < minSpeechToNoiseDb))
        report.flags |= Noisy;
    return report;
}

/// A sound file opened for reading its first channel in blocks, as 32-bit integers.
class Reader
{
public:
    explicit Reader(const QString &path)
        : m_action(fileAction(u"read", path))
        , m_file(openRegularFile(path, m_action, AT_FDCWD, O_NOFOLLOW))
    {
        // libsndfile closes a descriptor it fails to open even when told not to: it gets a
        // duplicate of its own, so that ours is closed once and no other file loses its number.
        m_sound = sf_open_fd(::dup(m_file.descriptor.get()), SFM_READ, &m_info, SF_TRUE);
        if (!m_sound)
            throw SystemError::failed(m_action, QString::fromUtf8(sf_strerror(nullptr)));
        // Formats that hold floating point would come as rounded integers unscaled: read those
        // as floating point and scale them here, full scale and beyond clipping at the rail.
        switch (m_info.format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8:
            m_bits = 8;
            break;
        case SF_FORMAT_PCM_16:
            m_bits = 16;
            break;
        case SF_FORMAT_FLOAT:
        case SF_FORMAT_DOUBLE:
        case SF_FORMAT_VORBIS:
        case SF_FORMAT_OPUS:
        case SF_FORMAT_MPEG_LAYER_I:
        case SF_FORMAT_MPEG_LAYER_II:
        case SF_FORMAT_MPEG_LAYER_III:
            m_floating = true;
            break;
        default:
            break;
        }
        const std::size_t channels = std::size_t(std::max(m_info.channels, 1));
        m_frames = std::max<std::size_t>(1, blockSamples / channels);
        m_buffer.resize(m_frames * channels);
        if (m_floating)
            m_floats.resize(m_frames * channels);
    }
    ~Reader() { sf_close(m_sound); }
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    [[nodiscard]] int sampleRate() const { return m_info.samplerate; }
    [[nodiscard]] int resolutionBits() const { return m_bits; }
    [[nodiscard]] qint64 frames() const { return qint64(m_info.frames); }

    /// The next block of the first channel; empty at the end. Throws when the file cannot be
    /// read further.
    std::span<const std::int32_t> next()
    {
        const auto channels = std::size_t(std::max(m_info.channels, 1));
        sf_count_t got = 0;
        if (m_floating) {
            got = sf_readf_float(m_sound, m_floats.data(), sf_count_t(m_frames));
            for (std::size_t i = 0; i < std::size_t(std::max<sf_count_t>(got, 0)); ++i) {
                const float sample = m_floats[i * channels] * float(fullScale32);
                m_buffer[i] = sample >= float(fullScale32)
                    ? std::numeric_limits<std::int32_t>::max()
                    : sample <= -float(fullScale32) ? std::numeric_limits<std::int32_t>::min()
                                                    : std::int32_t(std::lrint(sample));
            }
        } else {
            got = sf_readf_int(m_sound, m_buffer.data(), sf_count_t(m_frames));
            for (std::size_t i = 1; channels > 1 && i < std::size_t(std::max<sf_count_t>(got, 0));
                 ++i)
                m_buffer[i] = m_buffer[i * channels];
        }
        if (got <= 0 && sf_error(m_sound) != SF_ERR_NO_ERROR)
            throw SystemError::failed(m_action, QString::fromUtf8(sf_strerror(m_sound)));
        return std::span<const std::int32_t>(
            m_buffer.data(), std::size_t(std::max<sf_count_t>(got, 0)));
    }

private:
    // Blocks of 64 K samples: a few hundred kilobytes whatever the take's length.
    static constexpr std::size_t blockSamples = 1 << 16;

    QString m_action;
    RegularFile m_file;
    SF_INFO m_info {};
    SNDFILE *m_sound = nullptr;
    int m_bits = 24;
    bool m_floating = false;
    std::size_t m_frames = 0;
    std::vector<std::int32_t> m_buffer;
    std::vector<float> m_floats;
};

QString figure(double value)
{
    const long rounded = std::lround(value);
    return rounded < 0 ? u"−" % QString::number(-rounded) : QString::number(rounded);
}

} // namespace

Report analyse(std::span<const std::int32_t> samples, int sampleRate)
{
    Measurer measurer(sampleRate, 24);
    measurer.add(samples);
    return measurer.finish();
}

Report analyseFile(const QString &path)
{
    Reader reader(path);
    Measurer measurer(reader.sampleRate(), reader.resolutionBits());
    for (auto block = reader.next(); !block.empty(); block = reader.next())
        measurer.add(block);
    return measurer.finish();
}

Envelope envelope(const QString &path, int columns)
{
    Reader reader(path);
    const qint64 frames = reader.frames();
    if (columns <= 0 || frames <= 0)
        return {};
    // With more columns than frames, each frame stands for the columns over it.
    const auto stretches = int(std::min<qint64>(columns, frames));
    Envelope drawn;
    drawn.low.fill(0, stretches);
    drawn.high.fill(0, stretches);
    const auto boundary = [&](int column) { // column × frames / stretches, without overflowing
        return frames / stretches * column + frames % stretches * column / stretches;
    };
    int column = 0;
    qint64 end = boundary(1);
    qint64 at = 0;
    bool fresh = true;
    for (auto block = reader.next(); !block.empty() && column < stretches; block = reader.next()) {
        for (const std::int32_t sample : block) {
            while (at >= end && column < stretches) {
                ++column;
                end = boundary(column + 1);
                fresh = true;
            }
            if (column >= stretches)
                break;
            const float value = float(sample / fullScale32);
            drawn.low[column] = fresh ? value : std::min(drawn.low[column], value);
            drawn.high[column] = fresh ? value : std::max(drawn.high[column], value);
            fresh = false;
            ++at;
        }
    }
    if (stretches < columns) {
        Envelope spread;
        for (int c = 0; c < columns; ++c) {
            const auto frame = qsizetype((qint64(c) * frames) / columns);
            spread.low.append(drawn.low[frame]);
            spread.high.append(drawn.high[frame]);
        }
        return spread;
    }
    return drawn;
}

QList<Advice> advice(const Report &report)
{
    QList<Advice> list;
    const auto add = [&](Flag flag, const QString &title, const QString &tip) {
        if (report.flags & flag)
            list.append({flag, title, tip});
    };
    add(Clipped, u"Clipped ×" % QString::number(report.clippedRuns),
        QStringLiteral("Record again further from the microphone or lower the input gain."));
    add(TooQuiet, QStringLiteral("Too quiet"),
        QStringLiteral("Record again closer to the microphone or raise the input gain."));
    add(Noisy, u"Noisy room " % figure(report.noiseFloorDb) % u" dB",
        QStringLiteral("Quiet the room (fans, open windows, a computer close by) or move "
                       "closer to the microphone, then record again."));
    add(StartsCutOff, QStringLiteral("Starts cut off"),
        QStringLiteral("Record again and wait a moment after starting before you speak."));
    add(EndsCutOff, QStringLiteral("Ends cut off"),
        QStringLiteral("Record again and wait a moment after the last word before you stop."));
    add(NoSpeech, QStringLiteral("No speech"),
        QStringLiteral("Check that the right microphone is chosen and not muted, then record "
                       "again."));
    return list;
}

QString verdict(const Report &report)
{
    const bool speech = !(report.flags & NoSpeech);
    if (report.flags & Clipped) {
        const QString times = report.clippedRuns == 1
            ? QStringLiteral("once")
            : QStringLiteral("%1 times").arg(report.clippedRuns);
        return u"Clipping: your voice reached full scale " % times
            % u"; lower the input gain or move back from the microphone.";
    }
    if (report.flags & TooQuiet) {
        if (!speech)
            return u"Too quiet: nothing louder than " % figure(report.peakDb)
                % u" dBFS came in; check that the right microphone is chosen and raise the "
                  u"input gain.";
        return u"Too quiet: your voice peaks at " % figure(report.peakDb)
            % u" dBFS; raise the input gain or move closer to the microphone.";
    }
    if (report.flags & Noisy)
        return u"Noisy room: the background noise is at " % figure(report.noiseFloorDb)
            % u" dB; quiet the room or move closer to the microphone.";
    if (!speech)
        return QStringLiteral("No voice heard: read a line aloud while the check runs.");
    return u"Good level: your voice peaks at " % figure(report.peakDb)
        % u" dBFS over a quiet room (" % figure(report.noiseFloorDb) % u" dB).";
}

namespace {
const struct
{
    Flag flag;
    QLatin1String name;
} flagNameList[] = {
    {Clipped, QLatin1String("clipped")},
    {TooQuiet, QLatin1String("too-quiet")},
    {Noisy, QLatin1String("noisy")},
    {StartsCutOff, QLatin1String("starts-cut-off")},
    {EndsCutOff, QLatin1String("ends-cut-off")},
    {NoSpeech, QLatin1String("no-speech")},
};
} // namespace

QStringList flagNames(unsigned flags)
{
    QStringList names;
    for (const auto &entry : flagNameList)
        if (flags & entry.flag)
            names.append(entry.name);
    return names;
}

unsigned flagsFromNames(const QStringList &names)
{
    unsigned flags = 0;
    for (const auto &entry : flagNameList)
        if (names.contains(entry.name))
            flags |= entry.flag;
    return flags;
}

} // namespace Analysis
