// A recognition service under slow clients: starts the service command
// given after "--", holds slow connections open against it (each sending
// one byte of a request head every PERIOD seconds, opened again whenever
// the service closes it), and idle ones (sending nothing, likewise kept
// open), then times real requests one after the other, each on a new
// connection, INTERVAL seconds apart (0.2 by default, so that the slow
// connections' deadlines pass while they are measured), and last the time
// SIGTERM takes to end the service with the
// slow connections still open.
//
//   slow_clients [--slow N] [--idle N] [--period S] [--requests N] [--interval S] [--deadline S]
//                [--from 127.X.Y.Z] --signature FILE -- SERVICE COMMAND...
//   e.g. slow_clients --slow 4 --idle 20 --signature q.sig -- build/bin/vextune-tools serve --db music.db --listen 127.0.0.1:0
//
// The slow connections come from 127.0.0.1; --from makes the real
// requests come from another loopback address, as another client's would
// (to see them served while one address is at its cap).
//
// The service must say "listening on http://HOST:PORT" on standard error
// (as vextune serve does); its other lines are dropped. The signature is a
// file as `vextune signature --type 2` writes it, posted with "samplems"
// 10000. Requests still unanswered after --deadline seconds in all (60 by
// default) are given up and counted; so is a service that has not ended
// DEADLINE seconds after SIGTERM (it is then killed). Prints one JSON line:
// the latencies' median and maximum in ms, the requests answered and given
// up, the slow connections the service closed (and that were opened again),
// the service's resident memory alone and with the connections held, and
// the seconds SIGTERM took.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "vextune/protocol/Base64.h"

namespace {

using Clock = std::chrono::steady_clock;

// Connects to the service on 127.0.0.1, from the loopback address given
// (any other 127.x.y.z is a client address of its own to the service).
int Connect(int port, in_addr_t from = htonl(INADDR_LOOPBACK))
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (from != htonl(INADDR_LOOPBACK)) {
        sockaddr_in source{};
        source.sin_family = AF_INET;
        source.sin_addr.s_addr = from;
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&source), sizeof source) != 0) {
            ::close(fd);
            return -1;
        }
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// One real request on a new connection: the milliseconds until the whole
// answer is in, or a negative number when it does not come by the time.
double TimedRequest(int port, in_addr_t from, const std::string& request, Clock::time_point until)
{
    const auto start = Clock::now();
    const int fd = Connect(port, from);
    if (fd < 0)
        return -1;
    double took = -1;
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        std::string answer;
        std::size_t want = std::string::npos;
        while (answer.size() < want) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            pollfd p{fd, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0)
                break;
            char bytes[16384];
            const ssize_t n = ::recv(fd, bytes, sizeof bytes, 0);
            if (n <= 0)
                break;
            answer.append(bytes, static_cast<std::size_t>(n));
            const auto head_end = answer.find("\r\n\r\n");
            if (want == std::string::npos && head_end != std::string::npos) {
                const auto at = answer.find("Content-Length: ");
                want = head_end + 4 + (at == std::string::npos ? 0 : std::stoul(answer.substr(at + 16)));
            }
        }
        if (want != std::string::npos && answer.size() >= want && answer.starts_with("HTTP/1.1 200"))
            took = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    }
    ::close(fd);
    return took;
}

// The connections that are slow on purpose, kept open until stopped.
class SlowConnections {
public:
    SlowConnections(int port, int slow, int idle, double period) : port_(port), period_(period)
    {
        for (int i = 0; i < slow + idle; ++i)
            connections_.push_back({-1, i < slow, 0, Clock::now()});
        for (auto& c : connections_)
            Open(c);
        thread_ = std::jthread([this](std::stop_token stop) { Keep(stop); });
    }
    ~SlowConnections()
    {
        thread_.request_stop();
        thread_.join();
        for (auto& c : connections_)
            if (c.fd >= 0)
                ::close(c.fd);
    }

    long Reopened() const { return reopened_; }
    int Open() const
    {
        return static_cast<int>(
            std::count_if(connections_.begin(), connections_.end(), [](const Connection& c) { return c.fd >= 0; }));
    }

private:
    struct Connection {
        int fd;
        bool sends;
        std::size_t sent;
        Clock::time_point next;
    };

    void Open(Connection& c)
    {
        c.fd = Connect(port_);
        c.sent = 0;
        c.next = Clock::now();
    }

    void Keep(std::stop_token stop)
    {
        const std::string head = "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
        const auto step = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(period_));
        std::vector<pollfd> polled;
        while (!stop.stop_requested()) {
            const auto now = Clock::now();
            polled.clear();
            for (auto& c : connections_) {
                if (c.fd < 0) {
                    Open(c);
                    ++reopened_;
                    continue;
                }
                if (c.sends && now >= c.next) {
                    const char byte = c.sent < head.size() ? head[c.sent] : 'a';
                    ::send(c.fd, &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
                    ++c.sent;
                    c.next = now + step;
                }
                polled.push_back({c.fd, POLLIN, 0});
            }
            // What the service sends a slow connection (a 408, its end)
            // is read; an end is opened again on the next round.
            if (::poll(polled.data(), polled.size(), 50) > 0) {
                for (const pollfd& p : polled) {
                    if (!(p.revents & (POLLIN | POLLHUP | POLLERR)))
                        continue;
                    char bytes[4096];
                    if (::recv(p.fd, bytes, sizeof bytes, MSG_DONTWAIT) > 0)
                        continue;
                    for (auto& c : connections_)
                        if (c.fd == p.fd) {
                            ::close(c.fd);
                            c.fd = -1;
                        }
                }
            }
        }
    }

