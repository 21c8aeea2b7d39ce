#include "audio_input.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <samplerate.h>
#include <sndfile.h>

#include "vextune/config.h"
#include "vextune/platform/AudioDevices.h"

namespace vxt::cli {
namespace {

// Interleaved samples per file read, whatever the channel count.
constexpr std::size_t max_read_samples = 65536;

struct sndfile_closer {
    void operator()(SNDFILE* file) const noexcept { sf_close(file); }
};

struct src_deleter {
    void operator()(SRC_STATE* state) const noexcept { src_delete(state); }
};

class unique_fd {
public:
    explicit unique_fd(int fd = -1) noexcept : fd_(fd) {}
    ~unique_fd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
    unique_fd& operator=(unique_fd&& other) noexcept
    {
        unique_fd old(std::exchange(fd_, other.release()));
        return *this;
    }
    int get() const noexcept { return fd_; }
    int release() noexcept { return std::exchange(fd_, -1); }

private:
    int fd_;
};

std::string error_text(int error)
{
    return std::strerror(error);
}

// An unnamed file in $TMPDIR (or /tmp) that disappears when closed.
unique_fd anonymous_temporary()
{
    const char* env = std::getenv("TMPDIR");
    const std::string dir = env && *env ? env : "/tmp";
    unique_fd file(::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (file.get() < 0) {  // a file system without O_TMPFILE
        std::string name = dir + "/vextune-input-XXXXXX";
        file = unique_fd(::mkostemp(name.data(), O_CLOEXEC));
        if (file.get() >= 0)
            ::unlink(name.c_str());
    }
    if (file.get() < 0)
        throw cli_error("cannot make a temporary file in " + dir + ": " + error_text(errno));
    return file;
}

// Copies a stream to its end into an unnamed temporary file, rewound. Only
// WAV-like formats decode from a stream that cannot seek: FLAC and Ogg look
// back, and libsndfile reads some headers twice. A copy on disk keeps the
// memory flat however long the stream.
unique_fd spool(int stream)
{
    unique_fd copy = anonymous_temporary();
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t got = ::read(stream, buffer.data(), buffer.size());
        if (got == 0)
            break;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw cli_error("read error: " + error_text(errno));
        }
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(copy.get(), buffer.data() + done, static_cast<std::size_t>(got - done));
            if (put < 0) {
                if (errno == EINTR)
                    continue;
                throw cli_error("cannot keep a copy of the stream: " + error_text(errno));
            }
            done += put;
        }
    }
    if (::lseek(copy.get(), 0, SEEK_SET) != 0)
        throw cli_error("cannot rewind the copy of the stream: " + error_text(errno));
    return copy;
}

// The audio to decode: path, or standard input for "-". Pipes and sockets
// are copied first (see spool); files, block and character devices are read
// where they are.
unique_fd open_input(const std::string& path)
{
    const bool standard_input = path == "-";
    unique_fd input(standard_input ? ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0)
                                   : ::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (input.get() < 0)
        throw cli_error(error_text(errno));
    struct stat status {};
    if (::fstat(input.get(), &status) != 0)
        throw cli_error(error_text(errno));
    if (S_ISDIR(status.st_mode))
        throw cli_error(error_text(EISDIR));
    if (standard_input && ::isatty(input.get()))
        throw cli_error("a terminal; pipe or redirect the audio into the command");
    if (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode))
        return spool(input.get());
    return input;
}

// Standard input, or a pipe or a socket by name, opened as open_input
// does (a stream copied, a file redirected to standard input as it is);
// none for a named file or device, which is opened where it is.
unique_fd open_stream(const std::string& path)
{
    struct stat status {};
    if (path != "-" && (::stat(path.c_str(), &status) != 0 || !(S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode))))
        return unique_fd();
    // Opening a FIFO waits for its writer, as reading one always does.
    return open_input(path);
}

