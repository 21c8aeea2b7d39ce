#include "vextune/matcher/Matcher.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <math.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <cstdlib>
#include <limits>
#include <optional>
#include <utility>

namespace vxt::matcher {
namespace {

// P(Poisson(lambda) >= k), summed upward from k so that tiny tails keep
// their precision (1 minus the head would lose them to rounding).
double PoissonTail(double lambda, std::uint32_t k)
{
    if (k == 0 || lambda <= 0.0)
        return k == 0 ? 1.0 : 0.0;
    // lgamma_r, not std::lgamma: lgamma stores the sign of the result in
    // the global signgam, a data race between the service's threads. The
    // value is the same (glibc's lgamma is lgamma_r and that store).
    int sign = 0;
    double term = std::exp(-lambda + k * std::log(lambda) - ::lgamma_r(k + 1.0, &sign));
    double tail = 0.0;
    for (std::uint32_t i = k; i < k + 100000; ++i) {
        tail += term;
        term *= lambda / (i + 1);
        if (term < tail * 1e-17)
            break;
    }
    return std::min(1.0, tail);
}

// A vote's cell: the track over 32 bits of offset field. The field is the
// offset biased by the query's last frame and one, so that it is never 0
// for a landmark the query holds (a cell plus or minus one stays in its
// track), and the keys of one track sort by offset: a posting at track
// frame t of the landmark at query frame q votes with field t + (last - q)
// + 1. Fields over kMostField, which only tracks longer than 2^32 - 2
// frames less the query's span could give, are not voted.
constexpr std::uint64_t kMostField = 0xfffffffeu;

std::uint64_t Cell(std::uint32_t track, std::uint32_t field)
{
    return static_cast<std::uint64_t>(track) << 32 | field;
}
std::uint32_t CellTrack(std::uint64_t cell)
{
    return static_cast<std::uint32_t>(cell >> 32);
}
std::uint32_t CellField(std::uint64_t cell)
{
    return static_cast<std::uint32_t>(cell);
}

// Sorts n keys of `bits` bits by digits of at most 10 bits from the lowest,
// in as few passes as they need, back and forth between keys and `into`;
// the counts of every digit are taken in one pass first. Returns where the
// sorted keys are: true for `into`, false for `keys` (an even number of
// passes).
template <typename Key>
bool LsdSort(Key* keys, Key* into, std::size_t n, int bits)
{
    constexpr int kMostDigitBits = 10;
    constexpr int kMostPasses = (static_cast<int>(sizeof(Key)) * 8 + kMostDigitBits - 1) / kMostDigitBits;
    const int passes = (bits + kMostDigitBits - 1) / kMostDigitBits;
    if (passes == 0)
        return false;
    const int digit_bits = (bits + passes - 1) / passes;
    const Key mask = (Key{1} << digit_bits) - 1;
    std::array<std::array<std::uint32_t, std::size_t{1} << kMostDigitBits>, kMostPasses> start;
    for (int p = 0; p < passes; ++p)
        std::fill(start[p].begin(), start[p].begin() + mask + 1, 0);
    for (std::size_t i = 0; i < n; ++i) {
        for (int p = 0; p < passes; ++p)
            ++start[p][(keys[i] >> (p * digit_bits)) & mask];
    }
    Key* from = keys;
    Key* to = into;
    for (int p = 0; p < passes; ++p) {
        std::uint32_t sum = 0;
        for (std::size_t d = 0; d <= mask; ++d)
            sum += std::exchange(start[p][d], sum);
        const int shift = p * digit_bits;
        for (std::size_t i = 0; i < n; ++i)
            to[start[p][(from[i] >> shift) & mask]++] = from[i];
        std::swap(from, to);
    }
    return passes % 2 == 1;
}

// The votes are dealt as they come into lots by the low bits of their
// track, so that each lot is sorted and tallied while it stays in the
// second-level cache: a query over 10000 tracks brings over a million votes,
// and radix passes over them all at once wait on memory for every vote. Few
// lots, as dealing into many costs more than it saves.
constexpr int kLotBits = 3;
constexpr std::size_t kLots = std::size_t{1} << kLotBits;

// The tracks with the most votes so far, each at its best cell: the
// candidates that are then scored by distinct hashes (see Match). Where
// the bounds left hashes out, the votes that choose the candidates are
// fewer and rarer, and a track as close to the query as the best (another
// version of the same music) may fall behind tracks that the rare hashes
// favour by chance: more candidates are taken then, so that it is still
// among them and stands as the runner-up.
constexpr std::size_t kCandidates = 8;
constexpr std::size_t kBoundedCandidates = 32;
static_assert(kBoundedCandidates == kTallyCandidates, "an index's tally brings back as many candidates");
// The most candidates an exact pass puts forward for its tolerant pairs
// (MatchOptions::tolerant_candidates).
constexpr std::size_t kWidestCandidates = 1024;

struct Tally {
    struct Best {
        std::uint32_t votes = 0;
        std::uint32_t track = 0;
        std::uint64_t cell = 0;
    };
    std::array<Best, kWidestCandidates> best{};  // most votes first, then lowest track
    std::size_t count = 0;
    std::size_t most = kCandidates;  // candidates kept

    void TrackBest(std::uint32_t votes, std::uint64_t cell)
    {
        const Best b{votes, CellTrack(cell), cell};
        const auto before = [](const Best& x, const Best& y) {
            return x.votes != y.votes ? x.votes > y.votes : x.track < y.track;
        };
        if (count == most && !before(b, best[count - 1]))
            return;
        std::size_t at = count < most ? count++ : count - 1;
        while (at > 0 && before(b, best[at - 1])) {
            best[at] = best[at - 1];
            --at;
        }
        best[at] = b;
    }
};

// Tallies one lot's votes into `tally`. The cells (see Cell) are packed as
// track (its bits above the lot's) over offset less `low`, offset_bits wide
// and never all ones, so that a key plus one is the next offset of the same
// track; sorted; and each cell scored with its neighbours' votes a frame
// either way in one pass over the runs of equal keys; each track's best
// cell (the lowest offset of equal ones) goes to the tally.
//
// The cells put forward for the tolerant pairs go to `wide` when it is
// given: each track's best few cells (TrackCells), not its best alone.
// A recording whose exact pairs are few may vote for its track as much
// where the music repeats (a loop, a chorus) as where it was recorded.
constexpr std::size_t kCellsPerTrack = 4;

struct TrackCells {
    std::array<Tally::Best, kCellsPerTrack> best{};
    std::size_t count = 0;
    std::uint32_t least = 0;  // the fewest votes kept, once all places are taken

