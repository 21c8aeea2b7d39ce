// The recognition service's answer to one signature, free of HTTP.
//
// A request carries a signature (either form, as the client makes it) and
// the length of the recording it covers. Its landmarks are matched against
// the store; the answer names the track when the match stands clear of
// chance and of every other track, asks for a longer recording (an answer
// with "retryms") while the recording is shorter than the service's
// maximum, and otherwise says there is no match. A short recording that
// falls short of a match is not evidence of absence, so the service asks
// for more before it says "no match"; the threshold keeps each attempt's
// chance of a false claim at the matcher's rate.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "vextune/matcher/Matcher.h"
#include "vextune/matcher/Store.h"
#include "vextune/protocol/Request.h"

namespace vxt::server {

// The most work one request may ask for, beyond what any real recording
// needs: peaks and exact pairs per second of the length it says it covers
// (its "samplems", counted as at most longest_sample_ms, plus a second
// for the engine's run-out and a period's rounding), and no peak later
// than that length. The signatures of real recordings hold at most 41
// peaks a second (the band selection's densest setting keeps 14 peaks of
// each of three bands every 1.024 s; the evaluation's recordings reach
// 39.5) and make at most 281 pairs a second. What one request's votes
// may cost is the matcher's bound (matcher::MatchOptions).
struct RequestBounds {
    std::uint32_t peaks_per_second = 64;
    std::uint32_t pairs_per_second = 512;
    std::uint32_t longest_sample_ms = 600000;  // the longest recording the service can be set to ask for
};

struct RecognizerOptions {
    matcher::MatchOptions match;
    std::uint32_t max_sample_ms = 12000;  // no longer recording is asked for
    std::uint32_t retry_step_ms = 3000;   // how much more is asked for each time
    bool tolerate = true;                 // look up again within the tolerance when exact pairs fall short
    matcher::QueryTolerance tolerance;    // how far a recording's peaks may be from the track's
    RequestBounds bounds;
    // Recordings played fast or slow (broadcast a few percent, a DJ's mix
    // up to about 8 %): where nothing matches at the recording's own speed,
    // its exact pairs are matched again at speeds 1 ± k speed_step up to
    // most_speed_change, nearest first, each with its peaks made as the
    // track has them (time and pitch both scaled). The false-claim rate is
    // shared among the speeds tried. 0: none; each speed costs about an
    // exact pass.
    double most_speed_change = 0.0;
    double speed_step = 0.0015;
};

enum class Outcome { Match, Retry, NoMatch };

struct Recognition {
    Outcome outcome = Outcome::NoMatch;
    std::optional<matcher::TrackInfo> track;  // with Match
    std::int64_t offset_ms = 0;               // where in the track the recording starts
    double confidence = 0.0;                  // 1 less the expected number of chance cells reaching the score
    std::uint32_t retry_ms = 0;               // with Retry: the recording time wanted
    double speed = 1.0;                       // with Match: track seconds per recording second
    matcher::MatchResult detail;
    std::size_t landmarks = 0;  // of the query
};

// A request the service cannot read: answered with 400 and the message.
class BadRequest : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// A request that would cost more work than any real recording does
// (pairs, lookups, votes beyond the service's bounds): answered with 413
// and the message.
class RequestTooLarge : public BadRequest {
public:
    using BadRequest::BadRequest;
};

// The request as read: the signature's bytes and the sample length.
using RecognizeRequest = protocol::Request;

// Reads a request body as the client writes it (vxt::protocol::ReadRequest:
// a JSON object with "signature", base64 padded or not, and "samplems", a
// number or a number in a string). Further members are ignored. Throws
// BadRequest with what is wrong.
RecognizeRequest ReadRecognizeRequest(std::string_view body);

class Recognizer {
public:
    explicit Recognizer(const matcher::Store& store, RecognizerOptions options = {});

    // Throws BadRequest when the signature fails its checks or has peaks
    // past the length it covers, and RequestTooLarge when it holds more
    // peaks or pairs than the bounds let a recording of that length.
    Recognition Recognize(std::span<const std::uint8_t> signature, double sample_ms) const;

    // The same decision on peaks a caller made itself (time-ordered, from
    // frame 0), without the bounds a request is held to.
    Recognition RecognizePeaks(std::span<const matcher::Peak> peaks, double sample_ms) const;

    const RecognizerOptions& Options() const noexcept { return options_; }

private:
    Recognition Decide(std::span<const matcher::Peak> peaks, std::vector<matcher::Landmark> landmarks,
                       double sample_ms) const;

    const matcher::Store& store_;
    RecognizerOptions options_;
};

// The answer object: {"matches":[{"id","title","artist","offsetms","score",
// "confidence"}]} (and "speed" for a match found played fast or slow),
// empty for no match, or {"retryms":N}; and as text.
nlohmann::json Answer(const Recognition& recognition);
std::string AnswerJson(const Recognition& recognition);

}  // namespace vxt::server
