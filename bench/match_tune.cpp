// Replays recordings' signatures against a catalogue under chosen matching
// settings, without the service, and counts the answers: the quick way to
// try a tolerance or a threshold on the evaluation set before running it
// whole.
//
//   match_tune DB LIST [--fan-out N] [--frames T] [--bin-edge E]
//              [--min-score S] [--margin M] [--rate R] [--min-peaks P]
//              [--peak-margin M] [--no-peaks] [--exact-peaks] [--gate]
//              [--no-exact] [--each]
//
// LIST has a line a recording: its signature file, the file name its track
// was added from (or "negative"), a group to count it in, and optionally a
// query it is an attempt of, tab-separated. The attempts of one query are
// taken in the order listed and the first match answers it, as the client
// does (bench/eval/signatures writes such lists); a line without a query
// is a query of its own.
// A recording is matched as the service does: exact pairs first, the
// tolerant pairs and the peak check when they fall short (--exact-peaks
// checks peaks on the first pass too; --gate leaves the check out when the
// first pass already had pairs up to the threshold).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
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
};

std::string BaseName(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::cerr << "usage: match_tune DB LIST [--fan-out N] [--frames T] [--bin-edge E] [--min-score S] "
                     "[--margin M] [--rate R] [--min-peaks P] [--peak-margin M] [--no-peaks] [--exact-peaks] [--gate] "
                     "[--no-exact] [--each]\n";
        return 2;
    }
    LandmarkOptions landmarks;
    QueryTolerance tolerance;
    MatchOptions match;
    bool exact_first = true, each = false, check_peaks = true, exact_checked = false, gate = false;
    for (int i = 3; i < argc; ++i) {
        const std::string flag = argv[i];
        auto value = [&] { return i + 1 < argc ? std::atof(argv[++i]) : 0.0; };
        if (flag == "--fan-out")
            landmarks.fan_out = static_cast<std::uint32_t>(value());
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
        else {
            std::cerr << "match_tune: unknown option " << flag << '\n';
            return 2;
        }
    }

    const auto store = OpenStore(argv[1], OpenMode::ReadOnly);
    std::map<std::uint32_t, std::string> sources;
    for (const TrackInfo& t : store->Tracks())
        sources[t.id] = BaseName(t.source);

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
        Pending& pending = queries[query];
        if (pending.answered)
            continue;
        pending.group = group;
        pending.negative = expected == "negative";
        std::ifstream in(file, std::ios::binary);
        const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
        const vxt::decoded_signature decoded = vxt::read_signature(bytes);
        if (!decoded.ok()) {
            std::cerr << file << ": " << decoded.error << '\n';
            return 1;
        }
        const auto start = std::chrono::steady_clock::now();
        const std::vector<Peak> peaks = SignaturePeaks(decoded);
        const std::span<const Peak> checked = check_peaks ? std::span<const Peak>(peaks) : std::span<const Peak>();
        MatchResult r;
        if (exact_first)
            r = Match(*store, MakeLandmarks(peaks, landmarks), exact_checked ? checked : std::span<const Peak>(),
                      match);
        if (!exact_first || r.verdict != Verdict::Match) {
            const bool plenty = gate && exact_first && r.score >= r.threshold;
            r = Match(*store, QueryLandmarks(peaks, tolerance, landmarks), plenty ? std::span<const Peak>() : checked,
                      match);
        }
        const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;

        Tally& t = groups[group];
        t.ms += took.count();
        ++t.attempts;
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
            std::printf("%s\t%s\t%s\t%s\t%u\t%u\t%u\t%u\t%u\t%u\n", group.c_str(), BaseName(file).c_str(),
                        negative ? "neg" : (sources[r.track] == expected ? "true" : "false"),
                        claimed ? (r.on_peaks ? "peaks" : "pairs") : "-", r.score, r.runner_up, r.threshold, r.peaks,
                        r.peaks_runner_up, r.peaks_threshold);
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
    std::printf("%-16s %7s %7s %5s %5s %9s %10s\n", "group", "queries", "correct", "wrong", "none", "claimed",
                "ms/attempt");
    for (const auto& [name, t] : groups)
        std::printf("%-16s %7d %7d %5d %5d %4d of %-3d %8.2f\n", name.c_str(), t.queries, t.correct, t.wrong, t.none,
                    t.claimed, t.negatives, t.attempts > 0 ? t.ms / t.attempts : 0.0);
}
