// The HTTP exchange over libcurl; see HttpTransport.h.
//
// Each Post has its own easy handle, driven by its own multi handle so that a
// stop request can wake the wait for the network at once
// (curl_multi_wakeup) instead of at the next progress call.
#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <limits>
#include <memory>
#include <string_view>

#include "vextune/client/HttpTransport.h"

namespace VextuneCore::Client {
namespace {

using Outcome = HttpResult::Outcome;

HttpResult Failure(std::string error)
{
    HttpResult result;
    result.outcome = Outcome::Failed;
    result.error = std::move(error);
    return result;
}

HttpResult Cancellation()
{
    HttpResult result;
    result.outcome = Outcome::Cancelled;
    result.error = "cancelled";
    return result;
}

// curl_global_init once per process; it is not thread-safe itself, the
// function-local static makes it so.
CURLcode GlobalInit()
{
    static const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
    return code;
}

struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using HeaderList = std::unique_ptr<curl_slist, ListDeleter>;

// A multi handle with the one easy handle added; removes it before both go.
class MultiHandle {
public:
    MultiHandle(CURLM* multi, CURL* easy) : multi_(multi), easy_(easy)
    {
        if (multi_ && curl_multi_add_handle(multi_, easy_) == CURLM_OK) {
            added_ = true;
        }
    }
    ~MultiHandle()
    {
        if (added_) {
            curl_multi_remove_handle(multi_, easy_);
        }
        if (multi_) {
            curl_multi_cleanup(multi_);
        }
    }
    MultiHandle(const MultiHandle&) = delete;
    MultiHandle& operator=(const MultiHandle&) = delete;

    bool Ready() const { return added_; }
    CURLM* get() const { return multi_; }

private:
    CURLM* multi_;
    CURL* easy_;
    bool added_ = false;
};

// Parses uri and keeps it only when it is an absolute http or https URI.
UrlHandle ParseHttpUri(const std::string& uri, std::string& error)
{
    if (uri.find('\0') != std::string::npos) {
        error = "the URI contains a NUL character";
        return nullptr;
    }
    UrlHandle url(curl_url());
    if (!url) {
        error = "out of memory";
        return nullptr;
    }
    // No default scheme: a URI without one is refused.
    if (const CURLUcode code = curl_url_set(url.get(), CURLUPART_URL, uri.c_str(), CURLU_NON_SUPPORT_SCHEME);
        code != CURLUE_OK) {
        error = "malformed URI \"" + uri + "\": " + curl_url_strerror(code);
        return nullptr;
    }
    char* scheme = nullptr;
    if (curl_url_get(url.get(), CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK || !scheme) {
        error = "malformed URI \"" + uri + "\": no scheme";
        return nullptr;
    }
    std::string name(scheme);
    curl_free(scheme);
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    if (name != "http" && name != "https") {
        error = "unsupported scheme \"" + name + "\" in \"" + uri + "\": only http and https";
        return nullptr;
    }
    // libcurl reads "http:///r" and "http:/r" as "http://r/"; an absolute
    // URI has its authority after "//".
    const std::size_t authority = name.size() + 3;
    if (uri.compare(name.size(), 3, "://") != 0 || authority >= uri.size() ||
        std::string_view("/?#").find(uri[authority]) != std::string_view::npos) {
        error = "malformed URI \"" + uri + "\": no host";
        return nullptr;
    }
    char* host = nullptr;
    const CURLUcode host_code = curl_url_get(url.get(), CURLUPART_HOST, &host, 0);
    const bool has_host = host_code == CURLUE_OK && host && *host;
    curl_free(host);
    if (!has_host) {
        error = "malformed URI \"" + uri + "\": no host";
        return nullptr;
    }
    return url;
}

// The state one transfer's callbacks share.
struct Exchange {
    std::stop_token stop;
    std::size_t max_answer_bytes = 0;
    std::string body;
    bool too_large = false;
};

std::size_t OnData(char* data, std::size_t size, std::size_t count, void* user)
{
    auto& exchange = *static_cast<Exchange*>(user);
    const std::size_t length = size * count;
    if (length > exchange.max_answer_bytes - exchange.body.size()) {
        exchange.too_large = true;
        return 0;  // any other count than length fails the transfer
    }
    exchange.body.append(data, length);
    return length;
}

int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return static_cast<Exchange*>(user)->stop.stop_requested() ? 1 : 0;
}

class CurlTransport final : public HttpTransport {
public:
    explicit CurlTransport(HttpOptions options) : options_(options) {}

