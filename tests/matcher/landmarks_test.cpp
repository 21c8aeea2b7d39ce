// The pair search against the search it replaced, kept here as the
// reference: peak by peak, every anchor walking the peaks after it. Stored
// catalogues hold the hashes it made, so the landmarks must be the same,
// in the same order, for every input: random peaks of every density, the
// peaks of real music, and the crafted lists (a frame or a bin of very many
// peaks, frames near 2^32, peaks out of order) that made it quadratic.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "vextune/matcher/Landmarks.h"
#include "vextune/signature.h"
#include "vextune/vextuneAPI.h"

#ifdef VXT_TEST_HAVE_SNDFILE
#include <sndfile.h>
#endif

namespace vxt::matcher {
namespace {

// The search as it was.
namespace reference {

std::uint32_t Hash(std::int32_t anchor_bin, std::int32_t bin_step, std::uint32_t frame_step)
{
    return static_cast<std::uint32_t>(anchor_bin) << 13 | static_cast<std::uint32_t>(bin_step + 64) << 6 | frame_step;
}

bool InZone(std::int32_t bin_step, const LandmarkOptions& options)
{
    return bin_step != 0 && bin_step >= -options.max_bin_step && bin_step < options.max_bin_step;
}

template <typename Pair>
void ForEachPair(std::span<const Peak> peaks, const LandmarkOptions& options, Pair pair)
{
    for (std::size_t a = 0; a < peaks.size(); ++a) {
        const Peak& anchor = peaks[a];
        std::uint32_t made = 0;
        for (std::size_t t = a + 1; t < peaks.size() && made < options.fan_out; ++t) {
            const std::uint32_t dt = peaks[t].frame - anchor.frame;
            if (dt == 0)
                continue;
            if (dt > options.max_frame_step)
                break;
            if (!InZone((peaks[t].frequency >> 6) - (anchor.frequency >> 6), options))
                continue;
            pair(anchor, peaks[t], dt);
            ++made;
        }
    }
}

std::vector<Landmark> MakeLandmarks(std::span<const Peak> peaks, const LandmarkOptions& options)
{
    std::vector<Landmark> landmarks;
    ForEachPair(peaks, options, [&](const Peak& anchor, const Peak& target, std::uint32_t dt) {
        landmarks.push_back(
            {Hash(anchor.frequency >> 6, (target.frequency >> 6) - (anchor.frequency >> 6), dt), anchor.frame});
    });
    return landmarks;
}

std::vector<Landmark> QueryLandmarks(std::span<const Peak> peaks, const QueryTolerance& tolerance,
                                     const LandmarkOptions& options)
{
    const auto bins = [&](std::uint16_t frequency, std::int32_t out[2]) {
        const std::int32_t bin = frequency >> 6;
        const std::int32_t within = frequency & 63;
        out[0] = bin;
        if (tolerance.bin_edge > 0 && within < tolerance.bin_edge && bin > 0)
            out[1] = bin - 1;
        else if (tolerance.bin_edge > 0 && 64 - within <= tolerance.bin_edge && bin < 511)
            out[1] = bin + 1;
        else
            return 1;
        return 2;
    };
    std::vector<Landmark> landmarks;
    ForEachPair(peaks, options, [&](const Peak& anchor, const Peak& target, std::uint32_t dt) {
        std::int32_t anchor_bins[2];
        std::int32_t target_bins[2];
        const int anchor_count = bins(anchor.frequency, anchor_bins);
        const int target_count = bins(target.frequency, target_bins);
        const std::uint32_t shortest = dt > tolerance.frames ? dt - tolerance.frames : 1;
        const std::uint32_t longest = std::min(dt + tolerance.frames, options.max_frame_step);
        for (int i = 0; i < anchor_count; ++i) {
            for (int j = 0; j < target_count; ++j) {
                const std::int32_t step = target_bins[j] - anchor_bins[i];
                if (!InZone(step, options))
                    continue;
                for (std::uint32_t d = shortest; d <= longest; ++d)
                    landmarks.push_back({Hash(anchor_bins[i], step, d), anchor.frame});
            }
        }
    });
    return landmarks;
}

}  // namespace reference

bool ByTimeThenFrequency(const Peak& a, const Peak& b)
{
    return a.frame != b.frame ? a.frame < b.frame : a.frequency < b.frequency;
}

// Both searches, with the default options and a few others, exact and
// tolerant.
void ExpectTheSameLandmarks(std::span<const Peak> peaks)
{
    const LandmarkOptions variants[] = {
        {},
        {.fan_out = 1},
        {.fan_out = 3, .max_frame_step = 5, .max_bin_step = 2},
        {.fan_out = 40, .max_frame_step = 63, .max_bin_step = 64},
        {.fan_out = 10, .max_frame_step = 63, .max_bin_step = 1},
        {.fan_out = 0},
        {.fan_out = 10, .max_frame_step = 0},
        {.fan_out = 10, .max_frame_step = 63, .max_bin_step = 0},
    };
    for (const LandmarkOptions& options : variants) {
        SCOPED_TRACE(::testing::Message() << "fan_out " << options.fan_out << ", frame step " << options.max_frame_step
                                          << ", bin step " << options.max_bin_step);
        EXPECT_EQ(MakeLandmarks(peaks, options), reference::MakeLandmarks(peaks, options));
        for (const QueryTolerance tolerance : {QueryTolerance{}, QueryTolerance{0, 0}, QueryTolerance{3, 40}})
            EXPECT_EQ(QueryLandmarks(peaks, tolerance, options), reference::QueryLandmarks(peaks, tolerance, options));
    }
}

// Peaks at random: `per_frame` on average in each of `frames` frames from
// `first`, their frequencies within `bins` bins from `low_bin`.
std::vector<Peak> RandomPeaks(std::uint32_t seed, std::uint32_t first, std::uint32_t frames, double per_frame,
                              std::uint32_t low_bin, std::uint32_t bins)
{
    std::mt19937 random(seed);
    std::poisson_distribution<int> count(per_frame);
    std::vector<Peak> peaks;
    for (std::uint32_t f = 0; f < frames; ++f) {
        for (int n = count(random); n > 0; --n)
            peaks.push_back({first + f, static_cast<std::uint16_t>(64 * low_bin + random() % (64 * bins))});
    }
    return peaks;
}

TEST(PairSearch, MakesTheLandmarksOfThePeakByPeakSearchOnRandomPeaks)
{
    struct Case {
        double per_frame;
        std::uint32_t frames, low_bin, bins;
    };
    const Case cases[] = {
        {0.3, 4000, 16, 432},  // as sparse as music's kept peaks
        {2.0, 2000, 16, 432},  // denser
        {8.0, 500, 0, 1024},   // many to a frame, over every bin a frequency can name
        {6.0, 500, 200, 3},    // many to a frame in a few neighbouring bins
        {0.05, 20000, 100, 50},
    };
    for (std::uint32_t seed = 1; seed <= 3; ++seed) {
        for (const Case& c : cases) {
            SCOPED_TRACE(::testing::Message()
                         << "seed " << seed << ", " << c.per_frame << " a frame in " << c.bins << " bins");
            std::vector<Peak> peaks = RandomPeaks(seed, 1000 * seed, c.frames, c.per_frame, c.low_bin, c.bins);
            // As SignaturePeaks orders them, then in time order alone, as a
            // caller may give them.
            std::sort(peaks.begin(), peaks.end(), ByTimeThenFrequency);
            ExpectTheSameLandmarks(peaks);
            std::mt19937 random(seed);
            for (auto run = peaks.begin(); run != peaks.end();) {
                const auto end = std::find_if(run, peaks.end(), [&](const Peak& p) { return p.frame != run->frame; });
                std::shuffle(run, end, random);
                run = end;
            }
            ExpectTheSameLandmarks(peaks);
        }
    }
}

TEST(PairSearch, MakesTheLandmarksOfThePeakByPeakSearchOnCraftedPeaks)
{
    struct Case {
        const char* name;
        std::vector<Peak> peaks;
    };
    std::vector<Case> cases;
    const auto add = [&](const char* name, std::vector<Peak> peaks) { cases.push_back({name, std::move(peaks)}); };

    // Thousands of peaks in one frame, alone or with neighbours either side.
    std::vector<Peak> one_frame;
    for (std::uint32_t i = 0; i < 3000; ++i)
        one_frame.push_back({500, static_cast<std::uint16_t>(i * 21)});
    std::sort(one_frame.begin(), one_frame.end(), ByTimeThenFrequency);
    add("one frame", one_frame);
    std::vector<Peak> framed = one_frame;
    for (std::uint32_t f : {440u, 470u, 499u, 501u, 530u, 563u, 564u})
        for (std::uint16_t bin : {0, 100, 101, 300, 1023})
            framed.push_back({f, static_cast<std::uint16_t>(64 * bin + 7)});
    std::sort(framed.begin(), framed.end(), ByTimeThenFrequency);
    add("one frame among others", framed);
    // One bin, peak after peak and several to a frame; a few peaks of the
    // neighbouring bins among them.
    std::vector<Peak> one_bin;
    for (std::uint32_t i = 0; i < 6000; ++i)
        one_bin.push_back({i / 3, static_cast<std::uint16_t>(64 * 300 + i % 64)});
    for (std::uint32_t f = 0; f < 2000; f += 97)
        one_bin.push_back({f, static_cast<std::uint16_t>(64 * (f % 2 ? 299 : 364) + 5)});
    std::sort(one_bin.begin(), one_bin.end(), ByTimeThenFrequency);
    add("one bin", one_bin);
    // The same peak over and over.
    add("one peak repeated", std::vector<Peak>(2000, Peak{7, 64 * 50}));
    std::vector<Peak> repeated_pair;
    for (std::uint32_t i = 0; i < 1000; ++i) {
        repeated_pair.push_back({i / 10, 64 * 50});
        repeated_pair.push_back({i / 10, 64 * 60});
    }
    std::sort(repeated_pair.begin(), repeated_pair.end(), ByTimeThenFrequency);
    add("one pair repeated", repeated_pair);
    // Near the last frame a 32-bit count holds, and past it (an unsigned
    // step wraps to the frames from 0).
    std::vector<Peak> wrapping = RandomPeaks(7, 0xffffffffu - 200, 200, 1.5, 50, 100);
    std::sort(wrapping.begin(), wrapping.end(), ByTimeThenFrequency);
    add("near 2^32", wrapping);
    for (const Peak& p : RandomPeaks(8, 0, 100, 1.5, 50, 100))
        wrapping.push_back(p);
    add("past 2^32", wrapping);
    // Out of time order: frames that go back, and a list in no order.
    std::vector<Peak> back_and_forth;
    for (std::uint32_t i = 0; i < 3000; ++i)
        back_and_forth.push_back({(i % 2 ? 10u : 11u) + i / 100, static_cast<std::uint16_t>(64 * (100 + i % 7))});
    add("frames going back and forth", back_and_forth);
    std::vector<Peak> long_back_and_forth;
    for (std::uint32_t i = 0; i < 3000; ++i)
        long_back_and_forth.push_back(
            {(i / 20 % 2 ? 40u : 41u) + i / 600, static_cast<std::uint16_t>(64 * (90 + i % 40))});
    add("long frames going back and forth", long_back_and_forth);
    std::vector<Peak> shuffled = RandomPeaks(9, 0, 1000, 1.0, 0, 512);
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(9));
    add("no order at all", shuffled);
    add("no peaks", {});
    add("one peak", {{3, 640}});
    // The highest bins and frequencies a peak can name.
    std::vector<Peak> top;
    for (std::uint32_t f = 0; f < 300; ++f)
        top.push_back({f, static_cast<std::uint16_t>(0xffff - (f * 977) % 9000)});
    std::sort(top.begin(), top.end(), ByTimeThenFrequency);
    add("the top frequencies", top);

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ExpectTheSameLandmarks(c.peaks);
    }
}

