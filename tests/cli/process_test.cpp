// The built vextune as a user runs it: exit codes, where the output goes,
// messages, memory on a long file, and golden dumps.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "cli_test_support.h"
#include "test_server.h"
#include "commands.h"

namespace vxt::cli::test {
namespace {

struct usage_case {
    const char* name;
    std::vector<std::string> args;
    const char* message;  // part of the first stderr line
    const char* usage;    // start of the second
};

class usage_error_test : public ::testing::TestWithParam<usage_case> {};

TEST_P(usage_error_test, exits_2_with_a_message_and_one_usage_line)
{
    const usage_case& c = GetParam();
    const run_result r = run_vextune(c.args);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, "");
    const auto lines = lines_of(r.err);
    ASSERT_EQ(lines.size(), 2u) << r.err;
    EXPECT_TRUE(lines[0].starts_with("vextune: ")) << lines[0];
    EXPECT_NE(lines[0].find(c.message), std::string::npos) << lines[0];
    EXPECT_TRUE(lines[1].starts_with(c.usage)) << lines[1];
}

const std::string audio = clip_path(clip_names[0]).string();

INSTANTIATE_TEST_SUITE_P(
    calls, usage_error_test,
    ::testing::Values(
        usage_case{"no_command", {}, "no command", "usage: vextune [--help]"},
        usage_case{"unknown_command", {"sign", audio}, "unknown command 'sign'", "usage: vextune [--help]"},
        usage_case{"unknown_option", {"--frobnicate"}, "frobnicate", "usage: vextune [--help]"},
        usage_case{"type_0", {"signature", "--type", "0", audio}, "--type", "usage: vextune signature"},
        usage_case{"type_5", {"signature", "--type", "5", audio}, "--type", "usage: vextune signature"},
        usage_case{"type_text", {"signature", "--type", "two", audio}, "--type", "usage: vextune signature"},
        usage_case{
            "flags_not_hex", {"signature", "--flags", "0x80g", audio}, "hexadecimal", "usage: vextune signature"},
        usage_case{
            "flags_too_wide", {"signature", "--flags", "100000000", audio}, "hexadecimal", "usage: vextune signature"},
        usage_case{
            "seconds_negative", {"signature", "--seconds", "-1", audio}, "--seconds", "usage: vextune signature"},
        usage_case{
            "seconds_infinite", {"signature", "--seconds", "inf", audio}, "--seconds", "usage: vextune signature"},
        usage_case{"no_audio", {"signature"}, "AUDIO", "usage: vextune signature"},
        usage_case{"two_audio", {"signature", audio, audio}, "", "usage: vextune signature"},
        usage_case{"verbosity_5", {"dump", "--verbosity", "5", "x.sig"}, "--verbosity", "usage: vextune dump"},
        // Without SIGNATURE, dump reads standard input (tested below).
        usage_case{"two_signatures", {"dump", "--json", "a.sig", "b.sig"}, "", "usage: vextune dump"},
        // Handed over to the tools, which answer the same way.
        usage_case{"listen_seconds_0", {"listen", "--seconds", "0"}, "--seconds", "usage: vextune listen"},
        // Not a number passed the old check, and the capture waited for ever.
        usage_case{"listen_seconds_nan", {"listen", "--seconds", "nan"}, "--seconds", "usage: vextune listen"},
        usage_case{"listen_seconds_inf", {"listen", "--seconds", "inf"}, "--seconds", "usage: vextune listen"},
        usage_case{"listen_seconds_negative", {"listen", "--seconds", "-3"}, "--seconds", "usage: vextune listen"},
        usage_case{
            "listen_seconds_too_long", {"listen", "--seconds", "3600.5"}, "at most 3600", "usage: vextune listen"},
        usage_case{"listen_seconds_text", {"listen", "--seconds", "12s"}, "--seconds", "usage: vextune listen"},
        usage_case{"devices_extra", {"devices", "x"}, "", "usage: vextune devices"},
        usage_case{"recognize_no_request", {"recognize"}, "--request", "usage: vextune recognize"},
        usage_case{"recognize_both_from_standard_input",
                   {"recognize", "--request", "-", "--input", "-"},
                   "only one of them",
                   "usage: vextune recognize"},
        usage_case{"catalogue_alone", {"catalogue"}, "", "usage: vextune catalogue"},
        usage_case{"catalogue_no_db", {"catalogue", "list"}, "--db", "usage: vextune catalogue"},
        usage_case{"match_no_audio", {"match", "--db", "x"}, "AUDIO", "usage: vextune match"},
        usage_case{"serve_threads_0", {"serve", "--db", "x", "--threads", "0"}, "--threads", "usage: vextune serve"},
        usage_case{"serve_listen_v6_unbracketed",
                   {"serve", "--db", "x", "--listen", "::1:8080"},
                   "[ADDRESS]:PORT",
                   "usage: vextune serve"},
        usage_case{"serve_listen_no_port",
                   {"serve", "--db", "x", "--listen", "[::1]"},
                   "not an address to listen on: [::1] (HOST:PORT, or [ADDRESS]:PORT",
                   "usage: vextune serve"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(process, version_and_help)
{
    const run_result version = run_vextune({"--version"});
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_EQ(version.out, std::string(engine_version()) + "\n");
    EXPECT_EQ(version.err, "");

    for (const auto& args : std::vector<std::vector<std::string>>{{"--help"},
                                                                  {"signature", "--help"},
                                                                  {"dump", "--help"},
                                                                  {"listen", "--help"},
                                                                  {"catalogue", "add", "--help"}}) {
        const run_result help = run_vextune(args);
        EXPECT_EQ(help.exit_code, 0);
        EXPECT_NE(help.out.find("Usage: vextune"), std::string::npos) << help.out;
        EXPECT_EQ(help.err, "");
    }
    // Why the default flags are what they are.
    EXPECT_NE(run_vextune({"signature", "--help"}).out.find("no wall-clock timestamp"), std::string::npos);
}

using process_test = scratch_test;

TEST_F(process_test, signature_goes_to_output_file_or_piped_stdout_identically)
{
    const run_result piped = run_vextune({"signature", audio});
    ASSERT_EQ(piped.exit_code, 0) << piped.err;
    EXPECT_EQ(piped.err, "");
    const run_result to_file = run_vextune({"signature", "--output", file("a.sig").string(), audio});
    ASSERT_EQ(to_file.exit_code, 0) << to_file.err;
    EXPECT_EQ(to_file.out, "");

    const auto bytes = read_bytes(file("a.sig"));
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), piped.out);
    EXPECT_EQ(bytes, sign_file(audio, {}, {}));

    // Options reach the engine.
    const run_result typed = run_vextune(
        {"signature", "--type", "4", "--flags", "0x1800", "--seconds", "3", "-o", file("b.sig").string(), audio});
    ASSERT_EQ(typed.exit_code, 0) << typed.err;
    signature_options options;
    options.type = 4;
    options.flags = 0x1800;
    options.seconds = 3;
    EXPECT_EQ(read_bytes(file("b.sig")), sign_file(audio, options, {}));
}

TEST_F(process_test, refuses_to_write_a_signature_to_a_terminal)
{
    run_options options;
    options.stdout_to_terminal = true;
    const run_result r = run_vextune({"signature", audio}, options);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_TRUE(r.err.starts_with("vextune: ")) << r.err;
    EXPECT_NE(r.err.find("terminal"), std::string::npos) << r.err;
    // With --output the terminal does not matter.
    EXPECT_EQ(run_vextune({"signature", "-o", file("t.sig").string(), audio}, options).exit_code, 0);
}

TEST_F(process_test, conversion_is_noted_on_stderr_only)
{
    pcm tone{22050, 1, std::vector<std::int16_t>(22050)};
    for (std::size_t i = 0; i < tone.samples.size(); ++i)
        tone.samples[i] = static_cast<std::int16_t>((i % 50) * 600 - 15000);
    write_wav(file("tone.wav"), tone);
    const run_result r = run_vextune({"signature", "-o", file("tone.sig").string(), file("tone.wav").string()});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "vextune: converting 22050 Hz to 32000 Hz\n");
    EXPECT_EQ(find_problem(read_bytes(file("tone.sig"))), "");
}

TEST_F(process_test, failures_exit_1_with_the_file_named)
{
    write_bytes(file("noise.wav"), std::vector<std::uint8_t>(4000, 0x5A));
    const struct {
        std::vector<std::string> args;
        std::string prefix;
    } cases[] = {
        {{"signature", file("missing.flac").string()}, "vextune: " + file("missing.flac").string() + ": "},
        {{"signature", file("noise.wav").string()}, "vextune: " + file("noise.wav").string() + ": "},
        {{"signature", "-o", file("no/such/dir.sig").string(), audio}, "vextune: " + file("no/such/dir.sig").string()},
        {{"dump", file("missing.sig").string()}, "vextune: " + file("missing.sig").string() + ": "},
    };
    for (const auto& c : cases) {
        const run_result r = run_vextune(c.args);
        EXPECT_EQ(r.exit_code, 1) << c.args.back();
        EXPECT_TRUE(r.err.starts_with(c.prefix)) << r.err;
        EXPECT_EQ(lines_of(r.err).size(), 1u) << r.err;
    }
    EXPECT_FALSE(fs::exists(file("no/such/dir.sig")));
}

// Little-endian word access for building malformed signatures.
void put32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

TEST_F(process_test, malformed_signatures_exit_1_after_printing_what_was_read)
{
    const auto good = sign_file(audio, {}, {});
    signature_options sample_info_options;
    sample_info_options.flags = 0x1800;
    const auto good_sample_info = sign_file(audio, sample_info_options, {});

    struct malformed {
        const char* name;
        std::vector<std::uint8_t> bytes;
        const char* message;
    };
    std::vector<malformed> cases;
    cases.push_back({"empty", {}, "too short"});
    cases.push_back({"text", std::vector<std::uint8_t>(64, 'a'), "not a signature"});
    cases.push_back({"truncated", std::vector<std::uint8_t>(good.begin(), good.begin() + 100), "envelope says"});
    auto flipped = good;
    flipped[200] ^= 1;
    cases.push_back({"checksum", flipped, "checksum mismatch"});
    auto huge = good;
    put32(huge, 32 + 24 + 8, 0xFFFFFFF0);  // the first chunk's length
    fix_checksum(huge);
    cases.push_back({"huge_length", huge, "claims 4294967280 bytes"});
    auto unknown = good;
    put32(unknown, 32 + 24 + 4, 0x12345678);
    fix_checksum(unknown);
    cases.push_back({"unknown_type", unknown, "unknown chunk type"});
    auto cookie = good;
    put32(cookie, 32 + 24 + 24, 0xDEADBEEE);
    fix_checksum(cookie);
    cases.push_back({"bad_cookie", cookie, "bad magic"});
    auto sized = good_sample_info;
    put32(sized, 8, 12);
    cases.push_back({"size_word", sized, "size word says 12"});

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path path = file(std::string(c.name) + ".sig");
        write_bytes(path, c.bytes);
        for (const bool json : {false, true}) {
            std::vector<std::string> args{"dump"};
            if (json)
                args.push_back("--json");
            args.push_back(path.string());
            const run_result r = run_vextune(args);
            EXPECT_EQ(r.exit_code, 1) << r.err;
            EXPECT_TRUE(r.err.starts_with("vextune: " + path.string() + ": ")) << r.err;
            EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
            EXPECT_EQ(lines_of(r.err).size(), 1u) << r.err;
            if (json) {
                EXPECT_FALSE(nlohmann::json::parse(r.out)["valid"].get<bool>());
            } else {
                EXPECT_EQ(r.out, dump_text(c.bytes, 4).text);
            }
        }
    }
}

