// Landmarks and matching on synthetic catalogues: a slice of a track, with
// peaks lost and moved, is found at its offset; music that is not in the
// catalogue is never claimed, however large the catalogue.
#include <gtest/gtest.h>

#include <malloc.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "memory_index.h"
#include "vextune/matcher/Matcher.h"
#include "vextune/signature.h"
#include "vextune/vextuneAPI.h"

namespace vxt::matcher {
namespace {

// Peaks of a music-like track: about 36 a second over the kept bands.
std::vector<Peak> RandomTrack(std::uint32_t seed, std::uint32_t frames)
{
    std::mt19937 random(seed);
    std::vector<Peak> peaks;
    for (std::uint32_t f = 0; f < frames; ++f) {
        if (random() % 100 < 29)
            peaks.push_back({f, static_cast<std::uint16_t>(2048 + random() % (28672 - 2048))});
    }
    return peaks;
}

// A query: frames [from, from + length) of a track, each peak kept with
// probability keep and moved by a frame now and then, timed from 0.
std::vector<Peak> Slice(const std::vector<Peak>& track, std::uint32_t from, std::uint32_t length, double keep,
                        std::uint32_t seed)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<Peak> out;
    for (const Peak& p : track) {
        if (p.frame < from || p.frame >= from + length || u(random) > keep)
            continue;
        const std::uint32_t jitter = u(random) < 0.1 ? 1 : 0;
        out.push_back({p.frame - from + jitter, p.frequency});
    }
    std::sort(out.begin(), out.end(), [](const Peak& a, const Peak& b) { return a.frame < b.frame; });
    return out;
}

struct Catalogue {
    MemoryIndex index;
    std::vector<std::vector<Peak>> tracks;

