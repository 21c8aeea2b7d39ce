// SignatureSource: what a capture offers a recognition. A recognition
// begins with its schedule, waits for each signature that falls due, and
// ends; the source makes the signatures from what it hears. WASAPICapture
// is the one over a device; tests of the recognition use a fake.
//
// One recognition is active at a time: a newer one replaces it, and every
// call with a replaced recognition's id returns at once doing nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <stop_token>
#include <vector>

namespace VextuneCore::Capture {

// A signature handed to a recognition, with the sample time it covers.
struct CapturedSignature {
    std::vector<std::uint8_t> bytes;  // empty when the engine failed to make one
    double sample_ms = 0.0;           // elapsed sample time when it was taken
    bool final = false;               // the stream has ended: no later signature can be longer
};

class SignatureSource {
public:
    virtual ~SignatureSource() = default;

    // Starts a recognition: the first signature is due once the elapsed
    // sample time passes min_sample_ms, and none waits longer than
    // max_sample_ms. Returns the recognition's id. Called on the
    // recognition's thread.
    virtual std::uint64_t BeginRecognition(double min_sample_ms, double max_sample_ms) = 0;
    // Blocks until the next signature of the recognition: the one taken once
    // the sample time passes due_ms (the maximum when not given). Returns
    // nothing when that recognition is not the active one, when it ends
    // meanwhile, or when stop is requested. Called on the recognition's
    // thread.
    virtual std::optional<CapturedSignature> WaitForSignature(std::uint64_t recognition, std::optional<double> due_ms,
                                                              std::stop_token stop) = 0;
    // Ends the recognition if it is still the active one and wakes its
    // waiter with nothing. Any thread.
    virtual void EndRecognition(std::uint64_t recognition) = 0;
};

}  // namespace VextuneCore::Capture
