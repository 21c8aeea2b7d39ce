// The LMDB store on synthetic catalogues: lookups, whole matches and the
// cost of filling it.
//
// Landmarks are drawn at the density of real ones: about 36 peaks a second
// with a fan-out of 5, so 165 landmarks a second of audio; anchor bins
// 32..447, frequency steps -32..31, time steps the gap to one of the next 5
// peaks. Tracks last 2 to 5 minutes. Catalogues are built once by the bulk
// loader (postings drawn hash by hash) into folders under the build tree
// and kept for later runs; delete bench-data/ there when done.
//
//   store_bench --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
//
// Knobs (environment): VXT_BENCH_TRACKS, the tracks of the catalogue the
// whole matches run on (default 1000; 10000 is about 550 hours, 300 M
// postings, 3-4 GB); VXT_BENCH_INGEST_TRACKS, the tracks of the filling
// benchmarks (default 200).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "LmdbStore.h"
#include "vextune/matcher/Matcher.h"

namespace {

using namespace vxt::matcher;
namespace fs = std::filesystem;

constexpr double kLandmarksPerSecond = 165.0;
constexpr double kFramesPerSecond = 125.0;  // 8 ms frames
constexpr std::uint32_t kLowBin = 32;
constexpr std::uint32_t kHighBin = 448;  // exclusive
constexpr std::uint32_t kQueryFrames = 1250;  // 10 s
constexpr double kQueryKept = 0.4;  // of the track's landmarks that survive in a recording

std::uint32_t EnvNumber(const char* name, std::uint32_t fallback)
{
    const char* text = std::getenv(name);
    return text != nullptr ? static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10)) : fallback;
}

// The chance of each time step: the gap to the k-th next peak (k = 1..5),
// peaks coming at 36 a second, clipped to 1..63 frames.
const std::vector<double>& TimeStepChances()
{
    static const std::vector<double> chances = [] {
        std::mt19937_64 random(7);
        std::exponential_distribution<double> gap(36.0 / kFramesPerSecond);
        std::vector<double> count(64, 0.0);
        constexpr int kDraws = 1 << 20;
        for (int i = 0; i < kDraws; ++i) {
            const int k = 1 + static_cast<int>(random() % 5);
            double dt = 0.0;
            for (int j = 0; j < k; ++j)
                dt += gap(random);
            count[std::clamp(static_cast<int>(std::ceil(dt)), 1, 63)] += 1.0;
        }
        for (double& c : count)
            c /= kDraws;
        return count;
    }();
    return chances;
}

std::uint32_t HashOf(std::uint32_t bin, std::uint32_t step_bins, std::uint32_t dt)
{
    return bin << 12 | step_bins << 6 | dt;
}

// One landmark's hash, drawn from the density above.
class HashDraw {
public:
    explicit HashDraw(std::uint64_t seed)
        : random_(seed), dt_(TimeStepChances().begin(), TimeStepChances().end())
    {
    }
    std::uint32_t operator()()
    {
        const auto bin = kLowBin + static_cast<std::uint32_t>(random_() % (kHighBin - kLowBin));
        const auto step = static_cast<std::uint32_t>(random_() % 64);
        return HashOf(bin, step, static_cast<std::uint32_t>(dt_(random_)));
    }
    std::mt19937_64& Random() { return random_; }

private:
    std::mt19937_64 random_;
    std::discrete_distribution<int> dt_;
};

struct Query {
    std::uint32_t track;
    std::uint32_t start_frame;
    std::vector<Landmark> landmarks;
};

struct Catalogue {
    std::string folder;
    std::vector<Query> queries;  // planted: from tracks of the catalogue, mixed with noise
};

