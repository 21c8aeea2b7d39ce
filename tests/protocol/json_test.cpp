// The bounded JSON reader every outside document goes through, and the
// service's request reader over it: each bound taken at its limit and
// refused one past it, before the document is built; documents that used
// to overflow the stack refused cleanly.
#include <gtest/gtest.h>

#include <string>

#include "vextune/protocol/Json.h"
#include "vextune/protocol/Request.h"

namespace vxt::protocol::testing {
namespace {

std::string Nested(std::size_t depth, char open = '[', char close = ']')
{
    if (open == '{') {
        std::string text;
        for (std::size_t i = 0; i < depth; ++i)
            text += "{\"a\":";
        return text + "0" + std::string(depth, '}');
    }
    return std::string(depth, open) + std::string(depth, close);
}

// An array of count numbers: count + 1 values.
std::string Numbers(std::size_t count)
{
    std::string text = "[";
    for (std::size_t i = 0; i < count; ++i)
        text += i == 0 ? "0" : ",0";
    return text + "]";
}

// What a read says: empty when it was taken.
template <typename Read>
std::string Refusal(Read read)
{
    try {
        read();
        return {};
    } catch (const Error& e) {
        return e.what();
    }
}

TEST(ReadJson, TakesEachBoundAtItsLimitAndRefusesOnePast)
{
    JsonLimits small;
    small.depth = 4;
    small.values = 10;
    small.text_bytes = 16;
    const struct {
        const char* name;
        std::string text;
        std::string refusal;  // empty: read
    } cases[] = {
        {"arrays at the depth", Nested(4), ""},
        {"arrays past it", Nested(5), "nests arrays and objects more than 4 deep"},
        {"objects at the depth", Nested(4, '{', '}'), ""},
        {"objects past it", Nested(5, '{', '}'), "nests arrays and objects more than 4 deep"},
        {"mixed past it", R"({"a": [{"b": [[]]}]})", "nests arrays and objects more than 4 deep"},
        {"scalars do not nest", R"([[[["deep"]]]])", ""},
        {"values at the limit", Numbers(9), ""},
        {"values past it", Numbers(10), "holds more than 10 values"},
        {"members count their values", R"({"a":1,"b":2,"c":3,"d":4,"e":5,"f":6,"g":7,"h":8,"i":9,"j":10})",
         "holds more than 10 values"},
        {"text at the limit", R"({"key":"abcdefghijklm"})", ""},
        {"keys and strings count together", R"({"key":"abcdefghijklmn"})", "holds more than 16 bytes of text"},
        {"escapes count as what they stand for", R"(["\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9"])", ""},
        {"not JSON", "[1,", "is not JSON: "},
        {"a number no double holds", "1e99999", "is not JSON: "},
        {"not UTF-8", "[\"\xff\"]", "is not JSON: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string plain = Refusal([&] { ReadJson(c.text, small); });
        const std::string ordered = Refusal([&] { ReadOrderedJson(c.text, small); });
        EXPECT_EQ(plain.substr(0, c.refusal.size()), c.refusal) << plain;
        EXPECT_EQ(plain.empty(), c.refusal.empty()) << plain;
        EXPECT_EQ(ordered, plain);
    }
}

// 70 000 nested arrays (140 KB) crashed the client: the ordered object's
// storage copies its members, recursively, as it grows. Refused now
// before anything deep is built, as are other hostile shapes at the
// default bounds.
TEST(ReadJson, RefusesWhatOverflowedTheStack)
{
    const struct {
        const char* name;
        std::string text;
        std::string refusal;
    } cases[] = {
        {"70 000 arrays", "{\"a\": " + Nested(70000) + ", \"b\": 1}", "nests arrays and objects more than 64 deep"},
        {"70 000 objects", Nested(70000, '{', '}'), "nests arrays and objects more than 64 deep"},
        {"a million numbers", Numbers(1000000), "holds more than 10000 values"},
        {"5 MiB of text", "[\"" + std::string(5 << 20, 'x') + "\"]", "holds more than 4194304 bytes of text"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Refusal([&] { ReadOrderedJson(c.text); }), c.refusal);
        EXPECT_EQ(Refusal([&] { ReadJson(c.text); }), c.refusal);
    }
    EXPECT_EQ(ReadJson(Nested(64)).dump(), Nested(64));
}

TEST(ReadJson, TheOrderedReadKeepsTheMembersOrder)
{
    EXPECT_EQ(ReadOrderedJson(R"({"z": 1, "a": [true, null], "m": {"y": "x", "b": 2}})").dump(),
              R"({"z":1,"a":[true,null],"m":{"y":"x","b":2}})");
}

// The service answers a request it cannot read with a 400 that says why.
TEST(ReadRequest, RefusesARequestPastTheBounds)
{
    const struct {
        const char* name;
        std::string body;
        std::string refusal;
    } cases[] = {
        {"deep in a member of the caller's", R"({"signature": "", "samplems": 3000, "app": )" + Nested(70000) + "}",
         "the request nests arrays and objects more than 64 deep"},
        {"deep as a whole", Nested(70000), "the request nests arrays and objects more than 64 deep"},
        {"too many values", R"({"signature": "", "samplems": 3000, "app": )" + Numbers(20000) + "}",
         "the request holds more than 10000 values"},
        {"not JSON", "{", "the request is not JSON: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string refusal = Refusal([&] { ReadRequest(c.body); });
        EXPECT_EQ(refusal.substr(0, c.refusal.size()), c.refusal) << refusal;
        EXPECT_FALSE(refusal.empty());
    }
    // A signature of any length the service takes: the body bounds its text.
    const std::string signature(6 << 20, 'A');
    EXPECT_EQ(ReadRequest(R"({"signature": ")" + signature + R"(", "samplems": 3000})").signature.size(),
              signature.size() / 4 * 3);
}

}  // namespace
}  // namespace vxt::protocol::testing
