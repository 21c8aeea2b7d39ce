// A capture source read as a stream of 16-bit mono blocks, for as long as
// the caller reads: what `vextune monitor --device` follows.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"

namespace vxt::cli {

class device_reader {
public:
    // The named source (empty: the default one) at its own rate, which
    // the engine must take. Throws cli_error, with the sound server's
    // reason where it gives one (told to note), and in a build without
    // PulseAudio.
    device_reader(const std::string& source, const note_sink& note);
    ~device_reader();
    device_reader(const device_reader&) = delete;
    device_reader& operator=(const device_reader&) = delete;

    std::int32_t rate() const noexcept;
    // Replaces mono with the next packets, all channels averaged; waits
    // for them. Throws cli_error when the source goes away or stops
    // delivering for 10 seconds.
    void read(std::vector<std::int16_t>& mono);

private:
    struct state;
    std::unique_ptr<state> state_;
};

}  // namespace vxt::cli