    // A cell within two frames of a kept one takes its place
    // when it has more votes; otherwise it takes the place of the one with
    // the fewest, when it has more.
    void Offer(std::uint32_t votes, std::uint64_t cell)
    {
        for (std::size_t k = 0; k < count; ++k) {
            if (cell - best[k].cell <= 2 || best[k].cell - cell <= 2) {
                if (votes > best[k].votes)
                    best[k] = {votes, CellTrack(cell), cell};
                Least();
                return;
            }
        }
        if (count < kCellsPerTrack) {
            best[count++] = {votes, CellTrack(cell), cell};
        } else {
            if (votes <= least)
                return;
            *std::min_element(best.begin(), best.end(), [](const Tally::Best& a, const Tally::Best& b) {
                return a.votes < b.votes;
            }) = {votes, CellTrack(cell), cell};
        }
        Least();
    }
    bool Wants(std::uint32_t votes) const { return count < kCellsPerTrack || votes > least; }
    void Flush(Tally& into)
    {
        for (std::size_t k = 0; k < count; ++k)
            into.TrackBest(best[k].votes, best[k].cell);
        count = 0;
        least = 0;
    }

private:
    void Least()
    {
        least = count < kCellsPerTrack
                    ? 0
                    : std::min_element(best.begin(), best.end(), [](const Tally::Best& a, const Tally::Best& b) {
                          return a.votes < b.votes;
                      })->votes;
    }
};

template <typename Key>
void TallyLot(std::span<const std::uint64_t> cells, std::uint32_t lot, int offset_bits, int bits, std::uint32_t low,
              std::vector<Key>& keys, std::vector<Key>& other, Tally& tally, Tally* wide)
{
    const std::size_t n = cells.size();
    if (n == 0)
        return;
    keys.resize(n);
    other.resize(n);
    for (std::size_t i = 0; i < n; ++i)
        keys[i] = static_cast<Key>(static_cast<Key>(cells[i] >> (32 + kLotBits)) << offset_bits |
                                   (static_cast<std::uint32_t>(cells[i]) - low));
    const Key* sorted = keys.data();
    if (n < 256)
        std::sort(keys.begin(), keys.end());
    else if (LsdSort(keys.data(), other.data(), n, bits))
        sorted = other.data();

    const Key offset_mask = (Key{1} << offset_bits) - 1;
    const auto cell_of = [&](Key key) {
        return static_cast<std::uint64_t>((key >> offset_bits) << kLotBits | lot) << 32 |
               (static_cast<std::uint32_t>(key & offset_mask) + low);
    };
    const auto run_at = [&](std::size_t& at, Key& key) {
        key = sorted[at];
        const std::size_t from = at;
        while (at < n && sorted[at] == key)
            ++at;
        return static_cast<std::uint32_t>(at - from);
    };
    // A window of three runs: before, here, after (0 votes: none).
    std::size_t i = 0;
    Key before_key = 0;
    std::uint32_t before = 0;
    Key here_key = 0;
    std::uint32_t here = run_at(i, here_key);
    Key track = here_key >> offset_bits;
    std::uint32_t track_best = 0;
    std::uint64_t track_cell = 0;
    TrackCells track_cells;
    while (here > 0) {
        Key after_key = 0;
        const std::uint32_t after = i < n ? run_at(i, after_key) : 0;
        std::uint32_t s = here;
        if (before > 0 && before_key + 1 == here_key)
            s += before;
        if (after > 0 && after_key == here_key + 1)
            s += after;
        if ((here_key >> offset_bits) != track) {
            tally.TrackBest(track_best, track_cell);
            if (wide != nullptr)
                track_cells.Flush(*wide);
            track = here_key >> offset_bits;
            track_best = 0;
        }
        if (s > track_best) {  // ties keep the lowest offset
            track_best = s;
            track_cell = cell_of(here_key);
        }
        if (wide != nullptr && track_cells.Wants(s))
            track_cells.Offer(s, cell_of(here_key));
        before_key = here_key;
        before = here;
        here_key = after_key;
        here = after;
    }
    tally.TrackBest(track_best, track_cell);
    if (wide != nullptr)
        track_cells.Flush(*wide);
}

// A tally the index made (LandmarkIndex::TallyVotes) as the local one
// would have left it: its candidates in the tally's order, each at its cell
// (the query's last frame biases the offset, see Cell), their distinct
// hashes, and the hits; as many of them as tally.most.
std::uint64_t TakeTally(const VoteTally& remote, std::uint32_t last, Tally& tally,
                        std::array<std::uint32_t, kBoundedCandidates>& distinct)
{
    std::vector<TallyCandidate> candidates = remote.candidates;
    std::stable_sort(candidates.begin(), candidates.end(), [](const TallyCandidate& a, const TallyCandidate& b) {
        return a.votes != b.votes ? a.votes > b.votes : a.track < b.track;
    });
    tally.count = 0;
    for (const TallyCandidate& c : candidates) {
        const std::int64_t field = c.offset + 1 + static_cast<std::int64_t>(last);
        if (tally.count == tally.most || field < 1 || field > static_cast<std::int64_t>(kMostField))
            continue;  // not a cell the query could vote for
        const std::uint64_t cell = Cell(c.track, static_cast<std::uint32_t>(field));
        distinct[tally.count] = c.hashes;
        tally.best[tally.count++] = {c.votes, c.track, cell};
    }
    return remote.hits;
}

// What a thread keeps from query to query: the votes by lot and in the
// order they came, and the keys they are sorted by.
struct Buffers {
    std::array<std::vector<std::uint64_t>, kLots> lots;
    std::vector<std::uint64_t> by_hash;
    std::vector<std::size_t> hash_ends;
    std::vector<std::uint32_t> keys32;
    std::vector<std::uint32_t> other32;
    std::vector<std::uint64_t> keys64;
    std::vector<std::uint64_t> other64;

    // Kept, they spare the next query its page faults; but a query that
    // grew them far past the common size would leave its peak with the
    // thread for good. Past kKeptBytes in all they are given back, and the
    // allocator is asked to return its free pages to the system (it keeps
    // them otherwise: freed blocks below its mapping threshold stay with
    // the thread's arena).
    static constexpr std::size_t kKeptBytes = std::size_t{32} << 20;

    template <typename Each>
    void ForEach(Each each)
    {
        for (auto& lot : lots)
            each(lot);
        each(by_hash);
        each(hash_ends);
        each(keys32);
        each(other32);
        each(keys64);
        each(other64);
    }

