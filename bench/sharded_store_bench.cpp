// A catalogue over three PostgreSQL shards: whole matches of clean 10 s
// synthetic recordings, tallied on the shards (only candidates come back)
// and tallied here from the postings they ship, with the time a match
// takes (median, 99th percentile) and the bytes that cross between the
// process and the servers per match: counted where libpq receives and
// sends them (recv and send are wrapped here; nothing else uses sockets
// meanwhile).
//   scripts/pg-session build/bin/sharded_store_bench [TRACKS] [QUERIES]
// With scripts/pg-session --servers 3 the shards are three servers, else
// three databases of the one server. Their public schemas are emptied first.
#include <dlfcn.h>
#include <sys/socket.h>

#include <pqxx/pqxx>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>

#include "vextune/matcher/Matcher.h"
#include "vextune/matcher/Store.h"

namespace {

using namespace vxt::matcher;

// Tracks of 30 s in 8 ms frames, 165 landmarks a second, over 21-bit
// hashes; recordings of 10 s.
constexpr std::uint32_t kFrames = 3750;
constexpr std::uint32_t kLandmarks = 30 * 165;
constexpr std::uint32_t kHashBits = 21;
constexpr std::uint32_t kRecordingFrames = 1250;

std::vector<Landmark> TrackLandmarks(std::uint32_t seed)
{
    std::mt19937 random(seed);
    std::vector<Landmark> out(kLandmarks);
    for (Landmark& l : out)
        l = {static_cast<std::uint32_t>(random() >> (32 - kHashBits)), static_cast<std::uint32_t>(random() % kFrames)};
    return out;
}

std::vector<std::string> ShardUris()
{
    std::vector<std::string> words;
    std::istringstream in(std::getenv("VXT_PG_URIS") ? std::getenv("VXT_PG_URIS") : "");
    for (std::string word; in >> word;)
        words.push_back(word);
    if (words.size() >= 3) {
        words.resize(3);
        return words;
    }
    words.clear();
    const std::string uri = std::getenv("VXT_PG_URI");
    pqxx::connection connection(uri);
    pqxx::nontransaction tx(connection);
    for (const char* name : {"bench_shard_a", "bench_shard_b", "bench_shard_c"}) {
        if (tx.exec_params("SELECT 1 FROM pg_database WHERE datname = $1", name).empty())
            tx.exec(std::string("CREATE DATABASE ") + name);
        words.push_back(uri.substr(0, uri.find("///") + 3) + name + uri.substr(uri.find('?')));
    }
    return words;
}

// Everything but the index's own tally: its postings are shipped and
// tallied here.
class LocalTally final : public LandmarkIndex {
public:
    explicit LocalTally(const LandmarkIndex& index) : index_(index) {}
    void Lookup(std::span<const std::uint32_t> hashes, const PostingVisitor& visit) const override
    {
        index_.Lookup(hashes, visit);
    }
    LookupLeftOut LookupWithin(std::span<const std::uint32_t> hashes, std::span<const std::uint32_t> weights,
                               const LookupBounds& bounds, const PostingVisitor& visit) const override
    {
        return index_.LookupWithin(hashes, weights, bounds, visit);
    }
    std::uint64_t IndexedFrames() const override { return index_.IndexedFrames(); }
    std::vector<std::vector<Peak>> TrackPeaks(std::span<const PeakWindow> windows) const override
    {
        return index_.TrackPeaks(windows);
    }

private:
    const LandmarkIndex& index_;
};

std::atomic<std::uint64_t> received{0};
std::atomic<std::uint64_t> sent{0};

}  // namespace

// libpq's reads and writes on its sockets, counted on their way to the C
// library's own.
extern "C" ssize_t recv(int socket, void* buffer, std::size_t length, int flags)
{
    using Recv = ssize_t (*)(int, void*, std::size_t, int);
    static const auto real = reinterpret_cast<Recv>(::dlsym(RTLD_NEXT, "recv"));
    const ssize_t n = real(socket, buffer, length, flags);
    if (n > 0)
        received += static_cast<std::uint64_t>(n);
    return n;
}

extern "C" ssize_t send(int socket, const void* buffer, std::size_t length, int flags)
{
    using Send = ssize_t (*)(int, const void*, std::size_t, int);
    static const auto real = reinterpret_cast<Send>(::dlsym(RTLD_NEXT, "send"));
    const ssize_t n = real(socket, buffer, length, flags);
    if (n > 0)
        sent += static_cast<std::uint64_t>(n);
    return n;
}

