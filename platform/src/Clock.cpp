#include "vextune/platform/Clock.h"

#include <chrono>

namespace VextuneCore::Platform {
namespace {

class MachineClock final : public Clock {
public:
    std::uint64_t TickMs() override
    {
        using namespace std::chrono;
        return static_cast<std::uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
    }

    double WallClockUs() override
    {
        using namespace std::chrono;
        return static_cast<double>(duration_cast<microseconds>(system_clock::now().time_since_epoch()).count());
    }
};

}  // namespace

std::shared_ptr<Clock> SystemClock()
{
    static const std::shared_ptr<Clock> clock = std::make_shared<MachineClock>();
    return clock;
}

SimulatedClock::SimulatedClock(std::uint64_t start_tick_ms, double start_wall_us)
    : tick_ms_(start_tick_ms), wall_at_zero_us_(start_wall_us - static_cast<double>(start_tick_ms) * 1000.0)
{}

std::uint64_t SimulatedClock::TickMs()
{
    std::lock_guard hold(lock_);
    return tick_ms_;
}

double SimulatedClock::WallClockUs()
{
    std::lock_guard hold(lock_);
    return wall_at_zero_us_ + static_cast<double>(tick_ms_) * 1000.0;
}

void SimulatedClock::Advance(std::uint64_t ms)
{
    std::lock_guard hold(lock_);
    tick_ms_ += ms;
}

}  // namespace VextuneCore::Platform
