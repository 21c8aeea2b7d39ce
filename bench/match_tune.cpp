// Replays recordings' signatures against a catalogue under chosen matching
// settings, without the service, and counts the answers: the quick way to
// try a tolerance or a threshold on the evaluation set before running it
// whole.
//
//   match_tune DB LIST [--fan-out N] [--frequency-bits B] [--reindex] [--frames T] [--bin-edge E]
//              [--min-score S] [--margin M] [--rate R] [--min-peaks P]
//              [--peak-margin M] [--no-peaks] [--exact-peaks] [--gate]
//              [--no-exact] [--each] [--most-postings N] [--most-votes N]
//              [--work FILE] [--by-kind] [--times] [--tsv FILE] [--label TEXT] [--warm]
//              [--tolerant-candidates N] [--most-tolerant-votes N]
//
// LIST has a line a recording: its signature file, the file name its track
// was added from (or "negative"), a group to count it in, and optionally a
// query it is an attempt of, tab-separated. The attempts of one query are
// taken in the order listed and the first match answers it, as the client
// does (bench/eval/signatures writes such lists); a line without a query
// is a query of its own.
// A recording is matched as the service does: exact pairs first, the
// tolerant pairs and the peak check when they fall short, looked up or,
// with --tolerant-candidates N, scored on the N cells the exact pairs put
// forward (see MatchTolerant) (--exact-peaks
// checks peaks on the first pass too; --gate leaves the check out when the
// first pass already had pairs up to the threshold).
//
// --frequency-bits B makes the pairs' hashes tell frequencies to 1 / 2^B
// bin; --reindex indexes the catalogue's tracks again in memory from
// their stored peaks with the run's landmark settings, so that another
// hash can be tried on a catalogue made with today's.
//
// --most-postings and --most-votes set the bounds of a query's work (0:
// none); --work writes a line of the work of every recording of the list
// (its attempts after the one that matched too): seconds, peaks, the most
// in one frame, exact pairs, tolerant landmarks, distinct hashes and votes
// of both passes, the most landmarks sharing a hash, the most postings of a
// hash looked up, and the hashes and votes the bounds left out; and prints
// the most of each a second.
//
// --by-kind counts the groups by kind alone (the group up to its first
// "-": clean, phone, reverb) and every held-out query in a group
// "negative" of its own. --times adds a table of the time per attempt of
// each pass (p50, p95, p99: the exact pairs; the tolerant pairs and the peak
// check, over the attempts that ran it; both) and the votes each pass
// cast; --tsv writes those lines machine-readable, each led by --label
// (the catalogue or the matcher under test, say), so that runs compare.
// --warm matches every recording of the list once, both passes, before
// the counted replay: a service that has run a while has the catalogue's
// pages mapped and its buffers grown, and a fresh process pays for both on
// its first queries (page faults took a fifth of a short replay's time).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <limits>
#include <map>
#include <optional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "vextune/matcher/Landmarks.h"
#include "vextune/matcher/Matcher.h"
#include "vextune/matcher/Store.h"
#include "vextune/signature.h"

namespace {

using namespace vxt::matcher;

struct Tally {
    int queries = 0, correct = 0, wrong = 0, none = 0, claimed = 0, negatives = 0, attempts = 0;
    double ms = 0.0;
    // Per attempt: each pass's time and votes (the tolerant pass's of the
    // attempts that ran it).
    std::vector<double> exact_ms, tolerant_ms, total_ms;
    std::vector<double> exact_votes, tolerant_votes;
};

// The nearest-rank percentile p (0..100) of `values`; 0 when empty.
double Percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0.0;
    const auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(values.size())));
    const std::size_t at = std::min(values.size() - 1, rank > 0 ? rank - 1 : 0);
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at), values.end());
    return values[at];
}

double Mean(const std::vector<double>& values)
{
    double sum = 0.0;
    for (double v : values)
        sum += v;
    return values.empty() ? 0.0 : sum / static_cast<double>(values.size());
}

