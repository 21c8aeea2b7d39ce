// The service under a mixed load: a `vextune-tools serve` on an LMDB
// catalogue this tool builds, and at once, for --seconds,
//   good clients     real recognitions: signatures of excerpts of the clips,
//                    posted back to back, each answer checked (the right
//                    track, or a request for more, or no match);
//   slow clients     connections that dribble a request header a byte at a
//                    time and never finish it;
//   hostile clients  oversized, malformed and deeply nested requests, bad
//                    framing, and signatures crafted to cost the most;
//   catalogue writes `vextune-tools catalogue add` and `remove` of other
//                    tracks in a loop.
// Each kind of client comes from an address of its own on the loopback
// network (good 127.0.0.2, /health 127.0.0.3, slow 127.0.0.4, hostile
// 127.0.0.5), as they would from hosts of their own, so that a service that
// limits connections per address tells them apart.
// It records the good clients' latency (p50, p99, max) and errors, what the
// slow and hostile clients met, the service's memory sampled every second
// (resident and anonymous), how long it takes to stop on SIGTERM with the
// slow clients still connected, and says whether memory stayed flat.
//
//   mixed_load --seconds 600 [--tools DIR/vextune-tools] [--threads 4]
//              [--good 4] [--rate 0] [--slow 64] [--hostile 2] [--writers 1]
//              [--json FILE] [--work DIR]
//
// Exit status: 0 no fault; 1 a fault: an error to a good client (no answer
// within --timeout-ms, a status other than 200, an answer that is not
// JSON), a wrong track, the service dying, a catalogue write failing, the
// service's anonymous memory growing by more than --memory-bound-mb from
// the warm-up to the end, or the service still running --stop-limit-s
// after SIGTERM; 2 usage, or the set-up failed. Latency is reported, never
// judged.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sndfile.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include "band_selector.h"
#include "records.h"
#include "signature_writer.h"
#include "vextune/protocol/Base64.h"
#include "vextune/vextuneAPI.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Options {
    double seconds = 600;
    std::string tools;
    std::string clips = VXT_BENCH_AUDIO_DIR;
    std::string work;
    bool keep = false;
    int threads = 4;
    int good = 4;
    double rate = 0;  // good requests a second in all; 0: back to back
    int slow = 64;
    int dribble_ms = 1000;
    int hostile = 2;
    int writers = 1;
    int timeout_ms = 10000;
    double memory_bound_mb = 64;
    double stop_limit_s = 10;
    std::string json_path;
};

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// The value at quantile q of sorted values (0 when there are none).
double Quantile(const std::vector<double>& sorted, double q)
{
    if (sorted.empty())
        return 0.0;
    return sorted[static_cast<std::size_t>(q * static_cast<double>(sorted.size() - 1) + 0.5)];
}

[[noreturn]] void SetupFailed(const std::string& what)
{
    std::fprintf(stderr, "mixed_load: %s\n", what.c_str());
    std::exit(2);
}

// ---- processes ----

// Runs a command to its end; its standard output and error, together.
struct Ran {
    int status = -1;  // the exit status, 128 + the signal when killed
    std::string output;
};

int StatusOf(int wait_status)
{
    if (WIFEXITED(wait_status))
        return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status))
        return 128 + WTERMSIG(wait_status);
    return -1;
}

std::vector<char*> Argv(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return argv;
}

Ran Run(const std::vector<std::string>& args)
{
    Ran ran;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        ran.output = std::string("pipe: ") + std::strerror(errno);
        return ran;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    pid_t pid = -1;
    auto argv = Argv(args);
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (spawned != 0) {
        close(out[0]);
        ran.output = args[0] + ": " + std::strerror(spawned);
        return ran;
    }
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n > 0)
            ran.output.append(buffer, static_cast<std::size_t>(n));
        else if (n == 0 || errno != EINTR)
            break;
    }
    close(out[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    ran.status = StatusOf(status);
    return ran;
}

// The service, its output going to a file.
struct Service {
    pid_t pid = -1;
    int port = 0;
    std::string log;
};

Service StartService(const Options& o, const std::string& db)
{
    Service s;
    s.log = o.work + "/serve.log";
    const int fd = open(s.log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        SetupFailed(s.log + ": " + std::strerror(errno));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fd, 1);
    posix_spawn_file_actions_adddup2(&actions, fd, 2);
    const std::vector<std::string> args = {o.tools,    "serve",       "--db",      db,
                                           "--listen", "127.0.0.1:0", "--threads", std::to_string(o.threads)};
    auto argv = Argv(args);
    const int spawned = posix_spawn(&s.pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fd);
    if (spawned != 0)
        SetupFailed(o.tools + ": " + std::strerror(spawned));
    // "listening on http://127.0.0.1:PORT"
    const auto give_up = Clock::now() + 30s;
    while (Clock::now() < give_up) {
        std::ifstream in(s.log);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const auto at = text.find("listening on http://127.0.0.1:");
        if (at != std::string::npos) {
            s.port = std::atoi(text.c_str() + at + std::strlen("listening on http://127.0.0.1:"));
            if (s.port > 0)
                return s;
        }
        int status = 0;
        if (waitpid(s.pid, &status, WNOHANG) == s.pid)
            SetupFailed("the service ended at once (status " + std::to_string(StatusOf(status)) + "): " + text);
        std::this_thread::sleep_for(20ms);
    }
    kill(s.pid, SIGKILL);
    SetupFailed("the service did not say where it listens");
}

struct Memory {
    long rss_kb = 0;
    long anon_kb = 0;
    long file_kb = 0;
};

std::optional<Memory> MemoryOf(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    if (!in)
        return std::nullopt;
    Memory m;
    std::string line;
    while (std::getline(in, line)) {
        const auto value = [&](const char* key, long* out) {
            if (line.rfind(key, 0) == 0)
                *out = std::atol(line.c_str() + std::strlen(key));
        };
        value("VmRSS:", &m.rss_kb);
        value("RssAnon:", &m.anon_kb);
        value("RssFile:", &m.file_kb);
    }
    return m;
}

// ---- audio, the catalogue and the queries ----

struct Audio {
    std::vector<std::int16_t> samples;  // channel 0
    int rate = 0;
};

Audio ReadAudio(const std::string& path)
{
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file)
        SetupFailed(path + ": " + sf_strerror(nullptr));
    std::vector<std::int16_t> frames(static_cast<std::size_t>(info.frames) * static_cast<std::size_t>(info.channels));
    const sf_count_t got = sf_readf_short(file, frames.data(), info.frames);
    sf_close(file);
    Audio a;
    a.rate = info.samplerate;
    for (sf_count_t i = 0; i < got; ++i)
        a.samples.push_back(frames[static_cast<std::size_t>(i * info.channels)]);
    return a;
}

