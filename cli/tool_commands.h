// The commands vextune hands over to vextune-tools: those that need the
// capture, the recognition client, the catalogue stores or the service.
#pragma once

#include "command_line.h"

namespace vxt::cli {

command_runner setup_listen(CLI::App& subcommand);
command_runner setup_devices(CLI::App& subcommand);
command_runner setup_recognize(CLI::App& subcommand);
command_runner setup_catalogue(CLI::App& subcommand);
command_runner setup_match(CLI::App& subcommand);
command_runner setup_monitor(CLI::App& subcommand);
command_runner setup_serve(CLI::App& subcommand);

inline constexpr std::string_view listen_usage =
    "usage: vextune listen [--device NAME | --input AUDIO] [--seconds S] [--output FILE]";
inline constexpr std::string_view devices_usage = "usage: vextune devices";
inline constexpr std::string_view recognize_usage =
    "usage: vextune recognize --request FILE [--device NAME | --input AUDIO] [--realtime]";
inline constexpr std::string_view catalogue_usage =
    "usage: vextune catalogue {add --db DB... AUDIO... | list --db DB... | remove --db DB... ID | stats --db DB...}";
inline constexpr std::string_view match_usage = "usage: vextune match --db DB... [--timeline] AUDIO...";
inline constexpr std::string_view monitor_usage =
    "usage: vextune monitor (--db DB... | --service URL) [--input AUDIO | - | --device "
    "NAME] [--raw RATE[,CHANNELS]] [--json] [--seconds S] "
    "[--window S] [--hop S]";
inline constexpr std::string_view serve_usage =
    "usage: vextune serve --db DB... [--listen HOST:PORT] [--threads N] [--io-threads N] [--max-sample-ms MS] "
    "[--access-log] [--access-log-file FILE] [--request-timeout S] [--idle-timeout S] [--write-timeout S] "
    "[--max-connections N] [--max-connections-per-address N]";

}  // namespace vxt::cli
