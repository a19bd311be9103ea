#include "atomicfile.h"

#include "error.h"
#include "files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

void createFolders(const QString &path)
{
    const QString absolute = QDir::cleanPath(QDir(path).absolutePath());
    QString made;
    for (const QString &part : absolute.split(u'/', Qt::SkipEmptyParts)) {
        const QString parent = made.isEmpty() ? QStringLiteral("/") : made;
        made += u'/' + part;
        const QByteArray native = QFile::encodeName(made);
        if (::mkdir(native.constData(), 0777) == 0) {
            if (flushFolder(parent) != 0)
                throw SystemError::io(u"create the folder", made, errno);
            continue;
        }
        const int error = errno;
        struct stat info
        {
        };
        if (error != EEXIST || ::stat(native.constData(), &info) != 0 || !S_ISDIR(info.st_mode))
            throw SystemError::io(u"create the folder", made, error);
    }
}

void writeFileAtomically(const QString &path, QByteArrayView bytes)
{
    writeFileAtomically(path, [bytes](const auto &write) { write(bytes); });
}

void writeFileAtomically(const QString &path,
    const std::function<void(const std::function<void(QByteArrayView)> &)> &produce)
{
    auto failure = [&path](int errnum) { return SystemError::io(u"write", path, errnum); };

    const QFileInfo target(path);
    const QByteArray folder = QFile::encodeName(target.absolutePath());
    const QByteArray name = QFile::encodeName(target.fileName());

    // The folder is opened first and every step works relative to it, so the temporary file,
    // the rename and the final flush all concern the same folder even if it is moved meanwhile.
    const FileDescriptor dir(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0)
        throw failure(errno);

    // A fresh name, created exclusively: never a file that another writer also uses. The name
    // starts with a dot, so it stays out of the way if a crash leaves it behind.
    QByteArray temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
        temporary = '.' + name + ".tmp-"
            + QByteArray::number(QRandomGenerator::global()->generate64(), 36);
        fd = ::openat(
            dir.get(), temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && (errno != EEXIST || attempt == 16))
            throw failure(errno);
    }
    FileDescriptor file(fd);

    try {
        produce([&](QByteArrayView piece) {
            if (writeAll(file.get(), piece.data(), piece.size()) != 0)
                throw failure(errno);
        });
        if (flushToDisk(file.get()) != 0)
            throw failure(errno);
        if (file.close() != 0)
            throw failure(errno);
        if (::renameat(dir.get(), temporary.constData(), dir.get(), name.constData()) != 0)
            throw failure(errno);
    } catch (...) {
        // Whatever went wrong, the half-made file must not stay behind.
        ::unlinkat(dir.get(), temporary.constData(), 0);
        throw;
    }

    // Until the folder is flushed, the rename may be lost in a power cut and the old file come
    // back. The new content is in place either way, but a save is only reported done once it
    // will survive.
    if (flushToDisk(dir.get()) != 0)
        throw failure(errno);
}
