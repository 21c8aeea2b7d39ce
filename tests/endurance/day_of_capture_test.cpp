// A day of capture on simulated time: a music clip played in a loop as the
// microphone, through the API, with a recognition every minute against a
// service that misbehaves at seeded random (see flaky_service.h). Every
// recognition has to end, within seconds, with a well-formed result
// document (or, for a "retryms" that is not a number, the JSON error that
// earns), the service has to see each attempt's sample exactly as long as
// the schedule makes it, and memory has to stay flat from hour to hour.
//
// The pace of the recording is the test's: between recognitions it runs to
// the next minute; while a recognition is under way it plays one packet each
// time the recognition waits for a signature and stands still while the
// attempt is on the network, so that the day is the same on every machine.
//
// VXT_DAY_HOURS sets the length of the day (24 when unset).
#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "flaky_service.h"
#include "vextune/platform/FileAudioDevices.h"
#include "vextune/runtime/API.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VXT_SANITIZER_ALLOCATOR 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VXT_SANITIZER_ALLOCATOR 1
#endif
#ifdef VXT_SANITIZER_ALLOCATOR
#if __has_include(<sanitizer/allocator_interface.h>)
#include <sanitizer/allocator_interface.h>
#else
// The sanitizer runtime's own count (GCC installs no header for it).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif
#endif

