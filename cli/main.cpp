// vextune: makes signatures of audio files and prints signatures as text.
//
// Results go to standard output and diagnostics to standard error, prefixed
// "vextune: ". Exit status: 0 success, 1 failure, 2 wrong usage.
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include "catalogue.h"
#include "commands.h"
#include "listen.h"
#include "recognize.h"
#include "vextune/dump.h"
#include "vextune/signature.h"

namespace vxt::cli {
namespace {

constexpr int exit_ok = 0;
constexpr int exit_failure = 1;
constexpr int exit_usage = 2;

constexpr const char* program_usage =
    "usage: vextune [--help] [--version] {signature|dump|listen|devices|recognize|catalogue|match|serve} ...";
constexpr const char* catalogue_usage =
    "usage: vextune catalogue {add --db DB AUDIO... | list --db DB | remove --db DB ID | stats --db DB}";
constexpr const char* match_usage = "usage: vextune match --db DB AUDIO...";
constexpr const char* serve_usage =
    "usage: vextune serve --db DB [--listen HOST:PORT] [--threads N] [--max-sample-ms MS] [--access-log]";
constexpr const char* db_help =
    "The catalogue: a folder (LMDB, made by catalogue add) or a postgresql:// URI";
constexpr const char* recognize_usage =
    "usage: vextune recognize --request FILE [--device NAME | --input AUDIO] [--realtime]";
constexpr const char* listen_usage =
    "usage: vextune listen [--device NAME | --input AUDIO] [--seconds S] [--output FILE]";
constexpr const char* signature_usage =
    "usage: vextune signature [--type 1-4] [--flags HEX] [--seconds S] [--mix] [--output FILE] AUDIO";
constexpr const char* dump_usage = "usage: vextune dump [--verbosity 0-4] [--json] [SIGNATURE]";

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

void diagnose(const std::string& text)
{
    std::cout.flush();
    std::fflush(stdout);
    std::cerr << "vextune: " << text << '\n';
}

std::string display_name(const std::string& path)
{
    return path == "-" ? "standard input" : path;
}

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

// Writes everything to the stream; false on any error.
bool write_all(std::FILE* stream, const std::vector<std::uint8_t>& bytes)
{
    const std::size_t written = bytes.empty() ? 0 : std::fwrite(bytes.data(), 1, bytes.size(), stream);
    return written == bytes.size() && std::fflush(stream) == 0 && !std::ferror(stream);
}

// Writes everything to the descriptor; false, with errno set, on any error.
bool write_all(int fd, const std::vector<std::uint8_t>& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        done += static_cast<std::size_t>(put);
    }
    return true;
}

std::string errno_text(int error) { return std::strerror(error); }

// What path names once every symbolic link on its last component is followed;
// a path that does not exist (yet) stands for itself.
std::string follow_links(std::string path)
{
    for (int hops = 0; hops < 40; ++hops) {
        struct stat status{};
        if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode))
            return path;
        std::string link(4096, '\0');
        const ssize_t length = ::readlink(path.c_str(), link.data(), link.size());
        if (length < 0 || static_cast<std::size_t>(length) >= link.size())
            return path;  // the open or the rename reports the problem
        link.resize(static_cast<std::size_t>(length));
        if (link.front() != '/') {
            const auto slash = path.rfind('/');
            link = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + link;
        }
        path = std::move(link);
    }
    throw cli_error(errno_text(ELOOP));
}

