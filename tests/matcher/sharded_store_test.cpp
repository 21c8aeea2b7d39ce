// A catalogue over three PostgreSQL shards: it answers as one index holding
// every track would, the tally next to the data answers as the matcher's
// own, tracks spread and are found on their shard, shards are checked
// against their place, and a shard that fails or does not answer fails the
// lookup. Runs inside scripts/pg-session: with --servers 3 (VXT_PG_URIS)
// the shards are three servers, else three databases of the one server.
#include <pqxx/pqxx>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <random>
#include <sstream>

#include "memory_index.h"
#include "store_suite.h"
#include "vextune/matcher/Matcher.h"

namespace vxt::matcher::testing {
namespace {

std::string Uri()
{
    const char* uri = std::getenv("VXT_PG_URI");
    return uri ? uri : "";
}

std::vector<std::string> Words(const char* text)
{
    std::vector<std::string> words;
    std::istringstream in(text ? text : "");
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

// The URI of another database of the server of `uri` (made when missing).
std::string OtherDatabase(const std::string& uri, const std::string& name)
{
    pqxx::connection connection(uri);
    pqxx::nontransaction tx(connection);
    if (tx.exec_params("SELECT 1 FROM pg_database WHERE datname = $1", name).empty())
        tx.exec("CREATE DATABASE " + tx.quote_name(name));
    const std::size_t slash = uri.find("///");
    const std::size_t query = uri.find('?');
    return uri.substr(0, slash + 3) + name + uri.substr(query);
}

// Servers of their own when the session has three, else databases.
bool OwnServers()
{
    return Words(std::getenv("VXT_PG_URIS")).size() >= 3;
}

std::vector<std::string> ShardUris()
{
    static const std::vector<std::string> uris = [] {
        std::vector<std::string> words = Words(std::getenv("VXT_PG_URIS"));
        if (words.size() >= 3) {
            words.resize(3);
            return words;
        }
        return std::vector<std::string>{OtherDatabase(Uri(), "shard_a"), OtherDatabase(Uri(), "shard_b"),
                                        OtherDatabase(Uri(), "shard_c")};
    }();
    return uris;
}

// A database of one store holding every track, beside the shards.
std::string SingleUri()
{
    static const std::string uri = OtherDatabase(Uri(), "single_store");
    return uri;
}

pqxx::result Admin(const std::string& uri, const std::string& sql)
{
    pqxx::connection connection(uri);
    pqxx::nontransaction tx(connection);
    tx.exec("SET client_min_messages = warning");
    return tx.exec(sql);
}

void Clear(const std::string& uri)
{
    Admin(uri, "DROP SCHEMA IF EXISTS public CASCADE; CREATE SCHEMA public");
}

std::unique_ptr<Store> FreshShards(const StoreOptions& options = {})
{
    for (const std::string& uri : ShardUris())
        Clear(uri);
    return OpenStores(ShardUris(), OpenMode::ReadWrite, options);
}

INSTANTIATE_TEST_SUITE_P(Sharded, StoreSuite,
                         ::testing::Values(StoreKind{"Sharded", [] { return FreshShards(); },
                                                     [](OpenMode mode) { return OpenStores(ShardUris(), mode); },
                                                     false}),
                         KindName);

// Everything but the tally of the index it wraps: the matcher tallies
// what it looks up itself.
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

// A synthetic catalogue: each track's peaks at random over a narrow band
// (so that hashes are shared by several tracks and runner-ups are not 0),
// its landmarks made from them.
struct SyntheticCatalogue {
    struct Track {
        TrackInfo info;
        std::vector<Peak> peaks;
        std::vector<Landmark> landmarks;
    };
    std::vector<Track> tracks;

    explicit SyntheticCatalogue(std::uint32_t count, std::uint32_t frames = 2500)
    {
        std::mt19937 random(7);
        for (std::uint32_t t = 0; t < count; ++t) {
            Track track;
            track.info = SyntheticTrack("synthetic-" + std::to_string(t), frames);
            for (std::uint32_t f = 0; f < frames; ++f) {
                if (random() % 4 == 0)
                    track.peaks.push_back({f, static_cast<std::uint16_t>(64 * 40 + random() % (64 * 48))});
            }
            track.landmarks = MakeLandmarks(track.peaks);
            tracks.push_back(std::move(track));
        }
    }

    // A recording of `frames` frames of the track from `from`, timed from
    // 0, with a share of its peaks lost and as many made up.
    std::vector<Peak> Recording(std::size_t track, std::uint32_t from, std::uint32_t frames, std::uint32_t seed) const
    {
        std::mt19937 random(seed);
        std::vector<Peak> peaks;
        for (const Peak& p : tracks[track].peaks) {
            if (p.frame >= from && p.frame < from + frames && random() % 10 >= 3)
                peaks.push_back({p.frame - from, p.frequency});
        }
        for (std::uint32_t i = 0; i < frames / 12; ++i)
            peaks.push_back(
                {static_cast<std::uint32_t>(random() % frames), static_cast<std::uint16_t>(64 * 40 + random() % 3072)});
        return InTimeOrderForTest(peaks);
    }

    static std::vector<Peak> InTimeOrderForTest(std::vector<Peak> peaks)
    {
        std::stable_sort(peaks.begin(), peaks.end(), [](const Peak& a, const Peak& b) { return a.frame < b.frame; });
        return peaks;
    }
};

struct Query {
    std::string name;
    std::vector<Peak> peaks;
    std::vector<Landmark> landmarks;
    std::optional<std::size_t> track;  // the catalogue's track it was recorded from
};

std::vector<Query> Queries(const SyntheticCatalogue& catalogue)
{
    std::vector<Query> queries;
    const auto add = [&](std::string name, std::vector<Peak> peaks, std::optional<std::size_t> track) {
        // A narrow tolerance: fewer hashes to look up, the same work.
        std::vector<Landmark> landmarks = QueryLandmarks(peaks, QueryTolerance{.frames = 1, .bin_edge = 8});
        queries.push_back({std::move(name), std::move(peaks), std::move(landmarks), track});
    };
    for (const std::size_t t : {0u, 5u, 11u, 17u, 23u})
        if (t < catalogue.tracks.size())
            add("track " + std::to_string(t),
                catalogue.Recording(t, 300 + 40 * static_cast<std::uint32_t>(t), 1250, 99), t);
    add("short", catalogue.Recording(8, 100, 90, 5), 8);
    std::mt19937 random(3);
    std::vector<Peak> noise;
    for (std::uint32_t f = 0; f < 1250; ++f) {
        if (random() % 4 == 0)
            noise.push_back({f, static_cast<std::uint16_t>(64 * 40 + random() % (64 * 48))});
    }
    add("noise", noise, std::nullopt);
    return queries;
}

std::vector<MatchOptions> OptionSets()
{
    MatchOptions tight;  // bounds that leave hashes out, both ways
    tight.most_postings = 6;
    tight.most_votes = 4000;
    MatchOptions unbounded;
    unbounded.most_postings = std::numeric_limits<std::uint32_t>::max();
    unbounded.most_votes = std::numeric_limits<std::uint64_t>::max();
    return {MatchOptions{}, tight, unbounded};
}

std::string Shown(const MatchResult& r)
{
    std::ostringstream out;
    out << "verdict " << (r.verdict == Verdict::Match ? "match" : "none") << " track " << r.track << " offset "
        << r.offset_frames << " score " << r.score << " runner-up " << r.runner_up << " threshold " << r.threshold
        << " chance " << r.chance << " peaks " << r.peaks << "/" << r.peaks_runner_up << "/" << r.peaks_threshold
        << (r.on_peaks ? " on peaks" : "") << " votes " << r.votes << " left out " << r.hashes_left_out << "/"
        << r.votes_left_out;
    return out.str();
}

void ExpectSame(const MatchResult& got, const MatchResult& want, const std::string& what)
{
    EXPECT_EQ(Shown(got), Shown(want)) << what;
}

class ShardedStoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const std::string& uri : ShardUris())
            Clear(uri);
        Clear(SingleUri());
    }
};

