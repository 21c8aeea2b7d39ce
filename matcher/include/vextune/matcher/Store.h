// Where the catalogue lives: its tracks and the landmark index over them.
//
// A store holds tracks (id, title, artist, where they came from, a hash of
// their audio, length), the postings of their landmarks, and their peaks,
// against which a candidate match is checked peak by peak. Three stores
// share this interface: one in memory (a fixture of tests and fuzzing: it
// keeps nothing), LMDB (one folder, embedded, the default) and PostgreSQL
// (one catalogue shared by several service instances). They answer alike: the same test suite runs
// against each, and against a catalogue spread over several PostgreSQL
// shards (OpenStores).
//
// Threads: the const members may be called from many threads at once; Add
// and Remove from one thread at a time, while others read. A reader sees a
// track wholly or not at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vextune/matcher/Landmarks.h"

namespace vxt::matcher {

struct Posting {
    std::uint32_t track;
    std::uint32_t frame;  // the landmark's anchor, in the track

    friend bool operator==(const Posting&, const Posting&) = default;
    friend auto operator<=>(const Posting&, const Posting&) = default;
};

// Called once for each hash that has postings: the hash and its postings in
// (track, frame) order. The span is valid only during the call.
using PostingVisitor = std::function<void(std::uint32_t hash, std::span<const Posting> postings)>;

// What one lookup may bring back. A hash with more than most_postings
// postings is left out unread: its votes spread over so many tracks and
// offsets that they tell little. The rest bring votes, a hash's postings
// times its weight (how many of the query's landmarks have it), and when
// their votes would pass most_votes the hashes with the most postings are
// left out first (of equal ones the highest hash), until the rest fit.
struct LookupBounds {
    std::uint32_t most_postings = std::numeric_limits<std::uint32_t>::max();
    std::uint64_t most_votes = std::numeric_limits<std::uint64_t>::max();
};

// What a bounded lookup left out: hashes that have postings and were not
// visited, over most_postings or beyond the votes.
struct LookupLeftOut {
    std::uint64_t hashes = 0;
    std::uint64_t votes = 0;  // they would have brought, weights counted
};

// A track among the best of a tally made by the index (see TallyVotes).
struct TallyCandidate {
    std::uint32_t track = 0;
    std::int64_t offset = 0;   // track frame less query frame at its best cell
    std::uint32_t votes = 0;   // at that offset and a frame either way
    std::uint32_t hashes = 0;  // distinct hashes among those votes

    friend bool operator==(const TallyCandidate&, const TallyCandidate&) = default;
};

// The most candidates a tally brings back: the matcher takes the first 8,
// or all of them where the bounds left hashes out (see Match).
inline constexpr std::size_t kTallyCandidates = 32;

struct VoteTally {
    std::vector<TallyCandidate> candidates;  // most votes first, then the lowest track
    std::uint64_t hits = 0;                  // votes cast
    LookupLeftOut left_out;
};

// A stretch of a track whose peaks are wanted: frames from <= frame < to.
struct PeakWindow {
    std::uint32_t track;
    std::uint32_t from;
    std::uint32_t to;
};

// What matching needs of an index.
class LandmarkIndex {
public:
    virtual ~LandmarkIndex() = default;

    // Visits the postings of the given hashes (ascending, no repeats) in
    // ascending hash order; hashes without postings are skipped. A store
    // fetches them all at once (one read transaction, one round trip).
    virtual void Lookup(std::span<const std::uint32_t> hashes, const PostingVisitor& visit) const = 0;

    // Lookup within bounds: weights[i] is the weight of hashes[i] (as many
    // weights as hashes). Visits the hashes kept, in ascending order, their
    // postings' votes within bounds.most_votes, and says what it left out.
    // The stores read no postings they leave out; this default looks the
    // hashes up twice, to count their postings and then to visit them.
    virtual LookupLeftOut LookupWithin(std::span<const std::uint32_t> hashes, std::span<const std::uint32_t> weights,
                                       const LookupBounds& bounds, const PostingVisitor& visit) const;

    // The postings of each hash (ascending, no repeats), 0 for none: what
    // bounds a lookup. This default looks the hashes up.
    virtual std::vector<std::uint64_t> CountPostings(std::span<const std::uint32_t> hashes) const;

