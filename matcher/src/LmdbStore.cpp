// The store in an LMDB environment: the embedded default catalogue.
//
// Every call is one transaction: a reader sees a track wholly or not at all,
// and an added track is wholly there or absent after a crash (LMDB commits
// by switching meta pages). Lookup weighs all of a query's hashes (by the
// counts held in memory, CountTable) and reads the postings of those kept
// in one short read transaction, a block at a time.
//
// Threads and locks: any thread may read at once (MDB_NOTLS: a read
// transaction is not tied to its thread); Add and Remove take write_mutex_,
// so one of them runs at a time. Every transaction of this process holds
// map_mutex_ shared, because LMDB lets the map be resized only while no
// transaction of the process is open: a writer that finds the map full, or
// any caller whose transaction is refused because another process has grown
// the map, ends its transaction, takes map_mutex_ alone to resize, and runs
// the transaction again. Lock order: write_mutex_, then map_mutex_.
#include "LmdbStore.h"
#include "PackedPostings.h"
#include "StoreSupport.h"

#include <lmdb.h>
#include <sys/statvfs.h>
#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <stdexcept>
#include <utility>

namespace vxt::matcher {
namespace {

// Changes whenever what is stored changes meaning. A store of another
// version is refused rather than misread; one of versions 1 and 2 (postings
// as one 8-byte duplicate each, version 1 without track_peaks) is brought
// up to date by CompactLmdbStore, which the refusal names.
constexpr std::uint32_t kSchemaVersion = 3;
constexpr std::uint32_t kSchemaWithoutPeaks = 1;
constexpr std::uint32_t kSchemaUnpacked = 2;
// Meta::flags. Postings were once optionally stored as big-endian bytes
// compared with memcmp; a folder made that way is refused, not misread,
// since its keys sort otherwise than the integer keys read here. No other
// flag has ever been written.
constexpr std::uint32_t kRetiredBigEndianPostings = 1u << 0;

struct Meta {
    std::uint32_t schema = kSchemaVersion;  // first, so any version can be read and named
    std::uint32_t flags = 0;
    std::uint32_t next_id = 1;
    std::uint32_t loading = 0;  // a bulk load began and has not finished
    std::uint64_t tracks = 0;
    std::uint64_t postings = 0;
    std::uint64_t frames = 0;
};

constexpr char kMetaKey[] = "meta";
constexpr char kFormatKey[] = "format";

// An LMDB result code with what was being done when it came.
class LmdbError : public StoreError {
public:
    LmdbError(int code, const std::string& what) : StoreError(what), code_(code) {}
    int Code() const noexcept { return code_; }

private:
    int code_;
};

// Keys and values go through MDB_val as pointers into pages, which need not
// be aligned: they are read and written by memcpy.
template <typename T>
T Load(const void* from)
{
    T value;
    std::memcpy(&value, from, sizeof value);
    return value;
}

// The varint (7 bits a byte, low first) deltas of ascending hashes.
void PutVarint(std::string& out, std::uint32_t v)
{
    while (v >= 0x80) {
        out.push_back(static_cast<char>(v | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<char>(v));
}

std::string EncodeTrack(const TrackInfo& info)
{
    std::string out;
    const auto put = [&out](const auto& value) { out.append(reinterpret_cast<const char*>(&value), sizeof value); };
    put(info.frames);
    put(info.postings);
    for (const std::string* field : {&info.title, &info.artist, &info.source, &info.content}) {
        put(static_cast<std::uint32_t>(field->size()));
        out += *field;
    }
    return out;
}

// The order LMDB gives keys by default (their bytes as by memcmp, a
// shorter key before a longer one it starts), the 12-byte keys of the
// blocks database compared as two big-endian words: what every search of
// a lookup does, the same order for every program that opens the folder.
std::uint64_t Swap(std::uint64_t word)
{
    return __builtin_bswap64(word);
}
std::uint32_t Swap(std::uint32_t word)
{
    return __builtin_bswap32(word);
}

int CompareBlockKeys(const MDB_val* a, const MDB_val* b)
{
    constexpr std::size_t kKeyBytes = 12;
    if (a->mv_size == kKeyBytes && b->mv_size == kKeyBytes) {
        const auto* x = static_cast<const unsigned char*>(a->mv_data);
        const auto* y = static_cast<const unsigned char*>(b->mv_data);
        const auto high = [](const unsigned char* at) {
            std::uint64_t word;
            std::memcpy(&word, at, sizeof word);
            return std::endian::native == std::endian::little ? Swap(word) : word;
        };
        const auto low = [](const unsigned char* at) {
            std::uint32_t word;
            std::memcpy(&word, at + 8, sizeof word);
            return std::endian::native == std::endian::little ? Swap(word) : word;
        };
        const std::uint64_t xh = high(x);
        const std::uint64_t yh = high(y);
        if (xh != yh)
            return xh < yh ? -1 : 1;
        const std::uint32_t xl = low(x);
        const std::uint32_t yl = low(y);
        return xl < yl ? -1 : xl > yl ? 1 : 0;
    }
    const std::size_t common = std::min(a->mv_size, b->mv_size);
    if (const int diff = common == 0 ? 0 : std::memcmp(a->mv_data, b->mv_data, common); diff != 0)
        return diff;
    return a->mv_size < b->mv_size ? -1 : a->mv_size > b->mv_size ? 1 : 0;
}

class Env {
public:
    // Open: a catalogue to use; Load: a new one to fill; Source: one of
    // any version and format to be copied (read only, though a write
    // transaction may be taken to keep writers out).
    enum class Purpose { Open, Load, Source };

    Env(std::string folder, OpenMode mode, const LmdbOptions& options, Purpose purpose)
        : folder_(std::move(folder)), mode_(mode), diagnostics_(options.diagnostics)
    {
        namespace fs = std::filesystem;
        std::error_code error;
        if (mode == OpenMode::ReadOnly) {
            if (!fs::exists(fs::path(folder_) / "data.mdb", error)) {
                // A folder that cannot be looked into is not a missing one.
                if (error)
                    throw StoreError("no catalogue at " + folder_ +
                                     ": cannot look for its LMDB data file: " + error.message());
                throw StoreError("no catalogue at " + folder_ + ": the folder has no LMDB data file");
            }
        } else {
            fs::create_directories(folder_, error);
            if (error)
                throw StoreError("cannot make the catalogue folder " + folder_ + ": " + error.message());
        }

        Check(mdb_env_create(&env_), "making the environment");
        try {
            Check(mdb_env_set_maxdbs(env_, 8), "setting the number of databases");
            Check(mdb_env_set_maxreaders(env_, 512), "setting the number of readers");
            Check(mdb_env_set_mapsize(env_, options.initial_map_bytes), "setting the map size");
            const unsigned flags = MDB_NOTLS | MDB_NORDAHEAD | (mode == OpenMode::ReadOnly ? MDB_RDONLY : 0);
            Check(mdb_env_open(env_, folder_.c_str(), flags, 0664), "opening the environment");
            ClearStaleReaders();
            OpenDatabases(purpose, options.any_index_format);
        } catch (...) {
            mdb_env_close(env_);
            throw;
        }
    }

    ~Env() { mdb_env_close(env_); }
    Env(const Env&) = delete;
    Env& operator=(const Env&) = delete;

    const std::string& Folder() const noexcept { return folder_; }

    void Check(int rc, const char* doing) const
    {
        if (rc != MDB_SUCCESS)
            throw LmdbError(rc, folder_ + ": " + doing + ": " + mdb_strerror(rc));
    }

    // Check for a write to the data file (a commit). LMDB reports a write
    // cut short, as when the disk fills up part way, as EIO, and one the
    // system refused outright as ENOSPC: when the device has (next to) no
    // room left, that is what is said, once.
    void CheckWritten(int rc, const char* doing) const
    {
        if (rc == EIO || rc == ENOSPC || rc == EDQUOT) {
            struct statvfs device;
            if (::statvfs(folder_.c_str(), &device) == 0) {
                // Root may write into the blocks kept back from others.
                const std::uint64_t free = ::geteuid() == 0 ? device.f_bfree : device.f_bavail;
                constexpr std::uint64_t kFullBelow = std::uint64_t{1} << 20;
                if (rc == ENOSPC || free * device.f_frsize < kFullBelow)
                    throw LmdbError(rc, folder_ + ": " + doing + ": no space left on the device");
            }
            if (rc == EDQUOT)
                throw LmdbError(rc, folder_ + ": " + doing + ": the disk quota is used up");
        }
        Check(rc, doing);
    }

    void RequireWritable(const char* doing) const
    {
        if (mode_ == OpenMode::ReadOnly)
            throw StoreError(folder_ + ": the catalogue is open read-only: cannot " + doing);
    }

    // Runs work in one transaction and commits it. A transaction refused
    // because the map is full (writes) or was grown by another process is
    // ended, the map resized, and the work run again from the start: work
    // must set its results afresh each time.
    void Run(bool write, const std::function<void(MDB_txn*)>& work) const
    {
        if (write)
            ClearStaleReaders();
        for (;;) {
            int resize = 0;
            {
                std::shared_lock map_lock(map_mutex_);
                MDB_txn* txn = nullptr;
                const int rc = mdb_txn_begin(env_, nullptr, write ? 0 : MDB_RDONLY, &txn);
                if (rc == MDB_MAP_RESIZED) {
                    resize = rc;
                } else {
                    Check(rc, "beginning a transaction");
                    try {
                        work(txn);
                    } catch (const LmdbError& e) {
                        mdb_txn_abort(txn);
                        if (e.Code() != MDB_MAP_FULL && e.Code() != MDB_MAP_RESIZED)
                            throw;
                        resize = e.Code();
                    } catch (...) {
                        mdb_txn_abort(txn);
                        throw;
                    }
                    if (resize == 0) {
                        const int committed = mdb_txn_commit(txn);  // frees txn, also on failure
                        if (committed == MDB_SUCCESS)
                            return;
                        if (committed != MDB_MAP_FULL)
                            CheckWritten(committed, "committing");
                        resize = committed;
                    }
                }
            }
            Resize(resize);
        }
    }

    // Map bytes and bytes of the data file in use (pages up to the last one
    // written, free pages inside them included).
    std::pair<std::uint64_t, std::uint64_t> MapAndUsedBytes() const
    {
        std::shared_lock map_lock(map_mutex_);
        MDB_envinfo info;
        MDB_stat stat;
        Check(mdb_env_info(env_, &info), "reading the environment's size");
        Check(mdb_env_stat(env_, &stat), "reading the page size");
        return {info.me_mapsize, (static_cast<std::uint64_t>(info.me_last_pgno) + 1) * stat.ms_psize};
    }

    // A write transaction outside Run, for the loader alone (no other
    // transaction of this process is open beside it).
    MDB_txn* BeginWrite()
    {
        MDB_txn* txn = nullptr;
        Check(mdb_txn_begin(env_, nullptr, 0, &txn), "beginning a load transaction");
        return txn;
    }

    // Grows the map to at least bytes; no transaction of this process may
    // be open (the loader's, between its batches).
    void GrowTo(std::uint64_t bytes)
    {
        std::unique_lock map_lock(map_mutex_);
        MDB_envinfo info;
        Check(mdb_env_info(env_, &info), "reading the map size");
        if (info.me_mapsize < bytes)
            Check(mdb_env_set_mapsize(env_, bytes), "growing the map");
    }

    Meta ReadMeta(MDB_txn* txn) const
    {
        MDB_val key{sizeof kMetaKey - 1, const_cast<char*>(kMetaKey)};
        MDB_val data;
        Check(mdb_get(txn, meta, &key, &data), "reading the catalogue's totals");
        if (data.mv_size != sizeof(Meta))
            throw StoreError(folder_ + ": the catalogue's meta record is damaged");
        return Load<Meta>(data.mv_data);
    }

    void WriteMeta(MDB_txn* txn, const Meta& m) const
    {
        MDB_val key{sizeof kMetaKey - 1, const_cast<char*>(kMetaKey)};
        MDB_val data{sizeof m, const_cast<Meta*>(&m)};
        Check(mdb_put(txn, meta, &key, &data, 0), "writing the catalogue's totals");
    }

    // Keys of the blocks database: the hash, then the block's first
    // posting (track, frame), big-endian so that memcmp sorts them in
    // (hash, track, frame) order.
    using BlockKey = std::array<unsigned char, 12>;
    static BlockKey KeyOf(std::uint32_t hash, Posting first)
    {
        BlockKey key;
        for (int i = 0; i < 4; ++i) {
            key[i] = static_cast<unsigned char>(hash >> (24 - 8 * i));
            key[4 + i] = static_cast<unsigned char>(first.track >> (24 - 8 * i));
            key[8 + i] = static_cast<unsigned char>(first.frame >> (24 - 8 * i));
        }
        return key;
    }
    std::pair<std::uint32_t, Posting> OfKey(const MDB_val& key) const
    {
        if (key.mv_size != sizeof(BlockKey))
            throw StoreError(folder_ + ": a postings key of " + std::to_string(key.mv_size) + " bytes");
        const auto* b = static_cast<const unsigned char*>(key.mv_data);
        const auto word = [b](int at) {
            return static_cast<std::uint32_t>(b[at]) << 24 | static_cast<std::uint32_t>(b[at + 1]) << 16 |
                   static_cast<std::uint32_t>(b[at + 2]) << 8 | b[at + 3];
        };
        return {word(0), Posting{word(4), word(8)}};
    }
    // Appends the postings of the block at key, data to out.
    void DecodeBlockAt(const MDB_val& key, const MDB_val& data, std::vector<Posting>& out) const
    {
        const auto [hash, first] = OfKey(key);
        if (!DecodeBlock(first, std::string_view(static_cast<const char*>(data.mv_data), data.mv_size), out))
            throw StoreError(folder_ + ": a block of the postings of hash " + std::to_string(hash) + " is damaged");
    }
    std::uint64_t CountOf(const MDB_val& data) const
    {
        if (data.mv_size != sizeof(std::uint64_t))
            throw StoreError(folder_ + ": a posting count of " + std::to_string(data.mv_size) + " bytes");
        return Load<std::uint64_t>(data.mv_data);
    }

    // The landmark format the index was made with.
    const std::string& Format() const noexcept { return format_; }
    void WriteFormat(MDB_txn* txn, const std::string& format) const
    {
        MDB_val key{sizeof kFormatKey - 1, const_cast<char*>(kFormatKey)};
        MDB_val data{format.size(), const_cast<char*>(format.data())};
        Check(mdb_put(txn, meta, &key, &data, 0), "recording the landmark format");
    }
    std::string ReadFormat(MDB_txn* txn) const
    {
        MDB_val key{sizeof kFormatKey - 1, const_cast<char*>(kFormatKey)};
        MDB_val data;
        const int rc = mdb_get(txn, meta, &key, &data);
        if (rc == MDB_NOTFOUND)
            return kUnrecordedIndexFormat;
        Check(rc, "reading the landmark format");
        return std::string(static_cast<const char*>(data.mv_data), data.mv_size);
    }
    // The schema of a store opened as a compaction's source.
    std::uint32_t Schema() const noexcept { return schema_; }

    MDB_dbi blocks = 0;    // hash, first posting -> packed block (PackedPostings.h)
    MDB_dbi counts = 0;    // 4-byte hash -> 8-byte count of its postings
    MDB_dbi postings = 0;  // of a version 1 or 2 source only
    MDB_dbi tracks = 0;
    MDB_dbi content = 0;
    MDB_dbi track_hashes = 0;
    MDB_dbi track_peaks = 0;
    bool has_track_peaks = true;
    MDB_dbi meta = 0;

private:
    void OpenDatabases(Purpose purpose, bool any_format)
    {
        const bool write = mode_ == OpenMode::ReadWrite && purpose != Purpose::Source;
        const unsigned create = write ? MDB_CREATE : 0;
        Run(write, [&](MDB_txn* txn) {
            int rc = mdb_dbi_open(txn, "meta", create, &meta);
            if (rc == MDB_NOTFOUND)
                throw StoreError(folder_ + ": not a catalogue (the LMDB environment has no meta database)");
            Check(rc, "opening the meta database");

            MDB_val key{sizeof kMetaKey - 1, const_cast<char*>(kMetaKey)};
            MDB_val data;
            rc = mdb_get(txn, meta, &key, &data);
            Meta m;
            const std::string program_format = LandmarkFormat();
            schema_ = kSchemaVersion;
            if (rc == MDB_NOTFOUND) {
                if (!write)
                    throw StoreError(folder_ + ": not a catalogue (no meta record)");
                m.flags = 0;
                m.loading = purpose == Purpose::Load ? 1 : 0;
                WriteMeta(txn, m);
                WriteFormat(txn, program_format);
                format_ = program_format;
            } else {
                Check(rc, "reading the meta record");
                if (data.mv_size < sizeof(std::uint32_t))
                    throw StoreError(folder_ + ": the catalogue's meta record is damaged");
                schema_ = Load<std::uint32_t>(data.mv_data);
                const bool old = schema_ == kSchemaWithoutPeaks || schema_ == kSchemaUnpacked;
                if (schema_ != kSchemaVersion && !old) {
                    throw StoreError(folder_ + ": the catalogue has format version " + std::to_string(schema_) +
                                     "; this program reads version " + std::to_string(kSchemaVersion));
                }
                m = ReadMeta(txn);
                if ((m.flags & kRetiredBigEndianPostings) != 0)
                    throw StoreError(folder_ + ": the catalogue stores its postings as big-endian bytes, a "
                                               "format this program no longer reads: build it again in a new folder");
                if (m.flags != 0)
                    throw StoreError(folder_ + ": the catalogue's meta record has unknown format flags " +
                                     std::to_string(m.flags));
                if (purpose == Purpose::Load)
                    throw StoreError(folder_ + ": already holds a catalogue; a bulk load needs a new folder");
                if (m.loading != 0)
                    throw StoreError(folder_ + ": a bulk load into this catalogue did not finish");
                if (old && purpose != Purpose::Source) {
                    throw StoreError(folder_ + ": the catalogue has format version " + std::to_string(schema_) +
                                     " (postings not packed); run `vextune catalogue compact --db " + folder_ +
                                     "` to bring it up to version " + std::to_string(kSchemaVersion));
                }
                format_ = ReadFormat(txn);
                if (purpose == Purpose::Open && !any_format && format_ != program_format) {
                    throw StoreError(folder_ + ": the index holds landmarks \"" + format_ +
                                     "\" and this program makes \"" + program_format +
                                     "\": run `vextune catalogue reindex --db " + folder_ + "`");
                }
            }

            const auto open = [&](const char* name, unsigned flags, MDB_dbi& dbi) {
                Check(mdb_dbi_open(txn, name, create | flags, &dbi), "opening a database");
            };
            if (schema_ == kSchemaVersion) {
                open("blocks", 0, blocks);
                Check(mdb_set_compare(txn, blocks, CompareBlockKeys), "setting the order of postings keys");
                open("counts", MDB_INTEGERKEY, counts);
            } else {
                open("postings", MDB_DUPSORT | MDB_DUPFIXED | MDB_INTEGERKEY | MDB_INTEGERDUP, postings);
            }
            open("tracks", MDB_INTEGERKEY, tracks);
            open("content", 0, content);
            open("track_hashes", MDB_INTEGERKEY, track_hashes);
            rc = mdb_dbi_open(txn, "track_peaks", create | MDB_INTEGERKEY, &track_peaks);
            has_track_peaks = rc != MDB_NOTFOUND;
            if (has_track_peaks)
                Check(rc, "opening a database");
        });
    }

    // A reader slot of a process that died with a read transaction open
    // (SIGKILL, a crash) stays taken, and its snapshot keeps every page
    // freed since then from being used again: the data file would grow with
    // each write for as long as the slot stays. The slots of dead processes
    // are cleared when the store is opened and before each write.
    void ClearStaleReaders() const
    {
        int dead = 0;
        Check(mdb_reader_check(env_, &dead), "clearing the reader slots of processes that have ended");
        if (dead > 0 && diagnostics_)
            diagnostics_(folder_ + ": cleared " + std::to_string(dead) + " reader slot" + (dead == 1 ? "" : "s") +
                         " left by processes that ended while reading");
    }

    // Resizes the map for a transaction refused with reason, and says so
    // (once the lock is given back: the sink is the caller's code).
    void Resize(int reason) const
    {
        std::string said = folder_ + ": " + mdb_strerror(reason) + ": ";
        {
            std::unique_lock map_lock(map_mutex_);
            MDB_envinfo info;
            Check(mdb_env_info(env_, &info), "reading the map size");
            const std::uint64_t before = info.me_mapsize;
            if (reason == MDB_MAP_RESIZED) {
                // Another process grew the map: take the size it recorded.
                Check(mdb_env_set_mapsize(env_, 0), "adopting the map size another process set");
                Check(mdb_env_info(env_, &info), "reading the map size");
                said += "took the map size another process set, ";
            } else {
                Check(mdb_env_set_mapsize(env_, before * 2), "growing the map");
                info.me_mapsize = before * 2;
                said += "grew the map, ";
            }
            said += std::to_string(before) + " to " + std::to_string(info.me_mapsize) + " bytes";
        }
        if (diagnostics_)
            diagnostics_(said);
    }

    std::string folder_;
    OpenMode mode_;
    MDB_env* env_ = nullptr;
    std::function<void(const std::string&)> diagnostics_;
    mutable std::shared_mutex map_mutex_;
    std::string format_ = LandmarkFormat();
    std::uint32_t schema_ = kSchemaVersion;
};

class Cursor {
public:
    Cursor(const Env& env, MDB_txn* txn, MDB_dbi dbi)
    {
        env.Check(mdb_cursor_open(txn, dbi, &cursor_), "opening a cursor");
    }
    ~Cursor() { mdb_cursor_close(cursor_); }
    Cursor(const Cursor&) = delete;
    Cursor& operator=(const Cursor&) = delete;
    MDB_cursor* get() const noexcept { return cursor_; }

private:
    MDB_cursor* cursor_ = nullptr;
};

MDB_val Val(const void* data, std::size_t size)
{
    return MDB_val{size, const_cast<void*>(data)};
}

// Content hashes are keyed with a leading byte, so that an empty one is a
// key too.
std::string ContentKey(const Env& env, std::string_view content)
{
    std::string key = "c";
    key += content;
    if (key.size() > 511)
        throw StoreError(env.Folder() + ": a content hash of " + std::to_string(content.size()) + " bytes is too long");
    return key;
}

TrackInfo DecodeTrack(const Env& env, std::uint32_t id, const MDB_val& data)
{
    const auto* at = static_cast<const char*>(data.mv_data);
    const char* end = at + data.mv_size;
    const auto damaged = [&] {
        return StoreError(env.Folder() + ": the record of track " + std::to_string(id) + " is damaged");
    };
    const auto take = [&](auto& value) {
        if (static_cast<std::size_t>(end - at) < sizeof value)
            throw damaged();
        std::memcpy(&value, at, sizeof value);
        at += sizeof value;
    };
    TrackInfo info;
    info.id = id;
    take(info.frames);
    take(info.postings);
    for (std::string* field : {&info.title, &info.artist, &info.source, &info.content}) {
        std::uint32_t size = 0;
        take(size);
        if (static_cast<std::size_t>(end - at) < size)
            throw damaged();
        field->assign(at, size);
        at += size;
    }
    if (at != end)
        throw damaged();
    return info;
}

std::optional<TrackInfo> GetTrack(const Env& env, MDB_txn* txn, std::uint32_t id)
{
    MDB_val key = Val(&id, sizeof id);
    MDB_val data;
    const int rc = mdb_get(txn, env.tracks, &key, &data);
    if (rc == MDB_NOTFOUND)
        return std::nullopt;
    env.Check(rc, "reading a track");
    return DecodeTrack(env, id, data);
}

// A cursor over the posting counts stepping through ascending hashes: a
// hash a few keys on is reached by stepping the cursor, a farther one by a
// search from the root (a recording's tolerant pairs ask for runs of
// neighbouring hashes).
class Seek {
public:
    static constexpr std::uint64_t kPastTheEnd = std::numeric_limits<std::uint64_t>::max();

    // Places the cursor on hash and returns its count of postings: 0 when
    // it has none, kPastTheEnd when no hash from this one on has any.
    std::uint64_t To(const Env& env, const Cursor& cursor, std::uint32_t hash)
    {
        constexpr std::uint32_t kStepReach = 8;
        MDB_val key;
        int rc = MDB_SUCCESS;
        if (placed_ && current_ < hash && hash - current_ <= kStepReach) {
            while (current_ < hash) {
                rc = mdb_cursor_get(cursor.get(), &key, &data_, MDB_NEXT);
                if (rc != MDB_SUCCESS)
                    break;
                current_ = HashOf(env, key);
            }
        } else if (!placed_ || current_ < hash) {
            key = MDB_val{sizeof hash, &hash};
            rc = mdb_cursor_get(cursor.get(), &key, &data_, MDB_SET_RANGE);
            if (rc == MDB_SUCCESS) {
                current_ = HashOf(env, key);
                placed_ = true;
            }
        }
        if (rc == MDB_NOTFOUND)
            return kPastTheEnd;
        env.Check(rc, "looking up postings");
        if (current_ != hash)
            return 0;
        return env.CountOf(data_);
    }

private:
    static std::uint32_t HashOf(const Env& env, const MDB_val& key)
    {
        if (key.mv_size != sizeof(std::uint32_t))
            throw StoreError(env.Folder() + ": a posting count's key of " + std::to_string(key.mv_size) + " bytes");
        return Load<std::uint32_t>(key.mv_data);
    }

    bool placed_ = false;  // the cursor is on a key, current_
    std::uint32_t current_ = 0;
    MDB_val data_{};
};

// An allocator whose resize leaves new elements unset: for a buffer that
// is written right after.
template <typename T>
struct Unset : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = Unset<U>;
    };
    Unset() = default;
    template <typename U>
    Unset(const Unset<U>&) noexcept
    {}
    template <typename U>
    void construct(U* at) noexcept
    {
        ::new (static_cast<void*>(at)) U;
    }
    template <typename U, typename... Args>
    void construct(U* at, Args&&... args)
    {
        ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
    }
};

// Postings read in a lookup, hash by hash, and the counts they were read by.
struct Gathered {
    struct Span {
        std::uint32_t hash;
        std::size_t begin;
        std::size_t end;
    };
    std::vector<Posting, Unset<Posting>> postings;
    std::vector<Span> spans;
    std::vector<std::uint64_t> counts;

