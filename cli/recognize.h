// vextune recognize: one whole recognition through the API. The capture
// listens to a microphone, or plays a recording as one, and the request
// description names the service; the result document is the output.
#pragma once

#include <string>

#include "commands.h"

namespace vxt::cli {

struct recognize_options {
    std::string request;    // the request description (JSON text)
    std::string device;     // a capture source by name; empty: the default one
    std::string input;      // a recording played as the microphone
    bool realtime = false;  // the recording at its own pace, not as fast as it goes
};

// Runs the recognition and returns its result document. Throws cli_error.
// note hears the command's notes, the device's own reasons for its failures
// and why each failed attempt failed, from the device's and the
// recognition's threads too; the result document is the same either way.
std::string recognize(const recognize_options& options, const note_sink& note);

}  // namespace vxt::cli
