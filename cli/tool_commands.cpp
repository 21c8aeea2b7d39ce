#include "tool_commands.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <CLI/CLI.hpp>

#include "catalogue.h"
#include "commands.h"
#include "listen.h"
#include "monitor.h"
#include "output_file.h"
#include "recognize.h"

namespace vxt::cli {
namespace {

constexpr const char* db_help =
    "The catalogue: a folder (LMDB, made by catalogue add) or a postgresql:// URI; repeated, one postgresql:// URI "
    "a shard of one catalogue, in the same order every time";

const note_sink note_to_stderr = [](const std::string& text) { diagnose(text); };

struct listen_args {
    listen_options options;
    std::string output;
};

int run_listen(const listen_args& args)
{
    if (refuse_terminal_output(args.output, listen_usage))
        return exit_usage;
    std::vector<std::uint8_t> bytes;
    try {
        bytes = listen(args.options, note_to_stderr);
    } catch (const cli_error& e) {
        diagnose((args.options.input.empty() ? std::string("capture") : display_name(args.options.input)) + ": " +
                 e.what());
        return exit_failure;
    }
    return write_signature(args.output, bytes);
}

int run_devices()
{
    try {
        for (const std::string& line : list_devices(note_to_stderr))
            std::cout << line << '\n';
    } catch (const cli_error& e) {
        diagnose(e.what());
        return exit_failure;
    }
    std::cout.flush();
    return std::cout ? exit_ok : exit_failure;
}

struct recognize_args {
    recognize_options options;
    std::string request_file;
};

int run_recognize(recognize_args& args)
{
    if (args.request_file == "-" && args.options.input == "-") {
        diagnose("--request - and --input -: standard input can carry only one of them");
        std::cerr << recognize_usage << '\n';
        return exit_usage;
    }
    try {
        const auto bytes = read_signature_file(args.request_file);  // any small file; "-" is standard input
        args.options.request.assign(bytes.begin(), bytes.end());
    } catch (const cli_error& e) {
        diagnose(display_name(args.request_file) + ": " + e.what());
        return exit_failure;
    }
    std::string result;
    try {
        result = recognize(args.options, note_to_stderr);
    } catch (const cli_error& e) {
        diagnose(std::string("recognize: ") + e.what());
        return exit_failure;
    }
    std::cout << result << '\n';
    std::cout.flush();
    return std::cout ? exit_ok : exit_failure;
}

// Runs one of the catalogue, match and serve commands; their failures are
// one line on standard error.
int run_catalogue_command(const std::function<int()>& command)
{
    try {
        return command();
    } catch (const cli_error& e) {
        diagnose(e.what());
        return exit_failure;
    }
}

}  // namespace

command_runner setup_listen(CLI::App& sub)
{
    auto args = std::make_shared<listen_args>();
    auto* device = sub.add_option("--device", args->options.device, "Capture source by name (default: the default one)")
                       ->type_name("NAME");
    sub.add_option("--input", args->options.input,
                   "Play this audio file as the microphone, on simulated time (as fast as it goes); - or a pipe "
                   "is read to its end first")
        ->type_name("AUDIO")
        ->excludes(device);
    sub.add_option("--seconds", args->options.seconds,
                   "Sample time to sign (default 12, at most " + std::to_string(listen_max_seconds) +
                       " and at most the recording)")
        ->check(CLI::Validator(
            [](std::string& text) {
                double value = 0.0;
                const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
                // Not a number compares false with everything: without the
                // check it passed, and the capture waited for ever.
                const bool ok = error == std::errc{} && end == text.data() + text.size() && std::isfinite(value) &&
                                value > 0.0 && value <= listen_max_seconds;
                return ok ? std::string{}
                          : "not a number of seconds above 0 and at most " + std::to_string(listen_max_seconds) + ": " +
                                text;
            },
            ""))
        ->type_name("S");
    sub.add_option("-o,--output", args->output, "Write the signature to FILE (- for standard output, the default)")
        ->type_name("FILE");
    sub.footer("The capture runs its whole path: device, 16-bit mono at the device's rate, three-second pre-roll, "
               "engine, signature schedule. Diagnostics go to standard error.");
    return [args] { return run_listen(*args); };
}

command_runner setup_devices(CLI::App&)
{
    return [] { return run_devices(); };
}

command_runner setup_recognize(CLI::App& sub)
{
    auto args = std::make_shared<recognize_args>();
    sub.add_option("--request", args->request_file, "The request description (JSON), or - for standard input")
        ->required()
        ->type_name("FILE");
    auto* device = sub.add_option("--device", args->options.device, "Capture source by name (default: the default one)")
                       ->type_name("NAME");
    auto* input = sub.add_option("--input", args->options.input,
                                 "Play this audio file as the microphone (simulated time, fast); - or a pipe is read "
                                 "to its end first")
                      ->type_name("AUDIO")
                      ->excludes(device);
    sub.add_flag("--realtime", args->options.realtime, "Play the --input recording at its own pace")->needs(input);
    sub.footer("Prints the result document: {\"tag\": {\"response\", \"info\"}} with the service's answer, or "
               "{\"pendingTag\": {\"request\", \"info\"}} to submit later when the service could not be reached. "
               "See README.");
    return [args] { return run_recognize(*args); };
}

// catalogue reindex and compact, of each shard in turn.
int run_catalogue_upkeep(const catalogue_names& db, bool reindex)
{
    for (const std::string& name : db) {
        if (reindex)
            catalogue_reindex(name, std::cout, note_to_stderr, note_to_stderr);
        else
            catalogue_compact(name, std::cout, note_to_stderr);
    }
    return exit_ok;
}

command_runner setup_catalogue(CLI::App& sub)
{
    struct catalogue_args {
        catalogue_add_options add;
        bool progress = false;
        std::uint32_t id = 0;
    };
    auto args = std::make_shared<catalogue_args>();
    sub.require_subcommand(1);
    CLI::App* add = sub.add_subcommand("add", "Add audio files (again: added once)");
    CLI::App* list = sub.add_subcommand("list", "List the tracks: id, title, artist, seconds, file");
    CLI::App* remove = sub.add_subcommand("remove", "Remove a track and its index entries");
    CLI::App* stats = sub.add_subcommand("stats", "Print the catalogue's size as JSON");
    CLI::App* reindex = sub.add_subcommand(
        "reindex", "Make every track's index entries again from its stored peaks, with this program's landmarks");
    CLI::App* compact = sub.add_subcommand(
        "compact", "Rewrite an LMDB catalogue compactly in this program's layout (stop its users first)");
    for (CLI::App* each : {add, list, remove, stats, reindex, compact})
        each->add_option("--db", args->add.db, db_help)->required()->allow_extra_args(false)->type_name("DB");
    add->add_option("AUDIO", args->add.files, "Audio files (any format libsndfile reads)")->required()->type_name("");
    args->add.jobs = std::max(1u, std::thread::hardware_concurrency());
    add->add_option("--jobs", args->add.jobs,
                    "Files read and signed at once (default: one per core, here " + std::to_string(args->add.jobs) +
                        "); the catalogue is written from one thread, in the files' order")
        ->check(CLI::Range(1, 256).description(""))
        ->type_name("N");
    add->add_flag("--progress", args->progress, "A progress line on standard error even when it is not a terminal");
    remove->add_option("ID", args->id, "The track's id (see list)")->required()->type_name("");

    return [args, add, list, remove, reindex, compact] {
        return run_catalogue_command([&] {
            catalogue_args& a = *args;
            if (reindex->parsed() || compact->parsed())
                return run_catalogue_upkeep(a.add.db, reindex->parsed());
            if (add->parsed()) {
                a.add.progress = a.progress || ::isatty(STDERR_FILENO) != 0;
                const catalogue_add_outcome outcome = catalogue_add(a.add, std::cout, note_to_stderr);
                if (outcome.signal != 0)
                    return 128 + outcome.signal;  // as a shell tells a command ended by the signal
                return outcome.failed == 0 ? exit_ok : exit_failure;
            }
            if (list->parsed()) {
                catalogue_list(a.add.db, std::cout, note_to_stderr);
                return exit_ok;
            }
            if (remove->parsed()) {
                if (catalogue_remove(a.add.db, a.id, note_to_stderr))
                    return exit_ok;
                diagnose("no track " + std::to_string(a.id) + " in " + shown_names(a.add.db));
                return exit_failure;
            }
            catalogue_stats(a.add.db, std::cout, note_to_stderr);
            return exit_ok;
        });
    };
}

command_runner setup_match(CLI::App& sub)
{
    struct match_args {
        catalogue_names db;
        std::vector<std::string> files;
        bool timeline = false;
        double speed_change = 8.0;
    };
    auto args = std::make_shared<match_args>();
    sub.add_option("--db", args->db, db_help)->required()->allow_extra_args(false)->type_name("DB");
    sub.add_flag("--timeline", args->timeline,
                 "Each recording's tracklist instead: a JSON line per play, end and stretch of nothing known, as "
                 "`monitor --json` prints them");
    sub.add_option("--speed-change", args->speed_change,
                   "Look for recordings played up to PCT percent fast or slow too (default 8; 0: at their own speed "
                   "only)")
        ->check(CLI::Range(0.0, 15.0))
        ->type_name("PCT");
    sub.add_option("AUDIO", args->files, "Recordings")->required()->type_name("");
    return [args] {
        return run_catalogue_command([&] {
            if (!args->timeline)
                return match_files(args->db, args->files, std::cout, note_to_stderr, args->speed_change / 100.0) == 0
                           ? exit_ok
                           : exit_failure;
            for (const std::string& file : args->files) {
                monitor_options options;
                options.db = args->db;
                options.input = file;
                options.json = true;
                options.most_speed_change = args->speed_change / 100.0;
                monitor_stream(options, std::cout, note_to_stderr);
            }
            return std::cout ? exit_ok : exit_failure;
        });
    };
}

command_runner setup_monitor(CLI::App& sub)
{
    struct monitor_args {
        monitor_options options;
        std::string raw;
        double speed_change = 8.0;
    };
    auto args = std::make_shared<monitor_args>();
    auto* db = sub.add_option("--db", args->options.db, db_help)->allow_extra_args(false)->type_name("DB");
    sub.add_option("--service", args->options.service,
                   "Identify through a recognition service instead (`vextune serve`): its URL, to which "
                   "/recognize is added")
        ->type_name("URL")
        ->excludes(db);
    auto* input = sub.add_option("--input", args->options.input,
                                 "The audio followed: a file libsndfile reads, or - for standard input (the default)")
                      ->type_name("AUDIO");
    sub.add_option("--device", args->options.device, "Follow a capture source, by name (\"\": the default one)")
        ->type_name("NAME")
        ->excludes(input)
        ->each([args](const std::string&) { args->options.use_device = true; });
    sub.add_option("--seconds", args->options.seconds, "Stop after this much of the stream (default: at its end)")
        ->check(CLI::PositiveNumber);
    sub.add_option("--raw", args->raw,
                   "The input is raw 16-bit little-endian PCM at RATE Hz with CHANNELS interleaved (default 1), "
                   "read as it comes: `ffmpeg ... -f s16le - | vextune monitor --raw 44100,2 --db DB`")
        ->type_name("RATE[,CHANNELS]");
    sub.add_flag("--json", args->options.json, "A JSON object a line instead of text");
    sub.add_option("--window", args->options.windows.seconds,
                   "Seconds of audio each identification looks at (default 8)")
        ->check(CLI::Range(2.0, 60.0));
    sub.add_option("--speed-change", args->speed_change,
                   "Look for plays up to PCT percent fast or slow too (default 8; 0: at their own speed only)")
        ->check(CLI::Range(0.0, 15.0))
        ->type_name("PCT");
    sub.add_option("--hop", args->options.windows.hop, "Seconds between identifications (default 1)")
        ->check(CLI::Range(0.25, 30.0));
    return [args] {
        return run_catalogue_command([&] {
            if (!args->raw.empty())
                args->options.raw = parse_raw_format(args->raw);
            args->options.most_speed_change = args->speed_change / 100.0;
            if (args->options.db.empty() && args->options.service.empty())
                throw cli_error("monitor needs --db DB or --service URL");
            monitor_stream(args->options, std::cout, note_to_stderr);
            return std::cout ? exit_ok : exit_failure;
        });
    };
}

command_runner setup_serve(CLI::App& sub)
{
    auto options = std::make_shared<serve_options>();
    sub.add_option("--db", options->db, db_help)->required()->allow_extra_args(false)->type_name("DB");
    sub.add_option("--listen", options->listen,
                   "Address and port (default 127.0.0.1:8080; [ADDRESS]:PORT for IPv6; port 0: any free one)")
        ->check(CLI::Validator(
            [](std::string& text) {
                try {
                    parse_listen(text);
                    return std::string();
                } catch (const cli_error& e) {
                    return std::string(e.what());
                }
            },
            ""))
        ->type_name("HOST:PORT");
    sub.add_option("--threads", options->threads, "Requests matched at once (default 4)")
        ->check(CLI::Range(1, 256).description(""))
        ->type_name("N");
    sub.add_option("--io-threads", options->io_threads,
                   "Threads reading and writing the connections (default 1; 2 for many clients)")
        ->check(CLI::Range(1, 8).description(""))
        ->type_name("N");
    sub.add_option_function<double>(
           "--speed-change", [options](double pct) { options->most_speed_change = pct / 100.0; },
           "Look for recordings played up to PCT percent fast or slow too (default 0: at their own speed only; "
           "each 0.15 % costs about one more exact pass where nothing else matched)")
        ->check(CLI::Range(0.0, 15.0))
        ->type_name("PCT");
    sub.add_option("--max-sample-ms", options->max_sample_ms,
                   "Longest recording asked for before answering no match (default 12000)")
        ->check(CLI::Range(0, 600000).description(""))
        ->type_name("MS");
    sub.add_option("--request-timeout", options->request_timeout_s,
                   "Seconds a request's head and body may take in all before it gets a 408 (default 5)")
        ->check(CLI::Range(1, 3600).description(""))
        ->type_name("S");
    sub.add_option("--idle-timeout", options->idle_timeout_s,
                   "Seconds a kept-alive connection may wait for its next request (default 15)")
        ->check(CLI::Range(1, 3600).description(""))
        ->type_name("S");
    sub.add_option("--write-timeout", options->write_timeout_s,
                   "Seconds a client may take to read an answer (default 10)")
        ->check(CLI::Range(1, 3600).description(""))
        ->type_name("S");
    sub.add_option("--max-connections", options->max_connections,
                   "Connections open at once; beyond, a new one gets a 503 (default 1024; 0: as many as the limit on "
                   "open files allows)")
        ->check(CLI::Range(0, 1 << 30).description(""))
        ->type_name("N");
    sub.add_option("--max-connections-per-address", options->max_connections_per_address,
                   "Connections open at once from one client address (default 64; 0: no cap, e.g. behind a proxy)")
        ->check(CLI::Range(0, 1 << 30).description(""))
        ->type_name("N");
    sub.add_flag("--access-log", options->access_log, "One JSON line per request on standard error");
    sub.add_option("--access-log-file", options->access_log_file,
                   "One JSON line per request appended to FILE, opened anew on SIGHUP")
        ->type_name("FILE");
    sub.footer("POST /recognize {\"signature\": base64, \"samplems\": N} answers {\"matches\": [...]} or "
               "{\"retryms\": N}; GET /health, GET /ready, GET /metrics (Prometheus). Ends on SIGINT or SIGTERM "
               "after the requests in flight; SIGHUP reopens the access-log file. See docs/service.md.");
    return [options] {
        return run_catalogue_command([&] {
            // The service's own lines (where it listens, the access log) as
            // they are; its diagnostics as every other.
            serve(*options, print_error_line, note_to_stderr);
            return exit_ok;
        });
    };
}

}  // namespace vxt::cli
