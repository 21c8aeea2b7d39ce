// Plays joined from sightings: a stream told window by window, as a
// script of what each window was found to be.
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "vextune/monitor/Monitor.h"

namespace vxt::monitor {
namespace {

const TrackRef kA{1, "First", "Someone", 180.0};
const TrackRef kB{2, "Second", "", 120.0};

// One piece of a script: from..to of stream time (hop 1 s, windows of 8 s)
// holds track at track time offset_at_from; a null track holds nothing known.
struct Stretch {
    double from;
    double to;
    const TrackRef* track;
    double offset_at_from = 0.0;
};

// Each window is sighted as the track its last second holds, with the
// evidence of the stretch within it: what a catalogue's identifier says of
// clean audio.
std::vector<Event> Follow(const std::vector<Stretch>& script, TrackerOptions options = {})
{
    PlayTracker tracker(options);
    std::vector<Event> events;
    const double end = script.back().to;
    for (double we = 1.0; we <= end + 1e-9; we += 1.0) {
        const double ws = std::max(0.0, we - 8.0);
        std::optional<Sighting> sighting;
        for (const Stretch& s : script) {
            if (s.track && s.from < we - 0.5 && we - 0.5 < s.to && we - std::max(ws, s.from) >= 3.0) {
                sighting = Sighting{.track = *s.track,
                                    .offset = s.offset_at_from + (ws - s.from),
                                    .speed = 1.0,
                                    .confidence = 0.9,
                                    .evidence = Span{std::max(ws, s.from), std::min(we, s.to)}};
            }
        }
        for (Event& e : tracker.Observe(ws, we, sighting))
            events.push_back(e);
    }
    for (Event& e : tracker.Finish(end))
        events.push_back(e);
    return events;
}

std::string Kinds(const std::vector<Event>& events)
{
    std::string kinds;
    for (const Event& e : events)
        kinds += e.kind == EventKind::Play ? 'P' : e.kind == EventKind::End ? 'E' : 'u';
    return kinds;
}

TEST(PlayTracker, PlaysAreJoinedSplitAndTimedAsTheStreamHasThem)
{
    struct Case {
        const char* name;
        std::vector<Stretch> script;
        std::string kinds;
        std::vector<double> starts;  // of the plays
        std::vector<double> ends;
        std::vector<double> offsets;
    };
    const Case cases[] = {
        {"one track from its start, after silence", {{0, 10, nullptr}, {10, 70, &kA}}, "uPE", {10}, {70}, {0}},
        {"entered in the middle, then nothing known", {{0, 40, &kA, 95}, {40, 70, nullptr}}, "PEu", {0}, {40}, {95}},
        {"talk over it for five seconds stays one play",
         {{0, 30, &kA}, {30, 35, nullptr}, {35, 80, &kA, 35}},
         "PE",
         {0},
         {80},
         {0}},
        {"played twice is two plays", {{0, 40, &kA}, {40, 80, &kA}}, "PEPE", {0, 40}, {40, 80}, {0, 0}},
        {"the track going on from another place (a repeat, a jump) stays one play",
         {{0, 30, &kA}, {30, 60, &kA, 100}},
         "PE",
         {0},
         {60},
         {0}},
        {"one track straight after another, then a gap",
         {{0, 30, &kA, 150}, {30, 60, &kB}, {60, 80, nullptr}, {80, 100, &kA}},
         "PEPEuPE",
         {0, 30, 80},
         {30, 60, 100},
         {150, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<Event> events = Follow(c.script);
        EXPECT_EQ(Kinds(events), c.kinds);
        std::vector<double> starts, ends, offsets;
        for (const Event& e : events) {
            if (e.kind == EventKind::Play) {
                starts.push_back(e.start);
                offsets.push_back(e.offset);
            } else if (e.kind == EventKind::End) {
                ends.push_back(e.end);
            }
        }
        ASSERT_EQ(starts.size(), c.starts.size());
        ASSERT_EQ(ends.size(), c.ends.size());
        for (std::size_t i = 0; i < starts.size(); ++i) {
            EXPECT_NEAR(starts[i], c.starts[i], 1e-9) << "play " << i;
            EXPECT_NEAR(offsets[i], c.offsets[i], 1e-9) << "play " << i;
            EXPECT_NEAR(ends[i], c.ends[i], 1e-9) << "play " << i;
        }
    }
}

TEST(PlayTracker, APlayIsToldOnceTwoWindowsAgreeAndItsEndOnceItIsHeldNoLonger)
{
    const std::vector<Event> events = Follow({{0, 20, nullptr}, {20, 60, &kA}, {60, 120, nullptr}});
    ASSERT_EQ(Kinds(events), "uPEu");
    // Seen first in the window ending at 23 (3 s of it), told at the next.
    EXPECT_DOUBLE_EQ(events[1].at, 24.0);
    // Last seen in the window ending at 60; ended once 12 s have passed.
    EXPECT_DOUBLE_EQ(events[2].at, 73.0);
    EXPECT_DOUBLE_EQ(events[2].Duration(), 40.0);
    // The stretch of nothing known is told with its bounds.
    EXPECT_DOUBLE_EQ(events[0].start, 0.0);
    EXPECT_DOUBLE_EQ(events[0].end, 20.0);
    EXPECT_DOUBLE_EQ(events[3].start, 60.0);
    EXPECT_DOUBLE_EQ(events[3].end, 120.0);
}

TEST(PlayTracker, AChanceSightingThatDoesNotRepeatIsNoPlay)
{
    PlayTracker tracker;
    std::vector<Event> events;
    for (double we = 1.0; we <= 60.0; we += 1.0) {
        std::optional<Sighting> s;
        // Every tenth window a different track at a different place.
        if (static_cast<int>(we) % 10 == 0)
            s = Sighting{.track = static_cast<int>(we) % 20 ? kA : kB, .offset = we * 3.0, .evidence = {}};
        for (const Event& e : tracker.Observe(std::max(0.0, we - 8.0), we, s))
            events.push_back(e);
    }
    for (const Event& e : tracker.Finish(60.0))
        events.push_back(e);
    ASSERT_EQ(Kinds(events), "u");
    EXPECT_DOUBLE_EQ(events[0].Duration(), 60.0);
}

TEST(PlayTracker, WithoutEvidenceStartAndEndAreEstimatedFromTheWindows)
{
    PlayTracker tracker({.evidence_seconds = 3.0});
    std::vector<Event> events;
    // A track from stream time 10 at its time 40, sighted in the windows
    // ending at 13 to 50 (those holding at least 3 s of it).
    for (double we = 1.0; we <= 70.0; we += 1.0) {
        const double ws = std::max(0.0, we - 8.0);
        std::optional<Sighting> s;
        if (we >= 13.0 && we <= 50.0)
            s = Sighting{.track = kA, .offset = 40.0 + (ws - 10.0), .evidence = {}};
        for (const Event& e : tracker.Observe(ws, we, s))
            events.push_back(e);
    }
    ASSERT_EQ(Kinds(tracker.Finish(70.0)), "u");
    ASSERT_EQ(Kinds(events), "uPE");
    EXPECT_DOUBLE_EQ(events[1].start, 10.0);
    EXPECT_DOUBLE_EQ(events[1].offset, 40.0);
    EXPECT_DOUBLE_EQ(events[2].end, 45.0);  // the last window's start (42) and 3 s
}

TEST(PlayTracker, APlayNeverRunsPastItsTracksEndNorBeforeItsBeginning)
{
    PlayTracker tracker;
    std::vector<Event> events;
    const TrackRef short_track{7, "Short", "", 20.0};
    // Sighted with evidence that overreaches both ends by two seconds.
    for (double we = 1.0; we <= 60.0; we += 1.0) {
        const double ws = std::max(0.0, we - 8.0);
        std::optional<Sighting> s;
        if (we >= 13.0 && we <= 33.0)
            s = Sighting{
                .track = short_track, .offset = ws - 10.0, .evidence = Span{std::max(ws, 8.0), std::min(we, 32.0)}};
        for (const Event& e : tracker.Observe(ws, we, s))
            events.push_back(e);
    }
    ASSERT_EQ(Kinds(events), "uPE");
    EXPECT_DOUBLE_EQ(events[1].start, 10.0);
    EXPECT_DOUBLE_EQ(events[2].end, 30.0);
}

TEST(EvidenceSpan, LoneAgreementsAtEitherEndDoNotStretchIt)
{
    struct Case {
        std::vector<std::uint32_t> frames;
        std::optional<Span> span;
    };
    const Case cases[] = {
        {{}, std::nullopt},
        {{100}, std::nullopt},
        {{100, 900}, std::nullopt},
        {{100, 120, 300}, Span{10.8, 12.4}},
        {{0, 600, 620, 640, 1200}, Span{14.8, 15.12}},
    };
    for (const Case& c : cases) {
        const std::optional<Span> span = EvidenceSpan(c.frames, 10.0);
        ASSERT_EQ(span.has_value(), c.span.has_value()) << ::testing::PrintToString(c.frames);
        if (span) {
            EXPECT_NEAR(span->from, c.span->from, 1e-9);
            EXPECT_NEAR(span->to, c.span->to, 1e-9);
        }
    }
}

TEST(EventLines, TextAndJsonSayTheSame)
{
    const Event play{.kind = EventKind::Play,
                     .at = 3725.5,
                     .start = 3723.25,
                     .track = kA,
                     .offset = 61.5,
                     .speed = 1.02,
                     .confidence = 0.999};
    EXPECT_EQ(
        TextLine(play),
        "01:02:03.3  play     #1 \"First\" by Someone  at 00:01:01.5 in the track, speed 1.020, confidence 0.999");
    const nlohmann::json j = nlohmann::json::parse(JsonLine(play));
    EXPECT_EQ(j["event"], "play");
    EXPECT_DOUBLE_EQ(j["start"].get<double>(), 3723.25);
    EXPECT_EQ(j["track"]["title"], "First");
    EXPECT_DOUBLE_EQ(j["offset"].get<double>(), 61.5);

    const Event end{.kind = EventKind::End, .at = 100, .start = 10, .end = 70, .track = kB};
    EXPECT_EQ(TextLine(end), "00:01:10.0  end      #2 \"Second\" after 00:01:00.0");
    EXPECT_DOUBLE_EQ(nlohmann::json::parse(JsonLine(end))["duration"].get<double>(), 60.0);

    const Event gap{.kind = EventKind::Unknown, .at = 20, .start = 0, .end = 12.5, .track = {}};
    EXPECT_EQ(TextLine(gap), "00:00:00.0  unknown  until 00:00:12.5 (00:00:12.5)");
    EXPECT_EQ(nlohmann::json::parse(JsonLine(gap))["event"], "unknown");
}

}  // namespace
}  // namespace vxt::monitor
