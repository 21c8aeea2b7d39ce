// The PostgreSQL store over a primary and its streaming replicas: reads on
// a replica, spread over them, moving on when one stops, writes only on the
// primary. Runs inside scripts/pg-session --replicas 2, which names the
// servers in VXT_PG_CLUSTER_URIS (primary first) and VXT_PG_REPLICA_URIS,
// and stops and starts them through VXT_PG_CONTROL.
#include <gtest/gtest.h>

#include <pqxx/pqxx>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <set>
#include <span>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "store_suite.h"
#include "vextune/matcher/Landmarks.h"
#include "vextune/matcher/Matcher.h"

namespace vxt::matcher::testing {
namespace {

std::string Env(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::vector<std::string> Words(const std::string& text)
{
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

std::string Primary()
{
    return Env("VXT_PG_URI");
}
std::string Cluster()
{
    const auto uris = Words(Env("VXT_PG_CLUSTER_URIS"));
    return uris.empty() ? "" : uris[0];
}
std::vector<std::string> Replicas()
{
    return Words(Env("VXT_PG_REPLICA_URIS"));
}

// Stops or starts a server of the session ("s0" the primary, "s0r1" its
// first replica); whatever is stopped is started again when this ends, so
// that every test begins with all of them up.
class Servers {
public:
    Servers() = default;
    Servers(const Servers&) = delete;
    Servers& operator=(const Servers&) = delete;
    ~Servers()
    {
        for (const std::string& name : std::set<std::string>(stopped_.begin(), stopped_.end()))
            Control("start", name);
    }
    void Stop(const std::string& name)
    {
        ASSERT_TRUE(Control("stop", name)) << "could not stop " << name;
        stopped_.push_back(name);
    }
    void Start(const std::string& name)
    {
        ASSERT_TRUE(Control("start", name)) << "could not start " << name;
        std::erase(stopped_, name);
    }

private:
    static bool Control(const char* what, const std::string& name)
    {
        const std::string command = "'" + Env("VXT_PG_CONTROL") + "' " + what + " " + name + " >/dev/null";
        return std::system(command.c_str()) == 0;
    }
    std::vector<std::string> stopped_;
};

// Waits (30 s at most) until every running replica has replayed all that
// the primary has committed so far. The session's primary commits without
// waiting for the disk: a commit may still be in its WAL buffers, before
// the position written, so the wait is for the position inserted.
void WaitForReplay(const std::vector<std::string>& replicas)
{
    pqxx::connection primary(Primary());
    const std::string lsn = pqxx::nontransaction(primary).exec1("SELECT pg_current_wal_insert_lsn()")[0].c_str();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (const std::string& uri : replicas) {
        pqxx::connection replica(uri);
        while (!pqxx::nontransaction(replica)
                    .exec1("SELECT pg_last_wal_replay_lsn() >= '" + lsn + "'::pg_lsn")[0]
                    .as<bool>()) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << uri << " has not replayed " << lsn << " in 30 s";
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
}

// The cluster's URI for a store whose sessions are known by name.
std::string Named(const std::string& application)
{
    return Cluster() + "&application_name=" + application;
}

// A server's sessions of the given name, other than the one asking.
int Sessions(const std::string& uri, const std::string& application)
{
    pqxx::connection connection(uri);
    return pqxx::nontransaction(connection)
        .exec1("SELECT count(*) FROM pg_stat_activity WHERE application_name = '" + application +
               "' AND pid <> pg_backend_pid()")[0]
        .as<int>();
}

// Peaks of a made-up track, about 36 a second.
std::vector<Peak> TrackPeaks(std::uint32_t seed, std::uint32_t frames)
{
    std::mt19937 random(seed);
    std::vector<Peak> peaks;
    for (std::uint32_t f = 0; f < frames; ++f) {
        if (random() % 100 < 29)
            peaks.push_back({f, static_cast<std::uint16_t>(2048 + random() % (28672 - 2048))});
    }
    return peaks;
}

// Frames [from, from + length) of a track, timed from 0: a clean recording.
std::vector<Peak> Heard(const std::vector<Peak>& track, std::uint32_t from, std::uint32_t length)
{
    std::vector<Peak> out;
    for (const Peak& p : track) {
        if (p.frame >= from && p.frame < from + length)
            out.push_back({p.frame - from, p.frequency});
    }
    return out;
}

// What a store said of itself, from any thread.
struct Said {
    std::mutex mutex;
    std::vector<std::string> lines;
    StoreOptions Options()
    {
        StoreOptions options;
        options.diagnostics = [this](const std::string& line) {
            std::lock_guard lock(mutex);
            lines.push_back(line);
        };
        return options;
    }
    int Saying(const std::string& words)
    {
        std::lock_guard lock(mutex);
        return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.find(words) != std::string::npos;
        }));
    }
};

class PostgresReplicaTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(Replicas().size(), 2u) << "these tests need scripts/pg-session --replicas 2";
        pqxx::connection admin(Primary());
        pqxx::nontransaction(admin).exec(
            "SET client_min_messages = warning; DROP SCHEMA IF EXISTS public CASCADE; CREATE SCHEMA public");
    }
};

