// The LMDB store on synthetic catalogues: lookups, whole matches and the
// cost of filling it.
//
// Tracks are made of synthetic peaks drawn uniformly (uniform_tracks.h).
// Their landmarks come from MakeLandmarks itself, so hashes, target zone
// and fan-out are the real ones; they make about 106 landmarks a second
// of audio, as real music does. Tracks last 2 to 5 minutes. A recording of a track keeps some of
// its peaks, moves some a frame, and adds peaks of its own; a 10 s one makes
// about 1000 landmarks (about 3500 in a noisy room), and is looked up with
// a frame of tolerance on each time step, as the service does.
//
// Catalogues are built once by the bulk loader into folders under the build
// tree and kept for later runs; delete bench-data/ there when done.
//
//   store_bench --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
//
// Knobs (environment): VXT_BENCH_TRACKS, the tracks of the catalogue the
// whole matches run on (default 1000; 10000 is about 584 hours, 224 M
// postings, 3.1 GB on disk, and 2 GB of memory to build); VXT_BENCH_INGEST_TRACKS,
// the tracks of the filling benchmarks (default 200).
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
#include "PackedPostings.h"
#include "uniform_tracks.h"
#include "vextune/matcher/Matcher.h"

namespace {

using namespace vxt::matcher;
using namespace vxt::bench;
namespace fs = std::filesystem;

constexpr std::uint32_t kQueryFrames = 1250;  // 10 s

// What a recording does to a track's peaks.
struct Recording {
    double kept;          // of the track's peaks, the share heard
    double moved;         // of those, the share a frame early or late
    double own_per_band;  // peaks of its own, a period's mean per band
};
constexpr Recording kClean{0.7, 0.3, 5.0};   // about 1000 landmarks in 10 s
constexpr Recording kNoisy{0.5, 0.5, 40.0};  // about 3500

std::uint32_t EnvNumber(const char* name, std::uint32_t fallback)
{
    const char* text = std::getenv(name);
    return text != nullptr ? static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10)) : fallback;
}

// A track's peaks, the same every time for the same track.
std::vector<Peak> TrackPeaks(std::uint32_t track, std::uint32_t frames)
{
    return UniformTrackPeaks(track, frames);
}

// A track's landmarks as stored: in (hash, frame) order, a landmark repeated
// at one frame once.
std::vector<Landmark> TrackLandmarks(std::uint32_t track, std::uint32_t frames)
{
    std::vector<Landmark> landmarks = MakeLandmarks(TrackPeaks(track, frames));
    std::sort(landmarks.begin(), landmarks.end(), [](const Landmark& a, const Landmark& b) {
        return a.hash != b.hash ? a.hash < b.hash : a.frame < b.frame;
    });
    landmarks.erase(std::unique(landmarks.begin(), landmarks.end()), landmarks.end());
    return landmarks;
}

struct Query {
    std::uint32_t track;
    std::uint32_t start_frame;
    std::vector<Peak> peaks;          // heard, in time order
    std::vector<Landmark> exact;      // as made
    std::vector<Landmark> landmarks;  // with the tolerance variants
};

// A recording of 10 s of a track from `start`: its peaks, its landmarks
// exact and with their tolerance variants: what the service hands to
// Match.
void Record(Query& query, std::uint32_t frames, const Recording& how, std::mt19937_64& random)
{
    const std::uint32_t track = query.track;
    const std::uint32_t start = query.start_frame;
    std::vector<Peak>& peaks = query.peaks;
    std::bernoulli_distribution kept(how.kept);
    std::bernoulli_distribution moved(how.moved);
    for (const Peak& p : TrackPeaks(track, frames)) {
        if (p.frame < start || p.frame >= start + kQueryFrames || !kept(random))
            continue;
        Peak heard{p.frame - start, p.frequency};
        if (moved(random)) {
            if (random() % 2 == 0)
                heard.frame += 1;
            else if (heard.frame > 0)
                heard.frame -= 1;
        }
        peaks.push_back(heard);
    }
    DrawPeaks(random, kQueryFrames, how.own_per_band, peaks);
    SortPeaks(peaks);
    query.exact = MakeLandmarks(peaks);
    query.landmarks = QueryLandmarks(peaks, QueryTolerance{});
}

