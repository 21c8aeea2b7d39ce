// libFuzzer target: the recognition service's reading of a request body
// (the shared request reader behind it) and its answer, over a small
// catalogue.
//
// Beyond what the sanitizers catch, it stops on a broken promise: a body is
// either answered or refused with BadRequest, never another exception, and
// every answer is a JSON object holding "matches" or "retryms".
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string_view>

#include <nlohmann/json.hpp>

#include "vextune/server/Recognizer.h"

namespace {

void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "recognize_request_fuzz: broken promise: %s\n", what);
        std::abort();
    }
}

// Three tracks of random landmarks over the whole hash range, and random
// peaks for checking candidates.
const vxt::matcher::Store& Catalogue()
{
    static const auto store = [] {
        auto s = vxt::matcher::MakeMemoryStore();
        std::mt19937 random(1);
        for (int t = 0; t < 3; ++t) {
            std::vector<vxt::matcher::Landmark> landmarks;
            for (int i = 0; i < 20000; ++i)
                landmarks.push_back(
                    {static_cast<std::uint32_t>(random() % (1u << 21)), static_cast<std::uint32_t>(random() % 20000)});
            std::vector<vxt::matcher::Peak> peaks;
            for (std::uint32_t f = 0; f < 20000; f += 1 + random() % 4)
                peaks.push_back({f, static_cast<std::uint16_t>(random())});
            vxt::matcher::TrackInfo info;
            info.title = "t";
            info.content = std::to_string(t);
            info.frames = 20000;
            s->Add(info, landmarks, peaks);
        }
        return s;
    }();
    return *store;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const vxt::server::Recognizer recognizer(Catalogue());
    try {
        const vxt::server::RecognizeRequest request =
            vxt::server::ReadRecognizeRequest(std::string_view(reinterpret_cast<const char*>(data), size));
        const vxt::server::Recognition r = recognizer.Recognize(request.signature, request.sample_ms);
        const nlohmann::json answer = nlohmann::json::parse(vxt::server::AnswerJson(r));
        require(answer.is_object() && (answer.contains("matches") || answer.contains("retryms")),
                "an answer without matches or retryms");
    } catch (const vxt::server::BadRequest&) {
    }
    return 0;
}
