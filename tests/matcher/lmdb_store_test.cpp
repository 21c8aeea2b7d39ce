// The LMDB store: the suite every store passes (also from a map so small
// that it grows all the time), and what only a store on disk must do: grow
// its map and say so, stay whole when its writer is killed, follow a map
// grown by another process, keep a lookup whole while a track is removed
// under it, load in bulk, weigh hashes by counts in memory that follow every
// writer, and refuse what it cannot read.
#include <lmdb.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <sstream>

#include "../full_disk.h"
#include "LmdbStore.h"
#include "StoreSupport.h"
#include "store_suite.h"

namespace vxt::matcher::testing {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kTinyMap = 64 << 10;

// Folders under one per-process root, removed when the tests end.
class Folders : public ::testing::Environment {
public:
    static fs::path Root()
    {
        static const fs::path root = fs::temp_directory_path() / ("vxt-lmdb-test-" + std::to_string(::getpid()));
        return root;
    }
    static std::string Fresh()
    {
        static int n = 0;
        const fs::path folder = Root() / std::to_string(++n);
        fs::remove_all(folder);
        return folder.string();
    }
    void TearDown() override { fs::remove_all(Root()); }
};
const auto* const folders = ::testing::AddGlobalTestEnvironment(new Folders);

StoreKind Kind(std::string name, LmdbOptions options)
{
    auto last = std::make_shared<std::string>();
    return StoreKind{std::move(name),
                     [last, options] {
                         *last = Folders::Fresh();
                         return OpenLmdbStore(*last, OpenMode::ReadWrite, options);
                     },
                     [last, options](OpenMode mode) { return OpenLmdbStore(*last, mode, options); }};
}

INSTANTIATE_TEST_SUITE_P(Lmdb, StoreSuite,
                         ::testing::Values(Kind("Default", {}), Kind("TinyMap", {.initial_map_bytes = kTinyMap}),
                                           Kind("CountsInDatabase", {.counts_in_memory = false})),
                         KindName);

// A synthetic track's landmarks over hashes below 4096, so tracks share them.
std::vector<Landmark> Landmarks(std::uint32_t seed, std::size_t count = 1500)
{
    std::mt19937 random(seed);
    std::vector<Landmark> out;
    for (std::size_t i = 0; i < count; ++i)
        out.push_back({static_cast<std::uint32_t>(random() % 4096), static_cast<std::uint32_t>(random() % 1000)});
    return out;
}

using Index = std::map<std::uint32_t, std::vector<Posting>>;

Index Everything(const Store& store)
{
    std::vector<std::uint32_t> hashes(4096);
    for (std::uint32_t h = 0; h < hashes.size(); ++h)
        hashes[h] = h;
    Index all;
    store.Lookup(hashes, [&](std::uint32_t hash, std::span<const Posting> postings) {
        all[hash].assign(postings.begin(), postings.end());
    });
    return all;
}

// Adds the landmarks of track id to an expected index, once per (hash, frame).
void Expect(Index& index, std::uint32_t id, const std::vector<Landmark>& landmarks)
{
    for (const Landmark& l : landmarks) {
        auto& list = index[l.hash];
        const Posting p{id, l.frame};
        const auto at = std::lower_bound(list.begin(), list.end(), p);
        if (at == list.end() || *at != p)
            list.insert(at, p);
    }
}

// Every listed track whole, nothing else indexed, and totals that add up.
void ExpectWhole(const Store& store, const std::function<std::vector<Landmark>(const TrackInfo&)>& landmarks_of)
{
    Index expected;
    StoreTotals sums;
    for (const TrackInfo& track : store.Tracks()) {
        Expect(expected, track.id, landmarks_of(track));
        sums.tracks += 1;
        sums.postings += track.postings;
        sums.frames += track.frames;
    }
    const Index got = Everything(store);
    EXPECT_EQ(got, expected);
    std::uint64_t indexed = 0;
    for (const auto& [hash, list] : got)
        indexed += list.size();
    const StoreTotals totals = store.Totals();
    EXPECT_EQ(totals.tracks, sums.tracks);
    EXPECT_EQ(totals.postings, sums.postings);
    EXPECT_EQ(totals.postings, indexed);
    EXPECT_EQ(totals.frames, sums.frames);
    EXPECT_EQ(store.IndexedFrames(), sums.frames);
}

// The tracks of the tests below have the content "t<seed>x<count>" of
// their landmarks.
std::string Content(std::uint32_t seed, std::size_t count = 1500)
{
    return "t" + std::to_string(seed) + "x" + std::to_string(count);
}

std::vector<Landmark> LandmarksOfContent(const TrackInfo& track)
{
    const std::size_t x = track.content.find('x');
    return Landmarks(static_cast<std::uint32_t>(std::stoul(track.content.substr(1, x - 1))),
                     std::stoul(track.content.substr(x + 1)));
}

TEST(LmdbStore, TheMapGrowsFromATinySizeAcrossAddsAndRemoves)
{
    const std::string folder = Folders::Fresh();
    std::vector<std::string> said;
    const auto say = [&said](const std::string& line) { said.push_back(line); };
    auto store = OpenLmdbStore(folder, OpenMode::ReadWrite, {.initial_map_bytes = kTinyMap, .diagnostics = say});
    for (std::uint32_t seed = 1; seed <= 40; ++seed)
        ASSERT_TRUE(store->Add(SyntheticTrack(Content(seed)), Landmarks(seed)).added);
    for (std::uint32_t id = 2; id <= 40; id += 3)
        ASSERT_TRUE(store->Remove(id));
    EXPECT_GT(store->Totals().bytes, kTinyMap);
    ExpectWhole(*store, LandmarksOfContent);

    // Each growth was said, with LMDB's reason and the sizes, doubling.
    ASSERT_FALSE(said.empty());
    std::uint64_t size = kTinyMap;
    for (const std::string& line : said) {
        SCOPED_TRACE(line);
        EXPECT_TRUE(line.starts_with(folder + ": ")) << line;
        EXPECT_NE(line.find(mdb_strerror(MDB_MAP_FULL)), std::string::npos);
        EXPECT_NE(line.find("grew the map, " + std::to_string(size) + " to " + std::to_string(2 * size) + " bytes"),
                  std::string::npos);
        size *= 2;
    }

    // Opened again with the tiny size asked for, it keeps the size it grew to.
    store.reset();
    store = OpenLmdbStore(folder, OpenMode::ReadWrite, {.initial_map_bytes = kTinyMap});
    ExpectWhole(*store, LandmarksOfContent);
    EXPECT_EQ(store->Add(SyntheticTrack(Content(41)), Landmarks(41)).id, 41u);
}

// A writer killed at any moment leaves whole tracks behind, and the store
// takes more afterwards.
TEST(LmdbStore, AWriterKilledMidwayLeavesWholeTracks)
{
    const std::string folder = Folders::Fresh();
    std::mt19937 random(2024);
    for (std::uint32_t round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        int pipe_ends[2];
        ASSERT_EQ(::pipe(pipe_ends), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(pipe_ends[0]);
            try {
                auto store = OpenLmdbStore(folder, OpenMode::ReadWrite, {.initial_map_bytes = kTinyMap});
                for (std::uint32_t seed = 1000 * (round + 1);; ++seed) {
                    store->Add(SyntheticTrack(Content(seed, 4000)), Landmarks(seed, 4000));
                    if (::write(pipe_ends[1], "+", 1) != 1)
                        ::_exit(1);
                }
            } catch (...) {
                ::_exit(1);
            }
        }
        ::close(pipe_ends[1]);
        const int adds = 2 + static_cast<int>(random() % 5);
        char c;
        for (int i = 0; i < adds; ++i)
            ASSERT_EQ(::read(pipe_ends[0], &c, 1), 1) << "the writer died on its own";
        ::usleep(static_cast<useconds_t>(random() % 20000));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ::close(pipe_ends[0]);
        ASSERT_TRUE(WIFSIGNALED(status));

        auto store = OpenLmdbStore(folder, OpenMode::ReadWrite, {});
        EXPECT_GE(store->Tracks().size(), static_cast<std::size_t>(adds));
        ExpectWhole(*store, LandmarksOfContent);
        const std::uint32_t last = store->Tracks().back().id;
        const Store::Added after = store->Add(SyntheticTrack(Content(99000 + round)), Landmarks(99000 + round));
        EXPECT_TRUE(after.added);
        EXPECT_GT(after.id, last);
        ExpectWhole(*store, LandmarksOfContent);
    }
}

// A reader killed with a read transaction open leaves its slot taken, and
// its snapshot would keep every page freed since from being used again. The
// store clears the slots of dead processes (on open and before each write),
// so that tracks removed and added reuse the pages freed: the data file
// stays as large as it was after a few rounds.
TEST(LmdbStore, AReaderKilledMidTransactionDoesNotMakeTheFileGrow)
{
    const std::string folder = Folders::Fresh();
    std::vector<std::string> said;
    auto store = OpenLmdbStore(folder, OpenMode::ReadWrite,
                               {.diagnostics = [&said](const std::string& line) { said.push_back(line); }});
    std::vector<std::uint32_t> ids;
    std::uint32_t seed = 1;
    for (; seed <= 4; ++seed)
        ids.push_back(store->Add(SyntheticTrack(Content(seed, 4000)), Landmarks(seed, 4000)).id);

    // Another process reads, and is killed while it does.
    int pipe_ends[2];
    ASSERT_EQ(::pipe(pipe_ends), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(pipe_ends[0]);
        MDB_env* env = nullptr;
        MDB_txn* txn = nullptr;
        if (mdb_env_create(&env) != 0 || mdb_env_set_maxdbs(env, 8) != 0 || mdb_env_set_maxreaders(env, 512) != 0 ||
            mdb_env_open(env, folder.c_str(), MDB_NOTLS, 0664) != 0 ||
            mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn) != 0 || ::write(pipe_ends[1], "r", 1) != 1)
            ::_exit(1);
        for (;;)
            ::pause();
    }
    ::close(pipe_ends[1]);
    char c = 0;
    ASSERT_EQ(::read(pipe_ends[0], &c, 1), 1) << "the reader did not begin its transaction";
    ::close(pipe_ends[0]);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));

    const auto file_bytes = [&] { return fs::file_size(fs::path(folder) / "data.mdb"); };
    const auto cycle = [&] {
        ASSERT_TRUE(store->Remove(ids.front()));
        ids.erase(ids.begin());
        ids.push_back(store->Add(SyntheticTrack(Content(seed, 4000)), Landmarks(seed, 4000)).id);
        ++seed;
    };
    for (int i = 0; i < 5; ++i)
        cycle();
    const std::uintmax_t settled = file_bytes();
    for (int i = 0; i < 30; ++i)
        cycle();
    EXPECT_LE(file_bytes(), settled + settled / 4) << "from " << settled << " bytes after 5 rounds";
    ExpectWhole(*store, LandmarksOfContent);
    ASSERT_FALSE(said.empty());
    EXPECT_EQ(said[0], folder + ": cleared 1 reader slot left by processes that ended while reading");
}

