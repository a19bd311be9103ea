#include "sessiondisk.h"

#include "atomicfile.h"
#include "datetime.h"
#include "error.h"
#include "files.h"
#include "json.h"

#include <QDir>

#include <algorithm>
#include <cmath>

namespace SessionDisk {

namespace {

// No session comes near this size (10,000 lines with ten takes each is about 20 MB); a larger
// file is not a session, and reading it whole could exhaust the memory.
constexpr qint64 maxDocumentBytes = qint64(1) << 30;

template<class T>
QList<QString> sortedKeys(const QHash<QString, T> &map)
{
    QList<QString> keys = map.keys();
    std::sort(keys.begin(), keys.end(), Json::codePointLess);
    return keys;
}

[[noreturn]] void cannotEncode(QStringView reason)
{
    throw PlatformError(QStringLiteral("The session could not be encoded: ") + reason.toString());
}

void writeTake(Json::PrettyWriter &w, const Take &take)
{
    const auto created = formatInternetDateTime(take.created);
    if (!created)
        cannotEncode(u"a take’s recording time is missing or outside the years 0000–9999.");
    if (!std::isfinite(take.duration))
        cannotEncode(u"a take’s duration is not a finite number.");
    const bool ok = w.StartObject() && w.Key(u"created") && w.String(created->data(), 20)
        && w.Key(u"duration") && w.Double(take.duration) && w.Key(u"file")
        && Json::writeString(w, take.file) && w.Key(u"id") && Json::writeString(w, take.id)
        && w.EndObject();
    if (!ok)
        cannotEncode(u"a take holds text that is not valid Unicode.");
}

} // namespace

QByteArray encode(const Session &session)
{
    // About 200 bytes a take and 300 a line; a good guess saves the output from regrowing.
    qsizetype takeCount = 0;
    for (const QList<Take> &list : session.takes)
        takeCount += list.size();
    Json::Output output(1024 + takeCount * 220 + session.script.lines.size() * 320);
    Json::PrettyWriter w(output);
    Json::indent(w);

    bool ok = w.StartObject() && w.Key(u"index") && w.Int64(session.index) && w.Key(u"script")
        && Json::writeScript(w, session.script) && w.Key(u"selected") && w.StartObject();
    if (!ok)
        cannotEncode(u"the script holds text that is not valid Unicode.");
    for (const QString &line : sortedKeys(session.selected)) {
        if (!(Json::writeString(w, line) && Json::writeString(w, session.selected.value(line))))
            cannotEncode(u"a selection holds text that is not valid Unicode.");
    }
    w.EndObject();
    w.Key(u"takes");
    w.StartObject();
    for (const QString &line : sortedKeys(session.takes)) {
        if (!Json::writeString(w, line))
            cannotEncode(u"a line id holds text that is not valid Unicode.");
        w.StartArray();
        for (const Take &take : session.takes.value(line))
            writeTake(w, take);
        w.EndArray();
    }
    w.EndObject();
    w.Key(u"version");
    w.Int64(session.version);
    w.EndObject();
    return output.take();
}

Session decode(QByteArray bytes, const QString &fileName)
{
    const Json::Document document(std::move(bytes), fileName);
    const Json::Object root = document.root().object();

    Session session;
    session.version = root.member("version").integer();
    session.script = Json::readScript(root.member("script"));
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
    writeFileAtomically(documentPath(folder), encode(session));
}

Session load(const QString &folder)
{
    const QString path = documentPath(folder);
    std::optional<QByteArray> bytes = readRegularFile(path, maxDocumentBytes);
    if (!bytes)
        throw PlatformError(QStringLiteral("Could not read “%1”: File too large").arg(path));
    return decode(std::move(*bytes), QStringLiteral("session.json")).validated();
}

} // namespace SessionDisk
