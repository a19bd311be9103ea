#pragma once

#include <QAudioDevice>
#include <QByteArray>

#include <chrono>
#include <optional>

/// The name of the source that the sound server's settings make the default input, as the
/// server itself tells it; nothing when no server answers within `timeout`, so a hung server
/// cannot hang the caller. Only a PulseAudio server (or PipeWire's PulseAudio service) is asked,
/// and never started.
[[nodiscard]] std::optional<QByteArray> serverDefaultSource(std::chrono::milliseconds timeout);

/// Whether the sound server has a source named `name` right now; false too when no server
/// answers within `timeout`. Asked just before recording from a device, because Qt 6.4 waits
/// without end for a recording stream on a source that is gone or a server that does not
/// answer. True where the sound server is not PulseAudio.
[[nodiscard]] bool serverHasSource(const QByteArray &name, std::chrono::milliseconds timeout);

/// The input device that the system's sound settings select, among the devices Qt lists; a null
/// device when the system has none. Qt 6.4 does not follow the sound server's default source,
/// so the server is asked first, and Qt's own choice only stands when the server does not
/// answer or names a device Qt does not list.
[[nodiscard]] QAudioDevice systemDefaultInput();
