// What the service's tests share: a store that fails or hangs on demand,
// a fixture serving a catalogue of one made-up track on 127.0.0.1, and a
// client on a bare socket for what an HTTP library would not send.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "synthetic_music.h"
#include "vextune/matcher/Landmarks.h"
#include "vextune/protocol/Base64.h"
#include "vextune/server/Service.h"
#include "vextune/signature.h"

namespace vxt::server::testing {

// Holds whoever passes while it is shut, and tells who is held.
class Gate {
public:
    void Shut()
    {
        std::lock_guard lock(lock_);
        open_ = false;
    }
    void Open()
    {
        std::lock_guard lock(lock_);
        open_ = true;
        changed_.notify_all();
    }
    void Pass()
    {
        std::unique_lock lock(lock_);
        ++held_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return open_; });
        --held_;
    }
    // Whether someone is held within the time.
    bool Holds(std::chrono::seconds within)
    {
        std::unique_lock lock(lock_);
        return changed_.wait_for(lock, within, [this] { return held_ > 0; });
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool open_ = true;
    int held_ = 0;
};

// A store that fails on demand where the service reads it (lookups and
// totals), or holds the caller at a gate there, and otherwise is the store
// it wraps.
class FailingStore final : public matcher::Store {
public:
    enum class Failure { None, Store, Bug, OutOfMemory, NotAnException, TooLarge };

    explicit FailingStore(matcher::Store& store) : store_(store) {}

    std::atomic<Failure> failure = Failure::None;
    mutable Gate lookups;
    mutable Gate totals;

    void Lookup(std::span<const std::uint32_t> hashes, const matcher::PostingVisitor& visit) const override
    {
        lookups.Pass();
        Fail();
        store_.Lookup(hashes, visit);
    }
    std::uint64_t IndexedFrames() const override { return store_.IndexedFrames(); }
    std::vector<std::vector<matcher::Peak>> TrackPeaks(std::span<const matcher::PeakWindow> windows) const override
    {
        return store_.TrackPeaks(windows);
    }
    Added Add(const matcher::TrackInfo& info, std::span<const matcher::Landmark> landmarks,
              std::span<const matcher::Peak> peaks) override
    {
        return store_.Add(info, landmarks, peaks);
    }
    bool Remove(std::uint32_t id) override { return store_.Remove(id); }
    std::optional<matcher::TrackInfo> Track(std::uint32_t id) const override { return store_.Track(id); }
    std::optional<matcher::TrackInfo> TrackWithContent(std::string_view content) const override
    {
        return store_.TrackWithContent(content);
    }
    std::vector<matcher::TrackInfo> Tracks() const override { return store_.Tracks(); }
    matcher::StoreTotals Totals() const override
    {
        totals.Pass();
        Fail();
        return store_.Totals();
    }

private:
    void Fail() const
    {
        switch (failure.load()) {
        case Failure::None: return;
        case Failure::Store: throw matcher::StoreError("the disk has gone");
        case Failure::Bug: throw std::logic_error("a bug in the store");
        case Failure::OutOfMemory: throw std::bad_alloc();
        case Failure::NotAnException: throw 42;
        case Failure::TooLarge: throw RequestTooLarge("the request holds more pairs than any recording");
        }
    }

    matcher::Store& store_;
};

// One answer as read off a bare socket.
struct RawResponse {
    int status = 0;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
};

