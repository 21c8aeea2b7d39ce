#include <cmath>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "vextune/monitor/Monitor.h"

namespace vxt::monitor {

namespace {

// Seconds to the millisecond, as JSON numbers.
double Ms(double seconds)
{
    return std::round(seconds * 1000.0) / 1000.0;
}

nlohmann::json TrackJson(const TrackRef& track)
{
    return {{"id", track.id}, {"title", track.title}, {"artist", track.artist}};
}

std::string TrackText(const TrackRef& track)
{
    std::string text = "#";
    text += std::to_string(track.id);
    if (!track.title.empty())
        text += " \"" + track.title + "\"";
    if (!track.artist.empty())
        text += " by " + track.artist;
    return text;
}

}  // namespace

std::string Clock(double seconds)
{
    const long long tenths = std::llround(std::max(0.0, seconds) * 10.0);
    char text[32];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld.%lld", tenths / 36000, tenths / 600 % 60, tenths / 10 % 60,
                  tenths % 10);
    return text;
}

std::string TextLine(const Event& e)
{
    char numbers[96];
    switch (e.kind) {
    case EventKind::Play:
        std::snprintf(numbers, sizeof numbers, "  at %s in the track, speed %.3f, confidence %.3f",
                      Clock(e.offset).c_str(), e.speed, e.confidence);
        return Clock(e.start) + "  play     " + TrackText(e.track) + numbers;
    case EventKind::End: return Clock(e.end) + "  end      " + TrackText(e.track) + " after " + Clock(e.Duration());
    case EventKind::Unknown: break;
    }
    return Clock(e.start) + "  unknown  until " + Clock(e.end) + " (" + Clock(e.Duration()) + ")";
}

std::string JsonLine(const Event& e)
{
    nlohmann::json line;
    switch (e.kind) {
    case EventKind::Play:
        line = {{"event", "play"},        {"start", Ms(e.start)}, {"track", TrackJson(e.track)},
                {"offset", Ms(e.offset)}, {"speed", Ms(e.speed)}, {"confidence", Ms(e.confidence)},
                {"at", Ms(e.at)}};
        break;
    case EventKind::End:
        line = {{"event", "end"},
                {"start", Ms(e.start)},
                {"end", Ms(e.end)},
                {"duration", Ms(e.Duration())},
                {"track", TrackJson(e.track)},
                {"at", Ms(e.at)}};
        break;
    case EventKind::Unknown:
        line = {{"event", "unknown"},
                {"start", Ms(e.start)},
                {"end", Ms(e.end)},
                {"duration", Ms(e.Duration())},
                {"at", Ms(e.at)}};
        break;
    }
    return line.dump();
}

}  // namespace vxt::monitor
