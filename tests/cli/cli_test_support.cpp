#include "cli_test_support.h"

#include <fcntl.h>
#include <pty.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string_view>
#include <thread>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>

#include <sndfile.h>

#include "vextune/dump.h"
#include "vextune/signature.h"

extern char** environ;

namespace vxt::cli::test {
namespace {

struct sndfile_closer {
    void operator()(SNDFILE* file) const noexcept { sf_close(file); }
};
using sndfile_ptr = std::unique_ptr<SNDFILE, sndfile_closer>;

sndfile_ptr open_for_writing(const fs::path& path, std::int32_t rate, int channels, int format)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    sndfile_ptr file(sf_open(path.c_str(), SFM_WRITE, &info));
    EXPECT_TRUE(file) << path << ": " << sf_strerror(nullptr);
    return file;
}

}  // namespace

std::vector<std::int16_t> pcm::channel(int index) const
{
    std::vector<std::int16_t> out(frames());
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = samples[i * static_cast<std::size_t>(channels) + static_cast<std::size_t>(index)];
    return out;
}

pcm read_pcm(const fs::path& path)
{
    SF_INFO info{};
    sndfile_ptr file(sf_open(path.c_str(), SFM_READ, &info));
    pcm audio;
    if (!file) {
        ADD_FAILURE() << path << ": " << sf_strerror(nullptr);
        return audio;
    }
    audio.rate = info.samplerate;
    audio.channels = info.channels;
    audio.samples.resize(static_cast<std::size_t>(info.frames) * static_cast<std::size_t>(info.channels));
    const sf_count_t got = sf_readf_short(file.get(), audio.samples.data(), info.frames);
    EXPECT_EQ(got, info.frames) << path;
    return audio;
}