// A track added through the store (on the primary) is recognised through
// it once the replicas have replayed it, and with the primary stopped: the
// lookup, the peaks and the track's record all came from a replica. A
// write then has nowhere to go, and says so.
TEST_F(PostgresReplicaTest, ATrackAddedOnThePrimaryIsRecognisedOnAReplica)
{
    auto store = OpenPostgresStore(Cluster(), OpenMode::ReadWrite);
    const std::vector<Peak> peaks = TrackPeaks(7, 125 * 60);
    const Store::Added added = store->Add(SyntheticTrack("replayed", 125 * 60), MakeLandmarks(peaks), peaks);
    ASSERT_TRUE(added.added);
    store->Add(SyntheticTrack("other", 125 * 60), MakeLandmarks(TrackPeaks(8, 125 * 60)));
    WaitForReplay(Replicas());

    Servers servers;
    servers.Stop("s0");
    const std::vector<Peak> heard = Heard(peaks, 2000, 125 * 8);
    const MatchResult result = Match(*store, MakeLandmarks(heard), heard);
    EXPECT_EQ(result.verdict, Verdict::Match) << result.score << " of " << result.threshold;
    EXPECT_EQ(result.track, added.id);
    EXPECT_NEAR(static_cast<double>(result.offset_frames), 2000.0, 1.0);
    const std::vector<PeakWindow> window = {{added.id, 2000, 3000}};
    EXPECT_EQ(store->TrackPeaks(window).at(0).size(), Heard(peaks, 2000, 1000).size());
    const auto track = store->Track(added.id);
    ASSERT_TRUE(track);
    EXPECT_EQ(track->content, "replayed");
    EXPECT_EQ(store->Totals().tracks, 2u);

    try {
        store->Add(SyntheticTrack("while the primary is down"), MakeLandmarks(TrackPeaks(9, 1000)));
        ADD_FAILURE() << "a track was added with the primary stopped";
    } catch (const StoreError& e) {
        EXPECT_NE(std::string(e.what()).find("found no server that takes writes"), std::string::npos) << e.what();
    }
    servers.Start("s0");
    EXPECT_TRUE(store->Add(SyntheticTrack("after"), MakeLandmarks(TrackPeaks(10, 1000))).added);
}

// Readers at once spread their connections over the replicas (a new
// connection goes to the one with fewest), and none reads on the primary
// while a replica answers.
TEST_F(PostgresReplicaTest, ReadersSpreadOverTheReplicas)
{
    auto store = OpenPostgresStore(Cluster(), OpenMode::ReadWrite);
    const std::vector<Peak> peaks = TrackPeaks(11, 125 * 20);
    const std::vector<Landmark> landmarks = MakeLandmarks(peaks);
    const std::uint32_t id = store->Add(SyntheticTrack("spread"), landmarks).id;
    WaitForReplay(Replicas());
    auto reader = OpenPostgresStore(Named("vxt_spread"), OpenMode::ReadOnly);
    const auto on = [](const std::string& uri) { return Sessions(uri, "vxt_spread"); };
    ASSERT_TRUE(reader->Track(id));
    EXPECT_EQ(on(Replicas()[0]) + on(Replicas()[1]), 1);

    std::vector<std::uint32_t> hashes;
    for (std::size_t i = 0; i < landmarks.size(); i += 7)
        hashes.push_back(landmarks[i].hash);
    int wrong = 0;
    for (int burst = 0; burst < 200 && on(Replicas()[0]) + on(Replicas()[1]) < 2; ++burst) {
        std::vector<std::jthread> readers;
        std::mutex mutex;
        for (int r = 0; r < 4; ++r)
            readers.emplace_back([&] {
                for (int i = 0; i < 5; ++i) {
                    std::set<std::uint32_t> tracks;
                    reader->Lookup(hashes, [&](std::uint32_t, std::span<const Posting> postings) {
                        for (const Posting& p : postings)
                            tracks.insert(p.track);
                    });
                    if (tracks != std::set<std::uint32_t>{id}) {
                        std::lock_guard lock(mutex);
                        ++wrong;
                    }
                }
            });
    }
    EXPECT_EQ(wrong, 0);
    ASSERT_GE(on(Replicas()[0]) + on(Replicas()[1]), 2) << "the readers never ran at once";
    EXPECT_GE(on(Replicas()[0]), 1);
    EXPECT_GE(on(Replicas()[1]), 1);
    EXPECT_EQ(on(Primary()), 0);
}

