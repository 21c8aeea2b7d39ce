#include "vextune/server/Recognizer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "vextune/protocol/Answer.h"
#include "vextune/protocol/Request.h"
#include "vextune/signature.h"

namespace vxt::server {
namespace {

constexpr std::int64_t kFrameMs = 8;

// What a request may hold, from the bounds and the length it says it
// covers: the length counted, and its peaks and pairs at most.
struct Allowed {
    double seconds = 0.0;
    std::uint64_t last_frame = 0;
    std::uint64_t peaks = 0;
    std::uint64_t pairs = 0;
};

Allowed AllowedFor(const RequestBounds& bounds, double sample_ms)
{
    Allowed allowed;
    const double counted_ms = std::clamp(sample_ms, 0.0, static_cast<double>(bounds.longest_sample_ms));
    allowed.seconds = counted_ms / 1000.0 + 1.0;
    allowed.last_frame = static_cast<std::uint64_t>(std::ceil(allowed.seconds * 1000.0 / kFrameMs));
    allowed.peaks = static_cast<std::uint64_t>(std::ceil(allowed.seconds * bounds.peaks_per_second));
    allowed.pairs = static_cast<std::uint64_t>(std::ceil(allowed.seconds * bounds.pairs_per_second));
    return allowed;
}

std::string Seconds(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

}  // namespace

RecognizeRequest ReadRecognizeRequest(std::string_view body)
{
    try {
        return protocol::ReadRequest(body);
    } catch (const protocol::Error& e) {
        throw BadRequest(e.what());
    }
}

Recognizer::Recognizer(const matcher::Store& store, RecognizerOptions options) : store_(store), options_(options) {}

Recognition Recognizer::Recognize(std::span<const std::uint8_t> signature, double sample_ms) const
{
    const decoded_signature decoded = read_signature(signature);
    if (!decoded.ok())
        throw BadRequest("the signature fails its checks: " + decoded.error);

    // Exact pairs first: a clean or phone recording matches on them, at a
    // twentieth of the lookups. Only when they fall short are the pairs
    // made with the tolerance a room and noise call for, scored on the
    // tracks the exact pairs voted for most, and the candidates checked
    // peak by peak. A clean recording of music that is
    // not in the catalogue but shares a motif with a track that is can
    // line up enough peaks with it to pass that check; a recording whose
    // exact pairs do fall short is one that needs it.
    // Nothing is looked up for a request that asks more work than any
    // real recording of its length: the bounds are checked on the peaks,
    // and on the pairs before the tolerance multiplies them.
    const Allowed allowed = AllowedFor(options_.bounds, sample_ms);
    const std::size_t peak_count = decoded.band_peak_count();
    if (peak_count > allowed.peaks)
        throw RequestTooLarge("the signature holds " + std::to_string(peak_count) +
                              " peaks, more than a recording of " + Seconds(allowed.seconds - 1.0) + " can (at most " +
                              std::to_string(allowed.peaks) + ")");
    const std::vector<matcher::Peak> peaks = matcher::SignaturePeaks(decoded);
    if (!peaks.empty() && peaks.back().frame > allowed.last_frame)
        throw BadRequest("the signature has peaks " + Seconds(peaks.back().frame * kFrameMs / 1000.0) +
                         " in, past the " + Seconds(allowed.seconds - 1.0) + " of audio the request says it covers");
    std::vector<matcher::Landmark> landmarks = matcher::MakeLandmarks(peaks);
    if (landmarks.size() > allowed.pairs)
        throw RequestTooLarge("the signature's peaks make " + std::to_string(landmarks.size()) +
                              " pairs, more than a recording of " + Seconds(allowed.seconds - 1.0) +
                              " makes (at most " + std::to_string(allowed.pairs) + ")");
    return Decide(peaks, std::move(landmarks), sample_ms);
}

Recognition Recognizer::RecognizePeaks(std::span<const matcher::Peak> peaks, double sample_ms) const
{
    return Decide(peaks, matcher::MakeLandmarks(peaks), sample_ms);
}

Recognition Recognizer::Decide(std::span<const matcher::Peak> peaks, std::vector<matcher::Landmark> landmarks,
                               double sample_ms) const
{
    Recognition r;
    r.landmarks = landmarks.size();
    std::vector<matcher::Candidate> put_forward;
    r.detail = matcher::Match(store_, landmarks, options_.match, put_forward);
    if (r.detail.verdict != matcher::Verdict::Match && options_.tolerate) {
        landmarks = matcher::QueryLandmarks(peaks, options_.tolerance);
        r.detail = matcher::MatchTolerant(store_, landmarks, peaks, put_forward, options_.match);
    }
    if (r.detail.verdict != matcher::Verdict::Match && options_.most_speed_change > 0.0 && options_.speed_step > 0.0) {
        const auto steps = static_cast<int>(options_.most_speed_change / options_.speed_step + 1e-9);
        matcher::MatchOptions shared = options_.match;
        shared.false_claim_rate /= 2.0 * steps + 1.0;
        const auto at_speed = [&](int k) {
            const std::vector<matcher::Peak> scaled = matcher::PeaksAtSpeed(peaks, 1.0 + k * options_.speed_step);
            return matcher::Match(store_, matcher::MakeLandmarks(scaled), scaled, shared);
        };
        for (int k = 1; k <= steps && r.detail.verdict != matcher::Verdict::Match; ++k) {
            for (const int signed_k : {k, -k}) {
                matcher::MatchResult at = at_speed(signed_k);
                if (at.verdict != matcher::Verdict::Match)
                    continue;
                // The first speed outward that passes is seldom the best:
                // the score rises on to the recording's own speed, then
                // falls.
                int best = signed_k;
                for (int further = signed_k + (k == signed_k ? 1 : -1); std::abs(further) <= steps;
                     further += k == signed_k ? 1 : -1) {
                    matcher::MatchResult next = at_speed(further);
                    if (next.verdict != matcher::Verdict::Match || next.track != at.track || next.score <= at.score)
                        break;
                    at = next;
                    best = further;
                }
                r.detail = at;
                r.speed = 1.0 + best * options_.speed_step;
                break;
            }
        }
    }
    if (r.detail.verdict == matcher::Verdict::Match) {
        r.track = store_.Track(r.detail.track);
        // A track removed since its postings were read is no answer.
        if (r.track) {
            r.outcome = Outcome::Match;
            r.offset_ms = r.detail.offset_frames * kFrameMs;
            r.confidence = std::clamp(1.0 - r.detail.chance, 0.0, 1.0);
            return r;
        }
    }
    if (sample_ms < options_.max_sample_ms) {
        r.outcome = Outcome::Retry;
        const double wanted = std::min<double>(options_.max_sample_ms, sample_ms + options_.retry_step_ms);
        r.retry_ms = static_cast<std::uint32_t>(std::ceil(wanted));
        return r;
    }
    r.outcome = Outcome::NoMatch;
    return r;
}

nlohmann::json Answer(const Recognition& recognition)
{
    if (recognition.outcome == Outcome::Retry)
        return {{protocol::retry_ms_member, recognition.retry_ms}};
    nlohmann::json answer = {{protocol::matches_member, nlohmann::json::array()}};
    if (recognition.outcome == Outcome::Match && recognition.track) {
        const matcher::TrackInfo& t = *recognition.track;
        answer[protocol::matches_member].push_back({{"id", t.id},
                                                    {"title", t.title},
                                                    {"artist", t.artist},
                                                    {"offsetms", recognition.offset_ms},
                                                    {"score", recognition.detail.score},
                                                    {"confidence", recognition.confidence}});
        // Found played fast or slow: at what speed (track seconds a
        // second); absent at the recording's own speed.
        if (recognition.speed != 1.0)
            answer[protocol::matches_member][0]["speed"] = std::round(recognition.speed * 10000.0) / 10000.0;
    }
    return answer;
}

std::string AnswerJson(const Recognition& recognition)
{
    // Titles from tags may hold bytes that are not UTF-8: replaced, not fatal.
    return Answer(recognition).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace vxt::server
