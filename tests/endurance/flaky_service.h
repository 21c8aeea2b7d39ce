// A recognition service on 127.0.0.1 that misbehaves at seeded random, for
// the day of capture: each POST /recognize is answered, from one draw of a
// fixed-seed generator, with a match, a request for a longer sample
// ("retryms"), a server error, a dropped connection, a stall longer than
// the client waits, garbage, or a "retryms" that is not a number.
// Stalls are rare: each costs the client's time-out in real time.
//
// Requests come one recognition at a time, so the draws, and with them the
// whole day, repeat from run to run. The service keeps counts only (never
// the requests), so that its memory stays flat however long it runs, and
// checks each request as it arrives: the body is the template filled in
// (a signature, a sample length, the recognition's "minute"), and after it
// asked for more the next sample is exactly as long as the capture's
// schedule makes it on simulated time.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace httplib {
class Server;
}

namespace VextuneTest {

enum class Behaviour : std::uint8_t {
    Match,        // 200, {"match": ..., "minute": M}
    Retry,        // 200, {"retryms": R, "minute": M}
    ServerError,  // 500, 502 or 503, with JSON, HTML or nothing
    Dropped,      // the connection closes before the whole answer was sent
    Stalled,      // nothing until after the client gave up, then a match
    Garbage,      // not a JSON object
    BadRetry,     // {"retryms": "soon"}: the recognition fails with a JSON error
};
inline constexpr std::size_t behaviour_count = 7;
const char* BehaviourName(Behaviour behaviour);

struct FlakyServiceOptions {
    std::uint32_t seed = 1;
    // Relative weights of the behaviours, in the order of the enum.
    std::array<unsigned, behaviour_count> weights{80, 60, 16, 12, 1, 20, 4};
    // How long a stalled request is held: longer than the client waits.
    std::chrono::milliseconds stall{2500};
    // The request's sample lengths, as the request description gives them.
    double min_sample_ms = 3000;
    double max_sample_ms = 12000;
    // The length of one packet of the capture: how far past a due time the
    // signature may be taken.
    double packet_ms = 20;
};

// What a recognition of one minute met, as the service saw it.
struct MinuteLog {
    std::int64_t minute = -1;
    int requests = 0;
    bool bad_retry = false;           // the recognition was sent a "retryms" that is not a number
    std::vector<Behaviour> answered;  // per request, in order
    std::string last_object;          // the latest JSON object the client was sent, compact
    // Samples not as long as the schedule makes them (the first few). An
    // answer that reached the client too late, on a machine so loaded that
    // the exchange outlasted the client's time-out, shifts the schedule
    // too: the test tells the two apart.
    std::vector<std::pair<int, std::string>> schedule_faults;  // request (from 1), what
};

class FlakyService {
public:
    explicit FlakyService(FlakyServiceOptions options = {});
    // Stops the server; stalled requests are let go at once.
    ~FlakyService();
    FlakyService(const FlakyService&) = delete;
    FlakyService& operator=(const FlakyService&) = delete;

    std::string Uri() const;

    // The next request is stalled whatever the draw (the draw is still
    // made, so that the sequence after it does not shift).
    void StallNext();
    // Waits until the request StallNext meant is being held; false after
    // limit.
    bool WaitForStall(std::chrono::milliseconds limit);

    // The log of the latest minute seen (the recognition under way or just
    // ended), and counts over the whole run.
    MinuteLog Latest() const;
    std::array<std::uint64_t, behaviour_count> Counts() const;
    std::uint64_t Requests() const;
    // Requests whose body broke the rule above, and the first few of them,
    // said.
    std::uint64_t Faults() const;
    std::vector<std::string> FirstFaults() const;

private:
    struct Answer;
    Answer Serve(const std::string& body, bool* forced);
    void Fault(std::string what);
    void ScheduleFault(std::string what);

    FlakyServiceOptions options_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;

    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::mt19937 random_;
    std::discrete_distribution<int> pick_;
    bool stall_next_ = false;
    std::uint64_t forced_asked_ = 0;  // stalls StallNext asked for
    std::uint64_t forced_held_ = 0;   // those that have begun
    bool stopping_ = false;
    MinuteLog latest_;
    double last_sample_ms_ = 0;
    std::optional<double> asked_ms_;  // the "retryms" of the latest answer of this minute
    bool failed_ = false;             // an attempt of this minute was not answered with a match or "retryms"
    std::array<std::uint64_t, behaviour_count> counts_{};
    std::uint64_t requests_ = 0;
    std::uint64_t faults_ = 0;
    std::vector<std::string> first_faults_;
};

}  // namespace VextuneTest
