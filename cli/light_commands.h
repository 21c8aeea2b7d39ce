// The commands vextune runs itself, with the engine and the audio decoder
// only: signature and dump.
#pragma once

#include "command_line.h"

namespace vxt::cli {

command_runner setup_signature(CLI::App& subcommand);
command_runner setup_dump(CLI::App& subcommand);

inline constexpr std::string_view signature_usage =
    "usage: vextune signature [--type 1-4] [--flags HEX] [--seconds S] [--mix] [--output FILE] AUDIO";
inline constexpr std::string_view dump_usage = "usage: vextune dump [--verbosity 0-4] [--json] [SIGNATURE]";

}  // namespace vxt::cli