// What the service does with a recording: exact pairs first, the tolerant
// lookup and the peak check only when they fall short.
// VXT_BENCH_MOST_VOTES and VXT_BENCH_MOST_POSTINGS bound a query's work
// (see MatchOptions; unset: the defaults).
MatchOptions BenchMatchOptions()
{
    MatchOptions options;
    options.most_votes = EnvNumber("VXT_BENCH_MOST_VOTES", static_cast<std::uint32_t>(options.most_votes));
    options.most_postings = static_cast<std::uint32_t>(EnvNumber("VXT_BENCH_MOST_POSTINGS", options.most_postings));
    return options;
}

MatchResult StagedMatch(const Store& store, const Query& q)
{
    static const MatchOptions options = BenchMatchOptions();
    MatchResult result = Match(store, q.exact, options);
    if (result.verdict != Verdict::Match)
        result = Match(store, q.landmarks, q.peaks, options);
    return result;
}

struct Catalogue {
    std::string folder;
    std::vector<std::uint32_t> lengths;  // frames, by track id - 1
    std::vector<Query> clean;            // planted: 10 s of tracks of the catalogue, recorded
    std::vector<Query> noisy;
};

// Builds (once) a catalogue of the given tracks by the bulk loader, the
// postings of all tracks gathered by hash in two passes over them (counting,
// then placing), and draws queries from its tracks.
Catalogue BuildCatalogue(const std::string& name, std::uint32_t tracks)
{
    Catalogue catalogue;
    catalogue.folder = std::string(VXT_BENCH_DATA_DIR) + "/" + name;

    std::mt19937_64 random(tracks);
    for (std::uint32_t t = 0; t < tracks; ++t)
        catalogue.lengths.push_back(static_cast<std::uint32_t>((120 + random() % 181) * kFramesPerSecond));

    bool fresh = false;
    try {
        OpenLmdbStore(catalogue.folder, OpenMode::ReadOnly);
    } catch (const StoreError&) {
        fresh = true;
    }
    if (fresh) {
        fs::remove_all(catalogue.folder);
        std::fprintf(stderr, "store_bench: building %s (%u tracks)...\n", catalogue.folder.c_str(), tracks);
        constexpr std::size_t kHashes = std::size_t{1} << 22;
        std::vector<std::uint64_t> start(kHashes + 1, 0);
        for (std::uint32_t t = 0; t < tracks; ++t) {
            for (const Landmark& l : TrackLandmarks(t + 1, catalogue.lengths[t]))
                ++start[l.hash + 1];
        }
        for (std::size_t h = 0; h < kHashes; ++h)
            start[h + 1] += start[h];
        std::vector<Posting> postings(start[kHashes]);
        std::vector<std::uint64_t> at(start.begin(), start.end() - 1);
        for (std::uint32_t t = 0; t < tracks; ++t) {
            for (const Landmark& l : TrackLandmarks(t + 1, catalogue.lengths[t]))
                postings[at[l.hash]++] = {t + 1, l.frame};  // tracks in order: each hash's postings ascend
        }

        LmdbLoader loader(catalogue.folder);
        for (std::uint32_t t = 0; t < tracks; ++t) {
            TrackInfo info;
            info.title = "track " + std::to_string(t + 1);
            info.artist = "synthetic";
            info.source = "/music/" + info.title + ".ogg";
            info.content = std::to_string(t + 1);
            info.frames = catalogue.lengths[t];
            loader.AddTrack(info, TrackPeaks(t + 1, catalogue.lengths[t]));
        }
        for (std::size_t h = 0; h < kHashes; ++h) {
            if (start[h + 1] > start[h])
                loader.AddPostings(static_cast<std::uint32_t>(h),
                                   std::span(postings.data() + start[h], start[h + 1] - start[h]));
        }
        loader.Finish();
    }

    constexpr std::uint32_t kQueries = 100;
    std::mt19937_64 noise(99);
    for (std::uint32_t q = 0; q < kQueries; ++q) {
        const std::uint32_t track = 1 + static_cast<std::uint32_t>(random() % tracks);
        const std::uint32_t frames = catalogue.lengths[track - 1];
        const auto from = static_cast<std::uint32_t>(random() % (frames - kQueryFrames));
        for (auto [how, into] : {std::pair{kClean, &catalogue.clean}, std::pair{kNoisy, &catalogue.noisy}}) {
            Query query{track, from, {}, {}, {}};
            Record(query, frames, how, noise);
            into->push_back(std::move(query));
        }
    }
    return catalogue;
}

