// The LMDB store's knobs and its bulk loader, for tests, benchmarks and
// imports; the service opens the store through OpenLmdbStore(folder, mode).
//
// One folder is one LMDB environment with seven named databases:
//   blocks        (hash, track, frame), 12 bytes big-endian -> a block of
//                 the hash's postings from that one on, packed
//                 (PackedPostings.h): up to 128 postings, about 3 bytes each
//   counts        4-byte hash -> its count of postings, 8 bytes (native
//                 integers), so that a lookup weighs hashes before reading
//                 (an open store holds them in memory too)
//   tracks        4-byte id -> the track's description (length-prefixed fields)
//   content       content hash -> 4-byte id
//   track_hashes  4-byte id -> the track's distinct hashes, ascending, as
//                 varint deltas (what Remove deletes, and nothing else)
//   track_peaks   4-byte id -> the track's peaks in time order, 6 bytes each (StoreSupport.h)
//                 (absent for a track added without them)
//   meta          "meta" -> schema version, format flags, next id, totals;
//                 "format" -> the landmark format of the index (Store::IndexFormat)
//
// One handle per folder per process (LMDB's locks are per process); several
// processes may share a folder: one writing, others reading.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "vextune/matcher/Store.h"

namespace vxt::matcher {

struct LmdbOptions {
    // The map a new environment starts with; it doubles whenever a write
    // finds it full. An existing environment keeps the size it has grown to.
    std::uint64_t initial_map_bytes = std::uint64_t{256} << 20;
    // What the store recovers from by itself, with LMDB's own text: a map
    // grown because it was full or because another process grew it, reader
    // slots cleared that processes which ended left behind. Called
    // from the thread that met it, a writer's with the store's write lock
    // held (so it must not call the store); nothing is said when empty.
    std::function<void(const std::string&)> diagnostics = {};
    // As StoreOptions::any_index_format.
    bool any_index_format = false;
    // Lookups weigh hashes by a table of every hash's count held in memory
    // (4 bytes a hash: 16 MB for the 2^22 hashes of the default landmarks),
    // read in the first lookup; false: by the counts database each time.
    bool counts_in_memory = true;
};

std::unique_ptr<Store> OpenLmdbStore(const std::string& folder, OpenMode mode, const LmdbOptions& options);

// Fills a new store from postings given in hash order, many to a write
// transaction, appending to the end of each database (full pages, no
// searching). The folder must not hold a store yet. Until Finish the store
// is marked as being loaded and refuses to open, so that a load cut short
// is never taken for a catalogue.
class LmdbLoader {
public:
    LmdbLoader(const std::string& folder, const LmdbOptions& options = {});
    ~LmdbLoader();
    LmdbLoader(const LmdbLoader&) = delete;
    LmdbLoader& operator=(const LmdbLoader&) = delete;

    // Declares a track, with its peaks when it has any; its id comes back
    // (1, 2, ...). info.id and info.postings are the loader's to set.
    std::uint32_t AddTrack(const TrackInfo& info, std::span<const Peak> peaks = {});
    // The postings of one hash: hashes strictly ascending from call to call,
    // postings in (track, frame) order without repeats, of declared tracks.
    void AddPostings(std::uint32_t hash, std::span<const Posting> postings);
    // Writes the tracks and the totals and clears the mark.
    void Finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Rewrites the catalogue in folder, of this version or an older one, as a
// bulk load would: every page full, no free pages, postings packed. It is
// built beside the folder (folder + ".compacting") while the old one is
// held against writers, and swapped in by renaming; the old one is kept as
// folder + ".before-compacting" until the new one is in place. Run again
// after an interruption, it finishes or starts over. Other processes that
// have the catalogue open keep reading the old one until they open it
// again: stop them first. Returns the bytes of the data file before and
// after.
std::pair<std::uint64_t, std::uint64_t> CompactLmdbStore(const std::string& folder, const LmdbOptions& options = {});

}  // namespace vxt::matcher
