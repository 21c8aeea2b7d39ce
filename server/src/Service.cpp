#include "vextune/server/Service.h"

#include <chrono>
#include <cstdio>
#include <stdexcept>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "vextune/protocol/Answer.h"

namespace vxt::server {
namespace {

const char* const kJson = "application/json";
const char* const kFailed = "the service failed on this request";

std::string ErrorJson(const std::string& message)
{
    return nlohmann::json{{protocol::error_member, message}}.dump(-1, ' ', false,
                                                                  nlohmann::json::error_handler_t::replace);
}

const char* OutcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Match: return "match";
    case Outcome::Retry: return "retry";
    case Outcome::NoMatch: break;
    }
    return "none";
}

}  // namespace

struct Service::Impl {
    Impl(const matcher::Store& s, RecognizerOptions r, ServiceOptions o)
        : store(s), recognizer(s, r), options(std::move(o))
    {}

    void Log(const httplib::Request& request, int status, double ms, const std::string& extra) const
    {
        if (!options.access_log)
            return;
        char line[160];
        // A handler that set no status answers 200.
        std::snprintf(line, sizeof line, "%s %s %d %.2fms", request.method.c_str(), request.path.c_str(),
                      status < 0 ? 200 : status, ms);
        options.access_log(extra.empty() ? std::string(line) : std::string(line) + ' ' + extra);
    }

    // Answers status with {"error": message}; an answer of 500 or more is
    // said to the diagnostics with its cause ("GET /health 503: ...").
    void Fail(const httplib::Request& request, httplib::Response& response, int status, const std::string& message,
              const std::string& cause) const
    {
        response.status = status;
        response.set_content(ErrorJson(message), kJson);
        if (status >= 500 && options.diagnostics)
            options.diagnostics(request.method + ' ' + request.path + ' ' + std::to_string(status) + ": " + cause);
    }

    const matcher::Store& store;
    Recognizer recognizer;
    ServiceOptions options;
    httplib::Server http;
    int port = -1;
};

Service::Service(const matcher::Store& store, RecognizerOptions recognizer, ServiceOptions options)
    : impl_(std::make_unique<Impl>(store, recognizer, std::move(options)))
{
    Impl& impl = *impl_;
    const int threads = std::max(1, impl.options.threads);
    impl.http.new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<std::size_t>(threads)); };
    impl.http.set_payload_max_length(impl.options.max_body_bytes);
    // An answer goes out in two writes (head, then body); with Nagle's
    // algorithm the body waits for the client's delayed ACK of the head,
    // some 40 ms a request.
    impl.http.set_tcp_nodelay(true);

    impl.http.Post("/recognize", [&impl](const httplib::Request& request, httplib::Response& response) {
        const auto start = std::chrono::steady_clock::now();
        std::string extra;
        try {
            const RecognizeRequest r = ReadRecognizeRequest(request.body);
            const Recognition recognition = impl.recognizer.Recognize(r.signature, r.sample_ms);
            response.set_content(AnswerJson(recognition), kJson);
            char note[96];
            std::snprintf(note, sizeof note, "samplems=%.0f answer=%s score=%u", r.sample_ms,
                          OutcomeName(recognition.outcome), recognition.detail.score);
            extra = note;
        } catch (const BadRequest& e) {
            impl.Fail(request, response, 400, e.what(), e.what());
            extra = "error";
        } catch (const matcher::StoreError& e) {
            impl.Fail(request, response, 503, std::string("the catalogue cannot be read: ") + e.what(), e.what());
            extra = "error";
        } catch (const std::exception& e) {
            impl.Fail(request, response, 500, kFailed, e.what());
            extra = "error";
        }
        const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
        impl.Log(request, response.status, took.count(), extra);
    });

    impl.http.Get("/health", [&impl](const httplib::Request& request, httplib::Response& response) {
        try {
            response.set_content(nlohmann::json{{"status", "ok"}, {"tracks", impl.store.Totals().tracks}}.dump(),
                                 kJson);
        } catch (const matcher::StoreError& e) {
            impl.Fail(request, response, 503, e.what(), e.what());
        } catch (const std::exception& e) {
            impl.Fail(request, response, 500, kFailed, e.what());
        }
        impl.Log(request, response.status, 0.0, "");
    });

    // Whatever else goes wrong is said in JSON too: a body over the limit
    // (413), an unknown path (404), a method a path does not take.
    // The 400s of the handlers above are theirs already.
    impl.http.set_error_handler([&impl](const httplib::Request& request, httplib::Response& response) {
        if (!response.body.empty())
            return;
        const char* text = response.status == 413   ? "the request body is too large"
                           : response.status == 404 ? "no such resource"
                                                    : "the request cannot be served";
        response.set_content(ErrorJson(text), kJson);
        impl.Log(request, response.status, 0.0, "");
    });
    // What escapes the handlers above (nothing they know of does) still
    // gets its 500, its cause said and its line in the access log.
    impl.http.set_exception_handler(
        [&impl](const httplib::Request& request, httplib::Response& response, std::exception_ptr failure) {
            std::string cause = "an exception that is not a std::exception";
            try {
                std::rethrow_exception(failure);
            } catch (const std::exception& e) {
                cause = e.what();
            } catch (...) {
            }
            impl.Fail(request, response, 500, kFailed, cause);
            impl.Log(request, response.status, 0.0, "error");
        });
}

Service::~Service()
{
    Stop();
}

int Service::Bind()
{
    Impl& impl = *impl_;
    if (impl.options.port == 0)
        impl.port = impl.http.bind_to_any_port(impl.options.host);
    else if (impl.http.bind_to_port(impl.options.host, impl.options.port))
        impl.port = impl.options.port;
    if (impl.port <= 0)
        throw std::runtime_error("cannot listen on " + impl.options.host + ":" + std::to_string(impl.options.port));
    return impl.port;
}

void Service::Run()
{
    impl_->http.listen_after_bind();
}

void Service::Stop()
{
    impl_->http.stop();
}

}  // namespace vxt::server