    int port_;
    double period_;
    std::vector<Connection> connections_;
    std::atomic<long> reopened_ = 0;
    std::jthread thread_;
};

// Starts the service with its standard error on a pipe and reads the port
// it listens on from it; later lines are read and dropped.
struct Child {
    pid_t pid = -1;
    int port = -1;
    std::jthread reader;
};

bool Start(char** command, Child& child)
{
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return false;
    child.pid = ::fork();
    if (child.pid == 0) {
        ::dup2(out[1], 2);
        ::execvp(command[0], command);
        std::perror(command[0]);
        ::_exit(127);
    }
    ::close(out[1]);
    std::string text;
    char bytes[4096];
    const std::string mark = "listening on http://";
    while (child.port < 0) {
        const ssize_t n = ::read(out[0], bytes, sizeof bytes);
        if (n <= 0)
            break;
        text.append(bytes, static_cast<std::size_t>(n));
        const auto at = text.find(mark);
        const auto end = at == std::string::npos ? at : text.find('\n', at);
        if (end != std::string::npos) {
            const std::string address = text.substr(at + mark.size(), end - at - mark.size());
            child.port = std::atoi(address.substr(address.rfind(':') + 1).c_str());
        }
    }
    std::fputs(text.c_str(), stderr);
    child.reader = std::jthread([fd = out[0]] {
        char dropped[4096];
        while (::read(fd, dropped, sizeof dropped) > 0) {
        }
        ::close(fd);
    });
    return child.port > 0;
}

// The resident memory of a process, in KiB (0 when unknown).
long ResidentKib(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.starts_with("VmRSS:"))
            return std::atol(line.c_str() + 6);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    int slow = 0;
    int idle = 0;
    double period = 4.9;
    int requests = 50;
    double deadline = 60;
    double interval = 0.2;
    in_addr_t from = htonl(INADDR_LOOPBACK);
    std::string signature_file;
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        const std::string flag = argv[i];
        if (i + 1 >= argc)
            break;
        const char* value = argv[++i];
        if (flag == "--slow")
            slow = std::atoi(value);
        else if (flag == "--idle")
            idle = std::atoi(value);
        else if (flag == "--period")
            period = std::atof(value);
        else if (flag == "--requests")
            requests = std::atoi(value);
        else if (flag == "--interval")
            interval = std::atof(value);
        else if (flag == "--deadline")
            deadline = std::atof(value);
        else if (flag == "--from")
            from = ::inet_addr(value);
        else if (flag == "--signature")
            signature_file = value;
        else
            i = argc;
    }
    if (i + 1 >= argc || signature_file.empty() || !(period > 0) || !(deadline > 0) || !(interval >= 0) ||
        requests < 1) {
        std::fprintf(
            stderr,
            "usage: slow_clients [--slow N] [--idle N] [--period S] [--requests N] [--interval S] [--deadline S] "
            "[--from 127.X.Y.Z] --signature FILE -- SERVICE COMMAND...\n");
        return 2;
    }
    std::ifstream in(signature_file, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.empty()) {
        std::fprintf(stderr, "slow_clients: cannot read %s\n", signature_file.c_str());
        return 1;
    }
    const std::string body = R"({"signature":")" + vxt::protocol::EncodeBase64(bytes) + R"(","samplems":10000})";
    const std::string request = "POST /recognize HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                                "Connection: close\r\nContent-Length: " +
                                std::to_string(body.size()) + "\r\n\r\n" + body;

    // A thousand connections want a thousand descriptors.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    ::signal(SIGPIPE, SIG_IGN);

    Child child;
    if (!Start(argv + i + 1, child)) {
        std::fprintf(stderr, "slow_clients: the service did not say where it listens\n");
        return 1;
    }
    nlohmann::json result = {{"slow", slow}, {"idle", idle}, {"period_s", period}};
    result["rss_kib_alone"] = ResidentKib(child.pid);
    {
        SlowConnections held(child.port, slow, idle, period);
        std::this_thread::sleep_for(std::chrono::seconds(1));
        result["open_before"] = held.Open();
        result["rss_kib_held"] = ResidentKib(child.pid);

        std::vector<double> answered;
        int given_up = 0;
        const auto until =
            Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(deadline));
        for (int r = 0; r < requests; ++r) {
            const auto next =
                Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(interval));
            const double ms = Clock::now() < until ? TimedRequest(child.port, from, request, until) : -1;
            if (ms < 0)
                ++given_up;
            else
                answered.push_back(ms);
            std::this_thread::sleep_until(std::min(next, until));
        }
        std::sort(answered.begin(), answered.end());
        result["answered"] = answered.size();
        result["given_up"] = given_up;
        if (!answered.empty()) {
            result["median_ms"] = std::round(answered[answered.size() / 2] * 100) / 100;
            result["max_ms"] = std::round(answered.back() * 100) / 100;
        }
        result["reopened"] = held.Reopened();
        result["open_after"] = held.Open();

        // SIGTERM with the slow connections still held.
        const auto stopping = Clock::now();
        ::kill(child.pid, SIGTERM);
        int status = 0;
        bool ended = false;
        while (!ended && Clock::now() - stopping < std::chrono::duration<double>(deadline)) {
            ended = ::waitpid(child.pid, &status, WNOHANG) == child.pid;
            if (!ended)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (ended) {
            result["sigterm_s"] =
                std::round(std::chrono::duration<double>(Clock::now() - stopping).count() * 1000) / 1000;
            result["exit"] = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        } else {
            ::kill(child.pid, SIGKILL);
            ::waitpid(child.pid, &status, 0);
            result["sigterm_s"] = nullptr;  // not ended by the deadline: killed
        }
    }
    std::printf("%s\n", result.dump().c_str());
    return 0;
}
