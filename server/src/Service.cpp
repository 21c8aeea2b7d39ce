#include "vextune/server/Service.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <nlohmann/json.hpp>
#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include "vextune/protocol/Answer.h"

namespace vxt::server {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

const char* const kJson = "application/json";
const char* const kFailed = "the service failed on this request";
const char* const kStoreFailed = "the catalogue cannot be read";
const char* const kNotAnException = "an exception that is not a std::exception";

// Text that came from the network (paths, methods) may hold any byte: the
// dump escapes control characters and replaces what is not UTF-8, so a
// line of the access log stays one line of JSON.
std::string Dump(const nlohmann::json& value)
{
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string ErrorJson(const std::string& message)
{
    return Dump(nlohmann::json{{protocol::error_member, message}});
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

// The current time in UTC, RFC 3339 with milliseconds:
// "2025-01-31T09:04:05.123Z".
std::string UtcNow()
{
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    const auto ms = std::chrono::duration_cast<Ms>(since).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(ms % 1000));
    return text;
}

// The path of a request target, before any query, with its %XX escapes
// decoded (a malformed escape stays as it is).
std::string DecodePath(std::string_view target)
{
    target = target.substr(0, target.find('?'));
    const auto hex = [](char c) {
        return c >= '0' && c <= '9'   ? c - '0'
               : c >= 'a' && c <= 'f' ? c - 'a' + 10
               : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                      : -1;
    };
    std::string path;
    path.reserve(target.size());
    for (std::size_t i = 0; i < target.size(); ++i) {
        if (target[i] == '%' && i + 2 < target.size()) {
            const int high = hex(target[i + 1]);
            const int low = hex(target[i + 2]);
            if (high >= 0 && low >= 0) {
                path.push_back(static_cast<char>(high * 16 + low));
                i += 2;
                continue;
            }
        }
        path.push_back(target[i]);
    }
    return path;
}

// The routes the service answers; every other path is "other" in the
// metrics, so that what clients send cannot grow their labels.
enum class Route { Recognize, Health, Ready, Metrics, Other };

struct RouteInfo {
    Route route;
    const char* path;
    http::verb method;
};

constexpr RouteInfo kRoutes[] = {
    {Route::Recognize, "/recognize", http::verb::post},
    {Route::Health, "/health", http::verb::get},
    {Route::Ready, "/ready", http::verb::get},
    {Route::Metrics, "/metrics", http::verb::get},
};

const char* RouteName(Route route)
{
    for (const RouteInfo& r : kRoutes)
        if (r.route == route)
            return r.path;
    return "other";
}

// One answer as the handlers make it.
struct Reply {
    int status = 200;
    std::string body;
    std::string content_type = kJson;
    std::string allow;                              // with 405: the method the path takes
    bool close = false;                             // the connection ends after this answer
    nlohmann::json log = nlohmann::json::object();  // further members of the access-log line
};

Reply ErrorReply(int status, const std::string& message)
{
    Reply reply;
    reply.status = status;
    reply.body = ErrorJson(message);
    reply.log["error"] = message;
    return reply;
}

// An answer written at once to a connection the service does not read:
// the whole response in one buffer.
std::string CannedResponse(int status, const char* reason, const std::string& message)
{
    const std::string body = ErrorJson(message);
    return "HTTP/1.1 " + std::to_string(status) + ' ' + reason +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

const std::string& RefusalText()
{
    static const std::string text = CannedResponse(503, "Service Unavailable", "the service has too many connections");
    return text;
}

const std::string& TimeoutText()
{
    static const std::string text = CannedResponse(408, "Request Timeout", "the request took too long to arrive");
    return text;
}

constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

// Whether a header value is one plain decimal number.
bool IsDecimal(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool IsChunked(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return beast::iequals(text, "chunked");
}

// The service's counters, gauges and histograms, and their text.
class Metrics {
public:
    Metrics()
        : requests_(prometheus::BuildCounter()
                        .Name("vextune_http_requests_total")
                        .Help("Requests answered, by route and status")
                        .Register(registry_)),
          match_seconds_(prometheus::BuildHistogram()
                             .Name("vextune_match_seconds")
                             .Help("Time spent matching one recognition request's signature")
                             .Register(registry_)
                             .Add({}, Buckets())),
          request_seconds_(prometheus::BuildHistogram()
                               .Name("vextune_request_seconds")
                               .Help("Time of a whole POST /recognize, from its first byte to its answer ready")
                               .Register(registry_)
                               .Add({}, Buckets())),
          answers_(prometheus::BuildCounter()
                       .Name("vextune_answers_total")
                       .Help("Recognition answers, by outcome")
                       .Register(registry_)),
          match_(answers_.Add({{"outcome", "match"}})),
          retry_(answers_.Add({{"outcome", "retry"}})),
          none_(answers_.Add({{"outcome", "none"}})),
          store_errors_(prometheus::BuildCounter()
                            .Name("vextune_store_errors_total")
                            .Help("Calls into the catalogue that failed")
                            .Register(registry_)
                            .Add({})),
          open_(prometheus::BuildGauge()
                    .Name("vextune_connections_open")
                    .Help("Connections open now")
                    .Register(registry_)
                    .Add({})),
          refused_(prometheus::BuildCounter()
                       .Name("vextune_connections_refused_total")
                       .Help("Connections refused with a 503, by the cap they met")
                       .Register(registry_)),
          refused_total_(refused_.Add({{"cap", "total"}})),
          refused_address_(refused_.Add({{"cap", "address"}})),
          timeouts_(prometheus::BuildCounter()
                        .Name("vextune_connections_timed_out_total")
                        .Help("Connections closed for being slow, by what they were slow at")
                        .Register(registry_)),
          timed_out_request_(timeouts_.Add({{"phase", "request"}})),
          timed_out_idle_(timeouts_.Add({{"phase", "idle"}})),
          timed_out_write_(timeouts_.Add({{"phase", "write"}})),
          tracks_(prometheus::BuildGauge()
                      .Name("vextune_catalogue_tracks")
                      .Help("Tracks in the catalogue, as last read")
                      .Register(registry_)
                      .Add({})),
          postings_(prometheus::BuildGauge()
                        .Name("vextune_catalogue_postings")
                        .Help("Postings in the catalogue's index, as last read")
                        .Register(registry_)
                        .Add({}))
    {}

    void Request(Route route, int status)
    {
        requests_.Add({{"route", RouteName(route)}, {"status", std::to_string(status)}}).Increment();
    }
    void RecognizeTook(double seconds) { request_seconds_.Observe(seconds); }
    void Matched(double seconds, Outcome outcome)
    {
        match_seconds_.Observe(seconds);
        (outcome == Outcome::Match ? match_ : outcome == Outcome::Retry ? retry_ : none_).Increment();
    }
    void StoreFailed() { store_errors_.Increment(); }
    void Open(int connections) { open_.Set(connections); }
    void Refused(bool total) { (total ? refused_total_ : refused_address_).Increment(); }
    void TimedOut(int phase)
    {
        (phase == 0 ? timed_out_request_ : phase == 1 ? timed_out_idle_ : timed_out_write_).Increment();
    }

    std::string Text(const matcher::StoreTotals& totals)
    {
        tracks_.Set(static_cast<double>(totals.tracks));
        postings_.Set(static_cast<double>(totals.postings));
        return prometheus::TextSerializer().Serialize(registry_.Collect());
    }

private:
    static prometheus::Histogram::BucketBoundaries Buckets()
    {
        return {0.0005, 0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10};
    }

    prometheus::Registry registry_;
    prometheus::Family<prometheus::Counter>& requests_;
    prometheus::Histogram& match_seconds_;
    prometheus::Histogram& request_seconds_;
    prometheus::Family<prometheus::Counter>& answers_;
    prometheus::Counter& match_;
    prometheus::Counter& retry_;
    prometheus::Counter& none_;
    prometheus::Counter& store_errors_;
    prometheus::Gauge& open_;
    prometheus::Family<prometheus::Counter>& refused_;
    prometheus::Counter& refused_total_;
    prometheus::Counter& refused_address_;
    prometheus::Family<prometheus::Counter>& timeouts_;
    prometheus::Counter& timed_out_request_;
    prometheus::Counter& timed_out_idle_;
    prometheus::Counter& timed_out_write_;
    prometheus::Gauge& tracks_;
    prometheus::Gauge& postings_;
};

class Session;

// Everything the connections share: the options, the recognizer and the
// store, the metrics, the registry of connections, the I/O context and the
// workers.
struct Front {
    Front(const matcher::Store& s, RecognizerOptions r, ServiceOptions o)
        : store(s), recognizer(s, r), options(std::move(o))
    {
        options.threads = std::max(1, options.threads);
        options.io_threads = std::clamp(options.io_threads, 1, 8);
        pool.emplace(static_cast<std::size_t>(options.threads));
    }

    void Say(const std::string& line) const
    {
        if (options.diagnostics)
            options.diagnostics(line);
    }

    // The line of one request in the access log.
    void Log(const std::string& address, const std::string& method, const std::string& path, int status, double ms,
             const nlohmann::json& extra) const
    {
        if (!options.access_log)
            return;
        nlohmann::json line = {{"time", UtcNow()}, {"address", address}};
        if (!method.empty())
            line["method"] = method;
        if (!path.empty())
            line["path"] = path;
        line["status"] = status;
        line["ms"] = std::round(ms * 100.0) / 100.0;
        for (const auto& [key, value] : extra.items())
            line[key] = value;
        options.access_log(Dump(line));
    }

    // Reads the catalogue's totals into the figures /health and /metrics
    // give; throws what the store throws.
    matcher::StoreTotals ReadTotals()
    {
        const matcher::StoreTotals totals = store.Totals();
        std::lock_guard lock(totals_lock);
        last_totals = totals;
        return totals;
    }

    matcher::StoreTotals LastTotals()
    {
        std::lock_guard lock(totals_lock);
        return last_totals;
    }

    // Runs a handler on a worker and turns what it throws into its answer:
    // 413 and 400 with their messages, a failing catalogue 503 and anything
    // else 500 with fixed messages, their causes said to the diagnostics
    // (which the answer does not carry: a store's message may name a
    // database's address or a socket's path).
    template <class Job>
    Reply Guarded(const char* method, Route route, Job&& job)
    {
        const auto fail = [&](int status, const char* message, const std::string& cause) {
            Reply reply = ErrorReply(status, message);
            reply.log["cause"] = cause;
            Say(std::string(method) + ' ' + RouteName(route) + ' ' + std::to_string(status) + ": " + cause);
            return reply;
        };
        try {
            return job();
        } catch (const RequestTooLarge& e) {
            return ErrorReply(413, e.what());
        } catch (const BadRequest& e) {
            return ErrorReply(400, e.what());
        } catch (const matcher::StoreError& e) {
            metrics.StoreFailed();
            return fail(503, kStoreFailed, e.what());
        } catch (const std::exception& e) {
            return fail(500, kFailed, e.what());
        } catch (...) {
            return fail(500, kFailed, kNotAnException);
        }
    }

    Reply Recognize(const std::string& body)
    {
        const RecognizeRequest request = ReadRecognizeRequest(body);
        const auto start = Clock::now();
        const Recognition recognition = recognizer.Recognize(request.signature, request.sample_ms);
        metrics.Matched(std::chrono::duration<double>(Clock::now() - start).count(), recognition.outcome);
        Reply reply;
        reply.body = AnswerJson(recognition);
        reply.log = {{"samplems", request.sample_ms},
                     {"outcome", OutcomeName(recognition.outcome)},
                     {"score", recognition.detail.score}};
        return reply;
    }

    Reply Health()
    {
        Reply reply;
        reply.body = nlohmann::json{{"status", "ok"}, {"tracks", LastTotals().tracks}}.dump();
        return reply;
    }

    Reply Ready()
    {
        ++totals_reading;
        struct Done {
            std::atomic<int>& reading;
            ~Done() { --reading; }
        } done{totals_reading};
        const matcher::StoreTotals totals = ReadTotals();
        Reply reply;
        reply.body = nlohmann::json{{"status", "ok"}, {"tracks", totals.tracks}, {"postings", totals.postings}}.dump();
        return reply;
    }

    // The metrics' text, with the catalogue's totals read now unless a
    // read is under way already (a hung store holds one worker, not one per
    // scrape): then, and when the read fails, with the last ones read.
    Reply MetricsText()
    {
        if (totals_reading.fetch_add(1) == 0) {
            try {
                ReadTotals();
            } catch (const std::exception& e) {
                metrics.StoreFailed();
                Say(std::string("GET /metrics: the catalogue's totals cannot be read: ") + e.what());
            } catch (...) {
                Say(std::string("GET /metrics: the catalogue's totals cannot be read: ") + kNotAnException);
            }
        }
        --totals_reading;
        Reply reply;
        reply.body = metrics.Text(LastTotals());
        reply.content_type = "text/plain; version=0.0.4; charset=utf-8";
        return reply;
    }

    void Accept();
    void Admit(tcp::socket socket);
    void Stop();
    void RunIo();

    const matcher::Store& store;
    Recognizer recognizer;
    ServiceOptions options;
    Metrics metrics;

    std::mutex totals_lock;
    matcher::StoreTotals last_totals;
    std::atomic<int> totals_reading = 0;  // calls of Totals under way for /ready and /metrics

    std::atomic<bool> stopping = false;
    std::mutex connections_lock;
    int open = 0;
    std::unordered_map<std::string, int> per_address;
    std::unordered_map<Session*, std::weak_ptr<Session>> sessions;

    // The I/O objects after what their handlers reach, so that handlers
    // still queued when the service goes are destroyed first; the workers
    // last declared, so joined first.
    asio::io_context io;
    tcp::acceptor acceptor{asio::make_strand(io)};
    asio::steady_timer accept_pause{acceptor.get_executor()};
    bool accept_paused_said = false;
    int port = -1;
    std::optional<asio::thread_pool> pool;
};

// One connection: reads a request, has it answered, writes the answer,
// and waits for the next, each step under its deadline. Its handlers run
// on its own strand; the worker's part of a request is posted back to it.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(Front& impl, tcp::socket socket, std::string address)
        : impl_(impl), socket_(std::move(socket)), timer_(socket_.get_executor()), address_(std::move(address))
    {}

    ~Session()
    {
        if (!registered_)
            return;
        std::lock_guard lock(impl_.connections_lock);
        --impl_.open;
        if (const auto at = impl_.per_address.find(address_); at != impl_.per_address.end() && --at->second <= 0)
            impl_.per_address.erase(at);
        impl_.sessions.erase(this);
        impl_.metrics.Open(impl_.open);
    }

    const std::string& Address() const noexcept { return address_; }
    void Registered() noexcept { registered_ = true; }
    auto Executor() { return socket_.get_executor(); }

    // A connection beyond the caps: its 503 is sent in one call that does
    // not wait, what the client has sent already is read once and dropped
    // (closing with it unread would reset the connection before the client
    // reads the refusal), and it is closed.
    void Refuse()
    {
        beast::error_code ec;
        socket_.non_blocking(true, ec);
        socket_.send(asio::buffer(RefusalText()), 0, ec);
        socket_.shutdown(tcp::socket::shutdown_send, ec);
        char dropped[4096];
        socket_.receive(asio::buffer(dropped), 0, ec);
        socket_.close(ec);
    }

    // The first request's time runs from the accept.
    void Start()
    {
        if (impl_.stopping)
            return Close();
        BeginRequest();
    }

    void OnStop()
    {
        switch (phase_) {
        case Phase::Idle:
        case Phase::Reading:
        case Phase::Lingering: return Close();
        case Phase::Writing: return Arm(std::min(impl_.options.write_timeout, Ms(1000)));
        case Phase::Working:  // its answer goes out, and the connection closes after it
        case Phase::Done: return;
        }
    }

private:
    enum class Phase { Idle, Reading, Working, Writing, Lingering, Done };

    void Arm(Ms within)
    {
        timer_.expires_after(within);
        timer_.async_wait([self = shared_from_this()](beast::error_code ec) {
            // A wait that completed just before the timer was set again
            // is no time-out.
            if (ec == asio::error::operation_aborted || self->timer_.expiry() > Clock::now())
                return;
            self->TimedOut();
        });
    }

    void Disarm() { timer_.expires_at(Clock::time_point::max()); }

    void TimedOut()
    {
        switch (phase_) {
        case Phase::Reading: {
            impl_.metrics.TimedOut(0);
            // Said at once, without waiting for the client to take it.
            beast::error_code ec;
            socket_.non_blocking(true, ec);
            socket_.send(asio::buffer(TimeoutText()), 0, ec);
            Log(408, {{"error", "the request took too long to arrive"}});
            return Close();
        }
        case Phase::Idle: impl_.metrics.TimedOut(1); return Close();
        case Phase::Writing: impl_.metrics.TimedOut(2); return Close();
        case Phase::Lingering: return Close();
        case Phase::Working:
        case Phase::Done: return;
        }
    }

    void Close()
    {
        phase_ = Phase::Done;
        beast::error_code ec;
        timer_.cancel();
        socket_.shutdown(tcp::socket::shutdown_both, ec);
        socket_.close(ec);
    }

    // Waits for the first byte of the next request; the request's time
    // runs from it. Bytes of it already read (pipelined) start it at once.
    void WaitForRequest()
    {
        if (impl_.stopping)
            return Close();
        if (buffer_.size() > 0)
            return BeginRequest();
        phase_ = Phase::Idle;
        Arm(impl_.options.idle_timeout);
        socket_.async_wait(tcp::socket::wait_read, [self = shared_from_this()](beast::error_code ec) {
            if (self->phase_ != Phase::Idle)
                return;
            if (ec)
                return self->Close();
            self->BeginRequest();
        });
    }

    void BeginRequest()
    {
        phase_ = Phase::Reading;
        started_ = Clock::now();
        method_.clear();
        path_.clear();
        route_ = Route::Other;
        version_ = 11;
        head_only_ = false;
        log_ = nlohmann::json::object();
        Arm(impl_.options.request_timeout);
        parser_.emplace();
        parser_->header_limit(
            static_cast<std::uint32_t>(std::min<std::size_t>(impl_.options.max_header_bytes, UINT32_MAX)));
        parser_->body_limit(impl_.options.max_body_bytes);
        http::async_read_header(socket_, buffer_, *parser_,
                                [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnHead(ec); });
    }

    // A failed read: a client gone or closed by the service ends the
    // connection quietly; a request the parser refuses gets its answer.
    void ReadFailed(beast::error_code ec)
    {
        if (phase_ == Phase::Done)
            return;
        if (parser_ && parser_->is_header_done() && method_.empty()) {
            method_ = std::string(parser_->get().method_string());
            path_ = DecodePath(parser_->get().target());
        }
        if (ec == http::error::body_limit)
            return Answer(Refusal(413, "the request body is too large"));
        if (ec == http::error::header_limit)
            return Answer(Refusal(431, "the request head is too large"));
        if (ec.category() == http::make_error_code(http::error::bad_method).category() &&
            ec != http::error::end_of_stream && ec != http::error::partial_message)
            return Answer(Refusal(400, "the request is malformed (" + ec.message() + ")"));
        Close();
    }

    Reply Refusal(int status, const std::string& message)
    {
        Reply reply = ErrorReply(status, message);
        reply.close = true;
        return reply;
    }

    void OnHead(beast::error_code ec)
    {
        if (phase_ != Phase::Reading)
            return;
        if (ec)
            return ReadFailed(ec);
        const auto& head = parser_->get();
        method_ = std::string(head.method_string());
        path_ = DecodePath(head.target());
        // Two lengths (or a list of them) could be read one way here and
        // another by whatever stands in front of the service.
        std::size_t lengths = 0;
        bool plain = true;
        for (const auto& field : head) {
            if (field.name() == http::field::content_length) {
                ++lengths;
                plain = plain && IsDecimal(field.value());
            }
        }
        if (lengths > 1 || !plain)
            return Answer(Refusal(400, "the request's Content-Length is not one number"));
        if (const auto te = head.find(http::field::transfer_encoding); te != head.end() && !IsChunked(te->value()))
            return Answer(Refusal(400, "the request's Transfer-Encoding is not chunked"));
        if (head.version() >= 11 && beast::iequals(head[http::field::expect], "100-continue") && !parser_->is_done()) {
            asio::async_write(socket_, asio::buffer(kContinue.data(), kContinue.size()),
                              [self = shared_from_this()](beast::error_code ec, std::size_t) {
                                  if (self->phase_ != Phase::Reading)
                                      return;
                                  if (ec)
                                      return self->Close();
                                  self->ReadBody();
                              });
            return;
        }
        ReadBody();
    }

    void ReadBody()
    {
        if (parser_->is_done())
            return Dispatch();
        http::async_read(socket_, buffer_, *parser_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
            if (self->phase_ != Phase::Reading)
                return;
            if (ec)
                return self->ReadFailed(ec);
            self->Dispatch();
        });
    }

    void Dispatch()
    {
        phase_ = Phase::Working;
        Disarm();
        http::request<http::string_body> request = parser_->release();
        parser_.reset();
        version_ = request.version();
        keep_alive_ = request.keep_alive();
        head_only_ = request.method() == http::verb::head;
        route_ = Route::Other;
        const RouteInfo* found = nullptr;
        for (const RouteInfo& r : kRoutes)
            if (path_ == r.path)
                found = &r;
        if (!found)
            return Answer(ErrorReply(404, "no such resource"));
        const bool get = found->method == http::verb::get;
        if (request.method() != found->method && !(get && head_only_)) {
            Reply reply = ErrorReply(405, "the request cannot be served");
            reply.allow = get ? "GET, HEAD" : "POST";
            return Answer(std::move(reply));
        }
        route_ = found->route;
        const char* method = get ? "GET" : "POST";
        switch (route_) {
        case Route::Health: return Answer(impl_.Health());
        case Route::Metrics:
            // A scrape while the catalogue is slow to give its totals is
            // answered here, from the figures already known.
            if (impl_.totals_reading > 0)
                return Answer(impl_.MetricsText());
            return Work([&impl = impl_, method] {
                return impl.Guarded(method, Route::Metrics, [&] { return impl.MetricsText(); });
            });
        case Route::Ready:
            return Work(
                [&impl = impl_, method] { return impl.Guarded(method, Route::Ready, [&] { return impl.Ready(); }); });
        case Route::Recognize:
            return Work([&impl = impl_, method, body = std::move(request.body())] {
                return impl.Guarded(method, Route::Recognize, [&] { return impl.Recognize(body); });
            });
        case Route::Other: break;
        }
        Answer(ErrorReply(404, "no such resource"));
    }

    // Runs job on a worker; its answer comes back to this strand. The
    // guard keeps the I/O threads running while the job is out.
    template <class Job>
    void Work(Job job)
    {
        auto work = asio::make_work_guard(impl_.io);
        asio::post(*impl_.pool, [self = shared_from_this(), job = std::move(job), work = std::move(work)]() mutable {
            Reply reply = job();
            asio::post(self->Executor(),
                       [self, reply = std::move(reply)]() mutable { self->Answer(std::move(reply)); });
            work.reset();
        });
    }

    void Answer(Reply reply)
    {
        if (phase_ == Phase::Done)
            return;
        keep_alive_ = keep_alive_ && !reply.close && !impl_.stopping;
        status_ = reply.status;
        log_ = std::move(reply.log);
        response_ = {};
        response_.version(version_ == 10 ? 10 : 11);
        response_.result(static_cast<unsigned>(reply.status));
        response_.set(http::field::content_type, reply.content_type);
        if (!reply.allow.empty())
            response_.set(http::field::allow, reply.allow);
        response_.body() = std::move(reply.body);
        response_.keep_alive(keep_alive_);
        response_.prepare_payload();
        if (head_only_)
            response_.body().clear();  // the length stays that of the GET's answer
        // Counted and logged before a byte of the answer goes out, so that
        // a client that has its answer finds it in the log and the metrics.
        const double seconds = std::chrono::duration<double>(Clock::now() - started_).count();
        impl_.metrics.Request(route_, status_);
        if (route_ == Route::Recognize)
            impl_.metrics.RecognizeTook(seconds);
        Log(status_, log_);
        phase_ = Phase::Writing;
        Arm(impl_.stopping ? std::min(impl_.options.write_timeout, Ms(1000)) : impl_.options.write_timeout);
        http::async_write(socket_, response_,
                          [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnWritten(ec); });
    }

    void OnWritten(beast::error_code ec)
    {
        if (phase_ != Phase::Writing)
            return;
        if (ec)
            return Close();
        if (!keep_alive_)
            return Linger();
        WaitForRequest();
    }

    // After an answer that ends the connection: the sending side is shut
    // and what the client still sends is read and dropped for a moment, so
    // that closing with it unread does not reset the connection before the
    // client has read the answer.
    void Linger()
    {
        phase_ = Phase::Lingering;
        beast::error_code ec;
        socket_.shutdown(tcp::socket::shutdown_send, ec);
        if (ec || impl_.stopping)
            return Close();
        buffer_.clear();
        Arm(Ms(1000));
        Drain();
    }

    void Drain()
    {
        socket_.async_read_some(buffer_.prepare(4096),
                                [self = shared_from_this()](beast::error_code ec, std::size_t n) {
                                    if (self->phase_ != Phase::Lingering)
                                        return;
                                    self->drained_ += n;
                                    if (ec || self->drained_ > (1u << 20))
                                        return self->Close();
                                    self->Drain();
                                });
    }

    void Log(int status, const nlohmann::json& extra)
    {
        impl_.Log(address_, method_, path_, status,
                  std::chrono::duration<double, std::milli>(Clock::now() - started_).count(), extra);
    }

    Front& impl_;
    tcp::socket socket_;
    asio::steady_timer timer_;
    std::string address_;
    bool registered_ = false;
    Phase phase_ = Phase::Reading;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    Clock::time_point started_ = Clock::now();
    std::string method_;
    std::string path_;
    unsigned version_ = 11;
    bool keep_alive_ = false;
    bool head_only_ = false;
    Route route_ = Route::Other;
    int status_ = 0;
    nlohmann::json log_;
    http::response<http::string_body> response_;
    std::size_t drained_ = 0;
};

}  // namespace

void Front::Accept()
{
    acceptor.async_accept(asio::make_strand(io), [this](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !acceptor.is_open())
            return;
        if (ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space || ec == asio::error::no_memory ||
            ec.value() == ENFILE) {
            // Out of descriptors or memory: accepting again at once would
            // spin. A pause, said once until a connection is taken again.
            if (!accept_paused_said)
                Say("the service cannot take a connection now (" + ec.message() + "); trying every 100 ms");
            accept_paused_said = true;
            accept_pause.expires_after(Ms(100));
            accept_pause.async_wait([this](beast::error_code waited) {
                if (!waited && acceptor.is_open())
                    Accept();
            });
            return;
        }
        if (!ec) {
            accept_paused_said = false;
            // Whatever happens to this connection, the next is accepted.
            try {
                Admit(std::move(socket));
            } catch (const std::exception& e) {
                Say(std::string("the service could not take a connection: ") + e.what());
            }
        }
        Accept();
    });
}

