// vextune monitor and vextune match --timeline: what played when in a
// stream or a long recording, one line per event as it is known.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>

#include "catalogue.h"
#include "commands.h"
#include "vextune/monitor/Monitor.h"

namespace vxt::cli {

// Raw 16-bit little-endian PCM, interleaved: what `--raw RATE[,CHANNELS]`
// says of the input.
struct raw_format {
    std::int32_t rate = 0;  // 0: not raw, a file libsndfile reads
    int channels = 1;
};

// "RATE" or "RATE,CHANNELS"; throws cli_error for anything else, a rate
// the engine does not take, or channels outside 1..8.
raw_format parse_raw_format(const std::string& text);

struct monitor_options {
    catalogue_names db;
    std::string service;      // a recognition service's URL instead of db
    std::string input = "-";  // a file, or - for standard input
    raw_format raw;
    bool use_device = false;          // a capture source instead of the input
    std::string device;               // its name; empty: the default one
    double seconds = 0.0;             // stop after this much of the stream; 0: at its end
    double most_speed_change = 0.08;  // plays this much fast or slow are looked for too (0.08: 8 %)
    bool json = false;
    monitor::WindowOptions windows;
    monitor::TrackerOptions tracker;
};

// Follows the input to its end (a capture source: until options.seconds
// have passed, or for ever), writing each event to out as it is known
// (flushed at once), and notes the audio followed and the CPU it took.
// SIGINT and SIGTERM end the stream where it is, with its last events.
// Throws cli_error.
void monitor_stream(const monitor_options& options, std::ostream& out, const note_sink& note);

// Raw PCM from a stream, mixed to mono, as it comes: at most block_frames
// frames a call; false at the end (a partial frame at the end is dropped).
class raw_reader {
public:
    static constexpr std::size_t block_frames = 4096;

    raw_reader(std::FILE* file, raw_format format) : file_(file), format_(format) {}
    bool read(std::vector<std::int16_t>& mono);

private:
    std::FILE* file_;
    raw_format format_;
    std::vector<std::uint8_t> bytes_;
    std::size_t held_ = 0;  // bytes of a partial frame kept from the last read
};

}  // namespace vxt::cli
