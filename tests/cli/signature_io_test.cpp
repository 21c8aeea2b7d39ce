// Where signatures go and where audio comes from: --output never loses or
// removes what the command did not make, every format reads from a pipe or
// standard input, and an empty signature is said to be one.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>
#include <sndfile.h>

#include "cli_test_support.h"
#include "commands.h"

namespace vxt::cli::test {
namespace {

using signature_io_test = scratch_test;

const std::string clip = clip_path(clip_names[0]).string();

std::vector<std::string> names_in(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

mode_t mode_of(const fs::path& path)
{
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
    return status.st_mode;
}

// ---- --output ----

TEST_F(signature_io_test, a_failed_write_keeps_the_original_file_and_leaves_nothing_behind)
{
    // Files above 512 bytes cannot be written; the signature is larger.
    const std::vector<std::uint8_t> original(100, 'o');
    write_bytes(file("keep.sig"), original);
    run_options limited;
    limited.wrapper = {"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 1; exec \"$0\" \"$@\""};
    const run_result r = run_vextune({"signature", "-o", file("keep.sig").string(), clip}, limited);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "vextune: " + file("keep.sig").string() + ": " + std::strerror(EFBIG) + "\n");
    EXPECT_EQ(read_bytes(file("keep.sig")), original);
    EXPECT_EQ(names_in(file("")), std::vector<std::string>{"keep.sig"});
}

TEST_F(signature_io_test, a_full_device_and_links_to_it_survive_a_failed_write)
{
    // A node of the full device made here first, so that a command that
    // removes its target cannot take the system's /dev/full with it.
    if (::mknod(file("full").c_str(), S_IFCHR | 0666, ::makedev(1, 7)) != 0)
        GTEST_SKIP() << "cannot make a device node: " << std::strerror(errno);
    fs::create_symlink(file("full"), file("link"));
    for (const fs::path& target : {file("full"), file("link")}) {
        const run_result r = run_vextune({"signature", "-o", target.string(), clip});
        EXPECT_EQ(r.exit_code, 1) << target;
        EXPECT_EQ(r.err, "vextune: " + target.string() + ": " + std::strerror(ENOSPC) + "\n");
        ASSERT_TRUE(S_ISCHR(mode_of(file("full")))) << "the device node was removed";
        ASSERT_TRUE(S_ISLNK(mode_of(file("link")))) << "the link was removed";
    }
    const run_result r = run_vextune({"signature", "-o", "/dev/full", clip});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, std::string("vextune: /dev/full: ") + std::strerror(ENOSPC) + "\n");
    EXPECT_TRUE(S_ISCHR(mode_of("/dev/full")));
}

TEST_F(signature_io_test, a_fifo_is_written_into_and_stays)
{
    ASSERT_EQ(::mkfifo(file("fifo").c_str(), 0600), 0);
    // Held open for reading and writing, the FIFO neither blocks the command
    // nor this test; the signature fits its buffer.
    const int fd = ::open(file("fifo").c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    const run_result r = run_vextune({"signature", "-o", file("fifo").string(), clip});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::vector<std::uint8_t> got(1 << 16);
    const ssize_t size = ::read(fd, got.data(), got.size());
    ::close(fd);
    got.resize(static_cast<std::size_t>(std::max<ssize_t>(size, 0)));
    EXPECT_EQ(got, sign_file(clip, {}, {}));
    EXPECT_TRUE(S_ISFIFO(mode_of(file("fifo"))));
}

TEST_F(signature_io_test, regular_files_are_replaced_whole_and_links_kept)
{
    const auto expected = sign_file(clip, {}, {});
    fs::create_directory(file("sub"));
    write_bytes(file("old.sig"), std::vector<std::uint8_t>(20000, 'o'));  // longer than the signature
    fs::permissions(file("old.sig"), fs::perms(0640));
    write_bytes(file("sub/linked.sig"), std::vector<std::uint8_t>(10, 'o'));
    fs::create_symlink("sub/linked.sig", file("link"));
    fs::create_symlink("sub/new.sig", file("dangling"));

    const mode_t mask = ::umask(0);
    ::umask(mask);
    const struct {
        const char* name;     // given to --output
        const char* written;  // the file that must hold the signature
        mode_t permissions;
    } cases[] = {
        {"new.sig", "new.sig", 0666 & ~mask},
        {"old.sig", "old.sig", 0640},
        {"link", "sub/linked.sig", 0666 & ~mask},
        {"dangling", "sub/new.sig", 0666 & ~mask},
    };
    for (const auto& c : cases) {
        const run_result r = run_vextune({"signature", "-o", file(c.name).string(), clip});
        EXPECT_EQ(r.exit_code, 0) << c.name << ": " << r.err;
        EXPECT_EQ(read_bytes(file(c.written)), expected) << c.name;
        EXPECT_EQ(mode_of(file(c.written)) & 07777, c.permissions) << c.name;
    }
    EXPECT_TRUE(S_ISLNK(mode_of(file("link"))));
    EXPECT_TRUE(S_ISLNK(mode_of(file("dangling"))));
    const std::vector<std::string> top{"dangling", "link", "new.sig", "old.sig", "sub"};
    const std::vector<std::string> sub{"linked.sig", "new.sig"};
    EXPECT_EQ(names_in(file("")), top);
    EXPECT_EQ(names_in(file("sub")), sub);
}

TEST_F(signature_io_test, a_directory_it_cannot_write_to_keeps_its_files)
{
    // Root writes anywhere: run the command as nobody then.
    run_options options;
    if (::geteuid() == 0)
        options.wrapper = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    fs::permissions(file(""), fs::perms(0755));
    fs::create_directory(file("locked"));
    const std::vector<std::uint8_t> original(100, 'o');
    write_bytes(file("locked/old.sig"), original);
    fs::permissions(file("locked/old.sig"), fs::perms(0666));
    fs::permissions(file("locked"), fs::perms(0555));

    for (const char* name : {"old.sig", "new.sig"}) {
        const fs::path target = file("locked") / name;
        const run_result r = run_vextune({"signature", "-o", target.string(), clip}, options);
        EXPECT_EQ(r.exit_code, 1) << name;
        EXPECT_EQ(r.err, "vextune: " + target.string() + ": cannot create a temporary file in " +
                             file("locked").string() + ": " + std::strerror(EACCES) + "\n");
    }
    EXPECT_EQ(read_bytes(file("locked/old.sig")), original);
    EXPECT_EQ(names_in(file("locked")), std::vector<std::string>{"old.sig"});
    fs::permissions(file("locked"), fs::perms(0755));
}

TEST_F(signature_io_test, a_directory_target_is_refused_untouched)
{
    fs::create_directory(file("dir"));
    const run_result r = run_vextune({"signature", "-o", file("dir").string(), clip});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "vextune: " + file("dir").string() + ": " + std::strerror(EISDIR) + "\n");
    EXPECT_TRUE(fs::is_directory(file("dir")));
    EXPECT_TRUE(fs::is_empty(file("dir")));
}

// ---- audio from pipes and standard input ----

void write_audio(const fs::path& path, const pcm& audio, int format)
{
    SF_INFO info{};
    info.samplerate = audio.rate;
    info.channels = audio.channels;
    info.format = format;
    SNDFILE* out = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(out, nullptr) << path << ": " << sf_strerror(nullptr);
    const auto frames = static_cast<sf_count_t>(audio.frames());
    EXPECT_EQ(sf_writef_short(out, audio.samples.data(), frames), frames);
    sf_close(out);
}

struct format_case {
    const char* name;
    int format;
};

class piped_audio_test : public scratch_test, public ::testing::WithParamInterface<format_case> {};

TEST_P(piped_audio_test, gives_the_signature_of_the_file)
{
    const fs::path path = file(std::string("clip.") + GetParam().name);
    write_audio(path, read_pcm(clip), GetParam().format);
    const auto expected = sign_file(path.string(), {}, {});
    ASSERT_GT(expected.size(), 1000u);

    // A named pipe given as AUDIO.
    const fs::path fifo = file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] { write_bytes(fifo, read_bytes(path)); });
    EXPECT_EQ(sign_file(fifo.string(), {}, {}), expected);
    writer.join();

    // Standard input, a pipe and a redirected file.
    for (const bool through_pipe : {true, false}) {
        run_options options;
        options.stdin_file = path;
        options.stdin_through_pipe = through_pipe;
        const run_result r = run_vextune({"signature", "-"}, options);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(std::vector<std::uint8_t>(r.out.begin(), r.out.end()), expected) << "pipe " << through_pipe;
    }
}

