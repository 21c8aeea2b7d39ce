// One catalogue over several PostgreSQL catalogues, its shards, each
// holding some of the tracks with all of their postings and peaks.
//
// Ids: shard k of N hands out the ids k + 1, k + 1 + N, k + 1 + 2N, ... (its
// sequence counts in steps of N), so that ids are unique across the
// catalogue and a track's shard is (id - 1) mod N, without asking any.
// Each shard records its place (k, N) and the catalogue's name, a random
// one the first shard made up; opening checks every shard against its
// place on the command line, so that shards given in another order, or of
// another catalogue, or too few or too many, are refused instead of read.
//
// Placement: a track goes to the shard its content hash names (64-bit
// FNV-1a of the content text, modulo N). Spread is even over many tracks,
// whatever order they come in; and the same content always goes to the
// same shard, so that adding it twice (from two processes at once, too)
// meets the shard's own check of content, and finding a track by content
// asks one shard.
//
// A lookup asks every shard at once, a thread each, and waits for all: a
// shard that fails or does not answer in time fails the whole lookup with
// its StoreError, never an answer from the others alone, which would miss
// the tracks that shard holds. The bounds of a lookup are the catalogue's:
// the postings of every hash are counted on every shard first (an index-
// only count), summed, and the hashes to keep chosen from the sums, as one
// store would; then the kept hashes are tallied on every shard (or looked
// up), two round trips in all. A track added between the two may bring
// votes the counts did not see.
#include <algorithm>
#include <exception>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <utility>

#include "PostgresShard.h"
#include "StoreSupport.h"
#include "vextune/matcher/Store.h"

namespace vxt::matcher {
namespace {

std::uint64_t ContentHash(std::string_view content)
{
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (const char c : content)
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
    return hash;
}

bool Unbounded(const LookupBounds& bounds)
{
    return bounds.most_postings == std::numeric_limits<std::uint32_t>::max() &&
           bounds.most_votes == std::numeric_limits<std::uint64_t>::max();
}

class ShardedStore final : public Store {
public:
    explicit ShardedStore(std::vector<std::unique_ptr<Store>> shards) : shards_(std::move(shards)) {}

    void Lookup(std::span<const std::uint32_t> hashes, const PostingVisitor& visit) const override
    {
        struct Hit {
            std::uint32_t hash;
            Posting posting;
        };
        std::vector<std::vector<Hit>> found(shards_.size());
        Each([&](std::size_t k) {
            shards_[k]->Lookup(hashes, [&](std::uint32_t hash, std::span<const Posting> postings) {
                for (const Posting& p : postings)
                    found[k].push_back({hash, p});
            });
        });
        std::vector<Hit> all;
        for (auto& hits : found)
            all.insert(all.end(), hits.begin(), hits.end());
        std::sort(all.begin(), all.end(), [](const Hit& a, const Hit& b) {
            return a.hash != b.hash ? a.hash < b.hash : a.posting < b.posting;
        });
        std::vector<Posting> postings;
        for (std::size_t i = 0; i < all.size();) {
            const std::uint32_t hash = all[i].hash;
            postings.clear();
            for (; i < all.size() && all[i].hash == hash; ++i)
                postings.push_back(all[i].posting);
            visit(hash, postings);
        }
    }

    LookupLeftOut LookupWithin(std::span<const std::uint32_t> hashes, std::span<const std::uint32_t> weights,
                               const LookupBounds& bounds, const PostingVisitor& visit) const override
    {
        if (weights.size() != hashes.size())
            throw std::invalid_argument("a bounded lookup needs a weight for every hash");
        LookupLeftOut left_out;
        if (hashes.empty())
            return left_out;
        const std::vector<bool> kept = KeptWithin(CountPostings(hashes), weights, bounds, left_out);
        std::vector<std::uint32_t> kept_hashes;
        std::vector<std::uint32_t> kept_weights;
        for (std::size_t i = 0; i < hashes.size(); ++i) {
            if (kept[i]) {
                kept_hashes.push_back(hashes[i]);
                kept_weights.push_back(weights[i]);
            }
        }
        if (kept_hashes.empty())
            return left_out;
        // Postings added since they were counted: no more than counted.
        std::uint64_t votes = 0;
        std::size_t at = 0;
        Lookup(kept_hashes, [&](std::uint32_t hash, std::span<const Posting> postings) {
            while (at < kept_hashes.size() && kept_hashes[at] < hash)
                ++at;
            if (at >= kept_hashes.size() || kept_hashes[at] != hash || postings.size() > bounds.most_postings)
                return;
            const std::uint64_t more = AddVotes(votes, VotesOf(postings.size(), kept_weights[at]));
            if (more > bounds.most_votes)
                return;
            votes = more;
            visit(hash, postings);
        });
        return left_out;
    }

