#include "catalogue.h"
#include "catalogue_add.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iomanip>
#include <limits>
#include <mutex>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>
#include <sndfile.h>

#include "vextune/server/Recognizer.h"
#include "vextune/server/Service.h"
#include "vextune/signature.h"

namespace vxt::cli {
namespace {

constexpr double kFrameSeconds = 0.008;

// 64-bit FNV-1a over words of four 16-bit samples (the last word of a
// block may hold fewer): a quarter of the multiplications of sample by
// sample. Blocks of four-sample multiples hash alike however the samples
// are split, and the reader's blocks are.
class content_hash {
public:
    void add(std::span<const std::int16_t> samples) noexcept
    {
        std::size_t i = 0;
        for (; i + 4 <= samples.size(); i += 4) {
            std::uint64_t word = 0;
            for (std::size_t k = 0; k < 4; ++k)
                word |= static_cast<std::uint64_t>(static_cast<std::uint16_t>(samples[i + k])) << (16 * k);
            hash_ = (hash_ ^ word) * 0x100000001b3ull;
        }
        for (; i < samples.size(); ++i)
            hash_ = (hash_ ^ static_cast<std::uint16_t>(samples[i])) * 0x100000001b3ull;
    }
    std::string hex(std::int32_t rate) const
    {
        char text[32];
        std::snprintf(text, sizeof text, "%016llx-%d", static_cast<unsigned long long>(hash_), static_cast<int>(rate));
        return text;
    }

private:
    std::uint64_t hash_ = 0xcbf29ce484222325ull;
};

std::string file_name(const std::string& path)
{
    const auto slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (const auto dot = name.rfind('.'); dot != std::string::npos && dot > 0)
        name.resize(dot);
    return name;
}

// An LMDB folder, not a PostgreSQL URI or the store in memory (as
// OpenStore tells them apart).
bool is_lmdb_folder(const std::string& name)
{
    return name != ":memory:" && !name.starts_with("postgresql://") && !name.starts_with("postgres://");
}

}  // namespace

std::unique_ptr<matcher::Store> open_catalogue(const catalogue_names& db, matcher::OpenMode mode,
                                               const note_sink& diagnostics)
{
    try {
        return matcher::OpenStores(db, mode, {.diagnostics = diagnostics});
    } catch (const matcher::StoreError& e) {
        throw cli_error(e.what());
    }
}

namespace {

// The type 1 signature of a whole file, all channels averaged as a
// microphone hears them, with what the file's reader knows of it; on_block
// also sees every block fed.
struct whole_signature {
    std::vector<std::uint8_t> bytes;
    double seconds = 0.0;
    std::int32_t rate = 0;
    std::string title;
    std::string artist;
};

whole_signature sign_whole(const std::string& path, const block_sink& on_block = {})
{
    audio_reader reader(path, channel_mode::mix);
    std::uint64_t samples = 0;
    whole_signature whole;
    whole.bytes = sign_audio(reader, {.type = 1}, {}, [&](std::span<const std::int16_t> block) {
        samples += block.size();
        if (on_block)
            on_block(block);
    });
    whole.rate = reader.rate();
    whole.seconds = static_cast<double>(samples) / reader.rate();
    whole.title = reader.tag(SF_STR_TITLE);
    whole.artist = reader.tag(SF_STR_ARTIST);
    return whole;
}

}  // namespace

std::string shown_names(const catalogue_names& db)
{
    std::string shown;
    for (const std::string& name : db) {
        if (!shown.empty())
            shown += ' ';
        shown += name;
    }
    return shown;
}

track_landmarks read_track(const std::string& path, const std::atomic<bool>* give_up)
{
    content_hash hash;
    const whole_signature whole = sign_whole(path, [&](std::span<const std::int16_t> block) {
        if (give_up && give_up->load(std::memory_order_relaxed))
            throw cli_error("interrupted");
        hash.add(block);
    });
    if (whole.seconds == 0.0)
        throw cli_error("no audio");
    const decoded_signature decoded = read_signature(whole.bytes);
    if (!decoded.ok())
        throw cli_error("the engine's signature fails its checks: " + decoded.error);

    track_landmarks track;
    track.peaks = matcher::SignaturePeaks(decoded);
    track.landmarks = matcher::MakeLandmarks(track.peaks);
    track.seconds = whole.seconds;
    track.info.title = whole.title.empty() ? file_name(path) : whole.title;
    track.info.artist = whole.artist;
    track.info.source = path;
    track.info.content = hash.hex(whole.rate);
    track.info.frames = static_cast<std::uint32_t>(std::ceil(track.seconds / kFrameSeconds));
    return track;
}

namespace {

// SIGINT and SIGTERM, while an add runs: blocked in every thread (the
// readers start after), taken by a watcher that sets the stop flag.
class stop_on_signals {
public:
    explicit stop_on_signals(std::atomic<bool>& stop) : stop_(stop)
    {
        sigemptyset(&signals_);
        sigaddset(&signals_, SIGINT);
        sigaddset(&signals_, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &signals_, &before_);
        watcher_ = std::jthread([this](std::stop_token done) {
            const timespec tick{0, 100'000'000};
            while (!done.stop_requested()) {
                const int taken = sigtimedwait(&signals_, nullptr, &tick);
                if (taken > 0) {
                    taken_ = taken;
                    stop_ = true;
                    return;
                }
            }
        });
    }
    ~stop_on_signals()
    {
        watcher_.request_stop();
        watcher_.join();
        pthread_sigmask(SIG_SETMASK, &before_, nullptr);
    }
    stop_on_signals(const stop_on_signals&) = delete;
    stop_on_signals& operator=(const stop_on_signals&) = delete;