    void GiveBackWhenLarge()
    {
        std::size_t bytes = 0;
        ForEach([&bytes](auto& buffer) { bytes += buffer.capacity() * sizeof(buffer[0]); });
        if (bytes <= kKeptBytes)
            return;
        ForEach([](auto& buffer) { std::exchange(buffer, {}); });
#ifdef __GLIBC__
        ::malloc_trim(0);
#endif
    }
};

Buffers& ThreadBuffers()
{
    thread_local Buffers buffers;
    return buffers;
}

// Votes dealt into the thread's lots by track, and the span of their
// fields and tracks, which packs their keys for the tally.
struct LotVotes {
    Buffers& buffers;
    std::uint64_t cast = 0;
    std::uint32_t low = 0xffffffffu;
    std::uint32_t high = 0;
    std::uint32_t max_track = 0;

    explicit LotVotes(Buffers& b) : buffers(b)
    {
        for (auto& lot : buffers.lots)
            lot.clear();
    }

    // Each posting votes once for each landmark `of` its hash, for the
    // cell of field posting frame + (last - landmark frame) + 1 (see Cell;
    // none past kMostField); into `in_order` too, as they come, when given.
    template <bool kInOrder>
    void Cast(std::span<const Landmark> of, std::span<const Posting> postings, std::uint32_t last,
              std::vector<std::uint64_t>* in_order)
    {
        for (const Landmark& l : of) {
            for (const Posting& p : postings) {
                const std::uint64_t field = std::uint64_t{p.frame} + (last - l.frame) + 1;
                if (field > kMostField)
                    continue;
                const std::uint64_t cell = Cell(p.track, static_cast<std::uint32_t>(field));
                buffers.lots[p.track & (kLots - 1)].push_back(cell);
                if constexpr (kInOrder)
                    in_order->push_back(cell);
                ++cast;
                low = std::min(low, static_cast<std::uint32_t>(field));
                high = std::max(high, static_cast<std::uint32_t>(field));
                max_track = std::max(max_track, p.track);
            }
        }
    }
};

// Tallies the votes dealt into the buffers' lots (see TallyLot), whose
// fields run from low to high and tracks up to max_track, packed into as
// few bits as those need, in 32-bit keys when they fit with a bit to
// spare. One more than the fields' span keeps the offset field from being
// all ones (see TallyLot).
void TallyLots(Buffers& buffers, std::uint32_t low, std::uint32_t high, std::uint32_t max_track, Tally& tally,
               Tally* wide)
{
    const int offset_bits = std::bit_width(high - low + std::uint64_t{1});
    const int bits = offset_bits + std::bit_width(max_track >> kLotBits);
    for (std::uint32_t lot = 0; lot < kLots; ++lot) {
        const std::span<const std::uint64_t> cells(buffers.lots[lot]);
        if (bits < 32)
            TallyLot(cells, lot, offset_bits, bits, low, buffers.keys32, buffers.other32, tally, wide);
        else
            TallyLot(cells, lot, offset_bits, bits, low, buffers.keys64, buffers.other64, tally, wide);
    }
}

// The most of the values but the one at `skip`: a candidate's runner-up.
std::uint32_t MostBut(std::span<const std::uint32_t> values, std::size_t skip)
{
    std::uint32_t most = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i != skip)
            most = std::max(most, values[i]);
    }
    return most;
}

// A recording's peak and a track's count as the same when this close: in
// frames, and in 1/64 bin (one bin).
constexpr std::int64_t kNearFrames = 2;
constexpr int kNearFrequency = 64;
// A candidate's offset is known to a frame or so from its votes: its peaks
// are laid over the track this many frames either way, and the best taken.
constexpr std::int64_t kPeakSearch = 3;
// The chance level of the best candidate's count: the mean count with the
// recording's peaks rotated in time by k / (kRotations + 1) of their span,
// k = 1..kRotations, which keeps their density and frequencies and breaks
// only their timing. Recordings shorter than kShortestSpan frames (half a
// second) are not checked.
constexpr int kRotations = 8;
constexpr std::uint32_t kShortestSpan = 64;
// The offsets around the best candidate's (kSideNearest to kSideFarthest
// frames away, either way) whose counts it must stand clear of: a beat or
// a riff lines peaks up one beat off as well as anywhere, and so does the
// same music played backwards; a true offset stands alone.
constexpr std::int64_t kSideNearest = 8;
constexpr std::int64_t kSideFarthest = 40;

// The recording's peaks (in time order) that have a track peak (in time
// order) near them when recording frame f lies at track frame f + offset.
std::uint32_t PeaksNear(std::span<const Peak> recording, std::span<const Peak> track, std::int64_t offset)
{
    std::uint32_t matched = 0;
    std::size_t low = 0;
    for (const Peak& p : recording) {
        const std::int64_t at = p.frame + offset;
        while (low < track.size() && static_cast<std::int64_t>(track[low].frame) < at - kNearFrames)
            ++low;
        for (std::size_t i = low; i < track.size() && static_cast<std::int64_t>(track[i].frame) <= at + kNearFrames;
             ++i) {
            if (std::abs(static_cast<int>(track[i].frequency) - static_cast<int>(p.frequency)) <= kNearFrequency) {
                ++matched;
                break;
            }
        }
    }
    return matched;
}

// The candidates checked peak by peak.
struct PeakChecks {
    std::vector<std::uint32_t> matched;  // each candidate's count at its best offset
    std::vector<std::int64_t> offsets;   // those offsets
    std::size_t best = 0;                // the candidate with the highest count
    std::uint32_t threshold = 0;         // what the best's count needs to be more than chance
    std::uint32_t side = 0;              // the best's highest count at the offsets around its own
    double chance = 1.0;                 // expected wrong candidates reaching the best's count
};

// How far a candidate chosen by the rarer hashes (or by the exact pairs,
// for the tolerant ones) is searched for the cell every hash would have
// chosen (see CandidateScorer).
constexpr std::int64_t kRescoreSearch = 2;

// How far around a candidate's offset its track's peaks are wanted: for
// the check peak by peak (the search, the sides around it and the nearness
// of a peak), and for its pairs made again (a frame either way, and the
// target zone after the last anchor).
constexpr std::int64_t kPeakReach = kPeakSearch + kSideFarthest + kNearFrames;

// The stretch of a candidate's track that its evidence can come from, when
// the query's landmarks span frames first..last and its peaks (if any)
// peaks_first..peaks_last.
PeakWindow CandidateWindow(std::uint32_t track, std::int64_t offset, std::uint32_t first, std::uint32_t last,
                           std::span<const Peak> recording, const LandmarkOptions& landmarks)
{
    std::int64_t from = offset + first - 1 - kRescoreSearch;
    std::int64_t to = offset + last + 2 + kRescoreSearch + landmarks.max_frame_step;
    if (!recording.empty()) {
        from = std::min<std::int64_t>(from, offset + recording.front().frame - kPeakReach);
        to = std::max<std::int64_t>(to, offset + recording.back().frame + 1 + kPeakReach);
    }
    const auto frame = [](std::int64_t f) {
        return static_cast<std::uint32_t>(std::clamp<std::int64_t>(f, 0, 0xffffffffLL));
    };
    return {track, frame(from), frame(to)};
}