const Catalogue& LookupCatalogue()
{
    // About 13 M postings.
    static const Catalogue catalogue = BuildCatalogue("lookup-600", 600);
    return catalogue;
}

const Catalogue& MatchCatalogue();

// Times the lookup of one set of hashes an iteration, round the sets;
// returns the postings they brought.
std::uint64_t TimeLookups(benchmark::State& state, const Store& store,
                          const std::vector<std::vector<std::uint32_t>>& sets)
{
    std::uint64_t postings = 0;
    std::size_t next = 0;
    for (auto _ : state) {
        store.Lookup(sets[next++ % sets.size()], [&](std::uint32_t, std::span<const Posting> found) {
            postings += found.size();
            benchmark::DoNotOptimize(found.data());
        });
    }
    return postings;
}

// 600 distinct hashes of a recording, drawn as landmarks are, on 600 tracks
// or on the match catalogue.
void BM_Lookup600(benchmark::State& state)
{
    const bool match_catalogue = state.range(0) == 1;
    const Catalogue& catalogue = match_catalogue ? MatchCatalogue() : LookupCatalogue();
    const auto store = OpenLmdbStore(catalogue.folder, OpenMode::ReadOnly);
    std::vector<std::vector<std::uint32_t>> sets;
    for (const Query& q : catalogue.clean) {
        std::vector<std::uint32_t> set;
        for (const Landmark& l : q.landmarks)
            set.push_back(l.hash);
        std::shuffle(set.begin(), set.end(), std::mt19937_64(sets.size()));
        std::sort(set.begin(), set.begin() + 600);
        set.erase(std::unique(set.begin(), set.begin() + 600), set.end());
        if (set.size() == 600)
            sets.push_back(std::move(set));
    }
    const std::uint64_t postings = TimeLookups(state, *store, sets);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * 600);
    state.counters["postings_per_lookup"] = static_cast<double>(postings) / static_cast<double>(state.iterations());
    state.counters["catalogue_postings"] = static_cast<double>(store->Totals().postings);
    state.SetLabel(match_catalogue ? "match catalogue" : "600 tracks");
}
BENCHMARK(BM_Lookup600)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

const Catalogue& MatchCatalogue()
{
    const std::uint32_t tracks = EnvNumber("VXT_BENCH_TRACKS", 1000);
    static const Catalogue catalogue = BuildCatalogue("match-" + std::to_string(tracks), tracks);
    return catalogue;
}

