// Base64 as requests carry signatures: the RFC 4648 vectors both ways,
// every byte value, and exactly the texts the service refuses.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "vextune/protocol/Base64.h"
#include "vextune/protocol/Error.h"

namespace vxt::protocol::testing {
namespace {

std::vector<std::uint8_t> Bytes(std::string_view text)
{
    return {text.begin(), text.end()};
}

TEST(Base64, MatchesTheRfc4648VectorsBothWays)
{
    const struct {
        std::string_view bytes, text, unpadded;
    } cases[] = {
        {"", "", ""},
        {"f", "Zg==", "Zg"},
        {"fo", "Zm8=", "Zm8"},
        {"foo", "Zm9v", "Zm9v"},
        {"foob", "Zm9vYg==", "Zm9vYg"},
        {"fooba", "Zm9vYmE=", "Zm9vYmE"},
        {"foobar", "Zm9vYmFy", "Zm9vYmFy"},
        {"\xfb\xff\xbf", "+/+/", "+/+/"},  // the two characters beyond the letters and digits
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(EncodeBase64(Bytes(c.bytes)), c.text);
        EXPECT_EQ(DecodeBase64(c.text), Bytes(c.bytes));
        EXPECT_EQ(DecodeBase64(c.unpadded), Bytes(c.bytes));
    }
}

TEST(Base64, EveryByteValueAndLengthComesBackWithoutLineBreaks)
{
    std::vector<std::uint8_t> all(256 * 3);
    for (std::size_t i = 0; i < all.size(); ++i)
        all[i] = static_cast<std::uint8_t>(i * 7);
    std::mt19937 random(4648);
    std::vector<std::uint8_t> big(1 << 20);
    for (auto& b : big)
        b = static_cast<std::uint8_t>(random());
    for (const auto* bytes : {&all, &big}) {
        // Every length modulo 3, so each padding ends a text.
        for (std::size_t cut : {0, 1, 2}) {
            const auto part = std::span(*bytes).first(bytes->size() - cut);
            const std::string text = EncodeBase64(part);
            EXPECT_EQ(text.size(), (part.size() + 2) / 3 * 4);
            EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
            EXPECT_EQ(DecodeBase64(text), std::vector<std::uint8_t>(part.begin(), part.end()));
        }
    }
}

TEST(Base64, RefusesAnythingElseAndSaysWhy)
{
    const struct {
        std::string_view text, says;
    } cases[] = {
        {"Z", "wrong length"},
        {"Zm9vY", "wrong length"},
        {"Zg=", "wrong length"},  // padding to a multiple of 4, or none
        {"Zm9vYg=", "wrong length"},
        {"Zm9v=", "wrong length"},
        {"Zm9=v", "wrong length"},
        {"Zm9v\n", "wrong length"},
        {"Z===", "unexpected character at 1"},
        {"Zm9v====", "unexpected character at 4"},
        {"Zm-_", "unexpected character at 2"},  // the URL-safe alphabet is not taken
        {"Zm 9vg", "unexpected character at 2"},
        {"Zm9v\r\nZm9v", "unexpected character at 4"},
        {std::string_view("Zm\0v", 4), "unexpected character at 2"},
        {"\xff\xfe", "unexpected character at 0"},
        {"Zm\xe9v", "unexpected character at 2"},  // bytes above 0x7F are no digits
        {"Zm9v\xc3\xa9Zg", "unexpected character at 4"},
        {"Zh==", "stray bits at its end"},  // "Zg==" is the text of "f"
        {"Zh", "stray bits at its end"},
        {"Zm9=", "stray bits at its end"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text));
        try {
            DecodeBase64(c.text);
            ADD_FAILURE() << "taken";
        } catch (const Error& e) {
            EXPECT_EQ(std::string(e.what()), c.says);
        }
    }
}

}  // namespace
}  // namespace vxt::protocol::testing
