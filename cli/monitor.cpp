#include "monitor.h"

#include <sys/resource.h>

#include <atomic>
#include <csignal>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <algorithm>
#include <optional>

#include <nlohmann/json.hpp>

#include "device_input.h"
#include "vextune/client/HttpTransport.h"
#include "vextune/protocol/Request.h"
#include "vextune/server/Recognizer.h"

namespace vxt::cli {

namespace {

std::atomic<bool> stop_requested{false};

extern "C" void request_stop(int)
{
    stop_requested.store(true);
}

// SIGINT and SIGTERM end the stream rather than the process while it is
// followed, so that the play going on is ended and told.
class stop_on_signals {
public:
    stop_on_signals()
    {
        stop_requested.store(false);
        struct sigaction action {};
        action.sa_handler = request_stop;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &old_int_);
        sigaction(SIGTERM, &action, &old_term_);
    }
    ~stop_on_signals()
    {
        sigaction(SIGINT, &old_int_, nullptr);
        sigaction(SIGTERM, &old_term_, nullptr);
    }
    stop_on_signals(const stop_on_signals&) = delete;
    stop_on_signals& operator=(const stop_on_signals&) = delete;

private:
    struct sigaction old_int_ {};
    struct sigaction old_term_ {};
};

double cpu_seconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Identifies windows against a catalogue in this process: the service's
// own decision, without its asking for more (a window is what there is).
// A window is tried at the speed of the play going on, then at its own
// speed (whole, then past the play's evidence); where nothing is found
// there, every fourth window also looks for music played fast or slow, so
// that the speeds' cost is paid on a quarter of the windows of music that
// is not in the catalogue.
class catalogue_identifier {
public:
    catalogue_identifier(const matcher::Store& store, double most_speed_change)
        : store_(store), plain_(store, options(0.0)), sweeping_(store, options(most_speed_change))
    {}

    std::optional<monitor::Sighting> operator()(const monitor::Window& w,
                                                const std::optional<monitor::PlayTracker::Playing>& now)
    {
        std::vector<matcher::Peak> peaks = matcher::SignaturePeaks(read_signature(w.signature));
        auto s = find(w, peaks, now);
        if (s && now)
            s = same_place(w, peaks, *s, *now);
        held_.push_back({w, std::move(peaks)});
        if (held_.size() > kHeld)
            held_.pop_front();
        return s;
    }

private:
    static constexpr double kFrameSeconds = 0.008;
    static constexpr std::size_t kHeld = 4;  // windows kept: as many as a sweep skips

    struct held_window {
        monitor::Window window;
        std::vector<matcher::Peak> peaks;
    };

    // Music repeats: a window of the play going on may match its track as
    // well or better at a repeat of the passage. Where the window agrees
    // with the track at the play's own place at least half as much, it is
    // taken there, so that a repeat does not end the play.
    std::optional<monitor::Sighting> same_place(const monitor::Window& w, std::span<const matcher::Peak> peaks,
                                                const monitor::Sighting& s, const monitor::PlayTracker::Playing& now)
    {
        const double alignment = w.start - s.offset / s.speed;
        if (s.track.id != now.track || std::abs(alignment - now.alignment) < 1.0 || !s.evidence)
            return s;
        const std::vector<matcher::Peak> scaled = matcher::PeaksAtSpeed(peaks, now.speed);
        const matcher::LandmarkOptions& options = plain_.Options().match.landmarks;
        const std::vector<matcher::Landmark> landmarks = matcher::MakeLandmarks(scaled, options);
        const double offset = (w.start - now.alignment) * now.speed;
        const auto at = [&](double track_seconds) {
            return matcher::AgreeingFrames(store_, now.track, std::llround(track_seconds / kFrameSeconds), landmarks,
                                           options);
        };
        const std::vector<std::uint32_t> there = at(offset);
        if (2 * there.size() < at(s.offset).size())
            return s;
        monitor::Sighting kept = s;
        kept.offset = offset;
        kept.speed = now.speed;
        std::vector<std::uint32_t> frames = there;
        for (std::uint32_t& f : frames)
            f = static_cast<std::uint32_t>(std::lround(f / now.speed));
        kept.evidence = monitor::EvidenceSpan(frames, w.start);
        return kept;
    }