// Adding tracks to a disk that fills up: the add that does not fit fails
// with the folder named once and the cause said (LMDB's own word for a
// write cut short is "Input/output error"), and the tracks added before
// it are whole. The disk is a small tmpfs in a child's mount namespace;
// the child says what it saw through a pipe.
TEST(LmdbStore, AFullDiskIsSaidOnceAndLeavesTheTracksWhole)
{
    const std::string folder = Folders::Fresh();
    fs::create_directories(folder);
    int pipe_ends[2];
    ASSERT_EQ(::pipe(pipe_ends), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(pipe_ends[0]);
        if (!vxt::testing::MountSmallDisk(folder, 1 << 20))
            ::_exit(77);
        std::string report;
        try {
            const std::string db = folder + "/cat.db";
            std::uint32_t added = 0;
            try {
                auto store = OpenLmdbStore(db, OpenMode::ReadWrite);
                for (std::uint32_t seed = 1; seed <= 1000; ++seed, ++added)
                    store->Add(SyntheticTrack(Content(seed, 4000)), Landmarks(seed, 4000));
                report = "the disk never filled";
            } catch (const StoreError& e) {
                report = e.what();
            }
            auto store = OpenLmdbStore(db, OpenMode::ReadOnly);
            Index expected;
            for (const TrackInfo& track : store->Tracks())
                Expect(expected, track.id, LandmarksOfContent(track));
            report += "\n" + std::to_string(added) + " " + std::to_string(store->Tracks().size()) + " " +
                      (Everything(*store) == expected ? "1" : "0");
        } catch (const std::exception& e) {
            report += std::string("\nthen: ") + e.what();
        }
        const bool sent = ::write(pipe_ends[1], report.data(), report.size()) == static_cast<ssize_t>(report.size());
        ::_exit(sent ? 0 : 1);
    }
    ::close(pipe_ends[1]);
    std::string report;
    char buffer[512];
    for (ssize_t n; (n = ::read(pipe_ends[0], buffer, sizeof buffer)) > 0;)
        report.append(buffer, static_cast<std::size_t>(n));
    ::close(pipe_ends[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "no mount namespace to be had here for a small disk";
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const std::string db = folder + "/cat.db";
    const std::string first_line = report.substr(0, report.find('\n'));
    EXPECT_EQ(first_line, db + ": committing: no space left on the device");
    std::istringstream counts(report.substr(report.find('\n') + 1));
    int added = -1, there = -1, whole = -1;
    counts >> added >> there >> whole;
    EXPECT_GT(added, 0) << report;
    EXPECT_EQ(there, added) << report;
    EXPECT_EQ(whole, 1) << report;
}

// A reader opened before another process grows the map far past its own
// follows it (the service reading while the catalogue is added to).
TEST(LmdbStore, AReaderFollowsTheMapAnotherProcessGrew)
{
    const std::string folder = Folders::Fresh();
    OpenLmdbStore(folder, OpenMode::ReadWrite, {.initial_map_bytes = kTinyMap})
        ->Add(SyntheticTrack(Content(1)), Landmarks(1));
    std::vector<std::string> said;
    const auto say = [&said](const std::string& line) { said.push_back(line); };
    auto reader = OpenLmdbStore(folder, OpenMode::ReadOnly, {.initial_map_bytes = kTinyMap, .diagnostics = say});
    ASSERT_EQ(reader->Tracks().size(), 1u);

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        try {
            auto writer = OpenLmdbStore(folder, OpenMode::ReadWrite, {.initial_map_bytes = kTinyMap});
            for (std::uint32_t seed = 2; seed <= 30; ++seed)
                writer->Add(SyntheticTrack(Content(seed, 4000)), Landmarks(seed, 4000));
        } catch (...) {
            ::_exit(1);
        }
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    EXPECT_EQ(reader->Tracks().size(), 30u);
    EXPECT_GT(reader->Totals().bytes, 4 * kTinyMap);
    ExpectWhole(*reader, LandmarksOfContent);
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find("took the map size another process set"), std::string::npos) << said[0];
}

// A track removed while a lookup of it runs: the lookup sees the catalogue
// as it was when it began (every hash with the track's postings, all of
// them), nothing breaks, and the next lookup no longer finds the track.
// The removal comes from another process's handle, or from this handle
// while the lookup visits.
TEST(LmdbStore, ATrackRemovedWhileALookupRunsIsWhollyThereOrGone)
{
    for (const bool other_process : {true, false}) {
        SCOPED_TRACE(other_process ? "another process" : "this handle");
        const std::string folder = Folders::Fresh();
        auto store = OpenLmdbStore(folder, OpenMode::ReadWrite);
        const std::uint32_t gone = store->Add(SyntheticTrack(Content(1)), Landmarks(1)).id;
        const std::uint32_t kept = store->Add(SyntheticTrack(Content(2)), Landmarks(2)).id;
        const Index before = Everything(*store);

        std::vector<std::uint32_t> hashes(4096);
        for (std::uint32_t h = 0; h < hashes.size(); ++h)
            hashes[h] = h;
        Index seen;
        bool removed = false;
        store->Lookup(hashes, [&](std::uint32_t hash, std::span<const Posting> postings) {
            if (!removed) {
                removed = true;
                if (other_process) {
                    const pid_t child = ::fork();
                    ASSERT_GE(child, 0);
                    if (child == 0) {
                        try {
                            ::_exit(OpenLmdbStore(folder, OpenMode::ReadWrite)->Remove(gone) ? 0 : 2);
                        } catch (...) {
                            ::_exit(1);
                        }
                    }
                    int status = 0;
                    ::waitpid(child, &status, 0);
                    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
                } else {
                    ASSERT_TRUE(store->Remove(gone));
                }
            }
            seen[hash].assign(postings.begin(), postings.end());
        });
        ASSERT_TRUE(removed);
        EXPECT_EQ(seen, before);

        EXPECT_FALSE(store->Track(gone));
        Index after = before;
        for (auto& [hash, list] : after)
            std::erase_if(list, [&](const Posting& p) { return p.track == gone; });
        std::erase_if(after, [](const auto& entry) { return entry.second.empty(); });
        EXPECT_EQ(Everything(*store), after);
        EXPECT_TRUE(store->Track(kept));
        ExpectWhole(*store, LandmarksOfContent);
    }
}

// Tracks loaded in bulk are the tracks added one by one.
TEST(LmdbStore, ALoadedCatalogueIsTheCatalogueAdded)
{
    const LmdbOptions options{.initial_map_bytes = kTinyMap};
    const std::string added_folder = Folders::Fresh();
    const std::string loaded_folder = Folders::Fresh();
    auto added = OpenLmdbStore(added_folder, OpenMode::ReadWrite, options);
    Index index;
    {
        LmdbLoader loader(loaded_folder, options);
        for (std::uint32_t seed = 1; seed <= 12; ++seed) {
            const std::uint32_t id = loader.AddTrack(SyntheticTrack(Content(seed), 900 + seed));
            EXPECT_EQ(added->Add(SyntheticTrack(Content(seed), 900 + seed), Landmarks(seed)).id, id);
            Expect(index, id, Landmarks(seed));
        }
        for (const auto& [hash, postings] : index)
            loader.AddPostings(hash, postings);
        EXPECT_THROW(loader.AddPostings(0, index.begin()->second), StoreError);
        loader.Finish();
    }
    auto loaded = OpenLmdbStore(loaded_folder, OpenMode::ReadWrite, options);
    EXPECT_EQ(loaded->Tracks(), added->Tracks());
    EXPECT_EQ(Everything(*loaded), index);
    ExpectWhole(*loaded, LandmarksOfContent);

    EXPECT_TRUE(loaded->Remove(5));
    EXPECT_EQ(loaded->Add(SyntheticTrack(Content(13)), Landmarks(13)).id, 13u);
    EXPECT_FALSE(loaded->Add(SyntheticTrack(Content(3)), Landmarks(3)).added);
    ExpectWhole(*loaded, LandmarksOfContent);
}

// Rewrites a word of a store's meta record: the schema version at 0, the
// format flags at 4. as_version_1 also takes away what version 2 added,
// the track_peaks database.
void SetMetaWord(const std::string& folder, std::size_t offset, std::uint32_t value, bool as_version_1 = false)
{
    MDB_env* env = nullptr;
    ASSERT_EQ(mdb_env_create(&env), 0);
    mdb_env_set_maxdbs(env, 8);
    ASSERT_EQ(mdb_env_open(env, folder.c_str(), 0, 0664), 0);
    MDB_txn* txn = nullptr;
    MDB_dbi dbi = 0;
    ASSERT_EQ(mdb_txn_begin(env, nullptr, 0, &txn), 0);
    ASSERT_EQ(mdb_dbi_open(txn, "meta", 0, &dbi), 0);
    char key_text[] = "meta";
    MDB_val key{4, key_text};
    MDB_val data;
    ASSERT_EQ(mdb_get(txn, dbi, &key, &data), 0);
    std::string record(static_cast<const char*>(data.mv_data), data.mv_size);
    ASSERT_LE(offset + sizeof value, record.size());
    std::memcpy(record.data() + offset, &value, sizeof value);
    MDB_val changed{record.size(), record.data()};
    ASSERT_EQ(mdb_put(txn, dbi, &key, &changed, 0), 0);
    if (as_version_1) {
        MDB_dbi peaks = 0;
        ASSERT_EQ(mdb_dbi_open(txn, "track_peaks", 0, &peaks), 0);
        ASSERT_EQ(mdb_drop(txn, peaks, 1), 0);
    }
    ASSERT_EQ(mdb_txn_commit(txn), 0);
    mdb_env_close(env);
}

// A catalogue of the unpacked layout (version 2: one 8-byte duplicate a
// posting; version 1 also without track_peaks), written as that layout was,
// with the tracks of seeds 1..tracks and peaks for the even ones.
void WriteUnpackedCatalogue(const std::string& folder, std::uint32_t version, std::uint32_t tracks)
{
    fs::create_directories(folder);
    MDB_env* env = nullptr;
    ASSERT_EQ(mdb_env_create(&env), 0);
    mdb_env_set_maxdbs(env, 8);
    mdb_env_set_mapsize(env, std::size_t{64} << 20);
    ASSERT_EQ(mdb_env_open(env, folder.c_str(), 0, 0664), 0);
    MDB_txn* txn = nullptr;
    ASSERT_EQ(mdb_txn_begin(env, nullptr, 0, &txn), 0);
    MDB_dbi meta = 0, postings = 0, track_dbi = 0, content = 0, hashes_dbi = 0, peaks_dbi = 0;
    ASSERT_EQ(mdb_dbi_open(txn, "meta", MDB_CREATE, &meta), 0);
    ASSERT_EQ(mdb_dbi_open(txn, "postings", MDB_CREATE | MDB_DUPSORT | MDB_DUPFIXED | MDB_INTEGERKEY | MDB_INTEGERDUP,
                           &postings),
              0);
    ASSERT_EQ(mdb_dbi_open(txn, "tracks", MDB_CREATE | MDB_INTEGERKEY, &track_dbi), 0);
    ASSERT_EQ(mdb_dbi_open(txn, "content", MDB_CREATE, &content), 0);
    ASSERT_EQ(mdb_dbi_open(txn, "track_hashes", MDB_CREATE | MDB_INTEGERKEY, &hashes_dbi), 0);
    if (version >= 2) {
        ASSERT_EQ(mdb_dbi_open(txn, "track_peaks", MDB_CREATE | MDB_INTEGERKEY, &peaks_dbi), 0);
    }
    std::uint64_t all_postings = 0;
    std::uint64_t all_frames = 0;
    for (std::uint32_t id = 1; id <= tracks; ++id) {
        Index one;
        Expect(one, id, Landmarks(id));
        std::string hashes;
        std::uint32_t last = 0;
        std::uint64_t count = 0;
        for (const auto& [hash, list] : one) {
            for (std::uint32_t delta = hash - last;; delta >>= 7) {
                hashes.push_back(static_cast<char>((delta & 0x7f) | (delta >= 0x80 ? 0x80 : 0)));
                if (delta < 0x80)
                    break;
            }
            last = hash;
            for (const Posting& p : list) {
                std::uint32_t key_value = hash;
                std::uint64_t value = std::uint64_t{p.track} << 32 | p.frame;
                MDB_val key{sizeof key_value, &key_value};
                MDB_val data{sizeof value, &value};
                ASSERT_EQ(mdb_put(txn, postings, &key, &data, 0), 0);
                ++count;
            }
        }
        const TrackInfo info = SyntheticTrack(Content(id), 900 + id);
        std::string record;
        const auto put = [&record](const auto& v) { record.append(reinterpret_cast<const char*>(&v), sizeof v); };
        put(info.frames);
        put(count);
        for (const std::string* field : {&info.title, &info.artist, &info.source, &info.content}) {
            put(static_cast<std::uint32_t>(field->size()));
            record += *field;
        }
        MDB_val id_key{sizeof id, &id};
        MDB_val record_val{record.size(), record.data()};
        ASSERT_EQ(mdb_put(txn, track_dbi, &id_key, &record_val, 0), 0);
        MDB_val hashes_val{hashes.size(), hashes.data()};
        ASSERT_EQ(mdb_put(txn, hashes_dbi, &id_key, &hashes_val, 0), 0);
        std::string content_key = "c" + info.content;
        MDB_val content_val{content_key.size(), content_key.data()};
        ASSERT_EQ(mdb_put(txn, content, &content_val, &id_key, 0), 0);
        if (version >= 2 && id % 2 == 0) {
            std::string peaks;
            for (std::uint32_t frame : {10u, 20u}) {
                const std::uint16_t frequency = 640;
                peaks.append(reinterpret_cast<const char*>(&frame), 4);
                peaks.append(reinterpret_cast<const char*>(&frequency), 2);
            }
            MDB_val peaks_val{peaks.size(), peaks.data()};
            ASSERT_EQ(mdb_put(txn, peaks_dbi, &id_key, &peaks_val, 0), 0);
        }
        all_postings += count;
        all_frames += info.frames;
    }
    struct {
        std::uint32_t schema, flags, next_id, loading;
        std::uint64_t tracks, postings, frames;
    } m{version, 0, tracks + 1, 0, tracks, all_postings, all_frames};
    char key_text[] = "meta";
    MDB_val key{4, key_text};
    MDB_val data{sizeof m, &m};
    ASSERT_EQ(mdb_put(txn, meta, &key, &data, 0), 0);
    ASSERT_EQ(mdb_txn_commit(txn), 0);
    mdb_env_close(env);
}

// A catalogue of the unpacked layout is refused with the command that
// brings it up to date; compacted, it holds the same tracks, postings and
// peaks, packed, and takes adds and removes.
TEST(LmdbStore, CompactionBringsAnUnpackedCatalogueUpToDate)
{
    for (const std::uint32_t version : {1u, 2u}) {
        SCOPED_TRACE(version);
        const std::string folder = Folders::Fresh();
        WriteUnpackedCatalogue(folder, version, 6);
        for (const OpenMode mode : {OpenMode::ReadOnly, OpenMode::ReadWrite}) {
            try {
                OpenLmdbStore(folder, mode);
                ADD_FAILURE() << "opened";
            } catch (const StoreError& e) {
                EXPECT_NE(std::string(e.what()).find("run `vextune catalogue compact --db " + folder + "`"),
                          std::string::npos)
                    << e.what();
            }
        }
        CompactLmdbStore(folder);
        EXPECT_FALSE(fs::exists(folder + ".before-compacting"));
        EXPECT_FALSE(fs::exists(folder + ".compacting"));
        auto store = OpenLmdbStore(folder, OpenMode::ReadWrite);
        EXPECT_EQ(store->Tracks().size(), 6u);
        EXPECT_EQ(store->IndexFormat(), kUnrecordedIndexFormat);
        ExpectWhole(*store, LandmarksOfContent);
        const std::vector<PeakWindow> windows = {{1, 0, 100}, {2, 0, 100}};
        const auto peaks = store->TrackPeaks(windows);
        EXPECT_TRUE(peaks[0].empty());
        EXPECT_EQ(peaks[1].size(), version >= 2 ? 2u : 0u);
        EXPECT_TRUE(store->Remove(3));
        EXPECT_EQ(store->Add(SyntheticTrack(Content(7)), Landmarks(7)).id, 7u);
        ExpectWhole(*store, LandmarksOfContent);
    }
}

// The pages of a folder's data file on LMDB's free list.
std::size_t FreePages(const std::string& folder)
{
    MDB_env* env = nullptr;
    EXPECT_EQ(mdb_env_create(&env), 0);
    mdb_env_set_maxdbs(env, 8);
    EXPECT_EQ(mdb_env_open(env, folder.c_str(), MDB_RDONLY, 0664), 0);
    MDB_txn* txn = nullptr;
    EXPECT_EQ(mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn), 0);
    MDB_cursor* cursor = nullptr;
    EXPECT_EQ(mdb_cursor_open(txn, 0, &cursor), 0);
    std::size_t free = 0;
    MDB_val key;
    MDB_val data;
    while (mdb_cursor_get(cursor, &key, &data, MDB_NEXT) == 0)
        free += static_cast<const std::size_t*>(data.mv_data)[0];  // a list of pages, its length first
    mdb_cursor_close(cursor);
    mdb_txn_abort(txn);
    mdb_env_close(env);
    return free;
}

