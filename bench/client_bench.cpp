// The recognition client's own work per attempt: base64 of a 12-second
// signature, the template filled with it and the sample length, and the
// sizes recorded in "info".
//
//   client_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "vextune/client/RequestText.h"
#include "vextune/protocol/Base64.h"
#include "vextune/vextuneAPI.h"

namespace {

std::vector<std::uint8_t> TwelveSecondSignature()
{
    const int rate = 44100;
    std::vector<std::int16_t> pcm(static_cast<std::size_t>(rate * 12));
    for (std::size_t i = 0; i < pcm.size(); ++i) {
        const double t = static_cast<double>(i) / rate;
        const double f = 300.0 + 150.0 * std::floor(t * 4.0);
        pcm[i] = static_cast<std::int16_t>(6000.0 * std::sin(2 * 3.141592653589793 * f * t) +
                                           3000.0 * std::sin(2 * 3.141592653589793 * 2.7 * f * t));
    }
    auto engine = vxt::create_engine(2, rate, 0x800);
    vxt::feed_samples(engine, pcm.data(), static_cast<std::int32_t>(pcm.size()));
    std::vector<std::uint8_t> signature;
    vxt::get_signature(engine, signature, 0.0);
    return signature;
}

void BM_AttemptText(benchmark::State& state)
{
    const auto signature = TwelveSecondSignature();
    const std::string request_template = R"({"signature":"{sigdata}","samplems":"{samplems}","app":"demo"})";
    if (VextuneCore::Client::FillTemplate(request_template, "x", "1").find("\"samplems\":1") == std::string::npos)
        throw std::runtime_error("placeholders not filled");
    for (auto _ : state) {
        const std::string text = vxt::protocol::EncodeBase64(signature);
        const std::string body =
            VextuneCore::Client::FillTemplate(request_template, text, VextuneCore::Client::SampleText(12020.0));
        benchmark::DoNotOptimize(VextuneCore::Client::Utf16Length(body));
    }
    state.counters["signature_bytes"] = static_cast<double>(signature.size());
}
BENCHMARK(BM_AttemptText)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