TEST_F(process_test, dump_reads_standard_input)
{
    write_bytes(file("a.sig"), sign_file(audio, {}, {}));
    run_options options;
    options.stdin_file = file("a.sig");
    const run_result r = run_vextune({"dump", "-"}, options);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, run_vextune({"dump", file("a.sig").string()}).out);
    EXPECT_NE(r.out.find("(verified)"), std::string::npos);

    options.stdin_file = "/dev/null";
    const run_result empty = run_vextune({"dump", "-"}, options);
    EXPECT_EQ(empty.exit_code, 1);
    EXPECT_TRUE(empty.err.starts_with("vextune: standard input: ")) << empty.err;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
#else
constexpr bool sanitized = false;
#endif

TEST_F(process_test, a_ten_minute_file_is_streamed)
{
    if (sanitized)
        GTEST_SKIP() << "the address sanitizer's shadow memory swamps the measure";
    // Ten minutes at 8000 Hz is 9.6 MB of 16-bit samples: holding the file
    // would push the peak memory more than 8 MiB above an idle run's.
    const pcm clip = read_pcm(clip_path(clip_names[2]));
    const fs::path path = file("long.wav");
    {
        pcm long_audio{8000, 1, {}};
        long_audio.samples.reserve(8000 * 600);
        for (std::size_t i = 0; long_audio.samples.size() < 8000 * 600; i += 5)
            long_audio.samples.push_back(clip.samples[i % clip.samples.size()]);  // crude but loud
        write_wav(path, long_audio);
    }
    const run_result idle = run_vextune({"--version"});
    const run_result r = run_vextune({"signature", "--type", "4", "-o", file("long.sig").string(), path.string()});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_LT(r.max_rss_kib - idle.max_rss_kib, 8 * 1024) << "peak " << r.max_rss_kib << " KiB";
    EXPECT_EQ(find_problem(read_bytes(file("long.sig"))), "");
}