    std::optional<monitor::Sighting> find(const monitor::Window& w, std::span<const matcher::Peak> peaks,
                                          const std::optional<monitor::PlayTracker::Playing>& now)
    {
        // Where the play going on ends so far; before the stream without one.
        const double after = now ? now->end : -std::numeric_limits<double>::infinity();
        if (now && now->speed != 1.0) {
            if (auto s = identify(plain_, w, matcher::PeaksAtSpeed(peaks, now->speed), 0, now->speed))
                return s;
        }
        if (auto s = identify(plain_, w, peaks, 0, 1.0))
            return s;
        // The part after the play going on. Its end so far comes from the
        // last window that named it, which can be seconds before the track
        // really ended (the windows holding both tracks name neither), so
        // the window is cut there, then 2 s later each time, while at least
        // 2 s are left.
        for (double from = std::max(after, w.start + 0.5); after > w.start + 0.5 && from < w.end - 2.0; from += 2.0) {
            const auto cut = static_cast<std::uint32_t>((from - w.start) / kFrameSeconds);
            std::vector<matcher::Peak> later(std::ranges::lower_bound(peaks, cut, {}, &matcher::Peak::frame),
                                             peaks.end());
            for (matcher::Peak& p : later)
                p.frame -= cut;
            if (auto s = identify(plain_, w, later, cut, 1.0))
                return s;
        }
        if (sweeping_.Options().most_speed_change == 0.0 || unidentified_++ % kHeld != 0)
            return std::nullopt;
        std::optional<monitor::Sighting> s = identify(sweeping_, w, peaks, 0, 1.0);
        if (!s || !s->evidence)
            return s;
        // The windows the sweeps skipped may hold the play's start: they
        // are tried at the speed found, and the evidence reaches back as
        // far as one of them agrees (same track, same place).
        const double alignment = w.start - s->offset / s->speed;
        for (const held_window& h : held_) {
            const std::optional<monitor::Sighting> earlier =
                identify(plain_, h.window, matcher::PeaksAtSpeed(h.peaks, s->speed), 0, s->speed);
            if (earlier && earlier->track.id == s->track.id && earlier->evidence &&
                std::abs(h.window.start - earlier->offset / earlier->speed - alignment) < 1.5 &&
                earlier->evidence->from >= after) {
                s->evidence->from = std::min(s->evidence->from, earlier->evidence->from);
                break;
            }
        }
        return s;
    }

    static server::RecognizerOptions options(double most_speed_change)
    {
        server::RecognizerOptions o;
        o.max_sample_ms = 0;
        o.tolerate = false;
        o.most_speed_change = most_speed_change;
        return o;
    }

    // peaks: the window's from frame `from` on, timed from there, and
    // already as the track has them at `speed`.
    std::optional<monitor::Sighting> identify(const server::Recognizer& recognizer, const monitor::Window& w,
                                              std::span<const matcher::Peak> peaks, std::uint32_t from, double speed)
    {
        const double seconds = w.end - w.start - from * kFrameSeconds;
        const server::Recognition r = recognizer.RecognizePeaks(peaks, seconds * 1000.0);
        if (r.outcome != server::Outcome::Match || !r.track)
            return std::nullopt;
        unidentified_ = 0;
        speed *= r.speed;  // a sweep found its own
        std::vector<matcher::Peak> scaled;
        if (r.speed != 1.0) {
            scaled = matcher::PeaksAtSpeed(peaks, r.speed);
            peaks = scaled;
        }
        // Where in the window the track's pairs agree with it: the play's
        // start and end to a fraction of a second.
        const matcher::LandmarkOptions& landmarks = recognizer.Options().match.landmarks;
        std::vector<std::uint32_t> agreeing = matcher::AgreeingFrames(
            store_, r.track->id, r.detail.offset_frames, matcher::MakeLandmarks(peaks, landmarks), landmarks);
        for (std::uint32_t& frame : agreeing)
            frame = from + static_cast<std::uint32_t>(std::lround(frame / speed));
        return monitor::Sighting{.track = {.id = r.track->id,
                                           .title = r.track->title,
                                           .artist = r.track->artist,
                                           .seconds = r.track->frames * kFrameSeconds},
                                 .offset = static_cast<double>(r.offset_ms) / 1000.0 - from * kFrameSeconds * speed,
                                 .speed = speed,
                                 .confidence = r.confidence,
                                 .evidence = monitor::EvidenceSpan(agreeing, w.start)};
    }

