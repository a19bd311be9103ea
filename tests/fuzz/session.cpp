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
#    include <limits>
#    include <random>
#    include <vector>

extern "C" size_t LLVMFuzzerMutate(uint8_t *data, size_t size, size_t maxSize);

namespace {

using Value = rapidjson::Value;
using Random = std::minstd_rand;

// Values that sit on the edges of the session's rules.
constexpr const char *strings[] = {"takes/a.wav", "takes/../x.wav", "/tmp/x.wav", "takes/sub/x.wav",
    "takes/A.WAV", "takes/.wav", "takes/x.wav\n", "../x", "a/b", ".", "a", "A", "", " ", "\t\n",
    "\u2028", "\u00e9", "line-001", "2026-12-06T11:05:09Z", "2026-02-29T00:00:00Z",
    "0000-01-01T00:00:00+00:01", "9999-12-31T23:59:59-00:01", "0000-01-01T00:00:00Z",
    "9999-12-31T23:59:59Z", "2026-12-06T11:05:09.5Z", "version", "script", "index", "takes",
    "selected", "lines", "title", "id", "text", "note", "file", "duration", "created"};
constexpr double numbers[] = {0, -0.0, 1, 2, -1, 0.5, 1e-320, 1e308, -1e308, 1.5, 1e-9, 3,
    9007199254740993.0, 4294967296.0, 9.2233720368547758e18};
constexpr int64_t integers[] = {0, 1, 2, -1, 10000, 10001, std::numeric_limits<int64_t>::max(),
    std::numeric_limits<int64_t>::min()};

/// Every value of the document with its depth, the root first, found without recursion; nothing
/// when the document nests deeper than RapidJSON's recursive copy and writer can take.
std::vector<std::pair<Value *, int>> valuesOf(Value &root)
{
    std::vector<std::pair<Value *, int>> values {{&root, 0}};
    for (size_t i = 0; i < values.size(); ++i) {
        const auto [value, depth] = values[i];
        if (depth > 500)
            return {};
        if (value->IsObject()) {
            // By index: C++20 finds RapidJSON's iterator comparison ambiguous.
            for (rapidjson::SizeType m = 0; m < value->MemberCount(); ++m)
                values.emplace_back(&(value->MemberBegin() + m)->value, depth + 1);
        } else if (value->IsArray()) {
            for (auto &element : value->GetArray())
                values.emplace_back(&element, depth + 1);
        }
    }
    return values;
}

/// False when the document is too deep to edit.
bool mutate(rapidjson::Document &document, Random &random)
{
    auto &allocator = document.GetAllocator();
    const auto pick = [&random](const auto &items) { return items[random() % std::size(items)]; };
    const auto values = valuesOf(document);
    if (values.empty())
        return false;
    Value &target = *values[random() % values.size()].first;
    const bool object = target.IsObject() && target.MemberCount() > 0;
    const bool array = target.IsArray() && !target.Empty();
    switch (random() % 9) {
    case 0:
        target.SetString(pick(strings), allocator);
        break;
    case 1:
        target.SetDouble(pick(numbers));
        break;
    case 2:
        target.SetInt64(pick(integers));
        break;
    case 3: {
        // null, false, true, {}, [], "" or 0.
        Value empty(static_cast<rapidjson::Type>(random() % 7));
        target = empty;
        break;
    }
    case 4: {
        // Another part of the document in this one's place: a take list under another key, a
        // line where a take was. Copied first, as it may be this value's own descendant.
        Value copy(*values[random() % values.size()].first, allocator);
        target = copy;
        break;
    }
    case 5:
        if (object)
            target.EraseMember(target.MemberBegin() + random() % target.MemberCount());
        else if (array)
            target.Erase(target.Begin() + random() % target.Size());
        break;
    case 6:
        // The JSON text may name a member twice even where the parsed document would not.
        if (object) {
            const auto &member = *(target.MemberBegin() + random() % target.MemberCount());
            Value name(member.name, allocator), value(member.value, allocator);
            target.AddMember(name, value, allocator);
        } else if (array) {
            Value element(target[rapidjson::SizeType(random() % target.Size())], allocator);
            target.PushBack(element, allocator);
        }
        break;
    case 7:
        // A member renamed: a line id in another case, a key that tries to be a path.
        if (object) {
            Value &name = (target.MemberBegin() + random() % target.MemberCount())->name;
            std::string text(name.GetString(), name.GetStringLength());
            if (random() % 2 && !text.empty())
                text[random() % text.size()] ^= 0x20; // a letter in the other case
            else
                text = pick(strings);
            name.SetString(text.data(), rapidjson::SizeType(text.size()), allocator);
        }
        break;
    default:
        if (target.IsString()) {
            std::string text(target.GetString(), target.GetStringLength());
            text.insert(random() % (text.size() + 1), 1, "/.\\Aa\0\n \xe9"[random() % 10]);
            target.SetString(text.data(), rapidjson::SizeType(text.size()), allocator);
        }
        break;
    }
    return true;
}

} // namespace

extern "C" size_t LLVMFuzzerCustomMutator(
    uint8_t *data, size_t size, size_t maxSize, unsigned int seed)
{
    Random random(seed);
    rapidjson::Document document;
    // Not RapidJSON's exact number conversion, which the program's reader avoids for a reason:
    // it misreads a zero with a large exponent.
    document.Parse<rapidjson::kParseIterativeFlag>(reinterpret_cast<const char *>(data), size);
    if (document.HasParseError() || random() % 8 == 0)
        return LLVMFuzzerMutate(data, size, maxSize);

    for (unsigned n = 1 + random() % 3; n > 0; --n) {
        if (!mutate(document, random))
            return LLVMFuzzerMutate(data, size, maxSize);
    }
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    if (!document.Accept(writer) || buffer.GetSize() > maxSize)
        return LLVMFuzzerMutate(data, size, maxSize);
    std::memcpy(data, buffer.GetString(), buffer.GetSize());
    return buffer.GetSize();
}

#endif
