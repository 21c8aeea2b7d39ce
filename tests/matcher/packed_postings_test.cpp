// Packed blocks of postings: what goes in comes out, at the edges of the
// integers too, and damaged bytes are found out without reading past them.
#include <gtest/gtest.h>

#include <limits>
#include <random>

#include "PackedPostings.h"

namespace vxt::matcher {
namespace {

constexpr std::uint32_t kMost = std::numeric_limits<std::uint32_t>::max();

std::vector<Posting> RoundTrip(const std::vector<Posting>& postings, std::string* stored = nullptr)
{
    std::string bytes;
    EncodeBlock(postings, bytes);
    EXPECT_EQ(BlockCount(bytes), postings.size());
    std::vector<Posting> out;
    EXPECT_TRUE(DecodeBlock(postings.front(), bytes, out));
    if (stored != nullptr)
        *stored = bytes;
    return out;
}

// Ascending random postings: tracks stepping by up to max_step, a track
// repeated at several frames now and then.
std::vector<Posting> Random(std::size_t count, std::uint32_t max_step, std::uint32_t max_frame, std::uint32_t seed)
{
    std::mt19937 random(seed);
    std::vector<Posting> out;
    std::uint64_t track = random() % 1000;
    while (out.size() < count) {
        const std::uint32_t frame = static_cast<std::uint32_t>(random() % (std::uint64_t{max_frame} + 1));
        const Posting p{static_cast<std::uint32_t>(track), frame};
        if (out.empty() || out.back() < p)
            out.push_back(p);
        if (random() % 4 != 0)
            track += 1 + random() % max_step;
    }
    return out;
}

TEST(PackedPostings, BlocksComeBackAsTheyWent)
{
    struct Case {
        const char* name;
        std::vector<Posting> postings;
    };
    const std::vector<Case> cases = {
        {"one posting", {{7, 9}}},
        {"one posting at the largest track and frame", {{kMost, kMost}}},
        {"two of one track", {{3, 1}, {3, 2}}},
        {"frame 0 and the largest frame", {{1, 0}, {2, kMost}, {kMost, 0}, {kMost, kMost}}},
        {"the largest step", {{0, 5}, {kMost, 5}}},
        {"steps of the escape's size", {{0, 0}, {1u << 24, 1}, {(1u << 24) + (1u << 30), 2}, {kMost - 1, 3}}},
        {"a full block, small steps", Random(kBlockPostings, 300, 30000, 1)},
        {"a full block, large steps", Random(kBlockPostings, 1u << 26, kMost, 2)},
        {"a few, mixed steps", Random(17, 1u << 20, 70000, 3)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(RoundTrip(c.postings), c.postings);
    }
}

// The measure of the layout: a catalogue of 100 000 tracks puts about 600
// postings under a hash, their tracks about 170 apart, frames below 2^15.
TEST(PackedPostings, ATypicalBlockTakesAboutThreeBytesAPosting)
{
    std::string stored;
    RoundTrip(Random(kBlockPostings, 340, 30000, 4), &stored);
    EXPECT_LT(stored.size(), 3.4 * kBlockPostings);
}

TEST(PackedPostings, DamagedBlocksAreFoundOut)
{
    std::string good;
    const std::vector<Posting> postings = Random(40, 5000, 40000, 5);
    EncodeBlock(postings, good);
    struct Case {
        const char* name;
        std::string stored;
    };
    std::vector<Case> cases = {
        {"empty", ""},
        {"no postings", std::string(1, '\0')},
        {"more postings than a block holds", std::string("\x81\x01", 2)},
        {"an unfinished count", std::string("\x80", 1)},
        {"a count past 32 bits", std::string("\xff\xff\xff\xff\x7f", 5)},
        {"a one-posting block with bytes after it", std::string("\x01\x00", 2)},
        {"no parameters", std::string("\x02", 1)},
        {"a Rice parameter past 31", std::string("\x02\x20\x05\x00\x00", 5)},
        {"frames of more than 32 bits", std::string("\x02\x01\x21\x00\x00\x00\x00\x00", 8)},
        // A step of 0 and frame 0 after (track, 0): not ascending.
        {"postings that do not ascend", std::string("\x02\x00\x00\x00", 4)},
        {"all ones", std::string("\x05\x00\x00") + std::string(20, '\xff')},
    };
    for (std::size_t cut = 0; cut < good.size(); ++cut)
        cases.push_back({"cut short", good.substr(0, cut)});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Posting> out;
        EXPECT_FALSE(DecodeBlock({1, 0}, c.stored, out)) << c.stored.size() << " bytes";
        EXPECT_LE(out.size(), kBlockPostings);
    }
    // A step that would carry the track past 2^32 - 1.
    std::string wrap;
    EncodeBlock(std::vector<Posting>{{0, 0}, {kMost, 0}}, wrap);
    std::vector<Posting> out;
    EXPECT_FALSE(DecodeBlock({1, 0}, wrap, out));
}

}  // namespace
}  // namespace vxt::matcher