// The landmarks of each hash a lookup visits (in ascending order), from a
// query sorted by hash, walked alongside.
class LandmarksByHash {
public:
    explicit LandmarksByHash(std::span<const Landmark> sorted) : sorted_(sorted) {}

    std::span<const Landmark> Of(std::uint32_t hash)
    {
        while (next_ < sorted_.size() && sorted_[next_].hash < hash)
            ++next_;
        std::size_t end = next_;
        while (end < sorted_.size() && sorted_[end].hash == hash)
            ++end;
        return sorted_.subspan(next_, end - next_);
    }

private:
    std::span<const Landmark> sorted_;
    std::size_t next_ = 0;
};

// Where the bounds left hashes out, a track as close to the query as the
// best candidate (another version of the same music, a piece that shares
// its theme) may have been passed over by the rarer hashes that chose the
// candidates, and the best would then stand clear of no one and be
// claimed. The hashes the best candidate shares with the query are those
// such a track shares too: few, they are looked up in full (within the
// postings bound and kRivalVotes), and the kRivals tracks other than
// `known` that they vote for most, each at its best cell (votes a frame
// either way, as the tally counts them), come back to be scored. `sorted`
// is the query by hash, `hashes` and `weights` its distinct hashes and
// their landmarks, `shared` ascending.
constexpr std::size_t kRivals = 4;
constexpr std::uint64_t kRivalVotes = std::uint64_t{1} << 18;

std::vector<Tally::Best> Rivals(const LandmarkIndex& index, std::span<const Landmark> sorted,
                                std::span<const std::uint32_t> hashes, std::span<const std::uint32_t> weights,
                                std::span<const std::uint32_t> shared, std::uint32_t last, std::uint32_t most_postings,
                                std::span<const std::uint32_t> known)
{
    std::vector<std::uint32_t> shared_weights;
    for (const std::uint32_t h : shared)
        shared_weights.push_back(
            weights[static_cast<std::size_t>(std::lower_bound(hashes.begin(), hashes.end(), h) - hashes.begin())]);
    // The votes dealt into the thread's lots and tallied as a pass's are
    // (the pass that called this is done with them): each track's best
    // cell, the most votes first, as many as the rivals and the known
    // tracks among them take.
    LotVotes votes(ThreadBuffers());
    LandmarksByHash landmarks(sorted);
    index.LookupWithin(shared, shared_weights, LookupBounds{most_postings, kRivalVotes},
                       [&](std::uint32_t hash, std::span<const Posting> postings) {
                           const std::span<const Landmark> of = landmarks.Of(hash);
                           if (postings.size() > most_postings ||
                               static_cast<std::uint64_t>(of.size()) * postings.size() > kRivalVotes - votes.cast)
                               return;
                           votes.Cast<false>(of, postings, last, nullptr);
                       });
    Tally tally;
    tally.most = std::min(kWidestCandidates, kRivals + known.size());
    if (votes.cast > 0)
        TallyLots(votes.buffers, votes.low, votes.high, votes.max_track, tally, nullptr);
    std::vector<Tally::Best> best;
    for (std::size_t c = 0; c < tally.count && best.size() < kRivals; ++c) {
        if (std::find(known.begin(), known.end(), tally.best[c].track) == known.end())
            best.push_back(tally.best[c]);
    }
    return best;
}

// Lays the recording's peaks over the candidates' tracks (`tracks`, one
// list a candidate, each covering its CandidateWindow) at their offsets;
// nothing when the recording is too short, or the index holds no peaks of
// any candidate.
std::optional<PeakChecks> CheckPeaks(std::span<const Peak> recording,
                                     std::span<const std::pair<std::uint32_t, std::int64_t>> candidates,
                                     std::span<const std::vector<Peak>> tracks, const MatchOptions& options)
{
    if (recording.empty() || candidates.empty() || tracks.size() != candidates.size())
        return std::nullopt;
    const std::uint32_t first = recording.front().frame;
    const std::uint64_t span = std::uint64_t{recording.back().frame} - first + 1;
    if (recording.back().frame < first || span < kShortestSpan)
        return std::nullopt;

    PeakChecks checks;
    checks.matched.assign(candidates.size(), 0);
    checks.offsets.assign(candidates.size(), 0);
    for (std::size_t c = 0; c < candidates.size(); ++c) {
        checks.offsets[c] = candidates[c].second;
        for (const std::int64_t d : {0, -1, 1, -2, 2, -3, 3}) {  // nearest first: ties keep the votes' offset
            const std::uint32_t n = PeaksNear(recording, tracks[c], candidates[c].second + d);
            if (n > checks.matched[c]) {
                checks.matched[c] = n;
                checks.offsets[c] = candidates[c].second + d;
            }
        }
        if (checks.matched[c] > checks.matched[checks.best])
            checks.best = c;
    }
    const std::uint32_t matched = checks.matched[checks.best];
    if (matched == 0)
        return std::nullopt;

    const std::vector<Peak>& track = tracks[checks.best];
    const std::int64_t offset = checks.offsets[checks.best];
    double level = 0.0;
    std::vector<Peak> rotated(recording.size());
    for (int k = 1; k <= kRotations; ++k) {
        const std::uint64_t by = span * k / (kRotations + 1);
        for (std::size_t i = 0; i < recording.size(); ++i)
            rotated[i] = {static_cast<std::uint32_t>(first + (recording[i].frame - first + by) % span),
                          recording[i].frequency};
        std::sort(rotated.begin(), rotated.end(), [](const Peak& a, const Peak& b) { return a.frame < b.frame; });
        level += PeaksNear(rotated, track, offset);
    }
    level /= kRotations;
    const double trials = static_cast<double>(candidates.size() * (2 * kPeakSearch + 1));
    checks.threshold = std::max(options.min_peaks, PoissonThreshold(level, trials, options.false_claim_rate));
    checks.chance = trials * PoissonTail(level, matched);
    for (std::int64_t d = kSideNearest; d <= kSideFarthest; ++d)
        checks.side =
            std::max({checks.side, PeaksNear(recording, track, offset - d), PeaksNear(recording, track, offset + d)});
    return checks;
}

// A query's landmarks by hash, its distinct hashes each weighed by the
// landmarks that have it (the votes each of its postings brings), and
// the frames it spans.
struct QueryHashes {
    std::vector<Landmark> sorted;
    std::vector<std::uint32_t> hashes;
    std::vector<std::uint32_t> weights;
    std::uint32_t first = 0xffffffffu;  // the query's first frame
    std::uint32_t last = 0;             // and its last

