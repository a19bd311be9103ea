#include "analysiscache.h"

#include "atomicfile.h"
#include "error.h"
#include "files.h"

#include <QFile>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <sys/stat.h>

using namespace Qt::Literals::StringLiterals;

namespace AnalysisCache {

namespace {

/// Changed whenever an entry's fields or the measures change meaning: an older cache is then
/// rebuilt rather than trusted.
constexpr int version = 1;

// No cache of a real session comes near this (30,000 takes take about 10 MB).
constexpr qint64 maxBytes = qint64(1) << 30;

QString filePath(const QString &folder)
{
    return folder + u'/' + QLatin1StringView(fileName);
}

double number(const rapidjson::Value &object, const char *name, double otherwise = 0)
{
    const auto found = object.FindMember(name);
    return found != object.MemberEnd() && found->value.IsNumber() ? found->value.GetDouble()
                                                                  : otherwise;
}

/// An integer member read whole: timestamps in nanoseconds do not fit a double's precision.
qint64 integer(const rapidjson::Value &object, const char *name, qint64 otherwise = 0)
{
    const auto found = object.FindMember(name);
    return found != object.MemberEnd() && found->value.IsInt64() ? found->value.GetInt64()
                                                                 : otherwise;
}

QStringList strings(const rapidjson::Value &object, const char *name)
{
    QStringList list;
    const auto found = object.FindMember(name);
    if (found == object.MemberEnd() || !found->value.IsArray())
        return list;
    for (const rapidjson::Value &item : found->value.GetArray()) {
        if (item.IsString())
            list << QString::fromUtf8(item.GetString(), item.GetStringLength());
    }
    return list;
}

Entry decodeEntry(const rapidjson::Value &value)
{
    Entry entry;
    entry.stamp = {integer(value, "size", -1), integer(value, "modified")};
    Analysis::Report &r = entry.report;
    r.duration = number(value, "duration");
    r.peakDb = number(value, "peak", Analysis::silenceDb);
    r.speechDb = number(value, "speech", Analysis::silenceDb);
    r.clippedSamples = integer(value, "clippedSamples");
    r.clippedRuns = int(number(value, "clippedRuns"));
    if (const auto at = value.FindMember("clippedAt");
        at != value.MemberEnd() && at->value.IsArray()) {
        for (const rapidjson::Value &time : at->value.GetArray()) {
            if (time.IsNumber())
                r.clippedAt << time.GetDouble();
        }
    }
    r.noiseFloorDb = number(value, "noiseFloor", Analysis::silenceDb);
    r.speechStart = number(value, "speechStart", -1);
    r.speechEnd = number(value, "speechEnd", -1);
    r.leadingSilence = number(value, "leadingSilence");
    r.trailingSilence = number(value, "trailingSilence");
    r.dcOffset = number(value, "dcOffset");
    r.flags = Analysis::flagsFromNames(strings(value, "flags"));
    entry.filed = Analysis::flagsFromNames(strings(value, "filed"));
    if (const auto failure = value.FindMember("failure");
        failure != value.MemberEnd() && failure->value.IsString())
        entry.failure = QString::fromUtf8(failure->value.GetString());
    return entry;
}

template<class W>
void writeString(W &w, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    w.String(utf8.constData(), rapidjson::SizeType(utf8.size()));
}

template<class W>
void writeNames(W &w, const char *name, unsigned flags)
{
    w.Key(name);
    w.StartArray();
    for (const QString &flag : Analysis::flagNames(flags))
        writeString(w, flag);
    w.EndArray();
}

template<class W>
void writeEntry(W &w, const Entry &entry)
{
    const Analysis::Report &r = entry.report;
    w.StartObject();
    w.Key("size");
    w.Int64(entry.stamp.size);
    w.Key("modified");
    w.Int64(entry.stamp.modifiedNs);
    if (!entry.failure.isEmpty()) {
        w.Key("failure");
        writeString(w, entry.failure);
    } else {
        const std::pair<const char *, double> measures[]
            = {{"duration", r.duration}, {"peak", r.peakDb}, {"speech", r.speechDb},
                {"noiseFloor", r.noiseFloorDb}, {"speechStart", r.speechStart},
                {"speechEnd", r.speechEnd}, {"leadingSilence", r.leadingSilence},
                {"trailingSilence", r.trailingSilence}, {"dcOffset", r.dcOffset}};
        for (const auto &[name, value] : measures) {
            w.Key(name);
            w.Double(value);
        }
        w.Key("clippedSamples");
        w.Int64(r.clippedSamples);
        w.Key("clippedRuns");
        w.Int(r.clippedRuns);
        w.Key("clippedAt");
        w.StartArray();
        for (const double time : r.clippedAt)
            w.Double(time);
        w.EndArray();
        writeNames(w, "flags", r.flags);
    }
    writeNames(w, "filed", entry.filed);
    w.EndObject();
}

} // namespace

Entries load(const QString &folder)
{
    Entries entries;
    std::optional<QByteArray> bytes;
    try {
        bytes = readRegularFile(filePath(folder), maxBytes);
    } catch (const Error &) {}
    if (!bytes)
        return entries;
    rapidjson::Document document;
    document.Parse(bytes->constData(), size_t(bytes->size()));
    if (document.HasParseError() || !document.IsObject() || number(document, "version") != version)
        return entries;
    const auto takes = document.FindMember("takes");
    if (takes == document.MemberEnd() || !takes->value.IsObject())
        return entries;
    entries.reserve(takes->value.MemberCount());
    for (const auto &member : takes->value.GetObject()) {
        if (member.value.IsObject())
            entries.insert(
                QString::fromUtf8(member.name.GetString(), member.name.GetStringLength()),
                decodeEntry(member.value));
    }
    return entries;
}

void save(const QString &folder, const Entries &entries)
{
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
    w.StartObject();
    w.Key("version");
    w.Int(version);
    w.Key("takes");
    w.StartObject();
    for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
        writeString(w, it.key());
        writeEntry(w, it.value());
    }
    w.EndObject();
    w.EndObject();
    writeFileAtomically(
        filePath(folder), QByteArrayView(buffer.GetString(), qsizetype(buffer.GetSize())));
}

std::optional<Stamp> stamp(const QString &path)
{
    struct stat status
    {
    };
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return std::nullopt;
    return Stamp {qint64(status.st_size),
        qint64(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec};
}

Entry check(const QString &path, const Entry *cached, unsigned filed)
{
    const std::optional<Stamp> now = stamp(path);
    if (cached && now && cached->stamp == *now) {
        Entry entry = *cached;
        entry.filed |= filed;
        return entry;
    }
    Entry entry;
    entry.stamp = now.value_or(Stamp {});
    entry.filed = filed | (cached ? cached->filed : 0);
    try {
        entry.report = Analysis::analyseFile(path);
    } catch (const Error &error) {
        entry.failure = error.description();
    }
    return entry;
}

} // namespace AnalysisCache
