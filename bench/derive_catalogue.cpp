// Large catalogues made of real music's peaks: derived tracks
// (derived_tracks.h) bulk-loaded into LMDB, and the statistics that show
// how their index compares with the real catalogue's and the uniform
// generator's.
//
//   derive_catalogue load REAL_DB OUT_DIR --tracks N [--seed S] [--with-real]
//                         [--lattice] [--threads T] [--pass-postings P]
//   derive_catalogue stats REAL_DB LIST [--tracks N,N,...] [--seed S] [--lattice]
//                          [--threads T]
//
// load: the real catalogue's tracks (with --with-real, first, as ids 1..R)
// and N tracks derived from them, into a new LMDB store at OUT_DIR, with
// their peaks. The postings go in hash order in passes over ranges of
// hashes holding at most P postings (default 300 M, 2.4 GB of memory),
// each pass deriving every track again (the derivation is deterministic
// and cheaper than keeping 20 GB of postings); a first pass declares the
// tracks and counts the postings of each hash. Progress on stderr; the
// time, the postings and the bytes on disk at the end.
//
// stats: for the real catalogue (its tracks' landmarks made again from
// their stored peaks, checked against the postings it holds), derived
// catalogues and uniform ones (uniform_tracks.h) of as many tracks and of
// each N: the postings of a hash (over hashes that have any), the share of
// postings in the fullest 1 % and 0.1 % of hashes, the mean postings of a
// hash per 1000 tracks (all/k), and the effective cost: the mean postings
// of the hash of a recording's landmark (exact pairs, and the tolerant
// pass's landmarks), over the mean of all hashes, so that catalogues of
// any size and track length compare (times all/k: the cost per 1000
// tracks). The
// recordings are those of LIST (as match_tune reads it) cut from tracks
// held out of the catalogue, each query's last attempt: a recording of a
// catalogue track would find its own track's postings too.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "LmdbStore.h"
#include "derived_tracks.h"
#include "uniform_tracks.h"
#include "vextune/matcher/Landmarks.h"
#include "vextune/matcher/Store.h"
#include "vextune/signature.h"

namespace {

using namespace vxt::matcher;
using namespace vxt::bench;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kHashes = kIndexHashes;

double Seconds(Clock::time_point since)
{
    return std::chrono::duration<double>(Clock::now() - since).count();
}

struct Real {
    std::vector<TrackInfo> infos;
    std::vector<SourceTrack> tracks;
    std::vector<std::uint32_t> frames;
    std::uint64_t postings = 0;  // as the store holds them
};

Real ReadReal(const std::string& db)
{
    const auto store = OpenStore(db, OpenMode::ReadOnly);
    Real real;
    std::vector<PeakWindow> windows;
    for (const TrackInfo& t : store->Tracks()) {
        real.infos.push_back(t);
        windows.push_back({t.id, 0, std::numeric_limits<std::uint32_t>::max()});
    }
    std::vector<std::vector<Peak>> peaks = store->TrackPeaks(windows);
    for (std::size_t i = 0; i < peaks.size(); ++i) {
        if (peaks[i].empty())
            throw std::runtime_error(db + ": track " + std::to_string(real.infos[i].id) +
                                     " has no peaks stored to derive from");
        real.tracks.push_back({real.infos[i].frames, std::move(peaks[i])});
        real.frames.push_back(real.infos[i].frames);
    }
    if (real.tracks.empty())
        throw std::runtime_error(db + ": no tracks");
    real.postings = store->Totals().postings;
    return real;
}

// The tracks of a catalogue, one after another: the real ones (when
// included), then the derived or uniform ones.
struct Catalogue {
    enum class Kind { Real, Derived, Uniform } kind = Kind::Derived;
    const Real* real = nullptr;
    bool with_real = false;
    std::uint64_t seed = 1;
    std::uint64_t made = 0;  // derived or uniform tracks
    Scheme scheme = Scheme::Semitones;

    std::uint64_t Size() const { return (with_real ? real->tracks.size() : 0) + made; }

