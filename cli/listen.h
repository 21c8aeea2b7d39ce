// vextune listen and vextune devices: the capture path by hand. The capture
// opens a device (a microphone, or an audio file played as one), runs its
// bridge until the requested sample time has passed and hands over the
// signature it made.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "commands.h"

namespace vxt::cli {

// The longest sample time listen signs: an hour, far beyond any
// recognition's sample.
inline constexpr int listen_max_seconds = 3600;

struct listen_options {
    std::string device;  // a capture source by name; empty: the default one
    std::string input;   // an audio file played as the device (simulated time, as fast as it goes); - or a pipe: copied
    double seconds = 12.0;
};

// Captures until seconds of sample time have passed (for a file, at most
// its length) and returns the capture's signature. A recording that ends
// early is signed whole (with a note); one that cannot be decoded to the
// time asked for fails. Throws cli_error. note
// hears the command's notes and the device's own reasons for its failures,
// the latter from the device's threads too.
std::vector<std::uint8_t> listen(const listen_options& options, const note_sink& note);

// One line per capture source: "NAME\tDESCRIPTION", the default marked "*".
// diagnostics hears the sound server's own reason for a failure.
std::vector<std::string> list_devices(const note_sink& diagnostics);

}  // namespace vxt::cli