    explicit QueryHashes(std::span<const Landmark> query) : sorted(query.begin(), query.end())
    {
        std::sort(sorted.begin(), sorted.end(), [](const Landmark& a, const Landmark& b) {
            return a.hash != b.hash ? a.hash < b.hash : a.frame < b.frame;
        });
        for (const Landmark& l : sorted) {
            if (hashes.empty() || hashes.back() != l.hash) {
                hashes.push_back(l.hash);
                weights.push_back(0);
            }
            if (weights.back() < std::numeric_limits<std::uint32_t>::max())
                ++weights.back();
            first = std::min(first, l.frame);
            last = std::max(last, l.frame);
        }
        if (sorted.empty())
            first = 0;
    }
};

// A candidate chosen by the rarer hashes (or by the exact pairs) is at the
// cell they voted for most, which can lie a frame or two from the cell
// every hash would have chosen. It is scored from its track's peaks: its
// own pairs are made again, and the query's distinct hashes that they have
// within a frame of the offset counted (the score the cell would have had
// with every hash of the query looked up), at the offset and
// kRescoreSearch frames either way; it moves to the best, of equal scores
// the nearest. The cost follows the candidate's own pairs rather than the
// query's: a tolerant query holds twenty times the landmarks of its exact
// pairs, and hundreds of candidates are scored against it. The query's
// distinct hashes go into a table once;
// each of a candidate's own pairs finds its hash there and marks, for that
// hash, the frames by which it misses the candidate's offset (up to
// kRescoreSearch + 1 either way); a hash counts at an offset when one of
// its marks lies within a frame of it.
class CandidateScorer {
public:
    explicit CandidateScorer(const QueryHashes& query) : query_(query)
    {
        std::size_t capacity = 16;
        while (capacity < 2 * query.hashes.size())
            capacity *= 2;
        slots_.assign(capacity, kEmpty);
        starts_.reserve(query.hashes.size() + 1);
        std::size_t at = 0;
        for (std::uint32_t i = 0; i < query.hashes.size(); ++i) {
            starts_.push_back(static_cast<std::uint32_t>(at));
            while (at < query.sorted.size() && query.sorted[at].hash == query.hashes[i])
                ++at;
            std::size_t slot = Slot(query.hashes[i]);
            while (slots_[slot] != kEmpty)
                slot = (slot + 1) & (slots_.size() - 1);
            slots_[slot] = i;
        }
        starts_.push_back(static_cast<std::uint32_t>(at));
        marks_.assign(query.hashes.size(), 0);
        stamps_.assign(query.hashes.size(), 0);
    }

    // The score at the best of offset and kRescoreSearch frames either way;
    // offset moves there.
    // The query's hashes that count there go to `shared` (ascending) when
    // it is given.
    std::uint32_t Score(std::span<const Peak> track, std::int64_t& offset, const LandmarkOptions& options,
                        std::vector<std::uint32_t>* shared = nullptr)
    {
        if (++stamp_ == 0) {  // the stamps wrapped: start them again
            std::fill(stamps_.begin(), stamps_.end(), 0);
            stamp_ = 1;
        }
        touched_.clear();
        constexpr std::int64_t kReach = kRescoreSearch + 1;
        for (const Landmark& own : MakeLandmarks(track, options)) {
            const std::uint32_t i = Find(own.hash);
            if (i == kEmpty)
                continue;
            for (std::uint32_t l = starts_[i]; l < starts_[i + 1]; ++l) {
                const std::int64_t miss = static_cast<std::int64_t>(own.frame) - query_.sorted[l].frame - offset;
                if (miss < -kReach || miss > kReach)
                    continue;
                if (stamps_[i] != stamp_) {
                    stamps_[i] = stamp_;
                    marks_[i] = 0;
                    touched_.push_back(i);
                }
                marks_[i] |= 1u << (miss + kReach);
            }
        }
        std::uint32_t best = 0;
        std::int64_t moved = 0;
        const auto near = [](std::int64_t d) { return 7u << (d - 1 + kReach); };  // misses d - 1 .. d + 1
        for (const std::int64_t d : {0, -1, 1, -2, 2}) {
            std::uint32_t n = 0;
            for (const std::uint32_t i : touched_)
                n += (marks_[i] & near(d)) != 0 ? 1 : 0;
            if (n > best) {
                best = n;
                moved = d;
            }
        }
        offset += moved;
        if (shared != nullptr) {
            for (const std::uint32_t i : touched_) {
                if ((marks_[i] & near(moved)) != 0)
                    shared->push_back(query_.hashes[i]);
            }
            std::sort(shared->begin(), shared->end());
        }
        return best;
    }

private:
    static constexpr std::uint32_t kEmpty = 0xffffffffu;

    std::size_t Slot(std::uint32_t hash) const { return (hash * 0x9e3779b1u) >> 7 & (slots_.size() - 1); }
    std::uint32_t Find(std::uint32_t hash) const
    {
        for (std::size_t slot = Slot(hash);; slot = (slot + 1) & (slots_.size() - 1)) {
            const std::uint32_t i = slots_[slot];
            if (i == kEmpty || query_.hashes[i] == hash)
                return i;
        }
    }

    const QueryHashes& query_;
    std::vector<std::uint32_t> slots_;   // index into the query's distinct hashes, or kEmpty
    std::vector<std::uint32_t> starts_;  // each distinct hash's first landmark in query_.sorted
    std::vector<std::uint32_t> marks_;   // by distinct hash: misses seen, bit miss + kRescoreSearch + 1
    std::vector<std::uint32_t> stamps_;  // by distinct hash: the Score call that marked it
    std::vector<std::uint32_t> touched_;
    std::uint32_t stamp_ = 0;
};