    int taken() const noexcept { return taken_; }

private:
    std::atomic<bool>& stop_;
    sigset_t signals_{};
    sigset_t before_{};
    std::atomic<int> taken_ = 0;
    std::jthread watcher_;
};

}  // namespace

catalogue_add_outcome catalogue_add(const catalogue_add_options& options, std::ostream& out, const note_sink& note)
{
    auto store = open_catalogue(options.db, matcher::OpenMode::ReadWrite, note);
    // A first load into an LMDB folder is rewritten compactly once it is
    // in: tracks added one by one leave the blocks they grew and the pages
    // they freed, a compaction none.
    const bool first_load = options.db.size() == 1 && is_lmdb_folder(options.db.front()) && store->Totals().tracks == 0;
    std::atomic<bool> stop = false;
    add_run run;
    int signal = 0;
    {
        const stop_on_signals signals(stop);
        const file_preparer prepare = [](const std::string& path, const std::atomic<bool>& give_up) {
            prepared_file file;
            try {
                file.track = read_track(path, &give_up);
            } catch (const cli_error& e) {
                file.error = e.what();
            }
            return file;
        };
        run = add_files(*store, options.files, {.jobs = options.jobs, .progress = options.progress}, prepare, stop, out,
                        note);
        signal = signals.taken();
    }
    note(summary_text(run));
    store.reset();  // the compaction opens the folder itself
    if (first_load && !run.interrupted && run.added > 0) {
        try {
            const auto [before, after] = matcher::CompactStore(options.db.front(), {.diagnostics = note});
            note("catalogue add: a first load, compacted: " + std::to_string(before) + " bytes -> " +
                 std::to_string(after));
        } catch (const matcher::StoreError& e) {
            // The tracks are in, whole: only their layout is not the
            // compact one, and `catalogue compact` can be run again.
            note(std::string("catalogue add: the tracks are in, but compacting them failed: ") + e.what());
        }
    }
    return {.failed = run.failed, .signal = run.interrupted ? signal : 0};
}

void catalogue_list(const catalogue_names& db, std::ostream& out, const note_sink& diagnostics)
{
    const auto store = open_catalogue(db, matcher::OpenMode::ReadOnly, diagnostics);
    for (const matcher::TrackInfo& t : store->Tracks()) {
        out << t.id << '\t' << t.title << '\t' << t.artist << '\t' << std::fixed << std::setprecision(1)
            << t.frames * kFrameSeconds << '\t' << t.source << '\n';
    }
}

bool catalogue_remove(const catalogue_names& db, std::uint32_t id, const note_sink& diagnostics)
{
    const auto store = open_catalogue(db, matcher::OpenMode::ReadWrite, diagnostics);
    try {
        return store->Remove(id);
    } catch (const matcher::StoreError& e) {
        throw cli_error(e.what());  // the store's errors name it
    }
}

void catalogue_stats(const catalogue_names& db, std::ostream& out, const note_sink& diagnostics)
{
    const auto store = open_catalogue(db, matcher::OpenMode::ReadOnly, diagnostics);
    const matcher::StoreTotals totals = store->Totals();
    const double hours = static_cast<double>(totals.frames) * kFrameSeconds / 3600.0;
    out << nlohmann::json{{"tracks", totals.tracks},
                          {"postings", totals.postings},
                          {"hours", hours},
                          {"bytes", totals.bytes},
                          {"bytesperhour", hours > 0.0 ? static_cast<double>(totals.bytes) / hours : 0.0}}
               .dump()
        << '\n';
}

void catalogue_reindex(const std::string& db, std::ostream& out, const note_sink& note, const note_sink& diagnostics)
{
    std::unique_ptr<matcher::Store> store;
    try {
        store = matcher::OpenStore(db, matcher::OpenMode::ReadWrite,
                                   {.diagnostics = diagnostics, .any_index_format = true});
        const std::string before = store->IndexFormat();
        const matcher::ReindexReport report = matcher::ReindexStore(*store);
        for (const std::uint32_t id : report.without_peaks)
            note("track " + std::to_string(id) + " has no stored peaks: it keeps no postings (add its audio again)");
        out << nlohmann::json{{"format", store->IndexFormat()},
                              {"before", before},
                              {"tracks", report.tracks},
                              {"postings", report.postings},
                              {"withoutpeaks", report.without_peaks}}
                   .dump()
            << '\n';
    } catch (const matcher::StoreError& e) {
        throw cli_error(e.what());
    }
}

void catalogue_compact(const std::string& db, std::ostream& out, const note_sink& diagnostics)
{
    try {
        const auto [before, after] = matcher::CompactStore(db, {.diagnostics = diagnostics});
        out << nlohmann::json{{"bytesbefore", before}, {"bytesafter", after}}.dump() << '\n';
    } catch (const matcher::StoreError& e) {
        throw cli_error(e.what());
    }
}

int match_files(const catalogue_names& db, const std::vector<std::string>& files, std::ostream& out,
                const note_sink& note, double most_speed_change)
{
    const auto store = open_catalogue(db, matcher::OpenMode::ReadOnly, note);
    server::RecognizerOptions options;
    options.max_sample_ms = 0;  // the whole recording is all there is: no asking for more
    options.most_speed_change = most_speed_change;
    // A file is as long as it is: its peaks are bounded by its own length.
    options.bounds.longest_sample_ms = std::numeric_limits<std::uint32_t>::max();
    const server::Recognizer recognizer(*store, options);
    int failed = 0;
    for (const std::string& path : files) {
        whole_signature whole;
        try {
            whole = sign_whole(path);
        } catch (const cli_error& e) {
            note(path + ": " + e.what());
            ++failed;
            continue;
        }
        const auto start = std::chrono::steady_clock::now();
        const server::Recognition r = recognizer.Recognize(whole.bytes, whole.seconds * 1000.0);
        const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
        nlohmann::json line = server::Answer(r);
        line["file"] = path;
        line["ms"] = std::round(took.count() * 1000.0) / 1000.0;
        if (r.outcome == server::Outcome::Match)
            line["speed"] = std::round(r.speed * 10000.0) / 10000.0;
        // The evidence behind the answer, for judging the thresholds.
        line["evidence"] = {{"landmarks", r.landmarks},
                            {"track", r.detail.track},
                            {"score", r.detail.score},
                            {"runnerup", r.detail.runner_up},
                            {"threshold", r.detail.threshold},
                            {"peaks", r.detail.peaks},
                            {"peaksrunnerup", r.detail.peaks_runner_up},
                            {"peaksthreshold", r.detail.peaks_threshold},
                            {"onpeaks", r.detail.on_peaks}};
        out << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
        out.flush();
    }
    return failed;
}

std::pair<std::string, int> parse_listen(const std::string& text)
{
    const auto refuse = [&](const std::string& why) {
        return cli_error("not an address to listen on: " + text + " (" + why + ")");
    };
    const std::string forms = "HOST:PORT, or [ADDRESS]:PORT for an IPv6 address";
    std::string host;
    std::string port_text = text;
    if (text.starts_with('[')) {
        const auto close = text.find(']');
        if (close == std::string::npos || close == 1 || text.compare(close + 1, 1, ":") != 0)
            throw refuse(forms);
        host = text.substr(1, close - 1);
        port_text = text.substr(close + 2);
    } else if (const auto colon = text.find(':'); colon != std::string::npos) {
        // A second colon is an IPv6 address, whose last group could not be
        // told from a port.
        if (text.find(':', colon + 1) != std::string::npos)
            throw refuse("an IPv6 address goes in brackets: [ADDRESS]:PORT");
        host = text.substr(0, colon);
        port_text = text.substr(colon + 1);
    }
    if (host.find_first_of("[]") != std::string::npos)
        throw refuse(forms);
    if (host.empty())
        host = "127.0.0.1";
    int port = -1;
    const auto [end, error] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
    if (port_text.empty() || error != std::errc{} || end != port_text.data() + port_text.size() || port < 0 ||
        port > 65535)
        throw refuse(forms);
    return {host, port};
}

namespace {

// The access log's file: appended to a line at a time (one write each, so
// that lines from several threads never mix), and opened anew by path on
// request, so that a rotated file is let go.
class log_file {
public:
    explicit log_file(std::string path) : path_(std::move(path))
    {
        fd_ = open_file();
        if (fd_ < 0)
            throw cli_error("cannot open the access log " + path_ + ": " + std::strerror(errno));
    }
    ~log_file() { ::close(fd_); }
    log_file(const log_file&) = delete;
    log_file& operator=(const log_file&) = delete;

