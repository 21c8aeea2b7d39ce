// CPU cost of the capture side: a scripted device delivers 48 kHz stereo in
// 20 ms packets, one at a time, to a capture whose recognition waits for a
// signature (so every packet is kept in the pre-roll and fed to the engine).
// The figure is the process's CPU time per second of audio, all threads
// (the device, the work queue and the engine) counted.
//
//   capture_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <future>
#include <memory>
#include <stdexcept>
#include <vector>

#include "vextune/capture/WASAPICapture.h"
#include "vextune/platform/ScriptedAudioDevices.h"
#include "vextune/platform/WorkQueues.h"

namespace {

using namespace VextuneCore::Capture;
using namespace VextuneCore::Platform;

constexpr std::uint32_t rate = 48000;
constexpr std::uint32_t packet_frames = 960;  // 20 ms
constexpr int seconds = 10;
constexpr int packets = seconds * 1000 / 20;

std::vector<ScriptedPacket> music_packets()
{
    std::vector<ScriptedPacket> out;
    std::uint32_t n = 0;
    for (int p = 0; p < packets; ++p) {
        std::vector<std::int16_t> left(packet_frames);
        std::vector<std::int16_t> right(packet_frames);
        for (std::uint32_t i = 0; i < packet_frames; ++i, ++n) {
            const double t = static_cast<double>(n) / rate;
            const double f = 300.0 + 100.0 * std::floor(t * 4.0);
            left[i] = static_cast<std::int16_t>(5000.0 * std::sin(2 * 3.141592653589793 * f * t));
            right[i] = static_cast<std::int16_t>(3000.0 * std::sin(2 * 3.141592653589793 * 2.5 * f * t));
        }
        out.push_back(StereoPacket(left, right));
    }
    return out;
}

void BM_CapturePackets(benchmark::State& state)
{
    Startup();
    const auto script_packets = music_packets();
    for (auto _ : state) {
        state.PauseTiming();
        auto clock = std::make_shared<SimulatedClock>();
        DeviceScript script;
        script.clock = clock;
        script.packets = script_packets;
        auto devices = std::make_shared<ScriptedAudioDevices>(script);
        auto capture = WASAPICapture::Create(devices, clock);
        capture->InitializeAudioDevice();
        devices->WaitForCompletions();
        while (capture->GetState() != DeviceState::Initialized) {
            if (capture->GetState() == DeviceState::InError)
                throw std::runtime_error("activation failed");
        }
        capture->StartCaptureAsync();
        while (capture->GetState() != DeviceState::Capturing) {
        }
        // A recognition that waits for longer than the audio lasts.
        const auto recognition = capture->BeginRecognition(1e9, 1e9);
        auto wait =
            std::async(std::launch::async, [&] { return capture->WaitForSignature(recognition, std::nullopt, {}); });
        if (!capture->WaitUntilArmed(recognition, {}, std::chrono::seconds(10)))
            throw std::runtime_error("the wait was never armed");
        state.ResumeTiming();

        for (int p = 0; p < packets; ++p) {
            devices->DeliverNext();
            devices->WaitUntilConsumed();
        }

        state.PauseTiming();
        if (capture->PrerollSamples() != 3 * static_cast<std::int32_t>(rate))
            throw std::runtime_error("packets were lost");
        capture->EndRecognition();
        wait.get();
        capture->StopAndDrain();
        capture.reset();
        devices->WaitForCompletions();
        state.ResumeTiming();
    }
    state.counters["audio_s"] = benchmark::Counter(seconds, benchmark::Counter::kIsIterationInvariantRate);
    Shutdown();
}
// CPU time of the whole process, not only of the benchmark's thread.
BENCHMARK(BM_CapturePackets)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