    void Clear()
    {
        postings.clear();
        spans.clear();
    }

    // Where no hash's first block is under the cursor.
    static constexpr std::uint64_t kNowhere = std::numeric_limits<std::uint64_t>::max();

    // Appends the count postings of hash, decoded block by block from the
    // blocks cursor straight into place. at is the hash whose first block
    // the cursor is on, or kNowhere (where reading the hash before left
    // it): a hash read right after its neighbour needs no search.
    void Read(const Env& env, const Cursor& blocks, std::uint64_t& at, std::uint32_t hash, std::uint64_t count)
    {
        const std::size_t begin = postings.size();
        // Grown geometrically: reserving each hash's exact count would copy
        // everything gathered so far once a hash.
        if (postings.capacity() < begin + count)
            postings.reserve(std::max<std::size_t>(begin + count, 2 * postings.capacity()));
        postings.resize(begin + count);
        std::size_t end = begin;
        const Env::BlockKey start = Env::KeyOf(hash, {0, 0});
        MDB_val key{start.size(), const_cast<unsigned char*>(start.data())};
        MDB_val data;
        int rc = mdb_cursor_get(blocks.get(), &key, &data, at == hash ? MDB_GET_CURRENT : MDB_SET_RANGE);
        at = kNowhere;
        for (; rc == MDB_SUCCESS; rc = mdb_cursor_get(blocks.get(), &key, &data, MDB_NEXT)) {
            const auto [next, first] = env.OfKey(key);
            if (next != hash) {
                at = next;
                break;
            }
            const std::string_view stored(static_cast<const char*>(data.mv_data), data.mv_size);
            if (BlockCount(stored) > postings.size() - end)
                break;  // more than counted
            const std::size_t decoded = DecodeBlock(first, stored, postings.data() + end);
            if (decoded == 0)
                throw StoreError(env.Folder() + ": a block of the postings of hash " + std::to_string(hash) +
                                 " is damaged");
            end += decoded;
        }
        if (rc != MDB_SUCCESS && rc != MDB_NOTFOUND)
            env.Check(rc, "reading postings");
        if (end != postings.size() || (rc == MDB_SUCCESS && at == kNowhere))
            throw StoreError(env.Folder() + ": the postings of hash " + std::to_string(hash) +
                             " are not as many as counted");
        spans.push_back({hash, begin, end});
    }