std::string BaseName(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The most of each measure of work a second, and some absolute ones.
struct Work {
    double peaks = 0, pairs = 0, tolerant = 0, votes = 0, tolerant_votes = 0;
    std::uint32_t frame_peaks = 0, weight = 0;
    std::uint64_t postings = 0, all_votes = 0;
};

// The work of matching one recording both ways, as a line of `out`.
void MeasureWork(const Store& store, const vxt::decoded_signature& decoded, const LandmarkOptions& landmarks,
                 const QueryTolerance& tolerance, const MatchOptions& match, const std::string& group,
                 const std::string& name, std::FILE* out, Work& most)
{
    const std::vector<Peak> peaks = SignaturePeaks(decoded);
    const double seconds = decoded.timing.audio_seconds;
    std::uint32_t frame_peaks = 0;
    for (std::size_t i = 0, run = 0; i < peaks.size(); ++i) {
        run = i > 0 && peaks[i - 1].frame == peaks[i].frame ? run + 1 : 1;
        frame_peaks = std::max<std::uint32_t>(frame_peaks, static_cast<std::uint32_t>(run));
    }
    const std::vector<Landmark> exact = MakeLandmarks(peaks, landmarks);
    const std::vector<Landmark> tolerant = QueryLandmarks(peaks, tolerance, landmarks);
    const auto distinct = [](std::vector<Landmark> l, std::uint32_t& weight) {
        std::sort(l.begin(), l.end(), [](const Landmark& a, const Landmark& b) { return a.hash < b.hash; });
        std::vector<std::uint32_t> hashes;
        for (std::size_t i = 0, run = 0; i < l.size(); ++i) {
            run = i > 0 && l[i - 1].hash == l[i].hash ? run + 1 : 1;
            weight = std::max<std::uint32_t>(weight, static_cast<std::uint32_t>(run));
            if (run == 1)
                hashes.push_back(l[i].hash);
        }
        return hashes;
    };
    std::uint32_t weight = 0;
    const std::vector<std::uint32_t> exact_hashes = distinct(exact, weight);
    const std::vector<std::uint32_t> tolerant_hashes = distinct(tolerant, weight);
    std::uint64_t postings = 0;
    store.Lookup(tolerant_hashes, [&](std::uint32_t, std::span<const Posting> p) {
        postings = std::max<std::uint64_t>(postings, p.size());
    });
    const MatchResult e = Match(store, exact, match);
    const MatchResult t = Match(store, tolerant, peaks, match);
    std::fprintf(out, "%s\t%s\t%.2f\t%zu\t%u\t%zu\t%zu\t%zu\t%zu\t%u\t%llu\t%llu\t%llu\t%llu\t%llu\n", group.c_str(),
                 name.c_str(), seconds, peaks.size(), frame_peaks, exact.size(), tolerant.size(), exact_hashes.size(),
                 tolerant_hashes.size(), weight, static_cast<unsigned long long>(e.votes),
                 static_cast<unsigned long long>(t.votes), static_cast<unsigned long long>(postings),
                 static_cast<unsigned long long>(e.hashes_left_out + t.hashes_left_out),
                 static_cast<unsigned long long>(e.votes_left_out + t.votes_left_out));
    most.frame_peaks = std::max(most.frame_peaks, frame_peaks);
    most.weight = std::max(most.weight, weight);
    most.postings = std::max(most.postings, postings);
    most.all_votes = std::max({most.all_votes, e.votes, t.votes});
    if (seconds >= 3.0) {
        most.peaks = std::max(most.peaks, peaks.size() / seconds);
        most.pairs = std::max(most.pairs, exact.size() / seconds);
        most.tolerant = std::max(most.tolerant, tolerant.size() / seconds);
        most.votes = std::max(most.votes, e.votes / seconds);
        most.tolerant_votes = std::max(most.tolerant_votes, t.votes / seconds);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::cerr << "usage: match_tune DB LIST [--fan-out N] [--frequency-bits B] [--frames T] [--bin-edge E] "
                     "[--min-score S] "
                     "[--margin M] [--rate R] [--min-peaks P] [--peak-margin M] [--no-peaks] [--exact-peaks] [--gate] "
                     "[--no-exact] [--each] [--most-postings N] [--most-votes N] [--work FILE] [--by-kind] [--times] "
                     "[--tsv FILE] "
                     "[--label TEXT] [--warm]\n";
        return 2;
    }
    LandmarkOptions landmarks;
    QueryTolerance tolerance;
    MatchOptions match;
    bool exact_first = true, each = false, check_peaks = true, exact_checked = false, gate = false, reindex = false;
    bool by_kind = false, times = false, warm = false;
    bool put_forward_tolerant = false;                  // the tolerant pairs scored on the exact pass's candidates
    std::optional<std::uint64_t> tolerant_votes_bound;  // the tolerant pass's, when not --most-votes
    std::string work_file, tsv_file, label = "-";
    for (int i = 3; i < argc; ++i) {
        const std::string flag = argv[i];
        auto value = [&] { return i + 1 < argc ? std::atof(argv[++i]) : 0.0; };
        if (flag == "--fan-out")
            landmarks.fan_out = static_cast<std::uint32_t>(value());
        else if (flag == "--frequency-bits")
            landmarks.frequency_bits = static_cast<std::uint32_t>(value());
        else if (flag == "--frames")
            tolerance.frames = static_cast<std::uint32_t>(value());
        else if (flag == "--bin-edge")
            tolerance.bin_edge = static_cast<std::uint16_t>(value());
        else if (flag == "--min-score")
            match.min_score = static_cast<std::uint32_t>(value());
        else if (flag == "--margin")
            match.min_margin = value();
        else if (flag == "--rate")
            match.false_claim_rate = value();
        else if (flag == "--no-exact")
            exact_first = false;
        else if (flag == "--each")
            each = true;
        else if (flag == "--min-peaks")
            match.min_peaks = static_cast<std::uint32_t>(value());
        else if (flag == "--peak-margin")
            match.peak_margin = value();
        else if (flag == "--no-peaks")
            check_peaks = false;
        else if (flag == "--exact-peaks")
            exact_checked = true;
        else if (flag == "--gate")
            gate = true;
        else if (flag == "--reindex")
            reindex = true;
        else if (flag == "--most-postings") {
            const double n = value();
            match.most_postings = n > 0 ? static_cast<std::uint32_t>(n) : std::numeric_limits<std::uint32_t>::max();
        } else if (flag == "--most-votes") {
            const double n = value();
            match.most_votes = n > 0 ? static_cast<std::uint64_t>(n) : ~std::uint64_t{0};
        } else if (flag == "--tolerant-candidates") {
            const double n = value();
            put_forward_tolerant = n > 0;
            match.tolerant_candidates = static_cast<std::uint32_t>(std::max(0.0, n));
        } else if (flag == "--most-tolerant-votes") {
            const double n = value();
            tolerant_votes_bound = n > 0 ? static_cast<std::uint64_t>(n) : ~std::uint64_t{0};
        } else if (flag == "--work" && i + 1 < argc)
            work_file = argv[++i];
        else if (flag == "--by-kind")
            by_kind = true;
        else if (flag == "--times")
            times = true;
        else if (flag == "--warm")
            warm = true;
        else if (flag == "--tsv" && i + 1 < argc)
            tsv_file = argv[++i];
        else if (flag == "--label" && i + 1 < argc)
            label = argv[++i];
        else {
            std::cerr << "match_tune: unknown option " << flag << '\n';
            return 2;
        }
    }

    match.landmarks = landmarks;
    MatchOptions tolerant_match = match;
    if (tolerant_votes_bound)
        tolerant_match.most_votes = *tolerant_votes_bound;
    std::unique_ptr<Store> store = OpenStore(argv[1], OpenMode::ReadOnly);
    if (reindex) {
        // The catalogue's tracks indexed again in memory from their peaks,
        // with this run's landmarks: a way to try another hash without
        // making the catalogue again.
        std::unique_ptr<Store> memory = MakeMemoryStore();
        for (const TrackInfo& t : store->Tracks()) {
            const PeakWindow whole{t.id, 0, 0xffffffffu};
            const std::vector<Peak> peaks = std::move(store->TrackPeaks(std::span(&whole, 1)).front());
            TrackInfo copy = t;
            if (memory->Add(copy, MakeLandmarks(peaks, landmarks), peaks).id != t.id) {
                std::cerr << "match_tune: --reindex needs a catalogue whose ids run from 1 without gaps\n";
                return 2;
            }
        }
        store = std::move(memory);
    }
    std::map<std::uint32_t, std::string> sources;
    for (const TrackInfo& t : store->Tracks())
        sources[t.id] = BaseName(t.source);

    std::FILE* work = nullptr;
    if (!work_file.empty()) {
        work = std::fopen(work_file.c_str(), "w");
        if (work == nullptr) {
            std::perror(work_file.c_str());
            return 1;
        }
        std::fprintf(work, "group\tfile\tseconds\tpeaks\tframe_peaks\tpairs\ttolerant\thashes\ttolerant_hashes\t"
                           "weight\tvotes\ttolerant_votes\tpostings\tleft_out\tleft_out_votes\n");
    }
    Work most;

    if (warm) {
        std::ifstream list(argv[2]);
        std::string line;
        while (std::getline(list, line)) {
            std::ifstream in(line.substr(0, line.find('\t')), std::ios::binary);
            const vxt::decoded_signature decoded =
                vxt::read_signature(std::vector<std::uint8_t>{std::istreambuf_iterator<char>(in), {}});
            if (!decoded.ok())
                continue;  // said when counted
            const std::vector<Peak> peaks = SignaturePeaks(decoded);
            std::vector<Candidate> put_forward;
            if (put_forward_tolerant)
                Match(*store, MakeLandmarks(peaks, landmarks), match, put_forward);
            else
                Match(*store, MakeLandmarks(peaks, landmarks), match);
            MatchTolerant(*store, QueryLandmarks(peaks, tolerance, landmarks), peaks, put_forward, tolerant_match);
        }
    }

    std::ifstream list(argv[2]);
    std::map<std::string, Tally> groups;
    struct Pending {
        std::string group;
        bool negative = false;
        bool answered = false;
    };
    std::map<std::string, Pending> queries;  // by query, those with attempts
    std::string line;
    while (std::getline(list, line)) {
        std::istringstream fields(line);
        std::string file, expected, group, query;
        if (!std::getline(fields, file, '\t') || !std::getline(fields, expected, '\t') ||
            !std::getline(fields, group, '\t'))
            continue;
        std::getline(fields, query);
        if (query.empty())
            query = file;
        if (by_kind)
            group = expected == "negative" ? "negative" : group.substr(0, group.find('-'));
        Pending& pending = queries[query];
        if (pending.answered && !work)
            continue;
        std::ifstream in(file, std::ios::binary);
        const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
        const vxt::decoded_signature decoded = vxt::read_signature(bytes);
        if (!decoded.ok()) {
            std::cerr << file << ": " << decoded.error << '\n';
            return 1;
        }
        if (work)
            MeasureWork(*store, decoded, landmarks, tolerance, match, group, BaseName(file), work, most);
        if (pending.answered)
            continue;
        pending.group = group;
        pending.negative = expected == "negative";
        const auto start = std::chrono::steady_clock::now();
        const std::vector<Peak> peaks = SignaturePeaks(decoded);
        const std::span<const Peak> checked = check_peaks ? std::span<const Peak>(peaks) : std::span<const Peak>();
        MatchResult r;
        double exact_votes = 0.0, tolerant_votes = -1.0;
        std::vector<Candidate> put_forward;
        if (exact_first) {
            const std::vector<Landmark> exact = MakeLandmarks(peaks, landmarks);
            r = exact_checked || !put_forward_tolerant
                    ? Match(*store, exact, exact_checked ? checked : std::span<const Peak>(), match)
                    : Match(*store, exact, match, put_forward);
            exact_votes = static_cast<double>(r.votes);
        }
        const auto exact_end = std::chrono::steady_clock::now();
        if (!exact_first || r.verdict != Verdict::Match) {
            const bool plenty = gate && exact_first && r.score >= r.threshold;
            r = MatchTolerant(*store, QueryLandmarks(peaks, tolerance, landmarks),
                              plenty ? std::span<const Peak>() : checked, put_forward, tolerant_match);
            tolerant_votes = static_cast<double>(r.votes);
        }
        const auto end = std::chrono::steady_clock::now();
        const std::chrono::duration<double, std::milli> took = end - start;

        Tally& t = groups[group];
        t.ms += took.count();
        ++t.attempts;
        t.total_ms.push_back(took.count());
        t.exact_ms.push_back(std::chrono::duration<double, std::milli>(exact_end - start).count());
        t.exact_votes.push_back(exact_votes);
        if (tolerant_votes >= 0.0) {
            t.tolerant_ms.push_back(std::chrono::duration<double, std::milli>(end - exact_end).count());
            t.tolerant_votes.push_back(tolerant_votes);
        }
        const bool negative = expected == "negative";
        const bool claimed = r.verdict == Verdict::Match;
        const bool right = claimed && sources[r.track] == expected;
        if (claimed) {
            pending.answered = true;
            if (negative) {
                ++t.negatives;
                ++t.claimed;
            } else {
                ++t.queries;
                t.correct += right;
                t.wrong += !right;
            }
        }
        if (each)
            std::printf("%s\t%s\t%s\t%s\t%u\t%u\t%u\t%u\t%u\t%u\t%s\n", group.c_str(), BaseName(file).c_str(),
                        negative ? "neg" : (sources[r.track] == expected ? "true" : "false"),
                        claimed ? (r.on_peaks ? "peaks" : "pairs") : "-", r.score, r.runner_up, r.threshold, r.peaks,
                        r.peaks_runner_up, r.peaks_threshold, sources[r.track].c_str());
    }
    for (const auto& [query, pending] : queries) {
        if (pending.answered)
            continue;
        Tally& t = groups[pending.group];
        if (pending.negative) {
            ++t.negatives;
        } else {
            ++t.queries;
            ++t.none;
        }
    }
    if (work) {
        std::fclose(work);
        std::printf("work a second at most (over recordings of 3 s or more): peaks %.1f, exact pairs %.1f, tolerant "
                    "landmarks %.1f, votes %.1f, tolerant votes %.1f; at most %u peaks in a frame, %u landmarks "
                    "sharing a hash, %llu postings of a hash, %llu votes of a recording\n",
                    most.peaks, most.pairs, most.tolerant, most.votes, most.tolerant_votes, most.frame_peaks,
                    most.weight, static_cast<unsigned long long>(most.postings),
                    static_cast<unsigned long long>(most.all_votes));
    }
    std::printf("%-16s %7s %7s %5s %5s %9s %10s\n", "group", "queries", "correct", "wrong", "none", "claimed",
                "ms/attempt");
    for (const auto& [name, t] : groups)
        std::printf("%-16s %7d %7d %5d %5d %4d of %-3d %8.2f\n", name.c_str(), t.queries, t.correct, t.wrong, t.none,
                    t.claimed, t.negatives, t.attempts > 0 ? t.ms / t.attempts : 0.0);
    if (!times && tsv_file.empty())
        return 0;

    const StoreTotals totals = store->Totals();
    std::FILE* tsv = nullptr;
    if (!tsv_file.empty()) {
        tsv = std::fopen(tsv_file.c_str(), "w");
        if (tsv == nullptr) {
            std::perror(tsv_file.c_str());
            return 1;
        }
        std::fprintf(tsv, "label\tgroup\tqueries\tcorrect\twrong\tnone\tclaimed\tnegatives\tattempts\t"
                          "exact_p50_ms\texact_p95_ms\texact_p99_ms\ttolerant_attempts\ttolerant_p50_ms\t"
                          "tolerant_p95_ms\ttolerant_p99_ms\ttotal_p50_ms\ttotal_p95_ms\ttotal_p99_ms\t"
                          "exact_votes_p50\texact_votes_mean\ttolerant_votes_p50\ttolerant_votes_mean\t"
                          "catalogue_tracks\tcatalogue_postings\n");
    }
    if (times)
        std::printf("\n%-10s %8s %8s | %-20s | %-26s | %-20s | %-15s %-15s\n", "", "", "", "exact pass ms",
                    "tolerant pass + peaks ms", "attempt ms", "exact votes", "tolerant votes");
    if (times)
        std::printf("%-10s %8s %8s | %6s %6s %6s | %5s %6s %6s %6s | %6s %6s %6s | %7s %7s %7s %7s\n", "group",
                    "attempts", "right", "p50", "p95", "p99", "runs", "p50", "p95", "p99", "p50", "p95", "p99", "p50",
                    "mean", "p50", "mean");
    for (const auto& [name, t] : groups) {
        const double v[] = {
            Percentile(t.exact_ms, 50),    Percentile(t.exact_ms, 95),    Percentile(t.exact_ms, 99),
            Percentile(t.tolerant_ms, 50), Percentile(t.tolerant_ms, 95), Percentile(t.tolerant_ms, 99),
            Percentile(t.total_ms, 50),    Percentile(t.total_ms, 95),    Percentile(t.total_ms, 99),
            Percentile(t.exact_votes, 50), Mean(t.exact_votes),           Percentile(t.tolerant_votes, 50),
            Mean(t.tolerant_votes)};
        if (times)
            std::printf("%-10s %8d %8d | %6.2f %6.2f %6.2f | %5zu %6.2f %6.2f %6.2f | %6.2f %6.2f %6.2f | %7.0f "
                        "%7.0f %7.0f %7.0f\n",
                        name.c_str(), t.attempts, t.correct, v[0], v[1], v[2], t.tolerant_ms.size(), v[3], v[4], v[5],
                        v[6], v[7], v[8], v[9], v[10], v[11], v[12]);
        if (tsv)
            std::fprintf(
                tsv,
                "%s\t%s\t%d\t%d\t%d\t%d\t%d\t%d\t%d\t%.3f\t%.3f\t%.3f\t%zu\t%.3f\t%.3f\t%.3f\t%.3f\t%.3f\t%.3f\t%."
                "0f\t%.1f\t%.0f\t%.1f\t%llu\t%llu\n",
                label.c_str(), name.c_str(), t.queries, t.correct, t.wrong, t.none, t.claimed, t.negatives, t.attempts,
                v[0], v[1], v[2], t.tolerant_ms.size(), v[3], v[4], v[5], v[6], v[7], v[8], v[9], v[10], v[11], v[12],
                static_cast<unsigned long long>(totals.tracks), static_cast<unsigned long long>(totals.postings));
    }
    if (tsv && std::fclose(tsv) != 0) {
        std::perror(tsv_file.c_str());
        return 1;
    }
}