// Writes the signature to path without ever losing what was there: a
// regular file (new or old) is written as a temporary file beside it, created
// exclusively, and renamed over it only once complete, so a failed write
// leaves the old file as it was and removes only the temporary file. A
// symbolic link is followed, and the file it names replaced, so the link
// stays. Anything else that exists (a character device, a FIFO, a socket) is
// written straight into and never removed or replaced. Throws cli_error.
void write_output(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    const std::string target = follow_links(path);
    struct stat status{};
    const bool exists = ::stat(target.c_str(), &status) == 0;
    if (!exists && errno != ENOENT)
        throw cli_error(errno_text(errno));
    if (exists && S_ISDIR(status.st_mode))
        throw cli_error(errno_text(EISDIR));

    if (exists && !S_ISREG(status.st_mode)) {
        const int fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            throw cli_error(errno_text(errno));
        const bool written = write_all(fd, bytes);
        const int write_error = errno;
        if (::close(fd) != 0 && written)
            throw cli_error(errno_text(errno));
        if (!written)
            throw cli_error(errno_text(write_error));
        return;
    }

    // The rename would replace a file its owner made read-only; refuse as
    // writing into it would.
    if (exists && ::access(target.c_str(), W_OK) != 0)
        throw cli_error(errno_text(errno));
    const auto slash = target.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    std::string temporary = target + ".vextune-XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        throw cli_error("cannot create a temporary file in " + directory + ": " + errno_text(errno));

    // The new file gets the old one's permissions, or those a plain create
    // would give.
    mode_t mode = 0;
    if (exists) {
        mode = status.st_mode & 07777;
        if (::fchown(fd, status.st_uid, status.st_gid) != 0) {
            // Only the owner's group or root may keep them; the rest is ours.
        }
    } else {
        mode = ::umask(0);
        ::umask(mode);
        mode = 0666 & ~mode;
    }
    const bool written = ::fchmod(fd, mode) == 0 && write_all(fd, bytes) && ::fsync(fd) == 0;
    const int write_error = errno;
    const bool closed = ::close(fd) == 0;
    const int close_error = errno;
    if (!written || !closed) {
        ::unlink(temporary.c_str());
        throw cli_error(errno_text(written ? close_error : write_error));
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        const int rename_error = errno;
        ::unlink(temporary.c_str());
        throw cli_error(errno_text(rename_error));
    }
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
    const bool to_stdout = args.output.empty() || args.output == "-";
    if (to_stdout && ::isatty(STDOUT_FILENO)) {
        diagnose("standard output is a terminal; give --output FILE or redirect the signature");
        std::cerr << signature_usage << '\n';
        return exit_usage;
    }
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

    if (to_stdout) {
        if (!write_all(stdout, bytes)) {
            diagnose(std::string("standard output: ") + std::strerror(errno));
            return exit_failure;
        }
        return exit_ok;
    }
    try {
        write_output(args.output, bytes);
    } catch (const cli_error& e) {
        diagnose(args.output + ": " + e.what());
        return exit_failure;
    }
    return exit_ok;
}

struct listen_args {
    listen_options options;
    std::string output;
};

int run_listen(const listen_args& args)
{
    const bool to_stdout = args.output.empty() || args.output == "-";
    if (to_stdout && ::isatty(STDOUT_FILENO)) {
        diagnose("standard output is a terminal; give --output FILE or redirect the signature");
        std::cerr << listen_usage << '\n';
        return exit_usage;
    }
    std::vector<std::uint8_t> bytes;
    try {
        bytes = listen(args.options, [](const std::string& note) { diagnose(note); });
    } catch (const cli_error& e) {
        diagnose((args.options.input.empty() ? std::string("capture") : args.options.input) + ": " + e.what());
        return exit_failure;
    }
    try {
        if (to_stdout) {
            if (!write_all(stdout, bytes))
                throw cli_error(std::strerror(errno));
        } else {
            write_output(args.output, bytes);
        }
    } catch (const cli_error& e) {
        diagnose((to_stdout ? std::string("standard output") : args.output) + ": " + e.what());
        return exit_failure;
    }
    return exit_ok;
}

