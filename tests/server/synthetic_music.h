// Music-like audio made up on the spot: notes of two or three partials,
// 100 to 300 ms long, at random pitches, with a soft attack and decay.
// Different seeds make unrelated pieces; the engine finds peaks in them as
// it does in music.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "vextune/vextuneAPI.h"

namespace vxt::server::testing {

inline constexpr std::int32_t kRate = 16000;

inline std::vector<std::int16_t> SyntheticMusic(std::uint32_t seed, double seconds)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> pitch(150.0, 3000.0), length(0.1, 0.3), unit(0.0, 1.0);
    const auto total = static_cast<std::size_t>(seconds * kRate);
    std::vector<double> mix(total, 0.0);
    for (std::size_t start = 0; start < total;) {
        const auto n = static_cast<std::size_t>(length(random) * kRate);
        const int partials = 2 + static_cast<int>(random() % 2);
        for (int k = 0; k < partials; ++k) {
            const double f = pitch(random), a = 0.1 + 0.2 * unit(random);
            for (std::size_t i = 0; i < n && start + i < total; ++i) {
                const double envelope = std::min(1.0, i / 160.0) * std::exp(-3.0 * static_cast<double>(i) / n);
                mix[start + i] += a * envelope * std::sin(2.0 * M_PI * f * static_cast<double>(i) / kRate);
            }
        }
        start += n * 3 / 4;  // notes overlap a little
    }
    std::vector<std::int16_t> pcm(total);
    for (std::size_t i = 0; i < total; ++i)
        pcm[i] = static_cast<std::int16_t>(std::clamp(mix[i], -1.0, 1.0) * 20000.0);
    return pcm;
}

// The signature of the samples: type 1 for a catalogue's whole track, type
// 2 for a recording.
inline std::vector<std::uint8_t> Sign(std::span<const std::int16_t> pcm, SignatureType type)
{
    engine_handle engine = create_engine(type, kRate, flag_no_timestamp);
    for (std::size_t at = 0; at < pcm.size(); at += 4096) {
        const auto n = static_cast<std::int32_t>(std::min<std::size_t>(4096, pcm.size() - at));
        feed_samples(engine, pcm.data() + at, n);
    }
    std::vector<std::uint8_t> bytes;
    get_signature(engine, bytes, 0.0);
    return bytes;
}

}  // namespace vxt::server::testing
