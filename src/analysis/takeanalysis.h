#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <span>

// What a take sounds like, measured from its samples: the level, clipping, the room's noise and
// where the speech lies, and from these the flags that tell a person to record it again. Pure
// computation over samples read with libsndfile; every threshold is a named constant in
// takeanalysis.cpp, with the reason for its value.

namespace Analysis {

/// What a take may need attention for; a take can carry several.
enum Flag : unsigned {
    Clipped = 1u << 0,
    TooQuiet = 1u << 1,
    Noisy = 1u << 2,
    StartsCutOff = 1u << 3,
    EndsCutOff = 1u << 4,
    NoSpeech = 1u << 5,
};

/// The level that stands for no signal at all, in dBFS.
inline constexpr double silenceDb = -120.0;

/// The measures of one take. Levels are in dBFS, times in seconds from the take's start.
struct Report
{
    double duration = 0;
    double peakDb = silenceDb;
    /// The RMS level over the speech (from its start to its end); silenceDb without speech.
    double speechDb = silenceDb;
    /// Samples at or within one 24-bit step of full scale, and the runs they form.
    std::int64_t clippedSamples = 0;
    int clippedRuns = 0;
    /// Where clipped runs start, for marking them (the first `maxClippedSpots`).
    QList<double> clippedAt;
    /// A low percentile of the short-window RMS levels: the room without the voice.
    double noiseFloorDb = silenceDb;
    /// The first and last window clearly above the noise floor; both -1 without speech, when
    /// the leading and the trailing silence are each the whole take.
    double speechStart = -1;
    double speechEnd = -1;
    double leadingSilence = 0;
    double trailingSilence = 0;
    /// The mean sample, full scale being 1.
    double dcOffset = 0;
    unsigned flags = 0;

    bool operator==(const Report &) const = default;
};

inline constexpr int maxClippedSpots = 100;

/// Analyses mono samples at `sampleRate`, as 32-bit integers with full scale at ±2^31 (how
/// libsndfile's sf_readf_int gives a 24-bit file: the sample shifted left by 8 bits).
[[nodiscard]] Report analyse(std::span<const std::int32_t> samples, int sampleRate);

/// Analyses a take file: a regular file (a symbolic link is refused, never followed) that
/// libsndfile reads; a file of several channels is read by its first. Throws SystemError naming
/// the file when it cannot be opened or read, or is not audio.
[[nodiscard]] Report analyseFile(const QString &path);

/// The take's drawing: for each of `columns` equal stretches of the file, the lowest and the
/// highest sample, full scale being ±1. Empty for an empty file. Throws as analyseFile.
struct Envelope
{
    QList<float> low;
    QList<float> high;
};
[[nodiscard]] Envelope envelope(const QString &path, int columns);

/// What one flag means to a person: a short title for a chip ("Clipped ×12", "Noisy room
/// −41 dB") and what to do about it ("Record again further from the microphone or lower the
/// input gain.").
struct Advice
{
    Flag flag;
    QString title;
    QString tip;
};
/// The advice for each flag of `report`, in the order of the Flag values.
[[nodiscard]] QList<Advice> advice(const Report &report);

/// The microphone check's verdict on a few seconds of a person reading: one sentence, saying a
/// good level, too quiet (raise the gain), clipping (lower the gain) or a noisy room (with the
/// noise floor's figure).
[[nodiscard]] QString verdict(const Report &report);

/// The flags as stable names, for files and the command line: "clipped", "too-quiet",
/// "noisy", "starts-cut-off", "ends-cut-off", "no-speech"; and back (unknown names ignored).
[[nodiscard]] QStringList flagNames(unsigned flags);
[[nodiscard]] unsigned flagsFromNames(const QStringList &names);

} // namespace Analysis
