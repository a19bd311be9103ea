#pragma once

#include <QByteArrayView>
#include <QString>

#include <functional>

/// Replaces the file at `path` with `bytes` so that, whatever happens (a full disk, an I/O
/// error, a crash or a power cut), the file holds either its old or its new content, never a
/// mix. The bytes go to a new temporary file beside it, are flushed to the disk, and the
/// temporary file is renamed over the target; then the folder itself is flushed, so the rename
/// is durable too.
///
/// Throws SystemError naming the file. A failure before the rename removes the temporary file
/// and leaves the old file untouched; a failure of the final folder flush is reported although
/// the new content is already in place.
void writeFileAtomically(const QString &path, QByteArrayView bytes);

/// The same for content produced piece by piece: `produce` is given a function that appends
/// to the new file. Anything `produce` throws abandons the new file, leaves the old one as it
/// was, and is passed on.
void writeFileAtomically(const QString &path,
    const std::function<void(const std::function<void(QByteArrayView)> &)> &produce);

/// Creates the folder at `path` and every missing folder above it; an existing folder is fine.
/// Each folder made is flushed into the folder that holds it, so a file written into it
/// afterwards and reported safe survives a power cut together with its folder. Throws
/// SystemError naming the folder that could not be made.
void createFolders(const QString &path);
