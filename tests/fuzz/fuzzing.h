#pragma once

// What the fuzz targets share: a scratch folder of their own, and one way to stop on a broken
// promise that libFuzzer and the corpus replay both report as a crash, with the input that
// caused it. Files are written and listed with the tests' own helpers.

#include "error.h"
#include "testfiles.h"

#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace Fuzz {

inline void check(bool kept, const char *promise)
{
    if (!kept) {
        std::fprintf(stderr, "Broken promise: %s\n", promise);
        std::abort();
    }
}

/// A folder that lives as long as the process. Memory-backed when the system has one, because
/// a target writes its input to a file on every run.
inline QString scratch(const QString &name)
{
    const bool shm = QFileInfo(QStringLiteral("/dev/shm")).isWritable();
    static const QTemporaryDir dir((shm ? QStringLiteral("/dev/shm") : QDir::tempPath())
        + QStringLiteral("/quorbel-fuzz-XXXXXX"));
    const QString path = dir.filePath(name);
    check(dir.isValid() && QDir().mkpath(path), "the scratch folder can be made");
    return path;
}

/// What `f` returns, or false when it throws Error, which is how the program refuses bad input.
template<class F>
bool holds(F &&f)
{
    try {
        return f();
    } catch (const Error &) {
        return false;
    }
}

/// Writes the input as `name` in `folder` and has `read(path)` read it; false when it was
/// refused. Accepted or refused, reading it must have written nothing.
template<class F>
bool readInput(
    const QString &folder, const QString &name, const uint8_t *data, size_t size, F &&read)
{
    const QString path = writeFile(QDir(folder).filePath(name),
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size)));
    const bool accepted = holds([&] { return read(path), true; });
    check(entries(folder) == QStringList {name}, "reading the input writes nothing");
    return accepted;
}

} // namespace Fuzz
