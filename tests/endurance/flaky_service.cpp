#include "flaky_service.h"

#include <httplib.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

#include <nlohmann/json.hpp>

namespace VextuneTest {
namespace {

using json = nlohmann::json;

constexpr std::size_t kept_faults = 5;

// Text that is not a JSON object, in as many ways as a broken service or a
// proxy in between gives.
std::string Garbage(int variant, std::mt19937& random)
{
    switch (variant) {
    case 0: return "";
    case 1: return "<html><body><h1>502 Bad Gateway</h1></body></html>";
    case 2: return "[1, 2, 3]";
    case 3: return "null";
    case 4: return R"({"match": {"id": 3, "title": "cut)";
    case 5: {
        std::string bytes(64, '\0');
        for (char& c : bytes)
            c = static_cast<char>(random() & 0xff);
        return bytes;
    }
    case 6: return std::string(500, '[') + std::string(500, ']');
    case 7: return "{\"match\": \"\xff\xfe\"}";  // not UTF-8
    case 8: return R"({"retryms": 1e999})";      // out of range
    default: return R"({"match": 1}{"match": 2})";
    }
}

}  // namespace

const char* BehaviourName(Behaviour behaviour)
{
    switch (behaviour) {
    case Behaviour::Match: return "match";
    case Behaviour::Retry: return "retry";
    case Behaviour::ServerError: return "server error";
    case Behaviour::Dropped: return "dropped";
    case Behaviour::Stalled: return "stalled";
    case Behaviour::Garbage: return "garbage";
    case Behaviour::BadRetry: return "bad retryms";
    }
    return "?";
}

struct FlakyService::Answer {
    Behaviour behaviour = Behaviour::Match;
    int status = 200;
    std::string body;
    std::string type = "application/json";
};

