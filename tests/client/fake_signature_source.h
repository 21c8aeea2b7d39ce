// A signature source on made-up sample time, for tests of the recognition
// without a capture.
//
// It keeps the capture's schedule: a recognition begins with preroll_ms of
// sample time already heard, sample time moves in packets of 20 ms, and a
// signature is taken with the first packet whose elapsed time passes the
// due time (or the maximum); after it the due time is the maximum again.
// Audio is heard up to HeardMs (without end unless Hear is called): a wait
// whose signature lies beyond that blocks until more is heard, the stream
// finishes (the wait then gets all that was heard, marked final), the
// recognition ends, or stop is requested.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <stop_token>
#include <utility>
#include <vector>

#include "vextune/capture/SignatureSource.h"

namespace VextuneCore::Client::test {

using Capture::CapturedSignature;
using Capture::SignatureSource;

class FakeSignatureSource final : public SignatureSource {
public:
    static constexpr double packet_ms = 20.0;

    explicit FakeSignatureSource(double preroll_ms = 2000.0) : preroll_ms_(preroll_ms) {}

    std::uint64_t BeginRecognition(double min_sample_ms, double max_sample_ms) override
    {
        std::lock_guard hold(lock_);
        ++recognition_;
        active_ = true;
        elapsed_ms_ = preroll_ms_;
        next_ms_ = min_sample_ms;
        max_ms_ = max_sample_ms;
        schedules_.push_back({min_sample_ms, max_sample_ms});
        changed_.notify_all();
        return recognition_;
    }

    std::optional<CapturedSignature> WaitForSignature(std::uint64_t recognition, std::optional<double> due_ms,
                                                      std::stop_token stop) override
    {
        std::unique_lock hold(lock_);
        const auto current = [&] { return active_ && recognition_ == recognition; };
        if (!current() || stop.stop_requested())
            return std::nullopt;
        if (due_ms)
            next_ms_ = *due_ms;
        dues_.push_back(next_ms_);
        // The first packet strictly past the due time.
        const double target = std::min(next_ms_, max_ms_);
        const double packets = target < elapsed_ms_ ? 1.0 : std::floor((target - elapsed_ms_) / packet_ms) + 1.0;
        double at = elapsed_ms_ + packets * packet_ms;
        waiting_ = true;
        changed_.notify_all();
        changed_.wait(hold, stop, [&] { return !current() || finished_ || at <= heard_ms_; });
        waiting_ = false;
        if (!current() || stop.stop_requested())
            return std::nullopt;
        CapturedSignature signature;
        if (finished_) {
            at = heard_ms_;
            signature.final = true;
        }
        elapsed_ms_ = at;
        next_ms_ = max_ms_;
        signature.sample_ms = at;
        signature.bytes = bytes(at);
        return signature;
    }

    void EndRecognition(std::uint64_t recognition) override
    {
        std::lock_guard hold(lock_);
        if (recognition != recognition_)
            return;
        active_ = false;
        changed_.notify_all();
    }

    // ---- the test's side ----

    // Audio has been heard up to sample time ms.
    void Hear(double ms)
    {
        std::lock_guard hold(lock_);
        heard_ms_ = ms;
        changed_.notify_all();
    }
    // Nothing more will be heard.
    void Finish()
    {
        std::lock_guard hold(lock_);
        finished_ = true;
        changed_.notify_all();
    }
    // Blocks until the count-th wait (from 1) of the source has begun and
    // still waits; false after a generous safety bound.
    bool AwaitWait(std::size_t count)
    {
        std::unique_lock hold(lock_);
        return changed_.wait_for(hold, std::chrono::seconds(10), [&] { return waiting_ && dues_.size() >= count; });
    }
    bool Active()
    {
        std::lock_guard hold(lock_);
        return active_;
    }
    // The due time of every wait, in order.
    std::vector<double> Dues()
    {
        std::lock_guard hold(lock_);
        return dues_;
    }
    // The (min, max) of every recognition begun, in order.
    std::vector<std::pair<double, double>> Schedules()
    {
        std::lock_guard hold(lock_);
        return schedules_;
    }

    // The bytes of the signature taken at a sample time; set before the
    // first recognition. By default 100 bytes and one more per 100 ms.
    std::function<std::vector<std::uint8_t>(double)> bytes = [](double at) {
        std::vector<std::uint8_t> b(100 + static_cast<std::size_t>(at / 100.0));
        for (std::size_t i = 0; i < b.size(); ++i)
            b[i] = static_cast<std::uint8_t>(i * 31);
        return b;
    };

private:
    const double preroll_ms_;
    std::mutex lock_;
    std::condition_variable_any changed_;
    std::uint64_t recognition_ = 0;
    bool active_ = false;
    bool waiting_ = false;
    bool finished_ = false;
    double elapsed_ms_ = 0.0;
    double next_ms_ = 0.0;
    double max_ms_ = 0.0;
    double heard_ms_ = std::numeric_limits<double>::infinity();
    std::vector<double> dues_;
    std::vector<std::pair<double, double>> schedules_;
};

}  // namespace VextuneCore::Client::test
