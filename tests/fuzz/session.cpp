// SessionDisk::load on any bytes as session.json, with its promises: it never writes into the
// folder, and a session it accepts is one the program can keep working with, so it encodes and
// reads back as the same session and passes the same check again.
//
// Built with QUORBEL_FUZZ_EDIT (session-edit), libFuzzer also gets a mutator that edits the
// parsed document (a value swapped for one a hand edit or another program would plausibly
// leave, a member removed, given twice or renamed, an element repeated, one part copied over
// another): it reaches the checks behind the JSON reader far more often than flipping bytes
// does. One mutation in eight, and every input that is not JSON, still goes to libFuzzer's own
// byte mutations, so the reader's syntax is explored too.

#include "fuzzing.h"
#include "sessiondisk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QString folder = Fuzz::scratch(QStringLiteral("session"));
    Session session;
    if (!Fuzz::readInput(folder, QStringLiteral("session.json"), data, size,
            [&session](const QString &) { session = SessionDisk::load(folder); }))
        return 0;
    // Encoded rather than saved: the same bytes as a save, without a disk flush on every run.
    Fuzz::check(Fuzz::holds([&session] {
        return SessionDisk::decode(SessionDisk::encode(session), "session.json").validated()
            == session;
    }),
        "a session that loads is saved and loads back the same");
    return 0;
}

#if defined(QUORBEL_LIBFUZZER) && defined(QUORBEL_FUZZ_EDIT)

#    include <rapidjson/document.h>
#    include <rapidjson/stringbuffer.h>
#    include <rapidjson/writer.h>

#    include <cstring>
#    include <random>
#    include <vector>

extern "C" size_t LLVMFuzzerMutate(uint8_t *data, size_t size, size_t maxSize);

namespace {

using Value = rapidjson::Value;

// Values, and member names, that sit on the edges of the session's rules.
constexpr const char *edges[] = {R"("takes/a.wav")", R"("takes/../x.wav")", R"("/tmp/x.wav")",
    R"("takes/sub/x.wav")", R"("takes/A.WAV")", R"("takes/.wav")", R"("takes/x.wav\n")",
    R"("../x")", R"("a/b")", R"(".")", R"("a")", R"("A")", R"("")", R"(" ")", R"("\t\n")",
    R"("\u2028")", R"("\u00e9")", R"("line-001")", R"("2026-12-06T11:05:09Z")",
    R"("2026-02-29T00:00:00Z")", R"("0000-01-01T00:00:00+00:01")", R"("9999-12-31T23:59:59-00:01")",
    R"("0000-01-01T00:00:00Z")", R"("9999-12-31T23:59:59Z")", R"("2026-12-06T11:05:09.5Z")",
    R"("version")", R"("script")", R"("index")", R"("takes")", R"("selected")", R"("lines")",
    R"("title")", R"("id")", R"("text")", R"("note")", R"("file")", R"("duration")", R"("created")",
    "0", "-0.0", "1", "2", "-1", "0.5", "1e-320", "1e308", "-1e308", "1.5", "1e-9", "3",
    "9007199254740993.0", "4294967296.0", "9.2233720368547758e18", "10000", "10001",
    "9223372036854775807", "-9223372036854775808", "null", "false", "true", "{}", "[]"};

/// Edits the document once; false when it nests deeper than RapidJSON's recursive copy and
/// writer can take.
bool mutate(rapidjson::Document &document, std::minstd_rand &random)
{
    auto &allocator = document.GetAllocator();
    // Every value with its depth, the root first, found without recursion.
    std::vector<std::pair<Value *, int>> values {{&document, 0}};
    for (size_t i = 0; i < values.size(); ++i) {
        const auto [value, depth] = values[i];
        if (depth > 500)
            return false;
        // By index: C++20 finds RapidJSON's iterator comparison ambiguous.
        for (rapidjson::SizeType m = 0; value->IsObject() && m < value->MemberCount(); ++m)
            values.emplace_back(&value->MemberBegin()[m].value, depth + 1);
        for (rapidjson::SizeType e = 0; value->IsArray() && e < value->Size(); ++e)
            values.emplace_back(&(*value)[e], depth + 1);
    }
    Value &target = *values[random() % values.size()].first;
    const rapidjson::SizeType count = target.IsObject() ? target.MemberCount()
        : target.IsArray()                              ? target.Size()
                                                        : 0;
    const rapidjson::SizeType at = count ? random() % count : 0;
    rapidjson::Document edge(&allocator);
    edge.Parse(edges[random() % std::size(edges)]);
    switch (random() % 5) {
    case 0:
        target.CopyFrom(edge, allocator);
        break;
    case 1:
        // Another part of the document in this one's place: a take list under another key, a
        // line where a take was. Copied first, as it may be this value's own descendant.
        target = Value(*values[random() % values.size()].first, allocator);
        break;
    case 2:
        if (count && target.IsObject())
            target.EraseMember(target.MemberBegin() + at);
        else if (count)
            target.Erase(target.Begin() + at);
        break;
    case 3:
        // The JSON text may name a member twice even where the parsed document would not.
        if (count && target.IsObject()) {
            Value name(target.MemberBegin()[at].name, allocator);
            Value value(target.MemberBegin()[at].value, allocator);
            target.AddMember(name, value, allocator);
        } else if (count) {
            target.PushBack(Value(target[at], allocator), allocator);
        }
        break;
    default: {
        // A member renamed or a text edited: an edge's name, a letter in the other case, a
        // character a path or a line could trip over.
        Value &text = count && target.IsObject() ? target.MemberBegin()[at].name : target;
        if (!text.IsString())
            break;
        std::string s(text.GetString(), text.GetStringLength());
        const size_t i = random() % (s.size() + 1);
        if (edge.IsString() && random() % 2)
            s = edge.GetString();
        else if (i < s.size() && random() % 2)
            s[i] ^= 0x20;
        else
            s.insert(i, 1, "/.\\Aa\0\n \xe9"[random() % 10]);
        text.SetString(s.data(), rapidjson::SizeType(s.size()), allocator);
    }
    }
    return true;
}

} // namespace

extern "C" size_t LLVMFuzzerCustomMutator(
    uint8_t *data, size_t size, size_t maxSize, unsigned int seed)
{
    std::minstd_rand random(seed);
    rapidjson::Document document;
    // Not RapidJSON's exact number conversion, which the program's reader avoids for a reason:
    // it misreads a zero with a large exponent.
    document.Parse<rapidjson::kParseIterativeFlag>(reinterpret_cast<const char *>(data), size);
    bool edited = !document.HasParseError() && random() % 8 != 0;
    for (unsigned n = 1 + random() % 3; edited && n > 0; --n)
        edited = mutate(document, random);
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    if (!edited || !document.Accept(writer) || buffer.GetSize() > maxSize)
        return LLVMFuzzerMutate(data, size, maxSize);
    std::memcpy(data, buffer.GetString(), buffer.GetSize());
    return buffer.GetSize();
}

#endif