    Catalogue(std::uint32_t count, std::uint32_t frames)
    {
        for (std::uint32_t t = 0; t < count; ++t) {
            tracks.push_back(RandomTrack(1000 + t, frames));
            index.Add(t, MakeLandmarks(tracks.back()), frames, tracks.back());
        }
    }
};

TEST(Landmarks, PairsWithinTheTargetZone)
{
    const std::vector<Peak> peaks = {{10, 64 * 100}, {12, 64 * 110}, {12, 64 * 180}, {80, 64 * 100}};
    const auto landmarks = MakeLandmarks(peaks);
    // 10 pairs with 12 (10 bins up) only: 180 is 80 bins away, 80 is 70 frames later.
    ASSERT_EQ(landmarks.size(), 1u);
    EXPECT_EQ(landmarks[0].frame, 10u);
    EXPECT_EQ(landmarks[0].hash, 100u << 13 | (10u + 64u) << 6 | 2u);
    // The hash does not depend on absolute time.
    std::vector<Peak> later = peaks;
    for (Peak& p : later)
        p.frame += 5000;
    EXPECT_EQ(MakeLandmarks(later)[0].hash, landmarks[0].hash);
    // Two peaks in one bin make no pair: a held note pairs the same way
    // backwards, which would let reversed audio match.
    EXPECT_TRUE(MakeLandmarks(std::vector<Peak>{{10, 64 * 100}, {30, 64 * 100 + 20}}).empty());
}

TEST(Landmarks, MergedBandsOfASignature)
{
    std::vector<std::int16_t> pcm(8000 * 6);
    for (std::size_t i = 0; i < pcm.size(); ++i) {
        const double t = static_cast<double>(i) / 8000;
        pcm[i] = static_cast<std::int16_t>(6000 * std::sin(2 * 3.14159265 * (400 + 150 * std::floor(t * 4)) * t));
    }
    auto engine = create_engine(1, 8000, 0x800);
    feed_samples(engine, pcm.data(), static_cast<std::int32_t>(pcm.size()));
    std::vector<std::uint8_t> bytes;
    ASSERT_EQ(get_signature(engine, bytes, 0.0), 0);
    const decoded_signature d = read_signature(bytes);
    const auto peaks = SignaturePeaks(d);
    EXPECT_EQ(peaks.size(), d.band_peak_count());
    EXPECT_TRUE(
        std::is_sorted(peaks.begin(), peaks.end(), [](const Peak& a, const Peak& b) { return a.frame < b.frame; }));
    EXPECT_FALSE(MakeLandmarks(peaks).empty());
}

// A recording's pair looks up the clean track's hash when its peaks moved
// within the tolerance: a frame or two in time, across a bin's edge in
// frequency; and only then.
TEST(Landmarks, ARecordingLooksUpTheTracksPairWithinTheTolerance)
{
    const std::vector<Peak> track = {{100, 64 * 200 + 60}, {120, 64 * 230 + 10}};
    const std::uint32_t want = MakeLandmarks(track).at(0).hash;
    const auto finds = [&](std::vector<Peak> recording) {
        for (const Landmark& l : QueryLandmarks(recording, QueryTolerance{}))
            if (l.hash == want && l.frame == recording[0].frame)
                return true;
        return false;
    };
    EXPECT_TRUE(finds(track));
    EXPECT_TRUE(finds({{101, 64 * 200 + 60}, {119, 64 * 230 + 10}}));   // 2 frames shorter
    EXPECT_TRUE(finds({{100, 64 * 201 + 2}, {122, 64 * 229 + 60}}));    // both over an edge, 2 frames longer
    EXPECT_FALSE(finds({{100, 64 * 200 + 60}, {123, 64 * 230 + 10}}));  // 3 frames longer
    EXPECT_FALSE(finds({{100, 64 * 201 + 30}, {120, 64 * 230 + 10}}));  // mid-bin, a bin up
}

TEST(Matching, ASliceIsFoundAtItsOffset)
{
    const Catalogue c(200, 125 * 60);
    struct slice_case {
        std::uint32_t track, from, length;
        double keep;
    };
    for (const slice_case s :
         {slice_case{17, 1000, 125 * 10, 1.0}, slice_case{3, 5000, 125 * 10, 0.6}, slice_case{199, 40, 125 * 5, 0.7}}) {
        SCOPED_TRACE(s.track);
        const auto query = MakeLandmarks(Slice(c.tracks[s.track], s.from, s.length, s.keep, s.track));
        const MatchResult r = Match(c.index, query);
        EXPECT_EQ(r.verdict, Verdict::Match) << r.score << " of " << r.threshold;
        EXPECT_EQ(r.track, s.track);
        EXPECT_NEAR(static_cast<double>(r.offset_frames), s.from, 1.0);
        EXPECT_LT(r.chance, 1e-6);
    }
}

// A window that holds 4 s of noise and then 6 s of a track agrees with the
// track only where the track is, at the offset found, and nowhere at
// another offset or with another track.
TEST(Matching, AgreeingFramesAreWhereTheTrackIsInTheRecording)
{
    const Catalogue c(20, 125 * 60);
    std::vector<Peak> window = RandomTrack(77, 125 * 4);  // not in the catalogue
    for (const Peak& p : Slice(c.tracks[5], 3000, 125 * 6, 0.8, 1))
        window.push_back({p.frame + 500, p.frequency});
    const std::vector<Landmark> query = MakeLandmarks(window);
    const MatchResult r = Match(c.index, query);
    ASSERT_EQ(r.verdict, Verdict::Match);
    ASSERT_EQ(r.track, 5u);

    const std::vector<std::uint32_t> agreeing = AgreeingFrames(c.index, 5, r.offset_frames, query);
    ASSERT_GT(agreeing.size(), 50u);
    EXPECT_TRUE(std::ranges::is_sorted(agreeing));
    // The noise's last pairs may reach into the track (a frame to 63
    // later), never further back.
    EXPECT_GE(agreeing.front(), 500u - 63u);
    EXPECT_LE(agreeing.back(), 500u + 125u * 6u);
    EXPECT_GT(agreeing.back(), 500u + 125u * 5u);
    EXPECT_LT(AgreeingFrames(c.index, 5, r.offset_frames + 40, query).size(), 5u);
    EXPECT_LT(AgreeingFrames(c.index, 6, r.offset_frames, query).size(), 5u);
    EXPECT_TRUE(AgreeingFrames(c.index, 99, r.offset_frames, query).empty());  // no peaks held
    EXPECT_TRUE(AgreeingFrames(c.index, 5, r.offset_frames, {}).empty());
}

// Music that is not in the catalogue is never claimed: queries from other
// tracks, against catalogues of growing size.
TEST(Matching, MusicNotInTheCatalogueIsNeverClaimed)
{
    for (const std::uint32_t size : {50u, 400u}) {
        SCOPED_TRACE(size);
        const Catalogue c(size, 125 * 60);
        std::uint32_t claimed = 0;
        std::uint32_t threshold = 0;
        for (std::uint32_t q = 0; q < 100; ++q) {
            const auto stranger = RandomTrack(900000 + q, 125 * 15);
            const MatchResult r = Match(c.index, MakeLandmarks(stranger), stranger);
            claimed += r.verdict == Verdict::Match;
            threshold = r.threshold;
        }
        EXPECT_EQ(claimed, 0u);
        EXPECT_GE(threshold, 6u);
    }
}

// Ten seconds of a track from frame 3000 as a room and its noise leave
// them: most peaks lost, the rest moved by up to 2 frames and most of a
// bin, and as many again of noise.
std::vector<Peak> ThroughARoom(const std::vector<Peak>& track, std::uint32_t seed)
{
    std::mt19937 random(seed);
    std::vector<Peak> recording = Slice(track, 3000, 125 * 10, 0.3, seed);
    for (Peak& p : recording) {
        p.frame = p.frame + 2 - std::min<std::uint32_t>(p.frame + 2, random() % 5);
        p.frequency = static_cast<std::uint16_t>(p.frequency + random() % 80 - 40);
    }
    const std::vector<Peak> noise = RandomTrack(5000 + seed, 125 * 10);
    recording.insert(recording.end(), noise.begin(), noise.end());
    std::sort(recording.begin(), recording.end(), [](const Peak& a, const Peak& b) { return a.frame < b.frame; });
    return recording;
}

// A recording through a room: too few pairs are left, but the peaks that
// remain still line up with the track's.
TEST(Matching, ARecordingWithFewPairsLeftIsFoundByItsPeaks)
{
    const Catalogue c(200, 125 * 60);
    for (const std::uint32_t t : {11u, 150u}) {
        SCOPED_TRACE(t);
        const std::vector<Peak> recording = ThroughARoom(c.tracks[t], t);
        const auto landmarks = MakeLandmarks(recording);

        const MatchResult pairs = Match(c.index, landmarks);
        EXPECT_NE(pairs.verdict, Verdict::Match) << pairs.score << " of " << pairs.threshold;
        const MatchResult r = Match(c.index, landmarks, recording);
        EXPECT_EQ(r.verdict, Verdict::Match)
            << r.peaks << " peaks of " << r.peaks_threshold << ", " << r.peaks_runner_up << " elsewhere";
        EXPECT_TRUE(r.on_peaks);
        EXPECT_EQ(r.track, t);
        EXPECT_NEAR(static_cast<double>(r.offset_frames), 3000, 1.0);
        EXPECT_LT(r.chance, 1e-6);
    }
}

// The same recordings' tolerant pairs, scored on the tracks the exact pairs
// put forward rather than looked up, where their votes pass the bounds:
// the decision every tolerant vote makes, at the votes of the exact pairs
// alone. Within the bounds, where a candidate's track has no peaks to be
// scored by, or where nothing was put forward, they are looked up as
// before. Music that is not in the catalogue is no more claimed.
TEST(Matching, TolerantPairsScoredOnTheExactPassesCandidatesDecideAsTheirLookup)
{
    const Catalogue c(200, 125 * 60);
    const QueryTolerance tolerance;
    MatchOptions beyond;  // the exact pairs' votes fit, the tolerant pairs' do not
    beyond.most_votes = 20000;
    beyond.tolerant_candidates = 256;
    constexpr std::uint32_t kWithoutPeaks = 42;
    MemoryIndex no_peaks;
    for (std::uint32_t k = 0; k < c.tracks.size(); ++k)
        no_peaks.Add(k, MakeLandmarks(c.tracks[k]), 125 * 60, k == kWithoutPeaks ? std::vector<Peak>{} : c.tracks[k]);
    for (const std::uint32_t t : {11u, 150u}) {
        SCOPED_TRACE(t);
        const std::vector<Peak> recording = ThroughARoom(c.tracks[t], t);
        const std::vector<Landmark> tolerant = QueryLandmarks(recording, tolerance);

        std::vector<Candidate> put_forward;
        const MatchResult exact = Match(c.index, MakeLandmarks(recording), beyond, put_forward);
        ASSERT_NE(exact.verdict, Verdict::Match);
        ASSERT_EQ(exact.hashes_left_out, 0u);
        EXPECT_EQ(exact.score, Match(c.index, MakeLandmarks(recording)).score);
        ASSERT_FALSE(put_forward.empty());
        EXPECT_TRUE(std::is_sorted(put_forward.begin(), put_forward.end(),
                                   [](const Candidate& a, const Candidate& b) { return a.votes > b.votes; }));

        const MatchResult looked_up = Match(c.index, tolerant, recording);
        ASSERT_EQ(looked_up.verdict, Verdict::Match);
        ASSERT_GT(looked_up.votes, beyond.most_votes);
        const MatchResult scored = MatchTolerant(c.index, tolerant, recording, put_forward, beyond);
        EXPECT_EQ(scored.verdict, Verdict::Match);
        EXPECT_EQ(scored.track, t);
        EXPECT_NEAR(static_cast<double>(scored.offset_frames), 3000, 2.0);
        EXPECT_GE(scored.score, looked_up.score);          // at the best of five offsets, not the votes' cell
        EXPECT_EQ(scored.threshold, looked_up.threshold);  // chance reckoned on the same votes
        EXPECT_LT(scored.votes * 5, looked_up.votes);

        const MatchResult within = MatchTolerant(c.index, tolerant, recording, put_forward);
        EXPECT_EQ(within.votes, looked_up.votes);
        EXPECT_EQ(within.score, looked_up.score);
        ASSERT_TRUE(std::any_of(put_forward.begin(), put_forward.end(),
                                [](const Candidate& p) { return p.track == kWithoutPeaks; }));
        const MatchResult bounded_lookup = Match(no_peaks, tolerant, recording, beyond);
        for (const bool none : {false, true}) {
            const MatchResult fallback =
                MatchTolerant(no_peaks, tolerant, recording, none ? std::span<const Candidate>() : put_forward, beyond);
            EXPECT_EQ(fallback.votes, bounded_lookup.votes);
            EXPECT_EQ(fallback.score, bounded_lookup.score);
        }
    }

    std::uint32_t claimed = 0;
    for (std::uint32_t q = 0; q < 100; ++q) {
        const auto stranger = RandomTrack(910000 + q, 125 * 12);
        std::vector<Candidate> put_forward;
        if (Match(c.index, MakeLandmarks(stranger), beyond, put_forward).verdict == Verdict::Match)
            ++claimed;
        else
            claimed +=
                MatchTolerant(c.index, QueryLandmarks(stranger, tolerance), stranger, put_forward, beyond).verdict ==
                Verdict::Match;
    }
    EXPECT_EQ(claimed, 0u);
}

// Thin evidence for the right track is no match, however close it comes:
// asking for a longer recording is the service's business (see its tests).
TEST(Matching, ThinEvidenceForTheRightTrackIsNoMatch)
{
    const Catalogue c(100, 125 * 60);
    // A third of a second with most peaks lost: some votes, not enough.
    const std::vector<Peak> heard = Slice(c.tracks[5], 2000, 40, 0.5, 7);
    for (const bool with_peaks : {false, true}) {
        SCOPED_TRACE(with_peaks);
        const MatchResult r =
            with_peaks ? Match(c.index, MakeLandmarks(heard), heard) : Match(c.index, MakeLandmarks(heard));
        EXPECT_EQ(r.verdict, Verdict::NoMatch);
        EXPECT_EQ(r.track, 5u);
        EXPECT_GT(r.score, 0u);
        EXPECT_LT(r.score, r.threshold);
        EXPECT_FALSE(r.on_peaks);
    }
}

// The tally against a slow count in maps: each track's best cell by votes
// with its neighbours' a frame either way, the eight tracks with most
// votes scored by distinct hashes there, the best of them and the best
// other's score, for tallies small and large, with track ids from 0 to the
// top and offsets either side of 0.
TEST(Matching, VotesAreTalliedExactly)
{
    // Track ids at the ends of their range, or numbered from 1 as a store
    // gives them (votes then pack small).
    struct tally_case {
        std::uint32_t tracks, landmarks_per_track, hashes, query;
        bool numbered;
    };
    for (const tally_case t :
         {tally_case{3, 40, 16, 10, false}, tally_case{60, 800, 64, 100, false}, tally_case{400, 200, 512, 900, false},
          tally_case{400, 200, 512, 900, true}, tally_case{5, 3000, 64, 200, true}}) {
        SCOPED_TRACE(t.tracks);
        SCOPED_TRACE(t.numbered);
        std::mt19937 random(t.tracks);
        MemoryIndex index;
        for (std::uint32_t i = 0; i < t.tracks; ++i) {
            const std::uint32_t id = t.numbered ? i + 1
                                     : i == 0   ? 0
                                     : i == 1   ? 0xffffffffu
                                                : static_cast<std::uint32_t>(random());
            std::vector<Landmark> landmarks;
            for (std::uint32_t n = 0; n < t.landmarks_per_track; ++n)
                landmarks.push_back(
                    {static_cast<std::uint32_t>(random() % t.hashes), static_cast<std::uint32_t>(random() % 3000)});
            index.Add(id, landmarks, 3000);
        }
        std::vector<Landmark> query;
        for (std::uint32_t n = 0; n < t.query; ++n)
            query.push_back(
                {static_cast<std::uint32_t>(random() % t.hashes), static_cast<std::uint32_t>(random() % 2000)});

        // Votes and the hashes behind them, by cell.
        using Cell = std::pair<std::uint32_t, std::int64_t>;
        std::map<Cell, std::uint32_t> votes;
        std::map<Cell, std::set<std::uint32_t>> voters;
        for (const Landmark& l : query) {
            for (const Posting& p : index.Lookup(l.hash)) {
                const Cell cell{p.track, static_cast<std::int64_t>(p.frame) - l.frame};
                ++votes[cell];
                voters[cell].insert(l.hash);
            }
        }
        // Each track's best cell by votes with its neighbours' (the lowest
        // offset of equal ones).
        std::map<std::uint32_t, std::pair<std::uint32_t, std::int64_t>> track_best;  // votes, offset
        for (const auto& [cell, n] : votes) {
            std::uint32_t score = n;
            for (const std::int64_t d : {-1, 1}) {
                const auto near = votes.find({cell.first, cell.second + d});
                score += near == votes.end() ? 0 : near->second;
            }
            auto& tb = track_best[cell.first];
            if (score > tb.first)
                tb = {score, cell.second};
        }
        // The eight tracks with most votes (the lowest track of equal ones),
        // scored by the distinct hashes at their best cell, a frame either way.
        std::vector<std::pair<std::uint32_t, std::uint32_t>> ranked;  // votes, track
        for (const auto& [track, tb] : track_best)
            ranked.push_back({tb.first, track});
        std::sort(ranked.begin(), ranked.end(), [](const auto& x, const auto& y) {
            return x.first != y.first ? x.first > y.first : x.second < y.second;
        });
        ranked.resize(std::min<std::size_t>(ranked.size(), 8));
        std::uint32_t best = 0;
        Cell best_cell{};
        std::vector<std::uint32_t> scores;
        for (const auto& [n, track] : ranked) {
            std::set<std::uint32_t> hashes;
            for (const std::int64_t d : {-1, 0, 1}) {
                const auto near = voters.find({track, track_best[track].second + d});
                if (near != voters.end())
                    hashes.insert(near->second.begin(), near->second.end());
            }
            const auto score = static_cast<std::uint32_t>(hashes.size());
            scores.push_back(score);
            if (score > best || (score == best && track < best_cell.first)) {
                best = score;
                best_cell = {track, track_best[track].second};
            }
        }
        std::uint32_t runner_up = 0;
        for (std::size_t i = 0; i < ranked.size(); ++i) {
            if (ranked[i].second != best_cell.first)
                runner_up = std::max(runner_up, scores[i]);
        }

        const MatchResult r = Match(index, query);
        EXPECT_EQ(r.score, best);
        EXPECT_EQ(r.track, best_cell.first);
        EXPECT_EQ(r.offset_frames, best_cell.second);
        EXPECT_EQ(r.runner_up, runner_up);
    }
}

// Offsets run from -(2^32 - 1) to 2^32 - 1 frames: a recording whose
// frames lie near 2^32, or a track whose do, is found at its true offset,
// not one wrapped to 32 bits.
TEST(Matching, OffsetsDoNotWrapNearTheEndsOfTheFrames)
{
    constexpr std::uint32_t kFar = 0xffffffffu - 200000;
    const std::vector<Peak> track = RandomTrack(31, 125 * 60);
    std::vector<Peak> far_track = track;
    for (Peak& p : far_track)
        p.frame += kFar;
    struct Case {
        const char* name;
        const std::vector<Peak>& track;
        std::uint32_t recording_shift;
        std::int64_t offset;  // of the recording's frame 0 in the track
    };
    const Case cases[] = {
        {"a recording near 2^32", track, kFar, 2000 - static_cast<std::int64_t>(kFar)},
        {"a track near 2^32", far_track, 0, 2000 + static_cast<std::int64_t>(kFar)},
        {"both near 2^32", far_track, kFar, 2000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryIndex index;
        index.Add(1, MakeLandmarks(c.track), 125 * 60, c.track);
        const Catalogue others(20, 125 * 60);
        std::vector<Peak> recording = Slice(track, 2000, 125 * 8, 0.9, 3);
        for (Peak& p : recording)
            p.frame += c.recording_shift;
        for (const bool with_peaks : {false, true}) {
            const MatchResult r = with_peaks ? Match(index, QueryLandmarks(recording, {}), recording)
                                             : Match(index, MakeLandmarks(recording));
            EXPECT_EQ(r.verdict, Verdict::Match) << r.score << " of " << r.threshold;
            EXPECT_EQ(r.track, 1u);
            EXPECT_NEAR(static_cast<double>(r.offset_frames), static_cast<double>(c.offset), 1.0);
        }
    }
}

// A hash with more postings than the bound votes nothing, and the votes of
// the rest stay within theirs, the commonest hashes left out first: a
// recording of a track is still found while the hash that every track
// holds at every frame (silence, a click) is left out.
TEST(Matching, VotesStayWithinTheirBoundsAndTheCommonestHashesGoFirst)
{
    constexpr std::uint32_t kCommon = 0x3fffff;
    MemoryIndex index;
    std::vector<std::vector<Peak>> tracks;
    for (std::uint32_t t = 0; t < 100; ++t) {
        tracks.push_back(RandomTrack(2000 + t, 125 * 40));
        std::vector<Landmark> landmarks = MakeLandmarks(tracks.back());
        for (std::uint32_t f = 0; f < 125 * 40; f += 25)
            landmarks.push_back({kCommon, f});
        index.Add(t, landmarks, 125 * 40, tracks.back());
    }
    const std::vector<Peak> recording = Slice(tracks[17], 1500, 125 * 10, 0.8, 17);
    std::vector<Landmark> query = MakeLandmarks(recording);
    const std::size_t own = query.size();
    for (std::uint32_t f = 0; f < 125 * 10; f += 5)
        query.push_back({kCommon, f});

    const auto bounded = [](std::uint32_t most_postings, std::uint64_t most_votes) {
        MatchOptions options;
        options.most_postings = most_postings;
        options.most_votes = most_votes;
        return options;
    };
    const MatchResult unbounded = Match(index, query, bounded(~0u, ~std::uint64_t{0}));
    ASSERT_EQ(unbounded.verdict, Verdict::Match);
    ASSERT_EQ(unbounded.track, 17u);
    EXPECT_EQ(unbounded.hashes_left_out, 0u);
    const std::uint64_t common_votes = 100u * (125 * 40 / 25) * (125 * 10 / 5);  // 5 000 000
    ASSERT_GT(unbounded.votes, common_votes);

    const struct {
        const char* name;
        std::uint32_t most_postings;
        std::uint64_t most_votes;
    } cases[] = {
        {"the common hash has too many postings", 10000, ~std::uint64_t{0}},
        {"the common hash's votes do not fit", ~0u, unbounded.votes - common_votes},
        {"a third of the recording's own votes", ~0u, (unbounded.votes - common_votes) / 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const MatchResult r = Match(index, query, bounded(c.most_postings, c.most_votes));
        EXPECT_LE(r.votes, c.most_votes);
        EXPECT_GE(r.hashes_left_out, 1u);
        EXPECT_GE(r.votes_left_out, common_votes);
        EXPECT_EQ(r.verdict, Verdict::Match) << r.score << " of " << r.threshold;
        EXPECT_EQ(r.track, 17u);
        EXPECT_NEAR(static_cast<double>(r.offset_frames), 1500.0, 1.0);
        EXPECT_LT(r.score, own);
    }
}

// A budget of votes far below the query's postings only chooses the
// candidates: one it lets through is scored from its own pairs, made again
// from its peaks, as if every hash had been looked up; without its peaks
// it keeps the score of the votes it had.
TEST(Matching, ACandidateLetThroughATightBudgetIsScoredInFull)
{
    MemoryIndex with_peaks;
    MemoryIndex without_peaks;
    std::vector<std::vector<Peak>> tracks;
    for (std::uint32_t t = 0; t < 60; ++t) {
        tracks.push_back(RandomTrack(3000 + t, 125 * 60));
        with_peaks.Add(t, MakeLandmarks(tracks.back()), 125 * 60, tracks.back());
        without_peaks.Add(t, MakeLandmarks(tracks.back()), 125 * 60);
    }
    const std::vector<Peak> recording = Slice(tracks[23], 2500, 125 * 10, 0.8, 23);
    const std::vector<Landmark> query = MakeLandmarks(recording);
    MatchOptions tight;
    const MatchResult full = Match(with_peaks, query, tight);
    ASSERT_EQ(full.verdict, Verdict::Match);
    ASSERT_EQ(full.hashes_left_out, 0u);
    tight.most_votes = full.votes / 8;

    const MatchResult rescored = Match(with_peaks, query, tight);
    EXPECT_GT(rescored.hashes_left_out, 0u);
    EXPECT_LE(rescored.votes, tight.most_votes);
    EXPECT_EQ(rescored.verdict, Verdict::Match);
    EXPECT_EQ(rescored.track, 23u);
    EXPECT_EQ(rescored.offset_frames, full.offset_frames);
    EXPECT_EQ(rescored.score, full.score);
    EXPECT_GE(rescored.threshold, full.threshold);  // chance reckoned on every vote

    const MatchResult votes_only = Match(without_peaks, query, tight);
    EXPECT_EQ(votes_only.track, 23u);
    EXPECT_LT(votes_only.score, full.score);
}

// A budget leaves the commonest hashes out first; a track that shares the
// recording with the best candidate but only through those hashes (another
// version of the same music, say) casts no vote then. The hashes the best
// shares with the recording are looked up again in full: the rival is
// found, scored from its peaks, and stands as the runner-up, so that the
// best is not claimed for want of a competitor.
TEST(Matching, ARivalThatOnlyCommonHashesFindIsStillTheRunnerUp)
{
    const std::vector<Peak> track = RandomTrack(4000, 125 * 60);
    const std::vector<Peak> recording = Slice(track, 2500, 125 * 10, 1.0, 4);
    const std::vector<Landmark> query = MakeLandmarks(recording);
    std::set<std::uint32_t> common;
    for (std::size_t i = 0; i < query.size(); i += 2)
        common.insert(query[i].hash);
    std::vector<Landmark> rival_landmarks;  // the recording's common pairs only, where the track has them
    for (const Landmark& l : MakeLandmarks(track)) {
        if (common.contains(l.hash))
            rival_landmarks.push_back(l);
    }

    const auto catalogue = [&](bool with_rival, MemoryIndex& index) {
        index.Add(0, MakeLandmarks(track), 125 * 60, track);
        if (with_rival)
            index.Add(1, rival_landmarks, 125 * 60, track);
        for (std::uint32_t d = 2; d < 42; ++d) {  // decoys that make the common hashes common
            std::vector<Landmark> decoy;
            std::uint32_t frame = 0;
            for (const std::uint32_t h : common)
                decoy.push_back({h, frame += 97});
            std::sort(decoy.begin(), decoy.end(),
                      [](const Landmark& a, const Landmark& b) { return a.frame < b.frame; });
            index.Add(d, decoy, frame + 1, RandomTrack(5000 + d, 125 * 60));
        }
    };
    MemoryIndex alone;
    MemoryIndex with_rival;
    catalogue(false, alone);
    catalogue(true, with_rival);
    MatchOptions tight;
    tight.min_score = 5;
    tight.most_votes = query.size() * 2;  // the rare hashes' votes, not the common ones'

    const MatchResult without = Match(alone, query, tight);
    ASSERT_GT(without.hashes_left_out, 0u);
    EXPECT_EQ(without.verdict, Verdict::Match);
    EXPECT_EQ(without.track, 0u);

    const MatchResult r = Match(with_rival, query, tight);
    ASSERT_GT(r.hashes_left_out, 0u);
    EXPECT_EQ(r.verdict, Verdict::NoMatch);
    EXPECT_EQ(r.score, without.score);
    EXPECT_EQ(r.runner_up, r.score);  // the rival's peaks are the track's
}

// The lookup within bounds that an index without one of its own gets (two
// lookups: counts, then postings) leaves out what a store's own does.
TEST(Matching, TheDefaultBoundedLookupLeavesOutWhatAStoresDoes)
{
    MemoryIndex index;
    const auto store = MakeMemoryStore();
    std::mt19937 random(5);
    for (std::uint32_t t = 1; t <= 60; ++t) {
        std::vector<Landmark> landmarks;
        for (std::uint32_t hash = 0; hash < 300; ++hash) {
            if (random() % 300 < 300 - hash)  // low hashes common, high ones rare
                landmarks.push_back({hash, t * 10 + hash % 7});
        }
        index.Add(t, landmarks, 1000);
        TrackInfo info;
        info.content = std::to_string(t);
        ASSERT_EQ(store->Add(info, landmarks).id, t);
    }
    std::vector<std::uint32_t> hashes;
    std::vector<std::uint32_t> weights;
    for (std::uint32_t hash = 0; hash < 320; hash += 1 + random() % 3) {
        hashes.push_back(hash);
        weights.push_back(1 + random() % 4);
    }
    using Visits = std::vector<std::pair<std::uint32_t, std::vector<Posting>>>;
    const auto look = [&](const LandmarkIndex& on, const LookupBounds& bounds, LookupLeftOut& left_out) {
        Visits visits;
        left_out = on.LookupWithin(hashes, weights, bounds, [&](std::uint32_t hash, std::span<const Posting> postings) {
            visits.emplace_back(hash, std::vector<Posting>(postings.begin(), postings.end()));
        });
        return visits;
    };
    for (int round = 0; round < 40; ++round) {
        const LookupBounds bounds{static_cast<std::uint32_t>(random() % 70), random() % 20000};
        SCOPED_TRACE(::testing::Message() << bounds.most_postings << " postings, " << bounds.most_votes << " votes");
        LookupLeftOut by_default;
        LookupLeftOut by_store;
        EXPECT_EQ(look(index, bounds, by_default), look(*store, bounds, by_store));
        EXPECT_EQ(by_default.hashes, by_store.hashes);
        EXPECT_EQ(by_default.votes, by_store.votes);
    }
}

// The buffers a thread keeps between queries are given back after a query
// that grew them past a few tens of megabytes: the memory in use after it
// is no more than before it.
TEST(Matching, AThreadGivesBackTheBuffersALargeQueryGrew)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' allocators do not report the memory in use";
#else
    MemoryIndex index;
    std::vector<Landmark> landmarks;
    for (std::uint32_t f = 0; f < 400; ++f)
        landmarks.push_back({77, f * 3});
    for (std::uint32_t t = 0; t < 8; ++t)
        index.Add(t, landmarks, 1200);
    std::vector<Landmark> query;
    for (std::uint32_t f = 0; f < 1200; ++f)
        query.push_back({77, f});  // 1200 x 3200 votes
    const auto in_use = [] {
        const struct mallinfo2 info = ::mallinfo2();
        return info.uordblks + info.hblkhd;
    };
    Match(index, std::vector<Landmark>{{77, 0}});
    const std::size_t before = in_use();
    const MatchResult r = Match(index, query);
    ASSERT_EQ(r.votes, 1200u * 3200u);
    EXPECT_LE(in_use(), before + (std::size_t{1} << 20));
#endif
}

TEST(Matching, TheThresholdGrowsWithTheCatalogue)
{
    // The same hit density over more cells needs a higher score.
    EXPECT_LT(PoissonThreshold(0.01, 1e5, 1e-6), PoissonThreshold(0.01, 1e9, 1e-6));
    EXPECT_EQ(PoissonThreshold(0.0, 1e9, 1e-6), 1u);
}

}  // namespace
}  // namespace vxt::matcher
