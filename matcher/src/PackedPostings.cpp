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

// Reads bits low first from a 64-bit window, refilled a word at a time
// while eight bytes remain and a byte at a time after. Only bits of whole
// bytes within the input enter the count of bits held (have_), and every
// read takes from that count: a field that would run past the input is
// refused, never read.
class BitReader {
public:
    explicit BitReader(std::string_view in)
        : at_(reinterpret_cast<const unsigned char*>(in.data())), end_(at_ + in.size())
    {}

    // Reads count bits (count <= 32); false when the bytes run out.
    bool Get(unsigned count, std::uint32_t& value)
    {
        if (have_ < count) {
            Refill();
            if (have_ < count)
                return false;
        }
        value = static_cast<std::uint32_t>(bits_ & ((std::uint64_t{1} << count) - 1));
        bits_ >>= count;
        have_ -= count;
        return true;
    }

    // Counts one bits up to a zero (taken too) or up to limit ones (limit
    // < 56); false when the bytes run out first.
    bool Unary(unsigned limit, std::uint32_t& ones)
    {
        if (have_ <= limit)
            Refill();
        // Only the bits held count: those above may be unread bytes, or none.
        const auto run = static_cast<unsigned>(std::countr_one(bits_ & ((std::uint64_t{1} << have_) - 1)));
        if (run >= limit) {
            ones = limit;
            bits_ >>= limit;
            have_ -= limit;
            return true;
        }
        if (run == have_)
            return false;  // no closing zero before the end
        ones = run;
        bits_ >>= run + 1;
        have_ -= run + 1;
        return true;
    }

    // Whether count bits (at most 56) are held, refilling if need be: the
    // unchecked reads below take from those.
    bool Hold(unsigned count)
    {
        if (have_ < count)
            Refill();
        return have_ >= count;
    }

    // Takes count bits (count <= 32) of those held.
    std::uint32_t Take(unsigned count)
    {
        const auto value = static_cast<std::uint32_t>(bits_ & ((std::uint64_t{1} << count) - 1));
        bits_ >>= count;
        have_ -= count;
        return value;
    }

    // As Unary, of limit + 1 bits held.
    std::uint32_t TakeUnary(unsigned limit)
    {
        const auto run = static_cast<unsigned>(std::countr_one(bits_));
        const unsigned ones = std::min(run, limit);
        const unsigned taken = run < limit ? run + 1 : limit;
        bits_ >>= taken;
        have_ -= taken;
        return ones;
    }

private:
    // Holds at least 56 bits, or every bit left (at most 63).
    void Refill()
    {
        if constexpr (std::endian::native == std::endian::little) {
            if (end_ - at_ >= 8) {
                std::uint64_t word;
                std::memcpy(&word, at_, sizeof word);
                // Bits above the count are the next bytes' own, shifted
                // alike, so that OR-ing them in again changes nothing.
                bits_ |= word << have_;
                at_ += (63 - have_) >> 3;
                have_ |= 56;
                return;
            }
        }
        while (have_ <= 55 && at_ != end_) {
            bits_ |= static_cast<std::uint64_t>(*at_++) << have_;
            have_ += 8;
        }
    }

    const unsigned char* at_;
    const unsigned char* end_;
    std::uint64_t bits_ = 0;
    unsigned have_ = 0;
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

std::size_t DecodeBlock(Posting first, std::string_view stored, Posting* out)
{
    const auto [n, used] = GetVarint(stored);
    if (used == 0 || n == 0 || n > kBlockPostings)
        return 0;
    out[0] = first;
    if (n == 1)
        return used == stored.size() ? 1 : 0;
    if (stored.size() < used + 2)
        return 0;
    const auto k = static_cast<unsigned char>(stored[used]);
    const auto frame_bits = static_cast<unsigned char>(stored[used + 1]);
    if (k > 31 || frame_bits > 32)
        return 0;
    BitReader reader(stored.substr(used + 2));
    Posting last = first;
    // Most postings, their track step below the escape, fit in the bits a
    // refill holds: those are read from them after one check.
    const unsigned most_bits = kEscape + 1 + k + frame_bits;
    const bool one_check = most_bits <= 56;
    for (std::uint32_t i = 1; i < n; ++i) {
        std::uint32_t q = 0;
        std::uint32_t step = 0;
        std::uint32_t frame = 0;
        if (one_check && reader.Hold(most_bits)) {
            q = reader.TakeUnary(kEscape);
            if (q < kEscape) {
                const std::uint64_t wide = (std::uint64_t{q} << k) | reader.Take(k);
                frame = reader.Take(frame_bits);
                if (wide > 0xffffffffu - last.track)
                    return 0;
                const Posting p{last.track + static_cast<std::uint32_t>(wide), frame};
                if (!(last < p))
                    return 0;
                out[i] = p;
                last = p;
                continue;
            }
        } else if (!reader.Unary(kEscape, q)) {
            return 0;
        }
        if (q == kEscape) {
            if (!reader.Get(32, step))
                return 0;
        } else {
            std::uint32_t r = 0;
            if (!reader.Get(k, r))
                return 0;
            const std::uint64_t wide = (std::uint64_t{q} << k) | r;
            if (wide > 0xffffffffu)
                return 0;
            step = static_cast<std::uint32_t>(wide);
        }
        if (!reader.Get(frame_bits, frame))
            return 0;
        if (step > 0xffffffffu - last.track)
            return 0;
        const Posting p{last.track + step, frame};
        if (!(last < p))
            return 0;
        out[i] = p;
        last = p;
    }
    return n;
}

bool DecodeBlock(Posting first, std::string_view stored, std::vector<Posting>& out)
{
    const std::size_t begin = out.size();
    out.resize(begin + std::clamp<std::size_t>(BlockCount(stored), 1, kBlockPostings));
    const std::size_t decoded = DecodeBlock(first, stored, out.data() + begin);
    out.resize(begin + decoded);
    return decoded > 0;
}

}  // namespace vxt::matcher