// Each query, with each set of bounds, answers alike from the three shards
// (their tallies, and their postings tallied here) and from one index
// holding every track under the same ids; and from one PostgreSQL store,
// by its tally and by its postings.
TEST_F(ShardedStoreTest, AnswersAsOneIndexOfEveryTrack)
{
    const SyntheticCatalogue catalogue(36);
    auto sharded = OpenStores(ShardUris(), OpenMode::ReadWrite);
    auto single = OpenPostgresStore(SingleUri(), OpenMode::ReadWrite);
    MemoryIndex all;
    std::vector<std::uint32_t> ids;
    for (const auto& t : catalogue.tracks) {
        const Store::Added added = sharded->Add(t.info, t.landmarks, t.peaks);
        ASSERT_TRUE(added.added);
        ids.push_back(added.id);
        std::vector<Landmark> distinct = t.landmarks;
        std::sort(distinct.begin(), distinct.end(), [](const Landmark& a, const Landmark& b) {
            return a.hash != b.hash ? a.hash < b.hash : a.frame < b.frame;
        });
        distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
        all.Add(added.id, distinct, t.info.frames, t.peaks);
        single->Add(t.info, t.landmarks, t.peaks);
    }
    ASSERT_EQ(sharded->IndexedFrames(), all.IndexedFrames());

    int matched = 0;
    int left_out = 0;
    int peak_checked = 0;
    for (const MatchOptions& options : OptionSets()) {
        for (const Query& q : Queries(catalogue)) {
            const std::string what = q.name + ", most postings " + std::to_string(options.most_postings);
            const MatchResult want = Match(all, q.landmarks, q.peaks, options);
            ExpectSame(Match(*sharded, q.landmarks, q.peaks, options), want, what + ", sharded, tallied there");
            ExpectSame(Match(LocalTally(*sharded), q.landmarks, q.peaks, options), want,
                       what + ", sharded, tallied here");
            ExpectSame(Match(*single, q.landmarks, q.peaks, options),
                       Match(LocalTally(*single), q.landmarks, q.peaks, options), what + ", one store");
            if (want.verdict == Verdict::Match && q.track && want.track == ids[*q.track])
                ++matched;
            left_out += want.hashes_left_out > 0 ? 1 : 0;
            peak_checked += want.peaks > 0 ? 1 : 0;
        }
    }
    // The cases are not empty: recordings found, bounds that bit, and the
    // peaks checked (on the shards that own the candidates).
    EXPECT_GE(matched, 12);
    EXPECT_GT(left_out, 0);
    EXPECT_GT(peak_checked, 0);
}

