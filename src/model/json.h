#pragma once

#include "records.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string_view>

/// Reading and writing the program's JSON files with RapidJSON. Reading is strict: a value of
/// the wrong type, a missing member, a name given twice or text that is not Unicode is an error
/// that names the file and the path of the value, so a person can find the fault.
namespace Json {

class Object;
class Array;
class Document;

/// One value of a parsed document. Errors name the way to it, which is worked out only when an
/// error is raised, so reading costs nothing for it.
class Value
{
public:
    [[nodiscard]] Object object() const;
    [[nodiscard]] Array array() const;
    [[nodiscard]] QString string() const;
    /// A string, or nothing for JSON null.
    [[nodiscard]] std::optional<QString> optionalString() const;
    [[nodiscard]] double number() const;
    /// A number with no fraction (1.0 counts as 1) that fits in 64 bits.
    [[nodiscard]] qint64 integer() const;
    /// An internet date-time string, "Z" or an offset.
    [[nodiscard]] QDateTime dateTime() const;
    /// The bytes of UTF-8 in all the strings this value holds, at any depth, member names
    /// aside; counted without reading the strings.
    [[nodiscard]] qint64 textBytes() const;

    /// Throws the reader's error for this value: `<file>: "<path>" <problem>`.
    [[noreturn]] void fail(QStringView problem) const;

private:
    friend class Document;
    friend class Object;
    friend class Array;
    Value(const rapidjson::Value &value, const Document &document)
        : m_value(&value)
        , m_document(&document)
    {}
    [[nodiscard]] QString path() const;
    [[nodiscard]] QString decode(const rapidjson::Value &text) const;

    const rapidjson::Value *m_value;
    const Document *m_document;
};

/// An object whose member names were checked to be unique.
class Object
{
public:
    /// A required member; its absence is an error.
    [[nodiscard]] Value member(std::string_view name) const;
    /// A member that may be absent.
    [[nodiscard]] std::optional<Value> find(std::string_view name) const;
    /// Calls f(name, value) for every member in document order.
    template<class F>
    void forEach(F &&f) const
    {
        for (const auto &m : m_self.m_value->GetObject())
            f(m_self.decode(m.name), Value(m.value, *m_self.m_document));
    }
    [[nodiscard]] qsizetype size() const { return m_self.m_value->MemberCount(); }

private:
    friend class Value;
    explicit Object(const Value &self) : m_self(self) {}
    Value m_self;
};

class Array
{
public:
    [[nodiscard]] qsizetype size() const { return m_self.m_value->Size(); }
    [[nodiscard]] Value at(qsizetype i) const
    {
        return Value((*m_self.m_value)[rapidjson::SizeType(i)], *m_self.m_document);
    }

private:
    friend class Value;
    explicit Array(const Value &self) : m_self(self) {}
    Value m_self;
};

/// A whole JSON document, parsed without recursion (so any depth of nesting is an ordinary
/// error, not a crash), with exact numbers and validated UTF-8.
class Document
{
public:
    /// Parses `bytes`, which it copies what it needs from; `fileName` starts every error
    /// message. Throws SystemError.
    Document(const QByteArray &bytes, QString fileName);
    Document(const Document &) = delete;
    Document &operator=(const Document &) = delete;