    // A thread keeps its buffers for the next lookup, but not those a
    // large one grew: the memory goes back to the system rather than stay
    // with the thread (the allocator keeps freed blocks below its mapping
    // threshold unless asked).
    void GiveBackWhenLarge()
    {
        constexpr std::size_t kKeptBytes = std::size_t{16} << 20;
        if (postings.capacity() * sizeof(Posting) + spans.capacity() * sizeof(Span) +
                counts.capacity() * sizeof(std::uint64_t) >
            kKeptBytes) {
            std::exchange(postings, {});
            std::exchange(spans, {});
            std::exchange(counts, {});
#ifdef __GLIBC__
            ::malloc_trim(0);
#endif
        }
    }
};

// A track's distinct hashes as stored (track_hashes): ascending, as
// varint deltas.
std::string EncodeHashes(std::span<const Landmark> sorted)
{
    std::string hashes;
    std::uint32_t last = 0;
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        if (i == 0 || sorted[i].hash != last) {
            PutVarint(hashes, sorted[i].hash - last);
            last = sorted[i].hash;
        }
    }
    return hashes;
}

std::vector<std::uint32_t> DecodeHashes(const Env& env, std::uint32_t id, const MDB_val& data)
{
    std::vector<std::uint32_t> hashes;
    std::uint64_t hash = 0;
    std::uint32_t delta = 0;
    int shift = 0;
    const auto* bytes = static_cast<const unsigned char*>(data.mv_data);
    for (std::size_t i = 0; i < data.mv_size; ++i) {
        if (shift > 28)
            throw StoreError(env.Folder() + ": the hashes of track " + std::to_string(id) + " are damaged");
        delta |= static_cast<std::uint32_t>(bytes[i] & 0x7f) << shift;
        shift += 7;
        if (bytes[i] & 0x80)
            continue;
        hash += delta;
        if (hash > std::numeric_limits<std::uint32_t>::max() || (!hashes.empty() && delta == 0))
            throw StoreError(env.Folder() + ": the hashes of track " + std::to_string(id) + " are damaged");
        hashes.push_back(static_cast<std::uint32_t>(hash));
        delta = 0;
        shift = 0;
    }
    if (shift != 0)
        throw StoreError(env.Folder() + ": the hashes of track " + std::to_string(id) + " are damaged");
    return hashes;
}

// Puts the postings of one hash, ascending, as blocks from where they
// start.
void PutBlocks(const Env& env, MDB_txn* txn, std::uint32_t hash, std::span<const Posting> postings, unsigned flags)
{
    std::string value;
    for (std::size_t at = 0; at < postings.size(); at += kBlockPostings) {
        const auto block = postings.subspan(at, std::min(kBlockPostings, postings.size() - at));
        value.clear();
        EncodeBlock(block, value);
        const Env::BlockKey key_bytes = Env::KeyOf(hash, block.front());
        MDB_val key = Val(key_bytes.data(), key_bytes.size());
        MDB_val data = Val(value.data(), value.size());
        env.Check(mdb_put(txn, env.blocks, &key, &data, flags), "writing postings");
    }
}

void PutCount(const Env& env, MDB_txn* txn, std::uint32_t hash, std::uint64_t count, unsigned flags)
{
    MDB_val key = Val(&hash, sizeof hash);
    if (count == 0) {
        if (const int rc = mdb_del(txn, env.counts, &key, nullptr); rc != MDB_NOTFOUND)
            env.Check(rc, "removing a posting count");
        return;
    }
    MDB_val data = Val(&count, sizeof count);
    env.Check(mdb_put(txn, env.counts, &key, &data, flags), "writing a posting count");
}

std::uint64_t GetCount(const Env& env, MDB_txn* txn, std::uint32_t hash)
{
    MDB_val key = Val(&hash, sizeof hash);
    MDB_val data;
    const int rc = mdb_get(txn, env.counts, &key, &data);
    if (rc == MDB_NOTFOUND)
        return 0;
    env.Check(rc, "reading a posting count");
    return env.CountOf(data);
}

// The posting count of every hash in memory, so that weighing a query's
// hashes takes no search of the counts database. Hashes below 2^22 (those
// of the default landmarks) index a flat array; wider ones go in an open
// hash table of twice the hashes' number. A count is held in 32 bits; a
// larger one (kInDatabase) is read from the database.
//
// A table is of one snapshot of the database, the LMDB transaction id it
// was read at or that this process's last write committed as; snapshot_
// says which, 0 while a writer changes it. A reader takes counts from it
// only in a transaction of that snapshot, and checks the id again after
// (a sequence lock: the counts are atomics, read and written relaxed), so
// that the counts it uses are always its own snapshot's.
class CountTable {
public:
    static constexpr std::uint32_t kFlatHashes = 1u << 22;
    static constexpr std::uint32_t kInDatabase = std::numeric_limits<std::uint32_t>::max();