namespace VextuneCore::test {
namespace {

using namespace Platform;
using Client::AsyncStatus;
using Client::RecognitionCanceled;
using Client::RecognitionError;
using json = nlohmann::json;
using std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::uint64_t minute_ms = 60'000;
constexpr double min_sample_ms = 3000;
constexpr double max_sample_ms = 12000;
constexpr double packet_ms = 20;
// How long anything of one minute may take on a loaded machine under
// sanitizers: far beyond ten attempts that each wait out the client's
// time-out.
constexpr auto bound = 60s;
// How much the heap may grow from the end of the warm-up to the end of the
// day: a leak of 200 bytes a recognition crosses it.
constexpr std::size_t memory_slack_bytes = std::size_t{256} << 10;

int DayHours()
{
    const char* text = std::getenv("VXT_DAY_HOURS");
    const int hours = text ? std::atoi(text) : 24;
    return hours > 0 ? hours : 24;
}

// Bytes of the heap in use: the sanitizer's own count in a sanitizer build
// (its allocator stands in for malloc), else malloc's, which counts the
// main arena only: SingleArena, before any thread starts, puts every
// thread's allocations there.
void SingleArena()
{
#ifndef VXT_SANITIZER_ALLOCATOR
    mallopt(M_ARENA_MAX, 1);
#endif
}

std::size_t HeapInUse()
{
#ifdef VXT_SANITIZER_ALLOCATOR
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

template <typename Condition>
bool WaitFor(Condition condition, std::chrono::seconds limit)
{
    const auto give_up = steady_clock::now() + limit;
    while (!condition()) {
        if (steady_clock::now() > give_up)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

std::string Request(const std::string& uri, std::int64_t minute)
{
    return json{{"tag", {{"href", uri}, {"maxsamplems", max_sample_ms}, {"minsamplems", min_sample_ms}}},
                {"tagid", "minute-" + std::to_string(minute)},
                {"data", {{"signature", "{sigdata}"}, {"samplems", "{samplems}"}, {"minute", minute}}}}
        .dump();
}

bool IsNumber(const json& object, const char* key)
{
    return object.contains(key) && object[key].is_number() && object[key].get<double>() >= 0;
}

// The result document of one minute's recognition, against what the
// service saw of it. Failures name the document.
void CheckDocument(const std::string& text, std::int64_t minute, const std::string& uri,
                   const VextuneTest::MinuteLog& seen)
{
    SCOPED_TRACE(text.substr(0, 2000));
    json document;
    ASSERT_NO_THROW(document = json::parse(text));
    ASSERT_TRUE(document.is_object());
    ASSERT_EQ(document.size(), 1u);
    const bool answered = document.contains("tag");
    ASSERT_TRUE(answered || document.contains("pendingTag"));
    const json& body = answered ? document["tag"] : document["pendingTag"];
    ASSERT_TRUE(body.is_object());
    ASSERT_TRUE(body.contains("info") && body["info"].is_object());
    const json& info = body["info"];

    EXPECT_EQ(info.value("network", ""), "wifi");
    EXPECT_EQ(info.value("rectype", ""), "network");
    EXPECT_EQ(info.value("tagid", ""), "minute-" + std::to_string(minute));
    ASSERT_TRUE(info.contains("unsubmitted") && info["unsubmitted"].is_boolean());
    EXPECT_EQ(info["unsubmitted"].get<bool>(), !answered);
    for (const char* key : {"requestsize", "samplelength", "sigsize", "samplestartms", "requesttime", "recordtime"})
        EXPECT_TRUE(IsNumber(info, key)) << key;
    for (const char* key : {"responsetime", "latency", "responsesize"}) {
        if (info.contains(key)) {
            EXPECT_TRUE(IsNumber(info, key)) << key;
        }
    }
    const double sample_ms = info.value("samplelength", 0.0);
    EXPECT_GT(sample_ms, min_sample_ms);
    // Past the maximum only by a packet for each "retryms" that asked for
    // more once the sample could not grow.
    EXPECT_LE(sample_ms, max_sample_ms + Client::RecognitionOperation::attempt_limit * packet_ms);
    EXPECT_GT(info.value("sigsize", 0.0), 0.0);
    EXPECT_FALSE(info.contains("code"));

    if (answered) {
        // The service's latest JSON object, as it was sent.
        ASSERT_TRUE(body.contains("response") && body["response"].is_object());
        ASSERT_FALSE(seen.last_object.empty()) << "an answer the service never sent";
        EXPECT_EQ(body["response"], json::parse(seen.last_object));
        return;
    }
    // The request of the last attempt, ready to be sent again.
    ASSERT_TRUE(body.contains("request") && body["request"].is_object());
    const json& request = body["request"];
    EXPECT_EQ(request.value("href", ""), uri);
    ASSERT_TRUE(request.contains("data") && request["data"].is_string());
    const std::string data = request["data"].get<std::string>();
    EXPECT_EQ(info.value("requestsize", 0.0), static_cast<double>(data.size()));  // ASCII only
    json sent;
    ASSERT_NO_THROW(sent = json::parse(data));
    EXPECT_EQ(sent.value("minute", std::int64_t{-1}), minute);
    EXPECT_EQ(sent.value("samplems", 0.0), sample_ms);
    EXPECT_FALSE(sent.value("signature", "").empty());
}

// What the recognition told its diagnostics of one minute: the attempts
// that failed, and whether each was a time-out.
class FailedAttempts {
public:
    void Clear()
    {
        std::lock_guard hold(lock_);
        attempts_.clear();
    }
    // A line "attempt N: ..." (the recognition's own format).
    void Said(const std::string& line)
    {
        std::lock_guard hold(lock_);
        ++said_;
        int attempt = 0;
        if (std::sscanf(line.c_str(), "attempt %d:", &attempt) != 1 || attempt < 1) {
            unparsed_.push_back(line);
            return;
        }
        const bool timed_out = line.find("imeout") != std::string::npos || line.find("timed out") != std::string::npos;
        attempts_.emplace_back(attempt, timed_out);
    }
    std::vector<std::pair<int, bool>> Attempts() const
    {
        std::lock_guard hold(lock_);
        return attempts_;
    }
    std::uint64_t Said() const
    {
        std::lock_guard hold(lock_);
        return said_;
    }
    std::vector<std::string> Unparsed() const
    {
        std::lock_guard hold(lock_);
        return unparsed_;
    }

private:
    mutable std::mutex lock_;
    std::vector<std::pair<int, bool>> attempts_;  // attempt (from 1), timed out
    std::vector<std::string> unparsed_;
    std::uint64_t said_ = 0;
};

// Checks what the client told of a minute against what the service did:
// every attempt the service broke (a dropped connection, a stall, garbage)
// was told as failed; an attempt it answered properly failed only by a
// time-out (a machine too loaded to finish the exchange in time), and only
// such a late answer excuses a sample off the schedule. Returns the late
// answers.
int CheckFailures(const VextuneTest::MinuteLog& seen, const std::vector<std::pair<int, bool>>& told)
{
    using VextuneTest::Behaviour;
    int late = 0;
    int first_late = INT_MAX;
    for (std::size_t i = 0; i < seen.answered.size(); ++i) {
        const int attempt = static_cast<int>(i) + 1;
        const auto it = std::find_if(told.begin(), told.end(), [&](const auto& t) { return t.first == attempt; });
        const Behaviour b = seen.answered[i];
        if (b == Behaviour::Dropped || b == Behaviour::Stalled || b == Behaviour::Garbage) {
            EXPECT_NE(it, told.end()) << "attempt " << attempt << " (" << VextuneTest::BehaviourName(b)
                                      << ") was not told as failed";
        }
        if ((b == Behaviour::Match || b == Behaviour::Retry) && it != told.end()) {
            EXPECT_TRUE(it->second) << "attempt " << attempt << " was answered (" << VextuneTest::BehaviourName(b)
                                    << ") and failed otherwise than by a time-out";
            ++late;
            first_late = std::min(first_late, attempt);
        }
    }
    for (const auto& [request, what] : seen.schedule_faults) {
        if (request <= first_late)
            ADD_FAILURE() << "request " << request << ": " << what;
    }
    return late;
}

TEST(DayOfCapture, RecognitionEveryMinute)
{
    SingleArena();
    const int hours = DayHours();
    VextuneTest::FlakyServiceOptions service_options;
    service_options.seed = 20240601;
    service_options.min_sample_ms = min_sample_ms;
    service_options.max_sample_ms = max_sample_ms;
    service_options.packet_ms = packet_ms;
    VextuneTest::FlakyService service(service_options);

    auto clock = std::make_shared<SimulatedClock>();
    auto pace = std::make_shared<PlaybackPace>();
    FileDeviceOptions device_options;
    device_options.clock = clock;
    device_options.pace = pace;
    device_options.loop = true;
    auto devices = std::make_shared<FileAudioDevices>(
        std::string(VXT_TEST_DATA_DIR) + "/audio/electronic-torustrooper-tt1.flac", device_options);

    FailedAttempts told;
    ApiOptions options;
    options.devices = devices;
    options.clock = clock;
    options.http_options.connect_timeout_ms = 2000;
    // A stalled request (held longer than this) fails its attempt.
    options.http_options.total_timeout_ms = 2000;
    options.network_kind = [] { return std::string("wifi"); };
    options.diagnostics = [&](const std::string& line) { told.Said(line); };
    API api(options);
    api.InitializeCapture();
    const auto capture = api.Capture();
    ASSERT_NE(capture, nullptr);
    ASSERT_TRUE(WaitFor([&] { return capture->GetState() == DeviceState::Initialized; }, bound));
    api.StartCapture();
    ASSERT_TRUE(WaitFor([&] { return capture->GetState() == DeviceState::Capturing; }, bound));
    ASSERT_TRUE(pace->WaitUntilHeld(bound));
    const std::uint64_t origin = clock->TickMs();

    std::vector<std::size_t> heap;  // at the start of each hour, and at the end
    int completed = 0, unsubmitted = 0, failed = 0, cancelled = 0, attempts = 0, late = 0;
    auto slowest = steady_clock::duration::zero();
    for (std::int64_t minute = 0; minute < hours * 60; ++minute) {
        SCOPED_TRACE("minute " + std::to_string(minute));
        const auto started = steady_clock::now();
        if (minute % 60 == 0) {
            heap.push_back(HeapInUse());
            // Once an hour the capture is stopped and started again: the
            // recording goes on where it stopped.
            if (minute != 0) {
                api.StopCapture();
                ASSERT_TRUE(WaitFor([&] { return capture->GetState() == DeviceState::Stopped; }, bound));
                api.StartCapture();
                ASSERT_TRUE(WaitFor([&] { return capture->GetState() == DeviceState::Capturing; }, bound));
            }
        }
        // The recording runs to the minute; a recognition takes at most
        // the maximum sample, so the minute is never overrun.
        pace->AllowUntil(origin + static_cast<std::uint64_t>(minute) * minute_ms);
        ASSERT_TRUE(pace->WaitUntilHeld(bound));
        ASSERT_EQ(clock->TickMs(), origin + static_cast<std::uint64_t>(minute) * minute_ms);

        // Once an hour a recognition is cancelled while the service holds
        // its first attempt.
        const bool cancel = minute % 60 == 30;
        if (cancel)
            service.StallNext();
        told.Clear();
        const auto operation = api.RecognizeAsync(Request(service.Uri(), minute));
        std::stop_source ended;
        operation->OnCompleted([ended](AsyncStatus) mutable { ended.request_stop(); });
        while (capture->WaitUntilArmed(ended.get_token(), bound)) {
            const std::uint64_t made = capture->SignaturesMade();
            pace->AllowPackets(1);
            ASSERT_TRUE(pace->WaitUntilHeld(bound));
            if (cancel && capture->SignaturesMade() != made) {
                ASSERT_TRUE(service.WaitForStall(bound));
                ASSERT_TRUE(api.CancelRecognition());
                EXPECT_EQ(operation->Status(), AsyncStatus::Canceled);
                EXPECT_THROW(operation->Get(), RecognitionCanceled);
                ++cancelled;
                break;
            }
        }
        ASSERT_NE(operation->Status(), AsyncStatus::Started) << "neither waiting for a signature nor ended";
        const VextuneTest::MinuteLog seen = service.Latest();
        ASSERT_EQ(seen.minute, minute) << "the service never saw this minute";
        if (cancel)
            continue;
        attempts += operation->Attempts();
        const auto failures = told.Attempts();
        if (seen.requests == operation->Attempts()) {
            late += CheckFailures(seen, failures);
        } else {
            // Only an attempt that timed out before its request was read
            // (a machine so loaded) can miss the service.
            const bool timed_out =
                std::any_of(failures.begin(), failures.end(), [](const auto& f) { return f.second; });
            EXPECT_TRUE(seen.requests < operation->Attempts() && timed_out)
                << "the service saw " << seen.requests << " requests of " << operation->Attempts() << " attempts";
            ++late;
        }
        if (operation->Status() == AsyncStatus::Completed) {
            const std::string document = operation->Get();
            CheckDocument(document, minute, service.Uri(), seen);
            ++completed;
            unsubmitted += document.find("\"pendingTag\"") != std::string::npos;
        } else {
            ASSERT_EQ(operation->Status(), AsyncStatus::Error);
            try {
                operation->Get();
            } catch (const RecognitionError& e) {
                EXPECT_EQ(e.ErrorKind(), RecognitionError::Kind::Json) << e.what();
                EXPECT_TRUE(seen.bad_retry) << "failed without being sent a bad \"retryms\": " << e.what();
                ++failed;
            }
        }
        if (HasFatalFailure() || ::testing::Test::HasFailure())
            return;  // one minute's account is enough
        slowest = std::max(slowest, steady_clock::now() - started);
    }
    api.StopCapture();
    ASSERT_TRUE(WaitFor([&] { return capture->GetState() == DeviceState::Stopped; }, bound));
    heap.push_back(HeapInUse());

    const auto counts = service.Counts();
    std::string answered;
    for (std::size_t b = 0; b < counts.size(); ++b)
        answered += std::string(b ? ", " : "") + VextuneTest::BehaviourName(static_cast<VextuneTest::Behaviour>(b)) +
                    " " + std::to_string(counts[b]);
    std::string heap_text;
    for (std::size_t h = 0; h < heap.size(); ++h)
        heap_text += (h ? " " : "") + std::to_string(heap[h] / 1024);
    std::cout << hours << " h of audio: " << completed << " results (" << unsubmitted << " unsubmitted), " << failed
              << " JSON errors, " << cancelled << " cancelled; " << attempts << " attempts (" << answered << "), "
              << told.Said() << " failed attempts told, " << late << " answers too late; slowest minute "
              << std::chrono::duration_cast<std::chrono::milliseconds>(slowest).count() << " ms\n"
              << "heap in use each hour, KiB: " << heap_text << "\n";

    EXPECT_EQ(service.Faults(), 0u);
    EXPECT_EQ(told.Unparsed(), std::vector<std::string>{});
    for (const std::string& fault : service.FirstFaults())
        ADD_FAILURE() << fault;
    EXPECT_LT(slowest, bound);
    // Every behaviour was met over the day.
    for (std::size_t b = 0; b < counts.size(); ++b)
        EXPECT_GT(counts[b], 0u) << VextuneTest::BehaviourName(static_cast<VextuneTest::Behaviour>(b));
    // Flat after the warm-up (the first hour): hour 1 against every later
    // sample; a day of one hour has nothing to compare.
    if (heap.size() >= 3) {
        const std::size_t peak = *std::max_element(heap.begin() + 2, heap.end());
        EXPECT_LE(peak, heap[1] + memory_slack_bytes) << "heap in use each hour, KiB: " << heap_text;
    }
}

}  // namespace
}  // namespace VextuneCore::test
