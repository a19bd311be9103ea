#include "sessiondisk.h"

#include "apperror.h"
#include "atomicfile.h"
#include "datetime.h"
#include "error.h"
#include "files.h"
#include "json.h"
#include "validation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTimeZone>

#include <algorithm>
#include <cmath>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace Qt::Literals::StringLiterals;

namespace SessionDisk {

namespace {

// No session comes near this size (10,000 lines with ten takes each is about 20 MB); a larger
// file is not a session, and reading it whole could exhaust the memory.
constexpr qint64 maxDocumentBytes = qint64(1) << 30;

/// The map's entries in the order they are written: by key, in code point order.
template<class T>
std::vector<std::pair<QStringView, const T *>> sortedEntries(
    const QHash<QString, T> &map, const Script &script)
{
    using Entry = std::pair<QStringView, const T *>;
    const auto less
        = [](const Entry &a, const Entry &b) { return Json::codePointLess(a.first, b.first); };
    std::vector<Entry> entries;
    entries.reserve(size_t(map.size()));

    // The keys are nearly always the script's own line ids, and scripts are usually numbered in
    // order, so collecting them in script order mostly leaves nothing to sort. Strictly
    // increasing keys, as many as the map holds, are exactly the map's keys.
    for (const ScriptLine &line : script.lines) {
        if (const auto it = map.constFind(line.id); it != map.cend())
            entries.emplace_back(it.key(), &it.value());
    }
    const auto notIncreasing = [&less](const Entry &a, const Entry &b) { return !less(a, b); };
    if (entries.size() == size_t(map.size())
        && std::adjacent_find(entries.begin(), entries.end(), notIncreasing) == entries.end())
        return entries;

    entries.clear();
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        entries.emplace_back(it.key(), &it.value());
    std::sort(entries.begin(), entries.end(), less);
    return entries;
}

[[noreturn]] void cannotEncode(QStringView reason)
{
    throw SystemError(QStringLiteral("The session could not be encoded: ") + reason.toString());
}

void writeTake(Json::PrettyWriter &w, const Take &take)
{
    const auto created = formatInternetDateTime(take.created);
    if (!created)
        cannotEncode(u"a take’s recording time is missing or outside the years 0000–9999.");
    if (!std::isfinite(take.duration))
        cannotEncode(u"a take’s duration is not a finite number.");
    char time[20];
    std::copy(created->begin(), created->end(), time);
    const bool ok = w.StartObject() && Json::key(w, "created") && w.String(time, 20)
        && Json::key(w, "duration") && w.Double(take.duration) && Json::key(w, "file")
        && Json::writeString(w, take.file) && Json::key(w, "id") && Json::writeString(w, take.id)
        && w.EndObject();
    if (!ok)
        cannotEncode(u"a take holds text that is not valid Unicode.");
}

/// True when both hold the very same shared data, and therefore the same content.
template<class T>
bool sameData(const T &a, const T &b)
{
    return a.constData() == b.constData() && a.size() == b.size();
}

/// Writes a member's value from `cached` when it is still current, else with `write`, keeping
/// what `write` produced as the new cached piece. False when the value cannot be written.
template<class Write>
bool writeValue(Json::Output &output, Json::PrettyWriter &w, bool current, QByteArray &cached,
    rapidjson::Type type, Write &&write)
{
    if (current) {
        // The writer still puts its ": " and counts the value; the piece itself goes as it is.
        w.RawValue("", 0, type);
        output.append(cached);
        return true;
    }
    output.drain();
    // The piece starts after the ": " the writer puts between a member's name and its value.
    const size_t start = 2;
    if (!write())
        return false;
    const rapidjson::StringBuffer &buffer = output.buffer();
    cached = Json::escapeSlashes(
        std::string_view(buffer.GetString() + start, buffer.GetSize() - start));
    return true;
}

} // namespace

void SessionWriter::encode(const Session &session, const Json::Sink &sink)
{
    Json::Output output(sink);
    Json::PrettyWriter w(output.buffer());
    w.SetIndent(' ', 2);

    bool ok = w.StartObject() && Json::key(w, "index") && w.Int64(session.index)
        && Json::key(w, "script");
    // A piece and the records it came from are replaced together, and only once the piece is
    // written whole, so a save that fails halfway leaves no piece that looks current.
    const bool sameScript = !m_scriptJson.isEmpty()
        && sameData(m_script.lines, session.script.lines)
        && sameData(m_script.title, session.script.title);
    ok = ok && writeValue(output, w, sameScript, m_scriptJson, rapidjson::kObjectType, [&] {
        return Json::writeScript(w, session.script);
    });
    if (!ok)
        cannotEncode(u"the script holds text that is not valid Unicode.");
    m_script = session.script;

    // With UTF-8 in and out, RapidJSON only fails on text; names and structure always succeed.
    Json::key(w, "selected");
    w.StartObject();
    for (const auto &[line, take] : sortedEntries(session.selected, session.script)) {
        if (!(Json::writeString(w, line) && Json::writeString(w, *take)))
            cannotEncode(u"a selection holds text that is not valid Unicode.");
    }
    w.EndObject();
    Json::key(w, "takes");
    w.StartObject();
    // Plain variables, not a structured binding: clang before 16 cannot capture one in the
    // lambda below.
    for (const auto &entry : sortedEntries(session.takes, session.script)) {
        const QStringView line = entry.first;
        const QList<Take> *const takes = entry.second;
        if (!Json::writeString(w, line))
            cannotEncode(u"a line id holds text that is not valid Unicode.");
        auto &[cachedTakes, cachedJson] = m_takes[line.toString()];
        const bool current = !cachedJson.isEmpty() && sameData(cachedTakes, *takes);
        const bool written = writeValue(output, w, current, cachedJson, rapidjson::kArrayType, [&] {
            w.StartArray();
            for (const Take &take : *takes)
                writeTake(w, take);
            return w.EndArray();
        });
        if (!written)
            cannotEncode(u"a take holds text that is not valid Unicode.");
        cachedTakes = *takes;
        output.flushIfFull();
    }
    // Lines whose takes are gone from the session must not keep their pieces alive.
    if (m_takes.size() != session.takes.size())
        m_takes.removeIf(
            [&session](const auto &entry) { return !session.takes.contains(entry.key()); });
    w.EndObject();
    Json::key(w, "version");
    w.Int64(session.version);
    w.EndObject();
    output.flush();
}

void SessionWriter::save(const Session &session, const QString &folder)
{
    // Written straight into the file as it is encoded: a large session never sits whole in
    // memory, and an encoding failure still leaves the old file as it was.
    writeFileAtomically(
        documentPath(folder), [&](const Json::Sink &write) { encode(session, write); });
}

void encode(const Session &session, const Json::Sink &sink)
{
    SessionWriter().encode(session, sink);
}

QByteArray encode(const Session &session)
{
    QByteArray bytes;
    encode(session, [&bytes](QByteArrayView piece) { bytes.append(piece); });
    return bytes;
}

Session decode(const QByteArray &bytes, const QString &fileName)
{
    const Json::Document document(bytes, fileName);
    const Json::Object root = document.root().object();

    Session session;
    session.version = root.member("version").integer();
    // A script no import would take: its text alone would stall the window that lays it out.
    const Json::Value script = root.member("script");
    if (script.textBytes() > ScriptImport::maxScriptBytes)
        throw AppError(QStringLiteral("The session's script is too large to open."));
    session.script = Json::readScript(script);
    session.index = root.member("index").integer();

    const Json::Object takes = root.member("takes").object();
    session.takes.reserve(takes.size());
    takes.forEach([&session](const QString &line, const Json::Value &value) {
        const Json::Array array = value.array();
        QList<Take> &list = session.takes[line];
        list.reserve(array.size());
        for (qsizetype i = 0; i < array.size(); ++i) {
            const Json::Object take = array.at(i).object();
            list.append({take.member("id").string(), take.member("file").string(),
                take.member("duration").number(), take.member("created").dateTime()});
        }
    });

    const Json::Object selected = root.member("selected").object();
    session.selected.reserve(selected.size());
    selected.forEach([&session](const QString &line, const Json::Value &value) {
        session.selected.insert(line, value.string());
    });
    return session;
}

QString documentPath(const QString &folder)
{
    return QDir(folder).filePath(QStringLiteral("session.json"));
}

void save(const Session &session, const QString &folder)
{
    SessionWriter().save(session, folder);
}

Session load(const QString &folder)
{
    const QString path = documentPath(folder);
    // The panel to open a session starts among the session folders, where the folder holding
    // them all is easy to choose: say what to choose rather than which file is missing.
    if (QFileInfo(folder).isDir() && !exists(path))
        throw AppError(QStringLiteral("“%1” is not a recording session: it has no session.json. "
                                      "Choose one of the session folders.")
                           .arg(QFileInfo(QDir::cleanPath(folder)).fileName()));
    const std::optional<QByteArray> bytes = readRegularFile(path, maxDocumentBytes);
    if (!bytes)
        throw SystemError(QStringLiteral("Could not read “%1”: File too large").arg(path));
    return decode(*bytes, QStringLiteral("session.json")).validated();
}

int missingAudioCount(const Session &session, const QString &folder)
{
    int missing = 0;
    for (const QList<Take> &takes : session.takes)
        for (const Take &take : takes)
            // Followed through symbolic links: a link that leads nowhere holds no audio either.
            missing += !QFileInfo::exists(takePath(folder, take.file));
    return missing;
}

QList<Orphan> orphanedTakes(
    const Session &session, const QString &folder, const MeasureFunction &measure)
{
    QSet<QString> named;
    for (const QList<Take> &takes : session.takes)
        for (const Take &take : takes)
            named.insert(take.file);
    QSet<QString> lines;
    for (const ScriptLine &line : session.script.lines)
        lines.insert(line.id);

    QList<Orphan> found;
    // Not followed through a link: what recovery adds must lie inside the session folder.
    const int takes = ::open(QFile::encodeName(takePath(folder, u"takes"_s)).constData(),
        O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR *listing = takes < 0 ? nullptr : ::fdopendir(takes);
    if (!listing) {
        if (takes >= 0)
            ::close(takes);
        return found;
    }
    constexpr qsizetype uuidLength = 36;
    while (const dirent *entry = ::readdir(listing)) {
        const QString name = QFile::decodeName(entry->d_name);
        const QString file = u"takes/"_s + name;
        if (!name.endsWith(u".wav"_s) || named.contains(file))
            continue;
        const QStringView stem = QStringView(name).chopped(4);
        if (stem.size() < uuidLength + 2 || stem[stem.size() - uuidLength - 1] != u'-')
            continue;
        const QStringView id = stem.right(uuidLength);
        const QString line = stem.chopped(uuidLength + 1).toString();
        struct stat info
        {
        };
        if (!lines.contains(line) || QUuid::fromString(id).isNull()
            || ::fstatat(takes, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0
            || !S_ISREG(info.st_mode))
            continue;
        // Whole seconds in UTC, as session.json keeps every take's time. A time it could not
        // keep (a file dated in the year 20000) would make the session impossible to save.
        QDateTime created = QDateTime::fromSecsSinceEpoch(info.st_mtim.tv_sec, QTimeZone::utc());
        if (!formatInternetDateTime(created))
            created = QDateTime::currentDateTimeUtc();
        std::optional<double> duration;
        try {
            const auto [frames, rate] = measure(takePath(folder, file));
            duration = takeDuration(frames, rate);
        } catch (const Error &) {
            // Not audio, or it cannot be read: left where it is.
        }
        if (duration)
            found.append({line, Take {id.toString().toUpper(), file, *duration, created}});
    }
    ::closedir(listing);
    std::sort(found.begin(), found.end(), [](const Orphan &a, const Orphan &b) {
        return std::pair(a.take.created, a.take.file) < std::pair(b.take.created, b.take.file);
    });
    return found;
}

QString takePath(const QString &folder, const QString &file)
{
    return QDir(folder).filePath(file);
}

QString exportFolderName(const QUuid &uuid)
{
    return QStringLiteral("Quorbel-Export-")
        + uuid.toString(QUuid::WithoutBraces).left(8).toUpper();
}

bool exists(const QString &path)
{
    // A dangling symbolic link is something at that path, too.
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

} // namespace SessionDisk