// A client connection on a bare socket to 127.0.0.1: sends what it is
// given, as it is, and reads answers by their Content-Length. Every read
// gives up after 20 s.
class RawConnection {
public:
    explicit RawConnection(int port)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        const timeval wait{20, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        const int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~RawConnection() { ::close(fd_); }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool Connected() const noexcept { return connected_; }

    bool Send(std::string_view bytes)
    {
        while (!bytes.empty()) {
            const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }

    // The next answer; none when the connection ends (or nothing comes)
    // before a whole one.
    std::optional<RawResponse> Read()
    {
        std::size_t head_end;
        while ((head_end = pending_.find("\r\n\r\n")) == std::string::npos)
            if (!Receive())
                return std::nullopt;
        RawResponse response;
        const std::string head = pending_.substr(0, head_end);
        if (head.size() < 12 || !head.starts_with("HTTP/1."))
            return std::nullopt;
        response.status = std::stoi(head.substr(9, 3));
        for (std::size_t at = head.find("\r\n"); at != std::string::npos;) {
            const std::size_t next = head.find("\r\n", at + 2);
            const std::string line = head.substr(at + 2, next == std::string::npos ? std::string::npos : next - at - 2);
            const std::size_t colon = line.find(':');
            if (colon != std::string::npos) {
                std::string name = line.substr(0, colon);
                for (char& c : name)
                    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                response.headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
            }
            at = next;
        }
        const std::size_t length =
            response.headers.contains("content-length") ? std::stoul(response.headers["content-length"]) : 0;
        while (pending_.size() < head_end + 4 + length)
            if (!Receive())
                return std::nullopt;
        response.body = pending_.substr(head_end + 4, length);
        pending_.erase(0, head_end + 4 + length);
        return response;
    }

    // Whether the service ends the connection (its end, or a reset)
    // within the time, any answer before the end dropped.
    bool Ends(std::chrono::seconds within)
    {
        const auto until = std::chrono::steady_clock::now() + within;
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                continue;
            char bytes[4096];
            const ssize_t n = ::recv(fd_, bytes, sizeof bytes, 0);
            if (n <= 0)
                return true;
        }
    }

    // Whether the connection is still open: nothing has ended it so far.
    bool Open()
    {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 0) == 0)
            return true;
        char byte;
        return ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
    }

private:
    bool Receive()
    {
        char bytes[16384];
        const ssize_t n = ::recv(fd_, bytes, sizeof bytes, 0);
        if (n <= 0)
            return false;
        pending_.append(bytes, static_cast<std::size_t>(n));
        return true;
    }

    int fd_ = -1;
    bool connected_ = false;
    std::string pending_;
};

// A request on the wire.
inline std::string RawRequest(const std::string& method, const std::string& target, const std::string& body = {},
                              const std::string& headers = {})
{
    std::string text = method + ' ' + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers;
    if (!body.empty() || method == "POST")
        text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return text + "\r\n" + body;
}

// Serves a catalogue of one made-up track ("Étude", 30 s) through a store
// that fails on demand, with two workers and a 64 KiB body limit; keeps
// the access log's lines and the diagnostics.
class ServiceFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        track = SyntheticMusic(5, 30.0);
        matcher::TrackInfo info;
        info.title = "Étude";
        info.artist = "Made up";
        info.content = "c1";
        info.frames = 3750;
        store->Add(info, matcher::SignatureLandmarks(read_signature(Sign(track, 1))));
        Start(Options("127.0.0.1"));
    }

    void TearDown() override { Finish(); }

    ServiceOptions Options(const std::string& host)
    {
        ServiceOptions options;
        options.host = host;
        options.port = 0;
        options.threads = 2;
        options.max_body_bytes = 64 * 1024;
        options.access_log = [this](const std::string& line) {
            std::lock_guard lock(log_lock);
            log.push_back(line);
        };
        options.diagnostics = [this](const std::string& line) {
            std::lock_guard lock(log_lock);
            said.push_back(line);
        };
        return options;
    }

    // Serves with these options instead (the service before stopped).
    void Start(const ServiceOptions& options)
    {
        Finish();
        service = std::make_unique<Service>(failing, RecognizerOptions{}, options);
        port = service->Bind();
        runner = std::jthread([this] { service->Run(); });
    }

    // Stops the service and waits for Run to return.
    void Finish()
    {
        failing.lookups.Open();
        failing.totals.Open();
        if (service)
            service->Stop();
        if (runner.joinable())
            runner.join();
    }

    std::string RecognizeBody(double from, double seconds)
    {
        const std::span<const std::int16_t> heard(track.data() + static_cast<std::size_t>(from * kRate),
                                                  static_cast<std::size_t>(seconds * kRate));
        return nlohmann::json{{"signature", vxt::protocol::EncodeBase64(Sign(heard, 2))}, {"samplems", seconds * 1000}}
            .dump();
    }

    std::vector<std::string> Log()
    {
        std::lock_guard lock(log_lock);
        return log;
    }
    std::vector<std::string> Said()
    {
        std::lock_guard lock(log_lock);
        return said;
    }
    void Forget()
    {
        std::lock_guard lock(log_lock);
        log.clear();
        said.clear();
    }

    std::unique_ptr<matcher::Store> store = matcher::MakeMemoryStore();
    FailingStore failing{*store};
    std::vector<std::int16_t> track;
    std::unique_ptr<Service> service;
    int port = 0;
    std::jthread runner;
    std::mutex log_lock;
    std::vector<std::string> log;   // the access log
    std::vector<std::string> said;  // the diagnostics
};

}  // namespace vxt::server::testing
