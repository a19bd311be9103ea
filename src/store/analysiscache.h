#pragma once

#include "takeanalysis.h"

#include <QHash>
#include <QString>

#include <optional>

// What was measured of a session's takes, kept in analysis.json in its folder so that opening a
// session does not read every take again. It is derived data: a missing, stale or unreadable
// cache is rebuilt from the takes, never an error, and session.json never holds any of it.

namespace AnalysisCache {

inline constexpr auto fileName = "analysis.json";

/// How long a take file is and when it last changed: a file that differs in either is analysed
/// again (take ids may repeat, files are told apart by their reference and this).
struct Stamp
{
    qint64 size = -1;
    qint64 modifiedNs = 0;

    bool operator==(const Stamp &) const = default;
};

struct Entry
{
    Stamp stamp;
    Analysis::Report report;
    /// Why the file could not be checked ("Could not read “…”: …"); empty when it was.
    QString failure;
    /// What the status line called the take when it was filed (quiet, clipped): it keeps those
    /// flags whatever the measures say.
    unsigned filed = 0;

    /// Every flag the take carries.
    [[nodiscard]] unsigned flags() const { return report.flags | filed; }
    /// The take was clipped, too quiet, noisy, cut off or silent, or could not be checked.
    [[nodiscard]] bool needsAttention() const { return flags() != 0 || !failure.isEmpty(); }

    bool operator==(const Entry &) const = default;
};

/// The entries by the take's file reference ("takes/x.wav").
using Entries = QHash<QString, Entry>;

/// The cache of the session in `folder`; empty when there is none or it cannot be read.
[[nodiscard]] Entries load(const QString &folder);
/// Replaces the cache with `entries`, atomically. Throws SystemError naming the file.
void save(const QString &folder, const Entries &entries);

/// The stamp of the file at `path` itself (a link is not followed); none when it is missing.
[[nodiscard]] std::optional<Stamp> stamp(const QString &path);

/// The entry of the take file at `path`: `cached` when it is of the file as it is now, else the
/// file analysed anew (a failure becomes the entry's `failure`). The flags given at filing are
/// kept from `cached`, and `filed` adds to them.
[[nodiscard]] Entry check(const QString &path, const Entry *cached, unsigned filed = 0);

} // namespace AnalysisCache
