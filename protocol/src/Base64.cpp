// Base64 through libsodium's constant-time codec; see Base64.h.
#include "vextune/protocol/Base64.h"

#include <sodium.h>

#include "vextune/protocol/Error.h"

namespace vxt::protocol {
namespace {

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

std::string EncodeBase64(std::span<const std::uint8_t> bytes)
{
    constexpr int kVariant = sodium_base64_VARIANT_ORIGINAL;
    // The codec writes a terminating NUL after the text.
    std::string text(sodium_base64_ENCODED_LEN(bytes.size(), kVariant), '\0');
    static constexpr unsigned char kNone = 0;
    sodium_bin2base64(text.data(), text.size(), bytes.empty() ? &kNone : bytes.data(), bytes.size(), kVariant);
    text.pop_back();
    return text;
}

std::vector<std::uint8_t> DecodeBase64(std::string_view text)
{
    std::size_t length = text.size();
    std::size_t padding = 0;
    while (length > 0 && padding < 2 && text[length - 1] == '=') {
        --length;
        ++padding;
    }
    if ((padding > 0 && text.size() % 4 != 0) || length % 4 == 1)
        throw Error("wrong length");
    // The codec takes every byte above 0x7F for a digit of some value, so
    // the alphabet is checked here; the codec then finds the stray bits.
    if (const std::size_t at = text.substr(0, length).find_first_not_of(kAlphabet); at != std::string_view::npos)
        throw Error("unexpected character at " + std::to_string(at));

    std::vector<std::uint8_t> bytes(length / 4 * 3 + 2);
    std::size_t written = 0;
    const char* end = nullptr;
    const int variant = padding > 0 ? sodium_base64_VARIANT_ORIGINAL : sodium_base64_VARIANT_ORIGINAL_NO_PADDING;
    if (sodium_base642bin(bytes.data(), bytes.size(), text.data(), text.size(), nullptr, &written, &end, variant) !=
            0 ||
        end != text.data() + text.size())
        throw Error("stray bits at its end");
    bytes.resize(written);
    return bytes;
}

}  // namespace vxt::protocol
