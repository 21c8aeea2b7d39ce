// Clocks: the millisecond tick that times captures and recognitions, and
// the wall clock that dates signatures.
//
// Logic never reads std::chrono clocks itself; it is handed a Clock, so that
// tests run it on simulated time.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

namespace VextuneCore::Platform {

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds of a monotonic counter; any origin. Any thread.
    virtual std::uint64_t TickMs() = 0;
    // Microseconds since 1970-01-01 UTC. Any thread.
    virtual double WallClockUs() = 0;
};

// The machine's clocks: steady_clock and system_clock.
std::shared_ptr<Clock> SystemClock();

// Time that moves only when told to, both clocks together. Thread-safe.
class SimulatedClock final : public Clock {
public:
    explicit SimulatedClock(std::uint64_t start_tick_ms = 1000, double start_wall_us = 1.7e15);

    std::uint64_t TickMs() override;
    double WallClockUs() override;
    void Advance(std::uint64_t ms);

private:
    std::mutex lock_;
    std::uint64_t tick_ms_;
    double wall_at_zero_us_;
};

}  // namespace VextuneCore::Platform
