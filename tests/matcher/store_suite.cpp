// What every store must do alike: keep a track and its postings whole,
// never twice, in order; forget them wholly; survive being reopened; and
// lead matching to the same answer as the index in memory.
#include "store_suite.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <thread>

#include "memory_index.h"
#include "vextune/matcher/Matcher.h"

namespace vxt::matcher::testing {
namespace {

TrackInfo Info(std::string title, std::string content, std::uint32_t frames = 1000)
{
    TrackInfo info;
    info.title = std::move(title);
    info.artist = "Ünïcode \"quoted\" artist";
    info.source = "/music/" + info.title + ".ogg";
    info.content = std::move(content);
    info.frames = frames;
    return info;
}

// Landmarks of a synthetic track: count of them over a small hash range, so
// that tracks share hashes.
std::vector<Landmark> Landmarks(std::uint32_t seed, std::size_t count, std::uint32_t frames = 1000)
{
    std::mt19937 random(seed);
    std::vector<Landmark> out;
    for (std::size_t i = 0; i < count; ++i)
        out.push_back({static_cast<std::uint32_t>(random() % 512), static_cast<std::uint32_t>(random() % frames)});
    return out;
}

// Every posting of the store under the hashes 0..max_hash, by hash.
std::map<std::uint32_t, std::vector<Posting>> Everything(const Store& store, std::uint32_t max_hash = 1 << 21)
{
    std::vector<std::uint32_t> hashes(max_hash);
    for (std::uint32_t h = 0; h < max_hash; ++h)
        hashes[h] = h;
    std::map<std::uint32_t, std::vector<Posting>> all;
    store.Lookup(hashes, [&](std::uint32_t hash, std::span<const Posting> postings) {
        EXPECT_FALSE(all.contains(hash)) << "hash " << hash << " visited twice";
        EXPECT_FALSE(postings.empty());
        all[hash].assign(postings.begin(), postings.end());
    });
    return all;
}

// What the store should hold: the landmarks of each track as postings, one
// each per (hash, track, frame), in (track, frame) order.
std::map<std::uint32_t, std::vector<Posting>>
Expected(const std::vector<std::pair<std::uint32_t, std::vector<Landmark>>>& tracks)
{
    std::map<std::uint32_t, std::vector<Posting>> all;
    for (const auto& [id, landmarks] : tracks) {
        for (const Landmark& l : landmarks)
            all[l.hash].push_back({id, l.frame});
    }
    for (auto& [hash, list] : all) {
        std::sort(list.begin(), list.end());
        list.erase(std::unique(list.begin(), list.end()), list.end());
    }
    return all;
}

TEST_P(StoreSuite, AnEmptyStoreHoldsNothing)
{
    EXPECT_TRUE(store->Tracks().empty());
    EXPECT_EQ(store->Totals().tracks, 0u);
    EXPECT_EQ(store->Totals().postings, 0u);
    EXPECT_EQ(store->IndexedFrames(), 0u);
    EXPECT_FALSE(store->Track(1));
    EXPECT_FALSE(store->TrackWithContent("00"));
    EXPECT_TRUE(Everything(*store, 1024).empty());
    EXPECT_FALSE(store->Remove(1));
}

TEST_P(StoreSuite, KeepsTracksAndTheirPostingsInOrder)
{
    std::vector<Landmark> first = Landmarks(1, 3000);
    first.push_back(first.front());  // the same landmark twice is one posting
    const std::vector<Landmark> second = Landmarks(2, 2000, 500);

    const Store::Added a = store->Add(Info("first", "aa01", 1000), first);
    const Store::Added b = store->Add(Info("second", "bb02", 500), second);
    ASSERT_TRUE(a.added && b.added);
    if (GetParam().ids_in_order) {
        EXPECT_EQ(a.id, 1u);
        EXPECT_EQ(b.id, 2u);
    }

    const auto expected = Expected({{a.id, first}, {b.id, second}});
    EXPECT_EQ(Everything(*store, 1024), expected);
    // A lookup of some hashes visits only those, in order.
    std::vector<std::uint32_t> some = {3, 77, 200, 511, 600000};
    std::vector<std::uint32_t> visited;
    store->Lookup(some, [&](std::uint32_t hash, std::span<const Posting> postings) {
        visited.push_back(hash);
        EXPECT_EQ(std::vector<Posting>(postings.begin(), postings.end()), expected.at(hash));
    });
    std::vector<std::uint32_t> present;
    for (const std::uint32_t h : some) {
        if (expected.contains(h))
            present.push_back(h);
    }
    EXPECT_EQ(visited, present);

    std::uint64_t postings = 0;
    for (const auto& [hash, list] : expected)
        postings += list.size();
    const std::optional<TrackInfo> got = store->Track(a.id);
    ASSERT_TRUE(got);
    TrackInfo want = Info("first", "aa01", 1000);
    want.id = a.id;
    for (const auto& [hash, list] : Expected({{a.id, first}}))
        want.postings += list.size();
    EXPECT_EQ(*got, want);
    EXPECT_EQ(store->TrackWithContent("bb02")->id, b.id);
    EXPECT_EQ(store->Tracks().size(), 2u);
    EXPECT_EQ(store->Tracks()[a.id < b.id ? 0 : 1], want);

    const StoreTotals totals = store->Totals();
    EXPECT_EQ(totals.tracks, 2u);
    EXPECT_EQ(totals.postings, postings);
    EXPECT_EQ(totals.frames, 1500u);
    EXPECT_EQ(store->IndexedFrames(), 1500u);
}

// A bounded lookup leaves out the hashes with too many postings, unread,
// and the commonest of the rest while their votes (postings times weight)
// pass the bound, the higher hash first of equal ones; it visits the rest
// as Lookup does and says what it left out.
TEST_P(StoreSuite, ABoundedLookupLeavesOutTheCommonestHashes)
{
    // Hash h has count[h] postings, one in each of the first count[h] tracks.
    const std::map<std::uint32_t, std::uint32_t> count = {{10, 1}, {11, 2},  {12, 3}, {13, 5},
                                                          {14, 8}, {15, 13}, {16, 5}, {20, 40}};
    std::vector<std::pair<std::uint32_t, std::vector<Landmark>>> tracks;
    for (std::uint32_t t = 1; t <= 40; ++t) {
        std::vector<Landmark> landmarks;
        for (const auto& [hash, n] : count) {
            if (t <= n)
                landmarks.push_back({hash, hash * 7 + t});
        }
        const Store::Added added = store->Add(Info(Numbered("t", t), Numbered("c", t)), landmarks);
        ASSERT_TRUE(added.added);
        tracks.emplace_back(added.id, landmarks);
    }
    const auto expected = Expected(tracks);
    const std::vector<std::uint32_t> hashes = {5, 10, 11, 12, 13, 14, 15, 16, 20, 21};
    const std::vector<std::uint32_t> weights = {1, 3, 1, 2, 1, 1, 1, 1, 2, 1};
    // Votes by hash: 10: 3, 11: 2, 12: 6, 13: 5, 16: 5, 14: 8, 15: 13, 20: 80.
    const struct {
        const char* name;
        LookupBounds bounds;
        std::vector<std::uint32_t> visited;
        LookupLeftOut left_out;
    } cases[] = {
        {"unbounded", {}, {10, 11, 12, 13, 14, 15, 16, 20}, {0, 0}},
        {"ten postings a hash", {.most_postings = 10}, {10, 11, 12, 13, 14, 16}, {2, 13 + 80}},
        {"just enough votes", {.most_votes = 122}, {10, 11, 12, 13, 14, 15, 16, 20}, {0, 0}},
        {"21 votes", {.most_votes = 21}, {10, 11, 12, 13, 16}, {3, 8 + 13 + 80}},
        {"20 votes", {.most_votes = 20}, {10, 11, 12, 13}, {4, 5 + 8 + 13 + 80}},
        {"both", {.most_postings = 4, .most_votes = 10}, {10, 11}, {6, 6 + 5 + 5 + 8 + 13 + 80}},
        {"none", {.most_postings = 0}, {}, {8, 122}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint32_t> visited;
        const LookupLeftOut left_out =
            store->LookupWithin(hashes, weights, c.bounds, [&](std::uint32_t hash, std::span<const Posting> postings) {
                visited.push_back(hash);
                EXPECT_EQ(std::vector<Posting>(postings.begin(), postings.end()), expected.at(hash)) << hash;
            });
        EXPECT_EQ(visited, c.visited);
        EXPECT_EQ(left_out.hashes, c.left_out.hashes);
        EXPECT_EQ(left_out.votes, c.left_out.votes);
    }
}

TEST_P(StoreSuite, TheSameContentIsAddedOnce)
{
    const Store::Added a = store->Add(Info("song", "c0ffee"), Landmarks(3, 500));
    const auto before = Everything(*store, 1024);
    const Store::Added again = store->Add(Info("song under another name", "c0ffee"), Landmarks(4, 500));
    EXPECT_FALSE(again.added);
    EXPECT_EQ(again.id, a.id);
    EXPECT_EQ(Everything(*store, 1024), before);
    EXPECT_EQ(store->Tracks().size(), 1u);
    EXPECT_EQ(store->Track(a.id)->title, "song");
}

TEST_P(StoreSuite, RemovingATrackLeavesTheOthersWhole)
{
    const std::vector<Landmark> first = Landmarks(5, 2000);
    const std::vector<Landmark> second = Landmarks(6, 2000);
    const std::uint32_t a = store->Add(Info("first", "01"), first).id;
    const std::uint32_t b = store->Add(Info("second", "02"), second).id;

    EXPECT_TRUE(store->Remove(a));
    EXPECT_FALSE(store->Remove(a));
    EXPECT_FALSE(store->Track(a));
    EXPECT_FALSE(store->TrackWithContent("01"));
    EXPECT_EQ(Everything(*store, 1024), Expected({{b, second}}));
    EXPECT_EQ(store->Totals().tracks, 1u);
    EXPECT_EQ(store->IndexedFrames(), 1000u);

    // Ids are never reused, and the removed content may come back.
    const Store::Added back = store->Add(Info("first again", "01"), first);
    EXPECT_TRUE(back.added);
    EXPECT_GT(back.id, b);
    EXPECT_EQ(Everything(*store, 1024), Expected({{b, second}, {back.id, first}}));
}

TEST_P(StoreSuite, OutlivesItsHandle)
{
    if (!GetParam().reopen)
        GTEST_SKIP() << "lives in memory only";
    const std::vector<Landmark> landmarks = Landmarks(7, 4000);
    const std::uint32_t id = store->Add(Info("kept", "0a"), landmarks).id;
    const auto before = Everything(*store, 1024);
    const std::vector<TrackInfo> tracks = store->Tracks();

    Reopen(OpenMode::ReadOnly);
    EXPECT_EQ(Everything(*store, 1024), before);
    EXPECT_EQ(store->Tracks(), tracks);
    EXPECT_EQ(store->IndexedFrames(), 1000u);
    // A read-only store refuses to change.
    EXPECT_THROW(store->Add(Info("new", "0b"), landmarks), StoreError);
    EXPECT_THROW(store->Remove(id), StoreError);

    Reopen(OpenMode::ReadWrite);
    const std::uint32_t added = store->Add(Info("new", "0b"), landmarks).id;
    EXPECT_NE(added, id);
    if (GetParam().ids_in_order) {
        EXPECT_GT(added, id);
    }
}

// A track's peaks come back by windows of frames, in time order whatever
// order they were given in, across stored blocks, and go with the track.
TEST_P(StoreSuite, KeepsEachTracksPeaksByWindow)
{
    std::mt19937 random(11);
    std::vector<Peak> peaks;
    for (std::uint32_t i = 0; i < 5000; ++i)
        peaks.push_back({i * 8 + static_cast<std::uint32_t>(random() % 8), static_cast<std::uint16_t>(random())});
    std::vector<Peak> shuffled = peaks;
    std::shuffle(shuffled.begin(), shuffled.end(), random);
    const std::uint32_t a = store->Add(Info("with peaks", "p1", 40000), Landmarks(8, 100), shuffled).id;
    const std::uint32_t b = store->Add(Info("without", "p2"), Landmarks(9, 100)).id;

    const auto between = [&](std::uint32_t from, std::uint32_t to) {
        std::vector<Peak> in;
        for (const Peak& p : peaks) {
            if (p.frame >= from && p.frame < to)
                in.push_back(p);
        }
        return in;
    };
    const auto same = [](const std::vector<Peak>& x, const std::vector<Peak>& y) {
        return std::equal(x.begin(), x.end(), y.begin(), y.end(), [](const Peak& p, const Peak& q) {
            return p.frame == q.frame && p.frequency == q.frequency;
        });
    };
    const std::vector<PeakWindow> windows = {
        {a, 0, 40000}, {a, 2040, 2060}, {a, 4000, 10000}, {a, 100, 100},       {a, 39990, 90000},
        {b, 0, 40000}, {999, 0, 40000}, {a, 0, 1},        {a, 0, 0xffffffffu},
    };
    const auto check = [&] {
        const std::vector<std::vector<Peak>> got = store->TrackPeaks(windows);
        ASSERT_EQ(got.size(), windows.size());
        for (std::size_t i = 0; i < windows.size(); ++i) {
            const std::vector<Peak> want =
                windows[i].track == a ? between(windows[i].from, windows[i].to) : std::vector<Peak>{};
            EXPECT_TRUE(same(got[i], want))
                << "window " << i << ": " << got[i].size() << " peaks, " << want.size() << " wanted";
        }
    };
    check();
    if (GetParam().reopen) {
        Reopen(OpenMode::ReadOnly);
        check();
        Reopen(OpenMode::ReadWrite);
    }
    EXPECT_TRUE(store->Remove(a));
    for (const std::vector<Peak>& list : store->TrackPeaks(windows))
        EXPECT_TRUE(list.empty());
}

// Matching through a store gives what matching through the index in memory
// gives: the store keeps every posting that counts.
TEST_P(StoreSuite, MatchesAsTheIndexInMemory)
{
    MemoryIndex reference;
    std::vector<std::vector<Landmark>> tracks;
    for (std::uint32_t t = 0; t < 20; ++t) {
        std::mt19937 random(100 + t);
        std::vector<Landmark> landmarks;
        for (std::uint32_t i = 0; i < 6000; ++i)
            landmarks.push_back(
                {static_cast<std::uint32_t>(random() % (1 << 21)), static_cast<std::uint32_t>(random() % 3750)});
        const std::uint32_t id = store->Add(Info(Numbered("t", t), Numbered("c", t), 3750), landmarks).id;
        std::sort(landmarks.begin(), landmarks.end(), [](const Landmark& x, const Landmark& y) {
            return x.hash != y.hash ? x.hash < y.hash : x.frame < y.frame;
        });
        landmarks.erase(std::unique(landmarks.begin(), landmarks.end()), landmarks.end());
        reference.Add(id, landmarks, 3750);
        tracks.push_back(landmarks);
    }
    // A query: 200 landmarks of track 7 from frame 1000 on, re-timed from 0.
    std::vector<Landmark> query;
    for (const Landmark& l : tracks[7]) {
        if (l.frame >= 1000 && l.frame < 1400)
            query.push_back({l.hash, l.frame - 1000});
    }
    const MatchResult want = Match(reference, query);
    const MatchResult got = Match(*store, query);
    EXPECT_EQ(got.verdict, Verdict::Match);
    EXPECT_EQ(got.track, want.track);
    EXPECT_EQ(got.track, store->TrackWithContent(Numbered("c", 7))->id);
    EXPECT_EQ(got.offset_frames, 1000);
    EXPECT_EQ(got.score, want.score);
    EXPECT_EQ(got.threshold, want.threshold);
}

// Readers running beside a writer see each track wholly or not at all.
TEST_P(StoreSuite, ReadersSeeWholeTracks)
{
    constexpr std::uint32_t kTracks = 30;
    constexpr std::uint32_t kHash = 9;  // every landmark of every track
    std::atomic<bool> done = false;
    std::atomic<int> bad = 0;
    std::vector<std::jthread> readers;
    for (int r = 0; r < 2; ++r) {
        readers.emplace_back([&] {
            while (!done) {
                const std::uint32_t hash = kHash;
                store->Lookup(std::span(&hash, 1), [&](std::uint32_t, std::span<const Posting> postings) {
                    std::map<std::uint32_t, int> per_track;
                    for (const Posting& p : postings)
                        ++per_track[p.track];
                    for (const auto& [track, n] : per_track) {
                        if (n != 100)
                            ++bad;
                    }
                });
            }
        });
    }
    for (std::uint32_t t = 0; t < kTracks; ++t) {
        std::vector<Landmark> landmarks;
        for (std::uint32_t f = 0; f < 100; ++f)
            landmarks.push_back({kHash, f});
        store->Add(Info(Numbered("t", t), Numbered("d", t), 100), landmarks);
    }
    done = true;
    readers.clear();
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(store->Totals().postings, 100u * kTracks);
}

// The postings the landmarks of one track make, as a store keeps them.
std::uint64_t PostingsOf(const std::vector<Landmark>& landmarks)
{
    std::uint64_t count = 0;
    for (const auto& [hash, list] : Expected({{1, landmarks}}))
        count += list.size();
    return count;
}

// Peaks as a signature leaves them: time order, a few a frame at most.
std::vector<Peak> SomePeaks(std::uint32_t seed, std::size_t count)
{
    std::mt19937 random(seed);
    std::vector<Peak> peaks;
    std::uint32_t frame = 0;
    for (std::size_t i = 0; i < count; ++i) {
        frame += random() % 6;
        peaks.push_back({frame, static_cast<std::uint16_t>(64 * (16 + random() % 200) + random() % 64)});
    }
    return peaks;
}

// Postings made from the stored peaks take the place of those made
// otherwise; a track without peaks is named and keeps none; the totals
// follow; the format recorded is the landmarks'; run again, it changes
// nothing.
TEST_P(StoreSuite, ReindexMakesPostingsAgainFromStoredPeaks)
{
    EXPECT_EQ(store->IndexFormat(), LandmarkFormat());
    const LandmarkOptions older{.fan_out = 3, .max_frame_step = 31, .max_bin_step = 32};
    const std::vector<Peak> peaks_a = SomePeaks(1, 400);
    const std::vector<Peak> peaks_c = SomePeaks(3, 300);
    const std::uint32_t a = store->Add(Info("a", "ra"), MakeLandmarks(peaks_a, older), peaks_a).id;
    const std::uint32_t b = store->Add(Info("b", "rb"), Landmarks(2, 300)).id;
    const std::uint32_t c = store->Add(Info("c", "rc"), MakeLandmarks(peaks_c, older), peaks_c).id;
    store->SetIndexFormat(LandmarkFormat(older));
    EXPECT_EQ(store->IndexFormat(), LandmarkFormat(older));

    const std::map<std::uint32_t, std::vector<Posting>> expected =
        Expected({{a, MakeLandmarks(peaks_a)}, {c, MakeLandmarks(peaks_c)}});
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        const ReindexReport report = ReindexStore(*store);
        EXPECT_EQ(report.tracks, 3u);
        EXPECT_EQ(report.without_peaks, std::vector<std::uint32_t>{b});
        EXPECT_EQ(store->IndexFormat(), LandmarkFormat());
        EXPECT_EQ(Everything(*store), expected);
        const std::uint64_t kept_a = PostingsOf(MakeLandmarks(peaks_a));
        const std::uint64_t kept_c = PostingsOf(MakeLandmarks(peaks_c));
        EXPECT_EQ(store->Track(a)->postings, kept_a);
        EXPECT_EQ(store->Track(b)->postings, 0u);
        EXPECT_EQ(report.postings, kept_a + kept_c);
        EXPECT_EQ(store->Totals().postings, kept_a + kept_c);
        EXPECT_EQ(store->Totals().tracks, 3u);
        EXPECT_EQ(store->Track(c)->title, "c");
    }
    EXPECT_FALSE(store->ReplacePostings(999, MakeLandmarks(peaks_a)));
    if (GetParam().reopen) {
        Reopen(OpenMode::ReadOnly);
        EXPECT_EQ(store->IndexFormat(), LandmarkFormat());
        EXPECT_EQ(Everything(*store), expected);
    }
}

// Many tracks under one hash, in the middle of whose postings one track's
// are made again, and others then removed and added.
TEST_P(StoreSuite, ReplacingPostingsAmidOthersKeepsEveryHashInOrder)
{
    std::vector<std::pair<std::uint32_t, std::vector<Landmark>>> tracks;
    for (std::uint32_t t = 0; t < 300; ++t) {
        std::vector<Landmark> landmarks = {{7, t}, {7, t + 5000}, {8, 2147483647u}, {9 + t % 3, 1}};
        tracks.emplace_back(store->Add(Info(Numbered("t", t), Numbered("m", t)), landmarks).id, landmarks);
    }
    const std::vector<Landmark> again = {{7, 1}, {7, 2}, {7, 3}, {6, 0}, {100, 9}};
    auto& middle = tracks[150];
    ASSERT_TRUE(store->ReplacePostings(middle.first, again));
    middle.second = again;
    EXPECT_EQ(Everything(*store), Expected(tracks));
    for (std::size_t i = 0; i < tracks.size(); i += 7)
        ASSERT_TRUE(store->Remove(tracks[i].first));
    std::erase_if(tracks, [&](const auto& t) { return !store->Track(t.first); });
    const std::vector<Landmark> late = {{7, 0}, {8, 0}};
    tracks.emplace_back(store->Add(Info("late", "late"), late).id, late);
    EXPECT_EQ(Everything(*store), Expected(tracks));
    std::uint64_t postings = 0;
    for (const auto& [id, landmarks] : tracks)
        postings += PostingsOf(landmarks);
    EXPECT_EQ(store->Totals().postings, postings);
}

}  // namespace
}  // namespace vxt::matcher::testing