// Compacting a catalogue filled by adds and removes keeps what it holds
// in less room; a compaction cut short, before or between its renames, is
// finished by the next one.
TEST(LmdbStore, CompactionKeepsTheCatalogueInLessRoom)
{
    const std::string folder = Folders::Fresh();
    {
        auto store = OpenLmdbStore(folder, OpenMode::ReadWrite, {.initial_map_bytes = kTinyMap});
        for (std::uint32_t seed = 1; seed <= 30; ++seed)
            store->Add(SyntheticTrack(Content(seed)), Landmarks(seed), std::vector<Peak>{{1, 64}, {seed, 128}});
        for (std::uint32_t id = 2; id <= 30; id += 3)
            ASSERT_TRUE(store->Remove(id));
    }
    const Index before = Everything(*OpenLmdbStore(folder, OpenMode::ReadOnly));
    EXPECT_GT(FreePages(folder), 16u);
    const auto [old_bytes, new_bytes] = CompactLmdbStore(folder);
    EXPECT_LT(new_bytes, old_bytes);
    EXPECT_LE(FreePages(folder), 4u);
    {
        auto store = OpenLmdbStore(folder, OpenMode::ReadWrite);
        EXPECT_EQ(Everything(*store), before);
        ExpectWhole(*store, LandmarksOfContent);
        EXPECT_TRUE(store->Remove(1));
        EXPECT_EQ(store->TrackPeaks(std::vector<PeakWindow>{{4, 0, 10}})[0].size(), 2u);
        ExpectWhole(*store, LandmarksOfContent);
    }
    const Index after_remove = Everything(*OpenLmdbStore(folder, OpenMode::ReadOnly));

    // Cut short between the renames: the old one moved aside, a finished
    // or unfinished new one beside it.
    fs::rename(folder, folder + ".before-compacting");
    fs::create_directories(folder + ".compacting");
    CompactLmdbStore(folder);
    EXPECT_EQ(Everything(*OpenLmdbStore(folder, OpenMode::ReadOnly)), after_remove);
    EXPECT_FALSE(fs::exists(folder + ".before-compacting"));
}