// Averages the channels of each frame: their sum divided by the channel
// count, rounded to nearest with halves away from zero, in integers
// (|sum| / channels + 1/2, truncated). Fixed, when not 0, is the channel
// count known at compile time, which turns the division into a shift or a
// multiplication; without it a division per frame takes most of the time
// of reading a stereo file. At most 1024 channels: the sum cannot overflow.
template <std::size_t Fixed>
void average_channels(const std::int16_t* __restrict interleaved, std::size_t frames, std::size_t channel_count,
                      std::int16_t* __restrict mono) noexcept
{
    const std::size_t channels = Fixed != 0 ? Fixed : channel_count;
    const auto n = static_cast<std::int32_t>(channels);
    const std::int16_t* p = interleaved;
    for (std::size_t i = 0; i < frames; ++i, p += channels) {
        std::int32_t sum = 0;
        for (std::size_t c = 0; c < channels; ++c)
            sum += p[c];
        const std::int32_t magnitude = (2 * std::abs(sum) + n) / (2 * n);
        mono[i] = static_cast<std::int16_t>(sum < 0 ? -magnitude : magnitude);
    }
}

}  // namespace

replayable_recording::replayable_recording(const std::string& path) : path_(path)
{
    unique_fd input = open_stream(path);
    if (input.get() < 0)
        return;
    copy_ = input.release();
    path_ = "/proc/self/fd/" + std::to_string(copy_);
}

replayable_recording::~replayable_recording()
{
    if (copy_ >= 0)
        ::close(copy_);
}

std::string replayable_recording::named(std::string text, const std::string& name) const
{
    if (!renamed())
        return text;
    for (std::size_t at = text.find(path_); at != std::string::npos; at = text.find(path_, at + name.size()))
        text.replace(at, path_.size(), name);
    return text;
}

int converter_for(std::int32_t file_rate, std::int32_t engine_rate) noexcept
{
    return engine_rate > file_rate ? SRC_LINEAR : SRC_SINC_FASTEST;
}

struct audio_reader::state {
    std::unique_ptr<SNDFILE, sndfile_closer> file;
    std::unique_ptr<SRC_STATE, src_deleter> converter;
    // sf_readf_short gives 0 for every sample of a floating-point file (it
    // does not scale), so those are read as float and converted here.
    bool float_data = false;
    std::size_t read_frames = 0;
    std::vector<std::int16_t> interleaved;
    std::vector<float> interleaved_float;
    bool file_done = false;

    // Conversion: the mono input block as float, how much of it libsamplerate
    // has taken, and its output.
    double ratio = 1.0;
    std::vector<std::int16_t> mono;
    std::vector<float> in;
    std::size_t in_used = 0;
    std::vector<float> out;
    bool converted_done = false;
};

std::string audio_reader::tag(int which) const
{
    const char* text = sf_get_string(state_->file.get(), which);
    return text ? std::string(text) : std::string();
}

std::int32_t engine_rate_for(std::int32_t file_rate) noexcept
{
    for (std::int32_t rate : supported_rates) {
        if (rate >= file_rate)
            return rate;
    }
    return supported_rates.back();
}

audio_reader::audio_reader(const std::string& path, channel_mode mode)
    : state_(std::make_unique<state>()), path_(path), mode_(mode)
{
    unique_fd input = open_input(path);
    SF_INFO info{};
    // With SF_TRUE the descriptor is libsndfile's once the file is open.
    state_->file.reset(sf_open_fd(input.get(), SFM_READ, &info, SF_TRUE));
    if (!state_->file)
        throw cli_error(sf_strerror(nullptr));
    input.release();
    if (info.samplerate <= 0 || info.channels <= 0)
        throw cli_error("no audio (" + std::to_string(info.channels) + " channels at " +
                        std::to_string(info.samplerate) + " Hz)");

    file_rate_ = info.samplerate;
    rate_ = engine_rate_for(file_rate_);
    channels_ = info.channels;
    const int subformat = info.format & SF_FORMAT_SUBMASK;
    state_->float_data = subformat == SF_FORMAT_FLOAT || subformat == SF_FORMAT_DOUBLE;
    state_->read_frames =
        std::clamp<std::size_t>(max_read_samples / static_cast<std::size_t>(channels_), 1, block_frames);
    const std::size_t samples = state_->read_frames * static_cast<std::size_t>(channels_);
    if (state_->float_data)
        state_->interleaved_float.resize(samples);
    else
        state_->interleaved.resize(samples);

    if (converting()) {
        state_->ratio = static_cast<double>(rate_) / static_cast<double>(file_rate_);
        if (!src_is_valid_ratio(state_->ratio))
            throw cli_error("cannot convert " + std::to_string(file_rate_) + " Hz to " + std::to_string(rate_) + " Hz");
        int error = 0;
        state_->converter.reset(src_new(converter_for(file_rate_, rate_), 1, &error));
        if (!state_->converter)
            throw cli_error(std::string("sample rate converter: ") + src_strerror(error));
        state_->mono.reserve(state_->read_frames);
        state_->in.reserve(state_->read_frames);
        state_->out.resize(block_frames);
    }
}

