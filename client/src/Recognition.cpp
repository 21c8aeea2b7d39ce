#include "vextune/client/Recognition.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "vextune/client/NetworkKind.h"
#include "vextune/client/RequestText.h"
#include "vextune/protocol/Answer.h"
#include "vextune/protocol/Json.h"
#include "vextune/protocol/Request.h"

namespace VextuneCore::Client {
namespace {

using json = nlohmann::ordered_json;

using vxt::protocol::WholeMs;

// A measurement: whole values as integers, others as reals.
json Number(double value)
{
    if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 9007199254740992.0)
        return static_cast<std::int64_t>(value);
    return value;
}

json Number(std::uint64_t value)
{
    return value;
}

// The "retryms" of an answer object, if any, in whole milliseconds; one
// that is not a number fails the operation.
std::optional<std::int32_t> RetryMs(const json& answer)
{
    try {
        return vxt::protocol::ReadRetryMs(answer);
    } catch (const vxt::protocol::Error& e) {
        throw RecognitionError(RecognitionError::Kind::Json, e.what());
    }
}

// The answer text as a JSON object, within the reader's bounds; nothing,
// with why saying what it is instead ("is not a JSON object", "is not
// JSON: ...", "nests arrays and objects more than 64 deep", ...).
std::optional<json> AnswerObject(std::string_view text, std::string& why)
{
    try {
        json answer = vxt::protocol::ReadOrderedJson(text);
        if (answer.is_object())
            return answer;
        why = "is not a JSON object";
    } catch (const vxt::protocol::Error& e) {
        why = e.what();
    }
    return std::nullopt;
}

// What a service that failed says of it: the "error" text of a JSON object
// answer, cut to 200 bytes (never inside a character) with control
// characters shown as spaces, so that it stays one line of a log; empty
// when there is none.
std::string ServiceReason(std::string_view body)
{
    std::string why;
    const std::optional<json> answer = AnswerObject(body, why);
    if (!answer)
        return {};
    const auto error = answer->find(vxt::protocol::error_member);
    if (error == answer->end() || !error->is_string())
        return {};
    std::string text = error->get<std::string>();
    constexpr std::size_t kLongest = 200;
    if (text.size() > kLongest) {
        std::size_t cut = kLongest;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
            --cut;
        text.resize(cut);
        text += "...";
    }
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = ' ';
    return text;
}

// The sample time at which the attempt after a failed one is due. Once an
// attempt has failed the result is unsubmitted whatever comes, and later
// attempts only lengthen the request it carries; so each waits until the
// sample has doubled (and grown by a second at least), and the last one
// the attempt limit leaves waits for the maximum. A failing service then
// sees a few requests spaced in sample time (3, 6 and 12 s for a request
// of 3 to 12 s), and the request kept holds the longest signature the
// limits allow.
double DueAfterFailure(double sample_ms, double max_sample_ms, int attempts_left)
{
    if (attempts_left <= 1)
        return max_sample_ms;
    return std::min(max_sample_ms, sample_ms + std::max(sample_ms, RecognitionOperation::failed_retry_spacing_ms));
}

}  // namespace

RequestDescription ReadRequestDescription(std::string_view text)
{
    json input;
    try {
        input = vxt::protocol::ReadOrderedJson(text);
    } catch (const vxt::protocol::Error& e) {  // not JSON, or past a bound
        throw RecognitionError(RecognitionError::Kind::Json, std::string("the request ") + e.what());
    }
    const auto require = [](bool ok, const char* what) {
        if (!ok)
            throw RecognitionError(RecognitionError::Kind::Json, std::string("the request needs ") + what);
    };
    require(input.is_object(), "to be a JSON object");
    require(input.contains("tag") && input["tag"].is_object(), "a \"tag\" object");
    const json& tag = input["tag"];
    require(input.contains("tagid") && input["tagid"].is_string(), "a \"tagid\" string");
    require(input.contains("data") && input["data"].is_object(), "a \"data\" object");
    require(tag.contains("maxsamplems") && tag["maxsamplems"].is_number(), "a number \"tag\".\"maxsamplems\"");
    require(tag.contains("minsamplems") && tag["minsamplems"].is_number(), "a number \"tag\".\"minsamplems\"");
    RequestDescription d;
    d.href_json = tag.contains("href") ? tag["href"].dump() : "null";
    d.href_is_string = tag.contains("href") && tag["href"].is_string();
    if (d.href_is_string)
        d.href = tag["href"].get<std::string>();
    d.tagid = input["tagid"].get<std::string>();
    d.request_template = input["data"].dump();
    d.max_sample_ms = WholeMs(tag["maxsamplems"].get<double>());
    d.min_sample_ms = WholeMs(tag["minsamplems"].get<double>());
    return d;
}

std::optional<std::string> ReadAnswer(std::string_view text, std::optional<std::int32_t>* retry_ms)
{
    std::string why;
    const std::optional<json> answer = AnswerObject(text, why);
    if (!answer)
        return std::nullopt;
    if (retry_ms)
        *retry_ms = RetryMs(*answer);
    return answer->dump();
}

