// The recognition operation: one request description in, one result
// document out, asynchronously.
//
// The request description names the service ("tag": {"href", "maxsamplems",
// "minsamplems"}), a label ("tagid") and the request template ("data",
// with "{sigdata}" and "\"{samplems}\"" placeholders). The operation asks
// the capture for signatures, posts each in the template to the service,
// follows the service's "retryms" for a longer sample (10 attempts at the
// most), and ends with either the service's last answer
//   {"tag": {"response": ANSWER, "info": INFO}}
// or, when an attempt failed, everything needed to submit the request later
//   {"pendingTag": {"request": {"data": "REQUEST TEXT", "href": "URI"}, "info": INFO}}
// INFO holds the measurements of the recognition (network kind, sizes,
// sample timing, request and response times).
//
// An attempt fails when the exchange fails (no connection, a time-out, an
// answer over the size limit), when the service answers with a 5xx status
// (it failed, whatever its body says), or when the answer is not a JSON
// object within the bounds of vxt::protocol::ReadOrderedJson (64 levels,
// 10 000 values). Other statuses are not examined: a 404 whose body is a
// JSON object is an answer. Once an attempt has failed the result is
// unsubmitted, and the attempts that follow only lengthen the request it
// keeps: each is due once the sample has doubled (and grown by
// failed_retry_spacing_ms at least), the last one the attempt limit leaves
// at the maximum.
//
// The body runs on a thread of its own, so attempts that block never starve
// other work. Cancel reports the operation cancelled at once; the body stops
// at its next blocking step (the signature wait or the HTTP exchange, both
// of which watch the stop token) and touches nothing of a recognition that
// replaced it. All state of a recognition is the operation's own.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include "vextune/capture/SignatureSource.h"
#include "vextune/client/HttpTransport.h"
#include "vextune/platform/Clock.h"

namespace VextuneCore::Client {

enum class AsyncStatus { Started, Completed, Canceled, Error };

// What the API holds of a running operation.
class AsyncOperation {
public:
    virtual ~AsyncOperation() = default;
    virtual void Cancel() = 0;
    virtual AsyncStatus Status() const = 0;
};

// How an operation failed. Json: the request description, or a "retryms"
// of the service, is not what it must be; NoCapture: there is no capture to
// take signatures from; Internal: anything else (out of memory, a network
// kind or clock that threw), with its own message.
class RecognitionError : public std::runtime_error {
public:
    enum class Kind { Json, NoCapture, Internal };
    RecognitionError(Kind kind, const std::string& what) : std::runtime_error(what), kind_(kind) {}
    Kind ErrorKind() const noexcept { return kind_; }

private:
    Kind kind_;
};

class RecognitionCanceled : public std::runtime_error {
public:
    RecognitionCanceled() : std::runtime_error("the recognition was cancelled") {}
};

// A request description, read: "tag" (with "href" kept as given, checked per
// attempt), "tagid", the template ("data" as compact JSON text) and the two
// sample lengths as whole milliseconds, saturated to 32 bits. Throws
// RecognitionError (Json) naming what is missing or of the wrong type.
struct RequestDescription {
    std::string href_json;  // "tag"."href" as given, compact ("null" when absent)
    std::string href;       // the same when it is a string, else empty
    bool href_is_string = false;
    std::string tagid;
    std::string request_template;
    std::int32_t max_sample_ms = 0;
    std::int32_t min_sample_ms = 0;
};
RequestDescription ReadRequestDescription(std::string_view text);

// A service's answer: the JSON object it holds, or nothing when the text is
// not a JSON object within the reader's bounds. Throws RecognitionError (Json) when the object's
// "retryms" is there but not a number; *retry_ms gets it (whole
// milliseconds, saturated) when it is.
std::optional<std::string> ReadAnswer(std::string_view text, std::optional<std::int32_t>* retry_ms);

struct RecognitionServices {
    std::shared_ptr<HttpTransport> http;     // required
    std::shared_ptr<Platform::Clock> clock;  // required
    // "wifi" or "3g"; NetworkKind() when empty.
    std::function<std::string()> network_kind;
    // Told why each failed attempt failed, one line each, e.g.
    // "attempt 2: POST http://host/id: Couldn't connect to server"; called
    // on the operation's thread with no lock held. A throw from it is
    // ignored. Nothing is said when empty. The result document is the same
    // either way.
    std::function<void(const std::string&)> diagnostics;
};

class RecognitionOperation final : public AsyncOperation {
public:
    static constexpr int attempt_limit = 10;
    // After a failed attempt, the least sample time the next one waits for.
    static constexpr double failed_retry_spacing_ms = 1000.0;

    // Starts the operation's body over the signatures of source; the source
    // may be empty (the operation then fails once the request has been read).
    static std::shared_ptr<RecognitionOperation>
    Start(std::string request, std::shared_ptr<Capture::SignatureSource> source, RecognitionServices services);
    // Cancels the body and waits for it.
    ~RecognitionOperation() override;
    RecognitionOperation(const RecognitionOperation&) = delete;
    RecognitionOperation& operator=(const RecognitionOperation&) = delete;

    void Cancel() override;
    AsyncStatus Status() const override;
    // Blocks until the operation has ended. Returns the result document;
    // throws RecognitionCanceled or RecognitionError.
    std::string Get();
    // Runs callback(status) once, when the operation ends (at once when it
    // has), on the thread that ended it. Callbacks must not call Get or the
    // destructor of this operation.
    void OnCompleted(std::function<void(AsyncStatus)> callback);
    // Attempts made so far (the body's view).
    int Attempts() const;

    struct Shared;

private:
    RecognitionOperation() = default;

    std::shared_ptr<Shared> shared_;
    std::jthread body_;
};

}  // namespace VextuneCore::Client