    HttpResult Post(const std::string& uri, const std::string& body, std::stop_token stop,
                    const std::function<void()>& on_started) override
    {
        if (stop.stop_requested()) {
            return Cancellation();
        }
        if (options_.connect_timeout_ms <= 0 || options_.total_timeout_ms <= 0) {
            return Failure("the time-outs must be positive (connect " + std::to_string(options_.connect_timeout_ms) +
                           " ms, total " + std::to_string(options_.total_timeout_ms) + " ms)");
        }
        std::string error;
        UrlHandle url = ParseHttpUri(uri, error);
        if (!url) {
            return Failure(std::move(error));
        }
        if (const CURLcode code = GlobalInit(); code != CURLE_OK) {
            return Failure(std::string("libcurl could not be initialised: ") + curl_easy_strerror(code));
        }
        EasyHandle easy(curl_easy_init());
        if (!easy) {
            return Failure("libcurl could not create a transfer");
        }
        HeaderList headers;
        for (const char* header :
             {"Accept: application/json", "Content-Type: application/json; charset=utf-8", "Expect:"}) {
            curl_slist* longer = curl_slist_append(headers.get(), header);
            if (!longer) {
                return Failure("out of memory");
            }
            (void)headers.release();
            headers.reset(longer);
        }

        Exchange exchange{stop, options_.max_answer_bytes, {}, false};
        char message[CURL_ERROR_SIZE] = {};
        CURL* handle = easy.get();
        const auto limit = static_cast<curl_off_t>(
            std::min<std::size_t>(options_.max_answer_bytes, std::numeric_limits<curl_off_t>::max()));
        const bool configured =
            curl_easy_setopt(handle, CURLOPT_CURLU, url.get()) == CURLE_OK &&
            curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, message) == CURLE_OK &&
            curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
            curl_easy_setopt(handle, CURLOPT_POST, 1L) == CURLE_OK &&
            curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.data()) == CURLE_OK &&
            curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size())) == CURLE_OK &&
            curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get()) == CURLE_OK &&
            curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
            curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 20L) == CURLE_OK &&
            curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
            curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK &&
            curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options_.connect_timeout_ms)) ==
                CURLE_OK &&
            curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(options_.total_timeout_ms)) == CURLE_OK &&
            curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, limit) == CURLE_OK &&
            curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &OnData) == CURLE_OK &&
            curl_easy_setopt(handle, CURLOPT_WRITEDATA, &exchange) == CURLE_OK &&
            curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L) == CURLE_OK &&
            curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &OnProgress) == CURLE_OK &&
            curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &exchange) == CURLE_OK;
        if (!configured) {
            return Failure(std::string("libcurl refused an option: ") + message);
        }

        MultiHandle multi(curl_multi_init(), handle);
        if (!multi.Ready()) {
            return Failure("libcurl could not start a transfer");
        }
        // Declared after multi, so gone before it: a stop request from
        // another thread wakes the wait below.
        std::stop_callback wake(stop, [&multi] { curl_multi_wakeup(multi.get()); });

        if (on_started) {
            on_started();
        }
        int running = 1;
        while (running > 0) {
            if (const CURLMcode code = curl_multi_perform(multi.get(), &running); code != CURLM_OK) {
                return Failure(std::string("libcurl: ") + curl_multi_strerror(code));
            }
            if (running == 0) {
                break;
            }
            if (stop.stop_requested()) {
                return Cancellation();
            }
            if (const CURLMcode code = curl_multi_poll(multi.get(), nullptr, 0, 1000, nullptr); code != CURLM_OK) {
                return Failure(std::string("libcurl: ") + curl_multi_strerror(code));
            }
            if (stop.stop_requested()) {
                return Cancellation();
            }
        }

        CURLcode done = CURLE_FAILED_INIT;
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi.get(), &queued)) {
            if (msg->msg == CURLMSG_DONE && msg->easy_handle == handle) {
                done = msg->data.result;
            }
        }
        return Finish(handle, done, message, std::move(exchange));
    }

private:
    HttpResult Finish(CURL* handle, CURLcode done, const char* message, Exchange exchange) const
    {
        const std::string detail = *message ? message : curl_easy_strerror(done);
        switch (done) {
        case CURLE_OK: {
            HttpResult result;
            result.outcome = Outcome::Answered;
            curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &result.status);
            result.body = std::move(exchange.body);
            return result;
        }
        case CURLE_ABORTED_BY_CALLBACK: return Cancellation();
        case CURLE_OPERATION_TIMEDOUT:
            return Failure("timed out (connect " + std::to_string(options_.connect_timeout_ms) + " ms, total " +
                           std::to_string(options_.total_timeout_ms) + " ms): " + detail);
        case CURLE_FILESIZE_EXCEEDED:
            return Failure("the answer is larger than " + std::to_string(options_.max_answer_bytes) + " bytes");
        case CURLE_WRITE_ERROR:
            if (exchange.too_large) {
                return Failure("the answer is larger than " + std::to_string(options_.max_answer_bytes) + " bytes");
            }
            return Failure(detail);
        default: return Failure(detail);
        }
    }

    HttpOptions options_;
};

}  // namespace

std::shared_ptr<HttpTransport> MakeCurlTransport(HttpOptions options)
{
    return std::make_shared<CurlTransport>(options);
}

}  // namespace VextuneCore::Client