// Builds (once) a catalogue of the given tracks by the bulk loader, drawing
// each hash's postings at once: a posting falls on a frame drawn uniformly
// over all the catalogue's audio. The query tracks' landmarks in a 10 s
// window are kept along the way to make queries.
Catalogue BuildCatalogue(const std::string& name, std::uint32_t tracks, bool big_endian)
{
    Catalogue catalogue;
    catalogue.folder = std::string(VXT_BENCH_DATA_DIR) + "/" + name;

    std::mt19937_64 random(tracks);
    std::vector<std::uint64_t> starts;  // each track's first frame in all the audio
    std::vector<std::uint32_t> lengths;
    std::uint64_t all_frames = 0;
    for (std::uint32_t t = 0; t < tracks; ++t) {
        const auto length = static_cast<std::uint32_t>((120 + random() % 181) * kFramesPerSecond);
        starts.push_back(all_frames);
        lengths.push_back(length);
        all_frames += length;
    }
    constexpr std::uint32_t kQueries = 16;
    std::vector<Query> truth;
    for (std::uint32_t q = 0; q < kQueries; ++q) {
        const std::uint32_t track = 1 + static_cast<std::uint32_t>(random() % tracks);
        truth.push_back({track, static_cast<std::uint32_t>(random() % (lengths[track - 1] - kQueryFrames)), {}});
    }

    std::vector<bool> queried(tracks + 1, false);
    for (const Query& q : truth)
        queried[q.track] = true;

    bool fresh = false;
    try {
        OpenLmdbStore(catalogue.folder, OpenMode::ReadOnly);
    } catch (const StoreError&) {
        fresh = true;
    }
    if (fresh)
        fs::remove_all(catalogue.folder);
    std::unique_ptr<LmdbLoader> loader;
    if (fresh) {
        std::fprintf(stderr, "store_bench: building %s (%u tracks)...\n", catalogue.folder.c_str(), tracks);
        loader = std::make_unique<LmdbLoader>(catalogue.folder, LmdbOptions{.big_endian_postings = big_endian});
        for (std::uint32_t t = 0; t < tracks; ++t) {
            TrackInfo info;
            info.title = "track " + std::to_string(t + 1);
            info.artist = "synthetic";
            info.source = "/music/" + info.title + ".ogg";
            info.content = std::to_string(t + 1);
            info.frames = lengths[t];
            loader->AddTrack(info);
        }
    }

    // Drawn whether building or not: the queries come out the same.
    const double landmarks = static_cast<double>(all_frames) * kLandmarksPerSecond / kFramesPerSecond;
    const std::vector<double>& dt_chances = TimeStepChances();
    const double per_bin_step = 1.0 / ((kHighBin - kLowBin) * 64.0);
    std::vector<Posting> postings;
    for (std::uint32_t bin = kLowBin; bin < kHighBin; ++bin) {
        for (std::uint32_t step = 0; step < 64; ++step) {
            for (std::uint32_t dt = 1; dt < 64; ++dt) {
                const double mean = landmarks * per_bin_step * dt_chances[dt];
                const auto n = std::poisson_distribution<std::uint32_t>(mean)(random);
                postings.clear();
                for (std::uint32_t i = 0; i < n; ++i) {
                    const std::uint64_t at = random() % all_frames;
                    const auto t = static_cast<std::uint32_t>(std::upper_bound(starts.begin(), starts.end(), at) - starts.begin());
                    postings.push_back({t, static_cast<std::uint32_t>(at - starts[t - 1])});
                }
                std::sort(postings.begin(), postings.end());
                postings.erase(std::unique(postings.begin(), postings.end()), postings.end());
                const std::uint32_t hash = HashOf(bin, step, dt);
                for (const Posting& p : postings) {
                    if (!queried[p.track])
                        continue;
                    for (Query& q : truth) {
                        if (p.track == q.track && p.frame >= q.start_frame && p.frame < q.start_frame + kQueryFrames)
                            q.landmarks.push_back({hash, p.frame - q.start_frame});
                    }
                }
                if (loader && !postings.empty())
                    loader->AddPostings(hash, postings);
            }
        }
    }
    if (loader)
        loader->Finish();

    // A recording keeps some of the track's landmarks and adds as many
    // again of its own.
    HashDraw noise(99);
    for (Query& q : truth) {
        std::vector<Landmark> query;
        std::bernoulli_distribution kept(kQueryKept);
        for (const Landmark& l : q.landmarks) {
            if (kept(noise.Random()))
                query.push_back(l);
        }
        const std::size_t own = q.landmarks.size() - query.size();
        for (std::size_t i = 0; i < own; ++i)
            query.push_back({noise(), static_cast<std::uint32_t>(noise.Random()() % kQueryFrames)});
        std::sort(query.begin(), query.end(), [](const Landmark& a, const Landmark& b) { return a.frame < b.frame; });
        catalogue.queries.push_back({q.track, q.start_frame, std::move(query)});
    }
    return catalogue;
}