int run_devices()
{
    try {
        for (const std::string& line : list_devices())
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
    try {
        const auto bytes = read_signature_file(args.request_file);  // any small file; "-" is standard input
        args.options.request.assign(bytes.begin(), bytes.end());
    } catch (const cli_error& e) {
        diagnose(display_name(args.request_file) + ": " + e.what());
        return exit_failure;
    }
    std::string result;
    try {
        result = recognize(args.options, [](const std::string& note) { diagnose(note); });
    } catch (const cli_error& e) {
        diagnose(std::string("recognize: ") + e.what());
        return exit_failure;
    }
    std::cout << result << '\n';
    std::cout.flush();
    return std::cout ? exit_ok : exit_failure;
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

struct catalogue_args {
    catalogue_add_options add;
    std::uint32_t id = 0;
};

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

int run(int argc, char** argv)
{
    CLI::App app{"Makes audio signatures of audio files and prints signatures as text.", "vextune"};
    app.set_version_flag("--version", std::string(engine_version()), "Print the engine version and exit");
    app.require_subcommand(1);
    app.footer("Run 'vextune COMMAND --help' for the options of a command.");

    signature_args sig;
    CLI::App* signature = app.add_subcommand("signature", "Make the signature of an audio file");
    signature->add_option("--type", sig.options.type, "Signature type, 1 to 4 (default 2)")
        ->check(CLI::Range(1, 4).description(""))
        ->type_name("N");
    signature->add_option("--flags", sig.flags_text, "Engine flags in hexadecimal (default 800, see below)")
        ->check(CLI::Validator(
            [](std::string& text) {
                EngineFlags value = 0;
                return parse_hex(text, value) ? std::string{} : "not a 32-bit hexadecimal number: " + text;
            },
            ""))
        ->type_name("HEX");
    signature->add_option("--seconds", sig.options.seconds,
                          "Cover at most about this much of the most recent audio (default 0: everything "
                          "the engine keeps)")
        ->check(CLI::Validator(
            [](std::string& text) {
                double value = 0.0;
                const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
                const bool ok = error == std::errc{} && end == text.data() + text.size() && std::isfinite(value) &&
                                value >= 0.0;
                return ok ? std::string{} : "not a number of seconds: " + text;
            },
            ""))
        ->type_name("S");
    signature->add_flag("--mix", sig.mix, "Average all channels instead of taking channel 0");
    signature->add_option("-o,--output", sig.output, "Write the signature to FILE (- for standard output, the default)")
        ->type_name("FILE");
    signature->add_option("AUDIO", sig.audio, "Audio file (any format libsndfile reads), or - for standard input")
        ->required()
        ->type_name("");
    signature->footer(flags_help);

    dump_args dmp;
    CLI::App* dump = app.add_subcommand("dump", "Print a signature as text");
    dump->add_option("-v,--verbosity", dmp.verbosity,
                     "0 nothing, 1 errors, 2 the sig_sample_info record, 3 the fp_search_info record, "
                     "4 every peak (default)")
        ->check(CLI::Range(0, max_dump_verbosity).description(""))
        ->type_name("N");
    dump->add_flag("--json", dmp.json, "Print a JSON document instead (peak lists only at verbosity 4)");
    dump->add_option("SIGNATURE", dmp.signature, "Signature file, or - for standard input (the default)")
        ->default_val("-")
        ->type_name("");
    dump->footer("Exit status 1 when the signature is malformed, after printing what could be read.");

    listen_args lst;
    CLI::App* listen_command =
        app.add_subcommand("listen", "Capture from a microphone (or a recording) and write the signature made");
    auto* device_option =
        listen_command->add_option("--device", lst.options.device, "Capture source by name (default: the default one)")
            ->type_name("NAME");
    listen_command
        ->add_option("--input", lst.options.input,
                     "Play this audio file as the microphone, on simulated time (as fast as it goes)")
        ->type_name("AUDIO")
        ->excludes(device_option);
    listen_command->add_option("--seconds", lst.options.seconds, "Sample time to sign (default 12, at most the recording)")
        ->check(CLI::PositiveNumber.description(""))
        ->type_name("S");
    listen_command->add_option("-o,--output", lst.output, "Write the signature to FILE (- for standard output, the default)")
        ->type_name("FILE");
    listen_command->footer("The capture runs its whole path: device, 16-bit mono at the device's rate, three-second "
                           "pre-roll, engine, signature schedule. Diagnostics go to standard error.");

    CLI::App* devices_command = app.add_subcommand("devices", "List the capture sources");

    recognize_args rec;
    CLI::App* recognize_command = app.add_subcommand(
        "recognize", "Recognize what a microphone (or a recording) hears, through the service a request names");
    recognize_command->add_option("--request", rec.request_file, "The request description (JSON), or - for standard input")
        ->required()
        ->type_name("FILE");
    auto* recognize_device =
        recognize_command->add_option("--device", rec.options.device, "Capture source by name (default: the default one)")
            ->type_name("NAME");
    auto* recognize_input =
        recognize_command
            ->add_option("--input", rec.options.input, "Play this audio file as the microphone (simulated time, fast)")
            ->type_name("AUDIO")
            ->excludes(recognize_device);
    recognize_command->add_flag("--realtime", rec.options.realtime, "Play the --input recording at its own pace")
        ->needs(recognize_input);
    recognize_command->footer("Prints the result document: {\"tag\": {\"response\", \"info\"}} with the service's "
                              "answer, or {\"pendingTag\": {\"request\", \"info\"}} to submit later when the "
                              "service could not be reached. See README.");

    catalogue_args cat;
    CLI::App* catalogue_command = app.add_subcommand("catalogue", "Build and inspect the catalogue of known music");
    catalogue_command->require_subcommand(1);
    CLI::App* cat_add = catalogue_command->add_subcommand("add", "Add audio files (again: added once)");
    CLI::App* cat_list = catalogue_command->add_subcommand("list", "List the tracks: id, title, artist, seconds, file");
    CLI::App* cat_remove = catalogue_command->add_subcommand("remove", "Remove a track and its index entries");
    CLI::App* cat_stats = catalogue_command->add_subcommand("stats", "Print the catalogue's size as JSON");
    for (CLI::App* sub : {cat_add, cat_list, cat_remove, cat_stats})
        sub->add_option("--db", cat.add.db, db_help)->required()->type_name("DB");
    cat_add->add_option("AUDIO", cat.add.files, "Audio files (any format libsndfile reads)")->required()->type_name("");
    cat_remove->add_option("ID", cat.id, "The track's id (see list)")->required()->type_name("");

    std::string match_db;
    std::vector<std::string> match_files_list;
    CLI::App* match_command =
        app.add_subcommand("match", "Recognize recordings offline against the catalogue, a JSON line each");
    match_command->add_option("--db", match_db, db_help)->required()->type_name("DB");
    match_command->add_option("AUDIO", match_files_list, "Recordings")->required()->type_name("");

    serve_options srv;
    CLI::App* serve_command = app.add_subcommand("serve", "Answer recognition requests over HTTP");
    serve_command->add_option("--db", srv.db, db_help)->required()->type_name("DB");
    serve_command->add_option("--listen", srv.listen, "Address and port (default 127.0.0.1:8080; port 0: any free one)")
        ->type_name("HOST:PORT");
    serve_command->add_option("--threads", srv.threads, "Requests served at once (default 4)")
        ->check(CLI::Range(1, 256).description(""))
        ->type_name("N");
    serve_command->add_option("--max-sample-ms", srv.max_sample_ms,
                              "Longest recording asked for before answering no match (default 12000)")
        ->check(CLI::Range(0, 600000).description(""))
        ->type_name("MS");
    serve_command->add_flag("--access-log", srv.access_log, "One line per request on standard error");
    serve_command->footer("POST /recognize {\"signature\": base64, \"samplems\": N} answers {\"matches\": [...]} "
                          "or {\"retryms\": N}; GET /health. Ends on SIGINT or SIGTERM. See README.");

    // Caught here, CLI11 would only say that a command is required.
    if (argc < 2) {
        diagnose("no command given");
        std::cerr << program_usage << '\n';
        return exit_usage;
    }
    if (const std::string first = argv[1];
        !first.starts_with('-') && first != "signature" && first != "dump" && first != "listen" && first != "devices" &&
        first != "recognize" && first != "catalogue" && first != "match" && first != "serve") {
        diagnose("unknown command '" + first + "'");
        std::cerr << program_usage << '\n';
        return exit_usage;
    } else if (first.starts_with('-') && first != "-h" && first != "--help" && first != "--version") {
        diagnose("unknown option '" + first + "'");
        std::cerr << program_usage << '\n';
        return exit_usage;
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);  // --help or --version
    } catch (const CLI::ParseError& e) {
        const auto parsed = app.get_subcommands();
        const char* usage = program_usage;
        if (!parsed.empty())
            usage = parsed.front() == signature        ? signature_usage
                    : parsed.front() == listen_command ? listen_usage
                    : parsed.front() == devices_command ? "usage: vextune devices"
                    : parsed.front() == recognize_command ? recognize_usage
                    : parsed.front() == catalogue_command ? catalogue_usage
                    : parsed.front() == match_command     ? match_usage
                    : parsed.front() == serve_command     ? serve_usage
                                                        : dump_usage;
        diagnose(e.what());
        std::cerr << usage << '\n';
        return exit_usage;
    }

    if (signature->parsed())
        return run_signature(sig);
    if (listen_command->parsed())
        return run_listen(lst);
    if (devices_command->parsed())
        return run_devices();
    if (recognize_command->parsed())
        return run_recognize(rec);
    const note_sink note = [](const std::string& text) { diagnose(text); };
    if (cat_add->parsed())
        return run_catalogue_command([&] {
            cat.add.progress = ::isatty(STDERR_FILENO) != 0;
            return catalogue_add(cat.add, std::cout, note) == 0 ? exit_ok : exit_failure;
        });
    if (cat_list->parsed())
        return run_catalogue_command([&] { catalogue_list(cat.add.db, std::cout); return exit_ok; });
    if (cat_stats->parsed())
        return run_catalogue_command([&] { catalogue_stats(cat.add.db, std::cout); return exit_ok; });
    if (cat_remove->parsed())
        return run_catalogue_command([&] {
            if (catalogue_remove(cat.add.db, cat.id))
                return exit_ok;
            diagnose("no track " + std::to_string(cat.id) + " in " + cat.add.db);
            return exit_failure;
        });
    if (match_command->parsed())
        return run_catalogue_command(
            [&] { return match_files(match_db, match_files_list, std::cout, note) == 0 ? exit_ok : exit_failure; });
    if (serve_command->parsed())
        return run_catalogue_command([&] {
            // The service's own lines (where it listens, the access log) as they are.
            serve(srv, [](const std::string& line) { std::cerr << line << std::endl; });
            return exit_ok;
        });
    return run_dump(dmp);
}

}  // namespace
}  // namespace vxt::cli

int main(int argc, char** argv)
{
    try {
        return vxt::cli::run(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "vextune: " << e.what() << '\n';
        return 1;
    }
}