FlakyService::FlakyService(FlakyServiceOptions options)
    : options_(options),
      server_(std::make_unique<httplib::Server>()),
      random_(options.seed),
      pick_(options.weights.begin(), options.weights.end())
{
    server_->Post("/recognize", [this](const httplib::Request& request, httplib::Response& response) {
        bool forced = false;
        Answer answer = Serve(request.body, &forced);
        if (answer.behaviour == Behaviour::Stalled) {
            std::unique_lock hold(lock_);
            forced_held_ += forced;
            changed_.notify_all();
            changed_.wait_for(hold, options_.stall, [&] { return stopping_; });
        }
        response.status = answer.status;
        if (answer.behaviour == Behaviour::Dropped) {
            // Half the body, then the connection goes: the answer's length
            // said more was coming.
            response.set_content_provider(
                answer.body.size(), answer.type,
                [body = std::move(answer.body)](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                    if (offset == 0)
                        sink.write(body.data(), body.size() / 2);
                    return false;
                });
            return;
        }
        response.set_content(answer.body, answer.type);
    });
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0)
        throw std::runtime_error("the flaky service could not bind a port of 127.0.0.1");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // stop() only stops a server whose loop runs.
    while (!server_->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

FlakyService::~FlakyService()
{
    {
        std::lock_guard hold(lock_);
        stopping_ = true;
    }
    changed_.notify_all();
    server_->stop();
    thread_.join();
}

std::string FlakyService::Uri() const
{
    return "http://127.0.0.1:" + std::to_string(port_) + "/recognize";
}

void FlakyService::StallNext()
{
    std::lock_guard hold(lock_);
    stall_next_ = true;
    ++forced_asked_;
}

bool FlakyService::WaitForStall(std::chrono::milliseconds limit)
{
    std::unique_lock hold(lock_);
    return changed_.wait_for(hold, limit, [&] { return forced_held_ == forced_asked_; });
}

MinuteLog FlakyService::Latest() const
{
    std::lock_guard hold(lock_);
    return latest_;
}

std::array<std::uint64_t, behaviour_count> FlakyService::Counts() const
{
    std::lock_guard hold(lock_);
    return counts_;
}

std::uint64_t FlakyService::Requests() const
{
    std::lock_guard hold(lock_);
    return requests_;
}

std::uint64_t FlakyService::Faults() const
{
    std::lock_guard hold(lock_);
    return faults_;
}

std::vector<std::string> FlakyService::FirstFaults() const
{
    std::lock_guard hold(lock_);
    return first_faults_;
}

// Under lock_.
void FlakyService::Fault(std::string what)
{
    ++faults_;
    if (first_faults_.size() < kept_faults)
        first_faults_.push_back("minute " + std::to_string(latest_.minute) + ", request " +
                                std::to_string(latest_.requests) + ": " + std::move(what));
}

// Under lock_.
void FlakyService::ScheduleFault(std::string what)
{
    if (latest_.schedule_faults.size() < kept_faults)
        latest_.schedule_faults.emplace_back(latest_.requests, std::move(what));
}

FlakyService::Answer FlakyService::Serve(const std::string& body, bool* forced)
{
    std::lock_guard hold(lock_);
    ++requests_;
    // One draw per request, whatever the request holds.
    Answer answer;
    answer.behaviour = static_cast<Behaviour>(pick_(random_));
    const int detail = static_cast<int>(random_() % 1000);
    if (stall_next_) {
        answer.behaviour = Behaviour::Stalled;
        stall_next_ = false;
        *forced = true;
    }

    // The request: the template of the day's recognitions, filled in.
    json request;
    try {
        request = json::parse(body);
    } catch (const json::exception& e) {
        request = nullptr;
    }
    const bool shaped = request.is_object() && request.contains("minute") && request["minute"].is_number_integer() &&
                        request.contains("samplems") && request["samplems"].is_number() &&
                        request.contains("signature") && request["signature"].is_string() &&
                        !request["signature"].get<std::string>().empty();
    const std::int64_t minute = shaped ? request["minute"].get<std::int64_t>() : -1;
    const double sample_ms = shaped ? request["samplems"].get<double>() : 0;
    if (minute != latest_.minute || !shaped) {
        latest_ = MinuteLog{};
        latest_.minute = minute;
        asked_ms_.reset();
        failed_ = false;
        last_sample_ms_ = 0;
    }
    ++latest_.requests;
    if (!shaped) {
        Fault("the body is not the template filled in: " + body.substr(0, 200));
    } else if (latest_.requests == 1) {
        // The first signature: the first packet past the minimum.
        if (!(sample_ms > options_.min_sample_ms && sample_ms <= options_.min_sample_ms + options_.packet_ms))
            ScheduleFault("the first sample is " + std::to_string(sample_ms) + " ms");
    } else if (asked_ms_ && !failed_) {
        // After "retryms": the first packet past what was asked (capped at
        // the maximum), or the next packet when the sample was already past.
        // Once an attempt failed the client keeps a schedule of its own.
        const double due = std::min(*asked_ms_, options_.max_sample_ms);
        if (!(sample_ms > due && sample_ms <= std::max(due, last_sample_ms_) + options_.packet_ms))
            ScheduleFault("asked for " + std::to_string(*asked_ms_) + " ms after " + std::to_string(last_sample_ms_) +
                          " ms, got " + std::to_string(sample_ms) + " ms");
    }
    last_sample_ms_ = sample_ms;
    asked_ms_.reset();

    const json echo = minute;
    switch (answer.behaviour) {
    case Behaviour::Match:
        answer.body = json{{"match", {{"id", detail}, {"score", 0.5 + detail / 2000.0}}}, {"minute", echo}}.dump();
        break;
    case Behaviour::Retry: {
        const int asked = 1000 + detail * 14;  // 1 to 15 s: below, within and past the maximum
        asked_ms_ = asked;
        answer.body = json{{"retryms", asked}, {"minute", echo}}.dump();
        break;
    }
    case Behaviour::ServerError: {
        static constexpr int statuses[] = {500, 502, 503};
        answer.status = statuses[detail % 3];
        if (detail % 2 == 0) {
            answer.body = json{{"error", "the catalogue is unavailable"}, {"minute", echo}}.dump();
        } else {
            answer.body = "<html><body>Service Unavailable</body></html>";
            answer.type = "text/html";
        }
        break;
    }
    case Behaviour::Dropped: answer.body = json{{"match", {{"id", detail}}}, {"minute", echo}}.dump(); break;
    case Behaviour::Stalled: answer.body = json{{"match", {{"id", detail}}}, {"minute", echo}}.dump(); break;
    case Behaviour::Garbage: answer.body = Garbage(detail % 10, random_); break;
    case Behaviour::BadRetry:
        latest_.bad_retry = true;
        answer.body = json{{"retryms", "soon"}, {"minute", echo}}.dump();
        break;
    }
    if (answer.behaviour != Behaviour::Match && answer.behaviour != Behaviour::Retry)
        failed_ = true;
    latest_.answered.push_back(answer.behaviour);
    ++counts_[static_cast<std::size_t>(answer.behaviour)];
    // What the client will have read as a JSON object.
    const bool seen = answer.behaviour != Behaviour::Dropped && answer.behaviour != Behaviour::Stalled &&
                      answer.behaviour != Behaviour::Garbage && answer.type == "application/json";
    if (seen)
        latest_.last_object = answer.body;
    return answer;
}

}  // namespace VextuneTest