// A compact signature of one fat-peak chunk holding n records of varied
// values, built byte by byte.
std::vector<std::uint8_t> fat_peak_signature(std::size_t n)
{
    const std::size_t payload = 12 * n;
    const auto list = static_cast<std::uint32_t>(24 + 24 + payload);
    std::vector<std::uint8_t> bytes(32 + list, 0);
    const std::uint32_t envelope[] = {list, 0x789ABC05, 0xFFFFFFFF, 0x30000001, 16, list, list ^ 0x789ABC13, 0};
    for (std::size_t w = 0; w < 8; ++w)
        put32(bytes, 4 * w, envelope[w]);
    put32(bytes, 36, 0x40000000);
    put32(bytes, 40, list);
    put32(bytes, 60, 0x60021F40);
    put32(bytes, 64, static_cast<std::uint32_t>(payload));
    for (std::size_t i = 0; i < n; ++i) {
        const auto x = static_cast<std::uint32_t>(i * 2654435761u);
        put32(bytes, 80 + 12 * i, static_cast<std::uint32_t>(i));
        put32(bytes, 84 + 12 * i, x);
        put32(bytes, 88 + 12 * i, x >> 7);
    }
    fix_checksum(bytes);
    return bytes;
}

TEST_F(process_test, dumps_of_a_large_signature_are_streamed)
{
    if (sanitized)
        GTEST_SKIP() << "the address sanitizer's shadow memory swamps the measure";
    // 8 MiB of peaks print as about 170 MB of JSON and 25 MB of text; a
    // dump that held its output would need that much memory.
    const auto bytes = fat_peak_signature((8u << 20) / 12);
    write_bytes(file("large.sig"), bytes);
    ASSERT_EQ(find_problem(bytes), "");
    const run_result idle = run_vextune({"--version"});
    for (const std::vector<std::string>& args : {std::vector<std::string>{"dump", "--json", file("large.sig").string()},
                                                 std::vector<std::string>{"dump", file("large.sig").string()}}) {
        run_options to_file;
        to_file.stdout_file = file("large.out");
        const run_result r = run_vextune(args, to_file);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_GT(fs::file_size(file("large.out")), bytes.size()) << args[1];
        // The signature (read into a vector that may double), its decoded
        // peaks, and a little more.
        EXPECT_LT(r.max_rss_kib - idle.max_rss_kib, 4 * 8 * 1024) << args[1] << ": peak " << r.max_rss_kib << " KiB";
    }
}