    void write(const std::string& line, const note_sink& diagnostics)
    {
        const std::string text = line + '\n';
        std::lock_guard hold(lock_);
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                // Said once until a line goes through again.
                if (!failing_)
                    diagnostics("cannot write the access log " + path_ + ": " + std::strerror(errno));
                failing_ = true;
                return;
            }
            done += static_cast<std::size_t>(n);
        }
        failing_ = false;
    }

    // Keeps the file it had when the path cannot be opened.
    void reopen(const note_sink& diagnostics)
    {
        const int fd = open_file();
        if (fd < 0) {
            diagnostics("cannot open the access log " + path_ +
                        " again (still writing the one open): " + std::strerror(errno));
            return;
        }
        std::lock_guard hold(lock_);
        ::close(fd_);
        fd_ = fd;
        failing_ = false;
    }

private:
    int open_file() const { return ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640); }

    std::string path_;
    std::mutex lock_;
    int fd_ = -1;
    bool failing_ = false;
};

// Raises the soft limit on open files to the hard one; returns the limit
// as it then is.
rlim_t raise_file_limit(const note_sink& diagnostics)
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return RLIM_INFINITY;
    if (limit.rlim_cur != limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
        else
            diagnostics(std::string("cannot raise the limit on open files: ") + std::strerror(errno));
    }
    return limit.rlim_cur;
}

}  // namespace

