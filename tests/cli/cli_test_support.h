// Helpers shared by the command-line tests: audio files written and read
// with libsndfile, engines fed directly, the built vextune run as a child
// process, and a scratch directory per test.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "vextune/vextuneAPI.h"

namespace vxt::cli::test {

namespace fs = std::filesystem;

inline const fs::path data_dir{VXT_TEST_DATA_DIR};
inline const fs::path vextune_path{VXT_VEXTUNE_PATH};
inline const fs::path vextune_tools_path{VXT_VEXTUNE_TOOLS_PATH};

inline const char* const clip_names[] = {
    "rock-sectoid-metal-madness.flac",
    "ambient-singularity-through-space.flac",
    "electronic-torustrooper-tt1.flac",
};

inline fs::path clip_path(const std::string& name)
{
    return data_dir / "audio" / name;
}

struct pcm {
    std::int32_t rate = 0;
    int channels = 0;
    std::vector<std::int16_t> samples;  // interleaved

    std::size_t frames() const { return channels ? samples.size() / static_cast<std::size_t>(channels) : 0; }
    std::vector<std::int16_t> channel(int index) const;
};

// The whole file through sf_readf_short; fails the test on error.
pcm read_pcm(const fs::path& path);
// A 16-bit PCM WAV.
void write_wav(const fs::path& path, const pcm& audio);
// A 32-bit float WAV of interleaved samples.
void write_float_wav(const fs::path& path, std::int32_t rate, int channels, std::span<const float> samples);

// One engine fed every sample in blocks of block_samples, then one signature.
std::vector<std::uint8_t> engine_signature(std::span<const std::int16_t> mono, std::int32_t rate, SignatureType type,
                                           EngineFlags flags, double seconds, std::size_t block_samples = 1 << 20);

// The engine's dumps of signature bytes, as the dump command prints them.
struct text_dump {
    std::string text;     // everything printed
    std::string problem;  // as find_problem
};
text_dump dump_text(std::span<const std::uint8_t> bytes, int verbosity);
nlohmann::ordered_json dump_json(std::span<const std::uint8_t> bytes, int verbosity);
// The reader's first problem with the bytes; empty for a valid signature.
std::string find_problem(std::span<const std::uint8_t> bytes);
// Recomputes the compact form's checksum word (offset 28) after an edit.
void fix_checksum(std::vector<std::uint8_t>& bytes);

std::vector<std::uint8_t> read_bytes(const fs::path& path);
std::string read_text(const fs::path& path);
// The lines of text, without their ends.
std::vector<std::string> lines_of(const std::string& text);
void write_bytes(const fs::path& path, std::span<const std::uint8_t> bytes);
inline std::vector<std::uint8_t> as_bytes(const std::string& text)
{
    return {text.begin(), text.end()};
}

struct run_result {
    int exit_code = -1;  // -1 when killed by a signal
    std::string out;
    std::string err;
    long max_rss_kib = 0;
};

struct run_options {
    fs::path stdin_file;              // empty: /dev/null
    bool stdin_through_pipe = false;  // stdin_file's bytes through a pipe
    bool stdout_to_terminal = false;  // a pseudo-terminal instead of a file
    // Standard output into this file, left out of run_result::out. A large
    // output read back into the test would raise the peak memory that the
    // next child reports (a spawned child starts from its parent's peak).
    fs::path stdout_file;
    // Runs these words before vextune's path and arguments, e.g. a shell that
    // sets a limit, then execs "$0" "$@"; the first word is looked up in PATH.
    std::vector<std::string> wrapper;
    // Runs this executable instead of the built vextune.
    fs::path executable;
};

// Runs vextune (or options.executable) with args and waits for it.
run_result run_vextune(const std::vector<std::string>& args, const run_options& options = {});

// `vextune serve` started in the background on 127.0.0.1 and a free port,
// its standard error into log; stopped with SIGTERM (and waited for) when
// this goes, unless stop() did first. Fails the test when it does not
// listen within 5 s (port 0 then).
class background_service {
public:
    background_service(const std::vector<std::string>& args, const fs::path& log);
    ~background_service() { stop(); }
    background_service(const background_service&) = delete;
    background_service& operator=(const background_service&) = delete;

    int port() const noexcept { return port_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    int pid() const noexcept { return pid_; }
    // SIGTERM, and the exit status as waitpid gives it (-1 when stopped before).
    int stop();

private:
    int pid_ = 0;
    int port_ = 0;
};

// A fresh directory per test, removed afterwards.
class scratch_test : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    fs::path file(const std::string& name) const { return dir_ / name; }

private:
    fs::path dir_;
};

// A scratch directory with an LMDB catalogue of the three clips (db), added
// by the built vextune.
class catalogue_of_clips_test : public scratch_test {
protected:
    void SetUp() override;

    std::string db;
};

}  // namespace vxt::cli::test