    // The counts of txn's snapshot; nullptr when a count or its key is
    // damaged (lookups then read counts from the database, which says so
    // for the hashes it is asked about).
    static std::unique_ptr<CountTable> Read(const Env& env, MDB_txn* txn)
    {
        MDB_stat stat;
        env.Check(mdb_stat(txn, env.counts, &stat), "reading the number of hashes");
        const Cursor cursor(env, txn, env.counts);
        MDB_val key;
        MDB_val data;
        int rc = mdb_cursor_get(cursor.get(), &key, &data, MDB_LAST);
        if (rc != MDB_NOTFOUND)
            env.Check(rc, "reading the posting counts");
        if (rc == MDB_SUCCESS && key.mv_size != sizeof(std::uint32_t))
            return nullptr;
        const bool flat = rc == MDB_NOTFOUND || Load<std::uint32_t>(key.mv_data) < kFlatHashes;
        auto table = std::unique_ptr<CountTable>(new CountTable(flat, stat.ms_entries));
        for (rc = mdb_cursor_get(cursor.get(), &key, &data, MDB_FIRST); rc == MDB_SUCCESS;
             rc = mdb_cursor_get(cursor.get(), &key, &data, MDB_NEXT)) {
            if (key.mv_size != sizeof(std::uint32_t) || data.mv_size != sizeof(std::uint64_t) ||
                !table->Set(Load<std::uint32_t>(key.mv_data), Load<std::uint64_t>(data.mv_data)))
                return nullptr;
        }
        if (rc != MDB_NOTFOUND)
            env.Check(rc, "reading the posting counts");
        table->read_ = stat.ms_entries;
        table->snapshot_.store(mdb_txn_id(txn), std::memory_order_relaxed);
        return table;
    }

    ~CountTable()
    {
        std::free(counts_);
        std::free(keys_);
    }
    CountTable(const CountTable&) = delete;
    CountTable& operator=(const CountTable&) = delete;

    // The counts of hashes (any order) in the snapshot of transaction id
    // snapshot; false when the table is not of it.
    bool Weigh(std::uint64_t snapshot, std::span<const std::uint32_t> hashes, std::span<std::uint64_t> counts) const
    {
        if (snapshot == 0 || snapshot_.load(std::memory_order_acquire) != snapshot)
            return false;
        for (std::size_t i = 0; i < hashes.size(); ++i)
            counts[i] = Get(hashes[i]);
        // A read-modify-write that changes nothing, so that the counts are
        // read before it.
        return snapshot_.fetch_add(0, std::memory_order_acq_rel) == snapshot;
    }

    std::uint64_t Snapshot() const noexcept { return snapshot_.load(std::memory_order_acquire); }
    // The hashes read (what reading the table again costs).
    std::uint64_t Hashes() const noexcept { return read_; }

    // Brings the table from snapshot from to snapshot to, a write of this
    // process that set the counts given; the table is left of no snapshot
    // when it has no room for a hash.
    void Change(std::uint64_t from, std::uint64_t to, std::span<const std::pair<std::uint32_t, std::uint64_t>> set)
    {
        if (snapshot_.load(std::memory_order_relaxed) != from)
            return;
        snapshot_.exchange(0, std::memory_order_acq_rel);  // before any count changes
        for (const auto& [hash, count] : set) {
            if (!Set(hash, count))
                return;
        }
        snapshot_.store(to, std::memory_order_release);
    }

private:
    CountTable(bool flat, std::size_t hashes) : flat_(flat)
    {
        capacity_ = flat ? kFlatHashes : std::bit_ceil(std::max<std::size_t>(1024, 2 * hashes));
        // Zeroed pages from the system, touched only where a hash is.
        counts_ = static_cast<std::uint32_t*>(std::calloc(capacity_, sizeof(std::uint32_t)));
        keys_ = flat ? nullptr : static_cast<std::uint32_t*>(std::calloc(capacity_, sizeof(std::uint32_t)));
        if (counts_ == nullptr || (!flat && keys_ == nullptr)) {
            std::free(counts_);
            std::free(keys_);
            throw std::bad_alloc();
        }
    }

    static std::uint32_t Relaxed(const std::uint32_t& word)
    {
        return std::atomic_ref(const_cast<std::uint32_t&>(word)).load(std::memory_order_relaxed);
    }
    static void Put(std::uint32_t& word, std::uint32_t value)
    {
        std::atomic_ref(word).store(value, std::memory_order_relaxed);
    }

    // Open addressing by a multiplicative hash, stepping on; a key is the
    // hash + 1 (0: a free slot), the hash of all ones is kept aside.
    std::size_t SlotOf(std::uint32_t hash) const noexcept
    {
        return static_cast<std::size_t>((std::uint64_t{hash} * 0x9e3779b97f4a7c15u) >> 32) & (capacity_ - 1);
    }

    std::uint64_t Get(std::uint32_t hash) const
    {
        std::uint32_t count = 0;
        if (flat_) {
            if (hash >= kFlatHashes)
                return 0;
            count = Relaxed(counts_[hash]);
        } else if (hash == kAllOnes) {
            count = Relaxed(all_ones_);
        } else {
            for (std::size_t slot = SlotOf(hash);; slot = (slot + 1) & (capacity_ - 1)) {
                const std::uint32_t key = Relaxed(keys_[slot]);
                if (key == 0)
                    return 0;
                if (key == hash + 1) {
                    count = Relaxed(counts_[slot]);
                    break;
                }
            }
        }
        return count == kInDatabase ? kAskTheDatabase : count;
    }

