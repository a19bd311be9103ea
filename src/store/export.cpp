// The export folder: one WAV per recorded line, named after the line, with an index.

#include "apperror.h"
#include "atomicfile.h"
#include "error.h"
#include "files.h"
#include "sessiondisk.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

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

[[noreturn]] void refuseLink(const QString &reference)
{
    throw AppError(QStringLiteral("“%1” is a symbolic link; only files inside the session folder "
                                  "are exported.")
                       .arg(reference));
}

/// The session's takes folder, opened once for the whole export without following a symbolic
/// link: a session folder received from someone else must not make the export copy files from
/// anywhere else, such as the person's own documents.
class TakesFolder
{
public:
    explicit TakesFolder(const QString &session) : m_path(QDir(session).filePath(u"takes"_s)) {}

    /// The folder's descriptor; -1 with the reason in `error` when it cannot be opened.
    int get()
    {
        if (m_fd.get() < 0 && m_error == 0) {
            m_fd = FileDescriptor(::open(QFile::encodeName(m_path).constData(),
                O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            m_error = m_fd.get() < 0 ? errno : 0;
            struct stat info
            {
            };
            if (m_error != 0 && ::lstat(QFile::encodeName(m_path).constData(), &info) == 0
                && S_ISLNK(info.st_mode))
                refuseLink(u"takes"_s);
        }
        return m_fd.get();
    }
    [[nodiscard]] int error() const { return m_error; }

private:
    QString m_path;
    FileDescriptor m_fd;
    int m_error = 0;
};

/// Copies one take, its `reference` ("takes/…") found in `takes` and only there. The target
/// must not exist; a copy that fails halfway is removed, so the export never holds a WAV cut
/// short under a line's name.
void copyTake(
    TakesFolder &takes, const QString &reference, const QString &source, const QString &target)
{
    const QString action = copyAction(source, target);
    const int folder = takes.get();
    if (folder < 0)
        throw SystemError::failed(action, qt_error_string(takes.error()));
    const QString name = reference.mid(reference.indexOf(u'/') + 1);
    struct stat info
    {
    };
    if (::fstatat(folder, QFile::encodeName(name).constData(), &info, AT_SYMLINK_NOFOLLOW) == 0
        && S_ISLNK(info.st_mode))
        refuseLink(reference);
    // O_NOFOLLOW as well: a file swapped for a link since the look is refused all the same.
    const RegularFile in = openRegularFile(name, action, folder, O_NOFOLLOW);
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
    // Every take's file must be a name inside the takes folder before any is looked for there.
    (void)session.validated();
    // An export inside the session folder would be part of what Start Over moves to the Trash,
    // and an export inside takes/ would be taken for audio of the session.
    const QString parent = QFileInfo(QFileInfo(to).absolutePath()).canonicalFilePath();
    const QString sessionFolder = QFileInfo(from).canonicalFilePath();
    if (!parent.isEmpty() && (parent == sessionFolder || parent.startsWith(sessionFolder + u'/')))
        throw AppError(QStringLiteral("“%1” is inside the session folder; choose a folder "
                                      "outside it for the export.")
                           .arg(to));
    // Made here and nowhere else: an existing folder, or one whose parent is missing, is
    // refused before anything is written.
    if (::mkdir(QFile::encodeName(to).constData(), 0777) != 0)
        throw SystemError::io(u"create the folder", to, errno);

    const QDir target(to);
    TakesFolder takes(from);
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
            copyTake(takes, take->file, takePath(from, take->file), target.filePath(name));
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
        const Error incomplete(QStringLiteral("Export incomplete: ") + error.description());
        // The note is a courtesy; the error that stopped the export is what gets reported.
        try {
            writeFileAtomically(target.filePath(QStringLiteral("EXPORT-INCOMPLETE.txt")),
                incomplete.description().toUtf8());
        } catch (const Error &) {}
        throw incomplete;
    }
}

} // namespace SessionDisk