    // The votes of a query tallied where the postings are, so that only
    // the best candidates come back; std::nullopt when the index has no
    // such tally (the matcher then looks the postings up and tallies them
    // itself, alike). The query's landmarks come in any order, a hash as
    // often as the query has it. The hashes kept within bounds (as in
    // LookupWithin, a hash weighing as many votes as the query has
    // landmarks of it) vote: each posting once for every landmark of its
    // hash, for its track at offset posting frame less landmark frame
    // (none where posting frame + last query frame - landmark frame + 1
    // would pass 2^32 - 2). A cell's votes are its own and those of the
    // offsets a frame either side; each track is at its best cell (of equal
    // ones the lowest offset), and the kTallyCandidates tracks with the most
    // votes (of equal ones the lowest track) come back.
    virtual std::optional<VoteTally> TallyVotes(std::span<const Landmark> query, const LookupBounds& bounds) const
    {
        (void)query;
        (void)bounds;
        return std::nullopt;
    }

    // Frames indexed over all tracks: the number of (track, offset) cells a
    // wrong answer could come from. May lag a moment behind the writers.
    virtual std::uint64_t IndexedFrames() const = 0;

    // The peaks of each window's track within the window, in time order:
    // one list a window, empty where the index holds no peaks of the track.
    // A store fetches them all at once, like postings.
    virtual std::vector<std::vector<Peak>> TrackPeaks(std::span<const PeakWindow> windows) const = 0;
};

struct TrackInfo {
    std::uint32_t id = 0;  // given by the store, from 1
    std::string title;
    std::string artist;
    std::string source;          // the file it was added from
    std::string content;         // hash of its audio, hex
    std::uint32_t frames = 0;    // length, 8 ms frames
    std::uint64_t postings = 0;  // postings stored (a landmark repeated at one frame counts once)

    friend bool operator==(const TrackInfo&, const TrackInfo&) = default;
};

struct StoreTotals {
    std::uint64_t tracks = 0;
    std::uint64_t postings = 0;
    std::uint64_t frames = 0;
    std::uint64_t bytes = 0;  // of the index and catalogue as stored; 0 in memory
};

class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One track of a batch to add: views of the caller's, valid during the call.
struct NewTrack {
    const TrackInfo& info;
    std::span<const Landmark> landmarks;
    std::span<const Peak> peaks;
};

class Store : public LandmarkIndex {
public:
    struct Added {
        std::uint32_t id = 0;
        bool added = false;  // false: a track of the same content was there, and nothing changed
    };

    // Adds a track (info.id and info.postings are the store's to set) with
    // its landmarks and its peaks (in time order), wholly or not at all,
    // across a crash too.
    virtual Added Add(const TrackInfo& info, std::span<const Landmark> landmarks, std::span<const Peak> peaks) = 0;
    // A track without peaks: matched on its landmarks alone.
    Added Add(const TrackInfo& info, std::span<const Landmark> landmarks) { return Add(info, landmarks, {}); }
    // Adds the tracks in order, each as Add would (one of the same content
    // as an earlier one is present), each wholly or not at all, across a
    // crash too. committed(i, added) is called, in order, once track i is
    // there to stay. A store may commit several tracks at once; when it
    // throws, the tracks it has not called committed for are not added.
    // This default adds one at a time.
    using CommittedSink = std::function<void(std::size_t index, const Added& added)>;
    virtual void AddAll(std::span<const NewTrack> tracks, const CommittedSink& committed);
    // Removes a track and its postings; false when there is no such track.
    virtual bool Remove(std::uint32_t id) = 0;

    // Makes the postings of track id again from landmarks (kept as Add
    // keeps them), wholly or not at all; false when there is no such track.
    // The track keeps its id, description and peaks.
    virtual bool ReplacePostings(std::uint32_t id, std::span<const Landmark> landmarks);

    // The name of the landmarks the index holds (LandmarkFormat): recorded
    // when the store is made, and again by SetIndexFormat once every
    // track's postings have been made anew; kUnrecordedIndexFormat for a
    // store made before stores recorded it.
    virtual std::string IndexFormat() const;
    virtual void SetIndexFormat(const std::string& format);