INSTANTIATE_TEST_SUITE_P(formats, piped_audio_test,
                         ::testing::Values(format_case{"wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16},
                                           format_case{"flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
                                           format_case{"ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(signature_io_test, bad_standard_input_is_an_error_naming_it)
{
    write_bytes(file("noise"), std::vector<std::uint8_t>(5000, 0x5A));
    for (const bool through_pipe : {true, false}) {
        run_options options;
        options.stdin_file = file("noise");
        options.stdin_through_pipe = through_pipe;
        const run_result r = run_vextune({"signature", "-o", file("x.sig").string(), "-"}, options);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_TRUE(r.err.starts_with("vextune: standard input: ")) << r.err;
        EXPECT_FALSE(fs::exists(file("x.sig")));
    }
}

// ---- empty signatures ----

TEST_F(signature_io_test, an_empty_signature_is_noted_and_still_written)
{
    write_wav(file("silence.wav"), pcm{44100, 1, std::vector<std::int16_t>(5 * 44100)});
    write_wav(file("header-only.wav"), pcm{44100, 2, {}});
    // A header claiming a second of audio with none behind it.
    write_wav(file("cut.wav"), pcm{44100, 1, std::vector<std::int16_t>(44100, 1000)});
    fs::resize_file(file("cut.wav"), 44);

    const std::string no_peaks = "vextune: the audio held no peaks: the signature is empty\n";
    const std::string no_audio = "vextune: the file held no audio: the signature is empty\n";
    const struct {
        const char* audio;
        std::vector<std::string> options;
        std::string note;
    } cases[] = {
        {"silence.wav", {}, no_peaks},
        {"silence.wav", {"--type", "4", "--flags", "1800"}, no_peaks},
        {"header-only.wav", {}, no_audio},
        {"cut.wav", {}, no_audio},
        // Every form and peak chunk kind of real audio counts its peaks.
        {nullptr, {}, ""},
        {nullptr, {"--flags", "1800"}, ""},
        {nullptr, {"--type", "1", "--flags", "b00"}, ""},
        {nullptr, {"--type", "4"}, ""},
        {nullptr, {"--type", "4", "--flags", "1800"}, ""},
        {nullptr, {"--flags", "30800"}, ""},
    };
    for (const auto& c : cases) {
        const std::string audio = c.audio ? file(c.audio).string() : clip;
        std::vector<std::string> args{"signature", "-o", file("out.sig").string()};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.push_back(audio);
        const run_result r = run_vextune(args);
        EXPECT_EQ(r.exit_code, 0) << audio;
        EXPECT_EQ(r.err, c.note) << audio << ' ' << testing::PrintToString(c.options);
        EXPECT_EQ(find_problem(read_bytes(file("out.sig"))), "") << audio;
    }
}

// ---- dump ----

TEST_F(signature_io_test, dump_without_a_file_reads_standard_input)
{
    write_bytes(file("a.sig"), sign_file(clip, {}, {}));
    run_options options;
    options.stdin_file = file("a.sig");
    options.stdin_through_pipe = true;
    const run_result r = run_vextune({"dump", "--json"}, options);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, run_vextune({"dump", "--json", file("a.sig").string()}).out);
    EXPECT_TRUE(nlohmann::json::parse(r.out)["valid"].get<bool>());
}

}  // namespace
}  // namespace vxt::cli::test