namespace {

double Percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(p * static_cast<double>(values.size())))];
}

}  // namespace

int main(int argc, char** argv)
{
    if (!std::getenv("VXT_PG_URI")) {
        std::fprintf(stderr, "sharded_store_bench: VXT_PG_URI is not set; run it inside scripts/pg-session\n");
        return 1;
    }
    const std::uint32_t tracks = argc > 1 ? static_cast<std::uint32_t>(std::atoi(argv[1])) : 3000;
    const int queries = argc > 2 ? std::atoi(argv[2]) : 100;
    const std::vector<std::string> uris = ShardUris();
    for (const std::string& uri : uris) {
        pqxx::connection admin(uri);
        pqxx::nontransaction(admin).exec(
            "SET client_min_messages = warning; DROP SCHEMA IF EXISTS public CASCADE; CREATE SCHEMA public");
    }
    auto store = OpenStores(uris, OpenMode::ReadWrite);
    const auto fill_start = std::chrono::steady_clock::now();
    std::vector<std::uint32_t> ids;
    for (std::uint32_t t = 0; t < tracks; ++t) {
        TrackInfo info;
        info.title = "track " + std::to_string(t);
        info.artist = "artist";
        info.source = "/music/" + std::to_string(t) + ".flac";
        info.content = "content-" + std::to_string(t);
        info.frames = kFrames;
        ids.push_back(store->Add(info, TrackLandmarks(t)).id);
    }
    const std::chrono::duration<double> fill = std::chrono::steady_clock::now() - fill_start;
    for (const std::string& uri : uris) {
        pqxx::connection admin(uri);
        pqxx::nontransaction vacuum(admin);
        vacuum.exec("VACUUM ANALYZE postings");
        vacuum.exec("VACUUM ANALYZE tracks");
    }
    const StoreTotals totals = store->Totals();
    std::printf("catalogue: %llu tracks, %llu postings over %zu shards, filled in %.1f s\n",
                static_cast<unsigned long long>(totals.tracks), static_cast<unsigned long long>(totals.postings),
                uris.size(), fill.count());

    // Clean recordings: 10 s of a track's landmarks from a random frame,
    // re-timed from 0.
    std::mt19937 random(11);
    struct Recording {
        std::uint32_t track;
        std::int64_t offset;
        std::vector<Landmark> landmarks;
    };
    std::vector<Recording> recordings;
    for (int q = 0; q < queries; ++q) {
        const std::uint32_t t = static_cast<std::uint32_t>(random() % tracks);
        const std::uint32_t from = static_cast<std::uint32_t>(random() % (kFrames - kRecordingFrames));
        Recording r{ids[t], from, {}};
        for (const Landmark& l : TrackLandmarks(t)) {
            if (l.frame >= from && l.frame < from + kRecordingFrames)
                r.landmarks.push_back({l.hash, l.frame - from});
        }
        std::sort(r.landmarks.begin(), r.landmarks.end(),
                  [](const Landmark& a, const Landmark& b) { return a.frame < b.frame; });
        recordings.push_back(std::move(r));
    }

    const LocalTally local(*store);
    const struct {
        const char* name;
        const LandmarkIndex* index;
    } ways[] = {{"tallied on the shards", store.get()}, {"postings shipped, tallied here", &local}};
    std::printf("%-32s %10s %10s %14s %14s %8s\n", "", "p50 ms", "p99 ms", "bytes in", "bytes out", "found");
    for (const auto& way : ways) {
        // One round first: connections made, caches warm.
        for (int q = 0; q < std::min(queries, 5); ++q)
            Match(*way.index, recordings[static_cast<std::size_t>(q)].landmarks);
        std::vector<double> ms;
        std::uint64_t in = 0;
        std::uint64_t out = 0;
        int found = 0;
        for (const Recording& r : recordings) {
            const std::uint64_t received_before = received;
            const std::uint64_t sent_before = sent;
            const auto start = std::chrono::steady_clock::now();
            const MatchResult result = Match(*way.index, r.landmarks);
            const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
            ms.push_back(took.count());
            in += received - received_before;
            out += sent - sent_before;
            found += result.verdict == Verdict::Match && result.track == r.track && result.offset_frames == r.offset;
        }
        std::printf("%-32s %10.1f %10.1f %14.0f %14.0f %5d/%d\n", way.name, Percentile(ms, 0.5), Percentile(ms, 0.99),
                    static_cast<double>(in) / queries, static_cast<double>(out) / queries, found, queries);
    }
    return 0;
}