// The decision on scored candidates (each a track at an offset, with its
// score: the distinct hashes of the query it has there), given the votes
// chance is reckoned on. `track_peaks` brings the candidates' tracks'
// peaks (one list each, covering its CandidateWindow) and is called only
// when the pairs alone do not decide. `result` comes with the work done.
template <typename TrackPeaksOf>
MatchResult Decide(const LandmarkIndex& index, std::span<const std::pair<std::uint32_t, std::int64_t>> candidates,
                   std::span<const std::uint32_t> scores, std::uint64_t chance_votes, std::span<const Peak> peaks,
                   TrackPeaksOf track_peaks, const MatchOptions& options, MatchResult result)
{
    std::size_t best = candidates.size();
    for (std::size_t c = 0; c < candidates.size(); ++c) {
        if (best == candidates.size() || scores[c] > scores[best] ||
            (scores[c] == scores[best] && candidates[c].first < candidates[best].first))
            best = c;
    }
    if (best < candidates.size() && scores[best] > 0) {
        result.score = scores[best];
        result.track = candidates[best].first;
        result.offset_frames = candidates[best].second;
        result.runner_up = MostBut(scores, best);
    }

    const double cells = std::max<double>(1.0, static_cast<double>(index.IndexedFrames()));
    const double lambda = 3.0 * static_cast<double>(chance_votes) / cells;
    const std::uint32_t chance_threshold = PoissonThreshold(lambda, cells, options.false_claim_rate);
    result.threshold = std::max(options.min_score, chance_threshold);
    result.chance = cells * PoissonTail(lambda, result.score);
    if (result.score >= result.threshold &&
        static_cast<double>(result.score) >= options.min_margin * static_cast<double>(result.runner_up)) {
        result.verdict = Verdict::Match;
        return result;
    }

    // The pairs alone do not decide: the candidates are checked peak by
    // peak. The best count is a match when it is beyond chance, stands
    // clear of every other track's and of its own track's around it, and
    // its candidate's pairs have reached half their threshold and are more
    // than any other track's: a piece that shares a motif with a track of
    // the catalogue lines up peaks with it, but its pairs point elsewhere
    // as often.
    if (const std::optional<PeakChecks> checks = peaks.empty() || candidates.empty()
                                                     ? std::nullopt
                                                     : CheckPeaks(peaks, candidates, track_peaks(), options)) {
        const std::size_t top = checks->best;
        result.peaks = checks->matched[top];
        result.peaks_threshold = checks->threshold;
        result.peaks_runner_up = MostBut(checks->matched, top);
        const double clear_of = static_cast<double>(std::max(result.peaks_runner_up, checks->side));
        const std::uint32_t pairs_elsewhere = MostBut(scores, top);
        if (result.peaks >= checks->threshold && static_cast<double>(result.peaks) >= options.peak_margin * clear_of &&
            scores[top] >= std::max(chance_threshold, (result.threshold + 1) / 2) && scores[top] > pairs_elsewhere) {
            result.verdict = Verdict::Match;
            result.on_peaks = true;
            result.track = candidates[top].first;
            result.offset_frames = checks->offsets[top];
            result.score = scores[top];
            result.runner_up = pairs_elsewhere;
            result.chance = checks->chance;
            return result;
        }
    }
    return result;  // no match
}

// The candidates scored from their tracks' peaks, `scores` and `tracks`
// beside them: the track close to the best that the votes may have passed
// over (see Rivals) joins them, in the place of the last, unless it is
// among the tracks `known` to have been scored already.
void AddRivals(const LandmarkIndex& index, const QueryHashes& query, CandidateScorer& scorer,
               std::span<const Peak> peaks, std::vector<std::pair<std::uint32_t, std::int64_t>>& candidates,
               std::vector<std::uint32_t>& scores, std::vector<std::vector<Peak>>& tracks,
               std::span<const std::uint32_t> known, const MatchOptions& options)
{
    std::size_t top = candidates.size();
    for (std::size_t c = 0; c < candidates.size(); ++c) {
        if (!tracks[c].empty() && (top == candidates.size() || scores[c] > scores[top]))
            top = c;
    }
    if (top == candidates.size() || scores[top] == 0)
        return;
    std::vector<std::uint32_t> shared;
    std::int64_t at = candidates[top].second;
    scorer.Score(tracks[top], at, options.landmarks, &shared);
    const auto offset_of = [&query](std::uint64_t cell) {
        return static_cast<std::int64_t>(CellField(cell)) - 1 - static_cast<std::int64_t>(query.last);
    };
    const std::vector<Tally::Best> rivals =
        Rivals(index, query.sorted, query.hashes, query.weights, shared, query.last, options.most_postings, known);
    std::vector<PeakWindow> windows;
    for (const Tally::Best& r : rivals)
        windows.push_back(
            CandidateWindow(r.track, offset_of(r.cell), query.first, query.last, peaks, options.landmarks));
    std::vector<std::vector<Peak>> rival_peaks =
        windows.empty() ? std::vector<std::vector<Peak>>{} : index.TrackPeaks(windows);
    std::size_t slot = kBoundedCandidates;
    for (std::size_t r = 0; r < rivals.size() && r < rival_peaks.size(); ++r) {
        if (rival_peaks[r].empty())
            continue;  // nothing to score it by
        std::int64_t offset = offset_of(rivals[r].cell);
        const std::uint32_t score = scorer.Score(rival_peaks[r], offset, options.landmarks);
        // A track among the candidates already, at another offset, takes
        // the rival's where it scores more there.
        const auto same = std::find_if(candidates.begin(), candidates.end(),
                                       [&](const auto& c) { return c.first == rivals[r].track; });
        std::size_t c = static_cast<std::size_t>(same - candidates.begin());
        if (same != candidates.end()) {
            if (score <= scores[c] || c == top)
                continue;
        } else if (candidates.size() < kBoundedCandidates) {
            candidates.emplace_back();
            scores.emplace_back();
            tracks.emplace_back();
        } else {
            c = --slot == top ? --slot : slot;
        }
        candidates[c] = {rivals[r].track, offset};
        tracks[c] = std::move(rival_peaks[r]);
        scores[c] = score;
    }
}