// A whole match of a 10 s recording as the service does it: its exact
// landmarks, then, if they fall short, with their tolerance variants;
// lookup, votes, decision each time. Timed one
// by one for the percentiles. The clean recordings must all be found; of the
// noisy ones the share found is reported.
void BM_Match10s(benchmark::State& state)
{
    const bool noisy = state.range(0) != 0;
    const Catalogue& catalogue = MatchCatalogue();
    const std::vector<Query>& queries = noisy ? catalogue.noisy : catalogue.clean;
    const auto store = OpenLmdbStore(catalogue.folder, OpenMode::ReadOnly);
    std::size_t found = 0;
    for (const Query& q : queries) {
        const MatchResult result = StagedMatch(*store, q);
        if (result.verdict == Verdict::Match && result.track == q.track &&
            std::abs(result.offset_frames - static_cast<std::int64_t>(q.start_frame)) <= 1)
            ++found;
        else if (result.verdict == Verdict::Match || !noisy)
            throw std::runtime_error("a recording was matched wrongly or not at all");
    }
    std::vector<double> ms;
    std::size_t next = 0;
    for (auto _ : state) {
        const Query& q = queries[next++ % queries.size()];
        const auto begin = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(StagedMatch(*store, q));
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count());
    }
    std::sort(ms.begin(), ms.end());
    double made = 0.0;
    double looked_up = 0.0;
    for (const Query& q : queries) {
        made += static_cast<double>(q.exact.size());
        looked_up += static_cast<double>(q.landmarks.size());
    }
    const StoreTotals totals = store->Totals();
    const double hours = static_cast<double>(totals.frames) / kFramesPerSecond / 3600.0;
    state.counters["p50_ms"] = ms[ms.size() / 2];
    state.counters["p99_ms"] = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
    state.counters["tracks"] = static_cast<double>(totals.tracks);
    state.counters["hours"] = hours;
    state.counters["postings"] = static_cast<double>(totals.postings);
    state.counters["bytes_per_posting"] = static_cast<double>(totals.bytes) / static_cast<double>(totals.postings);
    state.counters["MB_per_hour"] = static_cast<double>(totals.bytes) / hours / 1e6;
    state.counters["query_landmarks"] = made / static_cast<double>(queries.size());
    state.counters["looked_up"] = looked_up / static_cast<double>(queries.size());
    state.counters["found"] = static_cast<double>(found) / static_cast<double>(queries.size());
    state.SetLabel(noisy ? "noisy" : "clean");
}
BENCHMARK(BM_Match10s)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(500);

// The lookup alone of a 10 s recording's distinct hashes (with the
// tolerance variants) on the same catalogue.
void BM_LookupQuery(benchmark::State& state)
{
    const bool noisy = state.range(0) != 0;
    const Catalogue& catalogue = MatchCatalogue();
    const std::vector<Query>& queries = noisy ? catalogue.noisy : catalogue.clean;
    const auto store = OpenLmdbStore(catalogue.folder, OpenMode::ReadOnly);
    std::vector<std::vector<std::uint32_t>> sets;
    std::uint64_t votes = 0;
    double hashes_per_query = 0.0;
    for (const Query& q : queries) {
        std::vector<std::uint32_t> hashes;
        for (const Landmark& l : q.landmarks)
            hashes.push_back(l.hash);
        std::sort(hashes.begin(), hashes.end());
        hashes.erase(std::unique(hashes.begin(), hashes.end()), hashes.end());
        hashes_per_query += static_cast<double>(hashes.size());
        sets.push_back(std::move(hashes));
        for (const Landmark& l : q.landmarks) {
            const std::uint32_t hash = l.hash;
            store->Lookup(std::span(&hash, 1), [&](std::uint32_t, std::span<const Posting> p) { votes += p.size(); });
        }
    }
    const std::uint64_t postings = TimeLookups(state, *store, sets);
    state.counters["postings_per_lookup"] = static_cast<double>(postings) / static_cast<double>(state.iterations());
    state.counters["votes_per_query"] = static_cast<double>(votes) / static_cast<double>(sets.size());
    state.counters["hashes_per_query"] = hashes_per_query / static_cast<double>(sets.size());
    state.SetLabel(noisy ? "noisy" : "clean");
}
BENCHMARK(BM_LookupQuery)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The first lookup of a store opened afresh, which reads every hash's
// count into memory (the counts_in_memory table), or weighs its hashes in
// the counts database (Arg 0); the table's hashes and bytes are reported.
void BM_FirstLookup(benchmark::State& state)
{
    const bool in_memory = state.range(0) != 0;
    const Catalogue& catalogue = MatchCatalogue();
    std::vector<std::uint32_t> hashes;
    for (const Landmark& l : catalogue.clean.front().exact)
        hashes.push_back(l.hash);
    std::sort(hashes.begin(), hashes.end());
    hashes.erase(std::unique(hashes.begin(), hashes.end()), hashes.end());
    std::uint64_t counted = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto store = OpenLmdbStore(catalogue.folder, OpenMode::ReadOnly, {.counts_in_memory = in_memory});
        state.ResumeTiming();
        for (const std::uint64_t count : store->CountPostings(hashes))
            counted += count;
        state.PauseTiming();
        store.reset();
        state.ResumeTiming();
    }
    benchmark::DoNotOptimize(counted);
    state.counters["hashes"] = static_cast<double>(hashes.size());
    state.SetLabel(in_memory ? "counts read into memory" : "counts weighed in the database");
}
BENCHMARK(BM_FirstLookup)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(5);