// The tally's parts, from the store's own: the best candidates' cells and
// votes as the matcher counts them from the postings.
TEST_F(ShardedStoreTest, TallyCountsVotesNearEachCell)
{
    auto store = OpenPostgresStore(SingleUri(), OpenMode::ReadWrite);
    // Track one: hashes 1..4 at frames 100..103; track two: hash 1 at
    // frames 10, 11, 12 (votes a frame apart count together), hash 9.
    const std::uint32_t one =
        store->Add(SyntheticTrack("one"), std::vector<Landmark>{{1, 100}, {2, 101}, {3, 102}, {4, 103}}).id;
    const std::uint32_t two =
        store->Add(SyntheticTrack("two"), std::vector<Landmark>{{1, 10}, {1, 11}, {1, 12}, {9, 500}}).id;
    // The query: hashes 1..4 at frames 0..3, hash 1 again at 50, hash 9.
    const std::vector<Landmark> query{{1, 0}, {2, 1}, {3, 2}, {4, 3}, {1, 50}, {9, 0}};
    const std::optional<VoteTally> tally = store->TallyVotes(query, LookupBounds{});
    ASSERT_TRUE(tally);
    // Hash 1's four postings vote twice each; hashes 2, 3, 4 and 9 once.
    EXPECT_EQ(tally->hits, 12u);
    ASSERT_EQ(tally->candidates.size(), 2u);
    // Track one at offset 100: four votes of four hashes. Track two has
    // three votes of one hash around offset 11 and as many around -39 (from
    // query frame 50): of equal cells the lowest offset.
    EXPECT_EQ(tally->candidates[0], (TallyCandidate{one, 100, 4, 4}));
    EXPECT_EQ(tally->candidates[1], (TallyCandidate{two, -39, 3, 1}));

    // Bounded: hash 1 (4 postings) over most_postings is left out, with the
    // 8 votes it would have brought.
    const std::optional<VoteTally> bounded = store->TallyVotes(query, LookupBounds{.most_postings = 3});
    ASSERT_TRUE(bounded);
    EXPECT_EQ(bounded->left_out.hashes, 1u);
    EXPECT_EQ(bounded->left_out.votes, 8u);
    EXPECT_EQ(bounded->hits, 4u);
    ASSERT_EQ(bounded->candidates.size(), 2u);
    EXPECT_EQ(bounded->candidates[0], (TallyCandidate{one, 100, 3, 3}));
    EXPECT_EQ(bounded->candidates[1], (TallyCandidate{two, 500, 1, 1}));

    const std::optional<VoteTally> none = store->TallyVotes({}, LookupBounds{});
    ASSERT_TRUE(none);
    EXPECT_EQ(none->hits, 0u);
    EXPECT_TRUE(none->candidates.empty());
}

