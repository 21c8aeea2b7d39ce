#include <algorithm>
#include <cmath>

#include "vextune/monitor/Monitor.h"

namespace vxt::monitor {

PlayTracker::PlayTracker(TrackerOptions options) : options_(options)
{
    options_.confirmations = std::max<std::uint32_t>(1, options_.confirmations);
}

PlayTracker::Play PlayTracker::Begin(double window_start, double window_end, const Sighting& s) const
{
    Play p;
    p.first = s;
    p.alignment = window_start - s.offset / s.speed;
    // The track is identified once the window holds evidence_seconds of
    // it; it cannot have begun before its own time 0, nor before the
    // window.
    p.start = s.evidence ? std::max(p.alignment, s.evidence->from)
                         : std::max({p.alignment, window_start, window_end - options_.evidence_seconds});
    if (s.evidence)
        p.evidence_end = s.evidence->to;
    p.start_offset = std::max(0.0, (p.start - p.alignment) * s.speed);
    p.last_start = window_start;
    p.last_end = window_end;
    p.seen = 1;
    p.confidence = s.confidence;
    return p;
}

bool PlayTracker::SamePlay(const Play& play, const Sighting& s, double window_start) const
{
    return s.track.id == play.first.track.id &&
           std::abs(window_start - s.offset / s.speed - play.alignment) <= options_.join_seconds;
}

double PlayTracker::EndOf(const Play& play) const
{
    double end =
        play.evidence_end ? *play.evidence_end : std::min(play.last_end, play.last_start + options_.evidence_seconds);
    if (play.first.track.seconds > 0.0)
        end = std::min(end, play.alignment + play.first.track.seconds / play.first.speed);
    return std::max(end, play.start);
}

Event PlayTracker::Told(EventKind kind, const Play& play, double at, double end)
{
    return {.kind = kind,
            .at = at,
            .start = play.start,
            .end = end,
            .track = play.first.track,
            .offset = play.start_offset,
            .speed = play.first.speed,
            .confidence = play.confidence};
}

void PlayTracker::Report(Play& play, double at, std::vector<Event>& out)
{
    if (play.start - known_until_ >= options_.least_unknown)
        out.push_back({.kind = EventKind::Unknown, .at = at, .start = known_until_, .end = play.start, .track = {}});
    play.reported = true;
    out.push_back(Told(EventKind::Play, play, at, 0.0));
    known_until_ = std::max(known_until_, play.start);
}

void PlayTracker::Close(Play& play, double at, std::vector<Event>& out)
{
    const double end = EndOf(play);
    out.push_back(Told(EventKind::End, play, at, end));
    known_until_ = std::max(known_until_, end);
}

std::vector<Event> PlayTracker::Observe(double window_start, double window_end, const std::optional<Sighting>& sighting)
{
    std::vector<Event> out;
    const auto seen_again = [&](Play& play) {
        play.last_start = window_start;
        play.last_end = window_end;
        ++play.seen;
        play.confidence = std::max(play.confidence, sighting->confidence);
        if (sighting->evidence)
            play.evidence_end = std::max(play.evidence_end.value_or(sighting->evidence->to), sighting->evidence->to);
    };

    if (sighting) {
        if (current_ && SamePlay(*current_, *sighting, window_start)) {
            seen_again(*current_);
        } else if (pending_ && SamePlay(*pending_, *sighting, window_start)) {
            seen_again(*pending_);
        } else if (current_ && current_->reported) {
            pending_ = Begin(window_start, window_end, *sighting);
        } else {
            // Nothing reported is going on: an unconfirmed play seen once
            // and not again is forgotten for the newer one.
            current_ = Begin(window_start, window_end, *sighting);
        }

        if (pending_ && pending_->seen >= options_.confirmations) {
            const bool restart = pending_->start_offset < options_.evidence_seconds + 1.0;
            if (pending_->first.track.id == current_->first.track.id && !restart &&
                pending_->start - EndOf(*current_) <= options_.hold_seconds) {
                // The same track goes on from another place: one play, which
                // follows its new place from here.
                current_->alignment = pending_->alignment;
                current_->first.speed = pending_->first.speed;
                current_->last_start = pending_->last_start;
                current_->last_end = pending_->last_end;
                current_->evidence_end = pending_->evidence_end;
                current_->seen += pending_->seen;
                current_->confidence = std::max(current_->confidence, pending_->confidence);
            } else {
                Close(*current_, window_end, out);
                current_ = pending_;
            }
            pending_.reset();
        }
        // Music that is not in the catalogue but shares a motif with a
        // track agrees with it for a moment; a play holds on.
        if (current_ && !current_->reported && current_->seen >= options_.confirmations &&
            (!current_->evidence_end || *current_->evidence_end - current_->start >= options_.least_evidence))
            Report(*current_, window_end, out);
    }

    // A play not seen for hold_seconds has ended; one never reported was
    // chance.
    if (pending_ && window_end - pending_->last_end > options_.hold_seconds)
        pending_.reset();
    if (current_ && window_end - current_->last_end > options_.hold_seconds) {
        if (current_->reported)
            Close(*current_, window_end, out);
        current_.reset();
        if (pending_) {
            current_ = pending_;
            pending_.reset();
        }
    }
    return out;
}

std::vector<Event> PlayTracker::Finish(double end)
{
    std::vector<Event> out;
    if (current_ && current_->reported) {
        // Still seen in the last window: it played to the stream's end.
        if (current_->last_end >= end) {
            current_->last_start = end;
            current_->evidence_end = end;
        }
        Close(*current_, end, out);
    }
    current_.reset();
    pending_.reset();
    if (end - known_until_ >= options_.least_unknown)
        out.push_back({.kind = EventKind::Unknown, .at = end, .start = known_until_, .end = end, .track = {}});
    known_until_ = std::max(known_until_, end);
    return out;
}

std::optional<PlayTracker::Playing> PlayTracker::Now() const
{
    if (!current_ || !current_->reported)
        return std::nullopt;
    return Playing{current_->first.track.id, current_->alignment, current_->first.speed, EndOf(*current_)};
}

std::optional<Span> EvidenceSpan(std::span<const std::uint32_t> frames, double window_start)
{
    constexpr std::uint32_t kNear = 250;  // two seconds of frames
    constexpr double kFrameSeconds = 0.008;
    std::size_t first = 0;
    while (first + 1 < frames.size() && frames[first + 1] - frames[first] > kNear)
        ++first;
    std::size_t last = frames.size();
    while (last > first + 1 && frames[last - 1] - frames[last - 2] > kNear)
        --last;
    if (last < first + 2)
        return std::nullopt;
    return Span{window_start + frames[first] * kFrameSeconds, window_start + frames[last - 1] * kFrameSeconds};
}

}  // namespace vxt::monitor