struct RecognitionOperation::Shared {
    mutable std::mutex lock;
    std::condition_variable ended;
    AsyncStatus status = AsyncStatus::Started;
    std::string result;
    std::optional<RecognitionError> error;
    std::vector<std::function<void(AsyncStatus)>> callbacks;
    int attempts = 0;

    // Ends the operation once; later endings change nothing.
    void End(AsyncStatus new_status, std::string text = {}, std::optional<RecognitionError> failure = {})
    {
        std::vector<std::function<void(AsyncStatus)>> run;
        {
            std::lock_guard hold(lock);
            if (status != AsyncStatus::Started)
                return;
            status = new_status;
            result = std::move(text);
            error = std::move(failure);
            run.swap(callbacks);
        }
        ended.notify_all();
        for (auto& callback : run)
            callback(new_status);
    }
};

namespace {

using Shared = RecognitionOperation::Shared;

// The body of one recognition. Everything it writes is its own; of the
// signature source it uses only its own recognition (by id).
class Body {
public:
    Body(std::string request, std::shared_ptr<Capture::SignatureSource> capture, RecognitionServices services,
         std::shared_ptr<Shared> shared)
        : request_(std::move(request)),
          capture_(std::move(capture)),
          services_(std::move(services)),
          shared_(std::move(shared))
    {}

    void Run(std::stop_token stop)
    {
        try {
            RunAttempts(stop);
        } catch (const RecognitionError& e) {
            EndRecognition();
            shared_->End(AsyncStatus::Error, {}, e);
        } catch (const std::exception& e) {
            // Not the request's fault: nothing of it is read here.
            EndRecognition();
            shared_->End(AsyncStatus::Error, {}, RecognitionError(RecognitionError::Kind::Internal, e.what()));
        }
    }

private:
    std::uint64_t Tick() { return services_.clock->TickMs(); }

    // Why an attempt failed, for the caller's log; never part of the result.
    void Say(int attempt, const std::string& what)
    {
        if (!services_.diagnostics)
            return;
        try {
            services_.diagnostics("attempt " + std::to_string(attempt) + ": " + what);
        } catch (...) {  // a log that fails changes nothing of the recognition
        }
    }

    void EndRecognition()
    {
        if (capture_ && recognition_)
            capture_->EndRecognition(*recognition_);
    }

    void Canceled()
    {
        EndRecognition();
        shared_->End(AsyncStatus::Canceled);
    }

    // The request description: "tag" and "data" objects, "tagid" a string,
    // the two sample lengths numbers. Nothing of the capture is touched
    // before it has been read whole.
    void ReadRequest() { description_ = ReadRequestDescription(request_); }

    void RunAttempts(std::stop_token stop)
    {
        const std::uint64_t operation_start = Tick();
        ReadRequest();
        if (!capture_)
            throw RecognitionError(RecognitionError::Kind::NoCapture,
                                   "no capture: call InitializeCapture before RecognizeAsync");

        info_ = json::object();
        info_["network"] = services_.network_kind ? services_.network_kind() : NetworkKind();
        info_["rectype"] = "network";
        info_["unsubmitted"] = false;
        info_["tagid"] = description_.tagid;
        recognition_ = capture_->BeginRecognition(description_.min_sample_ms, description_.max_sample_ms);

        bool retry = true;
        bool failed = false;
        json answer;
        std::optional<double> due;  // the capture's own schedule for the first
        int attempts = 0;
        while (retry && attempts < RecognitionOperation::attempt_limit) {
            ++attempts;
            {
                std::lock_guard hold(shared_->lock);
                shared_->attempts = attempts;
            }
            const auto signature = capture_->WaitForSignature(*recognition_, due, stop);
            if (!signature || stop.stop_requested())
                return Canceled();
            due.reset();
            std::optional<json> reply;
            if (!Attempt(attempts, *signature, stop, reply))
                failed = true;
            if (stop.stop_requested())
                return Canceled();

            if (failed) {
                // Once an attempt has failed the result is unsubmitted; the
                // attempts go on while the sample can still grow, spaced
                // as DueAfterFailure says.
                retry = signature->sample_ms < description_.max_sample_ms && !signature->final;
                if (retry)
                    due = DueAfterFailure(signature->sample_ms, description_.max_sample_ms,
                                          RecognitionOperation::attempt_limit - attempts);
                continue;
            }
            answer = std::move(*reply);
            const std::optional<std::int32_t> retry_ms = RetryMs(answer);
            retry = retry_ms.has_value();
            if (retry)
                due = *retry_ms;
            // A recording that has ended has nothing longer to offer: its
            // last signature's answer is the result.
            if (signature->final)
                retry = false;
        }

        EndRecognition();
        info_["recordtime"] = Number(Tick() - operation_start);
        if (info_.contains("sigsize") && info_["sigsize"].get<double>() < 1.0)
            info_["code"] = "invalidsignature";
        json document;
        if (failed) {
            info_["unsubmitted"] = true;
            document["pendingTag"] = {
                {"request", {{"data", request_body_}, {"href", json::parse(description_.href_json)}}}, {"info", info_}};
        } else {
            document["tag"] = {{"response", std::move(answer)}, {"info", info_}};
        }
        shared_->End(AsyncStatus::Completed, document.dump());
    }

