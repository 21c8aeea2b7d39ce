// The two outer forms of a signature.
//
// Compact form: a 32-byte envelope, then a wide chunk list.
//   0 length of the list   4 magic 0x789ABC05   8 0xFFFFFFFF
//  12 0x30000000 | payload type   16 16   20 length again
//  24 length ^ 0x789ABC13   28 checksum: the 32-bit sum of all words of the
//     signature, taken while this word holds 0
// sig_sample_info form: the 48-byte record with its size word set to the
// length of the narrow chunk list that follows it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "chunk_list.h"
#include "records.h"

namespace vxt {

inline constexpr std::size_t envelope_bytes = 32;
inline constexpr std::uint32_t envelope_magic = 0x789ABC05;
inline constexpr std::uint32_t envelope_length_key = 0x789ABC13;
inline constexpr std::size_t envelope_magic_offset = 4;
inline constexpr std::size_t envelope_payload_type_offset = 12;
inline constexpr std::size_t envelope_length_copy_offset = 20;
inline constexpr std::size_t envelope_length_check_offset = 24;
inline constexpr std::size_t envelope_checksum_offset = 28;
// Where the size word sits in the sig_sample_info record.
inline constexpr std::size_t sample_info_size_offset = 8;

// Writes the compact form of chunks into out, resized to fit, checksum
// included.
void write_compact_form(const chunk_list& chunks, std::uint32_t payload_type, std::vector<std::uint8_t>& out);

// Writes the sig_sample_info form: the record, with its size word set, then
// the narrow list.
void write_sample_info_form(sig_sample_info record, const chunk_list& chunks, std::vector<std::uint8_t>& out);

}  // namespace vxt
