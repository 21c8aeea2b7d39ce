#include "PackedPostings.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace vxt::matcher {
namespace {

constexpr std::uint32_t kEscape = 24;

class BitWriter {
public:
    explicit BitWriter(std::string& out) : out_(out) {}

    // Writes the low count bits of value (count <= 32).
    void Put(std::uint64_t value, unsigned count)
    {
        if (count == 0)
            return;
        bits_ |= (value & ((std::uint64_t{1} << count) - 1)) << used_;
        used_ += count;
        while (used_ >= 8) {
            out_.push_back(static_cast<char>(bits_ & 0xff));
            bits_ >>= 8;
            used_ -= 8;
        }
    }

    void Ones(std::uint32_t count)
    {
        for (; count >= 16; count -= 16)
            Put(0xffff, 16);
        Put((std::uint64_t{1} << count) - 1, count);
    }

    void Flush()
    {
        if (used_ > 0)
            out_.push_back(static_cast<char>(bits_ & 0xff));
        bits_ = 0;
        used_ = 0;
    }

private:
    std::string& out_;
    std::uint64_t bits_ = 0;
    unsigned used_ = 0;
};

class BitReader {
public:
    explicit BitReader(std::string_view in) : in_(in) {}

    // Reads count bits (count <= 32); false when the bytes run out.
    bool Get(unsigned count, std::uint32_t& value)
    {
        if (!Fill(count))
            return false;
        value = static_cast<std::uint32_t>(bits_ & ((std::uint64_t{1} << count) - 1));
        bits_ = count == 64 ? 0 : bits_ >> count;
        have_ -= count;
        return true;
    }

    // Counts one bits up to a zero (taken too) or up to limit ones.
    bool Unary(std::uint32_t limit, std::uint32_t& ones)
    {
        ones = 0;
        for (;;) {
            if (!Fill(1))
                return false;
            const auto run = static_cast<std::uint32_t>(std::countr_one(bits_));
            const std::uint32_t take = std::min({run, have_, limit - ones});
            ones += take;
            bits_ >>= take;
            have_ -= take;
            if (ones == limit)
                return true;
            if (have_ > 0) {  // the bit now first is the closing zero
                bits_ >>= 1;
                have_ -= 1;
                return true;
            }
        }
    }

private:
    bool Fill(unsigned count)
    {
        if (have_ >= count)
            return true;
        if constexpr (std::endian::native == std::endian::little) {
            // Whole bytes, as many as fit, eight at a time while they last.
            if (in_.size() - at_ >= 8) {
                std::uint64_t word;
                std::memcpy(&word, in_.data() + at_, sizeof word);
                const std::uint32_t take = (63 - have_) >> 3;
                bits_ |= (word & ((std::uint64_t{1} << (8 * take)) - 1)) << have_;
                at_ += take;
                have_ += 8 * take;
                return true;
            }
        }
        while (have_ < count) {
            if (at_ == in_.size())
                return false;
            bits_ |= static_cast<std::uint64_t>(static_cast<unsigned char>(in_[at_++])) << have_;
            have_ += 8;
        }
        return true;
    }

