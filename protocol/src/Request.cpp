// The recognition request; see Request.h.
#include "vextune/protocol/Request.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

#include "vextune/protocol/Base64.h"
#include "vextune/protocol/Json.h"

namespace vxt::protocol {

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
    for (std::size_t at = text.find(placeholder); at != std::string_view::npos; at = text.find(placeholder, from)) {
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
    const std::string with_signature = ReplaceAll(request_template, signature_placeholder, signature);
    return ReplaceAll(with_signature, sample_placeholder, sample);
}

std::string RequestText(std::string_view request_template, std::span<const std::uint8_t> signature, double sample_ms)
{
    return FillTemplate(request_template, EncodeBase64(signature), SampleText(sample_ms));
}

double ReadSampleMs(const nlohmann::json& value)
{
    double sample_ms = 0.0;
    if (value.is_number()) {
        sample_ms = value.get<double>();
    } else if (value.is_string()) {
        const std::string& text = value.get_ref<const std::string&>();
        std::size_t used = 0;
        try {
            sample_ms = std::stod(text, &used);
        } catch (const std::exception&) {
            used = 0;
        }
        if (used == 0 || used != text.size())
            throw Error("the request's \"samplems\" is not a number");
    } else {
        throw Error("the request's \"samplems\" is not a number");
    }
    if (!std::isfinite(sample_ms) || sample_ms < 0.0)
        throw Error("the request's \"samplems\" is not a length of time");
    return sample_ms;
}

Request ReadRequest(std::string_view body)
{
    // Its strings are bounded by the body the service took.
    JsonLimits limits;
    limits.text_bytes = body.size();
    nlohmann::json request;
    try {
        request = ReadJson(body, limits);
    } catch (const Error& e) {
        throw Error(std::string("the request ") + e.what());
    }
    if (!request.is_object())
        throw Error("the request is not a JSON object");
    const auto signature = request.find(signature_member);
    if (signature == request.end() || !signature->is_string())
        throw Error("the request has no \"signature\" text");
    const auto sample = request.find(sample_ms_member);
    if (sample == request.end())
        throw Error("the request has no \"samplems\"");

    Request out;
    out.sample_ms = ReadSampleMs(*sample);
    try {
        out.signature = DecodeBase64(signature->get_ref<const std::string&>());
    } catch (const Error& e) {
        throw Error(std::string("the signature is not base64: ") + e.what());
    }
    return out;
}

}  // namespace vxt::protocol