    struct Track {
        TrackInfo info;
        std::vector<Peak> peaks;
    };
    Track Make(std::uint64_t t) const
    {
        Track out;
        const std::uint64_t reals = with_real ? real->tracks.size() : 0;
        if (t < reals) {
            out.info = real->infos[t];
            out.peaks = real->tracks[t].peaks;
            return out;
        }
        const std::uint64_t i = t - reals;
        if (kind == Kind::Uniform) {
            const auto id = static_cast<std::uint32_t>(i + 1);
            out.info.frames = UniformTrackFrames(id);
            out.peaks = UniformTrackPeaks(id, out.info.frames);
            out.info.title = "uniform " + std::to_string(id);
            out.info.source = "uniform/" + std::to_string(id);
            return out;
        }
        const Derivation d = Derive(seed, i, real->frames, scheme);
        out.peaks = DerivedPeaks(d, real->tracks[d.source]);
        out.info.frames = d.frames;
        out.info.title = DerivedName(i, d);
        out.info.artist = "derived from " + real->infos[d.source].title;
        out.info.source = "derived/" + out.info.title;
        char content[40];
        std::snprintf(content, sizeof content, "de%016llx%08llx", static_cast<unsigned long long>(seed),
                      static_cast<unsigned long long>(i));
        out.info.content = content;
        return out;
    }
};

// Calls each(t, track, landmarks) for tracks [from, to) in order, their
// landmarks of hashes in [lo, hi), making them on `threads` threads a batch
// at a time.
void ForEachTrack(const Catalogue& c, std::uint64_t from, std::uint64_t to, unsigned threads,
                  const std::function<void(std::uint64_t, Catalogue::Track&, std::vector<Landmark>&)>& each,
                  std::uint64_t lo = 0, std::uint64_t hi = kHashes)
{
    constexpr std::uint64_t kBatch = 128;
    std::vector<Catalogue::Track> tracks(kBatch);
    std::vector<std::vector<Landmark>> landmarks(kBatch);
    for (std::uint64_t begin = from; begin < to; begin += kBatch) {
        const std::uint64_t n = std::min(kBatch, to - begin);
        const auto work = [&](unsigned lane) {
            for (std::uint64_t j = lane; j < n; j += threads) {
                tracks[j] = c.Make(begin + j);
                landmarks[j] = IndexLandmarks(tracks[j].peaks, lo, hi);
            }
        };
        std::vector<std::thread> pool;
        for (unsigned lane = 1; lane < threads; ++lane)
            pool.emplace_back(work, lane);
        work(0);
        for (std::thread& t : pool)
            t.join();
        for (std::uint64_t j = 0; j < n; ++j)
            each(begin + j, tracks[j], landmarks[j]);
    }
}

struct Args {
    std::vector<std::string> positional;
    std::vector<std::uint64_t> tracks;
    std::uint64_t seed = 1;
    bool with_real = false;
    Scheme scheme = Scheme::Semitones;
    unsigned threads = 1;
    std::uint64_t pass_postings = 300'000'000;
};

std::uint64_t Number(const std::string& flag, const char* text)
{
    char* end = nullptr;
    const unsigned long long n = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0')
        throw std::invalid_argument(flag + " wants a number, not \"" + text + "\"");
    return n;
}

Args Parse(int argc, char** argv)
{
    Args a;
    for (int i = 2; i < argc; ++i) {
        const std::string flag = argv[i];
        const auto value = [&]() -> const char* {
            if (i + 1 >= argc)
                throw std::invalid_argument(flag + " wants a value");
            return argv[++i];
        };
        if (flag == "--tracks") {
            std::stringstream list(value());
            for (std::string n; std::getline(list, n, ',');)
                a.tracks.push_back(Number(flag, n.c_str()));
        } else if (flag == "--seed")
            a.seed = Number(flag, value());
        else if (flag == "--with-real")
            a.with_real = true;
        else if (flag == "--lattice")
            a.scheme = Scheme::Lattice;
        else if (flag == "--threads")
            a.threads = static_cast<unsigned>(std::clamp<std::uint64_t>(Number(flag, value()), 1, 64));
        else if (flag == "--pass-postings")
            a.pass_postings = std::max<std::uint64_t>(1, Number(flag, value()));
        else if (flag.starts_with("--"))
            throw std::invalid_argument("unknown option " + flag);
        else
            a.positional.push_back(flag);
    }
    return a;
}

int Load(const Args& a)
{
    if (a.positional.size() != 2 || a.tracks.size() != 1)
        throw std::invalid_argument("load wants REAL_DB OUT_DIR --tracks N");
    const std::string& out = a.positional[1];
    if (fs::exists(out) && !fs::is_empty(out))
        throw std::invalid_argument(out + " is not empty: a catalogue is loaded into a new folder");
    const Real real = ReadReal(a.positional[0]);
    Catalogue c{Catalogue::Kind::Derived, &real, a.with_real, a.seed, a.tracks[0]};
    c.scheme = a.scheme;
    if (c.made > MostDerived(static_cast<std::uint32_t>(real.tracks.size()), a.scheme))
        throw std::invalid_argument(
            std::to_string(real.tracks.size()) + " sources allow at most " +
            std::to_string(MostDerived(static_cast<std::uint32_t>(real.tracks.size()), a.scheme)) + " derived tracks");
    const std::uint64_t total = c.Size();
    const auto start = Clock::now();
    fs::create_directories(out);

    // Declaring the tracks with their peaks, and counting each hash's postings.
    LmdbLoader loader(out);
    std::vector<std::uint64_t> counts(kHashes, 0);
    std::uint64_t frames = 0;
    ForEachTrack(c, 0, total, a.threads, [&](std::uint64_t t, Catalogue::Track& track, std::vector<Landmark>& l) {
        loader.AddTrack(track.info, track.peaks);
        frames += track.info.frames;
        for (const Landmark& x : l)
            ++counts[x.hash];
        if ((t + 1) % 5000 == 0)
            std::fprintf(stderr, "derive_catalogue: declared %llu/%llu tracks (%.0f s)\n",
                         static_cast<unsigned long long>(t + 1), static_cast<unsigned long long>(total),
                         Seconds(start));
    });
    std::uint64_t postings = 0;
    for (std::uint64_t n : counts)
        postings += n;

    // Hash ranges of at most pass_postings postings (a single hash may hold more).
    std::vector<std::size_t> bounds{0};
    for (std::size_t h = 0, in = 0; h < kHashes; ++h) {
        if (in > 0 && in + counts[h] > a.pass_postings) {
            bounds.push_back(h);
            in = 0;
        }
        in += counts[h];
    }
    bounds.push_back(kHashes);
    std::fprintf(stderr, "derive_catalogue: %llu tracks, %.0f hours, %llu postings, in %zu passes (%.0f s)\n",
                 static_cast<unsigned long long>(total), frames / kFramesPerSecond / 3600.0,
                 static_cast<unsigned long long>(postings), bounds.size() - 1, Seconds(start));

    for (std::size_t pass = 0; pass + 1 < bounds.size(); ++pass) {
        const std::size_t lo = bounds[pass], hi = bounds[pass + 1];
        std::vector<std::uint64_t> at(hi - lo + 1, 0);
        for (std::size_t h = lo; h < hi; ++h)
            at[h - lo + 1] = at[h - lo] + counts[h];
        std::vector<Posting> placed(at.back());
        std::vector<std::uint64_t> next(at.begin(), at.end() - 1);
        // Tracks in id order, each one's landmarks in frame order: each
        // hash's postings come out ascending.
        ForEachTrack(
            c, 0, total, a.threads,
            [&](std::uint64_t t, Catalogue::Track&, std::vector<Landmark>& l) {
                for (const Landmark& x : l)
                    placed[next[x.hash - lo]++] = {static_cast<std::uint32_t>(t + 1), x.frame};
            },
            lo, hi);
        for (std::size_t h = lo; h < hi; ++h) {
            if (at[h - lo + 1] > at[h - lo])
                loader.AddPostings(static_cast<std::uint32_t>(h),
                                   std::span(placed.data() + at[h - lo], at[h - lo + 1] - at[h - lo]));
        }
        std::fprintf(stderr, "derive_catalogue: pass %zu/%zu, hashes %zu..%zu, %llu postings (%.0f s)\n", pass + 1,
                     bounds.size() - 1, lo, hi - 1, static_cast<unsigned long long>(at.back()), Seconds(start));
    }
    loader.Finish();
    const double took = Seconds(start);

    const auto store = OpenStore(out, OpenMode::ReadOnly);
    const StoreTotals totals = store->Totals();
    std::uint64_t disk = 0;
    for (const auto& entry : fs::directory_iterator(out))
        if (entry.is_regular_file())
            disk += entry.path().filename() == "lock.mdb" ? 0 : entry.file_size();
    std::printf("tracks\t%llu\nhours\t%.1f\npostings\t%llu\nseconds\t%.1f\nbytes\t%llu\nbytes_per_posting\t%.2f\n"
                "disk_bytes\t%llu\n",
                static_cast<unsigned long long>(totals.tracks), totals.frames / kFramesPerSecond / 3600.0,
                static_cast<unsigned long long>(totals.postings), took, static_cast<unsigned long long>(totals.bytes),
                static_cast<double>(totals.bytes) / static_cast<double>(std::max<std::uint64_t>(1, totals.postings)),
                static_cast<unsigned long long>(disk));
    return 0;
}

// Recordings' landmarks, by kind.
struct QuerySet {
    std::map<std::string, std::vector<std::vector<Landmark>>> exact, tolerant;
};

QuerySet ReadQueries(const std::string& list_file)
{
    std::ifstream list(list_file);
    if (!list)
        throw std::runtime_error(list_file + ": cannot be read");
    std::map<std::string, std::pair<std::string, std::string>> last;  // query -> (kind, signature)
    for (std::string line; std::getline(list, line);) {
        std::istringstream fields(line);
        std::string file, expected, group, query;
        if (!std::getline(fields, file, '\t') || !std::getline(fields, expected, '\t') ||
            !std::getline(fields, group, '\t') || expected != "negative")
            continue;
        std::getline(fields, query);
        last[query.empty() ? file : query] = {group.substr(0, group.find('-')), file};
    }
    QuerySet q;
    for (const auto& [query, kind_file] : last) {
        std::ifstream in(kind_file.second, std::ios::binary);
        const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
        const vxt::decoded_signature decoded = vxt::read_signature(bytes);
        if (!decoded.ok())
            throw std::runtime_error(kind_file.second + ": " + decoded.error);
        const std::vector<Peak> peaks = SignaturePeaks(decoded);
        q.exact[kind_file.first].push_back(MakeLandmarks(peaks));
        q.tolerant[kind_file.first].push_back(QueryLandmarks(peaks, QueryTolerance{}));
    }
    if (q.exact.empty())
        throw std::runtime_error(list_file + ": no held-out recordings listed");
    return q;
}

// Postings a hash, and the catalogue's size.
struct Counts {
    std::vector<std::uint32_t> of_hash = std::vector<std::uint32_t>(kHashes, 0);
    std::uint64_t tracks = 0, frames = 0, postings = 0;
};

void PrintStats(const char* name, const Counts& c, const QuerySet& q, bool head)
{
    std::vector<std::uint32_t> used;
    for (std::uint32_t n : c.of_hash)
        if (n > 0)
            used.push_back(n);
    std::sort(used.begin(), used.end());
    const auto pct = [&](double p) {
        return used.empty() ? 0u : used[std::min(used.size() - 1, static_cast<std::size_t>(p / 100.0 * used.size()))];
    };
    const auto top_share = [&](double share) {
        const auto n = static_cast<std::size_t>(std::ceil(kHashes * share));
        std::uint64_t held = 0;
        for (std::size_t i = 0; i < std::min(n, used.size()); ++i)
            held += used[used.size() - 1 - i];
        return 100.0 * static_cast<double>(held) / static_cast<double>(std::max<std::uint64_t>(1, c.postings));
    };
    const double per_1000 = 1000.0 / static_cast<double>(c.tracks);
    const auto cost = [&](const std::vector<std::vector<Landmark>>& queries) {
        double sum = 0, n = 0;
        for (const auto& landmarks : queries)
            for (const Landmark& l : landmarks) {
                sum += c.of_hash[l.hash];
                n += 1;
            }
        // Over the mean of all hashes: how much dearer a recording's
        // hashes are than a hash drawn at random (1 if the pairs fell
        // anywhere at random).
        return n > 0 && c.postings > 0 ? sum / n / (static_cast<double>(c.postings) / kHashes) : 0.0;
    };
    if (head) {
        std::printf("%-9s %7s %7s %10s %6s %6s | %7s %4s %4s %4s %5s %6s | %5s %5s | %6s", "catalogue", "tracks",
                    "hours", "postings", "pst/s", "used%", "mean", "p50", "p90", "p99", "p99.9", "max", "top1%",
                    "top.1%", "all/k");
        for (const auto& [kind, _] : q.exact)
            std::printf(" %9s %9s", (kind + ":ex").c_str(), (kind + ":tol").c_str());
        std::printf("\n");
    }
    const double all = static_cast<double>(c.postings) / kHashes * per_1000;
    std::printf("%-9s %7llu %7.1f %10llu %6.1f %6.2f | %7.2f %4u %4u %4u %5u %6u | %5.1f %5.1f | %6.4f", name,
                static_cast<unsigned long long>(c.tracks), c.frames / kFramesPerSecond / 3600.0,
                static_cast<unsigned long long>(c.postings), c.postings / (c.frames / kFramesPerSecond),
                100.0 * used.size() / kHashes,
                used.empty() ? 0.0 : static_cast<double>(c.postings) / static_cast<double>(used.size()), pct(50),
                pct(90), pct(99), pct(99.9), used.empty() ? 0u : used.back(), top_share(0.01), top_share(0.001), all);
    for (const auto& [kind, _] : q.exact)
        std::printf(" %9.4f %9.4f", cost(q.exact.at(kind)), cost(q.tolerant.at(kind)));
    std::printf("\n");
}

int Stats(const Args& a)
{
    if (a.positional.size() != 2)
        throw std::invalid_argument("stats wants REAL_DB LIST");
    const Real real = ReadReal(a.positional[0]);
    const QuerySet queries = ReadQueries(a.positional[1]);
    std::vector<std::uint64_t> sizes{real.tracks.size()};
    sizes.insert(sizes.end(), a.tracks.begin(), a.tracks.end());
    std::sort(sizes.begin(), sizes.end());
    sizes.erase(std::unique(sizes.begin(), sizes.end()), sizes.end());

    bool head = true;
    {
        Catalogue c{Catalogue::Kind::Real, &real, true, a.seed, 0};
        Counts counts;
        ForEachTrack(c, 0, c.Size(), a.threads, [&](std::uint64_t, Catalogue::Track& t, std::vector<Landmark>& l) {
            ++counts.tracks;
            counts.frames += t.info.frames;
            counts.postings += l.size();
            for (const Landmark& x : l)
                ++counts.of_hash[x.hash];
        });
        if (counts.postings != real.postings)
            std::fprintf(stderr,
                         "derive_catalogue: the real tracks' peaks make %llu postings, the store holds %llu: its "
                         "landmarks were made otherwise\n",
                         static_cast<unsigned long long>(counts.postings),
                         static_cast<unsigned long long>(real.postings));
        PrintStats("real", counts, queries, head);
        head = false;
    }
    for (const auto kind : {Catalogue::Kind::Derived, Catalogue::Kind::Uniform}) {
        Catalogue c{kind, &real, false, a.seed, sizes.back(), a.scheme};
        Counts counts;
        std::size_t next = 0;
        ForEachTrack(
            c, 0, c.Size(), a.threads, [&](std::uint64_t t, Catalogue::Track& track, std::vector<Landmark>& l) {
                ++counts.tracks;
                counts.frames += track.info.frames;
                counts.postings += l.size();
                for (const Landmark& x : l)
                    ++counts.of_hash[x.hash];
                if (t + 1 == sizes[next]) {
                    PrintStats(kind == Catalogue::Kind::Derived ? "derived" : "uniform", counts, queries, head);
                    ++next;
                }
            });
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    try {
        const Args args = Parse(argc, argv);
        if (mode == "load")
            return Load(args);
        if (mode == "stats")
            return Stats(args);
        std::fprintf(stderr, "usage: derive_catalogue load REAL_DB OUT_DIR --tracks N [--seed S] [--with-real] "
                             "[--lattice] [--threads T] [--pass-postings P]\n"
                             "       derive_catalogue stats REAL_DB LIST [--tracks N,N,...] [--seed S] [--lattice] "
                             "[--threads T]\n");
        return 2;
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "derive_catalogue: %s\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "derive_catalogue: %s\n", e.what());
        return 1;
    }
}
