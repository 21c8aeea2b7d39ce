// Packed blocks of postings: what goes in comes out, at the edges of the
// integers too, and damaged bytes are found out without reading past them,
// the decoder agreeing on any bytes with one that reads a bit at a time.
#include <gtest/gtest.h>

#include <limits>
#include <optional>
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

// The layout read the plain way, a bit at a time, each checked against
// the end: what the decoder must agree with on any bytes.
std::optional<std::vector<Posting>> DecodeBitByBit(Posting first, std::string_view stored)
{
    std::uint64_t n = 0;
    std::size_t at = 0;
    for (;; ++at) {
        if (at == stored.size() || at == 5)
            return std::nullopt;
        const auto byte = static_cast<unsigned char>(stored[at]);
        n |= std::uint64_t{byte & 0x7fu} << (7 * at);
        if ((byte & 0x80) == 0)
            break;
    }
    ++at;
    if (n == 0 || n > kBlockPostings)
        return std::nullopt;
    std::vector<Posting> out = {first};
    if (n == 1)
        return at == stored.size() ? std::optional(out) : std::nullopt;
    if (stored.size() < at + 2)
        return std::nullopt;
    const auto k = static_cast<unsigned char>(stored[at]);
    const auto frame_bits = static_cast<unsigned char>(stored[at + 1]);
    if (k > 31 || frame_bits > 32)
        return std::nullopt;
    std::size_t bit = 8 * (at + 2);
    const auto get = [&](unsigned count, std::uint64_t& value) {
        value = 0;
        for (unsigned i = 0; i < count; ++i, ++bit) {
            if (bit >= 8 * stored.size())
                return false;
            value |= std::uint64_t{(static_cast<unsigned char>(stored[bit / 8]) >> (bit % 8)) & 1u} << i;
        }
        return true;
    };
    for (std::uint64_t i = 1; i < n; ++i) {
        std::uint64_t q = 0;
        std::uint64_t one = 1;
        while (q < 24 && one == 1) {
            if (!get(1, one))
                return std::nullopt;
            q += one;
        }
        std::uint64_t step = 0;
        if (q == 24) {
            if (!get(32, step))
                return std::nullopt;
        } else {
            std::uint64_t r = 0;
            if (!get(k, r))
                return std::nullopt;
            step = (q << k) | r;
        }
        std::uint64_t frame = 0;
        if (!get(frame_bits, frame))
            return std::nullopt;
        const std::uint64_t track = out.back().track + step;
        if (track > kMost)
            return std::nullopt;
        const Posting p{static_cast<std::uint32_t>(track), static_cast<std::uint32_t>(frame)};
        if (!(out.back() < p))
            return std::nullopt;
        out.push_back(p);
    }
    return out;
}

// Blocks of every kind of step and frame, whole, cut, with bits flipped,
// bytes changed or added, and bytes at random: the decoder takes exactly
// what the plain reading takes, and gives the same postings.
TEST(PackedPostings, TheDecoderAgreesWithAPlainReadingOnAnyBytes)
{
    std::mt19937 random(12);
    std::size_t agreed_good = 0;
    for (int round = 0; round < 3000; ++round) {
        // Steps of a few bits, now and then one past the escape; 128 of
        // them stay below 2^32.
        const auto count = static_cast<std::size_t>(1 + random() % kBlockPostings);
        const std::uint32_t max_step = 1u << (random() % 16);
        const std::uint32_t max_frame = random() % 3 == 0 ? kMost : (1u << (random() % 20)) - 1;
        std::vector<Posting> postings = {{static_cast<std::uint32_t>(random() % 1000), 0}};
        while (postings.size() < count) {
            const std::uint32_t step = random() % 16 == 0 ? random() % (1u << 24) : random() % max_step;
            const Posting p{postings.back().track + step, static_cast<std::uint32_t>(random() % (max_frame + 1ull))};
            if (postings.back() < p)
                postings.push_back(p);
        }
        std::string stored;
        EncodeBlock(postings, stored);
        std::vector<std::string> variants = {stored};
        if (!stored.empty()) {
            std::string flipped = stored;
            flipped[random() % flipped.size()] ^= static_cast<char>(1u << (random() % 8));
            variants.push_back(flipped);
            std::string changed = stored;
            changed[random() % changed.size()] = static_cast<char>(random());
            variants.push_back(changed);
            variants.push_back(stored.substr(0, random() % stored.size()));
        }
        variants.push_back(stored + std::string(1 + random() % 9, static_cast<char>(random())));
        std::string noise(random() % 40, '\0');
        for (char& c : noise)
            c = static_cast<char>(random());
        if (noise.size() >= 3 && random() % 2 == 0) {
            noise[0] = static_cast<char>(1 + random() % kBlockPostings);  // a count that parses
            noise[1] = static_cast<char>(random() % 32);
            noise[2] = static_cast<char>(random() % 33);
        }
        variants.push_back(noise);
        for (const std::string& bytes : variants) {
            const Posting first = postings.front();
            const std::optional<std::vector<Posting>> plain = DecodeBitByBit(first, bytes);
            std::vector<Posting> out = {{1, 2}};
            const bool decoded = DecodeBlock(first, bytes, out);
            ASSERT_EQ(decoded, plain.has_value()) << round << ": " << bytes.size() << " bytes";
            if (decoded) {
                ASSERT_EQ(std::vector<Posting>(out.begin() + 1, out.end()), *plain) << round;
                ++agreed_good;
            } else {
                ASSERT_EQ(out, std::vector<Posting>({{1, 2}})) << "a refused block leaves out as it was";
            }
        }
    }
    EXPECT_GT(agreed_good, 3000u);
}

}  // namespace
}  // namespace vxt::matcher