    bool Set(std::uint32_t hash, std::uint64_t count)
    {
        const auto held = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, kInDatabase));
        if (flat_) {
            if (hash >= kFlatHashes)
                return false;
            Put(counts_[hash], held);
            return true;
        }
        if (hash == kAllOnes) {
            Put(all_ones_, held);
            return true;
        }
        for (std::size_t slot = SlotOf(hash);; slot = (slot + 1) & (capacity_ - 1)) {
            const std::uint32_t key = keys_[slot];
            if (key == hash + 1) {
                Put(counts_[slot], held);
                return true;
            }
            if (key == 0) {
                if (2 * (used_ + 1) > capacity_)
                    return false;  // kept at most half full, so that a search ends soon
                ++used_;
                Put(counts_[slot], held);
                Put(keys_[slot], hash + 1);
                return true;
            }
        }
    }

public:
    // What Weigh gives for a count held in the database alone.
    static constexpr std::uint64_t kAskTheDatabase = std::numeric_limits<std::uint64_t>::max();

private:
    static constexpr std::uint32_t kAllOnes = std::numeric_limits<std::uint32_t>::max();
    bool flat_;
    std::size_t capacity_ = 0;
    std::size_t used_ = 0;  // keys taken, of an open table
    std::uint64_t read_ = 0;
    std::uint32_t* counts_ = nullptr;
    std::uint32_t* keys_ = nullptr;
    std::uint32_t all_ones_ = 0;
    mutable std::atomic<std::uint64_t> snapshot_{0};
};

// The count table of an open store (CountTable): read in the first lookup,
// brought up to date by this process's writes, and read again when another
// process has written, once the lookups since have weighed enough hashes
// in the database to pay for it (so that a catalogue written to all the
// time costs its readers at most about twice what reading every count from
// the database would).
class Counts {
public:
    explicit Counts(bool in_memory) : read_once_(!in_memory), failed_at_(in_memory ? 0 : kNever) {}

    // The posting counts of hashes (ascending, no repeats) in txn's
    // snapshot, from the table when it is of that snapshot.
    void Weigh(const Env& env, MDB_txn* txn, std::span<const std::uint32_t> hashes,
               std::span<std::uint64_t> counts) const
    {
        const std::uint64_t snapshot = mdb_txn_id(txn);
        std::shared_ptr<const CountTable> table = Current();
        bool weighed = table != nullptr && table->Weigh(snapshot, hashes, counts);
        if (!weighed && WorthReading(table.get(), snapshot, hashes.size())) {
            std::unique_lock reading(read_mutex_, std::try_to_lock);
            const std::shared_ptr<const CountTable> now = Current();
            if (reading.owns_lock() && (now == nullptr || now->Snapshot() < snapshot)) {
                table = Read(env, txn, snapshot);
                weighed = table != nullptr && table->Weigh(snapshot, hashes, counts);
            }
        }
        if (weighed) {
            for (std::size_t i = 0; i < hashes.size(); ++i) {
                if (counts[i] == CountTable::kAskTheDatabase)
                    counts[i] = GetCount(env, txn, hashes[i]);
            }
            return;
        }
        const Cursor cursor(env, txn, env.counts);
        Seek seek;
        std::size_t i = 0;
        for (; i < hashes.size(); ++i) {
            counts[i] = seek.To(env, cursor, hashes[i]);
            if (counts[i] == Seek::kPastTheEnd)
                break;
        }
        std::fill(counts.begin() + static_cast<std::ptrdiff_t>(i), counts.end(), 0);
    }

    // A write of this process committed as transaction id committed,
    // having set these counts.
    void Committed(std::uint64_t committed, std::span<const std::pair<std::uint32_t, std::uint64_t>> set)
    {
        const std::lock_guard reading(read_mutex_);
        const std::shared_ptr<CountTable> table = Current();
        if (table != nullptr)
            table->Change(committed - 1, committed, set);
    }

private:
    // Reading the whole counts database costs about as much as weighing
    // this fraction of its hashes there one by one.
    static constexpr std::uint64_t kReadCostShare = 32;
    // failed_at_ of a store that holds no table.
    static constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();

    std::shared_ptr<CountTable> Current() const
    {
        const std::lock_guard lock(table_mutex_);
        return table_;
    }

    bool WorthReading(const CountTable* table, std::uint64_t snapshot, std::size_t weighing) const
    {
        if (!read_once_.load(std::memory_order_relaxed))
            return true;
        const std::uint64_t failed_at = failed_at_.load(std::memory_order_relaxed);
        if (snapshot == failed_at || failed_at == kNever)
            return false;
        if (table != nullptr && table->Snapshot() >= snapshot)
            return false;  // a transaction older than the table (or one a writer is bringing it to)
        const std::uint64_t weighed = weighed_since_.fetch_add(weighing, std::memory_order_relaxed) + weighing;
        return weighed >= hashes_.load(std::memory_order_relaxed) / kReadCostShare;
    }

    std::shared_ptr<CountTable> Read(const Env& env, MDB_txn* txn, std::uint64_t snapshot) const
    {
        read_once_.store(true, std::memory_order_relaxed);
        weighed_since_.store(0, std::memory_order_relaxed);
        std::shared_ptr<CountTable> table = CountTable::Read(env, txn);
        if (table == nullptr) {
            failed_at_.store(snapshot, std::memory_order_relaxed);
            hashes_.store(CountTable::kFlatHashes, std::memory_order_relaxed);
            return nullptr;
        }
        hashes_.store(table->Hashes(), std::memory_order_relaxed);
        const std::lock_guard lock(table_mutex_);
        table_ = table;
        return table;
    }

    mutable std::mutex read_mutex_;   // reading a table, a writer changing it
    mutable std::mutex table_mutex_;  // table_ itself
    mutable std::shared_ptr<CountTable> table_;
    mutable std::atomic<bool> read_once_{false};
    mutable std::atomic<std::uint64_t> failed_at_{0};      // the snapshot a table could not be read at
    mutable std::atomic<std::uint64_t> weighed_since_{0};  // hashes weighed in the database since a read
    mutable std::atomic<std::uint64_t> hashes_{0};         // of the last table read
};

// Hashes and the counts a write set them to.
using CountsSet = std::vector<std::pair<std::uint32_t, std::uint64_t>>;

// Makes the postings of track id under hash (id, frame) for the frames
// given (ascending, distinct; none to take the track's away), rewriting
// only the blocks that hold the track's postings or where they go: for a
// new track, above all others, the hash's last block unless it is full.
// Returns the postings taken away and those put; the hash's new count
// goes into counts_set when it changes.
std::pair<std::uint64_t, std::uint64_t> SetTrackPostings(const Env& env, MDB_txn* txn, const Cursor& cursor,
                                                         std::uint32_t hash, std::uint32_t id,
                                                         std::span<const std::uint32_t> frames, CountsSet& counts_set)
{
    std::vector<Posting> run;
    std::vector<Env::BlockKey> old_keys;
    const auto keep_key = [&](const MDB_val& key) {
        Env::BlockKey copy;
        env.OfKey(key);  // checks the size
        std::memcpy(copy.data(), key.mv_data, copy.size());
        old_keys.push_back(copy);
    };
    const Env::BlockKey from = Env::KeyOf(hash, {id, 0});
    MDB_val key = Val(from.data(), from.size());
    MDB_val data;
    // The block before the track's first place may end with the track's
    // postings, or be the one they are added to.
    int rc = mdb_cursor_get(cursor.get(), &key, &data, MDB_SET_RANGE);
    if (rc != MDB_NOTFOUND)
        env.Check(rc, "finding a hash's postings");
    // No block starts with the track when the first from its place on is
    // another hash's or another track's (always so for a new track).
    const bool none_start_with_it =
        rc == MDB_NOTFOUND || env.OfKey(key).first != hash || env.OfKey(key).second.track != id;
    rc = mdb_cursor_get(cursor.get(), &key, &data, rc == MDB_NOTFOUND ? MDB_LAST : MDB_PREV);
    if (rc == MDB_SUCCESS && env.OfKey(key).first == hash) {
        std::vector<Posting> before;
        env.DecodeBlockAt(key, data, before);
        if (before.size() < kBlockPostings || before.back().track >= id) {
            run = std::move(before);
            keep_key(key);
        }
    } else if (rc != MDB_NOTFOUND) {
        env.Check(rc, "finding a hash's postings");
    }
    // Then the blocks that start with the track.
    key = Val(from.data(), from.size());
    for (rc = none_start_with_it ? MDB_NOTFOUND : mdb_cursor_get(cursor.get(), &key, &data, MDB_SET_RANGE);
         rc == MDB_SUCCESS; rc = mdb_cursor_get(cursor.get(), &key, &data, MDB_NEXT)) {
        const auto [at_hash, first] = env.OfKey(key);
        if (at_hash != hash || first.track != id)
            break;
        env.DecodeBlockAt(key, data, run);
        keep_key(key);
    }
    if (rc != MDB_SUCCESS && rc != MDB_NOTFOUND)
        env.Check(rc, "reading a hash's postings");

    const std::size_t before = run.size();
    std::erase_if(run, [id](const Posting& p) { return p.track == id; });
    const std::uint64_t removed = before - run.size();
    const auto at = std::lower_bound(run.begin(), run.end(), Posting{id, 0});
    std::vector<Posting> put;
    put.reserve(frames.size());
    for (const std::uint32_t frame : frames)
        put.push_back({id, frame});
    run.insert(at, put.begin(), put.end());
    if (removed == 0 && put.empty())
        return {0, 0};

    // Old blocks are overwritten where a new one starts alike, else
    // deleted.
    for (const Env::BlockKey& old : old_keys) {
        bool reused = false;
        for (std::size_t at = 0; at < run.size() && !reused; at += kBlockPostings)
            reused = Env::KeyOf(hash, run[at]) == old;
        if (reused)
            continue;
        MDB_val old_key = Val(old.data(), old.size());
        env.Check(mdb_del(txn, env.blocks, &old_key, nullptr), "rewriting postings");
    }
    PutBlocks(env, txn, hash, run, 0);
    const std::uint64_t count = GetCount(env, txn, hash);
    if (count < removed)
        throw StoreError(env.Folder() + ": the posting count of hash " + std::to_string(hash) + " is damaged");
    PutCount(env, txn, hash, count - removed + put.size(), 0);
    if (removed != put.size())
        counts_set.emplace_back(hash, count - removed + put.size());
    return {removed, put.size()};
}