// Takes a new connection within the caps, or refuses it cheaply
// (Session::Refuse), counted.
void Front::Admit(tcp::socket socket)
{
    beast::error_code ec;
    const tcp::endpoint remote = socket.remote_endpoint(ec);
    if (ec)
        return;  // gone already
    asio::ip::address from = remote.address();
    if (from.is_v6() && from.to_v6().is_v4_mapped())
        from = asio::ip::make_address_v4(asio::ip::v4_mapped, from.to_v6());
    socket.set_option(tcp::no_delay(true), ec);
    auto session = std::make_shared<Session>(*this, std::move(socket), from.to_string());
    int refused = 0;  // 1: the cap in all, 2: the cap per address
    {
        std::lock_guard lock(connections_lock);
        const int from_there = per_address.contains(session->Address()) ? per_address[session->Address()] : 0;
        if (stopping)
            refused = 1;
        else if (options.max_connections > 0 && open >= options.max_connections)
            refused = 1;
        else if (options.max_connections_per_address > 0 && from_there >= options.max_connections_per_address)
            refused = 2;
        else {
            ++open;
            ++per_address[session->Address()];
            sessions.emplace(session.get(), session);
            session->Registered();
            metrics.Open(open);
        }
    }
    if (refused) {
        if (!stopping)
            metrics.Refused(refused == 1);
        session->Refuse();
        return;
    }
    asio::post(session->Executor(), [session] { session->Start(); });
}

