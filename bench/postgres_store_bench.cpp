// The PostgreSQL store on a synthetic catalogue of a few million postings:
// adding tracks (postings per second through COPY), looking up a query's
// 600 hashes, removing a track, and the bytes a posting takes on disk. Runs
// against the database named by VXT_PG_URI, whose public schema it empties
// first:
//   scripts/pg-session build/bin/postgres_store_bench
#include <benchmark/benchmark.h>
#include <pqxx/pqxx>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "vextune/matcher/Store.h"

namespace {

using namespace vxt::matcher;

// Tracks of three minutes in 8 ms frames, 165 landmarks a second, over
// 21-bit hashes.
constexpr std::uint32_t kFrames = 22500;
constexpr std::uint32_t kLandmarks = 180 * 165;
constexpr std::uint32_t kHashBits = 21;
constexpr std::uint32_t kCatalogueTracks = 120;  // 3.6 million postings
constexpr std::size_t kQueryHashes = 600;

std::string Uri()
{
    const char* uri = std::getenv("VXT_PG_URI");
    return uri ? uri : "";
}

std::vector<Landmark> TrackLandmarks(std::uint32_t seed)
{
    std::mt19937 random(seed);
    std::vector<Landmark> out(kLandmarks);
    for (Landmark& l : out)
        l = {static_cast<std::uint32_t>(random() >> (32 - kHashBits)), static_cast<std::uint32_t>(random() % kFrames)};
    return out;
}

TrackInfo Info(std::uint32_t n)
{
    TrackInfo info;
    info.title = "track " + std::to_string(n);
    info.artist = "artist";
    info.source = "/music/" + std::to_string(n) + ".flac";
    info.content = "content-" + std::to_string(n);
    info.frames = kFrames;
    return info;
}

struct Catalogue {
    std::unique_ptr<Store> store;
    std::uint32_t next = 0;  // the next synthetic track
    double fill_postings_per_second = 0;
};

// The catalogue the benchmarks share, filled on first use.
Catalogue& Shared()
{
    static Catalogue catalogue = [] {
        Catalogue c;
        {
            pqxx::connection admin(Uri());
            pqxx::nontransaction(admin).exec(
                "SET client_min_messages = warning; DROP SCHEMA IF EXISTS public CASCADE; CREATE SCHEMA public");
        }
        c.store = OpenStore(Uri(), OpenMode::ReadWrite);
        std::uint64_t postings = 0;
        const auto start = std::chrono::steady_clock::now();
        for (; c.next < kCatalogueTracks; ++c.next) {
            const std::vector<Landmark> landmarks = TrackLandmarks(c.next);
            c.store->Add(Info(c.next), landmarks);
            postings += landmarks.size();
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        c.fill_postings_per_second = static_cast<double>(postings) / took.count();
        // What autovacuum does in time: statistics, and the visibility map
        // that lets lookups read the index alone.
        pqxx::connection admin(Uri());
        pqxx::nontransaction vacuum(admin);
        vacuum.exec("VACUUM ANALYZE postings");
        vacuum.exec("VACUUM ANALYZE tracks");
        return c;
    }();
    return catalogue;
}

// Adds tracks to the filled catalogue, one transaction each.
void BM_AddTrack(benchmark::State& state)
{
    Catalogue& c = Shared();
    std::uint64_t postings = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const std::uint32_t n = c.next++;
        const std::vector<Landmark> landmarks = TrackLandmarks(n);
        state.ResumeTiming();
        c.store->Add(Info(n), landmarks);
        postings += landmarks.size();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(postings));
    state.counters["fill_postings_per_s"] = c.fill_postings_per_second;
}
BENCHMARK(BM_AddTrack)->Iterations(20)->Unit(benchmark::kMillisecond)->UseRealTime();

// One query's 600 hashes (ascending, distinct), in one round trip.
void BM_Lookup(benchmark::State& state)
{
    Catalogue& c = Shared();
    std::mt19937 random(1000 + static_cast<std::uint32_t>(state.thread_index()));
    std::vector<std::vector<std::uint32_t>> queries(64);
    for (auto& q : queries) {
        while (q.size() < kQueryHashes)
            q.push_back(static_cast<std::uint32_t>(random() >> (32 - kHashBits)));
        std::sort(q.begin(), q.end());
        q.erase(std::unique(q.begin(), q.end()), q.end());
    }
    std::size_t i = 0;
    std::uint64_t postings = 0;
    for (auto _ : state) {
        c.store->Lookup(queries[i++ % queries.size()],
                        [&](std::uint32_t, std::span<const Posting> p) { postings += p.size(); });
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(postings));
    state.counters["postings_per_query"] =
        benchmark::Counter(static_cast<double>(postings), benchmark::Counter::kAvgIterations);
    if (state.thread_index() == 0) {
        const StoreTotals totals = c.store->Totals();
        state.counters["catalogue_postings"] = static_cast<double>(totals.postings);
        state.counters["bytes_per_posting"] = static_cast<double>(totals.bytes) / static_cast<double>(totals.postings);
    }
}
BENCHMARK(BM_Lookup)->Unit(benchmark::kMicrosecond)->UseRealTime()->Threads(1)->Threads(2)->Threads(4);

// Removes the tracks BM_AddTrack added, the newest first.
void BM_RemoveTrack(benchmark::State& state)
{
    Catalogue& c = Shared();
    for (auto _ : state) {
        const std::vector<TrackInfo> tracks = c.store->Tracks();
        state.PauseTiming();
        const std::uint32_t id = tracks.back().id;
        state.ResumeTiming();
        c.store->Remove(id);
    }
}
BENCHMARK(BM_RemoveTrack)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv)
{
    if (Uri().empty()) {
        std::fprintf(stderr, "postgres_store_bench: VXT_PG_URI is not set; run it inside scripts/pg-session\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
