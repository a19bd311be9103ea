#pragma once

// What the fuzz targets share: a scratch folder of their own, whole-file writes, and one way to
// stop on a broken promise that libFuzzer and the corpus replay both report as a crash, with
// the input that caused it.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace Fuzz {

[[noreturn]] inline void broken(const char *promise)
{
    std::fprintf(stderr, "Broken promise: %s\n", promise);
    std::abort();
}

inline void check(bool kept, const char *promise)
{
    if (!kept)
        broken(promise);
}

/// A folder that lives as long as the process. Memory-backed when the system has one, because
/// a target writes its input to a file on every run.
inline QString scratch(const QString &name)
{
    static const QTemporaryDir dir = [] {
        return QFileInfo(QStringLiteral("/dev/shm")).isWritable()
            ? QTemporaryDir(QStringLiteral("/dev/shm/quorbel-fuzz-XXXXXX"))
            : QTemporaryDir();
    }();
    check(dir.isValid(), "the scratch folder exists");
    const QString path = dir.filePath(name);
    check(QDir().mkpath(path), "the scratch folder can hold a folder");
    return path;
}

inline void writeFile(const QString &path, const uint8_t *data, size_t size)
{
    QFile file(path);
    const auto length = qint64(size);
    check(file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && file.write(reinterpret_cast<const char *>(data), length) == length,
        "the input can be written to the scratch folder");
}

/// Everything in `folder`, hidden files included, so a stray temporary file shows too.
inline QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace Fuzz
