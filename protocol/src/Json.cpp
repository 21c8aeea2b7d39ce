// JSON text read within bounds; see Json.h.
#include "vextune/protocol/Json.h"

#include <string>

namespace vxt::protocol {
namespace {

// The library's parser with a callback that counts what it is about to
// build and throws once a bound is passed; the callback runs before each
// array or object is opened and after each value is read, so a document
// past its bounds never exists whole.
template <typename Json>
Json ReadBounded(std::string_view text, const JsonLimits& limits)
{
    using Event = nlohmann::json::parse_event_t;
    std::size_t values = 0;
    std::size_t text_bytes = 0;
    const auto count_text = [&](const Json& string) {
        text_bytes += string.template get_ref<const std::string&>().size();
        if (text_bytes > limits.text_bytes)
            throw Error("holds more than " + std::to_string(limits.text_bytes) + " bytes of text");
    };
    const typename Json::parser_callback_t check = [&](int depth, Event event, Json& parsed) {
        switch (event) {
        case Event::object_start:
        case Event::array_start:
            // depth counts the arrays and objects already open.
            if (static_cast<std::size_t>(depth) >= limits.depth)
                throw Error("nests arrays and objects more than " + std::to_string(limits.depth) + " deep");
            [[fallthrough]];
        case Event::value:
            if (++values > limits.values)
                throw Error("holds more than " + std::to_string(limits.values) + " values");
            if (event == Event::value && parsed.is_string())
                count_text(parsed);
            break;
        case Event::key: count_text(parsed); break;
        case Event::object_end:
        case Event::array_end: break;
        }
        return true;
    };
    try {
        return Json::parse(text, check);
    } catch (const nlohmann::json::exception& e) {
        throw Error(std::string("is not JSON: ") + e.what());
    }
}

}  // namespace

nlohmann::json ReadJson(std::string_view text, const JsonLimits& limits)
{
    return ReadBounded<nlohmann::json>(text, limits);
}

nlohmann::ordered_json ReadOrderedJson(std::string_view text, const JsonLimits& limits)
{
    return ReadBounded<nlohmann::ordered_json>(text, limits);
}

}  // namespace vxt::protocol