    const matcher::Store& store_;
    server::Recognizer plain_;
    server::Recognizer sweeping_;
    std::uint64_t unidentified_ = 0;
    std::deque<held_window> held_;  // the latest windows, oldest first
};

// Identifies windows through a recognition service: each window's
// signature posted to its POST /recognize as any client would, the play
// state kept here. The service says neither where in the window its track
// lies nor how long the track is, so plays are timed from the windows. A
// failed exchange is noted and the window counts as nothing known: the
// stream goes on.
class service_identifier {
public:
    service_identifier(std::string url, const note_sink& note)
        : transport_(VextuneCore::Client::MakeCurlTransport()), url_(std::move(url)), note_(note)
    {
        if (!url_.ends_with("/recognize"))
            url_ += url_.ends_with('/') ? "recognize" : "/recognize";
    }

    // The service does not say where in a window its track lies, and a
    // signature cannot be cut: a window that holds the end of one track
    // and the start of the next may name neither, and the next play is
    // told a few seconds late.
    std::optional<monitor::Sighting> operator()(const monitor::Window& w) { return ask(w); }

private:
    std::optional<monitor::Sighting> ask(const monitor::Window& w)
    {
        static constexpr char kTemplate[] = R"({"signature":"{sigdata}","samplems":"{samplems}"})";
        const VextuneCore::Client::HttpResult r =
            transport_->Post(url_, protocol::RequestText(kTemplate, w.signature, (w.end - w.start) * 1000.0), {}, {});
        if (r.outcome != VextuneCore::Client::HttpResult::Outcome::Answered || r.status != 200) {
            if (failures_++ % 60 == 0)
                note(r.outcome == VextuneCore::Client::HttpResult::Outcome::Answered
                         ? url_ + " answered " + std::to_string(r.status) + " (the window counts as nothing known)"
                         : url_ + ": " + r.error + " (the window counts as nothing known)");
            return std::nullopt;
        }
        try {
            const nlohmann::json answer = nlohmann::json::parse(r.body);
            if (answer.contains("retryms"))  // a longer recording wanted: none is to be had
                return std::nullopt;
            const nlohmann::json& matches = answer.at("matches");
            if (!matches.is_array() || matches.empty())
                return std::nullopt;
            const nlohmann::json& m = matches.at(0);
            return monitor::Sighting{.track = {.id = m.at("id").get<std::uint32_t>(),
                                               .title = m.value("title", ""),
                                               .artist = m.value("artist", ""),
                                               .seconds = 0.0},
                                     .offset = m.at("offsetms").get<double>() / 1000.0,
                                     .speed = m.value("speed", 1.0),
                                     .confidence = m.value("confidence", 0.0),
                                     .evidence = {}};
        } catch (const nlohmann::json::exception& e) {
            if (failures_++ % 60 == 0)
                note(url_ + " gave an answer that is not one: " + e.what());
            return std::nullopt;
        }
    }

    void note(const std::string& text) const
    {
        if (note_)
            note_(text);
    }

    std::shared_ptr<VextuneCore::Client::HttpTransport> transport_;
    std::string url_;
    note_sink note_;
    std::uint64_t failures_ = 0;
};

}  // namespace

raw_format parse_raw_format(const std::string& text)
{
    raw_format f;
    const char* const end = text.data() + text.size();
    std::from_chars_result read = std::from_chars(text.data(), end, f.rate);
    if (read.ec == std::errc() && read.ptr != end && *read.ptr == ',')
        read = std::from_chars(read.ptr + 1, end, f.channels);
    if (read.ec != std::errc() || read.ptr != end)
        throw cli_error("--raw takes RATE or RATE,CHANNELS (as 44100,2), not \"" + text + "\"");
    if (rate_code(f.rate) == 0)
        throw cli_error("--raw: the engine takes 8000, 11025, 16000, 32000, 44100 or 48000 Hz, not " +
                        std::to_string(f.rate));
    if (f.channels < 1 || f.channels > 8)
        throw cli_error("--raw: 1 to 8 channels, not " + std::to_string(f.channels));
    return f;
}