// Takes track id's postings away from the hashes it had (ascending) and
// puts those of its landmarks (DistinctLandmarks). Returns the postings
// taken away and those put; the counts it changes go into counts_set.
std::pair<std::uint64_t, std::uint64_t> WriteTrackPostings(const Env& env, MDB_txn* txn, std::uint32_t id,
                                                           std::span<const std::uint32_t> old_hashes,
                                                           std::span<const Landmark> sorted, CountsSet& counts_set)
{
    const Cursor cursor(env, txn, env.blocks);
    std::pair<std::uint64_t, std::uint64_t> changed{0, 0};
    std::vector<std::uint32_t> frames;
    std::size_t o = 0;
    std::size_t n = 0;
    while (o < old_hashes.size() || n < sorted.size()) {
        const std::uint32_t hash = n == sorted.size()       ? old_hashes[o]
                                   : o == old_hashes.size() ? sorted[n].hash
                                                            : std::min(old_hashes[o], sorted[n].hash);
        frames.clear();
        for (; n < sorted.size() && sorted[n].hash == hash; ++n)
            frames.push_back(sorted[n].frame);
        for (; o < old_hashes.size() && old_hashes[o] == hash; ++o) {
        }
        const auto [removed, put] = SetTrackPostings(env, txn, cursor, hash, id, frames, counts_set);
        changed.first += removed;
        changed.second += put;
    }
    return changed;
}

class LmdbStore final : public Store {
public:
    LmdbStore(const std::string& folder, OpenMode mode, const LmdbOptions& options)
        : env_(folder, mode, options, Env::Purpose::Open), counts_(options.counts_in_memory)
    {}

    void Lookup(std::span<const std::uint32_t> hashes, const PostingVisitor& visit) const override
    {
        LookupWithin(hashes, {}, {}, visit);
    }

    LookupLeftOut LookupWithin(std::span<const std::uint32_t> hashes, std::span<const std::uint32_t> weights,
                               const LookupBounds& bounds, const PostingVisitor& visit) const override
    {
        const bool bounded =
            bounds.most_postings != LookupBounds{}.most_postings || bounds.most_votes != LookupBounds{}.most_votes;
        if (bounded && weights.size() != hashes.size())
            throw std::invalid_argument("a bounded lookup needs a weight for every hash");
        // The postings of every hash kept, gathered in the transaction and
        // visited after it, so that the visitor may take its time. The
        // buffers are the thread's, reused from call to call (taken out
        // while in use, in case a visitor looks up too) and given back when
        // a lookup made them large.
        thread_local Gathered kept;
        Gathered gathered = std::exchange(kept, {});
        LookupLeftOut left_out;
        env_.Run(false, [&](MDB_txn* txn) {
            left_out = {};
            gathered.Clear();
            // Every hash weighed first (from memory, as a rule), then the
            // postings of those kept read in one sweep of the blocks.
            gathered.counts.resize(hashes.size());
            counts_.Weigh(env_, txn, hashes, gathered.counts);
            std::vector<bool> kept;
            if (bounded)
                kept = KeptWithin(gathered.counts, weights, bounds, left_out);
            const Cursor blocks(env_, txn, env_.blocks);
            std::uint64_t at = Gathered::kNowhere;  // where blocks is
            for (std::size_t i = 0; i < hashes.size(); ++i) {
                if (gathered.counts[i] > 0 && (!bounded || kept[i]))
                    gathered.Read(env_, blocks, at, hashes[i], gathered.counts[i]);
            }
        });

        for (const Gathered::Span& s : gathered.spans)
            visit(s.hash, std::span<const Posting>(gathered.postings.data() + s.begin, s.end - s.begin));
        gathered.GiveBackWhenLarge();
        kept = std::move(gathered);
        return left_out;
    }

    std::vector<std::uint64_t> CountPostings(std::span<const std::uint32_t> hashes) const override
    {
        std::vector<std::uint64_t> counts(hashes.size());
        env_.Run(false, [&](MDB_txn* txn) { counts_.Weigh(env_, txn, hashes, counts); });
        return counts;
    }

    std::uint64_t IndexedFrames() const override { return ReadMeta().frames; }

    std::vector<std::vector<Peak>> TrackPeaks(std::span<const PeakWindow> windows) const override
    {
        std::vector<std::vector<Peak>> lists(windows.size());
        env_.Run(false, [&](MDB_txn* txn) {
            for (std::size_t i = 0; i < windows.size(); ++i) {
                lists[i].clear();
                std::uint32_t id = windows[i].track;
                MDB_val key = Val(&id, sizeof id);
                MDB_val data;
                const int rc = mdb_get(txn, env_.track_peaks, &key, &data);
                if (rc == MDB_NOTFOUND)
                    continue;
                env_.Check(rc, "reading a track's peaks");
                const std::string_view stored(static_cast<const char*>(data.mv_data), data.mv_size);
                if (!DecodePeaksBetween(stored, windows[i].from, windows[i].to, lists[i]))
                    throw StoreError(env_.Folder() + ": the peaks of track " + std::to_string(id) + " are damaged");
            }
        });
        return lists;
    }

    Added Add(const TrackInfo& info, std::span<const Landmark> landmarks, std::span<const Peak> peaks) override
    {
        env_.RequireWritable("add a track");
        const std::string content_key = ContentKey(env_, info.content);
        const std::string stored_peaks = EncodePeaks(InTimeOrder(peaks));
        const std::vector<Landmark> sorted = DistinctLandmarks(landmarks);
        const std::string hashes = EncodeHashes(sorted);

        std::lock_guard write_lock(write_mutex_);
        Added added;
        Written written;
        env_.Run(true, [&](MDB_txn* txn) {
            added = {};
            written.Begin(txn);
            MDB_val content_val = Val(content_key.data(), content_key.size());
            MDB_val data;
            int rc = mdb_get(txn, env_.content, &content_val, &data);
            if (rc == MDB_SUCCESS) {
                added.id = Load<std::uint32_t>(data.mv_data);
                return;
            }
            if (rc != MDB_NOTFOUND)
                env_.Check(rc, "looking up the content hash");

            Meta meta = env_.ReadMeta(txn);
            // Ids are never reused: an old answer never names another track.
            const std::uint32_t id = meta.next_id;
            if (id == 0)
                throw StoreError(env_.Folder() + ": no track ids left");

            // The new id is above every stored one, so each posting goes
            // after its hash's others.
            WriteTrackPostings(env_, txn, id, {}, sorted, written.counts);

            TrackInfo track = info;
            track.id = id;
            track.postings = sorted.size();
            const std::string record = EncodeTrack(track);
            MDB_val id_key = Val(&id, sizeof id);
            MDB_val record_val = Val(record.data(), record.size());
            env_.Check(mdb_put(txn, env_.tracks, &id_key, &record_val, 0), "adding the track");
            MDB_val hashes_val = Val(hashes.data(), hashes.size());
            env_.Check(mdb_put(txn, env_.track_hashes, &id_key, &hashes_val, 0), "adding the track's hashes");
            if (!stored_peaks.empty()) {
                MDB_val peaks_val = Val(stored_peaks.data(), stored_peaks.size());
                env_.Check(mdb_put(txn, env_.track_peaks, &id_key, &peaks_val, 0), "adding the track's peaks");
            }
            env_.Check(mdb_put(txn, env_.content, &content_val, &id_key, 0), "adding the content hash");

            meta.next_id = id + 1;
            meta.tracks += 1;
            meta.postings += track.postings;
            meta.frames += track.frames;
            env_.WriteMeta(txn, meta);
            added = {id, true};
            written.wrote = true;
        });
        written.Committed(counts_);
        return added;
    }

    bool Remove(std::uint32_t id) override
    {
        env_.RequireWritable("remove a track");
        std::lock_guard write_lock(write_mutex_);
        bool removed = false;
        Written written;
        env_.Run(true, [&](MDB_txn* txn) {
            removed = false;
            written.Begin(txn);
            const std::optional<TrackInfo> track = GetTrack(env_, txn, id);
            if (!track)
                return;
            MDB_val id_key = Val(&id, sizeof id);
            MDB_val data;
            env_.Check(mdb_get(txn, env_.track_hashes, &id_key, &data), "reading the track's hashes");
            const std::vector<std::uint32_t> hashes = DecodeHashes(env_, id, data);
            WriteTrackPostings(env_, txn, id, hashes, {}, written.counts);

            env_.Check(mdb_del(txn, env_.track_hashes, &id_key, nullptr), "removing the track's hashes");
            if (const int rc = mdb_del(txn, env_.track_peaks, &id_key, nullptr); rc != MDB_NOTFOUND)
                env_.Check(rc, "removing the track's peaks");
            env_.Check(mdb_del(txn, env_.tracks, &id_key, nullptr), "removing the track");
            const std::string content_key = ContentKey(env_, track->content);
            MDB_val content_val = Val(content_key.data(), content_key.size());
            env_.Check(mdb_del(txn, env_.content, &content_val, nullptr), "removing the content hash");
            Meta meta = env_.ReadMeta(txn);
            meta.tracks -= 1;
            meta.postings -= track->postings;
            meta.frames -= track->frames;
            env_.WriteMeta(txn, meta);
            removed = true;
            written.wrote = true;
        });
        written.Committed(counts_);
        return removed;
    }