// The exact pass (Match), putting forward its `keep` best cells (a few a
// track, see TrackCells) in `put_forward` when it is given.
MatchResult MatchPass(const LandmarkIndex& index, std::span<const Landmark> query, std::span<const Peak> peaks,
                      const MatchOptions& options, std::vector<Candidate>* put_forward, std::size_t keep)
{
    const QueryHashes q(query);
    const std::vector<Landmark>& sorted = q.sorted;
    const std::uint32_t first = q.first;
    const std::uint32_t last = q.last;
    const auto offset_of = [last](std::uint64_t cell) {
        return static_cast<std::int64_t>(CellField(cell)) - 1 - static_cast<std::int64_t>(last);
    };

    // Every hit votes for its cell, into its track's lot. The tallies of a
    // large catalogue run to tens of megabytes: the thread keeps its buffers
    // from query to query rather than have fresh pages mapped and zeroed for
    // every one (and gives back those a large query grew, see below).
    Buffers& buffers = ThreadBuffers();
    LotVotes votes(buffers);
    // The votes also in the order they came, hash by hash, for the distinct
    // count of the candidates.
    auto& by_hash = buffers.by_hash;
    auto& hash_ends = buffers.hash_ends;
    by_hash.clear();
    hash_ends.clear();
    LandmarksByHash landmarks(sorted);
    const LookupBounds bounds{options.most_postings, options.most_votes};
    MatchResult result;
    // An index that tallies next to its data brings back its candidates
    // alone, and nothing is looked up here.
    const std::optional<VoteTally> remote = index.TallyVotes(query, bounds);
    const std::span<const std::uint32_t> asked = remote ? std::span<const std::uint32_t>() : q.hashes;
    const std::span<const std::uint32_t> weighed = remote ? std::span<const std::uint32_t>() : q.weights;
    LookupLeftOut left_out =
        index.LookupWithin(asked, weighed, bounds, [&](std::uint32_t hash, std::span<const Posting> postings) {
            const std::span<const Landmark> of = landmarks.Of(hash);
            // An index that brings more than it was bounded to (postings
            // added between its count and its read) votes no more.
            if (postings.size() > options.most_postings ||
                static_cast<std::uint64_t>(of.size()) * postings.size() > options.most_votes - votes.cast)
                return;
            votes.Cast<true>(of, postings, last, &by_hash);
            hash_ends.push_back(by_hash.size());
        });
    std::uint64_t hits = by_hash.size();  // every vote is there once, as it is in its lot
    Tally tally;
    std::array<std::uint32_t, kBoundedCandidates> distinct{};
    if (remote) {
        left_out = remote->left_out;
        tally.most = left_out.hashes > 0 ? kBoundedCandidates : kCandidates;
        hits = TakeTally(*remote, last, tally, distinct);
    }
    result.hashes_left_out = left_out.hashes;
    result.votes_left_out = left_out.votes;
    const bool bounded = left_out.hashes > 0;

    // Each lot's votes tallied; the cells put forward go to a tally of
    // their own.
    if (!remote && hits > 0) {
        tally.most = bounded ? kBoundedCandidates : kCandidates;
        Tally wide;
        wide.most = std::clamp<std::size_t>(keep, 1, kWidestCandidates);
        Tally* const wide_tally = put_forward != nullptr && keep > 0 ? &wide : nullptr;
        TallyLots(buffers, votes.low, votes.high, votes.max_track, tally, wide_tally);
        if (wide_tally != nullptr) {
            for (std::size_t c = 0; c < wide.count; ++c)
                put_forward->push_back({wide.best[c].track, offset_of(wide.best[c].cell), wide.best[c].votes});
        }
    }

    // The candidates at their cells, and their tracks' peaks around them,
    // fetched once when wanted: to score the candidates with every hash of
    // the query when the bounds left some out, and to check them peak by
    // peak.
    std::vector<std::pair<std::uint32_t, std::int64_t>> candidates;
    for (std::size_t c = 0; c < tally.count; ++c)
        candidates.emplace_back(tally.best[c].track, offset_of(tally.best[c].cell));
    std::optional<std::vector<std::vector<Peak>>> candidate_peaks;
    const auto fetch_peaks = [&]() -> const std::vector<std::vector<Peak>>& {
        if (!candidate_peaks) {
            std::vector<PeakWindow> windows;
            for (const auto& [track, offset] : candidates)
                windows.push_back(CandidateWindow(track, offset, first, last, peaks, options.landmarks));
            candidate_peaks = windows.empty() ? std::vector<std::vector<Peak>>{} : index.TrackPeaks(windows);
        }
        return *candidate_peaks;
    };

    // A candidate's score is the number of distinct hashes of the query
    // that its track has at its cell (or a frame either way), not its
    // votes: music that repeats a pattern (a beat, a loop) votes again and
    // again with the same few pairs into one cell of any track that has the
    // pattern at that tempo, while a true match brings many different pairs.
    // Where the bounds left hashes out, their postings voted for no one:
    // the candidates are scored from their own pairs, made again from their
    // peaks, so that what the query shares with each counts in full, and
    // chance is reckoned on every vote the query's hashes would have cast.
    // Otherwise, and for a track whose peaks the index does not hold, the
    // hashes that voted at the cell are counted.
    // (An index that tallied its own votes has counted the hashes voting
    // at its candidates' cells already.)
    std::vector<bool> from_votes(tally.count, !remote);
    std::uint64_t chance_votes = hits;
    std::vector<std::uint32_t> scores(distinct.begin(), distinct.begin() + static_cast<std::ptrdiff_t>(tally.count));
    if (bounded && tally.count > 0) {
        chance_votes += left_out.votes;
        fetch_peaks();
        std::vector<std::vector<Peak>>& tracks = *candidate_peaks;
        CandidateScorer scorer(q);
        for (std::size_t c = 0; c < tally.count && c < tracks.size(); ++c) {
            if (!tracks[c].empty()) {
                scores[c] = scorer.Score(tracks[c], candidates[c].second, options.landmarks);
                from_votes[c] = false;
            }
        }
        // The best's rivals that the bounds may have hidden, in the places
        // of the candidates with the fewest votes (none where some
        // candidate's track has no peaks to be scored by).
        if (tracks.size() == tally.count) {
            std::vector<std::uint32_t> known;
            for (std::size_t c = 0; c < tally.count; ++c)
                known.push_back(tally.best[c].track);
            const std::size_t before = candidates.size();
            AddRivals(index, q, scorer, peaks, candidates, scores, tracks, known, options);
            from_votes.resize(candidates.size(), false);
            for (std::size_t c = 0; c < candidates.size(); ++c) {
                if (c >= before || candidates[c].first != tally.best[c].track)
                    from_votes[c] = false;
            }
        }
    }
    std::size_t begin = 0;
    for (const std::size_t end : hash_ends) {
        for (std::size_t c = 0; c < tally.count; ++c) {
            if (!from_votes[c])
                continue;
            const std::uint64_t cell = tally.best[c].cell;
            bool seen = false;
            for (std::size_t v = begin; v < end && !seen; ++v)
                seen = by_hash[v] + 1 - cell <= 2;  // within a frame
            scores[c] += seen ? 1 : 0;
        }
        begin = end;
    }
    buffers.GiveBackWhenLarge();

    // A candidate moved off its cell stays within the fields its
    // neighbours' votes had (kRescoreSearch frames), clamped all the same.
    for (auto& [track, offset] : candidates)
        offset = std::clamp<std::int64_t>(offset, -static_cast<std::int64_t>(last),
                                          static_cast<std::int64_t>(kMostField) - 1 - last);
    result.votes = hits;
    return Decide(index, candidates, scores, chance_votes, peaks, fetch_peaks, options, result);
}

}  // namespace

