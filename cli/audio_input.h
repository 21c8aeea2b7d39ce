// Audio files as a stream of 16-bit mono blocks at a rate the engine takes.
//
// libsndfile decodes the file (WAV, FLAC, Ogg, MP3 and whatever else it was
// built with), one block at a time, so a long file never sits in memory.
// Channel 0 is kept, or all channels are averaged. A file at a rate the
// engine does not take is converted with libsamplerate to the nearest
// supported rate above it (48000 Hz for anything above 48000 Hz). "-" reads
// standard input; a pipe is first copied to an unnamed temporary file, since
// most formats need to seek while decoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cli_error.h"

namespace vxt::cli {

enum class channel_mode { first, mix };

// The rate a file at file_rate is fed to the engine at: file_rate itself when
// the engine takes it, otherwise the next supported rate above it, and 48000
// above 48000.
std::int32_t engine_rate_for(std::int32_t file_rate) noexcept;

// The libsamplerate converter for file_rate to engine_rate. The engine keeps
// only what lies below 4 kHz, far inside the pass band of any converter, so
// the cheapest one that leaves that band alone serves: linear interpolation
// going up (its images land above 4 kHz, where the engine's own filter
// removes them), the fastest windowed sinc going down, where content near
// the new rate would otherwise fold into the kept band.
int converter_for(std::int32_t file_rate, std::int32_t engine_rate) noexcept;

// A recording that the capture's file device can open as often as it
// plays it (it opens the file again at each activation, and most formats
// seek while decoding). A named file is used where it is. A pipe or a
// socket is copied to its end into an unnamed temporary file first, as
// audio_reader does, and path() names that copy (/proc/self/fd/N) while
// this object lives; "-" is standard input, copied when it is a stream.
// So `--input -` and process substitution work as they do for
// `signature`, and a FIFO is read once instead of being opened twice (the
// second open waited for a writer that never came). An endless stream is
// therefore no input: the copy waits for its end.
class replayable_recording {
public:
    // Throws cli_error when the input cannot be opened or copied.
    explicit replayable_recording(const std::string& path);
    ~replayable_recording();
    replayable_recording(const replayable_recording&) = delete;
    replayable_recording& operator=(const replayable_recording&) = delete;

    // What the file device opens.
    const std::string& path() const noexcept { return path_; }
    // Whether path() is not the path given (but standard input or a copy).
    bool renamed() const noexcept { return copy_ >= 0; }
    // text (a device's message) with path() called name instead.
    std::string named(std::string text, const std::string& name) const;

private:
    int copy_ = -1;
    std::string path_;
};

class audio_reader {
public:
    static constexpr std::size_t block_frames = 4096;

    // path "-" is standard input. Throws cli_error when the file cannot be
    // opened or decoded, or its rate cannot be converted.
    audio_reader(const std::string& path, channel_mode mode);
    ~audio_reader();
    audio_reader(const audio_reader&) = delete;
    audio_reader& operator=(const audio_reader&) = delete;

    std::int32_t file_rate() const noexcept { return file_rate_; }
    std::int32_t rate() const noexcept { return rate_; }  // of the blocks read
    int channels() const noexcept { return channels_; }
    bool converting() const noexcept { return file_rate_ != rate_; }
    // A text tag of the file (SF_STR_TITLE, SF_STR_ARTIST, ...), empty
    // when it has none.
    std::string tag(int which) const;

    // Replaces block with the next samples at rate(), at most block_frames of
    // them. Returns false, with block empty, once the file is exhausted.
    // Throws cli_error on a decoding error.
    bool read(std::vector<std::int16_t>& block);

private:
    struct state;

    std::size_t read_file(std::vector<std::int16_t>& mono);
    bool read_converted(std::vector<std::int16_t>& block);

    std::unique_ptr<state> state_;
    std::string path_;
    std::int32_t file_rate_ = 0;
    std::int32_t rate_ = 0;
    int channels_ = 0;
    channel_mode mode_;
};

}  // namespace vxt::cli