    bool ReplacePostings(std::uint32_t id, std::span<const Landmark> landmarks) override
    {
        env_.RequireWritable("rebuild a track's postings");
        const std::vector<Landmark> sorted = DistinctLandmarks(landmarks);
        const std::string hashes = EncodeHashes(sorted);
        std::lock_guard write_lock(write_mutex_);
        bool replaced = false;
        Written written;
        env_.Run(true, [&](MDB_txn* txn) {
            replaced = false;
            written.Begin(txn);
            std::optional<TrackInfo> track = GetTrack(env_, txn, id);
            if (!track)
                return;
            MDB_val id_key = Val(&id, sizeof id);
            MDB_val data;
            env_.Check(mdb_get(txn, env_.track_hashes, &id_key, &data), "reading the track's hashes");
            WriteTrackPostings(env_, txn, id, DecodeHashes(env_, id, data), sorted, written.counts);
            MDB_val hashes_val = Val(hashes.data(), hashes.size());
            env_.Check(mdb_put(txn, env_.track_hashes, &id_key, &hashes_val, 0), "writing the track's hashes");
            Meta meta = env_.ReadMeta(txn);
            meta.postings = meta.postings - track->postings + sorted.size();
            track->postings = sorted.size();
            const std::string record = EncodeTrack(*track);
            MDB_val record_val = Val(record.data(), record.size());
            env_.Check(mdb_put(txn, env_.tracks, &id_key, &record_val, 0), "writing the track");
            env_.WriteMeta(txn, meta);
            replaced = true;
            written.wrote = true;
        });
        written.Committed(counts_);
        return replaced;
    }

    std::string IndexFormat() const override
    {
        std::string format;
        env_.Run(false, [&](MDB_txn* txn) { format = env_.ReadFormat(txn); });
        return format;
    }

    void SetIndexFormat(const std::string& format) override
    {
        env_.RequireWritable("record the landmark format");
        std::lock_guard write_lock(write_mutex_);
        Written written;
        env_.Run(true, [&](MDB_txn* txn) {
            written.Begin(txn);
            env_.WriteFormat(txn, format);
            written.wrote = true;
        });
        written.Committed(counts_);
    }

    std::optional<TrackInfo> Track(std::uint32_t id) const override
    {
        std::optional<TrackInfo> track;
        env_.Run(false, [&](MDB_txn* txn) { track = GetTrack(env_, txn, id); });
        return track;
    }

    std::optional<TrackInfo> TrackWithContent(std::string_view content) const override
    {
        const std::string content_key = ContentKey(env_, content);
        std::optional<TrackInfo> track;
        env_.Run(false, [&](MDB_txn* txn) {
            track.reset();
            MDB_val key = Val(content_key.data(), content_key.size());
            MDB_val data;
            const int rc = mdb_get(txn, env_.content, &key, &data);
            if (rc == MDB_NOTFOUND)
                return;
            env_.Check(rc, "looking up the content hash");
            track = GetTrack(env_, txn, Load<std::uint32_t>(data.mv_data));
        });
        return track;
    }

    std::vector<TrackInfo> Tracks() const override
    {
        std::vector<TrackInfo> all;
        env_.Run(false, [&](MDB_txn* txn) {
            all.clear();
            const Cursor cursor(env_, txn, env_.tracks);
            MDB_val key;
            MDB_val data;
            int rc = MDB_SUCCESS;
            while ((rc = mdb_cursor_get(cursor.get(), &key, &data, MDB_NEXT)) == MDB_SUCCESS)
                all.push_back(DecodeTrack(env_, Load<std::uint32_t>(key.mv_data), data));
            if (rc != MDB_NOTFOUND)
                env_.Check(rc, "listing the tracks");
        });
        return all;
    }

    StoreTotals Totals() const override
    {
        const Meta meta = ReadMeta();
        return {meta.tracks, meta.postings, meta.frames, env_.MapAndUsedBytes().second};
    }

private:
    Meta ReadMeta() const
    {
        Meta meta;
        env_.Run(false, [&](MDB_txn* txn) { meta = env_.ReadMeta(txn); });
        return meta;
    }

    // What a write transaction did to the counts, for the count table
    // once it has committed (a transaction that wrote nothing commits as
    // no new snapshot).
    struct Written {
        std::uint64_t id = 0;
        bool wrote = false;
        CountsSet counts;

        // Run again from the start when the map had to grow.
        void Begin(MDB_txn* txn)
        {
            id = mdb_txn_id(txn);
            wrote = false;
            counts.clear();
        }
        void Committed(Counts& table) const
        {
            if (wrote)
                table.Committed(id, counts);
        }
    };

    Env env_;
    std::mutex write_mutex_;
    Counts counts_;
};

}  // namespace

std::unique_ptr<Store> OpenLmdbStore(const std::string& folder, OpenMode mode, const LmdbOptions& options)
{
    return std::make_unique<LmdbStore>(folder, mode, options);
}

std::unique_ptr<Store> OpenLmdbStore(const std::string& folder, OpenMode mode)
{
    return OpenLmdbStore(folder, mode, LmdbOptions{});
}

// The loader writes postings in batches of transactions; the map is grown
// between them, when no transaction is open, with room for a batch to spare.
struct LmdbLoader::State {
    static constexpr std::uint64_t kBatchPostings = 1u << 21;
    static constexpr std::uint64_t kRoomBytes = std::uint64_t{256} << 20;

    State(const std::string& folder, const LmdbOptions& options)
        : env(folder, OpenMode::ReadWrite, options, Env::Purpose::Load)
    {}

    ~State()
    {
        if (txn != nullptr)
            mdb_txn_abort(txn);
    }

    void MakeRoom(std::uint64_t extra)
    {
        const auto [map, used] = env.MapAndUsedBytes();
        if (used + extra + kRoomBytes > map)
            env.GrowTo(std::max(map * 2, used + extra + kRoomBytes));
    }

    // A batch's transaction, begun with room for it when none is open.
    void Begin()
    {
        if (txn != nullptr)
            return;
        MakeRoom(kBatchPostings * 32);
        txn = env.BeginWrite();
    }

    // Counts what the batch has written, and commits it when full.
    void Written(std::uint64_t postings)
    {
        in_batch += postings;
        if (in_batch >= kBatchPostings)
            Commit();
    }

    void Commit()
    {
        if (txn == nullptr)
            return;
        MDB_txn* done = std::exchange(txn, nullptr);
        env.CheckWritten(mdb_txn_commit(done), "committing loaded postings");
        in_batch = 0;
    }

    Env env;
    MDB_txn* txn = nullptr;
    std::uint64_t in_batch = 0;
    bool any_hash = false;
    std::uint32_t last_hash = 0;
    std::vector<TrackInfo> tracks;          // by id - 1
    std::vector<std::string> track_hashes;  // varint deltas, by id - 1
    std::vector<std::uint32_t> track_last;  // each track's last hash
    bool finished = false;
};

LmdbLoader::LmdbLoader(const std::string& folder, const LmdbOptions& options)
    : state_(std::make_unique<State>(folder, options))
{}

LmdbLoader::~LmdbLoader() = default;

std::uint32_t LmdbLoader::AddTrack(const TrackInfo& info, std::span<const Peak> peaks)
{
    State& s = *state_;
    if (s.finished)
        throw StoreError(s.env.Folder() + ": the load has finished");
    TrackInfo track = info;
    track.id = static_cast<std::uint32_t>(s.tracks.size() + 1);
    if (!peaks.empty()) {
        // Written now, in the batch under way: ids ascend, so each goes last.
        const std::string stored = EncodePeaks(InTimeOrder(peaks));
        s.Begin();
        MDB_val id_key = Val(&track.id, sizeof track.id);
        MDB_val peaks_val = Val(stored.data(), stored.size());
        s.env.Check(mdb_put(s.txn, s.env.track_peaks, &id_key, &peaks_val, MDB_APPEND), "loading a track's peaks");
        s.Written(peaks.size());  // a peak is smaller than a posting: counting it as one leaves room
    }
    track.postings = 0;
    s.tracks.push_back(std::move(track));
    s.track_hashes.emplace_back();
    s.track_last.push_back(0);
    return s.tracks.back().id;
}

void LmdbLoader::AddPostings(std::uint32_t hash, std::span<const Posting> postings)
{
    State& s = *state_;
    if (s.finished || (s.any_hash && hash <= s.last_hash))
        throw StoreError(s.env.Folder() + ": loaded hashes must ascend");
    for (std::size_t i = 0; i < postings.size(); ++i) {
        if (postings[i].track == 0 || postings[i].track > s.tracks.size())
            throw StoreError(s.env.Folder() + ": a loaded posting names an undeclared track");
        if (i > 0 && !(postings[i - 1] < postings[i]))
            throw StoreError(s.env.Folder() + ": a hash's loaded postings must ascend");
    }
    if (postings.empty())
        return;
    s.any_hash = true;
    s.last_hash = hash;
    s.Begin();

    // A new key after every other: whole blocks, then the count.
    PutBlocks(s.env, s.txn, hash, postings, MDB_APPEND);
    PutCount(s.env, s.txn, hash, postings.size(), MDB_APPEND);
    for (const Posting& p : postings) {
        const std::size_t t = p.track - 1;
        if (s.track_hashes[t].empty() || s.track_last[t] != hash) {
            PutVarint(s.track_hashes[t], hash - s.track_last[t]);
            s.track_last[t] = hash;
        }
        s.tracks[t].postings += 1;
    }
    s.Written(postings.size());
}

