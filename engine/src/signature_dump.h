// Diagnostic text dump of signature bytes.
//
// One printer per chunk type, reached through a table that maps a type to its
// name and printer. A printer checks its section, appends text to out (when
// out is given; it never clears it) and returns a result code:
//   0 valid, 1 bad magic, 2 sig_sample_info length not 48,
//   4 section missing or unknown type, 6 fp_search_info length not 24.
// Verbosity: 1 error lines, 2 the sig_sample_info fields, 3 the
// fp_search_info fields, 4 every peak. Printers never throw on bad input and
// never read past length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vxt {

inline constexpr int dump_valid = 0;
inline constexpr int dump_bad_magic = 1;
inline constexpr int dump_bad_sample_info_length = 2;
inline constexpr int dump_missing_or_unknown = 4;
inline constexpr int dump_bad_search_info_length = 6;

using chunk_printer = int (*)(const std::uint8_t* payload, std::size_t length, int verbosity, std::string* out);

struct printer_entry {
    std::uint32_t type;
    std::string_view name;
    chunk_printer printer;
};

// The entry for a type; a type not in the table gets the catch-all entry
// (type 0, "unknown format").
const printer_entry& find_printer(std::uint32_t type) noexcept;

int print_chunk(std::uint32_t type, const std::uint8_t* payload, std::size_t length, int verbosity,
                std::string* out);

int print_sig_sample_info(const std::uint8_t* payload, std::size_t length, int verbosity, std::string* out);
int print_fp_search_info(const std::uint8_t* payload, std::size_t length, int verbosity, std::string* out);
int print_fat_peaks(const std::uint8_t* payload, std::size_t length, int verbosity, std::string* out);
int print_band_peaks(const std::uint8_t* payload, std::size_t length, int verbosity, std::string* out);
int print_compact_peaks(const std::uint8_t* payload, std::size_t length, int verbosity, std::string* out);

// Names of the sig_sample_info record's time source (3 bits) and payload
// type (2 bits).
std::string_view time_source_name(std::uint32_t source) noexcept;
std::string_view payload_type_name(std::uint32_t type) noexcept;

// A real number the way a standard text stream writes a double by default:
// 6 significant digits, no trailing zeros.
std::string format_real(double value);

// Checks and prints a whole signature: the outer record or envelope, then
// every chunk with its printer. Returns 0 when the walk and every printer
// found the signature valid; otherwise the walk's error (code 1, with its
// message in error) or the first printer code that was not 0.
int dump_signature(std::span<const std::uint8_t> bytes, int verbosity, std::string& out, std::string& error);

}  // namespace vxt
