// libFuzzer target: the readers of the recognition client's untrusted text,
// the request description an application gives and the answers a service
// sends, the request text built from them, and the base64 both sides share.
//
// Beyond what the sanitizers catch, it stops on a broken promise:
//   - a request description is either read or refused with the client's
//     own error, never another exception;
//   - an answer read back is a JSON object whose text reads again, within
//     the same bounds;
//   - the bounded reader either refuses a text with its own error or gives
//     a value whose text reads again, to the same value;
//   - the UTF-16 length of any text is at most its byte length;
//   - the sample length text is a JSON number;
//   - base64 text is either refused or exactly the text of the bytes it
//     gives (padding aside), and any bytes come back from their text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "vextune/client/Recognition.h"
#include "vextune/client/RequestText.h"
#include "vextune/protocol/Base64.h"
#include "vextune/protocol/Error.h"
#include "vextune/protocol/Json.h"

namespace {

void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "request_fuzz: broken promise: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    try {
        const VextuneCore::Client::RequestDescription d = VextuneCore::Client::ReadRequestDescription(text);
        const std::string body =
            VextuneCore::Client::FillTemplate(d.request_template, vxt::protocol::EncodeBase64({data, size}),
                                              VextuneCore::Client::SampleText(d.max_sample_ms));
        require(VextuneCore::Client::Utf16Length(body) <= body.size(), "UTF-16 length above the byte length");
    } catch (const VextuneCore::Client::RecognitionError&) {
    }

    try {
        std::optional<std::int32_t> retry;
        if (const auto answer = VextuneCore::Client::ReadAnswer(text, &retry))
            require(vxt::protocol::ReadOrderedJson(*answer).is_object(), "an answer that is not an object");
    } catch (const VextuneCore::Client::RecognitionError&) {
    }

    try {
        const nlohmann::json value = vxt::protocol::ReadJson(text);
        require(vxt::protocol::ReadJson(value.dump()) == value, "a value whose text reads as another");
    } catch (const vxt::protocol::Error&) {
    }

    try {
        const std::vector<std::uint8_t> bytes = vxt::protocol::DecodeBase64(text);
        std::string padded(text);
        padded.resize((padded.size() + 3) / 4 * 4, '=');
        require(vxt::protocol::EncodeBase64(bytes) == padded, "base64 taken that is not the text of its bytes");
    } catch (const vxt::protocol::Error&) {
    }
    const std::vector<std::uint8_t> back = vxt::protocol::DecodeBase64(vxt::protocol::EncodeBase64({data, size}));
    require(back.size() == size && std::equal(back.begin(), back.end(), data), "bytes that do not come back");

    require(VextuneCore::Client::Utf16Length(text) <= size, "UTF-16 length above the byte length");
    if (size >= sizeof(double)) {
        double value;
        std::memcpy(&value, data, sizeof value);
        const std::string sample = VextuneCore::Client::SampleText(value);
        require(nlohmann::json::parse(sample, nullptr, false).is_number(), "a sample length that is not a number");
    }
    return 0;
}