void WriteWav(const std::string& path, const std::vector<std::int16_t>& samples, int rate)
{
    SF_INFO info{};
    info.channels = 1;
    info.samplerate = rate;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file)
        SetupFailed(path + ": " + sf_strerror(nullptr));
    sf_write_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
}

// A type 2 signature of samples, as a capture makes it (no timestamp, so
// the bytes depend on the audio alone).
std::vector<std::uint8_t> Signature(const std::int16_t* samples, std::size_t count, int rate)
{
    vxt::engine_handle engine = vxt::create_engine(2, rate, vxt::flag_no_timestamp);
    std::vector<std::uint8_t> out;
    if (vxt::feed_samples(engine, samples, static_cast<std::int32_t>(count)) != vxt::result_ok ||
        vxt::get_signature(engine, out, 0.0) != vxt::result_ok)
        SetupFailed("the engine failed on an excerpt");
    return out;
}

std::string RequestBody(const std::vector<std::uint8_t>& signature, const json& sample_ms)
{
    return json{{"signature", vxt::protocol::EncodeBase64(signature)}, {"samplems", sample_ms}}.dump();
}

// A compact signature of band peaks laid out by place(i) -> (band, time,
// frequency): a request that real audio never makes, which a matcher
// pairing peaks naively pays for quadratically.
std::vector<std::uint8_t> Crafted(std::size_t count,
                                  const std::function<void(std::size_t, std::size_t*, vxt::BandPeak*)>& place)
{
    vxt::band_lists lists;
    std::uint32_t last_time = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t band = 0;
        vxt::BandPeak peak{};
        place(i, &band, &peak);
        lists[band].push_back(peak);
        last_time = std::max(last_time, peak.time);
    }
    for (auto& list : lists)
        std::stable_sort(list.begin(), list.end(), [](const auto& a, const auto& b) { return a.time < b.time; });
    vxt::sig_sample_info record;
    record.initialise(44100, 8000, vxt::pack_version("3.1.2"));
    record.set_payload_type(2);
    vxt::signature_timing timing;
    timing.length_frames = last_time + 1;
    timing.input_rate = 44100;
    timing.sample_count = static_cast<std::uint64_t>((last_time + 1) * 0.008 * 44100 + 0.24 * 44100);
    vxt::chunk_list chunks = vxt::build_compact_chunks(lists);
    std::vector<std::uint8_t> out;
    vxt::write_signature(record, timing, chunks, vxt::pack_version("3.1.2"), vxt::signature_form::compact, out);
    return out;
}

struct Query {
    std::string body;
    std::int64_t track = 0;  // the id it should match
};

// ---- sockets ----

const char* const good_address = "127.0.0.2";
const char* const health_address = "127.0.0.3";
const char* const slow_address = "127.0.0.4";
const char* const hostile_address = "127.0.0.5";

// A connection to the service from source (an address of the loopback
// network); -1 when it cannot be made.
int Connect(int port, int timeout_ms, const char* source)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, source, &from.sin_addr);
    const auto fail = [fd] {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    };
    if (bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0)
        return fail();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return fail();
    return fd;
}

// What a raw exchange met: the status of each answer read (in order), and
// how it ended.
struct Exchange {
    std::vector<int> statuses;
    bool timed_out = false;
    double ms = 0;
};

