// The text pieces of a recognition request; see RequestText.h.
#include "vextune/client/RequestText.h"

#include <charconv>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <system_error>

namespace VextuneCore {

std::string Base64(std::span<const std::uint8_t> bytes)
{
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t group = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        text += kAlphabet[(group >> 18) & 0x3F];
        text += kAlphabet[(group >> 12) & 0x3F];
        text += kAlphabet[(group >> 6) & 0x3F];
        text += kAlphabet[group & 0x3F];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        std::uint32_t group = std::uint32_t{bytes[i]} << 16;
        if (rest == 2) {
            group |= std::uint32_t{bytes[i + 1]} << 8;
        }
        text += kAlphabet[(group >> 18) & 0x3F];
        text += kAlphabet[(group >> 12) & 0x3F];
        text += rest == 2 ? kAlphabet[(group >> 6) & 0x3F] : '=';
        text += '=';
    }
    return text;
}

std::string SampleText(double sample_ms)
{
    // Not a number and the infinities have no "%f" text that is a JSON
    // number; the request carries 0 for them.
    if (!std::isfinite(sample_ms)) {
        return "0";
    }
    // std::to_chars with six fixed decimals is "%f" without the locale. The
    // largest double has 309 whole digits.
    char buffer[std::numeric_limits<double>::max_exponent10 + 32];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, sample_ms, std::chars_format::fixed, 6);
    if (error != std::errc{}) {
        return "0";
    }
    std::string text(buffer, end);
    constexpr std::size_t kWidth = 9;
    const std::size_t point = text.find('.');
    text.resize(std::min(text.size(), std::max(kWidth, point)));
    // A cut right after the point would leave "12345678."; without the point
    // the text stays a JSON number.
    if (!text.empty() && text.back() == '.') {
        text.pop_back();
    }
    return text;
}

namespace {

// Every occurrence of placeholder in text replaced by value, left to right;
// the search goes on after each inserted value.
std::string ReplaceAll(std::string_view text, std::string_view placeholder, std::string_view value)
{
    std::string result;
    result.reserve(text.size());
    std::size_t from = 0;
    for (std::size_t at = text.find(placeholder); at != std::string_view::npos;
         at = text.find(placeholder, from)) {
        result.append(text.substr(from, at - from));
        result.append(value);
        from = at + placeholder.size();
    }
    result.append(text.substr(from));
    return result;
}

}  // namespace

std::string FillTemplate(std::string_view request_template, std::string_view signature, std::string_view sample)
{
    const std::string with_signature = ReplaceAll(request_template, "{sigdata}", signature);
    return ReplaceAll(with_signature, "\"{samplems}\"", sample);
}

std::size_t Utf16Length(std::string_view utf8)
{
    std::size_t units = 0;
    std::size_t i = 0;
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(utf8[at]); };
    const auto continuation = [&](std::size_t at) { return at < utf8.size() && (byte(at) & 0xC0) == 0x80; };
    while (i < utf8.size()) {
        const unsigned lead = byte(i);
        std::size_t length = 0;
        // The range the second byte must fall in excludes overlong forms,
        // the surrogates and code points beyond U+10FFFF.
        unsigned low = 0x80, high = 0xBF;
        if (lead < 0x80) {
            length = 1;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        }
        bool valid = length > 0;
        if (valid && length > 1) {
            valid = i + 1 < utf8.size() && byte(i + 1) >= low && byte(i + 1) <= high;
            for (std::size_t k = 2; valid && k < length; ++k) {
                valid = continuation(i + k);
            }
        }
        if (!valid) {
            ++units;
            ++i;
            continue;
        }
        units += length == 4 ? 2 : 1;
        i += length;
    }
    return units;
}

namespace {

struct DefaultRoute {
    std::string interface;
    unsigned long metric = 0;
};

// The interface of the default route that is up, the lowest metric first
// and the first listed among equals; empty when there is none.
std::string DefaultRouteInterface(std::istream& routes)
{
    std::string line;
    std::getline(routes, line);  // the column titles
    bool found = false;
    DefaultRoute best;
    while (std::getline(routes, line)) {
        std::istringstream fields(line);
        std::string iface, destination, gateway, flags, refcnt, use, metric, mask;
        if (!(fields >> iface >> destination >> gateway >> flags >> refcnt >> use >> metric >> mask)) {
            continue;
        }
        unsigned long flag_bits = 0;
        unsigned long metric_value = 0;
        const auto parse = [](const std::string& text, unsigned long& value, int base) {
            const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
            return error == std::errc{} && end == text.data() + text.size();
        };
        constexpr unsigned long kRouteUp = 0x1;
        if (destination != "00000000" || mask != "00000000" || !parse(flags, flag_bits, 16) ||
            (flag_bits & kRouteUp) == 0 || !parse(metric, metric_value, 10)) {
            continue;
        }
        if (!found || metric_value < best.metric) {
            best = {iface, metric_value};
            found = true;
        }
    }
    return best.interface;
}

}  // namespace

std::string NetworkKind(const std::string& root)
{
    std::ifstream routes(root + "/proc/net/route");
    if (!routes) {
        return "3g";
    }
    const std::string iface = DefaultRouteInterface(routes);
    // An interface name is one path component; anything else cannot be
    // looked up safely.
    if (iface.empty() || iface == "." || iface == ".." || iface.find('/') != std::string::npos) {
        return "3g";
    }
    std::error_code error;
    const bool wireless = std::filesystem::is_directory(root + "/sys/class/net/" + iface + "/wireless", error);
    return wireless && !error ? "wifi" : "3g";
}

}  // namespace VextuneCore