std::vector<std::uint32_t> AgreeingFrames(const LandmarkIndex& index, std::uint32_t track, std::int64_t offset,
                                          std::span<const Landmark> query, const LandmarkOptions& options)
{
    std::vector<std::uint32_t> agreeing;
    if (query.empty())
        return agreeing;
    const auto [lowest, highest] = std::ranges::minmax(query, {}, &Landmark::frame);
    // The track's anchors a frame either side of the query's, and the
    // peaks they pair with up to max_frame_step later.
    const std::int64_t from = std::max<std::int64_t>(0, offset + lowest.frame - 1);
    const std::int64_t to = offset + highest.frame + 2 + options.max_frame_step;
    if (to <= from || from > std::numeric_limits<std::uint32_t>::max())
        return agreeing;
    const PeakWindow window{
        track, static_cast<std::uint32_t>(from),
        static_cast<std::uint32_t>(std::min<std::int64_t>(to, std::numeric_limits<std::uint32_t>::max()))};
    const std::vector<std::vector<Peak>> peaks = index.TrackPeaks(std::span(&window, 1));
    if (peaks.empty() || peaks.front().empty())
        return agreeing;

    std::vector<std::uint64_t> own;  // hash and anchor frame of the track's landmarks, sorted
    for (const Landmark& l : MakeLandmarks(peaks.front(), options))
        own.push_back(std::uint64_t{l.hash} << 32 | l.frame);
    std::ranges::sort(own);
    for (const Landmark& q : query) {
        const std::int64_t at = offset + q.frame;
        const auto it = std::ranges::lower_bound(
            own, std::uint64_t{q.hash} << 32 | static_cast<std::uint32_t>(std::max<std::int64_t>(0, at - 1)));
        if (it != own.end() && *it >> 32 == q.hash && static_cast<std::int64_t>(*it & 0xffffffffu) <= at + 1)
            agreeing.push_back(q.frame);
    }
    std::ranges::sort(agreeing);
    return agreeing;
}

std::uint32_t PoissonThreshold(double lambda, double cells, double rate)
{
    std::uint32_t k = 1;
    while (k < 100000 && cells * PoissonTail(lambda, k) > rate)
        ++k;
    return k;
}

MatchResult Match(const LandmarkIndex& index, std::span<const Landmark> query, const MatchOptions& options)
{
    return MatchPass(index, query, {}, options, nullptr, 0);
}

MatchResult Match(const LandmarkIndex& index, std::span<const Landmark> query, std::span<const Peak> peaks,
                  const MatchOptions& options)
{
    return MatchPass(index, query, peaks, options, nullptr, 0);
}

MatchResult Match(const LandmarkIndex& index, std::span<const Landmark> query, const MatchOptions& options,
                  std::vector<Candidate>& put_forward)
{
    put_forward.clear();
    return MatchPass(index, query, {}, options, &put_forward, options.tolerant_candidates);
}

MatchResult MatchTolerant(const LandmarkIndex& index, std::span<const Landmark> tolerant, std::span<const Peak> peaks,
                          std::span<const Candidate> put_forward, const MatchOptions& options)
{
    if (put_forward.empty())
        return Match(index, tolerant, peaks, options);
    const QueryHashes q(tolerant);

    // Where every vote of the tolerant pairs fits within the bounds, they
    // are looked up: every track is then scored at its best cell, the
    // runner-up among them. Beyond, chance is reckoned on every vote they
    // would cast, and the candidates put forward are scored.
    const std::vector<std::uint64_t> counts = index.CountPostings(q.hashes);
    std::uint64_t chance_votes = 0;
    bool fits = true;
    MatchResult result;
    for (std::size_t i = 0; i < counts.size() && i < q.weights.size(); ++i) {
        chance_votes += counts[i] * q.weights[i];
        result.hashes_left_out += counts[i] > 0 ? 1 : 0;
        fits = fits && counts[i] <= options.most_postings;
    }
    if (fits && chance_votes <= options.most_votes)
        return Match(index, tolerant, peaks, options);
    result.votes_left_out = chance_votes;

    // Each candidate scored with the tolerant pairs from its track's peaks,
    // a frame or two either way; the best kBoundedCandidates go on.
    std::vector<PeakWindow> windows;
    for (const Candidate& c : put_forward)
        windows.push_back(CandidateWindow(c.track, c.offset, q.first, q.last, peaks, options.landmarks));
    std::vector<std::vector<Peak>> all_peaks = index.TrackPeaks(windows);
    if (all_peaks.size() != put_forward.size())
        return Match(index, tolerant, peaks, options);
    std::vector<std::int64_t> offsets(put_forward.size());
    std::vector<std::uint32_t> all_scores(put_forward.size(), 0);
    std::vector<std::size_t> order;
    CandidateScorer scorer(q);
    for (std::size_t c = 0; c < put_forward.size(); ++c) {
        offsets[c] = put_forward[c].offset;
        if (all_peaks[c].empty())
            continue;  // a track held without peaks is scored by the votes of a lookup
        all_scores[c] = scorer.Score(all_peaks[c], offsets[c], options.landmarks);
        order.push_back(c);
    }
    if (order.size() < put_forward.size())
        return Match(index, tolerant, peaks, options);
    // A track put forward at several offsets stands at its best: its other
    // offsets are no rivals of it.
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        if (put_forward[a].track != put_forward[b].track)
            return put_forward[a].track < put_forward[b].track;
        return all_scores[a] != all_scores[b] ? all_scores[a] > all_scores[b] : a < b;
    });
    order.erase(std::unique(order.begin(), order.end(),
                            [&](std::size_t a, std::size_t b) { return put_forward[a].track == put_forward[b].track; }),
                order.end());
    const std::size_t kept = std::min(order.size(), kBoundedCandidates);
    std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(kept), order.end(),
                      [&](std::size_t a, std::size_t b) {
                          return all_scores[a] != all_scores[b] ? all_scores[a] > all_scores[b]
                                                                : put_forward[a].track < put_forward[b].track;
                      });
    std::vector<std::pair<std::uint32_t, std::int64_t>> candidates;
    std::vector<std::uint32_t> scores;
    std::vector<std::vector<Peak>> tracks;
    for (std::size_t i = 0; i < kept; ++i) {
        candidates.emplace_back(put_forward[order[i]].track, offsets[order[i]]);
        scores.push_back(all_scores[order[i]]);
        tracks.push_back(std::move(all_peaks[order[i]]));
    }
    // Rivals are sought among every track but the best, as the one put
    // forward may have been at another offset than the one it shares
    // with the best (a theme both have).
    const std::uint32_t best_track = candidates.empty() ? 0 : candidates.front().first;
    AddRivals(index, q, scorer, peaks, candidates, scores, tracks, std::span(&best_track, candidates.empty() ? 0 : 1),
              options);
    const auto track_peaks = [&tracks]() -> const std::vector<std::vector<Peak>>& { return tracks; };
    return Decide(index, candidates, scores, chance_votes, peaks, track_peaks, options, result);
}

}  // namespace vxt::matcher