// ---- listen ----

// A recording played as the microphone runs on simulated time: the same
// file gives the same bytes, and the signature covers the time asked for.
TEST_F(process_test, listen_signs_a_recording_through_the_capture)
{
    const std::string clip = clip_path(clip_names[0]).string();
    const run_result first = run_vextune({"listen", "--input", clip, "--seconds", "6", "-o", file("a.sig").string()});
    ASSERT_EQ(first.exit_code, 0) << first.err;
    EXPECT_NE(first.err.find("signed 6.0"), std::string::npos) << first.err;
    const run_result again = run_vextune({"listen", "--input", clip, "--seconds", "6", "-o", file("b.sig").string()});
    ASSERT_EQ(again.exit_code, 0) << again.err;
    const auto bytes = read_bytes(file("a.sig"));
    EXPECT_EQ(bytes, read_bytes(file("b.sig")));
    const auto doc = dump_json(bytes, 3);
    ASSERT_TRUE(doc["valid"].get<bool>());
    // The pre-roll replay and 20 ms packets: a little over 6 s, plus the
    // 0.24 s the engine adds.
    const auto seconds = doc["chunks"][0]["content"]["sample_length"].get<double>() / 8000.0;
    EXPECT_GT(seconds, 6.2);
    EXPECT_LT(seconds, 6.4);

    // Asked for more than the recording holds, it signs all of it.
    const run_result all = run_vextune({"listen", "--input", clip, "--seconds", "100", "-o", file("c.sig").string()});
    ASSERT_EQ(all.exit_code, 0) << all.err;
    EXPECT_NE(all.err.find("signing all of it"), std::string::npos) << all.err;

    // The device's own reason comes first, then the command's failure.
    const run_result missing =
        run_vextune({"listen", "--input", file("none.wav").string(), "-o", file("d.sig").string()});
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_FALSE(fs::exists(file("d.sig")));
    const auto said = lines_of(missing.err);
    ASSERT_EQ(said.size(), 2u) << missing.err;
    EXPECT_TRUE(said[0].starts_with("vextune: libsndfile: ")) << said[0];
    EXPECT_TRUE(said[0].ends_with("(E_DEVICE_NOT_FOUND)")) << said[0];
    EXPECT_TRUE(said[1].starts_with("vextune: " + file("none.wav").string() + ": ")) << said[1];
}