void Front::Stop()
{
    stopping = true;
    asio::post(acceptor.get_executor(), [this] {
        beast::error_code ec;
        acceptor.close(ec);
        accept_pause.cancel();
    });
    std::vector<std::weak_ptr<Session>> all;
    {
        std::lock_guard lock(connections_lock);
        all.reserve(sessions.size());
        for (const auto& [key, session] : sessions)
            all.push_back(session);
    }
    for (const std::weak_ptr<Session>& weak : all)
        if (const std::shared_ptr<Session> session = weak.lock())
            asio::post(session->Executor(), [session] { session->OnStop(); });
}

// A handler that throws (memory running out) loses its connection, not
// the service.
void Front::RunIo()
{
    for (;;) {
        try {
            io.run();
            return;
        } catch (const std::exception& e) {
            Say(std::string("the service's connection handling failed: ") + e.what());
        } catch (...) {
            Say(std::string("the service's connection handling failed: ") + kNotAnException);
        }
    }
}

struct Service::Impl : Front {
    using Front::Front;
};

Service::Service(const matcher::Store& store, RecognizerOptions recognizer, ServiceOptions options)
    : impl_(std::make_unique<Impl>(store, recognizer, std::move(options)))
{}

Service::~Service()
{
    Stop();
}

int Service::Bind()
{
    Impl& impl = *impl_;
    if (impl.port > 0)
        return impl.port;
    const std::string where = impl.options.host + ":" + std::to_string(impl.options.port);
    beast::error_code ec;
    tcp::resolver resolver(impl.io);
    const auto endpoints = resolver.resolve(impl.options.host, std::to_string(impl.options.port),
                                            tcp::resolver::passive | tcp::resolver::numeric_service, ec);
    if (ec)
        throw std::runtime_error("cannot listen on " + where + ": " + ec.message());
    for (const auto& entry : endpoints) {
        const tcp::endpoint endpoint = entry.endpoint();
        impl.acceptor.open(endpoint.protocol(), ec);
        if (!ec)
            impl.acceptor.set_option(asio::socket_base::reuse_address(true), ec);
        if (!ec)
            impl.acceptor.bind(endpoint, ec);
        if (!ec)
            impl.acceptor.listen(asio::socket_base::max_listen_connections, ec);
        if (!ec) {
            impl.port = impl.acceptor.local_endpoint().port();
            break;
        }
        beast::error_code ignored;
        impl.acceptor.close(ignored);
    }
    if (impl.port <= 0)
        throw std::runtime_error("cannot listen on " + where + (ec ? ": " + ec.message() : std::string()));
    try {
        impl.ReadTotals();
    } catch (const std::exception& e) {
        impl.metrics.StoreFailed();
        impl.Say(std::string("the catalogue's totals cannot be read: ") + e.what());
    }
    return impl.port;
}

void Service::Run()
{
    Impl& impl = *impl_;
    if (impl.port <= 0)
        Bind();
    asio::post(impl.acceptor.get_executor(), [&impl] {
        if (impl.acceptor.is_open() && !impl.stopping)
            impl.Accept();
    });
    std::vector<std::jthread> more;
    for (int i = 1; i < impl.options.io_threads; ++i)
        more.emplace_back([&impl] { impl.RunIo(); });
    impl.RunIo();
}

void Service::Stop()
{
    impl_->Stop();
}

}  // namespace vxt::server
