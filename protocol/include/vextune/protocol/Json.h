// JSON text read within bounds: every JSON document this system reads from
// outside (the service's requests, the client's request descriptions and
// the service's answers) goes through here.
//
// A bound is checked while the text is parsed, before the value it would
// exceed is built: how deeply arrays and objects nest (the library's
// copy, comparison and printing recurse once per level, so a deep
// document would overflow the stack of whoever touches it), how many
// values there are (each costs memory, and the members of an ordered
// object are found by a linear search), and how many bytes the keys and
// strings hold in all.
#pragma once

#include <cstddef>
#include <string_view>

#include <nlohmann/json.hpp>

#include "vextune/protocol/Error.h"

namespace vxt::protocol {

struct JsonLimits {
    std::size_t depth = 64;                         // arrays and objects inside one another
    std::size_t values = 10000;                     // values of every kind, arrays and objects included
    std::size_t text_bytes = std::size_t{4} << 20;  // bytes of the keys and strings together
};

// Parses text as one JSON value within limits. Throws Error whose text
// follows the name of what was read ("the answer " + what()): "is not
// JSON: ..." (with the library's reason: a syntax error, a number beyond a
// double, text that is not UTF-8), "nests arrays and objects more than N
// deep", "holds more than N values", "holds more than N bytes of text".
nlohmann::json ReadJson(std::string_view text, const JsonLimits& limits = {});
// The same, keeping the order of every object's members.
nlohmann::ordered_json ReadOrderedJson(std::string_view text, const JsonLimits& limits = {});

}  // namespace vxt::protocol
