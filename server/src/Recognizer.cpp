#include "vextune/server/Recognizer.h"

#include <algorithm>
#include <array>
#include <cmath>

#include <nlohmann/json.hpp>

#include "vextune/signature.h"

namespace vxt::server {
namespace {

constexpr std::int64_t kFrameMs = 8;

// The value of a base64 digit, or -1.
constexpr std::array<std::int8_t, 256> kDigits = [] {
    std::array<std::int8_t, 256> digits{};
    digits.fill(-1);
    constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (std::size_t i = 0; i < alphabet.size(); ++i)
        digits[static_cast<unsigned char>(alphabet[i])] = static_cast<std::int8_t>(i);
    return digits;
}();

}  // namespace

std::vector<std::uint8_t> DecodeBase64(std::string_view text)
{
    std::size_t length = text.size();
    std::size_t padding = 0;
    while (length > 0 && padding < 2 && text[length - 1] == '=') {
        --length;
        ++padding;
    }
    if ((padding > 0 && text.size() % 4 != 0) || length % 4 == 1)
        throw BadRequest("the signature is not base64: wrong length");

    std::vector<std::uint8_t> bytes;
    bytes.reserve(length / 4 * 3 + 2);
    std::uint32_t bits = 0;
    int held = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const std::int8_t digit = kDigits[static_cast<unsigned char>(text[i])];
        if (digit < 0)
            throw BadRequest("the signature is not base64: unexpected character at " + std::to_string(i));
        bits = bits << 6 | static_cast<std::uint32_t>(digit);
        held += 6;
        if (held >= 8) {
            held -= 8;
            bytes.push_back(static_cast<std::uint8_t>(bits >> held));
        }
    }
    // Bits left over must be zero, or the text was not made from these bytes.
    if ((bits & ((1u << held) - 1)) != 0)
        throw BadRequest("the signature is not base64: stray bits at its end");
    return bytes;
}

RecognizeRequest ReadRecognizeRequest(std::string_view body)
{
    nlohmann::json request;
    try {
        request = nlohmann::json::parse(body);
    } catch (const nlohmann::json::exception& e) {  // a syntax error, or a number beyond a double
        throw BadRequest(std::string("the request is not JSON: ") + e.what());
    }
    if (!request.is_object())
        throw BadRequest("the request is not a JSON object");
    const auto signature = request.find("signature");
    if (signature == request.end() || !signature->is_string())
        throw BadRequest("the request has no \"signature\" text");
    const auto sample = request.find("samplems");
    if (sample == request.end())
        throw BadRequest("the request has no \"samplems\"");

    RecognizeRequest out;
    if (sample->is_number()) {
        out.sample_ms = sample->get<double>();
    } else if (sample->is_string()) {
        const std::string& text = sample->get_ref<const std::string&>();
        std::size_t used = 0;
        try {
            out.sample_ms = std::stod(text, &used);
        } catch (const std::exception&) {
            used = 0;
        }
        if (used == 0 || used != text.size())
            throw BadRequest("the request's \"samplems\" is not a number");
    } else {
        throw BadRequest("the request's \"samplems\" is not a number");
    }
    if (!std::isfinite(out.sample_ms) || out.sample_ms < 0.0)
        throw BadRequest("the request's \"samplems\" is not a length of time");
    out.signature = DecodeBase64(signature->get_ref<const std::string&>());
    return out;
}

Recognizer::Recognizer(const matcher::Store& store, RecognizerOptions options)
    : store_(store), options_(options)
{
}

Recognition Recognizer::Recognize(std::span<const std::uint8_t> signature, double sample_ms) const
{
    const decoded_signature decoded = read_signature(signature);
    if (!decoded.ok())
        throw BadRequest("the signature fails its checks: " + decoded.error);

    // Exact pairs first: a clean or phone recording matches on them, at a
    // twentieth of the lookups. Only when they fall short are the pairs
    // looked up with the tolerance a room and noise call for, and the
    // candidates checked peak by peak. A clean recording of music that is
    // not in the catalogue but shares a motif with a track that is can
    // line up enough peaks with it to pass that check; a recording whose
    // exact pairs do fall short is one that needs it.
    const std::vector<matcher::Peak> peaks = matcher::SignaturePeaks(decoded);
    Recognition r;
    std::vector<matcher::Landmark> landmarks = matcher::MakeLandmarks(peaks);
    r.landmarks = landmarks.size();
    r.detail = matcher::Match(store_, landmarks, options_.match);
    if (r.detail.verdict != matcher::Verdict::Match && options_.tolerate) {
        landmarks = matcher::QueryLandmarks(peaks, options_.tolerance);
        r.detail = matcher::Match(store_, landmarks, peaks, options_.match);
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
        return {{"retryms", recognition.retry_ms}};
    nlohmann::json answer = {{"matches", nlohmann::json::array()}};
    if (recognition.outcome == Outcome::Match && recognition.track) {
        const matcher::TrackInfo& t = *recognition.track;
        answer["matches"].push_back({{"id", t.id},
                                     {"title", t.title},
                                     {"artist", t.artist},
                                     {"offsetms", recognition.offset_ms},
                                     {"score", recognition.detail.score},
                                     {"confidence", recognition.confidence}});
    }
    return answer;
}

std::string AnswerJson(const Recognition& recognition)
{
    // Titles from tags may hold bytes that are not UTF-8: replaced, not fatal.
    return Answer(recognition).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace vxt::server