// Bulk-loaded hashes of more postings than a block holds, of the largest
// track ids a load can give and frames up to 2^32 - 1, then added to and
// removed from.
TEST(LmdbStore, ALoadedHashOfManyBlocksTakesAddsAndRemoves)
{
    const std::string folder = Folders::Fresh();
    Index index;
    {
        LmdbLoader loader(folder);
        for (std::uint32_t t = 1; t <= 700; ++t)
            loader.AddTrack(SyntheticTrack(Numbered("many", t)));
        for (std::uint32_t hash : {5u, 4194303u}) {
            std::vector<Posting> postings;
            for (std::uint32_t t = 1; t <= 700; ++t) {
                postings.push_back({t, t * 6133u});
                if (t % 5 == 0)
                    postings.push_back({t, 4294967295u});
            }
            loader.AddPostings(hash, postings);
            index[hash] = postings;
        }
        loader.Finish();
    }
    EXPECT_LE(FreePages(folder), 4u);
    auto store = OpenLmdbStore(folder, OpenMode::ReadWrite);
    std::vector<std::uint32_t> hashes = {5, 4194303};
    const auto all = [&] {
        Index got;
        store->Lookup(hashes, [&](std::uint32_t h, std::span<const Posting> p) { got[h].assign(p.begin(), p.end()); });
        return got;
    };
    EXPECT_EQ(all(), index);
    ASSERT_TRUE(store->Remove(350));
    ASSERT_TRUE(store->Remove(1));
    const std::uint32_t added = store->Add(SyntheticTrack("late"), std::vector<Landmark>{{5, 4294967295u}, {5, 0}}).id;
    EXPECT_EQ(added, 701u);
    for (auto& [hash, list] : index)
        std::erase_if(list, [](const Posting& p) { return p.track == 350 || p.track == 1; });
    index[5].push_back({added, 0});
    index[5].push_back({added, 4294967295u});
    EXPECT_EQ(all(), index);
    // Counted before read: a bound on postings leaves both out unread.
    const std::vector<std::uint32_t> weights = {1, 1};
    const LookupLeftOut left_out = store->LookupWithin(hashes, weights, {.most_postings = 100},
                                                       [](std::uint32_t, std::span<const Posting>) { FAIL(); });
    EXPECT_EQ(left_out.hashes, 2u);
    EXPECT_EQ(left_out.votes, index[5].size() + index[4194303].size());
}

