#pragma once

#include "records.h"
#include "sessiondisk.h"

#include <QString>

#include <array>
#include <optional>
#include <thread>

// Export profiles: the plain export ("As recorded", the takes copied as they are), or a
// folder laid out for a speech-synthesis trainer with the audio converted on the way, on a
// worker thread per core.

namespace Exporting {

enum class Profile {
    /// One WAV per line, the chosen take's bytes as recorded; SessionDisk::exportTo.
    AsRecorded,
    /// wavs/<id>.wav and metadata.csv ("id|text|text"), the audio converted as the options say.
    LJSpeech,
};

/// The sample rates an export converts to, highest first.
inline constexpr std::array<int, 5> sampleRates {48'000, 44'100, 24'000, 22'050, 16'000};

/// One job per core by default: every take is converted on its own.
[[nodiscard]] inline int defaultJobs()
{
    return int(std::max(1u, std::thread::hardware_concurrency()));
}

/// How to export. The audio options apply to every profile but AsRecorded, which ignores
/// them; their defaults are LJSpeech's.
struct ExportOptions
{
    Profile profile = Profile::AsRecorded;
    /// One of sampleRates; the takes are resampled with libsoxr at its very high quality.
    int sampleRate = 22'050;
    /// 16 (with TPDF dither) or 24.
    int bits = 16;
    /// Trims the silence before and after the speech (as the take analysis finds it) down to
    /// this many seconds; nothing: not trimmed.
    std::optional<double> trimPadding = 0.2;
    /// The integrated loudness (EBU R 128) every file is brought to, in LUFS, unless its true
    /// peak would go over −1 dBTP; nothing: the level is left as recorded.
    std::optional<double> loudnessLufs = -23.0;
    /// How many takes are converted at once.
    int jobs = defaultJobs();

    bool operator==(const ExportOptions &) const = default;
};

/// What is wrong with `options`, worded for a person ("The bit depth must be 16 or 24, not
/// 8."); empty when they can be used. The audio options of AsRecorded are not looked at.
[[nodiscard]] QString validationError(const ExportOptions &options);

/// README.txt's second line for `options`: "22.05 kHz, mono 16-bit PCM WAV, trimmed (0.2 s
/// padding), −23 LUFS."
[[nodiscard]] QString formatDescription(const ExportOptions &options);

/// How far an export has come and whether it goes on: called with (0, total) before the first
/// file and after each (done, total), one call at a time but from the worker threads; false
/// cancels it. See SessionDisk::ExportProgress.
using Progress = SessionDisk::ExportProgress;

/// Exports the session in folder `from` into the new folder `to` (its parent must exist, it
/// must not, and it must lie outside `from`) and returns the number of WAV files written.
///
/// AsRecorded is SessionDisk::exportTo: sequential, stopping at the first failure. LJSpeech
/// writes wavs/<id>.wav for every line with a chosen take, converted on `options.jobs` threads
/// (trim → resample → loudness measured → gain limited by the true peak → dither → write), then
/// metadata.csv (UTF-8, no header, "id|text|text" in script order, a "|" or a line break in a
/// text written as a space), recordings.json (its "file" naming wavs/<id>.wav), script.json and
/// README.txt (line 2 from formatDescription; after line 3, one line per file whose gain the
/// true peak limited). Takes are read only as regular files inside the takes folder, never
/// through a link.
///
/// Throws AppError with validationError's message for bad options, before anything is
/// written; AppError or SystemError when the folder cannot be made there. A failure or a
/// cancel afterwards leaves the files finished so far and EXPORT-INCOMPLETE.txt saying why,
/// and throws an Error "Export incomplete: <reason>", a SessionDisk::ExportCancelled
/// ("Export incomplete: Export cancelled.") for a cancel. Of several failing takes, the first
/// in script order is reported.
int exportSession(const Session &session, const QString &from, const QString &to,
    const ExportOptions &options, const Progress &progress = {});

} // namespace Exporting
