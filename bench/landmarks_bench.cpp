// The pair search (MakeLandmarks) and the tolerant pairs of a query
// (QueryLandmarks) on peaks as music has them and as a hostile request
// lays them out:
//
//   landmarks_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
//
// music: 12 s of band-selected peaks (about 36 a second, as the three
// bands keep them); one-frame and one-bin: the 157 000 peaks a 1 MiB
// request holds, in one frame or in one bin over 63 frames; dense: 600 s
// at 64 peaks a second in a few neighbouring bins, the most the service's
// bounds let a request hold. items_per_second counts peaks.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <vector>

#include "vextune/matcher/Landmarks.h"

namespace {

using namespace vxt::matcher;

std::vector<Peak> Sorted(std::vector<Peak> peaks)
{
    std::sort(peaks.begin(), peaks.end(), [](const Peak& a, const Peak& b) {
        return a.frame != b.frame ? a.frame < b.frame : a.frequency < b.frequency;
    });
    return peaks;
}

std::vector<Peak> Music()
{
    std::mt19937 random(1);
    std::vector<Peak> peaks;
    for (std::uint32_t f = 0; f < 1500; ++f) {
        if (random() % 100 < 29)
            peaks.push_back({f, static_cast<std::uint16_t>(2048 + random() % (28672 - 2048))});
    }
    return Sorted(peaks);
}

std::vector<Peak> OneFrame()
{
    std::vector<Peak> peaks;
    for (std::uint32_t i = 0; i < 157000; ++i)
        peaks.push_back({100, static_cast<std::uint16_t>(2048 + i % 26624)});
    return Sorted(peaks);
}

std::vector<Peak> OneBin()
{
    std::vector<Peak> peaks;
    for (std::uint32_t i = 0; i < 157000; ++i)
        peaks.push_back({i * 63 / 157000, static_cast<std::uint16_t>(64 * 300 + i % 64)});
    return Sorted(peaks);
}

std::vector<Peak> Dense()
{
    std::mt19937 random(2);
    std::vector<Peak> peaks;
    for (std::uint32_t i = 0; i < 600 * 64; ++i)
        peaks.push_back(
            {static_cast<std::uint32_t>(random() % 75000), static_cast<std::uint16_t>(64 * 300 + random() % 640)});
    return Sorted(peaks);
}

template <std::vector<Peak> (*Make)()>
void BM_MakeLandmarks(benchmark::State& state)
{
    const std::vector<Peak> peaks = Make();
    for (auto _ : state)
        benchmark::DoNotOptimize(MakeLandmarks(peaks));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * peaks.size()));
}

template <std::vector<Peak> (*Make)()>
void BM_QueryLandmarks(benchmark::State& state)
{
    const std::vector<Peak> peaks = Make();
    for (auto _ : state)
        benchmark::DoNotOptimize(QueryLandmarks(peaks, QueryTolerance{}));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * peaks.size()));
}

BENCHMARK(BM_MakeLandmarks<Music>)->Name("BM_MakeLandmarks/music");
BENCHMARK(BM_MakeLandmarks<OneFrame>)->Name("BM_MakeLandmarks/one-frame");
BENCHMARK(BM_MakeLandmarks<OneBin>)->Name("BM_MakeLandmarks/one-bin");
BENCHMARK(BM_MakeLandmarks<Dense>)->Name("BM_MakeLandmarks/dense");
BENCHMARK(BM_QueryLandmarks<Music>)->Name("BM_QueryLandmarks/music");
BENCHMARK(BM_QueryLandmarks<Dense>)->Name("BM_QueryLandmarks/dense");

}  // namespace

BENCHMARK_MAIN();