audio_reader::~audio_reader() = default;

std::size_t audio_reader::read_file(std::vector<std::int16_t>& mono)
{
    state& s = *state_;
    mono.clear();
    if (s.file_done)
        return 0;

    // Mono 16-bit audio goes straight into the block, with no copy.
    const bool direct = !s.float_data && channels_ == 1;
    if (direct)
        mono.resize(s.read_frames);
    const auto wanted = static_cast<sf_count_t>(s.read_frames);
    const sf_count_t got = s.float_data ? sf_readf_float(s.file.get(), s.interleaved_float.data(), wanted)
                           : direct     ? sf_readf_short(s.file.get(), mono.data(), wanted)
                                        : sf_readf_short(s.file.get(), s.interleaved.data(), wanted);
    if (got < wanted) {
        if (sf_error(s.file.get()) != SF_ERR_NO_ERROR)
            throw cli_error(sf_strerror(s.file.get()));
        s.file_done = true;
    }
    const auto frames = static_cast<std::size_t>(std::max<sf_count_t>(got, 0));
    const auto channels = static_cast<std::size_t>(channels_);
    mono.resize(frames);

    if (s.float_data) {
        const float* p = s.interleaved_float.data();
        for (std::size_t i = 0; i < frames; ++i, p += channels) {
            float value = p[0];
            if (mode_ == channel_mode::mix) {
                value = 0.0f;
                for (std::size_t c = 0; c < channels; ++c)
                    value += p[c];
                value /= static_cast<float>(channels);
            }
            mono[i] = VextuneCore::Platform::FloatToPcm16(value);
        }
    } else if (direct) {
        // already in place
    } else if (mode_ == channel_mode::first) {
        const std::int16_t* p = s.interleaved.data();
        for (std::size_t i = 0; i < frames; ++i, p += channels)
            mono[i] = p[0];
    } else if (channels == 2) {
        average_channels<2>(s.interleaved.data(), frames, channels, mono.data());
    } else {
        average_channels<0>(s.interleaved.data(), frames, channels, mono.data());
    }
    return frames;
}

bool audio_reader::read(std::vector<std::int16_t>& block)
{
    if (converting())
        return read_converted(block);
    return read_file(block) > 0;
}

bool audio_reader::read_converted(std::vector<std::int16_t>& block)
{
    state& s = *state_;
    block.clear();
    while (!s.converted_done) {
        if (s.in_used == s.in.size() && !s.file_done) {
            read_file(s.mono);
            s.in.resize(s.mono.size());
            for (std::size_t i = 0; i < s.mono.size(); ++i)
                s.in[i] = static_cast<float>(s.mono[i]) / 32768.0f;
            s.in_used = 0;
        }

        SRC_DATA data{};
        data.data_in = s.in.data() + s.in_used;
        data.input_frames = static_cast<long>(s.in.size() - s.in_used);
        data.data_out = s.out.data();
        data.output_frames = static_cast<long>(s.out.size());
        data.end_of_input = s.file_done ? 1 : 0;
        data.src_ratio = s.ratio;
        if (const int error = src_process(s.converter.get(), &data))
            throw cli_error(std::string("sample rate conversion: ") + src_strerror(error));
        s.in_used += static_cast<std::size_t>(data.input_frames_used);

        if (data.output_frames_gen > 0) {
            block.resize(static_cast<std::size_t>(data.output_frames_gen));
            for (std::size_t i = 0; i < block.size(); ++i)
                block[i] = VextuneCore::Platform::FloatToPcm16(s.out[i]);
            return true;
        }
        if (s.file_done && s.in_used == s.in.size())
            s.converted_done = true;  // flushed: nothing more will come
        else if (data.input_frames_used == 0)
            throw cli_error("sample rate conversion made no progress");
    }
    return false;
}

}  // namespace vxt::cli