void LmdbLoader::Finish()
{
    State& s = *state_;
    if (s.finished)
        return;
    s.Commit();
    std::uint64_t bytes = 0;
    for (std::size_t t = 0; t < s.tracks.size(); ++t)
        bytes += s.track_hashes[t].size() + s.tracks[t].title.size() + s.tracks[t].artist.size() +
                 s.tracks[t].source.size() + 2 * s.tracks[t].content.size() + 64;
    s.MakeRoom(2 * bytes);

    s.txn = s.env.BeginWrite();
    Meta meta = s.env.ReadMeta(s.txn);
    for (const TrackInfo& track : s.tracks) {
        const std::uint32_t id = track.id;
        const std::string record = EncodeTrack(track);
        MDB_val id_key = Val(&id, sizeof id);
        MDB_val record_val = Val(record.data(), record.size());
        s.env.Check(mdb_put(s.txn, s.env.tracks, &id_key, &record_val, MDB_APPEND), "loading a track");
        const std::string& hashes = s.track_hashes[id - 1];
        MDB_val hashes_val = Val(hashes.data(), hashes.size());
        s.env.Check(mdb_put(s.txn, s.env.track_hashes, &id_key, &hashes_val, MDB_APPEND), "loading a track's hashes");
        const std::string content_key = ContentKey(s.env, track.content);
        MDB_val content_val = Val(content_key.data(), content_key.size());
        const int rc = mdb_put(s.txn, s.env.content, &content_val, &id_key, MDB_NOOVERWRITE);
        if (rc == MDB_KEYEXIST)
            throw StoreError(s.env.Folder() + ": two loaded tracks have the content " + track.content);
        s.env.Check(rc, "loading a content hash");
        meta.tracks += 1;
        meta.postings += track.postings;
        meta.frames += track.frames;
    }
    meta.next_id = static_cast<std::uint32_t>(s.tracks.size() + 1);
    meta.loading = 0;
    s.env.WriteMeta(s.txn, meta);
    s.Commit();
    s.finished = true;
}

namespace {

// The write transactions of a compaction's new catalogue, a batch of bytes
// each, the map grown between them.
class Batches {
public:
    explicit Batches(Env& env) : env_(env) {}
    ~Batches()
    {
        if (txn_ != nullptr)
            mdb_txn_abort(txn_);
    }
    Batches(const Batches&) = delete;
    Batches& operator=(const Batches&) = delete;

    MDB_txn* Txn()
    {
        if (txn_ == nullptr) {
            const auto [map, used] = env_.MapAndUsedBytes();
            constexpr std::uint64_t kRoom = 4 * kBatchBytes + (std::uint64_t{64} << 20);
            if (used + kRoom > map)
                env_.GrowTo(std::max(map * 2, used + kRoom));
            txn_ = env_.BeginWrite();
        }
        return txn_;
    }

    void Wrote(std::uint64_t bytes)
    {
        written_ += bytes;
        if (written_ >= kBatchBytes)
            Commit();
    }

    void Commit()
    {
        if (txn_ == nullptr)
            return;
        env_.CheckWritten(mdb_txn_commit(std::exchange(txn_, nullptr)), "committing the compacted catalogue");
        written_ = 0;
    }

private:
    static constexpr std::uint64_t kBatchBytes = std::uint64_t{32} << 20;
    Env& env_;
    MDB_txn* txn_ = nullptr;
    std::uint64_t written_ = 0;
};

// Copies every record of a database in key order, appended.
void CopyDatabase(const Env& from_env, MDB_txn* from, MDB_dbi from_dbi, const Env& to_env, Batches& to, MDB_dbi to_dbi,
                  const char* what)
{
    const Cursor cursor(from_env, from, from_dbi);
    MDB_val key;
    MDB_val data;
    int rc = MDB_SUCCESS;
    while ((rc = mdb_cursor_get(cursor.get(), &key, &data, MDB_NEXT)) == MDB_SUCCESS) {
        to_env.Check(mdb_put(to.Txn(), to_dbi, &key, &data, MDB_APPEND), what);
        to.Wrote(key.mv_size + data.mv_size + 16);
    }
    if (rc != MDB_NOTFOUND)
        from_env.Check(rc, what);
}

// Calls take(hash, postings) for every hash of the source in ascending
// order, whichever way its postings are stored.
void ForEachHash(const Env& env, MDB_txn* txn, const std::function<void(std::uint32_t, std::span<const Posting>)>& take)
{
    std::vector<Posting> postings;
    MDB_val key;
    MDB_val data;
    int rc = MDB_SUCCESS;
    if (env.Schema() == kSchemaVersion) {
        const Cursor cursor(env, txn, env.blocks);
        std::uint32_t current = 0;
        while ((rc = mdb_cursor_get(cursor.get(), &key, &data, MDB_NEXT)) == MDB_SUCCESS) {
            const std::uint32_t hash = env.OfKey(key).first;
            if (!postings.empty() && hash != current) {
                take(current, postings);
                postings.clear();
            }
            current = hash;
            env.DecodeBlockAt(key, data, postings);
        }
        if (!postings.empty())
            take(current, postings);
    } else {
        // One 8-byte duplicate a posting, (track << 32 | frame), a page at a time.
        const Cursor cursor(env, txn, env.postings);
        while ((rc = mdb_cursor_get(cursor.get(), &key, &data, MDB_NEXT_NODUP)) == MDB_SUCCESS) {
            if (key.mv_size != sizeof(std::uint32_t))
                throw StoreError(env.Folder() + ": a postings key of " + std::to_string(key.mv_size) + " bytes");
            const auto hash = Load<std::uint32_t>(key.mv_data);
            postings.clear();
            int more = MDB_SUCCESS;
            for (more = mdb_cursor_get(cursor.get(), &key, &data, MDB_GET_MULTIPLE); more == MDB_SUCCESS;
                 more = mdb_cursor_get(cursor.get(), &key, &data, MDB_NEXT_MULTIPLE)) {
                const auto* bytes = static_cast<const unsigned char*>(data.mv_data);
                for (std::size_t at = 0; at + 8 <= data.mv_size; at += 8) {
                    const auto v = Load<std::uint64_t>(bytes + at);
                    postings.push_back({static_cast<std::uint32_t>(v >> 32), static_cast<std::uint32_t>(v)});
                }
            }
            if (more != MDB_NOTFOUND)
                env.Check(more, "reading postings");
            if (!std::is_sorted(postings.begin(), postings.end()))
                throw StoreError(env.Folder() + ": the postings of hash " + std::to_string(hash) + " are out of order");
            take(hash, postings);
        }
    }
    if (rc != MDB_NOTFOUND)
        env.Check(rc, "reading postings");
}

std::uint64_t DataBytes(const std::filesystem::path& folder)
{
    std::error_code error;
    const auto size = std::filesystem::file_size(folder / "data.mdb", error);
    return error ? 0 : size;
}

}  // namespace

std::pair<std::uint64_t, std::uint64_t> CompactLmdbStore(const std::string& folder, const LmdbOptions& options)
{
    namespace fs = std::filesystem;
    const fs::path target(folder);
    const fs::path building(folder + ".compacting");
    const fs::path before(folder + ".before-compacting");
    const auto check = [&](const std::error_code& error, const std::string& doing) {
        if (error)
            throw StoreError(folder + ": " + doing + ": " + error.message());
    };
    std::error_code error;
    // A run cut short between its two renames: the old catalogue goes back
    // (the new one is made again).
    if (!fs::exists(target / "data.mdb", error) && fs::exists(before / "data.mdb", error)) {
        fs::remove_all(target, error);
        fs::rename(before, target, error);
        check(error, "putting back the catalogue an interrupted compaction had moved aside");
    }
    fs::remove_all(before, error);
    check(error, "removing the old catalogue a compaction left");
    fs::remove_all(building, error);
    check(error, "removing an unfinished compaction");

    const std::uint64_t bytes_before = DataBytes(target);
    LmdbOptions source_options = options;
    source_options.any_index_format = true;
    Env source(folder, OpenMode::ReadWrite, source_options, Env::Purpose::Source);
    // A write transaction keeps other writers out, so that nothing added
    // meanwhile is lost with the old catalogue; it only reads.
    source.Run(true, [&](MDB_txn* from) {
        {
            Env copy(building.string(), OpenMode::ReadWrite, options, Env::Purpose::Load);
            Batches to(copy);
            ForEachHash(source, from, [&](std::uint32_t hash, std::span<const Posting> postings) {
                PutBlocks(copy, to.Txn(), hash, postings, MDB_APPEND);
                PutCount(copy, to.Txn(), hash, postings.size(), MDB_APPEND);
                to.Wrote(postings.size() * 4 + 32);
            });
            CopyDatabase(source, from, source.tracks, copy, to, copy.tracks, "copying the tracks");
            CopyDatabase(source, from, source.content, copy, to, copy.content, "copying the content hashes");
            CopyDatabase(source, from, source.track_hashes, copy, to, copy.track_hashes, "copying the tracks' hashes");
            if (source.has_track_peaks)
                CopyDatabase(source, from, source.track_peaks, copy, to, copy.track_peaks, "copying the tracks' peaks");
            Meta meta = source.ReadMeta(from);
            meta.schema = kSchemaVersion;
            meta.loading = 0;
            copy.WriteMeta(to.Txn(), meta);
            copy.WriteFormat(to.Txn(), source.ReadFormat(from));
            to.Commit();
        }
        std::error_code moved;
        fs::rename(target, before, moved);
        check(moved, "moving the old catalogue aside");
        fs::rename(building, target, moved);
        check(moved, "putting the compacted catalogue in place");
    });
    fs::remove_all(before, error);
    check(error, "removing the old catalogue");
    return {bytes_before, DataBytes(target)};
}

}  // namespace vxt::matcher