    std::string_view in_;
    std::size_t at_ = 0;
    std::uint64_t bits_ = 0;
    std::uint32_t have_ = 0;
};

void PutVarint(std::string& out, std::uint32_t v)
{
    while (v >= 0x80) {
        out.push_back(static_cast<char>(v | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<char>(v));
}

// The varint at the start of in, and how many bytes it took; 0 bytes when
// it is not a whole varint of at most 32 bits.
std::pair<std::uint32_t, std::size_t> GetVarint(std::string_view in)
{
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < in.size() && i < 5; ++i) {
        const auto byte = static_cast<unsigned char>(in[i]);
        v |= static_cast<std::uint64_t>(byte & 0x7f) << (7 * i);
        if ((byte & 0x80) == 0) {
            if (v > 0xffffffffu)
                return {0, 0};
            return {static_cast<std::uint32_t>(v), i + 1};
        }
    }
    return {0, 0};
}

std::uint64_t RiceBits(std::span<const std::uint32_t> steps, unsigned k)
{
    std::uint64_t bits = 0;
    for (const std::uint32_t step : steps) {
        const std::uint32_t q = step >> k;
        bits += q >= kEscape ? kEscape + 32 : q + 1 + k;
    }
    return bits;
}

}  // namespace

void EncodeBlock(std::span<const Posting> postings, std::string& out)
{
    PutVarint(out, static_cast<std::uint32_t>(postings.size()));
    if (postings.size() <= 1)
        return;
    std::vector<std::uint32_t> steps(postings.size() - 1);
    std::uint32_t most_frame = 0;
    std::uint64_t sum = 0;
    for (std::size_t i = 1; i < postings.size(); ++i) {
        steps[i - 1] = postings[i].track - postings[i - 1].track;
        sum += steps[i - 1];
        most_frame = std::max(most_frame, postings[i].frame);
    }
    // The mean step's width is near the best parameter; its neighbours
    // are tried too.
    const std::uint64_t mean = sum / steps.size();
    const unsigned guess = mean == 0 ? 0 : static_cast<unsigned>(std::bit_width(mean)) - 1;
    unsigned k = guess;
    std::uint64_t best = RiceBits(steps, k);
    for (const unsigned other : {guess == 0 ? 0u : guess - 1, std::min(guess + 1, 31u)}) {
        const std::uint64_t bits = RiceBits(steps, other);
        if (bits < best) {
            best = bits;
            k = other;
        }
    }
    const auto frame_bits = static_cast<unsigned>(std::bit_width(most_frame));
    out.push_back(static_cast<char>(k));
    out.push_back(static_cast<char>(frame_bits));
    BitWriter writer(out);
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const std::uint32_t q = steps[i] >> k;
        if (q >= kEscape) {
            writer.Ones(kEscape);
            writer.Put(steps[i], 32);
        } else {
            writer.Ones(q);
            writer.Put(0, 1);
            writer.Put(steps[i], k);
        }
        writer.Put(postings[i + 1].frame, frame_bits);
    }
    writer.Flush();
}

std::size_t BlockCount(std::string_view stored)
{
    const auto [n, used] = GetVarint(stored);
    return used == 0 ? 0 : n;
}

bool DecodeBlock(Posting first, std::string_view stored, std::vector<Posting>& out)
{
    const auto [n, used] = GetVarint(stored);
    if (used == 0 || n == 0 || n > kBlockPostings)
        return false;
    out.push_back(first);
    if (n == 1)
        return used == stored.size();
    if (stored.size() < used + 2)
        return false;
    const auto k = static_cast<unsigned char>(stored[used]);
    const auto frame_bits = static_cast<unsigned char>(stored[used + 1]);
    if (k > 31 || frame_bits > 32)
        return false;
    BitReader reader(stored.substr(used + 2));
    Posting last = first;
    for (std::uint32_t i = 1; i < n; ++i) {
        std::uint32_t q = 0;
        std::uint32_t step = 0;
        if (!reader.Unary(kEscape, q))
            return false;
        if (q == kEscape) {
            if (!reader.Get(32, step))
                return false;
        } else {
            std::uint32_t r = 0;
            if (!reader.Get(k, r))
                return false;
            const std::uint64_t wide = (std::uint64_t{q} << k) | r;
            if (wide > 0xffffffffu)
                return false;
            step = static_cast<std::uint32_t>(wide);
        }
        std::uint32_t frame = 0;
        if (!reader.Get(frame_bits, frame))
            return false;
        if (step > 0xffffffffu - last.track)
            return false;
        const Posting p{last.track + step, frame};
        if (!(last < p))
            return false;
        out.push_back(p);
        last = p;
    }
    return true;
}

}  // namespace vxt::matcher