const Catalogue& LookupCatalogue(bool big_endian)
{
    // About 20 M postings.
    if (big_endian) {
        static const Catalogue bytes = BuildCatalogue("lookup-600-big-endian", 600, true);
        return bytes;
    }
    static const Catalogue integers = BuildCatalogue("lookup-600-integers", 600, false);
    return integers;
}

// 600 distinct hashes of a query, drawn as landmarks are.
void BM_Lookup600(benchmark::State& state)
{
    const bool big_endian = state.range(0) != 0;
    const Catalogue& catalogue = LookupCatalogue(big_endian);
    const auto store = OpenLmdbStore(catalogue.folder, OpenMode::ReadOnly);
    HashDraw draw(5);
    std::vector<std::vector<std::uint32_t>> sets(64);
    for (auto& set : sets) {
        while (set.size() < 600) {
            set.push_back(draw());
            std::sort(set.begin(), set.end());
            set.erase(std::unique(set.begin(), set.end()), set.end());
        }
    }
    std::uint64_t postings = 0;
    std::size_t next = 0;
    for (auto _ : state) {
        store->Lookup(sets[next++ % sets.size()], [&](std::uint32_t, std::span<const Posting> found) {
            postings += found.size();
            benchmark::DoNotOptimize(found.data());
        });
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * 600);
    state.counters["postings_per_lookup"] = static_cast<double>(postings) / static_cast<double>(state.iterations());
    state.counters["catalogue_postings"] = static_cast<double>(store->Totals().postings);
    state.SetLabel(big_endian ? "big-endian" : "integers");
}
BENCHMARK(BM_Lookup600)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// A whole match of a 10 s query: lookup, votes, decision. Timed one by
// one for the percentiles.
void BM_Match10s(benchmark::State& state)
{
    const std::uint32_t tracks = EnvNumber("VXT_BENCH_TRACKS", 1000);
    static const Catalogue catalogue = BuildCatalogue("match-" + std::to_string(tracks), tracks, false);
    const auto store = OpenLmdbStore(catalogue.folder, OpenMode::ReadOnly);
    for (const Query& q : catalogue.queries) {
        const MatchResult result = Match(*store, q.landmarks);
        if (result.verdict != Verdict::Match || result.track != q.track ||
            result.offset_frames != static_cast<std::int64_t>(q.start_frame))
            throw std::runtime_error("a planted query was not found");
    }
    std::vector<double> ms;
    std::size_t next = 0;
    for (auto _ : state) {
        const Query& q = catalogue.queries[next++ % catalogue.queries.size()];
        const auto begin = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(Match(*store, q.landmarks));
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count());
    }
    std::sort(ms.begin(), ms.end());
    const StoreTotals totals = store->Totals();
    state.counters["p50_ms"] = ms[ms.size() / 2];
    state.counters["p99_ms"] = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
    state.counters["tracks"] = static_cast<double>(totals.tracks);
    state.counters["postings"] = static_cast<double>(totals.postings);
    state.counters["bytes_per_posting"] = static_cast<double>(totals.bytes) / static_cast<double>(totals.postings);
    state.counters["query_landmarks"] = static_cast<double>(catalogue.queries[0].landmarks.size());
}
BENCHMARK(BM_Match10s)->Unit(benchmark::kMillisecond)->Iterations(400);