bool raw_reader::read(std::vector<std::int16_t>& mono)
{
    const std::size_t frame_bytes = 2 * static_cast<std::size_t>(format_.channels);
    bytes_.resize(block_frames * frame_bytes);
    mono.clear();
    while (mono.empty()) {
        const std::size_t got = std::fread(bytes_.data() + held_, 1, bytes_.size() - held_, file_);
        if (got == 0) {
            if (std::ferror(file_))
                throw cli_error(std::string("cannot read the raw input: ") + std::strerror(errno));
            return false;
        }
        const std::size_t have = held_ + got;
        const std::size_t frames = have / frame_bytes;
        mono.resize(frames);
        for (std::size_t i = 0; i < frames; ++i) {
            std::int32_t sum = 0;
            for (int c = 0; c < format_.channels; ++c) {
                const std::uint8_t* b = bytes_.data() + i * frame_bytes + 2 * static_cast<std::size_t>(c);
                sum += static_cast<std::int16_t>(static_cast<std::uint16_t>(b[0] | b[1] << 8));
            }
            mono[i] = static_cast<std::int16_t>(sum / format_.channels);
        }
        held_ = have - frames * frame_bytes;
        std::memmove(bytes_.data(), bytes_.data() + frames * frame_bytes, held_);
    }
    return true;
}

void monitor_stream(const monitor_options& options, std::ostream& out, const note_sink& note)
{
    // Windows are identified by the catalogue here or by a service.
    std::unique_ptr<matcher::Store> store;
    std::optional<catalogue_identifier> local;
    std::optional<service_identifier> remote;
    if (options.service.empty()) {
        store = open_catalogue(options.db, matcher::OpenMode::ReadOnly, note);
        local.emplace(*store, options.most_speed_change);
    } else {
        remote.emplace(options.service, note);
    }
    const double cpu_before = cpu_seconds();

    // The input: raw PCM read as it comes, or a file libsndfile decodes
    // (standard input is first copied whole, as most formats seek).
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> raw_file(nullptr, std::fclose);
    std::optional<raw_reader> raw;
    std::optional<audio_reader> decoded;
    std::optional<device_reader> device;
    std::int32_t rate = 0;
    if (options.use_device) {
        device.emplace(options.device, note);
        rate = device->rate();
    } else if (options.raw.rate != 0) {
        std::FILE* file = stdin;
        if (options.input != "-") {
            raw_file.reset(std::fopen(options.input.c_str(), "rb"));
            if (!raw_file)
                throw cli_error("cannot open " + options.input + ": " + std::strerror(errno));
            file = raw_file.get();
        }
        raw.emplace(file, options.raw);
        rate = options.raw.rate;
    } else {
        decoded.emplace(options.input, channel_mode::mix);
        rate = decoded->rate();
    }
    const auto read = [&](std::vector<std::int16_t>& block) {
        if (device) {
            device->read(block);
            return true;
        }
        return raw ? raw->read(block) : decoded->read(block);
    };

    monitor::StreamWindows windows(rate, options.windows);
    monitor::PlayTracker tracker(options.tracker);
    const auto print = [&](const std::vector<monitor::Event>& events) {
        for (const monitor::Event& e : events)
            out << (options.json ? monitor::JsonLine(e) : monitor::TextLine(e)) << '\n';
        if (!events.empty())
            out.flush();
    };
    const auto on_window = [&](const monitor::Window& w) {
        print(tracker.Observe(w.start, w.end, local ? (*local)(w, tracker.Now()) : (*remote)(w)));
    };

    const stop_on_signals stop;
    const auto wanted = static_cast<std::uint64_t>(options.seconds * rate);
    std::uint64_t fed = 0;
    std::vector<std::int16_t> block;
    while (!stop_requested.load() && (wanted == 0 || fed < wanted) && read(block)) {
        if (wanted != 0)
            block.resize(static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), wanted - fed)));
        fed += block.size();
        windows.Feed(block, on_window);
    }
    windows.Finish(on_window);
    print(tracker.Finish(windows.StreamSeconds()));

    const double audio = windows.StreamSeconds();
    const double cpu = cpu_seconds() - cpu_before;
    char summary[160];
    std::snprintf(summary, sizeof summary, "followed %s of audio in %.2f s of CPU (%.0f times real time)",
                  monitor::Clock(audio).c_str(), cpu, cpu > 0.0 ? audio / cpu : 0.0);
    note(summary);
}

}  // namespace vxt::cli