void serve(const serve_options& options, const note_sink& note, const note_sink& diagnostics)
{
    const auto [host, port] = parse_listen(options.listen);
    std::unique_ptr<log_file> access_file;
    if (!options.access_log_file.empty())
        access_file = std::make_unique<log_file>(options.access_log_file);

    // Every connection is a descriptor; the store, the log and the
    // listening socket want a few more.
    int max_connections = options.max_connections;
    const rlim_t files = raise_file_limit(diagnostics);
    constexpr rlim_t kSpare = 64;
    if (files != RLIM_INFINITY && (max_connections == 0 || static_cast<rlim_t>(max_connections) + kSpare > files)) {
        const int allowed = files > kSpare ? static_cast<int>(std::min<rlim_t>(files - kSpare, 1 << 30)) : 1;
        diagnostics("serve: at most " + std::to_string(allowed) + " connections (the limit on open files is " +
                    std::to_string(files) + ")");
        max_connections = allowed;
    }

    const auto store = open_catalogue(options.db, matcher::OpenMode::ReadOnly, diagnostics);

    // SIGINT and SIGTERM end the service, SIGHUP opens the log file anew:
    // blocked here, before any thread starts, so that every thread inherits
    // the mask and only the watcher below takes them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    server::ServiceOptions service_options;
    service_options.host = host;
    service_options.port = port;
    service_options.threads = options.threads;
    service_options.io_threads = options.io_threads;
    service_options.request_timeout = std::chrono::seconds(options.request_timeout_s);
    service_options.idle_timeout = std::chrono::seconds(options.idle_timeout_s);
    service_options.write_timeout = std::chrono::seconds(options.write_timeout_s);
    service_options.max_connections = max_connections;
    service_options.max_connections_per_address = options.max_connections_per_address;
    if (options.access_log || access_file) {
        const bool to_stderr = options.access_log;
        log_file* const file = access_file.get();
        service_options.access_log = [to_stderr, file, &note, &diagnostics](const std::string& line) {
            if (to_stderr)
                note(line);
            if (file)
                file->write(line, diagnostics);
        };
    }
    service_options.diagnostics = diagnostics;
    server::RecognizerOptions recognizer;
    recognizer.max_sample_ms = options.max_sample_ms;
    recognizer.retry_step_ms = options.retry_step_ms;
    recognizer.most_speed_change = options.most_speed_change;
    server::Service service(*store, recognizer, service_options);
    int bound = 0;
    try {
        bound = service.Bind();
    } catch (const std::runtime_error& e) {
        throw cli_error(e.what());
    }
    const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    note("vextune serve: listening on http://" + shown + ":" + std::to_string(bound));

    std::atomic<bool> running = true;
    std::jthread watcher([&] {
        const timespec tick{0, 200'000'000};
        while (running) {
            const int taken = sigtimedwait(&signals, nullptr, &tick);
            if (taken == SIGHUP) {
                if (access_file)
                    access_file->reopen(diagnostics);
            } else if (taken > 0) {
                service.Stop();
                return;
            }
        }
    });
    service.Run();
    running = false;
}

}  // namespace vxt::cli
