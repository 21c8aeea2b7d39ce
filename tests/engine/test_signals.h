// Deterministic signals and small oracles shared by the engine tests.
#pragma once

#include <cctype>
#include <cmath>
#include <complex>
#include <cstdint>
#include <random>
#include <string_view>
#include <vector>

namespace vxt::test {

inline constexpr double pi = 3.14159265358979323846;

// A music-like test signal: a few gliding partials over quiet noise, fixed
// seed, so that every band sees peaks come and go.
inline std::vector<std::int16_t> music_like(std::int32_t rate, double seconds, std::uint32_t seed = 7)
{
    std::mt19937 noise(seed);
    std::uniform_int_distribution<int> dither(-300, 300);
    const auto n = static_cast<std::size_t>(seconds * rate);
    std::vector<std::int16_t> pcm(n);
    double phase[4] = {};
    for (std::size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / rate;
        const double step = std::floor(t * 4.0);  // a new note every 250 ms
        const double notes[4] = {300 + 40 * std::fmod(step * 7, 5), 700 + 90 * std::fmod(step * 3, 7),
                                 1600 + 150 * std::fmod(step * 5, 9), 2600 + 80 * std::fmod(step, 4)};
        double v = 0;
        for (int p = 0; p < 4; ++p) {
            phase[p] += 2 * pi * notes[p] / rate;
            v += (3000.0 / (p + 1)) * std::sin(phase[p]) * (0.6 + 0.4 * std::sin(2 * pi * (p + 1) * t));
        }
        pcm[i] = static_cast<std::int16_t>(std::lround(v) + dither(noise));
    }
    return pcm;
}

// Power of bin k of a 1024-point frame by the definition, in double.
inline std::vector<double> naive_power(const float* frame)
{
    std::vector<double> power(513);
    for (int k = 0; k <= 512; ++k) {
        std::complex<double> sum = 0;
        for (int n = 0; n < 1024; ++n)
            sum += static_cast<double>(frame[n]) * std::polar(1.0, -2 * pi * k * n / 1024.0);
        power[static_cast<std::size_t>(k)] = std::norm(sum) * std::ldexp(1.0, -17);
    }
    return power;
}

// Whether what() reads "FILE(LINE): TEXT" for this file, relative to the
// source tree, and any line.
inline bool is_engine_message(std::string_view what, std::string_view file, std::string_view text)
{
    if (!what.starts_with(file) || what.size() < file.size() + 1 || what[file.size()] != '(')
        return false;
    std::size_t at = file.size() + 1;
    const std::size_t digits_from = at;
    while (at < what.size() && std::isdigit(static_cast<unsigned char>(what[at])))
        ++at;
    const std::string_view rest = what.substr(at);
    return at > digits_from && rest.starts_with("): ") && rest.substr(3) == text;
}

}  // namespace vxt::test
