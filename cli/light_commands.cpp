#include "light_commands.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "output_file.h"
#include "vextune/dump.h"
#include "vextune/signature.h"

namespace vxt::cli {
namespace {

constexpr const char* flags_help = R"(Types:
  1  the band-selected peaks of every period the engine keeps
  2  those of the most recent --seconds (all kept periods for 0)
  3  those of the periods completed since the last request, here the whole
     file (always the sig_sample_info form)
  4  every detected peak, unselected
Flags (hexadecimal, --flags replaces the default 800):
  800    no wall-clock timestamp: the signature's time is 0. A file has no
         capture time, so this is the default, and with it the bytes depend
         only on the audio and the options.
  1000   the sig_sample_info form instead of the compact form
  0, 100, 200, 300  period and peaks per band: 256 frames and 24 peaks,
         128 and 14, 256 and 16, 128 and 8
  10000  attach the input audio (all of it, held in memory until written)
  20000  attach the audio resampled to 8000 Hz (likewise)
Rates the engine takes: 8000, 11025, 16000, 32000, 44100, 48000 Hz. A file at
another rate is converted to the nearest of them above its rate (48000 Hz
above 48000 Hz). A multichannel file gives its channel 0 unless --mix.
AUDIO - reads standard input, which may be a pipe, in any format. Without
--output the signature goes to standard output, which must not be a terminal.
--output FILE replaces FILE only once the whole signature is written (a
symbolic link stays and its file is replaced); a device or FIFO is written
into.)";

// "800", "0x800" or "0X800", within 32 bits.
bool parse_hex(const std::string& text, EngineFlags& value)
{
    std::string_view digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits.remove_prefix(2);
    if (digits.empty())
        return false;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
    return error == std::errc{} && end == digits.data() + digits.size();
}

struct signature_args {
    signature_options options;
    std::string flags_text;
    std::string output;
    bool mix = false;
    std::string audio;
};

int run_signature(signature_args& args)
{
    if (refuse_terminal_output(args.output, signature_usage))
        return exit_usage;
    if (!args.flags_text.empty())
        parse_hex(args.flags_text, args.options.flags);  // checked by the parser
    args.options.channels = args.mix ? channel_mode::mix : channel_mode::first;

    std::vector<std::uint8_t> bytes;
    try {
        bytes = sign_file(args.audio, args.options, [](const std::string& note) { diagnose(note); });
    } catch (const cli_error& e) {
        diagnose(display_name(args.audio) + ": " + e.what());
        return exit_failure;
    }

    return write_signature(args.output, bytes);
}

struct dump_args {
    int verbosity = default_verbosity;
    bool json = false;
    std::string signature;
};

int run_dump(const dump_args& args)
{
    const std::string name = display_name(args.signature);
    std::vector<std::uint8_t> bytes;
    try {
        bytes = read_signature_file(args.signature);
    } catch (const cli_error& e) {
        diagnose(name + ": " + e.what());
        return exit_failure;
    }

    // Whatever could be printed is printed, then the problem is reported.
    std::string problem;
    if (args.json) {
        problem = dump_signature_json(std::cout, bytes, args.verbosity);
    } else {
        dump_signature(std::cout, bytes, args.verbosity);
        problem = read_signature(bytes, {.peaks = false}).error;
    }
    std::cout.flush();
    if (!std::cout) {
        diagnose(std::string("standard output: ") + std::strerror(errno));
        return exit_failure;
    }
    if (!problem.empty()) {
        diagnose(name + ": " + problem);
        return exit_failure;
    }
    return exit_ok;
}

}  // namespace

command_runner setup_signature(CLI::App& sub)
{
    auto args = std::make_shared<signature_args>();
    sub.add_option("--type", args->options.type, "Signature type, 1 to 4 (default 2)")
        ->check(CLI::Range(1, 4).description(""))
        ->type_name("N");
    sub.add_option("--flags", args->flags_text, "Engine flags in hexadecimal (default 800, see below)")
        ->check(CLI::Validator(
            [](std::string& text) {
                EngineFlags value = 0;
                return parse_hex(text, value) ? std::string{} : "not a 32-bit hexadecimal number: " + text;
            },
            ""))
        ->type_name("HEX");
    sub.add_option("--seconds", args->options.seconds,
                   "Cover at most about this much of the most recent audio (default 0: everything "
                   "the engine keeps)")
        ->check(CLI::Validator(
            [](std::string& text) {
                double value = 0.0;
                const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
                const bool ok =
                    error == std::errc{} && end == text.data() + text.size() && std::isfinite(value) && value >= 0.0;
                return ok ? std::string{} : "not a number of seconds: " + text;
            },
            ""))
        ->type_name("S");
    sub.add_flag("--mix", args->mix, "Average all channels instead of taking channel 0");
    sub.add_option("-o,--output", args->output, "Write the signature to FILE (- for standard output, the default)")
        ->type_name("FILE");
    sub.add_option("AUDIO", args->audio, "Audio file (any format libsndfile reads), or - for standard input")
        ->required()
        ->type_name("");
    sub.footer(flags_help);
    return [args] { return run_signature(*args); };
}

command_runner setup_dump(CLI::App& sub)
{
    auto args = std::make_shared<dump_args>();
    sub.add_option("-v,--verbosity", args->verbosity,
                   "0 nothing, 1 errors, 2 the sig_sample_info record, 3 the fp_search_info record, "
                   "4 every peak (default)")
        ->check(CLI::Range(0, max_dump_verbosity).description(""))
        ->type_name("N");
    sub.add_flag("--json", args->json, "Print a JSON document instead (peak lists only at verbosity 4)");
    sub.add_option("SIGNATURE", args->signature, "Signature file, or - for standard input (the default)")
        ->default_val("-")
        ->type_name("");
    sub.footer("Exit status 1 when the signature is malformed, after printing what could be read.");
    return [args] { return run_dump(*args); };
}

}  // namespace vxt::cli
