// Writes the request bodies of a hostile client, for measuring what they
// cost a running service (bench/crafted-run posts them and reads the
// service's CPU time and memory):
//
//   crafted_requests DIR [RECORDING.sig]
//
// into DIR, each a JSON body of POST /recognize:
//   one-frame.json   157 000 peaks in one frame (a body of 1 MiB)
//   one-bin.json     157 000 peaks in one bin, over 63 frames
//   far.json         the recording's peaks moved to frames near 2^32
//   tiled-200k.json  the recording's peaks repeated over and over, a body of
//   tiled-1m.json    200 KB and of 1 MiB: every pair of the recording many
//                    times (against a catalogue of many copies of it, each
//                    pair brings a vote from every copy)
//   tiled-600s.json  the same within 600 s, the longest recording the
//                    service can ask for
// The last three need the signature of a recording (type 2, as
// `vextune signature` makes it); each body's "samplems" is given in
// crafted-run's table.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "crafted_signature.h"
#include "vextune/protocol/Request.h"

namespace {

using Bands = std::vector<std::vector<vxt::BandPeak>>;

bool Write(const std::string& path, const Bands& bands, double sample_ms)
{
    const std::vector<std::uint8_t> signature = vxt::testing::CraftedSignature(bands);
    const std::string body =
        vxt::protocol::RequestText(R"({"signature":"{sigdata}","samplems":"{samplems}"})", signature, sample_ms);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << body;
    if (!out) {
        std::fprintf(stderr, "crafted_requests: cannot write %s\n", path.c_str());
        return false;
    }
    std::printf(
        "%s\t%zu peaks\t%zu bytes\tsamplems %.0f\n", path.c_str(),
        [&] {
            std::size_t n = 0;
            for (const auto& b : bands)
                n += b.size();
            return n;
        }(),
        body.size(), sample_ms);
    return true;
}

// The recording's peaks, band by band, repeated one after another until
// they hold `peaks` peaks.
Bands Tiled(const vxt::decoded_signature& recording, std::size_t peaks, std::uint32_t most_frames = ~0u)
{
    Bands bands(recording.bands.size());
    std::uint32_t length = 0;
    for (const vxt::band_list& b : recording.bands)
        for (const vxt::BandPeak& p : b.peaks)
            length = std::max(length, p.time + 1);
    std::size_t n = 0;
    for (std::uint32_t shift = 0; n < peaks && shift + length <= most_frames; shift += length) {
        for (std::size_t b = 0; b < bands.size() && n < peaks; ++b)
            for (const vxt::BandPeak& p : recording.bands[b].peaks)
                if (n++ < peaks)
                    bands[b].push_back({p.time + shift, p.frequency, p.amplitude});
    }
    // Band lists are in time order.
    for (auto& b : bands)
        std::stable_sort(b.begin(), b.end(), [](const auto& x, const auto& y) { return x.time < y.time; });
    return bands;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: crafted_requests DIR [RECORDING.sig]\n");
        return 2;
    }
    const std::string dir = argv[1];
    // 157 000 peaks of 5 bytes, in base64, fill the service's 1 MiB body.
    constexpr std::size_t kPeaks = 157000;
    bool ok = true;

    Bands one_frame(1);
    for (std::size_t i = 0; i < kPeaks; ++i)
        one_frame[0].push_back({100, static_cast<std::uint16_t>(2048 + i % 26624), 1000});
    std::sort(one_frame[0].begin(), one_frame[0].end(),
              [](const auto& a, const auto& b) { return a.frequency < b.frequency; });
    ok = Write(dir + "/one-frame.json", one_frame, 12000) && ok;

    Bands one_bin(1);
    for (std::size_t i = 0; i < kPeaks; ++i)
        one_bin[0].push_back(
            {static_cast<std::uint32_t>(i * 63 / kPeaks), static_cast<std::uint16_t>(64 * 300 + i % 64), 1000});
    ok = Write(dir + "/one-bin.json", one_bin, 12000) && ok;

    if (argc > 2) {
        std::ifstream in(argv[2], std::ios::binary);
        const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
        const vxt::decoded_signature recording = vxt::read_signature(bytes);
        if (!recording.ok() || recording.bands.empty()) {
            std::fprintf(stderr, "crafted_requests: %s: not a recording's signature: %s\n", argv[2],
                         recording.error.c_str());
            return 1;
        }
        Bands far(recording.bands.size());
        for (std::size_t b = 0; b < far.size(); ++b)
            for (const vxt::BandPeak& p : recording.bands[b].peaks)
                far[b].push_back({p.time + 0xffffffffu - 20000, p.frequency, p.amplitude});
        ok = Write(dir + "/far.json", far, recording.timing.audio_seconds * 1000.0) && ok;
        ok = Write(dir + "/tiled-200k.json", Tiled(recording, 30000), 600000) && ok;
        ok = Write(dir + "/tiled-1m.json", Tiled(recording, kPeaks), 600000) && ok;
        ok = Write(dir + "/tiled-600s.json", Tiled(recording, kPeaks, 600 * 125), 600000) && ok;
    }
    return ok ? 0 : 1;
}
