#pragma once

#include "json.h"
#include "records.h"

#include <QByteArray>
#include <QString>

/// Operations on a session folder. They keep nothing between calls.
namespace SessionDisk {

/// The session document's bytes: pretty-printed UTF-8, keys in code point order at every level,
/// '/' written as "\/", times as "YYYY-MM-DDTHH:MM:SSZ". Throws PlatformError when the session
/// holds something JSON cannot carry (a duration that is not finite, text that is not Unicode).
[[nodiscard]] QByteArray encode(const Session &session);

/// The same bytes, handed to `sink` piece by piece as they are written.
void encode(const Session &session, const Json::Sink &sink);

/// Reads a session document (not yet validated). `fileName` starts every error message.
/// Throws PlatformError naming the member at fault.
[[nodiscard]] Session decode(const QByteArray &bytes, const QString &fileName);

/// Writes folder/session.json atomically and durably; the old file survives any failure.
void save(const Session &session, const QString &folder);

/// Reads folder/session.json and returns it validated.
[[nodiscard]] Session load(const QString &folder);

/// The location of the session document inside `folder`.
[[nodiscard]] QString documentPath(const QString &folder);

} // namespace SessionDisk
