// An HTTP server on 127.0.0.1 for the tests of the recognition client: it
// listens on a free port from construction to destruction, on a thread of its
// own, answers each path the way a test set, and records what it received.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace httplib {
class Server;
}

namespace VextuneTest {

// One request as the server received it.
struct ReceivedRequest {
    std::string method;  // "POST", "GET", ...
    std::string path;    // without the query
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;

    // The value of the first header named name (case-insensitive); empty
    // when there is none.
    std::string Header(std::string_view name) const;
    bool HasHeader(std::string_view name) const;
};

// What the server answers.
struct Reply {
    int status = 200;
    std::string body;
    std::string content_type = "text/plain";
    std::vector<std::pair<std::string, std::string>> headers;  // further headers, e.g. Location
};

using Handler = std::function<Reply(const ReceivedRequest&)>;

class TestHttpServer {
public:
    // Listens on a free port of 127.0.0.1; throws std::runtime_error when it
    // cannot.
    TestHttpServer();
    // Releases held requests and stops the server.
    ~TestHttpServer();
    TestHttpServer(const TestHttpServer&) = delete;
    TestHttpServer& operator=(const TestHttpServer&) = delete;

    int Port() const { return port_; }
    // "http://127.0.0.1:PORT" followed by path (which starts with '/').
    std::string Uri(std::string_view path) const;

    // Answers every request on exactly path (any method) with handler,
    // replacing what was set for path before. A path without a handler gets
    // 404 with a plain-text body.
    void Handle(const std::string& path, Handler handler);

    // Canned behaviours on path.
    void AnswerJson(const std::string& path, std::string body, int status = 200);
    void AnswerHtml(const std::string& path, std::string body, int status = 200);
    void AnswerEmpty(const std::string& path, int status = 200);
    // Redirects with status to location: a location starting with '/' is a
    // path of this server, anything else (e.g. "ftp://...") is sent as is.
    void RedirectTo(const std::string& path, const std::string& location, int status = 302);
    // Accepts the request and does not answer until ReleaseHeld() or the
    // server stops; then answers with after_release.
    void Hold(const std::string& path, Reply after_release = {200, "{}", "application/json", {}});
    // Lets every held request (and every later one on a held path) answer.
    void ReleaseHeld();

    // Every request received so far, in the order the handlers were reached.
    std::vector<ReceivedRequest> Requests() const;
    // Waits until at least count requests arrived; false when they did not
    // within limit (a fault of the test, not a measurement).
    bool WaitForRequests(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

private:
    Reply Dispatch(const ReceivedRequest& request);

    std::unique_ptr<httplib::Server> server_;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> loop_ended_{false};

    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::map<std::string, Handler> handlers_;
    std::vector<ReceivedRequest> requests_;
    bool released_ = false;
};

// A port of 127.0.0.1 where nothing listens: a connection to it is refused.
// The port stays bound (without listening) for the object's life, so no
// other program takes it meanwhile.
class RefusingPort {
public:
    RefusingPort();  // throws std::runtime_error when no port can be bound
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;

    int Port() const { return port_; }
    std::string Uri(std::string_view path = "/") const;

private:
    int socket_ = -1;
    int port_ = 0;
};

}  // namespace VextuneTest
