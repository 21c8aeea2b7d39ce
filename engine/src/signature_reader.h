// The chunk walk behind read_signature and the dump: finds the form, checks
// the outer record or envelope, and lists the chunks without decoding them.
// Nothing is read outside the given span, whatever the bytes claim; a
// problem is described in error and the walk stops there.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "vextune/config.h"
#include "vextune/signature.h"

namespace vxt {

struct parsed_chunk {
    std::uint32_t type;
    std::span<const std::uint8_t> payload;  // as stored: the padded length
};

struct parsed_signature {
    signature_form form = signature_form::compact;
    std::span<const std::uint8_t> header;  // the envelope or the record; empty when unrecognised
    std::vector<parsed_chunk> chunks;
    bool checksum_checked = false;  // compact form: the walk got that far
    std::uint32_t stored_checksum = 0;
    std::uint32_t computed_checksum = 0;
    std::string error;  // empty when the walk succeeded

    bool ok() const noexcept { return error.empty(); }
};

parsed_signature parse_signature(std::span<const std::uint8_t> bytes);

// The fields of the envelope or record that a walk found.
signature_envelope envelope_fields(const parsed_signature& parsed);
signature_sample_info sample_info_fields(std::span<const std::uint8_t> record);
signature_search_info search_info_fields(std::span<const std::uint8_t> record);

// The reader's text for a check code ("bad magic value", ...).
std::string describe_check(int code);

// The first problem of a walk or of a record or chunk check; empty when
// there is none.
std::string find_problem(const parsed_signature& parsed);

}  // namespace vxt
