// The text pieces of a recognition request; see RequestText.h.
#include "vextune/client/RequestText.h"

namespace VextuneCore::Client {

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

}  // namespace VextuneCore::Client