// The lookup alone of a 10 s query's distinct hashes on the same catalogue.
void BM_LookupQuery(benchmark::State& state)
{
    const std::uint32_t tracks = EnvNumber("VXT_BENCH_TRACKS", 1000);
    static const Catalogue catalogue = BuildCatalogue("match-" + std::to_string(tracks), tracks, false);
    const auto store = OpenLmdbStore(catalogue.folder, OpenMode::ReadOnly);
    std::vector<std::vector<std::uint32_t>> sets;
    std::uint64_t votes = 0;
    for (const Query& q : catalogue.queries) {
        std::vector<std::uint32_t> hashes;
        for (const Landmark& l : q.landmarks)
            hashes.push_back(l.hash);
        std::sort(hashes.begin(), hashes.end());
        hashes.erase(std::unique(hashes.begin(), hashes.end()), hashes.end());
        sets.push_back(std::move(hashes));
        for (const Landmark& l : q.landmarks) {
            const std::uint32_t hash = l.hash;
            store->Lookup(std::span(&hash, 1), [&](std::uint32_t, std::span<const Posting> p) { votes += p.size(); });
        }
    }
    std::uint64_t postings = 0;
    std::size_t next = 0;
    for (auto _ : state) {
        store->Lookup(sets[next++ % sets.size()], [&](std::uint32_t, std::span<const Posting> found) {
            postings += found.size();
            benchmark::DoNotOptimize(found.data());
        });
    }
    state.counters["postings_per_lookup"] = static_cast<double>(postings) / static_cast<double>(state.iterations());
    state.counters["votes_per_query"] = static_cast<double>(votes) / static_cast<double>(sets.size());
    state.counters["hashes_per_query"] = static_cast<double>(sets[0].size());
}
BENCHMARK(BM_LookupQuery)->Unit(benchmark::kMillisecond);

// Filling a new store with the same tracks two ways: added one by one
// (one transaction each, as the catalogue command adds them), or loaded in
// hash order. Reports postings a second and bytes on disk per posting.
void BM_Fill(benchmark::State& state)
{
    const bool bulk = state.range(0) != 0;
    const std::uint32_t tracks = EnvNumber("VXT_BENCH_INGEST_TRACKS", 200);
    std::vector<std::vector<Landmark>> landmarks(tracks);
    std::vector<TrackInfo> infos(tracks);
    HashDraw draw(11);
    for (std::uint32_t t = 0; t < tracks; ++t) {
        const auto seconds = 120 + static_cast<std::uint32_t>(draw.Random()() % 181);
        infos[t].content = std::to_string(t + 1);
        infos[t].title = "track " + infos[t].content;
        infos[t].frames = static_cast<std::uint32_t>(seconds * kFramesPerSecond);
        for (std::uint32_t i = 0; i < seconds * kLandmarksPerSecond; ++i)
            landmarks[t].push_back({draw(), static_cast<std::uint32_t>(draw.Random()() % infos[t].frames)});
    }
    const std::string folder = std::string(VXT_BENCH_DATA_DIR) + "/fill";
    std::uint64_t postings = 0;
    double bytes = 0.0;
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(folder);
        state.ResumeTiming();
        if (bulk) {
            // In hash order, as an import would sort them.
            struct Keyed {
                std::uint32_t hash;
                Posting posting;
                auto operator<=>(const Keyed&) const = default;
            };
            std::vector<Keyed> all;
            LmdbLoader loader(folder);
            for (std::uint32_t t = 0; t < tracks; ++t) {
                const std::uint32_t id = loader.AddTrack(infos[t]);
                for (const Landmark& l : landmarks[t])
                    all.push_back({l.hash, {id, l.frame}});
            }
            std::sort(all.begin(), all.end());
            all.erase(std::unique(all.begin(), all.end()), all.end());
            std::vector<Posting> group;
            for (std::size_t i = 0; i < all.size();) {
                group.clear();
                std::size_t j = i;
                for (; j < all.size() && all[j].hash == all[i].hash; ++j)
                    group.push_back(all[j].posting);
                loader.AddPostings(all[i].hash, group);
                i = j;
            }
            loader.Finish();
        } else {
            const auto store = OpenLmdbStore(folder, OpenMode::ReadWrite);
            for (std::uint32_t t = 0; t < tracks; ++t)
                store->Add(infos[t], landmarks[t]);
        }
        state.PauseTiming();
        const auto store = OpenLmdbStore(folder, OpenMode::ReadOnly);
        postings = store->Totals().postings;
        bytes = static_cast<double>(store->Totals().bytes);
        state.ResumeTiming();
    }
    fs::remove_all(folder);
    state.counters["postings_per_s"] =
        benchmark::Counter(static_cast<double>(postings) * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["bytes_per_posting"] = bytes / static_cast<double>(postings);
    state.counters["postings"] = static_cast<double>(postings);
    state.SetLabel(bulk ? "loaded in hash order" : "added one by one");
}
BENCHMARK(BM_Fill)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
