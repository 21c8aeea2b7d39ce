// Throughput of the signature engine and of its stages.
//
// Every benchmark sets up its input outside the timed loop, checks one result
// before timing, and reports "x_realtime": seconds of audio handled per
// second of CPU time. Inputs are a deterministic synthetic music-like signal
// (notes with a few partials, a decaying envelope, percussive noise bursts
// and a noise floor) generated at each of the six input rates, and, when the
// benchmark was built with libsndfile, the music clips of the test data.
//
//   engine_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#ifdef VXT_BENCH_HAVE_SNDFILE
#include <sndfile.h>
#endif

#include "band_selector.h"
#include "fatsig_stream.h"
#include "fft_backend.h"
#include "fft_stream.h"
#include "vextune/peaks.h"
#include "resample_stream.h"
#include "vextune/signature.h"
#include "vextune/vextuneAPI.h"

namespace {

constexpr double bench_seconds = 10.0;     // audio per timed iteration
constexpr double held_seconds = 12.0;      // audio held by the signature benchmarks
constexpr std::size_t hop = 64;            // resampled samples per spectrum
constexpr std::int32_t feed_block = 4096;  // samples per feed_samples call

// ---------------------------------------------------------------- inputs

// Uniform in [0, 1) from the generator's raw output, so that the signal is
// the same with every standard library.
double unit(std::mt19937& rng)
{
    return static_cast<double>(rng()) / 4294967296.0;
}

struct note {
    double start;      // seconds
    double length;     // seconds
    double frequency;  // Hz of the fundamental
    double level;
};

// The score does not depend on the rate: every rate renders the same music.
std::vector<note> make_score(double seconds)
{
    std::mt19937 rng(20240611u);
    std::vector<note> score;
    // Three voices: bass, middle and a melody, each a chain of notes.
    const double base[3] = {55.0, 196.0, 523.25};
    for (int voice = 0; voice < 3; ++voice) {
        for (double t = 0.0; t < seconds;) {
            const double length = 0.12 + 0.4 * unit(rng);
            const int semitone = static_cast<int>(unit(rng) * 15.0);
            score.push_back({t, length, base[voice] * std::exp2(semitone / 12.0), 0.5 + 0.5 * unit(rng)});
            t += length;
        }
    }
    return score;
}

std::vector<std::int16_t> synthetic_music(std::int32_t rate, double seconds)
{
    const auto count = static_cast<std::size_t>(std::llround(seconds * rate));
    std::vector<double> mix(count, 0.0);
    const double nyquist = rate / 2.0;
    for (const note& n : make_score(seconds)) {
        const auto first = static_cast<std::size_t>(n.start * rate);
        const auto last = std::min(count, static_cast<std::size_t>((n.start + n.length) * rate));
        for (int partial = 1; partial <= 4; ++partial) {
            const double f = n.frequency * partial;
            if (f >= nyquist)
                break;
            const double w = 2.0 * std::numbers::pi * f / rate;
            const double a = 2500.0 * n.level / partial;
            for (std::size_t i = first; i < last; ++i) {
                const double t = static_cast<double>(i - first) / rate;
                mix[i] += a * std::exp(-3.0 * t) * std::sin(w * static_cast<double>(i - first));
            }
        }
    }
    std::mt19937 rng(7u);
    const auto beat = static_cast<std::size_t>(0.5 * rate);
    for (std::size_t i = 0; i < count; ++i) {
        const double noise = unit(rng) - 0.5;
        const double burst = std::exp(-40.0 * static_cast<double>(i % beat) / rate);
        mix[i] += noise * (200.0 + 6000.0 * burst);
    }
    std::vector<std::int16_t> pcm(count);
    for (std::size_t i = 0; i < count; ++i)
        pcm[i] = static_cast<std::int16_t>(std::clamp(std::lround(mix[i]), -32768L, 32767L));
    return pcm;
}

// Generated once per rate and duration, outside every timed region.
const std::vector<std::int16_t>& music(std::int32_t rate, double seconds)
{
    static std::map<std::pair<std::int32_t, double>, std::vector<std::int16_t>> cache;
    auto [it, inserted] = cache.try_emplace({rate, seconds});
    if (inserted)
        it->second = synthetic_music(rate, seconds);
    return it->second;
}

void set_realtime(benchmark::State& state, double audio_seconds_per_iteration)
{
    // kIsRate divides by the run's CPU time.
    state.counters["x_realtime"] = benchmark::Counter(
        audio_seconds_per_iteration * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

double seconds_of(std::size_t samples, std::int32_t rate)
{
    return static_cast<double>(samples) / rate;
}

// --------------------------------------------------------------- stages

// The resampler over the input in chunk_length() pieces, as the engine
// drives it; returns the samples produced.
std::size_t resample_all(vxt::resample_stream& resampler, const std::vector<std::int16_t>& input,
                         std::vector<float>& out)
{
    const auto chunk = static_cast<std::int32_t>(resampler.chunk_length());
    const auto total = static_cast<std::int32_t>(input.size());
    std::size_t produced = 0;
    for (std::int32_t done = 0; done < total; done += chunk) {
        out.clear();
        resampler.convert(input.data() + done, std::min(chunk, total - done), out);
        benchmark::DoNotOptimize(out.data());
        produced += out.size();
    }
    return produced;
}

void BM_Resample(benchmark::State& state)
{
    const auto rate = static_cast<std::int32_t>(state.range(0));
    const auto& input = music(rate, bench_seconds);
    vxt::resample_stream resampler(rate, vxt::resample_stream::internal_rate);
    std::vector<float> out;
    out.reserve(4 * hop);

    // Check: 10 s give 80000 outputs, less at most a few for the phase of
    // the last partial cycle.
    const std::size_t produced = resample_all(resampler, input, out);
    const auto expected = static_cast<std::size_t>(bench_seconds * 8000.0);
    if (produced > expected || produced + 16 < expected) {
        state.SkipWithError("resampler output count is off");
        return;
    }

    for (auto _ : state) {
        benchmark::DoNotOptimize(resample_all(resampler, input, out));
        benchmark::ClobberMemory();
    }
    set_realtime(state, seconds_of(input.size(), rate));
}

// Resampled audio in hops of 64 through the spectrum stream.
class resample_fft {
public:
    explicit resample_fft(std::int32_t rate) : resampler_(rate, vxt::resample_stream::internal_rate)
    {
        pending_.reserve(4 * hop);
    }

    // Returns the hops done.
    std::size_t run(const std::vector<std::int16_t>& input)
    {
        const auto chunk = static_cast<std::int32_t>(resampler_.chunk_length());
        const auto total = static_cast<std::int32_t>(input.size());
        std::size_t hops = 0;
        for (std::int32_t done = 0; done < total; done += chunk) {
            resampler_.convert(input.data() + done, std::min(chunk, total - done), pending_);
            std::size_t used = 0;
            for (; pending_.size() - used >= hop; used += hop, ++hops)
                fft_.process(pending_.data() + used, static_cast<std::int32_t>(hop), spectrum_.data());
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(used));
            benchmark::DoNotOptimize(spectrum_.data());
        }
        return hops;
    }

    const std::array<float, vxt::fft_bins>& spectrum() const noexcept { return spectrum_; }

private:
    vxt::resample_stream resampler_;
    vxt::fft_stream fft_;
    std::vector<float> pending_;
    std::array<float, vxt::fft_bins> spectrum_{};
};

void BM_ResampleFft(benchmark::State& state)
{
    const auto rate = static_cast<std::int32_t>(state.range(0));
    const auto& input = music(rate, bench_seconds);
    resample_fft pipeline(rate);

    // Check: about 1250 hops, and a last spectrum that holds signal (the
    // noise floor alone stays far below 1000 in every bin).
    const std::size_t hops = pipeline.run(input);
    const auto& s = pipeline.spectrum();
    if (hops + 2 < 1250 || hops > 1250 || *std::max_element(s.begin(), s.end()) < 1000.0f ||
        *std::min_element(s.begin(), s.end()) < vxt::fft_stream::power_floor) {
        state.SkipWithError("spectrum stream output is off");
        return;
    }

    for (auto _ : state) {
        benchmark::DoNotOptimize(pipeline.run(input));
        benchmark::ClobberMemory();
    }
    set_realtime(state, seconds_of(input.size(), rate));
}

// One 1024-point power spectrum of a windowed music frame.
void fft_transform(benchmark::State& state, std::unique_ptr<vxt::FFT_implementation> fft)
{
    const auto& input = music(8000, 1.0);
    std::vector<float> frame(vxt::fft_size);
    for (std::size_t i = 0; i < frame.size(); ++i) {
        const double w = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) / vxt::fft_size);
        frame[i] = static_cast<float>(w * input[2000 + i]);
    }
    std::vector<float> out(vxt::fft_bins);
    fft->compute(frame.data(), out.data());
    // Parseval: bins 1..511 stand for two bins each, and the whole
    // spectrum's power is 1024 * 2^-17 times the frame's energy.
    double energy = 0.0;
    for (float x : frame)
        energy += static_cast<double>(x) * x;
    double power = out[0] + out[vxt::fft_bins - 1];
    for (std::size_t k = 1; k + 1 < vxt::fft_bins; ++k)
        power += 2.0 * out[k];
    const double expected = energy * vxt::fft_size * vxt::fft_power_scale;
    if (std::fabs(power - expected) > 1e-3 * expected) {
        state.SkipWithError("power spectrum does not add up to the frame energy");
        return;
    }