// Tracks go to the shard their content names, spread over all three, under
// ids that name that shard; each is found, listed and removed there.
TEST_F(ShardedStoreTest, TracksSpreadAndAreFoundOnTheirShard)
{
    auto store = OpenStores(ShardUris(), OpenMode::ReadWrite);
    std::map<std::uint32_t, std::string> added;
    for (std::uint32_t t = 0; t < 60; ++t) {
        const std::string content = "spread-" + std::to_string(t);
        const Store::Added a = store->Add(SyntheticTrack(content), std::vector<Landmark>{{t, 1}, {t + 1, 2}});
        ASSERT_TRUE(a.added);
        added[a.id] = content;
        EXPECT_FALSE(store->Add(SyntheticTrack(content), std::vector<Landmark>{{t, 1}}).added);
    }
    for (std::size_t k = 0; k < 3; ++k) {
        const pqxx::result rows = Admin(ShardUris()[k], "SELECT id, content FROM tracks ORDER BY id");
        EXPECT_GE(rows.size(), 10u) << "shard " << k << " holds too few of 60 tracks";
        for (const auto& row : rows) {
            const auto id = row[0].as<std::uint32_t>();
            EXPECT_EQ((id - 1) % 3, k) << "track " << id << " on shard " << k;
            EXPECT_EQ(added[id], row[1].as<std::string>());
        }
    }
    const std::vector<TrackInfo> tracks = store->Tracks();
    ASSERT_EQ(tracks.size(), 60u);
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        EXPECT_EQ(tracks[i].content, added[tracks[i].id]);
        if (i > 0) {
            EXPECT_LT(tracks[i - 1].id, tracks[i].id);
        }
        EXPECT_EQ(store->Track(tracks[i].id)->content, tracks[i].content);
        EXPECT_EQ(store->TrackWithContent(tracks[i].content)->id, tracks[i].id);
    }
    EXPECT_EQ(store->Totals().tracks, 60u);
    EXPECT_EQ(store->Totals().postings, 120u);
    const std::uint32_t gone = tracks[7].id;
    EXPECT_TRUE(store->Remove(gone));
    EXPECT_FALSE(store->Remove(gone));
    EXPECT_FALSE(store->Track(gone));
    EXPECT_FALSE(store->Track(0));
    EXPECT_FALSE(store->Remove(0));
    EXPECT_EQ(store->Tracks().size(), 59u);
}

// Shards are opened in their places: in another order, too few or too
// many, or one of another catalogue, and they are refused; so is a
// catalogue with tracks of its own, and one never made a shard, read-only.
TEST_F(ShardedStoreTest, ShardsAreCheckedAgainstTheirPlace)
{
    const std::vector<std::string> uris = ShardUris();
    OpenStores(uris, OpenMode::ReadWrite)->Add(SyntheticTrack("x"), std::vector<Landmark>{{1, 1}});
    // Catalogue b: three shards of its own; and a plain catalogue.
    std::vector<std::string> b;
    for (const char* name : {"shard_b1", "shard_b2", "shard_b3"})
        b.push_back(OtherDatabase(uris[0], name));
    const std::string plain = OtherDatabase(uris[0], "shard_plain");
    for (const std::string& uri : b)
        Clear(uri);
    Clear(plain);
    OpenStores(b, OpenMode::ReadWrite);
    OpenPostgresStore(plain, OpenMode::ReadWrite)->Add(SyntheticTrack("y"), std::vector<Landmark>{{1, 1}});

    const struct {
        const char* name;
        std::vector<std::string> uris;
        OpenMode mode;
        const char* says;
    } cases[] = {
        {"swapped", {uris[1], uris[0], uris[2]}, OpenMode::ReadOnly, "is shard 2 of 3 of catalogue"},
        {"too few", {uris[0], uris[1]}, OpenMode::ReadOnly, "is shard 1 of 3 of catalogue"},
        {"too many", {uris[0], uris[1], uris[2], b[0]}, OpenMode::ReadWrite, "is shard 1 of 3 of catalogue"},
        {"another catalogue's", {uris[0], uris[1], b[2]}, OpenMode::ReadWrite, "is shard 3 of 3 of catalogue"},
        {"holding tracks", {plain, uris[1]}, OpenMode::ReadWrite, "holds tracks of its own"},
        {"never a shard", {plain, uris[1]}, OpenMode::ReadOnly, "is not a shard of a catalogue"},
        {"not PostgreSQL", {uris[0], "/tmp/music.db"}, OpenMode::ReadOnly, "is not a postgresql:// URI"},
    };
    for (const auto& c : cases) {
        try {
            OpenStores(c.uris, c.mode);
            ADD_FAILURE() << c.name << ": opened";
        } catch (const StoreError& e) {
            const std::string error = e.what();
            EXPECT_NE(error.find(c.says), std::string::npos) << c.name << ": " << error;
            if (std::string_view(c.name) == "another catalogue's") {
                EXPECT_NE(error.find("named here as shard 3 of 3 of catalogue"), std::string::npos) << error;
            }
        }
    }
    // The catalogue is as it was.
    const auto store = OpenStores(uris, OpenMode::ReadOnly);
    ASSERT_EQ(store->Tracks().size(), 1u);
    EXPECT_EQ(store->Tracks()[0].content, "x");
}

