// The export folder: one WAV per recorded line, named after the line, with an index.

#include "apperror.h"
#include "atomicfile.h"
#include "error.h"
#include "exportfolder.h"
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

/// Copies one take, its `reference` ("takes/…") found in `takes` and only there. The target
/// must not exist; a copy that fails halfway is removed, so the export never holds a WAV cut
/// short under a line's name.
void copyTake(
    TakesFolder &takes, const QString &reference, const QString &source, const QString &target)
{
    const QString action = copyAction(source, target);
    const RegularFile in = takes.open(reference, action);
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

} // namespace

void makeExportFolder(const Session &session, const QString &from, const QString &to)
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
}

TakesFolder::TakesFolder(const QString &session) : m_path(QDir(session).filePath(u"takes"_s)) {}

int TakesFolder::get()
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

RegularFile TakesFolder::open(const QString &reference, QStringView action)
{
    const int folder = get();
    if (folder < 0)
        throw SystemError::failed(action, qt_error_string(m_error));
    const QString name = reference.mid(reference.indexOf(u'/') + 1);
    struct stat info
    {
    };
    if (::fstatat(folder, QFile::encodeName(name).constData(), &info, AT_SYMLINK_NOFOLLOW) == 0
        && S_ISLNK(info.st_mode))
        refuseLink(reference);
    // O_NOFOLLOW as well: a file swapped for a link since the look is refused all the same.
    return openRegularFile(name, action, folder, O_NOFOLLOW);
}

QByteArray recordingsJson(const QList<ExportRecord> &records)
{
    const auto json = Json::writeToBytes<Json::PrettyWriter>([&records](auto &w, auto &) {
        bool ok = w.StartArray();
        for (const ExportRecord &r : records) {
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

QByteArray exportReadme(int exported, qsizetype lines, const QString &format,
    const QStringList &missing, const QStringList &notes)
{
    QString readme = QString::number(exported) + u" of "_s + QString::number(lines)
        + u" lines recorded.\n"_s + format + u"\nMissing: "_s + missing.join(u", "_s) + u'\n';
    for (const QString &note : notes)
        readme += note + u'\n';
    return readme.toUtf8();
}

void writeExportIndex(const QString &to, const QList<ExportRecord> &records, const Script &script,
    const QByteArray &readme)
{
    const QDir target(to);
    writeFileAtomically(target.filePath(u"recordings.json"_s), recordingsJson(records));
    writeFileAtomically(target.filePath(u"script.json"_s), scriptJson(script));
    writeFileAtomically(target.filePath(u"README.txt"_s), readme);
}

void abandonExport(const QString &to, const Error &reason)
{
    const QString incomplete = u"Export incomplete: "_s + reason.description();
    // The note is a courtesy; the error that stopped the export is what gets reported.
    try {
        writeFileAtomically(QDir(to).filePath(u"EXPORT-INCOMPLETE.txt"_s), incomplete.toUtf8());
    } catch (const Error &) {}
    if (dynamic_cast<const ExportCancelled *>(&reason))
        throw ExportCancelled(incomplete);
    throw Error(incomplete);
}

int exportTo(
    const Session &session, const QString &from, const QString &to, const ExportProgress &progress)
{
    makeExportFolder(session, from, to);
    const QDir target(to);
    TakesFolder takes(from);
    try {
        int copied = 0;
        const int total = session.recordedCount();
        QList<ExportRecord> records;
        QStringList missing;
        records.reserve(session.script.lines.size());
        for (const ScriptLine &line : session.script.lines) {
            const Take *take = session.chosen(line.id);
            if (!take) {
                records.append({QString(), line.id, line.text});
                missing.append(line.id);
                continue;
            }
            if (progress && !progress(copied, total))
                throw ExportCancelled();
            const QString name = line.id + QStringLiteral(".wav");
            copyTake(takes, take->file, takePath(from, take->file), target.filePath(name));
            ++copied;
            records.append({name, line.id, line.text});
        }
        if (progress)
            progress(copied, total);
        writeExportIndex(to, records, session.script,
            exportReadme(copied, session.script.lines.size(), u"48 kHz, mono PCM WAV."_s, missing));
        return copied;
    } catch (const Error &error) {
        abandonExport(to, error);
    }
}

} // namespace SessionDisk
