#pragma once

// What the benchmarks share: timing, medians, verdicts, a working folder on the disk and
// generated multilingual prose.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QList>
#include <QRandomGenerator>
#include <QString>
#include <QStringView>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <iterator>
#include <optional>
#ifdef __linux__
#    include <linux/magic.h>
#    include <sys/vfs.h>
#endif

namespace Bench {

/// Every figure is the median of this many runs, which keeps the odd slow run that the disk or
/// the scheduler causes out of the result.
inline constexpr int runs = 9;

/// The time one call of `f` takes, in milliseconds.
template<class F>
double milliseconds(F &&f)
{
    const auto start = std::chrono::steady_clock::now();
    f();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    return std::chrono::duration<double, std::milli>(elapsed).count();
}

/// The middle value, or the mean of the two middle ones for an even count.
inline double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    const qsizetype n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

inline const char *verdict(bool met)
{
    return met ? "target met" : "target MISSED";
}

/// Runs a benchmark's body; an exception becomes a message and exit status 1.
template<class F>
int guarded(F &&body)
{
    try {
        return body();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}

/// Reads the command line every benchmark shares: --help, and --dir for where its working
/// folder goes. Returns that folder's parent, empty for the default.
inline QString parseDirOption(const QCoreApplication &app, const QString &description)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(description);
    parser.addHelpOption();
    const QCommandLineOption dirOption(QStringLiteral("dir"),
        QStringLiteral("Create the working folder inside <path> (default: ./build)."),
        QStringLiteral("path"));
    parser.addOption(dirOption);
    parser.process(app);
    return parser.value(dirOption);
}

/// True when `path` lies on a file system kept in memory, where flushes cost nothing.
inline bool inMemory(const QString &path)
{
#ifdef __linux__
    struct statfs info
    {
    };
    return ::statfs(QFile::encodeName(path).constData(), &info) == 0
        && (info.f_type == TMPFS_MAGIC || info.f_type == RAMFS_MAGIC);
#else
    Q_UNUSED(path);
    return false;
#endif
}

/// A fresh folder inside `parent` (./build when empty), removed with everything in it when it
/// goes out of scope. ./build rather than the system's temporary folder, which is often a
/// tmpfs: there flushes and copies never reach a disk and the figures would mean little. Says
/// where the folder is, and warns when it is kept in memory all the same; says why and gives
/// nothing when it cannot be made.
inline std::optional<QTemporaryDir> workFolder(QString parent)
{
    if (parent.isEmpty())
        parent = QDir::current().filePath(QStringLiteral("build"));
    if (!QDir().mkpath(parent)) {
        std::fprintf(stderr, "Could not create %s\n", qPrintable(parent));
        return std::nullopt;
    }
    std::optional<QTemporaryDir> folder(
        std::in_place, QDir(parent).filePath(QStringLiteral("quorbel-bench-XXXXXX")));
    if (!folder->isValid()) {
        std::fprintf(stderr, "Could not create a folder in %s: %s\n", qPrintable(parent),
            qPrintable(folder->errorString()));
        return std::nullopt;
    }
    std::printf("Folder: %s\n", qPrintable(folder->path()));
    if (inMemory(folder->path()))
        std::printf("Warning: this folder is kept in memory; flushes cost nothing there.\n");
    return folder;
}

/// Repeatable prose in many scripts: accented Latin, Cyrillic, Greek, CJK and Hangul, an
/// occasional emoji, and the characters that encoders and parsers treat specially (commas,
/// slashes, straight and curly quotes). Every UTF-8 width from one to four bytes occurs.
class Prose
{
public:
    explicit Prose(quint32 seed) : m_random(seed) {}

    /// Words joined by blanks and the odd comma, as many as fit in `limit`. `length` measures a
    /// piece of text and must be additive (UTF-16 units, UTF-8 bytes, ...).
    template<class Length>
    QString text(qsizetype limit, Length length)
    {
        QString text;
        qsizetype used = 0;
        for (;;) {
            QString piece;
            if (!text.isEmpty())
                piece = m_random.bounded(8) == 0 ? QStringLiteral(", ") : QStringLiteral(" ");
            piece += words[m_random.bounded(int(std::size(words)))];
            const qsizetype cost = length(QStringView(piece));
            if (used + cost > limit)
                return text;
            text += piece;
            used += cost;
        }
    }

    QRandomGenerator &random() { return m_random; }

private:
    static constexpr QStringView words[] = {
        u"the",
        u"quiet",
        u"river",
        u"morning",
        u"light",
        u"and",
        u"of",
        u"a",
        u"she",
        u"said",
        u"we",
        u"never",
        u"again",
        u"long",
        u"road",
        u"home",
        u"under",
        u"bright",
        u"window",
        u"café",
        u"naïve",
        u"façade",
        u"Ångström",
        u"smörgåsbord",
        u"jalapeño",
        u"Zürich",
        u"résumé",
        u"über",
        u"São",
        u"Łódź",
        u"crème",
        u"brûlée",
        u"déjà",
        u"vu",
        u"Ærø",
        u"привет",
        u"мир",
        u"тишина",
        u"утро",
        u"река",
        u"слово",
        u"Москва",
        u"ёлка",
        u"дождь",
        u"καλημέρα",
        u"θάλασσα",
        u"東京",
        u"静かな",
        u"朝",
        u"言葉",
        u"川の流れ",
        u"日本語",
        u"北京",
        u"한국어",
        u"바다",
        u"and/or",
        u"24/7",
        u"1/2",
        u"\"so-called\"",
        u"it's",
        u"“curly”",
        u"«ёлки»",
        u"„Anführung“",
        u"‘single’",
        u"🎙",
        u"🌍",
        u"😀",
    };

    QRandomGenerator m_random;
};

} // namespace Bench
