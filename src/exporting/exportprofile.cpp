#include "exportprofile.h"

#include "apperror.h"
#include "atomicfile.h"
#include "exportfolder.h"
#include "takeconversion.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <mutex>
#include <sys/stat.h>
#include <system_error>
#include <vector>

using namespace Qt::Literals::StringLiterals;

namespace Exporting {

namespace {

// More padding than this keeps so much room around the voice that nothing is trimmed worth
// the name; a figure beyond it is a slip, such as milliseconds typed for seconds.
constexpr double maxTrimPadding = 10;
// Loudness targets in use run from about −31 LUFS (film dialogue) to −9 LUFS (the loudest
// music streams); the range leaves room on both sides but stays above −70 LUFS, where the
// measure's absolute gate starts ignoring the audio, and below −5 LUFS, which no speech
// reaches under a true peak of −1 dBTP.
constexpr double minLufs = -60;
constexpr double maxLufs = -5;
// A thread per take beyond this is no faster on any machine that runs the program, and a
// figure above it is a typing slip.
constexpr int maxJobs = 256;

/// A figure as the program writes it: a true minus sign, no trailing zeros.
QString figure(double value, int decimals = 6)
{
    QString digits = QString::number(std::abs(value), 'f', decimals);
    if (digits.contains(u'.')) {
        while (digits.endsWith(u'0'))
            digits.chop(1);
        if (digits.endsWith(u'.'))
            digits.chop(1);
    }
    return value < 0 && digits != u"0" ? u"−"_s + digits : digits;
}

/// A line's text in metadata.csv, where a "|" would start a column and a line break a row.
QString metadataText(const QString &text)
{
    static const QRegularExpression breaks(u"\r\n|[|\n\r\v\f\u0085\u2028\u2029]"_s);
    return QString(text).replace(breaks, u" "_s);
}

/// One take to convert: the line it stands for, its place in the script (which seeds its
/// dither, so an export does not depend on which thread converted what), and the take.
struct Work
{
    const ScriptLine *line;
    qsizetype index;
    const Take *take;
};

/// Converts every take into `wavs` on `options.jobs` threads, the calling one among them, each
/// taking the next take in script order when it is free. After a failure or a cancel no
/// further take starts, and those already started are finished before it is thrown.
std::vector<Converted> convertAll(const QList<Work> &work, SessionDisk::TakesFolder &takes,
    const QString &from, const QDir &wavs, const ExportOptions &options, const Progress &progress)
{
    const auto total = int(work.size());
    std::vector<Converted> results(work.size());
    if (progress && !progress(0, total) && total > 0)
        throw SessionDisk::ExportCancelled();
    if (work.isEmpty())
        return results;
    // Opened once here, before the threads share the folder.
    (void)takes.get();

    std::mutex mutex;
    std::atomic<std::size_t> next = 0;
    std::atomic<bool> stop = false;
    int done = 0;
    bool cancelled = false;
    std::size_t failedAt = 0;
    std::optional<Error> failure;
    const auto fail = [&](std::size_t i, const Error &error) {
        const std::lock_guard lock(mutex);
        if (!failure || i < failedAt) {
            failure = error;
            failedAt = i;
        }
        stop = true;
    };
    const auto worker = [&] {
        ConversionBuffers buffers;
        for (std::size_t i = 0; !stop && (i = next++) < std::size_t(work.size());) {
            const Work &item = work[qsizetype(i)];
            const QString source = SessionDisk::takePath(from, item.take->file);
            try {
                const RegularFile file = takes.open(item.take->file, fileAction(u"read", source));
                results[i] = convertTake(file, source, wavs.filePath(item.line->id + u".wav"_s),
                    options, std::uint64_t(item.index) + 1, buffers);
            } catch (const Error &error) {
                fail(i, error);
                continue;
            } catch (const std::bad_alloc &) {
                fail(i, SystemError::failed(fileAction(u"convert", source), u"Out of memory"_s));
                continue;
            }
            const std::lock_guard lock(mutex);
            ++done;
            if (progress && !progress(done, total) && done < total)
                stop = cancelled = true;
        }
    };
    {
        std::vector<std::jthread> threads;
        for (qsizetype t = 1; t < std::min<qsizetype>(options.jobs, work.size()); ++t) {
            try {
                threads.emplace_back(worker);
            } catch (const std::system_error &) {
                break; // fewer threads, and the same work
            }
        }
        worker();
    }
    if (failure)
        throw *failure;
    if (cancelled)
        throw SessionDisk::ExportCancelled();
    return results;
}

} // namespace

QString validationError(const ExportOptions &options)
{
    if (options.profile == Profile::AsRecorded)
        return {};
    if (std::find(sampleRates.begin(), sampleRates.end(), options.sampleRate) == sampleRates.end())
        return u"The sample rate must be 48000, 44100, 24000, 22050 or 16000 Hz, not %1."_s.arg(
            figure(options.sampleRate));
    if (options.bits != 16 && options.bits != 24)
        return u"The bit depth must be 16 or 24, not %1."_s.arg(figure(options.bits));
    if (options.trimPadding
        && !(*options.trimPadding >= 0 && *options.trimPadding <= maxTrimPadding))
        return u"The trim padding must be between 0 and %1 seconds, not %2."_s.arg(
            figure(maxTrimPadding), figure(*options.trimPadding));
    if (options.loudnessLufs
        && !(*options.loudnessLufs >= minLufs && *options.loudnessLufs <= maxLufs))
        return u"The loudness target must be between %1 and %2 LUFS, not %3."_s.arg(
            figure(minLufs), figure(maxLufs), figure(*options.loudnessLufs));
    if (options.jobs < 1 || options.jobs > maxJobs)
        return u"The number of jobs must be between 1 and %1, not %2."_s.arg(
            figure(maxJobs), figure(options.jobs));
    return {};
}

QString formatDescription(const ExportOptions &options)
{
    if (options.profile == Profile::AsRecorded)
        return u"48 kHz, mono PCM WAV."_s;
    QString text = figure(options.sampleRate / 1000.0) + u" kHz, mono "_s
        + QString::number(options.bits) + u"-bit PCM WAV"_s;
    if (options.trimPadding)
        text += u", trimmed ("_s + figure(*options.trimPadding) + u" s padding)"_s;
    if (options.loudnessLufs)
        text += u", "_s + figure(*options.loudnessLufs) + u" LUFS"_s;
    return text + u'.';
}

int exportSession(const Session &session, const QString &from, const QString &to,
    const ExportOptions &options, const Progress &progress)
{
    if (const QString problem = validationError(options); !problem.isEmpty())
        throw AppError(problem);
    if (options.profile == Profile::AsRecorded)
        return SessionDisk::exportTo(session, from, to, progress);

    SessionDisk::makeExportFolder(session, from, to);
    try {
        const QString wavs = QDir(to).filePath(u"wavs"_s);
        if (::mkdir(QFile::encodeName(wavs).constData(), 0777) != 0)
            throw SystemError::io(u"create the folder", wavs, errno);
        QList<Work> work;
        QList<SessionDisk::ExportRecord> records;
        QStringList missing;
        QString metadata;
        const QList<ScriptLine> &lines = session.script.lines;
        for (qsizetype i = 0; i < lines.size(); ++i) {
            const ScriptLine &line = lines[i];
            const Take *take = session.chosen(line.id);
            if (!take) {
                records.append({QString(), line.id, line.text});
                missing.append(line.id);
                continue;
            }
            work.append({&line, i, take});
            records.append({u"wavs/"_s + line.id + u".wav"_s, line.id, line.text});
            const QString text = metadataText(line.text);
            metadata += line.id + u'|' + text + u'|' + text + u'\n';
        }

        SessionDisk::TakesFolder takes(from);
        const std::vector<Converted> converted
            = convertAll(work, takes, from, QDir(wavs), options, progress);

        QStringList notes;
        for (qsizetype i = 0; i < work.size(); ++i) {
            if (const std::optional<double> reached = converted[std::size_t(i)].limitedLufs)
                notes.append(u"wavs/%1.wav: %2 LUFS instead of %3 LUFS, its gain limited to keep "
                             u"the true peak at −1 dBTP."_s.arg(work[i].line->id,
                                 figure(*reached, 1), figure(*options.loudnessLufs)));
        }
        writeFileAtomically(QDir(to).filePath(u"metadata.csv"_s), metadata.toUtf8());
        SessionDisk::writeExportIndex(to, records, session.script,
            SessionDisk::exportReadme(
                int(work.size()), lines.size(), formatDescription(options), missing, notes));
        return int(work.size());
    } catch (const Error &error) {
        SessionDisk::abandonExport(to, error);
    }
}

} // namespace Exporting
