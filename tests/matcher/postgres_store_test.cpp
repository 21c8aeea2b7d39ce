// The PostgreSQL store: the suite every store passes, and what only a
// shared catalogue has to get right (several handles on one catalogue, the
// schema's version, connections that go away). Runs inside
// scripts/pg-session, which starts a server and names its database in
// VXT_PG_URI; without it the binary fails rather than skipping.
#include <pqxx/pqxx>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "store_suite.h"

namespace vxt::matcher::testing {
namespace {

std::string Uri()
{
    const char* uri = std::getenv("VXT_PG_URI");
    return uri ? uri : "";
}

// Runs SQL on the test database beside the store.
pqxx::result Admin(const std::string& sql)
{
    pqxx::connection connection(Uri());
    pqxx::nontransaction tx(connection);
    tx.exec("SET client_min_messages = warning");
    return tx.exec(sql);
}

// An empty database: the store's tables, if any, dropped.
void Clear()
{
    Admin("DROP SCHEMA IF EXISTS public CASCADE; CREATE SCHEMA public");
}

std::unique_ptr<Store> Fresh()
{
    Clear();
    return OpenStore(Uri(), OpenMode::ReadWrite);
}

INSTANTIATE_TEST_SUITE_P(Postgres, StoreSuite,
                         ::testing::Values(StoreKind{"Postgres", Fresh,
                                                     [](OpenMode mode) { return OpenPostgresStore(Uri(), mode); }}),
                         KindName);

std::vector<Landmark> Landmarks(std::uint32_t first_hash, std::uint32_t count)
{
    std::vector<Landmark> out;
    for (std::uint32_t i = 0; i < count; ++i)
        out.push_back({first_hash + i % 50, i});
    return out;
}

// Every posting under the given hashes, by hash, in the order visited.
std::vector<std::pair<std::uint32_t, std::vector<Posting>>> Look(const Store& store, std::vector<std::uint32_t> hashes)
{
    std::vector<std::pair<std::uint32_t, std::vector<Posting>>> out;
    store.Lookup(hashes, [&](std::uint32_t hash, std::span<const Posting> postings) {
        out.emplace_back(hash, std::vector<Posting>(postings.begin(), postings.end()));
    });
    return out;
}

std::vector<std::uint32_t> Range(std::uint32_t first, std::uint32_t count)
{
    std::vector<std::uint32_t> out(count);
    for (std::uint32_t i = 0; i < count; ++i)
        out[i] = first + i;
    return out;
}

class PostgresStoreTest : public ::testing::Test {
protected:
    void SetUp() override { Clear(); }
};

TEST_F(PostgresStoreTest, TwoHandlesShareOneCatalogue)
{
    auto a = OpenPostgresStore(Uri(), OpenMode::ReadWrite);
    auto b = OpenPostgresStore(Uri(), OpenMode::ReadWrite);

    const Store::Added first = a->Add(SyntheticTrack("01", 500), Landmarks(100, 400));
    ASSERT_TRUE(first.added);
    EXPECT_EQ(a->IndexedFrames(), 500u);  // counted by a, and kept a while
    EXPECT_EQ(b->Track(first.id), a->Track(first.id));
    EXPECT_EQ(b->TrackWithContent("01")->id, first.id);
    EXPECT_EQ(Look(*b, Range(100, 50)), Look(*a, Range(100, 50)));
    EXPECT_EQ(Look(*b, Range(100, 50)).size(), 50u);

    // The same content through the other handle is the track already there.
    const Store::Added again = b->Add(SyntheticTrack("01", 500), Landmarks(300, 400));
    EXPECT_FALSE(again.added);
    EXPECT_EQ(again.id, first.id);
    EXPECT_TRUE(Look(*a, Range(300, 50)).empty());

    const Store::Added second = b->Add(SyntheticTrack("02", 700), Landmarks(120, 400));
    EXPECT_GT(second.id, first.id);
    EXPECT_EQ(a->Tracks(), b->Tracks());
    EXPECT_EQ(a->Totals().postings, 800u);
    auto reader = OpenPostgresStore(Uri(), OpenMode::ReadOnly);
    EXPECT_EQ(reader->Tracks(), a->Tracks());
    EXPECT_EQ(reader->IndexedFrames(), 1200u);
    EXPECT_THROW(reader->Add(SyntheticTrack("03"), Landmarks(0, 10)), StoreError);
    EXPECT_THROW(reader->Remove(first.id), StoreError);

    // a's count of indexed frames catches up with b's writes, a moment later.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (a->IndexedFrames() != 1200u && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(a->IndexedFrames(), 1200u);

    EXPECT_TRUE(b->Remove(first.id));
    EXPECT_FALSE(a->Remove(first.id));
    EXPECT_FALSE(a->Track(first.id));
    EXPECT_EQ(Look(*a, {100}), (std::vector<std::pair<std::uint32_t, std::vector<Posting>>>{}));
    EXPECT_EQ(reader->Totals().tracks, 1u);
}

// Several service instances adding the same file at once: one track, one id.
TEST_F(PostgresStoreTest, AddingOneContentAtOnceFromTwoHandlesMakesOneTrack)
{
    constexpr std::uint32_t kContents = 20;
    std::vector<std::unique_ptr<Store>> handles;
    handles.push_back(OpenPostgresStore(Uri(), OpenMode::ReadWrite));
    handles.push_back(OpenPostgresStore(Uri(), OpenMode::ReadWrite));
    std::vector<std::vector<Store::Added>> results(handles.size());
    {
        std::vector<std::jthread> writers;
        for (std::size_t h = 0; h < handles.size(); ++h) {
            writers.emplace_back([&, h] {
                for (std::uint32_t c = 0; c < kContents; ++c)
                    results[h].push_back(handles[h]->Add(SyntheticTrack(Numbered("c", c)), Landmarks(c * 64, 300)));
            });
        }
    }
    for (std::uint32_t c = 0; c < kContents; ++c) {
        EXPECT_EQ(results[0][c].id, results[1][c].id) << "content " << c;
        EXPECT_NE(results[0][c].added, results[1][c].added) << "content " << c;
    }
    const StoreTotals totals = handles[0]->Totals();
    EXPECT_EQ(totals.tracks, kContents);
    EXPECT_EQ(totals.postings, 300u * kContents);
}

TEST_F(PostgresStoreTest, ManyReadersShareOneHandle)
{
    auto store = OpenPostgresStore(Uri(), OpenMode::ReadWrite);
    for (std::uint32_t t = 0; t < 4; ++t)
        store->Add(SyntheticTrack(Numbered("r", t)), Landmarks(t * 10, 500));
    const auto want = Look(*store, Range(0, 100));
    const auto tracks = store->Tracks();
    std::atomic<int> wrong = 0;
    {
        std::vector<std::jthread> readers;
        for (int r = 0; r < 6; ++r) {
            readers.emplace_back([&] {
                for (int i = 0; i < 30; ++i) {
                    if (Look(*store, Range(0, 100)) != want || store->Tracks() != tracks)
                        ++wrong;
                }
            });
        }
    }
    EXPECT_EQ(wrong, 0);
}

// Hashes are uint32 and sort as such, past 2^31 as well.
TEST_F(PostgresStoreTest, KeepsHashesOfEveryUnsignedValueInOrder)
{
    auto store = OpenPostgresStore(Uri(), OpenMode::ReadWrite);
    const std::vector<Landmark> landmarks = {{0xffffffffu, 3}, {0x80000000u, 1}, {0x7fffffffu, 2},
                                             {0, 4},           {1u << 21, 5},    {0xffffffffu, 0}};
    const std::uint32_t id = store->Add(SyntheticTrack("wide"), landmarks).id;
    using Visited = std::vector<std::pair<std::uint32_t, std::vector<Posting>>>;
    const Visited want = {{0, {{id, 4}}},
                          {1u << 21, {{id, 5}}},
                          {0x7fffffffu, {{id, 2}}},
                          {0x80000000u, {{id, 1}}},
                          {0xffffffffu, {{id, 0}, {id, 3}}}};
    EXPECT_EQ(Look(*store, {0, 7, 1u << 21, 0x7fffffffu, 0x80000000u, 0xfffffffeu, 0xffffffffu}), want);

    // A frame past what the table keeps is refused, and nothing is added.
    EXPECT_THROW(store->Add(SyntheticTrack("long"), std::vector<Landmark>{{1, 0x80000000u}}), StoreError);
    EXPECT_FALSE(store->TrackWithContent("long"));
}

TEST_F(PostgresStoreTest, SchemaVersions)
{
    // Read-only on an empty database: refused, and nothing made.
    EXPECT_THROW(OpenPostgresStore(Uri(), OpenMode::ReadOnly), StoreError);
    EXPECT_TRUE(Admin("SELECT to_regclass('tracks') IS NULL")[0][0].as<bool>());

    // Made read-write; opened again, the tracks are still there.
    OpenPostgresStore(Uri(), OpenMode::ReadWrite)->Add(SyntheticTrack("kept"), Landmarks(0, 10));
    EXPECT_TRUE(OpenPostgresStore(Uri(), OpenMode::ReadWrite)->TrackWithContent("kept"));

    // A catalogue of version 1 (before tracks kept their peaks) is refused
    // read-only and brought up to date read-write, its tracks kept.
    Admin("DROP TABLE track_peaks; UPDATE vextune_schema SET version = 1");
    EXPECT_THROW(OpenPostgresStore(Uri(), OpenMode::ReadOnly), StoreError);
    const std::vector<Peak> peaks = {{10, 640}, {3000, 1280}};
    const std::uint32_t added =
        OpenPostgresStore(Uri(), OpenMode::ReadWrite)->Add(SyntheticTrack("new"), Landmarks(10, 10), peaks).id;
    const std::vector<PeakWindow> windows = {{added, 0, 4000}};
    EXPECT_EQ(OpenPostgresStore(Uri(), OpenMode::ReadOnly)->TrackPeaks(windows).at(0).size(), 2u);
    EXPECT_EQ(Admin("SELECT count(*) FROM tracks")[0][0].as<int>(), 2);

    // A catalogue of a newer program is left alone, in either mode.
    Admin("UPDATE vextune_schema SET version = version + 1");
    for (const OpenMode mode : {OpenMode::ReadOnly, OpenMode::ReadWrite}) {
        try {
            OpenPostgresStore(Uri(), mode);
            ADD_FAILURE() << "a newer schema was opened";
        } catch (const StoreError& e) {
            EXPECT_NE(std::string(e.what()).find("newer"), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(Admin("SELECT count(*) FROM tracks")[0][0].as<int>(), 2);
}

// A connection the server ended is replaced, and that is said: found
// closed when it is taken from the pool, or failing under the lookup
// (when the server's end of it had not yet come) and tried again.
TEST_F(PostgresStoreTest, ConnectionsEndedByTheServerAreReplaced)
{
    std::vector<std::string> said;
    auto store = OpenPostgresStore(Uri(), OpenMode::ReadWrite,
                                   {.diagnostics = [&said](const std::string& line) { said.push_back(line); }});
    const std::uint32_t id = store->Add(SyntheticTrack("x"), Landmarks(0, 100)).id;
    const auto before = Look(*store, Range(0, 50));
    EXPECT_TRUE(said.empty());
    Admin("SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
          "WHERE datname = current_database() AND pid <> pg_backend_pid()");
    EXPECT_EQ(Look(*store, Range(0, 50)), before);
    EXPECT_EQ(store->Track(id)->content, "x");
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find("look up postings"), std::string::npos) << said[0];
    EXPECT_NE(said[0].find("a new one"), std::string::npos) << said[0];
}

// A track removed through another handle while a lookup of it visits: the
// lookup sees the catalogue of its one statement (the track's postings
// under every hash), nothing breaks, and the next lookup, its peaks and
// its record no longer show the track.
TEST_F(PostgresStoreTest, ATrackRemovedWhileALookupRunsIsWhollyThereOrGone)
{
    auto writer = OpenPostgresStore(Uri(), OpenMode::ReadWrite);
    auto reader = OpenPostgresStore(Uri(), OpenMode::ReadOnly);
    const std::vector<Peak> peaks = {{5, 640}, {40, 1280}};
    const std::uint32_t gone = writer->Add(SyntheticTrack("gone"), Landmarks(0, 200), peaks).id;
    const std::uint32_t kept = writer->Add(SyntheticTrack("kept"), Landmarks(20, 200), peaks).id;
    const auto before = Look(*reader, Range(0, 70));
    ASSERT_EQ(before.size(), 70u);

    std::vector<std::pair<std::uint32_t, std::vector<Posting>>> seen;
    bool removed = false;
    reader->Lookup(Range(0, 70), [&](std::uint32_t hash, std::span<const Posting> postings) {
        if (!removed) {
            removed = true;
            EXPECT_TRUE(writer->Remove(gone));
        }
        seen.emplace_back(hash, std::vector<Posting>(postings.begin(), postings.end()));
    });
    ASSERT_TRUE(removed);
    EXPECT_EQ(seen, before);

    auto after = before;
    for (auto& [hash, list] : after)
        std::erase_if(list, [&](const Posting& p) { return p.track == gone; });
    std::erase_if(after, [](const auto& entry) { return entry.second.empty(); });
    EXPECT_EQ(Look(*reader, Range(0, 70)), after);
    EXPECT_FALSE(reader->Track(gone));
    const std::vector<PeakWindow> windows = {{gone, 0, 100}, {kept, 0, 100}};
    const auto got = reader->TrackPeaks(windows);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(got[0].empty());
    EXPECT_EQ(got[1].size(), 2u);
    EXPECT_EQ(reader->Totals().tracks, 1u);
}

// The server of the session, stopped (SIGSTOP: it takes connections and
// never answers) until Thaw or the end of the scope: its postmaster, named
// in the data folder's postmaster.pid, and every process it started.
class FrozenServer {
public:
    FrozenServer()
    {
        const char* folder = std::getenv("PGHOST");
        std::ifstream pid_file(std::string(folder ? folder : "") + "/data/postmaster.pid");
        pid_t postmaster = 0;
        if (!(pid_file >> postmaster) || postmaster <= 0)
            return;
        Stop(postmaster);
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            const std::string name = entry.path().filename().string();
            if (name.find_first_not_of("0123456789") != std::string::npos)
                continue;
            std::ifstream stat(entry.path() / "stat");
            std::string line;
            std::getline(stat, line);
            const std::size_t end = line.rfind(')');
            if (end == std::string::npos)
                continue;
            std::istringstream fields(line.substr(end + 1));
            std::string state;
            pid_t parent = 0;
            if (fields >> state >> parent && parent == postmaster)
                Stop(static_cast<pid_t>(std::stol(name)));
        }
    }
    ~FrozenServer() { Thaw(); }
    FrozenServer(const FrozenServer&) = delete;
    FrozenServer& operator=(const FrozenServer&) = delete;

    bool Frozen() const { return !stopped_.empty(); }
    void Thaw()
    {
        for (const pid_t pid : stopped_)
            ::kill(pid, SIGCONT);
        stopped_.clear();
    }

private:
    void Stop(pid_t pid)
    {
        if (::kill(pid, SIGSTOP) == 0)
            stopped_.push_back(pid);
    }

    std::vector<pid_t> stopped_;
};

// Calls call, which should fail with a StoreError saying `says`, within
// `seconds` (generous: a stopped server would hold it for ever); past them
// the server is let go on, so that the call returns and the test ends.
template <typename Call>
void ExpectGivenUpWithin(int seconds, FrozenServer& server, Call call, const std::string& says)
{
    auto done = std::async(std::launch::async, [&]() -> std::string {
        try {
            call();
            return "no error";
        } catch (const StoreError& e) {
            return e.what();
        }
    });
    if (done.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
        server.Thaw();
        ADD_FAILURE() << "still waiting on the stopped server after " << seconds << " s";
        done.wait();
        return;
    }
    const std::string error = done.get();
    EXPECT_NE(error.find(says), std::string::npos) << error;
}

// A server that stops answering (SIGSTOP) is given up on: a statement on a
// connection already made past the read time-out, a write past the write
// time-out (on the writers' own connection, made when the track before was
// added), a new connection past the connect time-out, each a StoreError.
// Once it goes on, the next request is answered on a new connection.
TEST_F(PostgresStoreTest, AStoppedServerIsGivenUpOnInTime)
{
    StoreOptions options;
    options.connect_timeout_ms = 2000;
    options.read_timeout_ms = 1000;
    options.write_timeout_ms = 1500;
    auto store = OpenPostgresStore(Uri(), OpenMode::ReadWrite, options);
    store->Add(SyntheticTrack("before"), Landmarks(0, 200));
    const auto before = Look(*store, Range(0, 50));
    ASSERT_EQ(before.size(), 50u);

    FrozenServer server;
    ASSERT_TRUE(server.Frozen()) << "the server's processes were not found (is PGHOST the session's folder?)";
    ExpectGivenUpWithin(
        60, server, [&] { Look(*store, Range(0, 50)); },
        "could not look up postings: the server did not answer within 1 s");
    ExpectGivenUpWithin(
        60, server, [&] { store->Add(SyntheticTrack("during"), Landmarks(300, 200)); },
        "could not add a track: the server did not answer within 1.5 s");
    ExpectGivenUpWithin(
        60, server, [&] { OpenPostgresStore(Uri(), OpenMode::ReadOnly, options); }, "could not connect within 2 s");
    server.Thaw();

    EXPECT_EQ(Look(*store, Range(0, 50)), before);
    EXPECT_TRUE(store->Add(SyntheticTrack("after"), Landmarks(300, 200)).added);
    EXPECT_FALSE(store->TrackWithContent("during"));
}

// Every connection ended at once (as a server restart ends them): the
// next request is answered, on a new connection, however many idle ones
// the pool held.
TEST_F(PostgresStoreTest, AfterEveryConnectionEndsTheNextRequestIsAnswered)
{
    std::vector<std::string> said;
    std::mutex said_lock;
    auto store = OpenPostgresStore(Uri(), OpenMode::ReadWrite, {.diagnostics = [&](const std::string& line) {
                                       std::lock_guard lock(said_lock);
                                       said.push_back(line);
                                   }});
    store->Add(SyntheticTrack("x"), Landmarks(0, 300));
    const auto before = Look(*store, Range(0, 50));
    // Readers at once, until the pool holds several connections.
    const auto sessions = [] {
        return Admin("SELECT count(*) FROM pg_stat_activity WHERE datname = current_database() "
                     "AND backend_type = 'client backend' AND pid <> pg_backend_pid()")[0][0]
            .as<int>();
    };
    for (int burst = 0; burst < 200 && sessions() < 3; ++burst) {
        std::vector<std::jthread> readers;
        for (int r = 0; r < 4; ++r)
            readers.emplace_back([&] {
                for (int i = 0; i < 5; ++i)
                    Look(*store, Range(0, 50));
            });
    }
    ASSERT_GE(sessions(), 3) << "the readers never ran at once";

    Admin("SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
          "WHERE datname = current_database() AND pid <> pg_backend_pid()");
    EXPECT_EQ(Look(*store, Range(0, 50)), before);
    EXPECT_EQ(store->Track(1)->content, "x");
    std::lock_guard lock(said_lock);
    ASSERT_FALSE(said.empty());
    for (const std::string& line : said)
        EXPECT_NE(line.find("a new one"), std::string::npos) << line;
}

TEST(PostgresStoreErrors, AServerThatIsNotThereIsAClearErrorWithoutThePassword)
{
    for (const std::string uri : {"postgresql://someone:s3cret@/vextune?host=/nonexistent-vxt-folder",
                                  "postgresql:///vextune?host=/nonexistent-vxt-folder&password=s3cret&user=someone"}) {
        try {
            OpenStore(uri, OpenMode::ReadOnly);
            ADD_FAILURE() << "opened " << uri;
        } catch (const StoreError& e) {
            const std::string message = e.what();
            EXPECT_EQ(message.find("s3cret"), std::string::npos) << message;
            EXPECT_NE(message.find("nonexistent-vxt-folder"), std::string::npos) << message;
            EXPECT_NE(message.find("***"), std::string::npos) << message;
        }
    }
}

}  // namespace
}  // namespace vxt::matcher::testing

// LeakSanitizer: when the server has ended a session, the statement sent on
// it fails inside libpqxx, which loses libpq's result of it (2 KB, once per
// such connection; the connection itself is closed and freed). So does
// the BEGIN of a transaction on a connection shut down under it (a write
// on a server that stopped answering), whose stack the unwinder loses
// inside libpqxx: hence libpq's allocation of the result. The store never
// holds a libpq result itself, only libpqxx's counted handles.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:pqxx::connection_base::exec_prepared\n"
           "leak:PQmakeEmptyPGresult\n";
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (vxt::matcher::testing::Uri().empty()) {
        std::fprintf(stderr,
                     "\npostgres_store_tests: ********************************************************\n"
                     "postgres_store_tests: VXT_PG_URI IS NOT SET: these tests need a PostgreSQL server.\n"
                     "postgres_store_tests: Run them inside one:  scripts/pg-session %s\n"
                     "postgres_store_tests: ********************************************************\n",
                     argv[0]);
        return 1;
    }
    return RUN_ALL_TESTS();
}
