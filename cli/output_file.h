// Where a command's signature goes: standard output, or a file that is
// replaced only once the whole signature is written.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace vxt::cli {

// Writes everything to the stream and flushes it; false, with errno set, on
// any error.
bool write_stream(std::FILE* stream, const std::vector<std::uint8_t>& bytes);

// Writes bytes to path without ever losing what was there: a regular file
// (new or old) is written as a temporary file beside it, created
// exclusively, and renamed over it only once complete, so a failed write
// leaves the old file as it was and removes only the temporary file. A
// symbolic link is followed, and the file it names replaced, so the link
// stays. Anything else that exists (a character device, a FIFO, a socket) is
// written straight into and never removed or replaced. Throws cli_error.
void write_output(const std::string& path, const std::vector<std::uint8_t>& bytes);

// A command's signature output: standard output for "" and "-", else the
// file (write_output). A signature is binary, so standard output that is a
// terminal is refused: true, having said so with the command's usage line.
bool refuse_terminal_output(const std::string& output, std::string_view usage);
// Writes the signature there; the exit status, the failure said on
// standard error ("standard output: ..." or "FILE: ...").
int write_signature(const std::string& output, const std::vector<std::uint8_t>& bytes);

}  // namespace vxt::cli
