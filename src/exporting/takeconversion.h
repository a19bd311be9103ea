#pragma once

#include "exportprofile.h"
#include "files.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace Exporting {

/// What converting one take did to its level.
struct Converted
{
    /// The integrated loudness the file reached, in LUFS, when its true peak kept its gain
    /// under what the loudness target asked for; nothing otherwise.
    std::optional<double> limitedLufs;
};

/// Memory a thread reuses from one take to the next: a take's worth of fresh pages costs the
/// kernel more time than the conversion that fills them.
struct ConversionBuffers
{
    std::vector<char> bytes;
    std::vector<std::int32_t> samples;
    std::vector<std::int32_t> block;
    std::vector<float> audio;
    std::vector<float> resampled;
};

/// Converts the take open as `take` (read from `source`, which messages name) into a new mono
/// WAV file `target` as `options` say: trimmed around the speech, resampled, brought to the
/// loudness target with the true peak at or under −1 dBTP, dithered to 16 bits or rounded to
/// 24, in `buffers`. `seed` starts the dither's noise, so the same take gives the same file. The target must
/// not exist; on a failure it is removed and SystemError names the file at fault.
Converted convertTake(const RegularFile &take, const QString &source, const QString &target,
    const ExportOptions &options, std::uint64_t seed, ConversionBuffers &buffers);

} // namespace Exporting
