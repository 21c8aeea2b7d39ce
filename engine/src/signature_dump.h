// Diagnostic text dump of signature bytes: the printers behind
// vxt::dump_signature (vextune/dump.h).
//
// One printer per chunk type, reached through a table that maps a type to
// its printer. A printer checks its section, appends text to out (when out
// is given; it never clears it; with a spill stream, out is moved to the
// stream whenever it passes a few KiB, so that a long peak list is never
// held whole) and returns a check code of
// vextune/signature.h: 0 valid, 1 bad magic, 2 sig_sample_info length not
// 48, 4 section missing or unknown type, 6 fp_search_info length not 24.
// Verbosity: 1 error lines, 2 the sig_sample_info fields, 3 the
// fp_search_info fields, 4 every peak. Printers never throw on bad input and
// never read past length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>

#include "vextune/dump.h"
#include "vextune/signature.h"

namespace vxt {

using chunk_printer = int (*)(const std::uint8_t* payload, std::size_t length, int verbosity, std::string* out,
                              std::ostream* spill);

struct printer_entry {
    std::uint32_t type;
    chunk_printer printer;
};

// The entry for a type; a type not in the table gets the catch-all entry
// (type 0, printing "unknown fp_data_header type").
const printer_entry& find_printer(std::uint32_t type) noexcept;

int print_chunk(std::uint32_t type, const std::uint8_t* payload, std::size_t length, int verbosity, std::string* out,
                std::ostream* spill = nullptr);

int print_sig_sample_info(const std::uint8_t* payload, std::size_t length, int verbosity, std::string* out,
                          std::ostream* spill = nullptr);
int print_fp_search_info(const std::uint8_t* payload, std::size_t length, int verbosity, std::string* out,
                         std::ostream* spill = nullptr);
int print_fat_peaks(const std::uint8_t* payload, std::size_t length, int verbosity, std::string* out,
                    std::ostream* spill = nullptr);
int print_band_peaks(const std::uint8_t* payload, std::size_t length, int verbosity, std::string* out,
                     std::ostream* spill = nullptr);
int print_compact_peaks(const std::uint8_t* payload, std::size_t length, int verbosity, std::string* out,
                        std::ostream* spill = nullptr);

// Names of the sig_sample_info record's time source (3 bits) and payload
// type (2 bits).
std::string_view time_source_name(std::uint32_t source) noexcept;
std::string_view payload_type_name(std::uint32_t type) noexcept;

// A real number the way a standard text stream writes a double by default:
// 6 significant digits, no trailing zeros.
std::string format_real(double value);

}  // namespace vxt