// What a store must answer for hashes (ascending) when it holds expected:
// their counts, their postings, and the hashes a bounded lookup keeps and
// leaves out (weights 1, 2, 3, ... and bounds that leave some out).
void ExpectIndexed(const Store& store, const Index& expected, const std::vector<std::uint32_t>& hashes)
{
    std::vector<std::uint64_t> counts(hashes.size(), 0);
    std::vector<std::uint32_t> weights(hashes.size());
    Index whole;
    std::uint64_t votes = 0;
    for (std::size_t i = 0; i < hashes.size(); ++i) {
        weights[i] = 1 + static_cast<std::uint32_t>(i % 3);
        if (const auto at = expected.find(hashes[i]); at != expected.end() && !at->second.empty()) {
            counts[i] = at->second.size();
            whole[hashes[i]] = at->second;
            votes += counts[i] * weights[i];
        }
    }
    EXPECT_EQ(store.CountPostings(hashes), counts);
    Index got;
    store.Lookup(hashes, [&](std::uint32_t h, std::span<const Posting> p) { got[h].assign(p.begin(), p.end()); });
    EXPECT_EQ(got, whole);

    const LookupBounds bounds{.most_postings = 3, .most_votes = votes / 3};
    LookupLeftOut want_left_out;
    const std::vector<bool> kept = KeptWithin(counts, weights, bounds, want_left_out);
    Index want;
    for (std::size_t i = 0; i < hashes.size(); ++i) {
        if (kept[i])
            want[hashes[i]] = whole[hashes[i]];
    }
    ASSERT_GT(want_left_out.hashes, 0u) << "bounds that leave nothing out test little";
    got.clear();
    const LookupLeftOut left_out =
        store.LookupWithin(hashes, weights, bounds,
                           [&](std::uint32_t h, std::span<const Posting> p) { got[h].assign(p.begin(), p.end()); });
    EXPECT_EQ(got, want);
    EXPECT_EQ(left_out.hashes, want_left_out.hashes);
    EXPECT_EQ(left_out.votes, want_left_out.votes);
}