    [[nodiscard]] Value root() const { return Value(m_document, *this); }
    [[nodiscard]] const QString &fileName() const { return m_fileName; }

private:
    friend class Value;
    QString m_fileName;
    rapidjson::Document m_document;
};

/// The script record: "title" and "lines", each line with "id", "text" and an optional "note".
[[nodiscard]] Script readScript(const Value &value);

/// Receives a document's bytes piece by piece as they are written.
using Sink = std::function<void(QByteArrayView)>;

/// Where the writers put their UTF-8: the writer's buffer is moved, with every '/' written as
/// "\/" (so takes/x.wav is stored as takes\/x.wav), into pieces that are handed to a sink once
/// they are large enough, so a large document never sits whole in memory. A '/' byte can only
/// stand inside a JSON string.
class Output
{
public:
    explicit Output(Sink sink) : m_sink(std::move(sink)) {}
    [[nodiscard]] rapidjson::StringBuffer &buffer() { return m_buffer; }
    /// Moves what the writer wrote into the outgoing piece, escaped.
    void drain();
    /// Adds bytes that are already escaped, after what the writer wrote so far.
    void append(QByteArrayView escaped);
    /// Passes on what was written once it makes a piece worth a write of its own.
    void flushIfFull()
    {
        drain();
        if (m_pending.size() >= 256 * 1024)
            flush();
    }
    /// Passes on everything written so far.
    void flush();

private:
    Sink m_sink;
    rapidjson::StringBuffer m_buffer;
    std::string m_pending;
};

/// JSON text with every '/' written as "\/".
[[nodiscard]] QByteArray escapeSlashes(std::string_view json);

using PrettyWriter = rapidjson::PrettyWriter<rapidjson::StringBuffer>;
using CompactWriter = rapidjson::Writer<rapidjson::StringBuffer>;

/// `text` as UTF-8, in a buffer reused by the next call on the same thread; nothing when it is
/// not valid UTF-16 (a lone surrogate).
[[nodiscard]] std::optional<std::string_view> utf8(QStringView text);

/// Writes a QString; false when it is not valid UTF-16.
template<class W>
bool writeString(W &writer, QStringView text)
{
    const std::optional<std::string_view> bytes = utf8(text);
    return bytes && writer.String(bytes->data(), rapidjson::SizeType(bytes->size()));
}

/// Writes a member name given as a literal.
template<class W, size_t N>
bool key(W &writer, const char (&name)[N])
{
    return writer.Key(name, rapidjson::SizeType(N - 1));
}

/// A whole document in memory, as `write(writer, output)` writes it with a writer of type W
/// (pretty ones indent by two blanks); nothing when `write` returns false.
template<class W, class F>
std::optional<QByteArray> writeToBytes(F &&write)
{
    QByteArray bytes;
    Output output([&bytes](QByteArrayView piece) { bytes.append(piece); });
    W writer(output.buffer());
    if constexpr (std::is_same_v<W, PrettyWriter>)
        writer.SetIndent(' ', 2);
    if (!write(writer, output))
        return std::nullopt;
    output.flush();
    return bytes;
}

/// Writes a script record with its keys in ascending order; false on text that is not Unicode.
template<class W>
bool writeScript(W &w, const Script &script)
{
    bool ok = w.StartObject() && key(w, "lines") && w.StartArray();
    for (const ScriptLine &line : script.lines) {
        ok = ok && w.StartObject() && key(w, "id") && writeString(w, line.id);
        if (line.note)
            ok = ok && key(w, "note") && writeString(w, *line.note);
        ok = ok && key(w, "text") && writeString(w, line.text) && w.EndObject();
        if (!ok)
            return false;
    }
    return ok && w.EndArray() && key(w, "title") && writeString(w, script.title) && w.EndObject();
}

/// Orders texts by Unicode code point, which is the byte order of their UTF-8 form.
[[nodiscard]] inline bool codePointLess(QStringView a, QStringView b)
{
    const char16_t *p = a.utf16(), *q = b.utf16();
    const qsizetype n = std::min(a.size(), b.size());
    qsizetype i = 0;
    while (i < n && p[i] == q[i])
        ++i;
    if (i == n)
        return a.size() < b.size();
    // UTF-16 order and code point order differ only where a surrogate (a character above
    // U+FFFF) meets U+E000–U+FFFF; moving the surrogates above that range mends it.
    auto fix = [](char16_t u) -> char32_t {
        if (u >= 0xD800)
            return u >= 0xE000 ? u - 0x800 : u + 0x2000;
        return u;
    };
    return fix(p[i]) < fix(q[i]);
}

} // namespace Json