// Each run that used to hang is given a minute, far more than it needs.
run_options within_a_minute()
{
    run_options options;
    options.wrapper = {"timeout", "60"};
    return options;
}

// A recording that cannot be decoded to the time asked for: the decoder's
// error ends the stream, and no signature is made. The capture used to
// wait for ever for the sample time to pass.
TEST_F(process_test, listen_fails_on_a_recording_it_cannot_decode)
{
    const std::string clip = clip_path(clip_names[0]).string();
    const auto bytes = read_bytes(clip);
    write_bytes(file("cut.flac"), std::span(bytes).first(200000));
    const run_result broken =
        run_vextune({"listen", "--input", file("cut.flac").string(), "-o", file("a.sig").string()}, within_a_minute());
    EXPECT_EQ(broken.exit_code, 1) << broken.err;
    EXPECT_FALSE(fs::exists(file("a.sig")));
    const auto said = lines_of(broken.err);
    ASSERT_FALSE(said.empty());
    EXPECT_TRUE(said.front().starts_with("vextune: libsndfile: ")) << broken.err;  // the decoder's reason
    EXPECT_TRUE(
        said.back().starts_with("vextune: " + file("cut.flac").string() + ": the recording cannot be decoded past "))
        << said.back();

    // What lies before the damage signs as ever.
    const run_result before =
        run_vextune({"listen", "--input", file("cut.flac").string(), "--seconds", "2", "-o", file("b.sig").string()},
                    within_a_minute());
    EXPECT_EQ(before.exit_code, 0) << before.err;
    EXPECT_TRUE(dump_json(read_bytes(file("b.sig")), 3)["valid"].get<bool>());
}