// Sends bytes (as much as the service takes; a service that closes early
// is not an error here) and reads until the service closes or limit_ms.
Exchange RawExchange(int port, const std::string& bytes, int limit_ms)
{
    Exchange e;
    const auto start = Clock::now();
    const int fd = Connect(port, limit_ms, hostile_address);
    if (fd < 0) {
        e.ms = Ms(Clock::now() - start);
        return e;
    }
    for (std::size_t sent = 0; sent < bytes.size();) {
        const ssize_t n =
            send(fd, bytes.data() + sent, std::min<std::size_t>(bytes.size() - sent, 65536), MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += static_cast<std::size_t>(n);
    }
    std::string got;
    char buffer[16384];
    for (;;) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            got.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            e.timed_out = true;
        break;
    }
    close(fd);
    for (std::size_t at = 0; (at = got.find("HTTP/1.", at)) != std::string::npos; at += 8) {
        if (at + 12 <= got.size() && got[at + 8] == ' ')
            e.statuses.push_back(std::atoi(got.c_str() + at + 9));
    }
    e.ms = Ms(Clock::now() - start);
    return e;
}

// ---- the clients ----

struct GoodStats {
    std::vector<double> latencies_ms;  // of every answer
    long match = 0, retry = 0, none = 0, wrong = 0, errors = 0;
    std::vector<std::string> first_errors;
};

void GoodClient(int index, int port, const Options& o, const std::vector<Query>& queries, const std::atomic<bool>& stop,
                GoodStats* stats, std::mutex* lock)
{
    // A connection per request, as the recognition client makes them.
    httplib::Client client("127.0.0.1", port);
    client.set_interface(good_address);  // a source address: httplib binds to it
    client.set_keep_alive(false);
    client.set_tcp_nodelay(true);
    const auto timeout = std::chrono::milliseconds(o.timeout_ms);
    client.set_connection_timeout(timeout);
    client.set_read_timeout(timeout);
    client.set_write_timeout(timeout);
    GoodStats mine;
    const auto error = [&](const std::string& what) {
        ++mine.errors;
        if (mine.first_errors.size() < 5)
            mine.first_errors.push_back(what);
    };
    // With a rate, each client keeps its share of it.
    const auto period =
        o.rate > 0 ? std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.good / o.rate))
                   : Clock::duration::zero();
    auto next = Clock::now();
    for (std::size_t i = static_cast<std::size_t>(index); !stop; i += static_cast<std::size_t>(o.good)) {
        const Query& q = queries[i % queries.size()];
        if (period != Clock::duration::zero()) {
            std::this_thread::sleep_until(next);
            next = std::max(next + period, Clock::now() - period);
        }
        const auto t0 = Clock::now();
        const auto result = client.Post("/recognize", q.body, "application/json");
        const double took = Ms(Clock::now() - t0);
        if (!result) {
            error("no answer after " + std::to_string(static_cast<long>(took)) +
                  " ms: " + httplib::to_string(result.error()));
            continue;
        }
        mine.latencies_ms.push_back(took);
        if (result->status != 200) {
            error("HTTP " + std::to_string(result->status) + ": " + result->body.substr(0, 200));
            continue;
        }
        json answer;
        try {
            answer = json::parse(result->body);
        } catch (const json::exception& e) {
            error(std::string("an answer that is not JSON: ") + e.what());
            continue;
        }
        if (answer.contains("matches") && answer["matches"].is_array() && !answer["matches"].empty()) {
            const json& first = answer["matches"][0];
            if (first.is_object() && first.value("id", std::int64_t{-1}) == q.track) {
                ++mine.match;
            } else {
                ++mine.wrong;
                if (mine.first_errors.size() < 5)
                    mine.first_errors.push_back("track " + std::to_string(q.track) + " answered " + first.dump());
            }
        } else if (answer.contains("retryms")) {
            ++mine.retry;
        } else {
            ++mine.none;
        }
    }
    std::lock_guard hold(*lock);
    stats->latencies_ms.insert(stats->latencies_ms.end(), mine.latencies_ms.begin(), mine.latencies_ms.end());
    stats->match += mine.match;
    stats->retry += mine.retry;
    stats->none += mine.none;
    stats->wrong += mine.wrong;
    stats->errors += mine.errors;
    for (auto& e : mine.first_errors) {
        if (stats->first_errors.size() < 5)
            stats->first_errors.push_back(std::move(e));
    }
}

struct SlowStats {
    long opened = 0;
    long refused = 0;  // connections that could not be made (refused, timed out)
    std::string first_refusal;
    long cut_off = 0;                 // closed by the service mid-header
    std::vector<double> lifetimes_s;  // of those cut off
};