    for (auto _ : state) {
        fft->compute(frame.data(), out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    // One frame per 64 samples at 8000 Hz.
    set_realtime(state, static_cast<double>(hop) / 8000.0);
    state.SetItemsProcessed(state.iterations());
}

#ifdef VXT_BENCH_HAVE_KISS
void BM_FftTransformKiss(benchmark::State& state)
{
    fft_transform(state, vxt::make_kiss_fft());
}
#endif
#ifdef VXT_BENCH_HAVE_FFTW
void BM_FftTransformFftw(benchmark::State& state)
{
    fft_transform(state, vxt::make_fftw_fft());
}
#endif

// The spectra of 10 s of music at 8000 Hz, one row of 513 per frame.
std::vector<float> music_spectra()
{
    const auto& input = music(8000, bench_seconds);
    vxt::fft_stream fft;
    std::vector<float> rows;
    rows.reserve(input.size() / hop * vxt::fft_bins);
    std::vector<float> hop_samples(hop);
    for (std::size_t at = 0; at + hop <= input.size(); at += hop) {
        std::copy_n(input.begin() + static_cast<std::ptrdiff_t>(at), hop, hop_samples.begin());
        rows.resize(rows.size() + vxt::fft_bins);
        fft.process(hop_samples.data(), static_cast<std::int32_t>(hop), rows.data() + rows.size() - vxt::fft_bins);
    }
    return rows;
}

// The peak detector, frame by frame over the spectra of 10 s of music. The
// copy of each row into the ring (513 floats) is inside the timing.
void BM_Detector(benchmark::State& state)
{
    const std::vector<float> spectra = music_spectra();
    const std::size_t frames = spectra.size() / vxt::fft_bins;
    vxt::fatsig_stream detector;
    std::vector<vxt::FatPeak> peaks;
    peaks.reserve(1 << 16);

    const auto run = [&] {
        for (std::size_t f = 0; f < frames; ++f) {
            std::copy_n(spectra.data() + f * vxt::fft_bins, vxt::fft_bins, detector.next_slot());
            benchmark::DoNotOptimize(detector.advance(peaks));
        }
    };
    run();
    // Check: music yields peaks, but the cross-shaped neighbourhood keeps
    // them sparse (well under one per frame per bin region).
    if (peaks.size() < frames / 20 || peaks.size() > 20 * frames) {
        state.SkipWithError("detector peak count is off");
        return;
    }

    std::size_t found = 0;
    for (auto _ : state) {
        peaks.clear();
        run();
        found += peaks.size();
        benchmark::ClobberMemory();
    }
    set_realtime(state, static_cast<double>(frames) * 0.008);
    state.SetItemsProcessed(static_cast<std::int64_t>(frames) * state.iterations());
    state.counters["peaks_per_frame"] =
        static_cast<double>(found) / static_cast<double>(frames * static_cast<std::size_t>(state.iterations()));
}

// Band selection of one 256-frame period of music peaks.
void BM_BandSeal(benchmark::State& state)
{
    const std::vector<float> spectra = music_spectra();
    const std::size_t frames = spectra.size() / vxt::fft_bins;
    vxt::fatsig_stream detector;
    std::vector<vxt::FatPeak> all;
    for (std::size_t f = 0; f < frames; ++f) {
        std::copy_n(spectra.data() + f * vxt::fft_bins, vxt::fft_bins, detector.next_slot());
        detector.advance(all);
    }
    // The peaks of frames 256..511: the second period.
    std::vector<vxt::FatPeak> period;
    for (const vxt::FatPeak& p : all)
        if (p.frame >= 256 && p.frame < 512)
            period.push_back(p);
    if (period.empty()) {
        state.SkipWithError("no peaks in the period");
        return;
    }

    vxt::PeakBandSelector selector(256, 24);
    std::vector<vxt::FatPeak> peaks;
    peaks.reserve(period.size());
    peaks = period;
    selector.seal(peaks, true);
    std::size_t kept = 0;
    vxt::band_lists lists;
    selector.build_band_lists(1, false, lists);
    for (const auto& band : lists)
        kept += band.size();
    if (kept == 0 || kept > 3 * selector.band_limit()) {
        state.SkipWithError("band selection kept an unexpected number of peaks");
        return;
    }

    std::int64_t sealed = 0;
    for (auto _ : state) {
        peaks.assign(period.begin(), period.end());
        selector.seal(peaks, true);
        if (selector.block_count() > 8)
            selector.trim(4);
        sealed += 1;
        benchmark::ClobberMemory();
    }
    set_realtime(state, 256 * 0.008);
    state.SetItemsProcessed(sealed * static_cast<std::int64_t>(period.size()));
}

// ---------------------------------------------------------------- engine

// A whole file through the front: create, feed, one type-2 signature of all
// of it, destroy.
std::size_t engine_signature(const std::vector<std::int16_t>& pcm, std::int32_t rate, std::vector<std::uint8_t>& out)
{
    vxt::engine_handle engine = vxt::create_engine(2, rate, vxt::flag_no_timestamp);
    const auto total = static_cast<std::int32_t>(pcm.size());
    for (std::int32_t done = 0; done < total; done += feed_block)
        vxt::feed_samples(engine, pcm.data() + done, std::min(feed_block, total - done));
    vxt::get_signature(engine, out, 0.0);
    return out.size();
}

// A compact signature that parses, with its three band chunks holding
// peaks.
bool plausible_signature(const std::vector<std::uint8_t>& bytes)
{
    const vxt::decoded_signature d = vxt::read_signature(bytes);
    if (!d.ok())
        return false;
    const std::size_t bands = d.bands.size();
    const std::size_t peaks = d.band_peak_count() + d.fat_peak_count();
    return (bands == 3 || bands == 0) && peaks > 0;
}

void engine_whole_file(benchmark::State& state, const std::vector<std::int16_t>& pcm, std::int32_t rate)
{
    std::vector<std::uint8_t> out;
    engine_signature(pcm, rate, out);
    if (!plausible_signature(out)) {
        state.SkipWithError("the signature does not parse or holds no peaks");
        return;
    }
    // The same audio gives the same bytes every time.
    const std::vector<std::uint8_t> first = out;

    for (auto _ : state) {
        benchmark::DoNotOptimize(engine_signature(pcm, rate, out));
        benchmark::ClobberMemory();
    }
    if (out != first) {
        state.SkipWithError("the signature changed between runs");
        return;
    }
    set_realtime(state, seconds_of(pcm.size(), rate));
    state.counters["signature_bytes"] = static_cast<double>(out.size());
}

void BM_Engine(benchmark::State& state)
{
    const auto rate = static_cast<std::int32_t>(state.range(0));
    engine_whole_file(state, music(rate, bench_seconds), rate);
}

#ifdef VXT_BENCH_HAVE_SNDFILE
// A 44.1 kHz mono clip of the test data, as 16-bit samples; empty when it
// cannot be read as such.
std::vector<std::int16_t> read_clip(const std::filesystem::path& path, std::int32_t& rate)
{
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file)
        return {};
    std::vector<std::int16_t> pcm;
    if (info.channels == 1 && info.frames > 0) {
        pcm.resize(static_cast<std::size_t>(info.frames));
        pcm.resize(static_cast<std::size_t>(sf_readf_short(file, pcm.data(), info.frames)));
    }
    rate = info.samplerate;
    sf_close(file);
    return pcm;
}

void register_clips()
{
    const std::filesystem::path dir = VXT_BENCH_AUDIO_DIR;
    std::error_code ec;
    std::vector<std::filesystem::path> clips;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
        if (entry.path().extension() == ".flac")
            clips.push_back(entry.path());
    std::sort(clips.begin(), clips.end());
    for (const auto& path : clips) {
        std::int32_t rate = 0;
        auto pcm = std::make_shared<std::vector<std::int16_t>>(read_clip(path, rate));
        if (pcm->empty())
            continue;
        benchmark::RegisterBenchmark(("BM_EngineClip/" + path.stem().string()).c_str(), [pcm, rate](
                                                                                            benchmark::State& state) {
            engine_whole_file(state, *pcm, rate);
        })->Unit(benchmark::kMillisecond);
    }
}
#endif

// One signature of an engine holding 12 s of music at 44.1 kHz, by type
// (flags 0x800). A request leaves no trace, so one engine serves every
// iteration of types 1, 2 and 4; type 3 answers only the periods completed
// since the last request, so each of its iterations gets a freshly fed
// engine (outside the timing).
vxt::engine_handle held_engine(vxt::SignatureType type)
{
    constexpr std::int32_t rate = 44100;
    const auto& pcm = music(rate, held_seconds);
    vxt::engine_handle engine = vxt::create_engine(type, rate, vxt::flag_no_timestamp);
    const auto total = static_cast<std::int32_t>(pcm.size());
    for (std::int32_t done = 0; done < total; done += feed_block)
        vxt::feed_samples(engine, pcm.data() + done, std::min(feed_block, total - done));
    return engine;
}

void BM_Signature(benchmark::State& state)
{
    const auto type = static_cast<vxt::SignatureType>(state.range(0));
    std::vector<std::uint8_t> out;
    vxt::engine_handle engine = held_engine(type);
    if (vxt::get_signature(engine, out, 0.0) != vxt::result_ok || !plausible_signature(out)) {
        state.SkipWithError("the signature does not parse or holds no peaks");
        return;
    }

    for (auto _ : state) {
        if (type == 3) {
            state.PauseTiming();
            engine = held_engine(type);
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(vxt::get_signature(engine, out, 0.0));
        benchmark::ClobberMemory();
    }
    state.counters["signature_bytes"] = static_cast<double>(out.size());
}

void rate_args(benchmark::internal::Benchmark* b)
{
    b->ArgName("rate");
    for (std::int32_t rate : vxt::supported_rates)
        b->Arg(rate);
}

}  // namespace

BENCHMARK(BM_Resample)->Apply(rate_args)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ResampleFft)->Apply(rate_args)->Unit(benchmark::kMillisecond);
#ifdef VXT_BENCH_HAVE_KISS
BENCHMARK(BM_FftTransformKiss);
#endif
#ifdef VXT_BENCH_HAVE_FFTW
BENCHMARK(BM_FftTransformFftw);
#endif
BENCHMARK(BM_Detector)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BandSeal)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Engine)->Apply(rate_args)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Signature)->ArgName("type")->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Signature)->ArgName("type")->Arg(3)->Iterations(40)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
#ifdef VXT_BENCH_HAVE_SNDFILE
    register_clips();
#endif
    benchmark::AddCustomContext("fft_backend", vxt::fft_implementation_name());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