// Runs write in a child process with a handle of its own on folder.
void InAnotherProcess(const std::string& folder, const std::function<void(Store&)>& write)
{
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        try {
            write(*OpenLmdbStore(folder, OpenMode::ReadWrite));
        } catch (...) {
            ::_exit(1);
        }
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// The counts a lookup weighs hashes by are held in memory: after every
// kind of write, by this handle or by another process, counts, lookups and
// bounded lookups answer as the catalogue now is, also once enough lookups
// have run for the counts to be read again.
TEST(LmdbStore, CountsInMemoryFollowEveryWriter)
{
    for (const bool other_process : {false, true}) {
        SCOPED_TRACE(other_process ? "another process writes" : "this handle writes");
        const std::string folder = Folders::Fresh();
        auto store = OpenLmdbStore(folder, OpenMode::ReadWrite);
        std::map<std::uint32_t, std::vector<Landmark>> tracks;  // by id, as they should be
        const auto expected = [&] {
            Index index;
            for (const auto& [id, landmarks] : tracks)
                Expect(index, id, landmarks);
            return index;
        };
        std::vector<std::uint32_t> hashes(4096);
        for (std::uint32_t h = 0; h < hashes.size(); ++h)
            hashes[h] = h;
        for (std::uint32_t seed = 1; seed <= 3; ++seed)
            tracks[store->Add(SyntheticTrack(Content(seed)), Landmarks(seed)).id] = Landmarks(seed);
        ExpectIndexed(*store, expected(), hashes);  // the counts are read here

        struct Step {
            const char* name;
            std::function<void(Store&)> write;
            std::function<void()> expect;
        };
        const std::vector<Step> steps = {
            {"a track added", [](Store& s) { s.Add(SyntheticTrack(Content(4)), Landmarks(4)); },
             [&] { tracks[4] = Landmarks(4); }},
            {"a track removed", [](Store& s) { ASSERT_TRUE(s.Remove(2)); }, [&] { tracks.erase(2); }},
            {"a track's postings replaced", [](Store& s) { ASSERT_TRUE(s.ReplacePostings(3, Landmarks(99, 700))); },
             [&] { tracks[3] = Landmarks(99, 700); }},
            {"the format recorded", [](Store& s) { s.SetIndexFormat(s.IndexFormat()); }, [] {}},
            {"nothing changed", [](Store& s) { ASSERT_FALSE(s.Remove(2)); }, [] {}},
            {"another track added", [](Store& s) { s.Add(SyntheticTrack(Content(5, 3000)), Landmarks(5, 3000)); },
             [&] { tracks[5] = Landmarks(5, 3000); }},
        };
        for (const Step& step : steps) {
            SCOPED_TRACE(step.name);
            if (other_process)
                InAnotherProcess(folder, step.write);
            else
                step.write(*store);
            step.expect();
            ExpectIndexed(*store, expected(), hashes);
            // Lookups enough to pay for reading the counts again.
            for (int i = 0; i < 40; ++i)
                Everything(*store);
            ExpectIndexed(*store, expected(), hashes);
        }
        // This handle writes after another process has.
        tracks[store->Add(SyntheticTrack(Content(6)), Landmarks(6)).id] = Landmarks(6);
        ASSERT_TRUE(store->Remove(1));
        tracks.erase(1);
        ExpectIndexed(*store, expected(), hashes);
    }
}

// Hashes wider than the flat table's, up to all ones, counted right as
// tracks bring more hashes than the table read had room for.
TEST(LmdbStore, CountsInMemoryHoldHashesOfAnyWidth)
{
    const std::string folder = Folders::Fresh();
    auto store = OpenLmdbStore(folder, OpenMode::ReadWrite);
    std::mt19937 random(7);
    std::map<std::uint32_t, std::vector<Landmark>> tracks;
    std::vector<std::uint32_t> hashes;
    const auto add = [&](std::uint32_t n) {
        std::vector<Landmark> landmarks;
        for (const std::uint32_t edge : {0u, (1u << 22) - 1, 1u << 22, 0xfffffffeu, 0xffffffffu})
            landmarks.push_back({edge, n});
        for (int i = 0; i < 400; ++i)
            landmarks.push_back({static_cast<std::uint32_t>(random()), static_cast<std::uint32_t>(random() % 5000)});
        for (const Landmark& l : landmarks)
            hashes.push_back(l.hash);
        std::sort(hashes.begin(), hashes.end());
        hashes.erase(std::unique(hashes.begin(), hashes.end()), hashes.end());
        tracks[store->Add(SyntheticTrack(Numbered("wide", n)), landmarks).id] = landmarks;
    };
    for (std::uint32_t n = 1; n <= 8; ++n) {
        SCOPED_TRACE(n);
        add(n);
        Index expected;
        for (const auto& [id, landmarks] : tracks)
            Expect(expected, id, landmarks);
        for (int i = 0; i < 4; ++i)
            ExpectIndexed(*store, expected, hashes);
    }
}

// A block whose bytes were damaged on disk is refused by the lookup that
// reads it, and by no other; the blocks are where a program comparing
// keys by their bytes (LMDB's own order) looks for them.
TEST(LmdbStore, ADamagedBlockIsRefusedWhereItIsRead)
{
    const std::string folder = Folders::Fresh();
    {
        auto store = OpenLmdbStore(folder, OpenMode::ReadWrite);
        for (std::uint32_t seed = 1; seed <= 3; ++seed)
            store->Add(SyntheticTrack(Content(seed)), Landmarks(seed));
        // Keys whose every byte matters to their order.
        store->Add(SyntheticTrack("edges"),
                   std::vector<Landmark>{{0x01020304u, 0x0a0b0c0du}, {0x01020304u, 0x0a0b0c0eu}, {0xff000000u, 1}});
    }
    const Index before = Everything(*OpenLmdbStore(folder, OpenMode::ReadOnly));
    const std::uint32_t damaged = before.begin()->first;

    MDB_env* env = nullptr;
    ASSERT_EQ(mdb_env_create(&env), 0);
    mdb_env_set_maxdbs(env, 8);
    ASSERT_EQ(mdb_env_open(env, folder.c_str(), 0, 0664), 0);
    MDB_txn* txn = nullptr;
    MDB_dbi blocks = 0;
    ASSERT_EQ(mdb_txn_begin(env, nullptr, 0, &txn), 0);
    ASSERT_EQ(mdb_dbi_open(txn, "blocks", 0, &blocks), 0);
    MDB_cursor* cursor = nullptr;
    ASSERT_EQ(mdb_cursor_open(txn, blocks, &cursor), 0);
    MDB_val key;
    MDB_val data;
    std::string last;
    std::size_t keys = 0;
    for (int rc = mdb_cursor_get(cursor, &key, &data, MDB_FIRST); rc == 0;
         rc = mdb_cursor_get(cursor, &key, &data, MDB_NEXT)) {
        const std::string bytes(static_cast<const char*>(key.mv_data), key.mv_size);
        EXPECT_LT(last, bytes);
        last = bytes;
        ++keys;
    }
    EXPECT_GE(keys, before.size());
    unsigned char first[12] = {};
    for (int i = 0; i < 4; ++i)
        first[i] = static_cast<unsigned char>(damaged >> (24 - 8 * i));
    key = MDB_val{sizeof first, first};
    ASSERT_EQ(mdb_cursor_get(cursor, &key, &data, MDB_SET_RANGE), 0);
    std::string broken = "\x05\x00\x00" + std::string(20, '\xff');
    data = MDB_val{broken.size(), broken.data()};
    ASSERT_EQ(mdb_cursor_put(cursor, &key, &data, MDB_CURRENT), 0);
    mdb_cursor_close(cursor);
    ASSERT_EQ(mdb_txn_commit(txn), 0);
    mdb_env_close(env);

    const auto store = OpenLmdbStore(folder, OpenMode::ReadOnly);
    std::vector<std::uint32_t> others;
    Index rest = before;
    rest.erase(damaged);
    for (const auto& [hash, list] : rest)
        others.push_back(hash);
    ExpectIndexed(*store, rest, others);
    const std::uint32_t hash = damaged;
    EXPECT_THROW(store->Lookup(std::span(&hash, 1), [](std::uint32_t, std::span<const Posting>) {}), StoreError);
}

// A catalogue whose index was made with other landmarks is refused with
// both names and the command that makes it again, unless opened for that;
// once reindexed it opens.
TEST(LmdbStore, AnIndexOfOtherLandmarksIsRefusedUntilReindexed)
{
    const std::string folder = Folders::Fresh();
    const LandmarkOptions older{.fan_out = 5};
    const std::vector<Peak> peaks = {{0, 640}, {3, 900}, {5, 1400}, {9, 700}, {12, 2000}};
    {
        auto store = OpenLmdbStore(folder, OpenMode::ReadWrite);
        store->Add(SyntheticTrack(Content(1)), MakeLandmarks(peaks, older), peaks);
        store->SetIndexFormat(LandmarkFormat(older));
    }
    for (const OpenMode mode : {OpenMode::ReadOnly, OpenMode::ReadWrite}) {
        try {
            OpenLmdbStore(folder, mode);
            ADD_FAILURE() << "opened";
        } catch (const StoreError& e) {
            const std::string message = e.what();
            for (const std::string& says : {LandmarkFormat(older), LandmarkFormat(),
                                            std::string("run `vextune catalogue reindex --db ") + folder})
                EXPECT_NE(message.find(says), std::string::npos) << message;
        }
    }
    {
        auto store = OpenLmdbStore(folder, OpenMode::ReadWrite, {.any_index_format = true});
        EXPECT_EQ(store->IndexFormat(), LandmarkFormat(older));
        ReindexStore(*store);
    }
    const auto store = OpenLmdbStore(folder, OpenMode::ReadOnly);
    Index expected;
    Expect(expected, 1, MakeLandmarks(peaks));
    std::vector<std::uint32_t> hashes;
    for (const auto& [hash, list] : expected)
        hashes.push_back(hash);
    Index got;
    store->Lookup(hashes, [&](std::uint32_t h, std::span<const Posting> p) { got[h].assign(p.begin(), p.end()); });
    EXPECT_EQ(got, expected);
    EXPECT_EQ(store->Totals().postings, DistinctLandmarks(MakeLandmarks(peaks)).size());
}

// What cannot be opened is refused with a message that names the folder
// and the trouble.
TEST(LmdbStore, RefusesWhatItCannotOpen)
{
    struct Case {
        const char* name;
        std::function<std::string()> prepare;  // the folder
        OpenMode mode;
        const char* says;
    };
    // A catalogue of one track whose meta record carries the flags.
    const auto flagged = [](std::uint32_t flags) {
        return [flags] {
            const std::string folder = Folders::Fresh();
            OpenLmdbStore(folder, OpenMode::ReadWrite)->Add(SyntheticTrack(Content(1)), Landmarks(1));
            SetMetaWord(folder, 4, flags);
            return folder;
        };
    };
    const std::vector<Case> cases = {
        {"missing folder", [] { return Folders::Fresh(); }, OpenMode::ReadOnly, "no catalogue"},
        {"another format version",
         [] {
             const std::string folder = Folders::Fresh();
             OpenLmdbStore(folder, OpenMode::ReadWrite)->Add(SyntheticTrack(Content(1)), Landmarks(1));
             SetMetaWord(folder, 0, 999);
             return folder;
         },
         OpenMode::ReadWrite, "format version 999"},
        // Postings as big-endian bytes (flag 1), a format no longer read.
        {"big-endian postings, read-only", flagged(1), OpenMode::ReadOnly,
         "big-endian bytes, a format this program no"},
        {"big-endian postings, read-write", flagged(1), OpenMode::ReadWrite,
         "big-endian bytes, a format this program no"},
        {"unknown format flags", flagged(6), OpenMode::ReadWrite, "unknown format flags 6"},
        {"a file, not a folder",
         [] {
             const std::string folder = Folders::Fresh();
             fs::create_directories(fs::path(folder).parent_path());
             std::FILE* file = std::fopen(folder.c_str(), "w");
             std::fclose(file);
             return folder;
         },
         OpenMode::ReadWrite, "cannot make"},
        {"an unfinished bulk load",
         [] {
             const std::string folder = Folders::Fresh();
             LmdbLoader loader(folder);
             loader.AddTrack(SyntheticTrack(Content(1)));
             return folder;
         },
         OpenMode::ReadOnly, "did not finish"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string folder = c.prepare();
        try {
            OpenLmdbStore(folder, c.mode);
            ADD_FAILURE() << "opened";
        } catch (const StoreError& e) {
            const std::string message = e.what();
            EXPECT_NE(message.find(folder), std::string::npos) << message;
            EXPECT_NE(message.find(c.says), std::string::npos) << message;
        }
    }
    // A bulk load goes only into a new folder.
    const std::string folder = Folders::Fresh();
    OpenLmdbStore(folder, OpenMode::ReadWrite)->Add(SyntheticTrack(Content(1)), Landmarks(1));
    EXPECT_THROW(LmdbLoader{folder}, StoreError);
}

}  // namespace
}  // namespace vxt::matcher::testing
