// The vextune command line: one table of commands, from which each
// executable derives its usage text, its subcommands and its dispatch.
//
// vextune itself runs the light commands (signature, dump) with the engine
// and the audio decoder only, and hands every other command over to
// vextune-tools, which runs them all. Results go to standard output and
// diagnostics to standard error, prefixed "vextune: ". Exit status: 0
// success, 1 failure, 2 wrong usage.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace CLI {
class App;
}

namespace vxt::cli {

inline constexpr int exit_ok = 0;
inline constexpr int exit_failure = 1;
inline constexpr int exit_usage = 2;

// Runs a command once its options are parsed; returns the exit status.
using command_runner = std::function<int()>;

// Adds a command's options (and subcommands of its own) to its subcommand
// and returns what runs it, bound to where the options were parsed into.
using command_setup = command_runner (*)(CLI::App& subcommand);

struct command {
    std::string_view name;
    std::string_view summary;  // its line in vextune --help
    std::string_view usage;    // the line under a usage error
    bool light;                // run by vextune itself (the engine and the audio decoder only)
    command_setup setup;       // nullptr where this executable hands the command over
};

// The commands as this executable has them.
std::span<const command> commands();

// Runs a command this executable has no setup for, passing argv through;
// returns (the exit status) only when it cannot.
using command_handover = std::function<int(const command&, char** argv)>;

// "usage: vextune [--help] [--version] {NAME|...} ...".
std::string program_usage(std::span<const command> table);

// Parses argv against the table and runs the command it names; catches
// everything, so the status is always 0, 1 or 2 (or the handed-over
// command's).
int run_command_line(int argc, char** argv, std::span<const command> table, const command_handover& handover);

// One line on standard error, "vextune: " first, after whatever standard
// output holds. Any thread may call it (the libraries' sinks run on the
// device threads and the service's workers): whole lines are written one
// at a time, never interleaved.
void diagnose(const std::string& text);
// One line on standard error as it stands (the service's own lines), one
// at a time with diagnose.
void print_error_line(const std::string& line);

// What a diagnostic calls a file name: "-" is "standard input".
std::string display_name(const std::string& path);

}  // namespace vxt::cli