    std::vector<std::uint64_t> CountPostings(std::span<const std::uint32_t> hashes) const override
    {
        std::vector<std::vector<std::uint64_t>> counts(shards_.size());
        Each([&](std::size_t k) { counts[k] = shards_[k]->CountPostings(hashes); });
        std::vector<std::uint64_t> sums(hashes.size(), 0);
        for (const auto& shard : counts) {
            if (shard.size() != hashes.size())
                throw StoreError("a shard counted the postings of " + std::to_string(shard.size()) + " hashes of " +
                                 std::to_string(hashes.size()));
            for (std::size_t i = 0; i < sums.size(); ++i)
                sums[i] = AddVotes(sums[i], shard[i]);
        }
        return sums;
    }

    std::optional<VoteTally> TallyVotes(std::span<const Landmark> query, const LookupBounds& bounds) const override
    {
        VoteTally tally;
        std::vector<Landmark> kept(query.begin(), query.end());
        if (!Unbounded(bounds)) {
            // The catalogue's bounds, from every shard's counts.
            std::sort(kept.begin(), kept.end(), [](const Landmark& a, const Landmark& b) {
                return a.hash != b.hash ? a.hash < b.hash : a.frame < b.frame;
            });
            std::vector<std::uint32_t> hashes;
            std::vector<std::uint32_t> weights;
            for (const Landmark& l : kept) {
                if (hashes.empty() || hashes.back() != l.hash) {
                    hashes.push_back(l.hash);
                    weights.push_back(0);
                }
                if (weights.back() < std::numeric_limits<std::uint32_t>::max())
                    ++weights.back();
            }
            const std::vector<bool> keep = KeptWithin(CountPostings(hashes), weights, bounds, tally.left_out);
            std::erase_if(kept, [&](const Landmark& l) {
                const auto at = std::lower_bound(hashes.begin(), hashes.end(), l.hash);
                return !keep[static_cast<std::size_t>(at - hashes.begin())];
            });
        }
        if (kept.empty())
            return tally;
        std::vector<std::optional<VoteTally>> tallies(shards_.size());
        Each([&](std::size_t k) { tallies[k] = shards_[k]->TallyVotes(kept, LookupBounds{}); });
        for (const std::optional<VoteTally>& shard : tallies) {
            if (!shard)
                return std::nullopt;  // a shard that cannot tally: the matcher looks the postings up
            tally.hits += shard->hits;
            tally.candidates.insert(tally.candidates.end(), shard->candidates.begin(), shard->candidates.end());
        }
        // A track's votes are all on its shard: the best of the catalogue
        // are among the best of each.
        std::sort(tally.candidates.begin(), tally.candidates.end(),
                  [](const TallyCandidate& a, const TallyCandidate& b) {
                      return a.votes != b.votes ? a.votes > b.votes : a.track < b.track;
                  });
        if (tally.candidates.size() > kTallyCandidates)
            tally.candidates.resize(kTallyCandidates);
        return tally;
    }

    std::uint64_t IndexedFrames() const override
    {
        std::vector<std::uint64_t> frames(shards_.size(), 0);
        Each([&](std::size_t k) { frames[k] = shards_[k]->IndexedFrames(); });
        std::uint64_t sum = 0;
        for (const std::uint64_t f : frames)
            sum += f;
        return sum;
    }

    std::vector<std::vector<Peak>> TrackPeaks(std::span<const PeakWindow> windows) const override
    {
        std::vector<std::vector<Peak>> lists(windows.size());
        std::vector<std::vector<PeakWindow>> asked(shards_.size());
        std::vector<std::vector<std::size_t>> where(shards_.size());
        for (std::size_t i = 0; i < windows.size(); ++i) {
            if (windows[i].track == 0)
                continue;
            const std::size_t k = Owner(windows[i].track);
            asked[k].push_back(windows[i]);
            where[k].push_back(i);
        }
        std::vector<std::vector<std::vector<Peak>>> found(shards_.size());
        Each([&](std::size_t k) {
            if (!asked[k].empty())
                found[k] = shards_[k]->TrackPeaks(asked[k]);
        });
        for (std::size_t k = 0; k < shards_.size(); ++k) {
            if (found[k].size() != asked[k].size())
                throw StoreError("shard " + std::to_string(k + 1) + " answered " + std::to_string(found[k].size()) +
                                 " windows of peaks of " + std::to_string(asked[k].size()));
            for (std::size_t j = 0; j < where[k].size(); ++j)
                lists[where[k][j]] = std::move(found[k][j]);
        }
        return lists;
    }

