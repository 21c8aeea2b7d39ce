// A hash's postings packed into blocks, as the LMDB store keeps them.
//
// A block holds up to kBlockPostings postings of one hash in (track, frame)
// order. Its first posting is not in the block: it is part of the block's
// key, so that blocks sort by where they start. The rest are coded as
// track steps (Rice-coded, so that the common small steps take a few bits
// and a rare large one takes no more than 7 bytes) and frames (absolute, in
// as many bits as the block's largest frame needs):
//
//   varint n            postings in the block, the first one included
//   if n > 1:
//     byte k            the Rice parameter of the track steps (0..31)
//     byte frame_bits   bits of each frame (0..32)
//     bits, low first:  n - 1 times (track step, frame); a track step q:r
//                       is q one bits, a zero, then r in k bits; a step
//                       whose q would reach kEscape is kEscape one bits
//                       then the step in 32 bits.
//
// Decoding checks every bit against the stored length and that the
// postings ascend: damaged bytes are found out, never read past.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vextune/matcher/Store.h"

namespace vxt::matcher {

inline constexpr std::size_t kBlockPostings = 128;

// Appends the block of postings (1 to kBlockPostings of them, strictly
// ascending) to out; postings[0] goes into the key, not into out.
void EncodeBlock(std::span<const Posting> postings, std::string& out);

// The count of postings the stored block holds (its first included); 0
// when the bytes do not start like a block.
std::size_t BlockCount(std::string_view stored);

// Writes the postings of the block that starts with first to out, which
// has room for BlockCount(stored) of them; returns how many, 0 when the
// block is damaged (out may then hold part of it).
std::size_t DecodeBlock(Posting first, std::string_view stored, Posting* out);

// Appends the postings of the block that starts with first to out. False
// when the block is damaged (out then holds what it held before).
bool DecodeBlock(Posting first, std::string_view stored, std::vector<Posting>& out);

}  // namespace vxt::matcher