void write_wav(const fs::path& path, const pcm& audio)
{
    const auto file = open_for_writing(path, audio.rate, audio.channels, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    if (!file)
        return;
    const auto frames = static_cast<sf_count_t>(audio.frames());
    EXPECT_EQ(sf_writef_short(file.get(), audio.samples.data(), frames), frames);
}

void write_float_wav(const fs::path& path, std::int32_t rate, int channels, std::span<const float> samples)
{
    const auto file = open_for_writing(path, rate, channels, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    if (!file)
        return;
    const auto frames = static_cast<sf_count_t>(samples.size() / static_cast<std::size_t>(channels));
    EXPECT_EQ(sf_writef_float(file.get(), samples.data(), frames), frames);
}

std::vector<std::uint8_t> engine_signature(std::span<const std::int16_t> mono, std::int32_t rate, SignatureType type,
                                           EngineFlags flags, double seconds, std::size_t block_samples)
{
    engine_handle engine = create_engine(type, rate, flags);
    for (std::size_t at = 0; at < mono.size(); at += block_samples) {
        const std::size_t count = std::min(block_samples, mono.size() - at);
        EXPECT_EQ(feed_samples(engine, mono.data() + at, static_cast<std::int32_t>(count)), result_ok);
    }
    std::vector<std::uint8_t> bytes;
    EXPECT_EQ(get_signature(engine, bytes, seconds), result_ok);
    return bytes;
}

text_dump dump_text(std::span<const std::uint8_t> bytes, int verbosity)
{
    std::ostringstream out;
    vxt::dump_signature(out, bytes, verbosity);
    return {out.str(), find_problem(bytes)};
}

nlohmann::ordered_json dump_json(std::span<const std::uint8_t> bytes, int verbosity)
{
    std::ostringstream out;
    vxt::dump_signature_json(out, bytes, verbosity);
    return nlohmann::ordered_json::parse(out.str());
}

std::string find_problem(std::span<const std::uint8_t> bytes)
{
    return vxt::read_signature(bytes).error;
}

void fix_checksum(std::vector<std::uint8_t>& bytes)
{
    const auto word = [&](std::size_t at) {
        return std::uint32_t{bytes[at]} | std::uint32_t{bytes[at + 1]} << 8 | std::uint32_t{bytes[at + 2]} << 16 |
               std::uint32_t{bytes[at + 3]} << 24;
    };
    std::uint32_t sum = 0;
    for (std::size_t at = 0; at + 4 <= bytes.size(); at += 4)
        sum += at == 28 ? 0 : word(at);
    for (int i = 0; i < 4; ++i)
        bytes[28 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(sum >> (8 * i));
}

std::vector<std::uint8_t> read_bytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in) << path;
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const auto end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return lines;
}

std::string read_text(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_bytes(const fs::path& path, std::span<const std::uint8_t> bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    EXPECT_TRUE(out) << path;
}

void catalogue_of_clips_test::SetUp()
{
    scratch_test::SetUp();
    db = file("music.db").string();
    std::vector<std::string> args = {"catalogue", "add", "--db", db};
    for (const char* name : clip_names)
        args.push_back(clip_path(name).string());
    const run_result r = run_vextune(args);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    ASSERT_EQ(lines_of(r.out).size(), 3u) << r.out;
}

background_service::background_service(const std::vector<std::string>& args, const fs::path& log)
{
    std::vector<std::string> words = {vextune_path.string(), "serve", "--listen", "127.0.0.1:0"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start vextune serve: " << std::strerror(spawned);
        return;
    }
    pid_ = pid;
    constexpr std::string_view said = "listening on http://127.0.0.1:";
    for (int i = 0; i < 200 && port_ == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        const std::string text = read_text(log);
        if (const auto at = text.find(said); at != std::string::npos && text.find('\n', at) != std::string::npos)
            port_ = std::atoi(text.c_str() + at + said.size());
    }
    if (port_ == 0)
        ADD_FAILURE() << "vextune serve did not listen: " << read_text(log);
}

int background_service::stop()
{
    if (pid_ == 0)
        return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = 0;
    return status;
}

run_result run_vextune(const std::vector<std::string>& args, const run_options& options)
{
    run_result result;
    char out_name[] = "/tmp/vextune-test-out-XXXXXX";
    char err_name[] = "/tmp/vextune-test-err-XXXXXX";
    const int out_fd = mkstemp(out_name);
    const int err_fd = mkstemp(err_name);
    if (out_fd < 0 || err_fd < 0) {
        ADD_FAILURE() << "mkstemp failed";
        return result;
    }

    int master = -1;
    int slave = -1;
    if (options.stdout_to_terminal && openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        ADD_FAILURE() << "openpty failed";
        return result;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string in_name = options.stdin_file.empty() ? "/dev/null" : options.stdin_file.string();
    int in_pipe[2] = {-1, -1};
    if (options.stdin_through_pipe) {
        if (pipe2(in_pipe, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe failed";
            return result;
        }
        posix_spawn_file_actions_adddup2(&actions, in_pipe[0], STDIN_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, in_name.c_str(), O_RDONLY, 0);
    }
    if (!options.stdout_file.empty())
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, options.stdout_file.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    else
        posix_spawn_file_actions_adddup2(&actions, options.stdout_to_terminal ? slave : out_fd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err_fd, STDERR_FILENO);

    std::vector<std::string> argv_text = options.wrapper;
    argv_text.push_back((options.executable.empty() ? vextune_path : options.executable).string());
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argv_text)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (slave >= 0)
        close(slave);
    if (in_pipe[0] >= 0) {
        close(in_pipe[0]);
        // The child may stop reading early: a write error then is no failure.
        std::signal(SIGPIPE, SIG_IGN);
        const auto bytes = read_bytes(options.stdin_file);
        for (std::size_t done = 0; spawned == 0 && done < bytes.size();) {
            const ssize_t put = write(in_pipe[1], bytes.data() + done, bytes.size() - done);
            if (put <= 0)
                break;
            done += static_cast<std::size_t>(put);
        }
        close(in_pipe[1]);
    }
    if (spawned == 0) {
        int status = 0;
        rusage usage{};
        if (wait4(pid, &status, 0, &usage) == pid) {
            result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            result.max_rss_kib = usage.ru_maxrss;
        }
    } else {
        ADD_FAILURE() << "cannot start " << argv[0];
    }
    if (master >= 0)
        close(master);
    close(out_fd);
    close(err_fd);
    result.out = read_text(out_name);
    result.err = read_text(err_name);
    unlink(out_name);
    unlink(err_name);
    return result;
}

void scratch_test::SetUp()
{
    std::string pattern = (fs::temp_directory_path() / "vextune-cli-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
}

void scratch_test::TearDown()
{
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
}

}  // namespace vxt::cli::test