// Writes a file into a FIFO from a thread of its own; once the reader is
// done, whatever the writer has left is drained, so the thread always ends.
class fifo_writer {
public:
    fifo_writer(const fs::path& fifo, std::vector<std::uint8_t> bytes) : fifo_(fifo)
    {
        if (::mkfifo(fifo.c_str(), 0600) != 0)
            throw std::runtime_error("mkfifo failed");
        writer_ = std::thread([this, bytes = std::move(bytes)] {
            // A reader that closes early makes the write fail, not the test.
            sigset_t pipe_signal;
            sigemptyset(&pipe_signal);
            sigaddset(&pipe_signal, SIGPIPE);
            pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
            const int fd = ::open(fifo_.c_str(), O_WRONLY | O_CLOEXEC);
            for (std::size_t done = 0; fd >= 0 && done < bytes.size();) {
                const ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
                if (put <= 0)
                    break;
                done += static_cast<std::size_t>(put);
            }
            if (fd >= 0)
                ::close(fd);
            finished_ = true;
        });
    }
    ~fifo_writer()
    {
        // A reader that never came, or stopped early: take its place.
        const int fd = ::open(fifo_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        std::vector<char> sink(1 << 16);
        while (!finished_)
            if (fd < 0 || ::read(fd, sink.data(), sink.size()) <= 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        writer_.join();
        if (fd >= 0)
            ::close(fd);
    }

private:
    fs::path fifo_;
    std::atomic<bool> finished_{false};
    std::thread writer_;
};

// A FIFO, standard input through a pipe and a file give the same
// signature: a stream is copied to its end first. Opening a FIFO twice
// used to wait for a second writer.
TEST_F(process_test, listen_takes_a_stream_as_the_file_it_holds)
{
    const std::string clip = clip_path(clip_names[0]).string();
    ASSERT_EQ(run_vextune({"listen", "--input", clip, "--seconds", "4", "-o", file("file.sig").string()}).exit_code, 0);
    const auto expected = read_bytes(file("file.sig"));
    {
        fifo_writer writer(file("fifo"), read_bytes(clip));
        const run_result fifo =
            run_vextune({"listen", "--input", file("fifo").string(), "--seconds", "4", "-o", file("fifo.sig").string()},
                        within_a_minute());
        ASSERT_EQ(fifo.exit_code, 0) << fifo.err;
        EXPECT_EQ(read_bytes(file("fifo.sig")), expected);
    }
    run_options piped = within_a_minute();
    piped.stdin_file = clip;
    piped.stdin_through_pipe = true;
    const run_result standard_input =
        run_vextune({"listen", "--input", "-", "--seconds", "4", "-o", file("stdin.sig").string()}, piped);
    ASSERT_EQ(standard_input.exit_code, 0) << standard_input.err;
    EXPECT_EQ(read_bytes(file("stdin.sig")), expected);

    // What is not audio is named as the user gave it.
    run_options empty = within_a_minute();
    empty.stdin_file = "/dev/null";
    empty.stdin_through_pipe = true;
    const run_result nothing = run_vextune({"listen", "--input", "-", "-o", file("none.sig").string()}, empty);
    EXPECT_EQ(nothing.exit_code, 1);
    EXPECT_EQ(nothing.err.find("/proc/self/fd"), std::string::npos) << nothing.err;
    EXPECT_NE(nothing.err.find("standard input"), std::string::npos) << nothing.err;
}

// ---- recognize ----

std::string RecognizeRequest(const std::string& href, int max_ms)
{
    return R"({"tag": {"href": ")" + href + R"(", "maxsamplems": )" + std::to_string(max_ms) +
           R"(, "minsamplems": 3000}, "tagid": "cli", "data": {"sig": "{sigdata}", "ms": "{samplems}"}})";
}

// A recording through the whole path: capture, signatures, the service on
// 127.0.0.1, the result document on standard output.
TEST_F(process_test, recognize_a_recording_against_a_local_service)
{
    VextuneTest::TestHttpServer service;
    int requests = 0;
    service.Handle("/id", [&](const VextuneTest::ReceivedRequest&) {
        ++requests;
        return VextuneTest::Reply{
            200, requests == 1 ? R"({"retryms": 9000})" : R"({"id": "rock"})", "application/json", {}};
    });
    write_bytes(file("request.json"), as_bytes(RecognizeRequest(service.Uri("/id"), 12000)));
    const std::string clip = clip_path(clip_names[0]).string();
    const run_result r = run_vextune({"recognize", "--request", file("request.json").string(), "--input", clip});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const auto result = nlohmann::json::parse(r.out);
    EXPECT_EQ(result["tag"]["response"]["id"], "rock");
    // The second signature comes with the first 20 ms packet past the 9 s
    // asked for once its wait is armed. On simulated time the recording
    // plays on while the first answer travels, so how far past depends on
    // the machine: 9020 when the wait is armed in time, a few packets more
    // on a loaded one, and on a busy one the recording may have played past
    // the maximum, to its end (15 s), before the wait is armed (a signature
    // is only made for a wait); never before 9 s.
    const auto sample_ms = result["tag"]["info"]["samplelength"].get<std::int64_t>();
    EXPECT_GE(sample_ms, 9020);
    EXPECT_LE(sample_ms, 15000);
    EXPECT_EQ(service.Requests().size(), 2u);

    // Unreachable: the request to submit later on standard output, and why
    // on standard error, one line per attempt (one: the sample is already
    // as long as asked for).
    VextuneTest::RefusingPort refusing;
    write_bytes(file("refused.json"), as_bytes(RecognizeRequest(refusing.Uri("/x"), 3000)));
    const run_result p = run_vextune({"recognize", "--request", file("refused.json").string(), "--input", clip});
    ASSERT_EQ(p.exit_code, 0) << p.err;
    ASSERT_TRUE(p.out.ends_with("}\n")) << p.out;
    EXPECT_EQ(lines_of(p.out).size(), 1u) << p.out;
    const auto pending = nlohmann::json::parse(p.out);
    ASSERT_TRUE(pending.contains("pendingTag")) << p.out;
    EXPECT_EQ(pending["pendingTag"]["info"]["unsubmitted"], true);
    EXPECT_EQ(pending["pendingTag"]["request"]["href"], refusing.Uri("/x"));
    EXPECT_NE(p.out.find("\"unsubmitted\":true"), std::string::npos) << p.out;
    const auto why = lines_of(p.err);
    ASSERT_EQ(why.size(), 1u) << p.err;
    EXPECT_TRUE(why[0].starts_with("vextune: attempt 1: POST " + refusing.Uri("/x") + ": ")) << why[0];
    EXPECT_NE(why[0].find("Couldn't connect to server"), std::string::npos) << why[0];

    // Asked for more than the recording holds: its end gives the last answer.
    service.Handle("/long", [](const VextuneTest::ReceivedRequest&) {
        return VextuneTest::Reply{200, R"({"retryms": 50000, "best": 1})", "application/json", {}};
    });
    write_bytes(file("long.json"), as_bytes(RecognizeRequest(service.Uri("/long"), 60000)));
    const run_result l = run_vextune({"recognize", "--request", file("long.json").string(), "--input", clip});
    ASSERT_EQ(l.exit_code, 0) << l.err;
    EXPECT_EQ(nlohmann::json::parse(l.out)["tag"]["response"]["best"], 1);

    write_bytes(file("bad.json"), as_bytes("{\"tag\": 1}"));
    EXPECT_EQ(run_vextune({"recognize", "--request", file("bad.json").string(), "--input", clip}).exit_code, 1);
}

// A request description nested 70 000 deep crashed the command; the
// service's deep answer did too. Both fail cleanly now: the description
// as the command's failure, the answer as a failed attempt.
TEST_F(process_test, recognize_refuses_deep_json_cleanly)
{
    const std::string clip = clip_path(clip_names[0]).string();
    const std::string deep = std::string(70000, '[') + std::string(70000, ']');
    VextuneTest::TestHttpServer service;
    service.AnswerJson("/deep", "{\"a\": " + deep + "}");
    const std::string request = RecognizeRequest(service.Uri("/deep"), 3000);
    write_bytes(file("deep-request.json"), as_bytes(request.substr(0, request.size() - 2) + ", \"x\": " + deep + "}}"));
    const run_result refused =
        run_vextune({"recognize", "--request", file("deep-request.json").string(), "--input", clip});
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err, "vextune: recognize: the request nests arrays and objects more than 64 deep\n");

    write_bytes(file("request.json"), as_bytes(request));
    const run_result answered = run_vextune({"recognize", "--request", file("request.json").string(), "--input", clip});
    ASSERT_EQ(answered.exit_code, 0) << answered.err;
    EXPECT_TRUE(nlohmann::json::parse(answered.out).contains("pendingTag")) << answered.out;
    EXPECT_NE(answered.err.find("the answer (HTTP 200) nests arrays and objects more than 64 deep"), std::string::npos)
        << answered.err;
}

// A recording through a FIFO is recognized like the file it carries.
TEST_F(process_test, recognize_takes_a_recording_through_a_fifo)
{
    VextuneTest::TestHttpServer service;
    service.AnswerJson("/id", R"({"id": "rock"})");
    write_bytes(file("request.json"), as_bytes(RecognizeRequest(service.Uri("/id"), 12000)));
    fifo_writer writer(file("fifo"), read_bytes(clip_path(clip_names[0])));
    const run_result r = run_vextune(
        {"recognize", "--request", file("request.json").string(), "--input", file("fifo").string()}, within_a_minute());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(nlohmann::json::parse(r.out)["tag"]["response"]["id"], "rock");
}

// ---- golden dumps ----

struct golden_case {
    const char* name;  // the file under tests/data/cli
    std::vector<std::string> signature_args;
    std::vector<std::string> dump_args;
};

class golden_test : public scratch_test, public ::testing::WithParamInterface<golden_case> {};

// Compares the dump of a committed clip's signature with its golden file.
// Run with VXT_BLESS=1 to rewrite the golden files instead, then review the
// diff.
TEST_P(golden_test, dump_matches)
{
    // The sig_sample_info dump prints its time in the local zone; the
    // signatures carry time 0, which must read as 1970-01-01 00:00:00.
    setenv("TZ", "UTC", 1);
    const golden_case& c = GetParam();
    auto signature_args = c.signature_args;
    signature_args.insert(signature_args.begin(), "signature");
    signature_args.push_back("-o");
    signature_args.push_back(file("clip.sig").string());
    signature_args.push_back(clip_path(clip_names[0]).string());
    const run_result sign = run_vextune(signature_args);
    ASSERT_EQ(sign.exit_code, 0) << sign.err;

    auto dump_args = c.dump_args;
    dump_args.insert(dump_args.begin(), "dump");
    dump_args.push_back(file("clip.sig").string());
    const run_result dump = run_vextune(dump_args);
    ASSERT_EQ(dump.exit_code, 0) << dump.err;
    EXPECT_EQ(dump.err, "");

    const fs::path golden = data_dir / "cli" / c.name;
    const char* bless = std::getenv("VXT_BLESS");
    if (bless && std::string(bless) == "1") {
        std::ofstream(golden, std::ios::binary) << dump.out;
        std::cout << "rewrote " << golden << '\n';
        return;
    }
    ASSERT_TRUE(fs::exists(golden)) << golden << " is missing; run with VXT_BLESS=1 to create it";
    EXPECT_EQ(dump.out, read_text(golden)) << "dump differs from " << golden;
}

INSTANTIATE_TEST_SUITE_P(
    clips, golden_test,
    ::testing::Values(golden_case{"rock-type2-compact.txt", {}, {}},
                      golden_case{"rock-type1-sample-info-v3.txt", {"--type", "1", "--flags", "1800"}, {"-v", "3"}},
                      golden_case{"rock-type4-captures-v3.json",
                                  {"--type", "4", "--flags", "31800"},
                                  {"--json", "--verbosity", "3"}}),
    [](const auto& info) {
        std::string name = info.param.name;
        for (char& ch : name)
            if (!std::isalnum(static_cast<unsigned char>(ch)))
                ch = '_';
        return name;
    });

}  // namespace
}  // namespace vxt::cli::test
