#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

/// Reads a whole regular file, but never more than `limit` bytes: nothing when the file holds
/// more. A FIFO, a device or a directory is refused without waiting on it, so a file that never
/// ends cannot hang the program or fill its memory. Throws PlatformError naming the file.
[[nodiscard]] std::optional<QByteArray> readRegularFile(const QString &path, qint64 limit);
