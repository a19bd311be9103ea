// The export folder: one WAV per recorded line, named after the line, with an index.

#include "atomicfile.h"
#include "error.h"
#include "files.h"
#include "sessiondisk.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace SessionDisk {

namespace {

QString copyAction(const QString &source, const QString &target)
{
    return QStringLiteral("copy “%1” to “%2”").arg(source, target);
}

/// Moves the rest of `in` to `out` inside the kernel where the file system can (a reflink or
/// an in-kernel copy), else through a small buffer; the audio never passes through memory
/// whole. Returns the number of bytes copied, or -1 with errno.
qint64 copyContents(int in, int out)
{
    bool inKernel = true;
    qint64 copied = 0;
    char buffer[1 << 16];
    for (;;) {
        ssize_t n;
        if (inKernel) {
            n = ::copy_file_range(in, nullptr, out, nullptr, size_t(1) << 30, 0);
            if (n < 0
                && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
                inKernel = false;
                continue;
            }
        } else {
            n = ::read(in, buffer, sizeof buffer);
            if (n > 0 && writeAll(out, buffer, n) != 0)
                return -1;
        }
        if (n == 0)
            return copied;
        if (n < 0 && errno != EINTR)
            return -1;
        copied += std::max<ssize_t>(n, 0);
    }
}

/// Copies one take. The target must not exist; a copy that fails halfway is removed, so the
/// export never holds a WAV cut short under a line's name.
void copyTake(const QString &source, const QString &target)
{
    const QString action = copyAction(source, target);
    const RegularFile in = openRegularFile(source, action);
    const QByteArray native = QFile::encodeName(target);
    FileDescriptor out(::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (out.get() < 0)
        throw SystemError::failed(action, qt_error_string(errno));
    const qint64 copied = copyContents(in.descriptor.get(), out.get());
    if (copied < 0 || out.close() != 0) {
        const int error = errno;
        ::unlink(native.constData());
        throw SystemError::failed(action, qt_error_string(error));
    }
    // Some file systems end an in-kernel copy early without an error; a take cut short must
    // not pass for a whole one.
    if (copied < in.size) {
        ::unlink(native.constData());
        throw SystemError::failed(
            action, QStringLiteral("The copy ended before the end of the file"));
    }
}

struct Record
{
    QString file;
    QString id;
    QString text;
};

QByteArray recordingsJson(const QList<Record> &records)
{
    const auto json = Json::writeToBytes<Json::PrettyWriter>([&records](auto &w, auto &) {
        bool ok = w.StartArray();
        for (const Record &r : records) {
            ok = ok && w.StartObject() && Json::key(w, "file") && Json::writeString(w, r.file)
                && Json::key(w, "id") && Json::writeString(w, r.id) && Json::key(w, "text")
                && Json::writeString(w, r.text) && w.EndObject();
        }
        return ok && w.EndArray();
    });
    if (!json)
        throw SystemError(QStringLiteral("Could not write recordings.json: a prompt holds text "
                                         "that is not valid Unicode."));
    return *json;
}

QByteArray scriptJson(const Script &script)
{
    const auto json = Json::writeToBytes<Json::CompactWriter>(
        [&script](auto &w, auto &) { return Json::writeScript(w, script); });
    if (!json)
        throw SystemError(QStringLiteral(
            "Could not write script.json: the script holds text that is not valid Unicode."));
    return *json;
}

} // namespace

int exportTo(const Session &session, const QString &from, const QString &to)
{
    // Made here and nowhere else: an existing folder, or one whose parent is missing, is
    // refused before anything is written.
    if (::mkdir(QFile::encodeName(to).constData(), 0777) != 0)
        throw SystemError::io(u"create the folder", to, errno);

    const QDir target(to);
    try {
        int copied = 0;
        QList<Record> records;
        QStringList missing;
        records.reserve(session.script.lines.size());
        for (const ScriptLine &line : session.script.lines) {
            const Take *take = session.chosen(line.id);
            if (!take) {
                records.append({QString(), line.id, line.text});
                missing.append(line.id);
                continue;
            }
            const QString name = line.id + QStringLiteral(".wav");
            copyTake(takePath(from, take->file), target.filePath(name));
            ++copied;
            records.append({name, line.id, line.text});
        }
        writeFileAtomically(
            target.filePath(QStringLiteral("recordings.json")), recordingsJson(records));
        writeFileAtomically(
            target.filePath(QStringLiteral("script.json")), scriptJson(session.script));
        const QString readme
            = QStringLiteral("%1 of %2 lines recorded.\n48 kHz, mono PCM WAV.\nMissing: %3\n")
                  .arg(copied)
                  .arg(session.script.lines.size())
                  .arg(missing.join(QStringLiteral(", ")));
        writeFileAtomically(target.filePath(QStringLiteral("README.txt")), readme.toUtf8());
        return copied;
    } catch (const Error &error) {
        // The note is a courtesy; the error that stopped the export is what gets reported.
        try {
            writeFileAtomically(target.filePath(QStringLiteral("EXPORT-INCOMPLETE.txt")),
                (QStringLiteral("Export incomplete: ") + error.description()).toUtf8());
        } catch (const Error &) {}
        throw;
    }
}

} // namespace SessionDisk