    virtual std::optional<TrackInfo> Track(std::uint32_t id) const = 0;
    virtual std::optional<TrackInfo> TrackWithContent(std::string_view content) const = 0;
    virtual std::vector<TrackInfo> Tracks() const = 0;  // in id order
    virtual StoreTotals Totals() const = 0;
};

// How every index was made before stores recorded their landmark format.
inline constexpr char kUnrecordedIndexFormat[] = "pairs/1 fan-out 10 frames 63 bins 64";

// What ReindexStore did: tracks whose postings were made again, the
// postings they now have, and the tracks that had no stored peaks (and so
// now have no postings).
struct ReindexReport {
    std::uint64_t tracks = 0;
    std::uint64_t postings = 0;
    std::vector<std::uint32_t> without_peaks;
};

// Makes every track's postings again from its stored peaks with
// MakeLandmarks(options), one track at a time, then records
// LandmarkFormat(options) as the store's index format. Cut short, it is run
// again from the start: until it has finished the store keeps the format it
// had, and is refused for matching. progress, when given, is told of each
// track done and its new count of postings.
ReindexReport ReindexStore(Store& store, const LandmarkOptions& options = {},
                           const std::function<void(const TrackInfo&, std::uint64_t postings)>& progress = {});

enum class OpenMode { ReadOnly, ReadWrite };

struct StoreOptions {
    // Where a store says what it met and got over by itself, with the
    // database's own text (a map grown, a broken connection replaced): one
    // line a call, from the thread that met it, possibly with the store's
    // locks held, so the sink must not call the store. Errors it cannot
    // get over are thrown as StoreError instead. Nothing is said when empty.
    std::function<void(const std::string&)> diagnostics;

    // PostgreSQL: how long to wait for a connection to be made (libpq
    // counts whole seconds, and no fewer than 2), for the answer to a read
    // (a lookup, a track, the totals) and for a write (adding or removing a
    // track, making the tables); 0 waits for ever. Past it the store gives
    // up with StoreError, and the connection is dropped: a server that does
    // not answer at all (stopped, or its host gone) cannot hold a caller
    // longer. The server also ends a statement that runs past it.
    std::uint32_t connect_timeout_ms = 5000;
    std::uint32_t read_timeout_ms = 5000;
    std::uint32_t write_timeout_ms = 60000;

    // Opens a store whose index was made with other landmarks than
    // LandmarkFormat() makes (to make them again: ReindexStore); otherwise
    // such a store is refused, since matching against it would find
    // nothing.
    bool any_index_format = false;
};

// The store at where: a postgresql:// (or postgres://) URI, ":memory:" for
// an empty store in memory, or else an LMDB folder, made when opened
// ReadWrite. Throws StoreError when it cannot be opened. A URI of several
// hosts names a primary and its replicas: reads go to a replica (the
// primary when none answers), writes to the primary.
std::unique_ptr<Store> OpenStore(const std::string& where, OpenMode mode, const StoreOptions& options = {});

// Rewrites the LMDB catalogue at where compactly (full pages, none free)
// and in this program's layout, bringing an older one up to date; other
// processes must not have it open. Returns the bytes of its file before
// and after. Throws StoreError for another kind of store, or when it
// cannot.
std::pair<std::uint64_t, std::uint64_t> CompactStore(const std::string& where, const StoreOptions& options = {});

// An empty store in memory, for tests and experiments.
std::unique_ptr<Store> MakeMemoryStore();
std::unique_ptr<Store> OpenLmdbStore(const std::string& folder, OpenMode mode);
std::unique_ptr<Store> OpenPostgresStore(const std::string& uri, OpenMode mode, const StoreOptions& options = {});

// One catalogue over several stores, its shards, each holding some of its
// tracks (see ShardedStore.cpp): one PostgreSQL URI a shard, in the same
// order every time. One name opens as OpenStore does. Throws StoreError when
// a shard cannot be opened, or belongs to another catalogue or place.
std::unique_ptr<Store> OpenStores(std::span<const std::string> where, OpenMode mode, const StoreOptions& options = {});

}  // namespace vxt::matcher
