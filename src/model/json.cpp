#include "json.h"

#include "datetime.h"
#include "error.h"

#include <QStringDecoder>
#include <QStringEncoder>

#include <rapidjson/encodedstream.h>
#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <unordered_set>
#include <vector>

namespace Json {

static QString utf8(std::string_view text)
{
    // Not QString::fromUtf8, which drops a byte-order mark at the start: in a JSON string
    // U+FEFF is text like any other, and a line's text or a map key that began with one came
    // back without it (two keys could even become one).
    QStringDecoder decoder(QStringDecoder::Utf8,
        QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    return decoder.decode(QByteArrayView(text.data(), qsizetype(text.size())));
}

static std::string_view view(const rapidjson::Value &text)
{
    return {text.GetString(), text.GetStringLength()};
}

namespace {

/// Builds a document from the reader's events, like the document's own parse, except that it
/// converts every number from its text itself. RapidJSON 1.1's exact conversion reads a zero
/// with a large exponent, such as 0e100 or -0e300, as an arbitrary number (it normalises a zero
/// significand, which has no leading one), so a take's duration could come out as any value;
/// std::from_chars is exact for every number.
class Builder
{
public:
    explicit Builder(rapidjson::Document &document) : m_document(document) {}

    /// Set when a number was too large for a double, which ends the parse.
    bool numberTooBig = false;

    bool RawNumber(const char *text, rapidjson::SizeType length, bool)
    {
        const char *const end = text + length;
        if (std::none_of(text, end, [](char c) { return c == '.' || c == 'e' || c == 'E'; })) {
            int64_t integer = 0;
            if (std::from_chars(text, end, integer).ec == std::errc())
                return m_document.Int64(integer);
            uint64_t positive = 0;
            if (std::from_chars(text, end, positive).ec == std::errc())
                return m_document.Uint64(positive);
        }
        double number = 0;
        const auto [stop, error] = std::from_chars(text, end, number);
        if (error == std::errc::result_out_of_range) {
            // Too close to zero, or too large, to be a double; only the first is a number.
            // Rare enough for the C library to tell which, in the C locale's notation.
            static const locale_t c = newlocale(LC_NUMERIC_MASK, "C", locale_t(nullptr));
            const std::string copy(text, length);
            numberTooBig = std::isinf(strtod_l(copy.c_str(), nullptr, c));
            return !numberTooBig && m_document.Double(*text == '-' ? -0.0 : 0.0);
        }
        return error == std::errc() && stop == end && m_document.Double(number);
    }

    // Everything else goes to the document as it comes.
    bool Null() { return m_document.Null(); }
    bool Bool(bool b) { return m_document.Bool(b); }
    bool Int(int i) { return m_document.Int(i); }
    bool Uint(unsigned u) { return m_document.Uint(u); }
    bool Int64(int64_t i) { return m_document.Int64(i); }
    bool Uint64(uint64_t u) { return m_document.Uint64(u); }
    bool Double(double d) { return m_document.Double(d); }
    bool String(const char *s, rapidjson::SizeType n, bool copy)
    {
        return m_document.String(s, n, copy);
    }
    bool StartObject() { return m_document.StartObject(); }
    bool Key(const char *s, rapidjson::SizeType n, bool copy) { return m_document.Key(s, n, copy); }
    bool EndObject(rapidjson::SizeType n) { return m_document.EndObject(n); }
    bool StartArray() { return m_document.StartArray(); }
    bool EndArray(rapidjson::SizeType n) { return m_document.EndArray(n); }

private:
    rapidjson::Document &m_document;
};

constexpr unsigned parseFlags
    = rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag;

} // namespace

Document::Document(const QByteArray &bytes, QString fileName) : m_fileName(std::move(fileName))
{
    // Editors on some systems put a byte-order mark before UTF-8; it carries no content.
    const qsizetype start = bytes.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    const QByteArrayView text = QByteArrayView(bytes).sliced(start);

    rapidjson::ParseResult result;
    bool numberTooBig = false;
    auto parse = [&](rapidjson::Document &document) {
        Builder builder(document);
        rapidjson::Reader reader;
        // Valid UTF-8 without NUL bytes, which is every document the program wrote, is checked
        // in one fast pass and then read as a terminated string, the quicker way. Anything
        // else is read with RapidJSON's check of every character, which says where the fault
        // is.
        if (!text.contains('\0') && text.isValidUtf8()) {
            rapidjson::StringStream stream(bytes.constData() + start);
            result = reader.Parse<parseFlags>(stream, builder);
        } else {
            rapidjson::MemoryStream memory(bytes.constData() + start, size_t(text.size()));
            rapidjson::EncodedInputStream<rapidjson::UTF8<>, rapidjson::MemoryStream> stream(
                memory);
            result
                = reader.Parse<parseFlags | rapidjson::kParseValidateEncodingFlag>(stream, builder);
            // The reader takes a NUL byte for the end of the text, so whatever follows one after
            // the document would pass unread.
            if (!result.IsError() && stream.Tell() < size_t(text.size()))
                result.Set(rapidjson::kParseErrorDocumentRootNotSingular, stream.Tell());
        }
        numberTooBig = builder.numberTooBig;
        return !result.IsError();
    };
    m_document.Populate(parse);
    if (!result.IsError())
        return;

    // Line and column of the fault, the column counted in characters, not bytes.
    const qsizetype offset = start + qsizetype(result.Offset());
    qsizetype line = 1, column = 1;
    for (qsizetype i = start; i < offset && i < bytes.size(); ++i) {
        const auto byte = uchar(bytes[i]);
        if (byte == '\n') {
            ++line;
            column = 1;
        } else if ((byte & 0xC0) != 0x80) {
            ++column;
        }
    }
    throw SystemError(QStringLiteral("%1, line %2, column %3: %4")
                          .arg(m_fileName)
                          .arg(line)
                          .arg(column)
                          .arg(QString::fromUtf8(rapidjson::GetParseError_En(
                              numberTooBig ? rapidjson::kParseErrorNumberTooBig : result.Code()))));
}

void Value::fail(QStringView problem) const
{
    const QString where = path();
    if (where.isEmpty())
        throw SystemError(
            m_document->m_fileName + QStringLiteral(": the document ") + problem.toString());
    throw SystemError(m_document->m_fileName + QStringLiteral(": \"") + where
        + QStringLiteral("\" ") + problem.toString());
}

QString Value::path() const
{
    // Searched for only when an error is raised, breadth first and without recursion, so the
    // reading itself keeps no trail.
    struct Step
    {
        const rapidjson::Value *value;
        size_t parent;
        const rapidjson::Value *name;
        qsizetype index;
    };
    std::vector<Step> steps {{&m_document->m_document, 0, nullptr, -1}};
    for (size_t i = 0; i < steps.size(); ++i) {
        const rapidjson::Value *value = steps[i].value;
        if (value == m_value) {
            QString result;
            for (size_t at = i; at != 0; at = steps[at].parent) {
                const Step &step = steps[at];
                const bool first = step.parent == 0;
                result.prepend(step.name ? (first ? QString() : QStringLiteral("."))
                            + QString::fromUtf8(
                                step.name->GetString(), step.name->GetStringLength())
                                         : QStringLiteral("[%1]").arg(step.index));
            }
            return result;
        }
        if (value->IsObject()) {
            for (const auto &m : value->GetObject())
                steps.push_back({&m.value, i, &m.name, -1});
        } else if (value->IsArray()) {
            qsizetype index = 0;
            for (const auto &element : value->GetArray())
                steps.push_back({&element, i, nullptr, index++});
        }
    }
    return {};
}

QString Value::decode(const rapidjson::Value &text) const
{
    // The reader validated the file's UTF-8, but a \u escape may still name half of a
    // surrogate pair on its own, which RapidJSON writes out as an encoded surrogate
    // (ED A0..BF ..). Such text has no Unicode meaning; refuse it rather than alter it.
    const std::string_view bytes = view(text);
    for (const char *p = bytes.data(), *end = p + bytes.size();
         (p = static_cast<const char *>(std::memchr(p, 0xED, size_t(end - p)))) && p + 1 < end;
         ++p) {
        if (uchar(p[1]) >= 0xA0) {
            if (&text == m_value)
                fail(u"holds an unpaired surrogate escape");
            throw SystemError(m_document->m_fileName
                + QStringLiteral(": a member name holds an unpaired surrogate escape"));
        }
    }
    return utf8(bytes);
}

Object Value::object() const
{
    if (!m_value->IsObject())
        fail(u"must be an object");
    const auto members = m_value->GetObject();
    const rapidjson::SizeType count = members.MemberCount();
    auto duplicate = [this](const rapidjson::Value &value) {
        Value(value, *m_document).fail(u"appears more than once");
    };
    if (count <= 16) {
        for (auto i = members.begin(); i != members.end(); ++i) {
            for (auto j = members.begin(); j != i; ++j) {
                if (i->name == j->name)
                    duplicate(i->value);
            }
        }
    } else {
        std::unordered_set<std::string_view> names;
        names.reserve(count);
        for (const auto &m : members) {
            if (!names.insert(view(m.name)).second)
                duplicate(m.value);
        }
    }
    return Object(*this);
}

Array Value::array() const
{
    if (!m_value->IsArray())
        fail(u"must be an array");
    return Array(*this);
}

QString Value::string() const
{
    if (!m_value->IsString())
        fail(u"must be a string");
    return decode(*m_value);
}

std::optional<QString> Value::optionalString() const
{
    if (m_value->IsNull())
        return std::nullopt;
    return string();
}

double Value::number() const
{
    if (!m_value->IsNumber())
        fail(u"must be a number");
    return m_value->GetDouble();
}

qint64 Value::integer() const
{
    if (!m_value->IsNumber())
        fail(u"must be an integer");
    if (m_value->IsInt64())
        return m_value->GetInt64();
    // A number written with a fraction or exponent arrives as a double. 1.0 is the integer 1;
    // 1.5 must not silently become 1. 2^63 itself is out of range.
    const double number = m_value->GetDouble();
    if (number != std::trunc(number) || !(std::fabs(number) < 9.223372036854775808e18))
        fail(u"must be an integer");
    return qint64(number);
}

QDateTime Value::dateTime() const
{
    if (!m_value->IsString())
        fail(u"must be a string");
    const std::optional<QDateTime> time = parseInternetDateTime(view(*m_value));
    if (!time)
        fail(u"must be a date and time such as 2026-01-31T09:30:00Z");
    return *time;
}

qint64 Value::textBytes() const
{
    // Without recursion, as the reader itself: a document may nest without end.
    qint64 total = 0;
    std::vector<const rapidjson::Value *> pending {m_value};
    while (!pending.empty()) {
        const rapidjson::Value *value = pending.back();
        pending.pop_back();
        if (value->IsString()) {
            total += value->GetStringLength();
        } else if (value->IsObject()) {
            for (const auto &m : value->GetObject())
                pending.push_back(&m.value);
        } else if (value->IsArray()) {
            for (const auto &element : value->GetArray())
                pending.push_back(&element);
        }
    }
    return total;
}

Value Object::member(std::string_view name) const
{
    if (std::optional<Value> value = find(name))
        return *value;
    const QString where = m_self.path();
    throw SystemError(m_self.m_document->fileName() + QStringLiteral(": \"")
        + (where.isEmpty() ? QString() : where + u'.') + utf8(name)
        + QStringLiteral("\" is missing"));
}

std::optional<Value> Object::find(std::string_view name) const
{
    for (const auto &m : m_self.m_value->GetObject()) {
        if (view(m.name) == name)
            return Value(m.value, *m_self.m_document);
    }
    return std::nullopt;
}

Script readScript(const Value &value)
{
    const Object object = value.object();
    Script script;
    const Array lines = object.member("lines").array();
    script.lines.reserve(lines.size());
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const Object line = lines.at(i).object();
        ScriptLine record {line.member("id").string(), line.member("text").string(), {}};
        if (const std::optional<Value> note = line.find("note"))
            record.note = note->optionalString();
        script.lines.append(std::move(record));
    }
    script.title = object.member("title").string();
    return script;
}

template<class Bytes>
static void appendEscaped(Bytes &out, std::string_view json)
{
    const char *p = json.data();
    const char *const end = p + json.size();
    while (const char *slash = static_cast<const char *>(std::memchr(p, '/', size_t(end - p)))) {
        out.append(p, slash - p).append("\\/", 2);
        p = slash + 1;
    }
    out.append(p, end - p);
}

QByteArray escapeSlashes(std::string_view json)
{
    QByteArray escaped;
    escaped.reserve(qsizetype(json.size()) + 64);
    appendEscaped(escaped, json);
    return escaped;
}

void Output::drain()
{
    appendEscaped(m_pending, std::string_view(m_buffer.GetString(), m_buffer.GetSize()));
    m_buffer.Clear();
}

void Output::append(QByteArrayView escaped)
{
    drain();
    // A large piece goes out as it is rather than through another copy.
    if (escaped.size() >= 64 * 1024) {
        flush();
        m_sink(escaped);
    } else {
        m_pending.append(escaped.data(), size_t(escaped.size()));
    }
}

void Output::flush()
{
    drain();
    if (!m_pending.empty())
        m_sink(QByteArrayView(m_pending.data(), qsizetype(m_pending.size())));
    m_pending.clear();
}

std::optional<std::string_view> utf8(QStringView text)
{
    // Kept between calls: a save converts tens of thousands of short texts, and a fresh buffer
    // for each would cost more than the conversion.
    thread_local std::vector<char> scratch;
    const size_t needed = size_t(text.size()) * 3;
    if (scratch.size() < needed)
        scratch.resize(std::max<size_t>(needed, 4096));
    QStringEncoder encoder(QStringEncoder::Utf8, QStringEncoder::Flag::Stateless);
    const char *end = encoder.appendToBuffer(scratch.data(), text);
    if (encoder.hasError())
        return std::nullopt;
    return std::string_view(scratch.data(), size_t(end - scratch.data()));
}

} // namespace Json