// A shard that does not answer (its tables locked by someone else) or is
// gone fails the lookup with its StoreError, within seconds; the others'
// answer alone is never given. Once it is back, lookups are answered.
TEST_F(ShardedStoreTest, AShardThatDoesNotAnswerFailsTheLookup)
{
    const SyntheticCatalogue catalogue(9);
    StoreOptions options;
    options.connect_timeout_ms = 2000;
    options.read_timeout_ms = 1000;
    auto store = FreshShards(options);
    for (const auto& t : catalogue.tracks)
        store->Add(t.info, t.landmarks, t.peaks);
    const Query q = Queries(catalogue)[0];
    const MatchResult before = Match(*store, q.landmarks, q.peaks);
    ASSERT_EQ(before.verdict, Verdict::Match);

    const auto fails_within = [&](int seconds, const std::string& says) {
        auto done = std::async(std::launch::async, [&]() -> std::string {
            try {
                Match(*store, q.landmarks, q.peaks);
                return "no error";
            } catch (const StoreError& e) {
                return e.what();
            }
        });
        ASSERT_EQ(done.wait_for(std::chrono::seconds(seconds)), std::future_status::ready)
            << "still waiting on the shard after " << seconds << " s";
        const std::string error = done.get();
        EXPECT_NE(error.find(says), std::string::npos) << error;
    };

    {
        pqxx::connection holder(ShardUris()[1]);
        pqxx::work lock(holder);
        lock.exec("LOCK TABLE postings IN ACCESS EXCLUSIVE MODE");
        // The server ends the statement, or the store gives up on it.
        fails_within(30, "PostgreSQL store at " + ShardUris()[1] + ": could not");
    }
    ExpectSame(Match(*store, q.landmarks, q.peaks), before, "the shard unlocked");

    if (const char* control = std::getenv("VXT_PG_CONTROL"); control && OwnServers()) {
        ASSERT_EQ(std::system((std::string(control) + " stop s1").c_str()), 0);
        fails_within(30, "PostgreSQL store at");
        ASSERT_EQ(std::system((std::string(control) + " start s1").c_str()), 0);
    } else {
        // The shard's database refuses connections, and those it had end.
        Admin(Uri(), "ALTER DATABASE shard_b ALLOW_CONNECTIONS false");
        Admin(Uri(), "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = 'shard_b'");
        fails_within(30, "PostgreSQL store at");
        Admin(Uri(), "ALTER DATABASE shard_b ALLOW_CONNECTIONS true");
    }
    ExpectSame(Match(*store, q.landmarks, q.peaks), before, "the shard back");
}

}  // namespace
}  // namespace vxt::matcher::testing

extern "C" const char* __lsan_default_suppressions()
{
    return "leak:pqxx::connection_base::exec_prepared\n";
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (vxt::matcher::testing::Uri().empty()) {
        std::fprintf(stderr, "sharded_store_tests: VXT_PG_URI is not set: run inside scripts/pg-session %s\n", argv[0]);
        return 1;
    }
    return RUN_ALL_TESTS();
}