// Decoding packed blocks of a catalogue's make (a full block about 170
// tracks a step, frames below 2^15), per posting.
void BM_DecodeBlock(benchmark::State& state)
{
    std::mt19937_64 random(5);
    std::vector<std::pair<Posting, std::string>> blocks;
    std::size_t postings = 0;
    for (int b = 0; b < 1000; ++b) {
        std::vector<Posting> block;
        std::uint32_t track = 1 + static_cast<std::uint32_t>(random() % 100);
        const std::size_t n = b % 4 == 0 ? 1 + random() % kBlockPostings : kBlockPostings;
        while (block.size() < n) {
            track += 1 + static_cast<std::uint32_t>(random() % 340);
            block.push_back({track, static_cast<std::uint32_t>(random() % 30000)});
        }
        std::string stored;
        EncodeBlock(block, stored);
        blocks.emplace_back(block.front(), std::move(stored));
        postings += n;
    }
    std::vector<Posting> out;
    out.reserve(postings);
    for (auto _ : state) {
        out.clear();
        for (const auto& [first, stored] : blocks) {
            if (!DecodeBlock(first, stored, out))
                throw std::runtime_error("a block did not decode");
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * postings));
}
BENCHMARK(BM_DecodeBlock)->Unit(benchmark::kMicrosecond);

// Filling a new store with the same tracks two ways: added one by one
// (one transaction each, as the catalogue command adds them), or loaded in
// hash order. Reports postings a second and bytes on disk per posting.
void BM_Fill(benchmark::State& state)
{
    const bool bulk = state.range(0) != 0;
    const std::uint32_t tracks = EnvNumber("VXT_BENCH_INGEST_TRACKS", 200);
    std::vector<std::vector<Landmark>> landmarks(tracks);
    std::vector<std::vector<Peak>> peaks(tracks);
    std::vector<TrackInfo> infos(tracks);
    std::mt19937_64 random(11);
    for (std::uint32_t t = 0; t < tracks; ++t) {
        const auto seconds = 120 + static_cast<std::uint32_t>(random() % 181);
        infos[t].content = std::to_string(t + 1);
        infos[t].title = "track " + infos[t].content;
        infos[t].frames = static_cast<std::uint32_t>(seconds * kFramesPerSecond);
        peaks[t] = TrackPeaks(1000000 + t, infos[t].frames);
        landmarks[t] = MakeLandmarks(peaks[t]);
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
                const std::uint32_t id = loader.AddTrack(infos[t], peaks[t]);
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
                store->Add(infos[t], landmarks[t], peaks[t]);
        }
        state.PauseTiming();
        const auto store = OpenLmdbStore(folder, OpenMode::ReadOnly);
        postings = store->Totals().postings;
        bytes = static_cast<double>(store->Totals().bytes);
        state.ResumeTiming();
    }
    fs::remove_all(folder);
    state.counters["postings_per_s"] = benchmark::Counter(
        static_cast<double>(postings) * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["bytes_per_posting"] = bytes / static_cast<double>(postings);
    state.counters["postings"] = static_cast<double>(postings);
    state.SetLabel(bulk ? "loaded in hash order" : "added one by one");
}
BENCHMARK(BM_Fill)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