#ifdef VXT_TEST_HAVE_SNDFILE
// The clip's samples mixed to mono, and their rate.
std::vector<std::int16_t> ReadClip(const std::string& path, int& rate)
{
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr)
        return {};
    std::vector<std::int16_t> interleaved(static_cast<std::size_t>(info.frames * info.channels));
    sf_readf_short(file, interleaved.data(), info.frames);
    sf_close(file);
    std::vector<std::int16_t> mono(static_cast<std::size_t>(info.frames));
    for (std::size_t i = 0; i < mono.size(); ++i) {
        int sum = 0;
        for (int c = 0; c < info.channels; ++c)
            sum += interleaved[i * static_cast<std::size_t>(info.channels) + static_cast<std::size_t>(c)];
        mono[i] = static_cast<std::int16_t>(sum / info.channels);
    }
    rate = info.samplerate;
    return mono;
}

std::vector<Peak> PeaksOf(std::span<const std::int16_t> pcm, int rate, SignatureType type)
{
    engine_handle engine = create_engine(type, rate, flag_no_timestamp);
    for (std::size_t at = 0; at < pcm.size(); at += 4096) {
        const auto n = static_cast<std::int32_t>(std::min<std::size_t>(4096, pcm.size() - at));
        feed_samples(engine, pcm.data() + at, n);
    }
    std::vector<std::uint8_t> bytes;
    get_signature(engine, bytes, 0.0);
    const decoded_signature decoded = read_signature(bytes);
    EXPECT_TRUE(decoded.ok()) << decoded.error;
    return SignaturePeaks(decoded);
}

