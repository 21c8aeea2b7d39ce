// Printing signatures: the diagnostic text dump and a JSON document.
//
// Both stream their output, so that a large signature costs memory in
// proportion to its size only, and both print whatever could be read of a
// malformed signature before reporting the problem.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>

#include "vextune/export.h"

namespace vxt {

inline constexpr int max_dump_verbosity = 4;

// The text dump. Verbosity: 0 nothing, 1 the outline and error lines, 2 the
// sig_sample_info record, 3 the fp_search_info record, 4 every peak. Returns
// 0 when the signature is valid, 1 when the bytes could not be walked (the
// reason in *error when given), else the first non-zero check code of
// vextune/signature.h.
VXT_API int dump_signature(std::ostream& out, std::span<const std::uint8_t> bytes, int verbosity,
                           std::string* error = nullptr);

// The signature as a JSON document (two-space indentation, keys in a fixed
// order):
//   form       "compact", "sig_sample_info", or null when neither is recognised
//   size       bytes in all
//   valid      false when read_signature finds a problem; "error" then says what
//   envelope   (compact form) length, magic, payload_type and its name, and
//              checksum {stored, computed, verified}
//   sig_sample_info  (that form) every field of the record; utc_us is the raw
//              time, so the document does not depend on the local time zone
//   chunks     in stored order: type (8 hex digits), name, length (as stored,
//              padded to 4 bytes) and content: the fp_search_info or
//              sig_sample_info fields; for peak chunks count and peaks
//              ({time, frequency, frequency_hz, amplitude}, fat peaks {frame,
//              ..., time_curvature, freq_curvature}); for PCM rate and
//              samples; null for anything else.
// Below verbosity 4 the peak lists are left out (their counts stay). Returns
// the problem, empty for a valid signature.
VXT_API std::string dump_signature_json(std::ostream& out, std::span<const std::uint8_t> bytes, int verbosity);

}  // namespace vxt