    Added Add(const TrackInfo& info, std::span<const Landmark> landmarks, std::span<const Peak> peaks) override
    {
        const std::size_t k = Placed(info.content);
        const Added added = shards_[k]->Add(info, landmarks, peaks);
        if (added.id == 0 || Owner(added.id) != k)
            throw StoreError("shard " + std::to_string(k + 1) + " of " + std::to_string(shards_.size()) +
                             " gave the track id " + std::to_string(added.id) + ", which is not one of its own");
        return added;
    }

    bool Remove(std::uint32_t id) override { return id != 0 && shards_[Owner(id)]->Remove(id); }

    bool ReplacePostings(std::uint32_t id, std::span<const Landmark> landmarks) override
    {
        return id != 0 && shards_[Owner(id)]->ReplacePostings(id, landmarks);
    }

    // Every shard records the format of its own index; the catalogue's is
    // the first shard's (each shard is checked against the program's when
    // opened, as any store is).
    std::string IndexFormat() const override { return shards_.front()->IndexFormat(); }

    void SetIndexFormat(const std::string& format) override
    {
        for (const auto& shard : shards_)
            shard->SetIndexFormat(format);
    }

    std::optional<TrackInfo> Track(std::uint32_t id) const override
    {
        if (id == 0)
            return std::nullopt;
        return shards_[Owner(id)]->Track(id);
    }

    std::optional<TrackInfo> TrackWithContent(std::string_view content) const override
    {
        return shards_[Placed(content)]->TrackWithContent(content);
    }

    std::vector<TrackInfo> Tracks() const override
    {
        std::vector<std::vector<TrackInfo>> found(shards_.size());
        Each([&](std::size_t k) { found[k] = shards_[k]->Tracks(); });
        std::vector<TrackInfo> all;
        for (auto& tracks : found)
            std::move(tracks.begin(), tracks.end(), std::back_inserter(all));
        std::sort(all.begin(), all.end(), [](const TrackInfo& a, const TrackInfo& b) { return a.id < b.id; });
        return all;
    }

    StoreTotals Totals() const override
    {
        std::vector<StoreTotals> found(shards_.size());
        Each([&](std::size_t k) { found[k] = shards_[k]->Totals(); });
        StoreTotals sum;
        for (const StoreTotals& t : found) {
            sum.tracks += t.tracks;
            sum.postings += t.postings;
            sum.frames += t.frames;
            sum.bytes += t.bytes;
        }
        return sum;
    }

private:
    std::size_t Owner(std::uint32_t id) const { return (id - 1) % shards_.size(); }
    std::size_t Placed(std::string_view content) const { return ContentHash(content) % shards_.size(); }

    // Runs work(k) for every shard at once (a thread each but the first,
    // which is the caller's) and waits for all of them; then throws the
    // first shard's error, if any failed.
    template <typename Work>
    void Each(Work&& work) const
    {
        std::vector<std::exception_ptr> errors(shards_.size());
        const auto run = [&](std::size_t k) {
            try {
                work(k);
            } catch (...) {
                errors[k] = std::current_exception();
            }
        };
        {
            std::vector<std::jthread> threads;
            threads.reserve(shards_.size());
            for (std::size_t k = 1; k < shards_.size(); ++k)
                threads.emplace_back(run, k);
            run(0);
        }
        for (std::size_t k = 0; k < errors.size(); ++k) {
            if (!errors[k])
                continue;
            try {
                std::rethrow_exception(errors[k]);
            } catch (const StoreError&) {
                throw;  // it names its store
            } catch (const std::exception& e) {
                throw StoreError("shard " + std::to_string(k + 1) + ": " + e.what());
            }
        }
    }

    std::vector<std::unique_ptr<Store>> shards_;
};

}  // namespace

std::unique_ptr<Store> OpenStores(std::span<const std::string> where, OpenMode mode, const StoreOptions& options)
{
    if (where.empty())
        throw StoreError("no catalogue named");
    if (where.size() == 1)
        return OpenStore(where.front(), mode, options);
    for (const std::string& uri : where) {
        if (!uri.starts_with("postgresql://") && !uri.starts_with("postgres://"))
            throw StoreError("a catalogue of several shards keeps them in PostgreSQL, and " + uri +
                             " is not a postgresql:// URI");
    }
    if (where.size() > 1024)
        throw StoreError("at most 1024 shards");
    std::vector<std::unique_ptr<Store>> shards;
    ShardPlace place;
    place.shards = static_cast<std::uint32_t>(where.size());
    for (std::size_t k = 0; k < where.size(); ++k) {
        place.shard = static_cast<std::uint32_t>(k);
        shards.push_back(OpenPostgresShard(where[k], mode, options, place));
    }
    return std::make_unique<ShardedStore>(std::move(shards));
}

}  // namespace vxt::matcher