TEST(PairSearch, MakesTheLandmarksOfThePeakByPeakSearchOnMusic)
{
    for (const char* name : {"ambient-singularity-through-space.flac", "electronic-torustrooper-tt1.flac",
                             "rock-sectoid-metal-madness.flac"}) {
        SCOPED_TRACE(name);
        int rate = 0;
        const std::vector<std::int16_t> pcm = ReadClip(std::string(VXT_TEST_DATA_DIR) + "/audio/" + name, rate);
        if (pcm.empty())
            GTEST_SKIP() << "the clip " << name << " cannot be read";
        // The whole clip as a catalogue signs it, and a few seconds of it as
        // a recording.
        const std::vector<Peak> whole = PeaksOf(pcm, rate, 1);
        ASSERT_GT(whole.size(), 200u);  // 15 s of music
        ExpectTheSameLandmarks(whole);
        const auto part =
            std::span<const std::int16_t>(pcm).subspan(pcm.size() / 3, static_cast<std::size_t>(rate) * 6);
        ExpectTheSameLandmarks(PeaksOf(part, rate, 2));
    }
}
#endif

// Hashes that tell frequencies more finely are made from the same pairs:
// dropping the finer bits of each peak gives back the hash of whole bins.
// A recording whose peaks lie a little off the track's (less than the
// edge, scaled to the quantum) still looks up the track's hash.
TEST(FinerFrequencies, TheSamePairsWithMoreBitsAndTheToleranceStillCoversThem)
{
    const std::vector<Peak> peaks = RandomPeaks(11, 0, 2000, 1.5, 30, 400);
    const std::vector<Landmark> whole = MakeLandmarks(peaks);
    for (const std::uint32_t bits : {1u, 2u, 3u}) {
        SCOPED_TRACE(bits);
        LandmarkOptions options;
        options.frequency_bits = bits;
        const std::vector<Landmark> fine = MakeLandmarks(peaks, options);
        ASSERT_EQ(fine.size(), whole.size());
        for (std::size_t i = 0; i < fine.size(); ++i) {
            ASSERT_EQ(fine[i].frame, whole[i].frame);
            ASSERT_LT(fine[i].hash, 1u << (22 + 2 * bits));
            const std::uint32_t dt = fine[i].hash & 63;
            const std::uint32_t step = (fine[i].hash >> (6 + bits)) & 127;
            const std::uint32_t anchor_bin = fine[i].hash >> (13 + 2 * bits);
            ASSERT_EQ(anchor_bin << 13 | step << 6 | dt, whole[i].hash);
        }
        EXPECT_NE(LandmarkFormat(options), LandmarkFormat());

        // Each peak moved by up to the scaled edge, less one, either way.
        const QueryTolerance tolerance;
        const int most = (tolerance.bin_edge >> bits) - 1;
        std::mt19937 random(bits);
        std::vector<Peak> moved = peaks;
        for (Peak& p : moved)
            p.frequency = static_cast<std::uint16_t>(
                std::clamp<int>(p.frequency + static_cast<int>(random() % (2 * most + 1)) - most, 64 * 30, 64 * 430));
        std::vector<Landmark> looked_up = QueryLandmarks(moved, tolerance, options);
        std::sort(looked_up.begin(), looked_up.end(), [](const Landmark& a, const Landmark& b) {
            return a.hash != b.hash ? a.hash < b.hash : a.frame < b.frame;
        });
        std::size_t covered = 0;
        for (const Landmark& l : fine)
            covered +=
                std::binary_search(looked_up.begin(), looked_up.end(), l, [](const Landmark& a, const Landmark& b) {
                    return a.hash != b.hash ? a.hash < b.hash : a.frame < b.frame;
                });
        // A moved peak can change which peaks pair at all (fan-out, zone
        // edges); nearly all the track's pairs are still looked up.
        EXPECT_GT(covered, fine.size() * 95 / 100);
    }
}

}  // namespace
}  // namespace vxt::matcher
