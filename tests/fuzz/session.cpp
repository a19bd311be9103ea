// SessionDisk::load on any bytes as session.json, with its promises: it never writes into the
// folder, and a session it accepts is one the program can keep working with, so it encodes and
// reads back as the same session and passes the same check again.
//
// Built with QUORBEL_FUZZ_EDIT (session-edit), libFuzzer also gets a mutator that edits the
// parsed document (a value swapped for one a hand edit or another program would plausibly
// leave, a member removed, given twice or renamed, an element repeated, one part copied over
// another): it reaches the checks behind the JSON reader far more often than flipping bytes
// does. One mutation in eight, and every input that is not JSON, still goes to libFuzzer's own
// byte mutations, so the reader's syntax, and texts edited a character at a time, are explored
// too.

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

using Value = rapidjson::Value;

// Values, and member names, on the edges of the session's rules.
constexpr const char *edges[] = {R"("takes/a.wav")", R"("takes/../x.wav")", R"("/tmp/x.wav")",
    R"("takes/sub/x.wav")", R"("takes/A.WAV")", R"("takes/.wav")", R"("takes/x.wav\n")", R"("a")",
    R"("A")", R"("")", R"(" ")", R"("\u2028")", R"("\u00e9")", R"("line-001")",
    R"("2026-02-29T00:00:00Z")", R"("0000-01-01T00:00:00+00:01")", R"("9999-12-31T23:59:59Z")",
    R"("2026-12-06T11:05:09.5Z")", R"("version")", R"("script")", R"("index")", R"("takes")",
    R"("selected")", R"("lines")", R"("title")", R"("id")", R"("text")", R"("note")", R"("file")",
    R"("duration")", R"("created")", "0", "-0.0", "-1", "0.5", "1e-320", "1e308", "1e-9",
    "9007199254740993.0", "9.2233720368547758e18", "10000", "10001", "9223372036854775807",
    "-9223372036854775808", "null", "true", "{}", "[]"};

extern "C" size_t LLVMFuzzerCustomMutator(
    uint8_t *data, size_t size, size_t maxSize, unsigned int seed)
{
    std::minstd_rand random(seed);
    rapidjson::Document document;
    // Not RapidJSON's exact number conversion, which the program's reader avoids for a reason:
    // it misreads a zero with a large exponent.
    document.Parse<rapidjson::kParseIterativeFlag>(reinterpret_cast<const char *>(data), size);
    auto &allocator = document.GetAllocator();
    // Every value with its depth, the root first and the deepest last, found without recursion.
    // By index: C++20 finds RapidJSON's iterator comparison ambiguous.
    std::vector<std::pair<Value *, int>> values {{&document, 0}};
    for (size_t i = 0; i < values.size(); ++i) {
        const auto [value, depth] = values[i];
        for (rapidjson::SizeType m = 0; value->IsObject() && m < value->MemberCount(); ++m)
            values.emplace_back(&value->MemberBegin()[m].value, depth + 1);
        for (rapidjson::SizeType e = 0; value->IsArray() && e < value->Size(); ++e)
            values.emplace_back(&(*value)[e], depth + 1);
    }
    // So is a document nested deeper than RapidJSON's recursive copy and writer can take.
    if (document.HasParseError() || random() % 8 == 0 || values.back().second > 500)
        return LLVMFuzzerMutate(data, size, maxSize);

    Value &target = *values[random() % values.size()].first;
    const rapidjson::SizeType count = target.IsObject() ? target.MemberCount()
        : target.IsArray()                              ? target.Size()
                                                        : 0;
    const rapidjson::SizeType at = count ? random() % count : 0;
    rapidjson::Document edge(&allocator);
    edge.Parse(edges[random() % std::size(edges)]);
    switch (random() % (count ? 4 : 2)) {
    case 0:
        target.CopyFrom(edge, allocator);
        break;
    case 1:
        // Another part of the document in this one's place: a take list under another key, a
        // line where a take was. Copied first, as it may be this value's own descendant.
        target = Value(*values[random() % values.size()].first, allocator);
        break;
    case 2:
        if (target.IsObject())
            target.EraseMember(target.MemberBegin() + at);
        else
            target.Erase(target.Begin() + at);
        break;
    default:
        // An element repeated; a member renamed, or given twice, as the JSON text may do where
        // the parsed document would not.
        if (target.IsArray())
            target.PushBack(Value(target[at], allocator), allocator);
        else if (edge.IsString() && random() % 2)
            target.MemberBegin()[at].name.CopyFrom(edge, allocator);
        else
            target.AddMember(Value(target.MemberBegin()[at].name, allocator),
                Value(target.MemberBegin()[at].value, allocator), allocator);
    }
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    if (!document.Accept(writer) || buffer.GetSize() > maxSize)
        return LLVMFuzzerMutate(data, size, maxSize);
    std::memcpy(data, buffer.GetString(), buffer.GetSize());
    return buffer.GetSize();
}

#endif
