// The request text's size: its length in UTF-16 code units. (The base64,
// sample and template texts are the protocol's and tested with it.)
#include <gtest/gtest.h>

#include <string>

#include "vextune/client/RequestText.h"

namespace VextuneCore::Client::test {
namespace {

TEST(Utf16Length, CountsUnitsOfEachSequence)
{
    const struct {
        std::string_view name, utf8;
        std::size_t units;
    } cases[] = {
        {"empty", "", 0},
        {"ASCII", "abc", 3},
        {"two-byte", "\xC3\xA9", 1},           // é
        {"three-byte", "\xE6\x97\xA5", 1},     // 日
        {"four-byte", "\xF0\x9F\x8E\xB5", 2},  // a note beyond the basic plane
        {"mixed", "a\xC3\xA9\xE6\x97\xA5\xF0\x9F\x8E\xB5z", 6},
        {"stray continuation", "\x80", 1},
        {"cut two-byte", "a\xC3", 2},
        {"cut four-byte", "\xF0\x9F\x8E", 3},
        {"lead without continuation",
         "\xE6"
         "a",
         2},
        {"overlong", "\xC0\xAF", 2},
        {"overlong three-byte", "\xE0\x80\xAF", 3},
        {"surrogate", "\xED\xA0\x80", 3},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", 4},
        {"invalid lead", "\xFF", 1},
        {"highest code point", "\xF4\x8F\xBF\xBF", 2},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Utf16Length(c.utf8), c.units) << c.name;
    }
}

}  // namespace
}  // namespace VextuneCore::Client::test
