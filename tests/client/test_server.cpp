#include "test_server.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace VextuneTest {

std::string ReceivedRequest::Header(std::string_view name) const
{
    for (const auto& [key, value] : headers) {
        if (key.size() == name.size() && strncasecmp(key.data(), name.data(), key.size()) == 0) {
            return value;
        }
    }
    return {};
}

bool ReceivedRequest::HasHeader(std::string_view name) const
{
    for (const auto& header : headers) {
        if (header.first.size() == name.size() && strncasecmp(header.first.data(), name.data(), name.size()) == 0) {
            return true;
        }
    }
    return false;
}

TestHttpServer::TestHttpServer() : server_(std::make_unique<httplib::Server>())
{
    const auto serve = [this](const httplib::Request& request, httplib::Response& response) {
        ReceivedRequest received{request.method, request.path, request.body, {}};
        for (const auto& header : request.headers) {
            received.headers.push_back(header);
        }
        const Reply reply = Dispatch(received);
        response.status = reply.status;
        for (const auto& [key, value] : reply.headers) {
            response.set_header(key, value);
        }
        response.set_content(reply.body, reply.content_type);
    };
    server_->Get(".*", serve);
    server_->Post(".*", serve);
    server_->Put(".*", serve);
    server_->Delete(".*", serve);
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) {
        throw std::runtime_error("the test HTTP server could not bind a port of 127.0.0.1");
    }
    // The socket listens from here on; connections wait in its backlog until
    // the thread accepts them.
    thread_ = std::thread([this] {
        server_->listen_after_bind();
        loop_ended_ = true;
    });
    // stop() only stops a server whose loop runs: wait for it, so the
    // destructor cannot come first.
    while (!server_->is_running() && !loop_ended_) {
        std::this_thread::yield();
    }
}

TestHttpServer::~TestHttpServer()
{
    ReleaseHeld();
    server_->stop();
    thread_.join();
}

std::string TestHttpServer::Uri(std::string_view path) const
{
    return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

void TestHttpServer::Handle(const std::string& path, Handler handler)
{
    std::lock_guard hold(lock_);
    handlers_[path] = std::move(handler);
}

void TestHttpServer::AnswerJson(const std::string& path, std::string body, int status)
{
    Handle(path, [body = std::move(body), status](const ReceivedRequest&) {
        return Reply{status, body, "application/json", {}};
    });
}

void TestHttpServer::AnswerHtml(const std::string& path, std::string body, int status)
{
    Handle(path, [body = std::move(body), status](const ReceivedRequest&) {
        return Reply{status, body, "text/html; charset=utf-8", {}};
    });
}

void TestHttpServer::AnswerEmpty(const std::string& path, int status)
{
    Handle(path, [status](const ReceivedRequest&) { return Reply{status, "", "text/plain", {}}; });
}

void TestHttpServer::RedirectTo(const std::string& path, const std::string& location, int status)
{
    const std::string target = !location.empty() && location.front() == '/' ? Uri(location) : location;
    Handle(path, [target, status](const ReceivedRequest&) {
        return Reply{status, "", "text/plain", {{"Location", target}}};
    });
}

void TestHttpServer::Hold(const std::string& path, Reply after_release)
{
    Handle(path, [this, after_release = std::move(after_release)](const ReceivedRequest&) {
        std::unique_lock hold(lock_);
        changed_.wait(hold, [this] { return released_; });
        return after_release;
    });
}

void TestHttpServer::ReleaseHeld()
{
    std::lock_guard hold(lock_);
    released_ = true;
    changed_.notify_all();
}

std::vector<ReceivedRequest> TestHttpServer::Requests() const
{
    std::lock_guard hold(lock_);
    return requests_;
}

bool TestHttpServer::WaitForRequests(std::size_t count, std::chrono::milliseconds limit) const
{
    std::unique_lock hold(lock_);
    return changed_.wait_for(hold, limit, [&] { return requests_.size() >= count; });
}

Reply TestHttpServer::Dispatch(const ReceivedRequest& request)
{
    Handler handler;
    {
        std::lock_guard hold(lock_);
        requests_.push_back(request);
        changed_.notify_all();
        if (const auto found = handlers_.find(request.path); found != handlers_.end()) {
            handler = found->second;
        }
    }
    if (!handler) {
        return Reply{404, "no handler for " + request.path, "text/plain", {}};
    }
    return handler(request);
}

RefusingPort::RefusingPort()
{
    socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket_ < 0) {
        throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const std::string error = std::strerror(errno);
        ::close(socket_);
        throw std::runtime_error("binding a port of 127.0.0.1: " + error);
    }
    port_ = ntohs(address.sin_port);
}

RefusingPort::~RefusingPort()
{
    ::close(socket_);
}

std::string RefusingPort::Uri(std::string_view path) const
{
    return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

}  // namespace VextuneTest
