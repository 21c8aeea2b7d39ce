// Following a stream: what played when.
//
// One engine is fed the stream once, as it comes (StreamWindows). Every hop
// it is asked for a signature of its most recent seconds, a window; each
// window is identified (a catalogue in this process, or a service), and
// the sightings go to a PlayTracker, which joins them into plays and says
// as it goes when a play has started, when it has ended and where nothing
// known played between them.
//
// A sighting places the window in a track: its track time at the window's
// start and the speed it plays at. Two sightings are of one play when they
// are of the same track and place the track's beginning at the same stream
// time (within join_seconds); so a track played twice is two plays. Where
// the track goes on from another place without a gap (music repeats: a
// window may match a repeat of its passage best; a DJ jumps), the play goes
// on, unless the new place is the track's beginning. A play is only
// reported once two of its windows agree (a chance match does not repeat
// at the same alignment), and it survives hold_seconds without a sighting,
// so that talk or noise over it for a few seconds leaves it one play.
//
// A play starts where the evidence of its first window begins and ends
// where that of its last window ends, where the identifier says (a
// catalogue with the tracks' peaks can). Otherwise it is estimated from the
// windows: a window is identified once it holds some seconds of the track
// (evidence_seconds), so a play starts that long before the end of its
// first window and ends that long after the start of its last. Never
// before the track's own beginning nor after its end at the alignment
// found.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "vextune/vextuneAPI.h"

namespace vxt::monitor {

// ---- windows ----

struct WindowOptions {
    double seconds = 8.0;  // audio a window covers, at most
    double hop = 1.0;      // stream seconds between windows
};

struct Window {
    std::vector<std::uint8_t> signature;  // as the engine makes it
    double start = 0.0;                   // stream seconds of its first frame
    double end = 0.0;                     // stream seconds of the audio fed when it was made
};

// Feeds a stream of 16-bit mono samples into one engine and makes a window
// every hop of stream time. The engine keeps a bounded history, and a
// window costs what its own seconds cost, whatever came before.
class StreamWindows {
public:
    // Throws std::invalid_argument for a rate the engine does not take,
    // or seconds or hop not positive.
    StreamWindows(std::int32_t rate, WindowOptions options = {});

    // Feeds samples; on_window sees every window whose hop they complete,
    // in order.
    void Feed(std::span<const std::int16_t> samples, const std::function<void(const Window&)>& on_window);
    // The last window, of the audio since the last hop, where there is any.
    void Finish(const std::function<void(const Window&)>& on_window);

    double StreamSeconds() const noexcept { return static_cast<double>(fed_) / rate_; }

private:
    Window Make();

    engine_handle engine_;
    std::int32_t rate_;
    WindowOptions options_;
    std::uint64_t fed_ = 0;       // samples fed
    std::uint64_t next_hop_ = 0;  // sample count at which the next window is due
    std::uint64_t hop_samples_;
};

// ---- plays ----

struct TrackRef {
    std::uint32_t id = 0;
    std::string title;
    std::string artist;
    double seconds = 0.0;  // its length; 0: unknown

    friend bool operator==(const TrackRef&, const TrackRef&) = default;
};

struct Span {
    double from = 0.0;  // stream seconds
    double to = 0.0;

    friend bool operator==(const Span&, const Span&) = default;
};

// What a window was found to be.
struct Sighting {
    TrackRef track;
    double offset = 0.0;  // track seconds at the window's start
    double speed = 1.0;   // the track's seconds per stream second
    double confidence = 0.0;
    // Where in the window the track's evidence lies, where the identifier
    // can tell (see EvidenceSpan); the play's start and end are taken from
    // it rather than estimated from the window.
    std::optional<Span> evidence;
};

// The stretch of a window that its track's evidence covers: from the first
// to the last of the agreeing frames (8 ms frames from the window's start,
// ascending) that have another within two seconds, so that a lone chance
// agreement does not stretch it. Nothing without two such frames.
std::optional<Span> EvidenceSpan(std::span<const std::uint32_t> frames, double window_start);

enum class EventKind { Play, End, Unknown };

struct Event {
    EventKind kind = EventKind::Unknown;
    double at = 0.0;     // stream seconds when it was known (the end of the window that told)
    double start = 0.0;  // stream seconds
    double end = 0.0;    // End, Unknown: stream seconds
    // Play, End:
    TrackRef track;
    double offset = 0.0;  // track seconds at start
    double speed = 1.0;
    double confidence = 0.0;  // the best of its windows

    double Duration() const noexcept { return end - start; }
};

struct TrackerOptions {
    double join_seconds = 1.5;        // how far two sightings' alignments may differ and be one play
    double hold_seconds = 12.0;       // how long a play lasts without a sighting
    double evidence_seconds = 3.0;    // of a track, in a window it is identified in
    std::uint32_t confirmations = 2;  // windows that agree before a play is reported
    double least_evidence = 2.5;      // seconds its windows' evidence spans before a play is reported
    double least_unknown = 1.0;       // shorter stretches between plays are not reported
};

class PlayTracker {
public:
    explicit PlayTracker(TrackerOptions options = {});

    // One window and what it was found to be (nothing: not identified);
    // windows come in stream order. Returns the events it decides.
    std::vector<Event> Observe(double window_start, double window_end, const std::optional<Sighting>& sighting);
    // The stream has ended at stream seconds end: the play and the stretch
    // still open are ended.
    std::vector<Event> Finish(double end);

    // The play going on, once told: what an identifier may look for
    // first in the next window.
    struct Playing {
        std::uint32_t track = 0;
        double alignment = 0.0;  // stream seconds of the track's time 0
        double speed = 1.0;
        // Where it ends so far (stream seconds), as its End would say now.
        // A window that holds the end of one track and the start of the
        // next may name neither clearly: the part after this is worth
        // identifying on its own.
        double end = 0.0;
    };
    std::optional<Playing> Now() const;

private:
    struct Play {
        Sighting first;             // the sighting that began it
        double alignment;           // stream seconds of the track's time 0
        double start;               // estimated
        double start_offset = 0.0;  // track seconds at start
        double last_start;          // of the last window it was seen in
        double last_end;
        std::optional<double> evidence_end;  // the latest any of its windows showed
        std::uint32_t seen = 0;
        double confidence = 0.0;
        bool reported = false;
    };

    Play Begin(double window_start, double window_end, const Sighting& s) const;
    bool SamePlay(const Play& play, const Sighting& s, double window_start) const;
    double EndOf(const Play& play) const;
    static Event Told(EventKind kind, const Play& play, double at, double end);
    void Close(Play& play, double at, std::vector<Event>& out);
    void Report(Play& play, double at, std::vector<Event>& out);

    TrackerOptions options_;
    std::optional<Play> current_;  // the play going on (reported or not yet)
    std::optional<Play> pending_;  // another track seen during it, not yet confirmed
    double known_until_ = 0.0;     // the end of the last play reported (or the stream's start)
};

// ---- lines ----

// "HH:MM:SS.s" of stream seconds.
std::string Clock(double seconds);
// One line, without its end: text for people, or a JSON object.
std::string TextLine(const Event& event);
std::string JsonLine(const Event& event);

}  // namespace vxt::monitor
