#pragma once

#include "records.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/writer.h>

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

    /// Throws the reader's error for this value: `<file>: "<path>" <problem>`.
    [[noreturn]] void fail(QStringView problem) const;

private:
    friend class Document;
    friend class Object;
    friend class Array;
    Value(const rapidjson::Value &value, const Document &document)
        : m_value(&value)
        , m_document(&document)
    {
    }
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
    /// Parses `bytes`; `fileName` starts every error message. Throws PlatformError.
    Document(QByteArray bytes, QString fileName);
    Document(const Document &) = delete;
    Document &operator=(const Document &) = delete;

    [[nodiscard]] Value root() const { return Value(m_document, *this); }
    [[nodiscard]] const QString &fileName() const { return m_fileName; }

private:
    friend class Value;
    QByteArray m_bytes;
    QString m_fileName;
    rapidjson::Document m_document;
};

/// The script record: "title" and "lines", each line with "id", "text" and an optional "note".
[[nodiscard]] Script readScript(const Value &value);

/// Collects the writer's UTF-8 and writes every '/' as "\/", so a file reference such as
/// takes/x.wav is stored as takes\/x.wav. A '/' byte can only stand inside a JSON string here.
class Output
{
public:
    using Ch = char;
    explicit Output(qsizetype expectedSize = 4096);
    void Put(char c)
    {
        if (c == '/')
            put('\\');
        put(c);
    }
    void Flush() {}
    /// The bytes written so far; the output is empty afterwards.
    [[nodiscard]] QByteArray take();

private:
    void put(char c)
    {
        if (m_used == m_bytes.size())
            grow();
        m_data[m_used++] = c;
    }
    void grow();

    QByteArray m_bytes;
    char *m_data = nullptr;
    qsizetype m_used = 0;
};

// RapidJSON's encoders find these by argument-dependent lookup.
inline void PutUnsafe(Output &output, char c) { output.Put(c); }
inline void PutReserve(Output &, size_t) {}

using PrettyWriter = rapidjson::PrettyWriter<Output, rapidjson::UTF16<char16_t>, rapidjson::UTF8<>>;
using CompactWriter = rapidjson::Writer<Output, rapidjson::UTF16<char16_t>, rapidjson::UTF8<>>;

/// Pretty-printed with two blanks of indentation, as every human-readable file the program writes.
inline void indent(PrettyWriter &writer) { writer.SetIndent(' ', 2); }

/// Writes a QString; false when it is not valid UTF-16 (a lone surrogate).
template<class W>
bool writeString(W &writer, const QString &text)
{
    return writer.String(reinterpret_cast<const char16_t *>(text.utf16()),
                         rapidjson::SizeType(text.size()));
}

/// Writes a script record with its keys in ascending order; false on text that is not Unicode.
template<class W>
bool writeScript(W &w, const Script &script)
{
    bool ok = w.StartObject() && w.Key(u"lines") && w.StartArray();
    for (const ScriptLine &line : script.lines) {
        ok = ok && w.StartObject() && w.Key(u"id") && writeString(w, line.id);
        if (line.note)
            ok = ok && w.Key(u"note") && writeString(w, *line.note);
        ok = ok && w.Key(u"text") && writeString(w, line.text) && w.EndObject();
        if (!ok)
            return false;
    }
    return ok && w.EndArray() && w.Key(u"title") && writeString(w, script.title) && w.EndObject();
}

/// Orders texts by Unicode code point, which is the byte order of their UTF-8 form.
[[nodiscard]] bool codePointLess(QStringView a, QStringView b);

} // namespace Json