    // One attempt: the signature in the template, posted to the service.
    // True with reply set to the answer object; false for a failed attempt,
    // whose reason goes to the diagnostics.
    bool Attempt(int attempt, const Capture::CapturedSignature& signature, std::stop_token stop,
                 std::optional<json>& reply)
    {
        if (!description_.href_is_string) {
            Say(attempt, "\"href\" is not a string: " + description_.href_json);
            return false;
        }

        request_body_ = vxt::protocol::RequestText(description_.request_template, signature.bytes, signature.sample_ms);
        info_["requestsize"] = Number(static_cast<double>(Utf16Length(request_body_)));
        info_["samplelength"] = Number(signature.sample_ms);
        info_["sigsize"] = Number(static_cast<double>(signature.bytes.size()));
        const auto wall_ms = static_cast<std::int64_t>(services_.clock->WallClockUs()) / 1000;
        info_["samplestartms"] = Number(static_cast<double>(wall_ms - static_cast<std::int64_t>(signature.sample_ms)));

        const std::string post = "POST " + description_.href + ": ";
        const std::uint64_t request_start = Tick();
        HttpResult result;
        try {
            result = services_.http->Post(description_.href, request_body_, stop,
                                          [&] { info_["requesttime"] = Number(Tick() - request_start); });
        } catch (const std::exception& e) {  // a transport that throws fails the attempt, not the recognition
            Say(attempt, post + "the transport failed: " + e.what());
            return false;
        }
        if (result.outcome != HttpResult::Outcome::Answered) {
            // A cancelled exchange of a cancelled recognition is no failure
            // worth a word: the operation ends as cancelled.
            if (result.outcome == HttpResult::Outcome::Failed || !stop.stop_requested())
                Say(attempt, post + (result.error.empty() ? std::string("failed") : result.error));
            return false;
        }

        const std::uint64_t response_tick = Tick();
        const std::uint64_t read_tick = Tick();
        info_["responsetime"] = Number(read_tick - response_tick);
        info_["latency"] = Number(Tick() - request_start);
        info_["responsesize"] = Number(static_cast<double>(Utf16Length(result.body)));
        const std::string status = std::to_string(result.status);
        // A service that says it failed (its store is down, it is
        // overloaded) has not answered the request, whatever its body.
        if (result.status >= 500 && result.status <= 599) {
            const std::string reason = ServiceReason(result.body);
            Say(attempt, post + "the service failed (HTTP " + status + ")" + (reason.empty() ? "" : ": " + reason));
            return false;
        }
        std::string why;
        reply = AnswerObject(result.body, why);
        if (!reply)
            Say(attempt, post + "the answer (HTTP " + status + ") " + why);
        return reply.has_value();
    }

    std::string request_;
    std::shared_ptr<Capture::SignatureSource> capture_;
    RecognitionServices services_;
    std::shared_ptr<Shared> shared_;
    std::optional<std::uint64_t> recognition_;
    RequestDescription description_;
    std::string request_body_;  // per recognition: nothing of an earlier one
    json info_;
};

}  // namespace

std::shared_ptr<RecognitionOperation> RecognitionOperation::Start(std::string request,
                                                                  std::shared_ptr<Capture::SignatureSource> capture,
                                                                  RecognitionServices services)
{
    if (!services.http || !services.clock)
        throw std::invalid_argument("a recognition needs an HTTP transport and a clock");
    std::shared_ptr<RecognitionOperation> operation(new RecognitionOperation);
    operation->shared_ = std::make_shared<Shared>();
    auto body = std::make_shared<Body>(std::move(request), std::move(capture), std::move(services), operation->shared_);
    operation->body_ = std::jthread([body](std::stop_token stop) { body->Run(stop); });
    return operation;
}

RecognitionOperation::~RecognitionOperation()
{
    if (body_.joinable()) {
        body_.request_stop();
        body_.join();
    }
}

void RecognitionOperation::Cancel()
{
    body_.request_stop();
    shared_->End(AsyncStatus::Canceled);
}

AsyncStatus RecognitionOperation::Status() const
{
    std::lock_guard hold(shared_->lock);
    return shared_->status;
}

std::string RecognitionOperation::Get()
{
    std::unique_lock hold(shared_->lock);
    shared_->ended.wait(hold, [&] { return shared_->status != AsyncStatus::Started; });
    switch (shared_->status) {
    case AsyncStatus::Completed: return shared_->result;
    case AsyncStatus::Canceled: throw RecognitionCanceled();
    default: throw *shared_->error;
    }
}

void RecognitionOperation::OnCompleted(std::function<void(AsyncStatus)> callback)
{
    std::unique_lock hold(shared_->lock);
    if (shared_->status == AsyncStatus::Started) {
        shared_->callbacks.push_back(std::move(callback));
        return;
    }
    const AsyncStatus status = shared_->status;
    hold.unlock();
    callback(status);
}

int RecognitionOperation::Attempts() const
{
    std::lock_guard hold(shared_->lock);
    return shared_->attempts;
}

}  // namespace VextuneCore::Client
