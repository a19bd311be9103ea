#pragma once

// Reading and writing whole files in tests, where a failure to set up is a broken test.

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QtEndian>

#include <sys/stat.h>

/// The file's bytes, or a marker no test expects when it cannot be read.
inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

/// Writes a whole file and returns its path; a file that cannot be written ends the test run.
inline QString writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

/// The names in `folder`, hidden ones included, sorted: what an operation left there.
inline QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

/// Everything under `folder`, to show that an operation wrote nothing there: every entry's
/// relative path with its kind and, for a regular file, its content, or only its size and
/// time when it is too large to compare whole. Opens nothing but regular files, so a FIFO
/// cannot block it.
inline QMap<QString, QByteArray> folderSnapshot(const QString &folder)
{
    QMap<QString, QByteArray> entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QByteArray &entry = entries[QDir(folder).relativeFilePath(path)];
        struct stat info = {};
        if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
            entry = "<gone>";
        else if (S_ISDIR(info.st_mode))
            entry = "<folder>";
        else if (!S_ISREG(info.st_mode))
            entry = "<not a file>";
        else if (info.st_size > 32 << 20)
            entry = "<large> " + QByteArray::number(qint64(info.st_size)) + ' '
                + QByteArray::number(qint64(info.st_mtim.tv_sec)) + '.'
                + QByteArray::number(qint64(info.st_mtim.tv_nsec));
        else
            entry = readFile(path);
    }
    return entries;
}

/// A take file as the recorder writes it, mono 48 kHz 24-bit, holding `frames` of a quiet tone
/// but with a header that counts `counted` of them: fewer when the recorder was killed between
/// writing audio and updating the header.
inline QByteArray takeBytes(qint64 frames, qint64 counted)
{
    // "RIFF" and its size; "WAVE", the format: integer PCM, mono, 48 kHz, 144,000 bytes a
    // second, 3-byte frames of 24 bits; "data" and its size.
    QByteArray bytes = QByteArray::fromHex("524946460000000057415645666d74201000000001000100"
                                           "80bb000080320200030018006461746100000000");
    qToLittleEndian(quint32(36 + 3 * counted), bytes.data() + 4);
    qToLittleEndian(quint32(3 * counted), bytes.data() + 40);
    for (qint64 i = 0; i < frames; ++i)
        bytes.append(i % 2 == 0 ? "\x00\x10\x00" : "\x00\xf0\xff", 3);
    return bytes;
}
