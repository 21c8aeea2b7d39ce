// One HTTP exchange of a recognition attempt: a POST of a UTF-8 JSON body to
// an absolute http or https URI, the answer's body read as text.
//
// The status code is not examined: a 404 whose body is a JSON object is an
// answer like any other. Failures (a bad URI, another scheme, no connection,
// a TLS failure, a time-out) and cancellation are told apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>

namespace VextuneCore::Client {

struct HttpOptions {
    std::int64_t connect_timeout_ms = 10000;  // to establish the connection
    std::int64_t total_timeout_ms = 30000;    // for the whole exchange
    // A longer answer fails the exchange. A real answer is well under a
    // kilobyte; the limit keeps a hostile one from taking the memory.
    std::size_t max_answer_bytes = std::size_t{4} << 20;
};

struct HttpResult {
    enum class Outcome { Answered, Failed, Cancelled };
    Outcome outcome = Outcome::Failed;
    long status = 0;    // the HTTP status when answered (not examined by callers)
    std::string body;   // the answer's body when answered (bytes as received)
    std::string error;  // what failed, for logs
};

class HttpTransport {
public:
    virtual ~HttpTransport() = default;
    // Posts body (UTF-8) to uri with Accept "application/json" and Content-Type
    // "application/json; charset=utf-8". on_started runs once the URI has
    // been accepted, right before the request is sent (so before any
    // answer); it does not run when the exchange fails or is cancelled
    // before that. Both time-outs must be positive. A stop requested through
    // stop aborts the transfer: Cancelled. Thread-safe: every call is its own
    // exchange.
    virtual HttpResult Post(const std::string& uri, const std::string& body, std::stop_token stop,
                            const std::function<void()>& on_started) = 0;
};

// libcurl: a new handle per call, redirects followed (http and https only),
// TLS certificates verified, the time-outs of options.
std::shared_ptr<HttpTransport> MakeCurlTransport(HttpOptions options = {});

}  // namespace VextuneCore::Client