// Every connection sends one byte of a header that never ends each
// dribble_ms; one the service closes is opened again.
void SlowClients(int port, const Options& o, const std::atomic<bool>& stop, SlowStats* stats)
{
    const std::string header = "POST /recognize HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                               "X-Slow: " +
                               std::string(1 << 16, 'a');
    struct Connection {
        int fd = -1;
        std::size_t sent = 0;
        Clock::time_point opened;
    };
    std::vector<Connection> connections(static_cast<std::size_t>(o.slow));
    while (!stop) {
        const auto tick = Clock::now();
        for (Connection& c : connections) {
            if (stop)
                break;
            if (c.fd < 0) {
                c.fd = Connect(port, 1000, slow_address);
                if (c.fd < 0) {
                    if (stats->refused++ == 0)
                        stats->first_refusal = std::strerror(errno);
                    continue;
                }
                ++stats->opened;
                c.sent = 0;
                c.opened = Clock::now();
            }
            char probe;
            const ssize_t peeked = recv(c.fd, &probe, 1, MSG_DONTWAIT | MSG_PEEK);
            const bool closed = peeked == 0 || (peeked < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
            const bool answered = peeked > 0;  // e.g. a 408: it closes next
            if (closed || answered ||
                send(c.fd, header.data() + c.sent % header.size(), 1, MSG_NOSIGNAL | MSG_DONTWAIT) != 1) {
                ++stats->cut_off;
                stats->lifetimes_s.push_back(std::chrono::duration<double>(Clock::now() - c.opened).count());
                close(c.fd);
                c.fd = -1;
                continue;
            }
            ++c.sent;
        }
        std::this_thread::sleep_until(tick + std::chrono::milliseconds(o.dribble_ms));
    }
    for (Connection& c : connections) {
        if (c.fd >= 0)
            close(c.fd);
    }
}

struct HostileKind {
    std::string name;
    std::string bytes;
};

std::string Post(const std::string& body, const std::string& extra_headers = {})
{
    return "POST /recognize HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nConnection: close\r\n" +
           extra_headers + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::vector<HostileKind> HostileKinds(const std::vector<std::uint8_t>& real)
{
    std::vector<HostileKind> kinds;
    const auto add = [&](std::string name, std::string bytes) { kinds.push_back({std::move(name), std::move(bytes)}); };
    const std::string head = "POST /recognize HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    add("oversized body (2 MiB)", Post(std::string(2 << 20, ' ')));
    add("Content-Length 10^12", head + "Content-Length: 1000000000000\r\n\r\n" + std::string(4096, '{'));
    add("Content-Length -1", head + "Content-Length: -1\r\n\r\n{}");
    add("two Content-Lengths", head + "Content-Length: 2\r\nContent-Length: 40\r\n\r\n{}");
    add("malformed JSON", Post(R"({"signature": "AAAA", "samplems": )"));
    add("70 000 nested arrays", Post(std::string(70000, '[') + std::string(70000, ']')));
    add("nested member",
        Post(R"({"signature": )" + std::string(5000, '[') + std::string(5000, ']') + R"(, "samplems": 10000})"));
    add("not base64", Post(R"({"signature": "!!!!not base64!!!!", "samplems": 10000})"));
    std::vector<std::uint8_t> flipped = real;
    flipped[flipped.size() / 2] ^= 0x5a;
    add("bit-flipped signature", Post(RequestBody(flipped, 10000)));
    add("truncated signature",
        Post(RequestBody(
            std::vector<std::uint8_t>(real.begin(), real.begin() + static_cast<std::ptrdiff_t>(real.size() / 3)),
            10000)));
    add("samplems -1", Post(RequestBody(real, -1)));
    add("samplems 1e308", Post(RequestBody(real, 1e308)));
    add("samplems \"1e999\"", Post(RequestBody(real, "1e999")));
    // 150 000 peaks: about as many as a 1 MiB body holds.
    constexpr std::size_t peaks = 150000;
    add("150 000 peaks in one frame",
        Post(RequestBody(Crafted(peaks,
                                 [](std::size_t i, std::size_t* band, vxt::BandPeak* p) {
                                     *band = i % 3;
                                     const std::uint16_t from[] = {2048, 4259, 11878};
                                     const std::uint16_t span[] = {2211, 7619, 16794};
                                     p->time = 0;
                                     p->frequency = static_cast<std::uint16_t>(from[*band] + (i / 3) % span[*band]);
                                     p->amplitude = 2000;
                                 }),
                         10000)));
    add("150 000 peaks in one bin", Post(RequestBody(Crafted(peaks,
                                                             [](std::size_t i, std::size_t* band, vxt::BandPeak* p) {
                                                                 *band = 1;
                                                                 p->time = static_cast<std::uint32_t>(i);
                                                                 p->frequency = 6000;
                                                                 p->amplitude = 2000;
                                                             }),
                                                     10000)));
    add("three pipelined", std::string("GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n") +
                               "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" +
                               "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    add("Range on /recognize", Post(RequestBody(real, 10000), "Range: bytes=0-0,1-1,2-2,3-3,4-4,5-5,6-6,7-7\r\n"));
    add("encoded newline in the path", "GET /health%0d%0a127.0.0.1%20-%20forged HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                       "Connection: close\r\n\r\n");
    add("not HTTP", std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11) + std::string(500, '\x7f'));
    add("empty body", Post(""));
    return kinds;
}

struct HostileStats {
    struct Kind {
        long sent = 0;
        std::map<std::string, long> outcomes;  // "400", "closed", "timed out", "3 answers" ...
        double max_ms = 0;
    };
    std::map<std::string, Kind> kinds;
};

void HostileClient(int index, int port, const std::vector<HostileKind>& kinds, const std::atomic<bool>& stop,
                   HostileStats* stats, std::mutex* lock)
{
    for (std::size_t i = static_cast<std::size_t>(index); !stop; ++i) {
        const HostileKind& kind = kinds[i % kinds.size()];
        const Exchange e = RawExchange(port, kind.bytes, 10000);
        std::string outcome;
        if (e.statuses.empty())
            outcome = e.timed_out ? "timed out" : "closed";
        else if (e.statuses.size() == 1)
            outcome = std::to_string(e.statuses[0]);
        else
            outcome = std::to_string(e.statuses.size()) + " answers";
        std::lock_guard hold(*lock);
        auto& k = stats->kinds[kind.name];
        ++k.sent;
        ++k.outcomes[outcome];
        k.max_ms = std::max(k.max_ms, e.ms);
    }
}

struct WriteStats {
    long cycles = 0;
    long failures = 0;
    std::vector<double> add_ms, remove_ms;
    std::vector<std::string> first_failures;
};

void Writer(int index, const Options& o, const std::string& db, const std::vector<std::string>& files,
            const std::atomic<bool>& stop, WriteStats* stats, std::mutex* lock)
{
    const auto failed = [&](const std::string& what) {
        std::lock_guard hold(*lock);
        ++stats->failures;
        if (stats->first_failures.size() < 5)
            stats->first_failures.push_back(what);
    };
    for (std::size_t i = static_cast<std::size_t>(index); !stop; i += static_cast<std::size_t>(o.writers)) {
        const std::string& file = files[i % files.size()];
        auto t0 = Clock::now();
        const Ran added = Run({o.tools, "catalogue", "add", "--db", db, file});
        const double add_ms = Ms(Clock::now() - t0);
        const auto at = added.output.find("added\t");
        if (added.status != 0 || at == std::string::npos) {
            failed("add " + file + " (status " + std::to_string(added.status) + "): " + added.output.substr(0, 300));
            continue;
        }
        const std::string id = std::to_string(std::atol(added.output.c_str() + at + 6));
        t0 = Clock::now();
        const Ran removed = Run({o.tools, "catalogue", "remove", "--db", db, id});
        const double remove_ms = Ms(Clock::now() - t0);
        if (removed.status != 0) {
            failed("remove " + id + " (status " + std::to_string(removed.status) +
                   "): " + removed.output.substr(0, 300));
            continue;
        }
        std::lock_guard hold(*lock);
        ++stats->cycles;
        stats->add_ms.push_back(add_ms);
        stats->remove_ms.push_back(remove_ms);
    }
}

struct Sample {
    double t = 0;  // seconds since the load began
    Memory memory;
};

// SIGINT or SIGTERM ends the load early, with the figures of what ran.
volatile std::sig_atomic_t interrupted = 0;

void Interrupt(int)
{
    interrupted = 1;
}

}  // namespace

int main(int argc, char** argv)
{
    Options o;
    CLI::App app{"The recognition service under good, slow and hostile clients and catalogue writes at once"};
    app.add_option("--seconds", o.seconds, "How long the load runs (default 600)")->check(CLI::PositiveNumber);
    app.add_option("--tools", o.tools, "vextune-tools (default: beside this program)");
    app.add_option("--clips", o.clips, "A folder of audio clips: the catalogue and the good clients' queries");
    app.add_option("--work", o.work, "Where the catalogue and the service's log go (default: a new folder in /tmp)");
    app.add_flag("--keep", o.keep, "Keep the work folder");
    app.add_option("--threads", o.threads, "The service's --threads (default 4)")->check(CLI::PositiveNumber);
    app.add_option("--good", o.good, "Good clients (default 4)")->check(CLI::PositiveNumber);
    app.add_option("--rate", o.rate, "Good requests a second in all (default 0: each client back to back)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--slow", o.slow, "Slow clients (default 64)")->check(CLI::NonNegativeNumber);
    app.add_option("--dribble-ms", o.dribble_ms, "A slow client's pause between bytes (default 1000)")
        ->check(CLI::PositiveNumber);
    app.add_option("--hostile", o.hostile, "Hostile clients (default 2)")->check(CLI::NonNegativeNumber);
    app.add_option("--writers", o.writers, "Catalogue writers (default 1)")->check(CLI::NonNegativeNumber);
    app.add_option("--timeout-ms", o.timeout_ms, "A good client's time-out (default 10000)")
        ->check(CLI::PositiveNumber);
    app.add_option("--memory-bound-mb", o.memory_bound_mb,
                   "Growth of the service's anonymous memory that is a fault (default 64)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--stop-limit-s", o.stop_limit_s,
                   "How long the service may take to stop on SIGTERM before that is a fault (default 10)")
        ->check(CLI::PositiveNumber);
    app.add_option("--json", o.json_path, "Also write the figures as JSON to FILE");
    CLI11_PARSE(app, argc, argv);

    signal(SIGPIPE, SIG_IGN);
    signal(SIGINT, Interrupt);
    signal(SIGTERM, Interrupt);
    // Slow clients hold a descriptor each.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    if (o.tools.empty())
        o.tools = (fs::path(argv[0]).parent_path() / "vextune-tools").string();
    if (access(o.tools.c_str(), X_OK) != 0)
        SetupFailed(o.tools + ": not an executable (give --tools)");
    const bool own_work = o.work.empty();
    if (own_work) {
        std::string pattern = (fs::temp_directory_path() / "vxt-mixed-load-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            SetupFailed(std::string("mkdtemp: ") + std::strerror(errno));
        o.work = pattern;
    }
    fs::create_directories(o.work);
    const std::string db = o.work + "/catalogue";
    fs::remove_all(db);

    // The catalogue: every clip and its reversal stay; the clips played at
    // other rates (other pitches and tempi) come and go.
    std::vector<std::string> clips;
    for (const auto& entry : fs::directory_iterator(o.clips)) {
        const std::string ext = entry.path().extension().string();
        if (ext == ".flac" || ext == ".wav" || ext == ".ogg")
            clips.push_back(fs::absolute(entry.path()).string());
    }
    std::sort(clips.begin(), clips.end());
    if (clips.empty())
        SetupFailed(o.clips + ": no audio clips");
    std::vector<std::string> kept = clips, churn;
    std::vector<Audio> audio;
    for (const std::string& clip : clips) {
        audio.push_back(ReadAudio(clip));
        const Audio& a = audio.back();
        const std::string stem = o.work + "/" + fs::path(clip).stem().string();
        WriteWav(stem + "-reversed.wav", std::vector<std::int16_t>(a.samples.rbegin(), a.samples.rend()), a.rate);
        kept.push_back(stem + "-reversed.wav");
        for (const int rate : {32000, 48000}) {
            WriteWav(stem + "-at-" + std::to_string(rate) + ".wav", a.samples, rate);
            churn.push_back(stem + "-at-" + std::to_string(rate) + ".wav");
        }
    }
    std::vector<std::string> add = {o.tools, "catalogue", "add", "--db", db};
    add.insert(add.end(), kept.begin(), kept.end());
    const Ran built = Run(add);
    if (built.status != 0)
        SetupFailed("catalogue add: " + built.output);
    const Ran listed = Run({o.tools, "catalogue", "list", "--db", db});
    std::map<std::string, std::int64_t> ids;  // file -> id
    {
        std::istringstream lines(listed.output);
        std::string line;
        while (std::getline(lines, line)) {
            const auto tab = line.rfind('\t');
            if (tab != std::string::npos)
                ids[line.substr(tab + 1)] = std::atol(line.c_str());
        }
    }

    // The good clients' queries: 10 s excerpts of each clip from 0, 2.5 and
    // 5 s on, as a client sends them after ten seconds.
    std::vector<Query> queries;
    std::vector<std::uint8_t> real;
    for (std::size_t c = 0; c < clips.size(); ++c) {
        if (!ids.count(clips[c]))
            SetupFailed(clips[c] + " is not in the catalogue: " + listed.output);
        const Audio& a = audio[c];
        for (const double from : {0.0, 2.5, 5.0}) {
            const auto start = static_cast<std::size_t>(from * a.rate);
            const auto length = static_cast<std::size_t>(10.0 * a.rate);
            if (start + length > a.samples.size())
                continue;
            auto signature = Signature(a.samples.data() + start, length, a.rate);
            if (real.empty())
                real = signature;
            queries.push_back({RequestBody(signature, 10000), ids[clips[c]]});
        }
    }
    if (queries.empty())
        SetupFailed("the clips are shorter than 10 s");
    const std::vector<HostileKind> hostile_kinds = HostileKinds(real);
    const auto catalogue_bytes = [&] {
        std::error_code ec;
        const auto size = fs::file_size(db + "/data.mdb", ec);
        return ec ? 0 : static_cast<long long>(size);
    };
    const long long catalogue_start = catalogue_bytes();

    Service service = StartService(o, db);
    std::printf("mixed_load: service pid %d on 127.0.0.1:%d, %d threads; %zu tracks kept, %zu coming and going; "
                "%d good, %d slow, %d hostile clients, %d writers, %.0f s\n",
                static_cast<int>(service.pid), service.port, o.threads, kept.size(), churn.size(), o.good, o.slow,
                o.hostile, o.writers, o.seconds);
    std::fflush(stdout);

    std::atomic<bool> stop = false, stop_slow = false;
    std::mutex lock;
    GoodStats good;
    SlowStats slow;
    HostileStats hostile;
    WriteStats writes;
    std::vector<Sample> samples;
    std::vector<double> health_ms;
    std::optional<int> died;  // the service's status, when it ended by itself
    const auto began = Clock::now();

    std::vector<std::thread> workers;
    for (int i = 0; i < o.good; ++i)
        workers.emplace_back(GoodClient, i, service.port, std::cref(o), std::cref(queries), std::cref(stop), &good,
                             &lock);
    for (int i = 0; i < o.hostile; ++i)
        workers.emplace_back(HostileClient, i, service.port, std::cref(hostile_kinds), std::cref(stop), &hostile,
                             &lock);
    for (int i = 0; i < o.writers; ++i)
        workers.emplace_back(Writer, i, std::cref(o), std::cref(db), std::cref(churn), std::cref(stop), &writes, &lock);
    std::thread slow_thread;
    if (o.slow > 0)
        slow_thread = std::thread(SlowClients, service.port, std::cref(o), std::cref(stop_slow), &slow);

    // Health once a second, on a thread of its own (an answer may take
    // long); memory once a second here, and the service must live
    // throughout.
    long health_errors = 0;
    std::thread health([&] {
        httplib::Client probe("127.0.0.1", service.port);
        probe.set_interface(health_address);
        probe.set_connection_timeout(std::chrono::milliseconds(o.timeout_ms));
        probe.set_read_timeout(std::chrono::milliseconds(o.timeout_ms));
        for (auto next = Clock::now(); !stop; next += 1s) {
            std::this_thread::sleep_until(next);
            const auto t0 = Clock::now();
            const auto r = probe.Get("/health");
            const double took = Ms(Clock::now() - t0);
            std::lock_guard hold(lock);
            if (r && r->status == 200)
                health_ms.push_back(took);
            else
                ++health_errors;
        }
    });
    const auto end = began + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.seconds));
    for (auto next = began; Clock::now() < end && !interrupted; next += 1s) {
        std::this_thread::sleep_until(std::min(next, end));
        int status = 0;
        if (waitpid(service.pid, &status, WNOHANG) == service.pid) {
            died = StatusOf(status);
            break;
        }
        if (const auto m = MemoryOf(service.pid))
            samples.push_back({std::chrono::duration<double>(Clock::now() - began).count(), *m});
    }
    const double ran_s = std::chrono::duration<double>(Clock::now() - began).count();
    stop = true;
    for (auto& t : workers)
        t.join();
    health.join();

    // SIGTERM with the slow clients still connected.
    double stop_ms = -1;
    bool killed = false;
    if (!died) {
        const auto t0 = Clock::now();
        kill(service.pid, SIGTERM);
        int status = 0;
        for (;;) {
            if (waitpid(service.pid, &status, WNOHANG) == service.pid) {
                stop_ms = Ms(Clock::now() - t0);
                break;
            }
            if (Clock::now() - t0 > std::chrono::duration<double>(o.stop_limit_s)) {
                kill(service.pid, SIGKILL);
                waitpid(service.pid, &status, 0);
                killed = true;
                break;
            }
            std::this_thread::sleep_for(5ms);
        }
    }
    stop_slow = true;
    if (slow_thread.joinable())
        slow_thread.join();

    // ---- the figures ----
    std::sort(good.latencies_ms.begin(), good.latencies_ms.end());
    std::sort(health_ms.begin(), health_ms.end());
    std::sort(slow.lifetimes_s.begin(), slow.lifetimes_s.end());
    std::sort(writes.add_ms.begin(), writes.add_ms.end());
    // Memory: the highest anonymous memory of the warm-up (the first fifth,
    // at least 5 s) against the highest of the last fifth.
    const double warm_s = std::max(5.0, ran_s / 5);
    long warm_kb = 0, late_kb = 0;
    for (const Sample& s : samples) {
        if (s.t <= warm_s)
            warm_kb = std::max(warm_kb, s.memory.anon_kb);
        if (s.t >= ran_s * 0.8)
            late_kb = std::max(late_kb, s.memory.anon_kb);
    }
    const long growth_kb = late_kb - warm_kb;
    const bool flat = samples.size() >= 2 && static_cast<double>(growth_kb) <= o.memory_bound_mb * 1024;

    std::vector<std::string> faults;
    if (died)
        faults.push_back("the service died (status " + std::to_string(*died) + "); its log: " + service.log);
    if (good.errors > 0)
        faults.push_back(std::to_string(good.errors) + " errors to good clients");
    if (good.wrong > 0)
        faults.push_back(std::to_string(good.wrong) + " wrong tracks answered");
    if (good.latencies_ms.empty())
        faults.push_back("no good client was answered");
    if (writes.failures > 0)
        faults.push_back(std::to_string(writes.failures) + " catalogue writes failed");
    if (!flat)
        faults.push_back("anonymous memory grew by " + std::to_string(growth_kb / 1024) + " MB");
    if (killed)
        faults.push_back("the service was still running " + std::to_string(static_cast<int>(o.stop_limit_s)) +
                         " s after SIGTERM");

    json figures;
    figures["seconds"] = ran_s;
    figures["threads"] = o.threads;
    const double requests = static_cast<double>(good.latencies_ms.size());
    figures["good"] = {{"clients", o.good},
                       {"answers", good.latencies_ms.size()},
                       {"per_second", requests / ran_s},
                       {"p50_ms", Quantile(good.latencies_ms, 0.5)},
                       {"p99_ms", Quantile(good.latencies_ms, 0.99)},
                       {"max_ms", Quantile(good.latencies_ms, 1.0)},
                       {"match", good.match},
                       {"retry", good.retry},
                       {"none", good.none},
                       {"wrong", good.wrong},
                       {"errors", good.errors},
                       {"first_errors", good.first_errors}};
    figures["health"] = {{"answers", health_ms.size()},
                         {"errors", health_errors},
                         {"p50_ms", Quantile(health_ms, 0.5)},
                         {"max_ms", Quantile(health_ms, 1.0)}};
    figures["slow"] = {{"clients", o.slow},
                       {"dribble_ms", o.dribble_ms},
                       {"opened", slow.opened},
                       {"not_connected", slow.refused},
                       {"first_not_connected", slow.first_refusal},
                       {"cut_off", slow.cut_off},
                       {"lifetime_p50_s", Quantile(slow.lifetimes_s, 0.5)},
                       {"lifetime_max_s", Quantile(slow.lifetimes_s, 1.0)}};
    json kinds = json::object();
    for (const auto& [name, k] : hostile.kinds)
        kinds[name] = {{"sent", k.sent}, {"outcomes", k.outcomes}, {"max_ms", k.max_ms}};
    figures["hostile"] = {{"clients", o.hostile}, {"kinds", kinds}};
    figures["writes"] = {{"writers", o.writers},
                         {"cycles", writes.cycles},
                         {"failures", writes.failures},
                         {"add_p50_ms", Quantile(writes.add_ms, 0.5)},
                         {"first_failures", writes.first_failures}};
    json memory = json::array();
    for (std::size_t i = 0; i < samples.size(); i += std::max<std::size_t>(1, samples.size() / 10))
        memory.push_back({{"t", std::round(samples[i].t)},
                          {"rss_kb", samples[i].memory.rss_kb},
                          {"anon_kb", samples[i].memory.anon_kb},
                          {"file_kb", samples[i].memory.file_kb}});
    figures["memory"] = {{"samples", memory},
                         {"warm_anon_kb", warm_kb},
                         {"late_anon_kb", late_kb},
                         {"growth_kb", growth_kb},
                         {"flat", flat}};
    figures["catalogue_bytes"] = {{"start", catalogue_start}, {"end", catalogue_bytes()}};
    figures["sigterm_ms"] = killed ? json(nullptr) : json(stop_ms);
    figures["faults"] = faults;

    std::printf("good clients: %zu answers in %.0f s (%.0f a second), latency p50 %.1f ms, p99 %.1f ms, max %.1f ms; "
                "%ld match, %ld retry, %ld none, %ld wrong, %ld errors\n",
                good.latencies_ms.size(), ran_s, requests / ran_s, Quantile(good.latencies_ms, 0.5),
                Quantile(good.latencies_ms, 0.99), Quantile(good.latencies_ms, 1.0), good.match, good.retry, good.none,
                good.wrong, good.errors);
    for (const std::string& e : good.first_errors)
        std::printf("  %s\n", e.c_str());
    std::printf("health: %zu answers, p50 %.1f ms, max %.1f ms; %ld unanswered\n", health_ms.size(),
                Quantile(health_ms, 0.5), Quantile(health_ms, 1.0), health_errors);
    std::printf("slow clients: %d open at a time, %ld opened, %ld not connected%s%s, %ld cut off (lived p50 %.1f s, "
                "max %.1f s)\n",
                o.slow, slow.opened, slow.refused, slow.refused ? ": " : "", slow.first_refusal.c_str(), slow.cut_off,
                Quantile(slow.lifetimes_s, 0.5), Quantile(slow.lifetimes_s, 1.0));
    std::printf("hostile requests:\n");
    for (const auto& [name, k] : hostile.kinds) {
        std::string outcomes;
        for (const auto& [outcome, n] : k.outcomes)
            outcomes += (outcomes.empty() ? "" : ", ") + outcome + " x" + std::to_string(n);
        std::printf("  %-30s %4ld sent: %s (slowest %.0f ms)\n", name.c_str(), k.sent, outcomes.c_str(), k.max_ms);
    }
    std::printf("catalogue writes: %ld add/remove cycles (add p50 %.0f ms), %ld failed; data.mdb %lld -> %lld bytes\n",
                writes.cycles, Quantile(writes.add_ms, 0.5), writes.failures, catalogue_start, catalogue_bytes());
    for (const std::string& f : writes.first_failures)
        std::printf("  %s\n", f.c_str());
    std::printf("memory (KiB, t s: rss/anon):");
    for (const auto& m : memory)
        std::printf(" %.0f:%ld/%ld", m["t"].get<double>(), m["rss_kb"].get<long>(), m["anon_kb"].get<long>());
    std::printf("\nanonymous memory %ld KiB after the warm-up, %ld KiB at the end: %s\n", warm_kb, late_kb,
                flat ? "flat" : "GREW");
    if (killed)
        std::printf("SIGTERM: still running after %.0f s, killed\n", o.stop_limit_s);
    else if (stop_ms >= 0)
        std::printf("SIGTERM: stopped in %.0f ms with %d slow clients connected\n", stop_ms, o.slow);
    for (const std::string& f : faults)
        std::printf("FAULT: %s\n", f.c_str());
    std::printf("%s\n", faults.empty() ? "mixed_load: no fault" : "mixed_load: faults found");
    if (!o.json_path.empty())
        std::ofstream(o.json_path) << figures.dump(2) << "\n";
    if (own_work && !o.keep && faults.empty())
        fs::remove_all(o.work);
    else
        std::printf("mixed_load: the catalogue and the service's log are in %s\n", o.work.c_str());
    return faults.empty() ? 0 : 1;
}