// A replica that stops: reads go on on the other one; with both stopped,
// on the primary, and the store says so. Once the replicas are back, a new
// store's reads are on them again.
TEST_F(PostgresReplicaTest, ReadsMoveOnWhenAReplicaStops)
{
    auto writer = OpenPostgresStore(Cluster(), OpenMode::ReadWrite);
    const std::vector<Landmark> landmarks = MakeLandmarks(TrackPeaks(12, 125 * 20));
    const std::uint32_t id = writer->Add(SyntheticTrack("moving"), landmarks).id;
    WaitForReplay(Replicas());
    Said said;
    auto reader = OpenPostgresStore(Named("vxt_moving"), OpenMode::ReadOnly, said.Options());
    const auto look = [&] {
        std::size_t postings = 0;
        reader->Lookup(std::vector<std::uint32_t>{landmarks[0].hash},
                       [&](std::uint32_t, std::span<const Posting> found) { postings += found.size(); });
        return postings;
    };
    const std::size_t want = look();
    ASSERT_GT(want, 0u);
    ASSERT_TRUE(reader->Track(id));

    Servers servers;
    servers.Stop("s0r1");
    EXPECT_EQ(look(), want);
    EXPECT_TRUE(reader->Track(id));
    EXPECT_EQ(Sessions(Replicas()[1], "vxt_moving"), 1) << "the reads did not move to the other replica";
    EXPECT_EQ(said.Saying("reading from the primary"), 0);

    servers.Stop("s0r2");
    EXPECT_EQ(look(), want);
    EXPECT_TRUE(reader->Track(id));
    EXPECT_GE(said.Saying("no replica answered: reading from the primary"), 1);

    servers.Start("s0r1");
    servers.Start("s0r2");
    WaitForReplay(Replicas());
    Said later_said;
    auto later = OpenPostgresStore(Named("vxt_later"), OpenMode::ReadOnly, later_said.Options());
    EXPECT_TRUE(later->Track(id));
    EXPECT_EQ(Sessions(Replicas()[0], "vxt_later") + Sessions(Replicas()[1], "vxt_later"), 1);
    EXPECT_EQ(later_said.Saying("reading from the primary"), 0);
}

// A store that may write, given only replicas, is refused when opened, with
// the reason; read-only, it reads the replica's copy.
TEST_F(PostgresReplicaTest, WritesGivenOnlyAReplicaFailClearly)
{
    OpenPostgresStore(Primary(), OpenMode::ReadWrite)->Add(SyntheticTrack("copied"), std::vector<Landmark>{});
    WaitForReplay(Replicas());
    const std::string replica = Replicas()[0];
    for (const std::string& uri : {replica, replica + "," + Replicas()[1].substr(Replicas()[1].find("host=") + 5)}) {
        try {
            OpenPostgresStore(uri, OpenMode::ReadWrite);
            ADD_FAILURE() << "opened " << uri << " for writes";
        } catch (const StoreError& e) {
            const std::string message = e.what();
            EXPECT_NE(message.find("found no server that takes writes"), std::string::npos) << message;
            EXPECT_NE(message.find("read-only"), std::string::npos) << message;
        }
    }
    auto reader = OpenPostgresStore(replica, OpenMode::ReadOnly);
    EXPECT_TRUE(reader->TrackWithContent("copied"));
    EXPECT_THROW(reader->Add(SyntheticTrack("refused"), std::vector<Landmark>{}), StoreError);
}

}  // namespace
}  // namespace vxt::matcher::testing

// LeakSanitizer: as in the store's own tests, a statement sent on a session
// the server has ended fails inside libpqxx, which loses libpq's result.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:pqxx::connection_base::exec_prepared\n";
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (vxt::matcher::testing::Cluster().empty() || vxt::matcher::testing::Env("VXT_PG_CONTROL").empty()) {
        std::fprintf(stderr,
                     "\npostgres_replica_tests: ******************************************************\n"
                     "postgres_replica_tests: VXT_PG_CLUSTER_URIS IS NOT SET: these tests need a primary\n"
                     "postgres_replica_tests: and replicas. Run them inside scripts/pg-session --replicas 2 %s\n"
                     "postgres_replica_tests: ******************************************************\n",
                     argv[0]);
        return 1;
    }
    return RUN_ALL_TESTS();
}
