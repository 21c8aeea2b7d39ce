// The text pieces of a recognition request: the sample length as text and
// the template filled with it and the signature's base64 (the request
// format itself is vxt::protocol's, shared with the service), and the size
// recorded with the result.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "vextune/protocol/Request.h"

namespace VextuneCore::Client {

// The sample length as the request carries it ("%f" cut to 9 characters,
// never inside the whole part) and the template filled with the signature
// text and the sample text; see vextune/protocol/Request.h.
using vxt::protocol::FillTemplate;
using vxt::protocol::SampleText;

// The length of UTF-8 text in UTF-16 code units (a character beyond the
// basic plane counts 2); an invalid byte (one not part of a well-formed
// sequence: a stray continuation, a cut sequence, an overlong form, a
// surrogate, beyond U+10FFFF) counts as one unit.
std::size_t Utf16Length(std::string_view utf8);

}  // namespace VextuneCore::Client
