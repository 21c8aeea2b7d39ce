// The devices against the server of scripts/pulse-session: a null sink,
// vxt_sink, whose monitor is the default source.
#include "vextune/platform/PulseAudioDevices.h"

#include <gtest/gtest.h>
#include <pulse/error.h>
#include <pulse/simple.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <mutex>
#include <numbers>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace VextuneCore::Platform {
namespace {

using namespace std::chrono_literals;

// Waits that only guard against a hang; nothing is timed by them.
constexpr auto kGuard = 10s;
constexpr std::int64_t k20ms = 200000;

struct Activated {
    HRESULT hr = E_FAIL;
    std::shared_ptr<AudioClient> client;
    bool on_other_thread = false;
};

Activated Activate(AudioDevices& devices, const std::string& id)
{
    auto done = std::make_shared<std::promise<Activated>>();
    const auto caller = std::this_thread::get_id();
    const HRESULT hr =
        devices.ActivateAudioInterfaceAsync(id, [done, caller](HRESULT r, std::shared_ptr<AudioClient> c) {
            done->set_value(Activated{r, std::move(c), std::this_thread::get_id() != caller});
        });
    if (Failed(hr))
        return Activated{hr, nullptr, false};
    auto result = done->get_future();
    if (result.wait_for(kGuard) != std::future_status::ready)
        return Activated{E_FAIL, nullptr, false};
    return result.get();
}

// Runs a pactl command of the session's server; its output.
std::string Pactl(const std::string& args)
{
    std::string out;
    if (FILE* p = popen(("pactl " + args).c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, p))
            out += buffer;
        if (pclose(p) != 0)
            ADD_FAILURE() << "pactl " << args << " failed";
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
        out.pop_back();
    return out;
}

// Plays a stereo tone into vxt_sink on a thread of its own: one frequency
// on the left, another on the right, at amplitude 0.5.
class TonePlayer {
public:
    TonePlayer(double left_hz, double right_hz, std::uint32_t rate, double seconds)
        : thread_([=, this] { Play(left_hz, right_hz, rate, seconds); })
    {}
    ~TonePlayer() { thread_.join(); }
    TonePlayer(const TonePlayer&) = delete;
    TonePlayer& operator=(const TonePlayer&) = delete;

    // libpulse's error, 0 when the tone was played. After the destructor.
    int Error() const { return error_; }

private:
    void Play(double left_hz, double right_hz, std::uint32_t rate, double seconds)
    {
        const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, rate, 2};
        pa_simple* s = pa_simple_new(nullptr, "vxt test", PA_STREAM_PLAYBACK, "vxt_sink", "tone", &spec, nullptr,
                                     nullptr, &error_);
        if (!s)
            return;
        const auto frames = static_cast<std::size_t>(seconds * rate);
        std::vector<float> tone(frames * 2);
        for (std::size_t i = 0; i < frames; ++i) {
            const double t = static_cast<double>(i) / rate;
            tone[2 * i] = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * left_hz * t));
            tone[2 * i + 1] = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * right_hz * t));
        }
        if (pa_simple_write(s, tone.data(), tone.size() * sizeof(float), &error_) == 0)
            pa_simple_drain(s, &error_);
        pa_simple_free(s);
    }

    int error_ = 0;
    std::thread thread_;
};

// The frequency, in whole hertz between 100 and 3000, at which the samples
// have the most power.
double DominantFrequency(const std::vector<float>& x, std::uint32_t rate)
{
    double best = 0;
    double best_power = -1;
    for (int f = 100; f <= 3000; ++f) {
        // Goertzel.
        const double k = 2 * std::cos(2 * std::numbers::pi * f / rate);
        double s1 = 0, s2 = 0;
        for (float v : x) {
            const double s0 = v + k * s1 - s2;
            s2 = s1;
            s1 = s0;
        }
        const double power = s1 * s1 + s2 * s2 - k * s1 * s2;
        if (power > best_power) {
            best_power = power;
            best = f;
        }
    }
    return best;
}

double Rms(const std::vector<float>& x)
{
    double sum = 0;
    for (float v : x)
        sum += double{v} * v;
    return std::sqrt(sum / static_cast<double>(x.size()));
}

TEST(PulseAudioDevices, ListsEverySourceAndMarksTheDefault)
{
    PulseAudioDevices devices;
    std::vector<CaptureDeviceInfo> list;
    ASSERT_EQ(devices.ListCaptureDevices(&list), S_OK);
    const auto monitor = std::find_if(list.begin(), list.end(), [](auto& d) { return d.id == "vxt_sink.monitor"; });
    ASSERT_NE(monitor, list.end());
    EXPECT_TRUE(monitor->is_default);
    EXPECT_FALSE(monitor->description.empty());
    EXPECT_EQ(std::count_if(list.begin(), list.end(), [](auto& d) { return d.is_default; }), 1);

    std::string id;
    ASSERT_EQ(devices.GetDefaultAudioCaptureId(&id), S_OK);
    EXPECT_EQ(id, "vxt_sink.monitor");
}

TEST(PulseAudioDevices, ANamedSourceThatDoesNotExistIsNotFound)
{
    std::vector<std::string> told;
    std::mutex told_lock;
    PulseAudioDevices devices(PulseDeviceOptions{"vxt_no_such_source", [&](const std::string& message) {
                                                     std::lock_guard hold(told_lock);
                                                     told.push_back(message);
                                                 }});
    std::string id;
    ASSERT_EQ(devices.GetDefaultAudioCaptureId(&id), S_OK);
    EXPECT_EQ(id, "vxt_no_such_source");
    const Activated a = Activate(devices, id);
    EXPECT_EQ(a.hr, E_DEVICE_NOT_FOUND);
    {
        std::lock_guard hold(told_lock);
        EXPECT_EQ(told, std::vector<std::string>{std::string("PulseAudio: ") + pa_strerror(PA_ERR_NOENTITY) +
                                                 " (E_DEVICE_NOT_FOUND)"});
    }
    EXPECT_EQ(a.client, nullptr);
    EXPECT_TRUE(a.on_other_thread);
}

TEST(PulseAudioDevices, WithoutAServerTheServiceIsNotRunningUntilItIsBack)
{
    const std::string server = std::getenv("PULSE_SERVER") ? std::getenv("PULSE_SERVER") : "";
    ASSERT_FALSE(server.empty()) << "run through scripts/pulse-session";
    std::vector<std::string> told;
    PulseDeviceOptions options;
    options.diagnostics = [&](const std::string& message) { told.push_back(message); };
    PulseAudioDevices devices(options);
    setenv("PULSE_SERVER", "unix:/nonexistent/vxt/native", 1);
    std::string id;
    EXPECT_EQ(devices.GetDefaultAudioCaptureId(&id), E_SERVICE_NOT_RUNNING);
    // libpulse's own reason reaches the sink, beside the code it became.
    ASSERT_FALSE(told.empty());
    EXPECT_EQ(told[0],
              std::string("PulseAudio: ") + pa_strerror(PA_ERR_CONNECTIONREFUSED) + " (E_SERVICE_NOT_RUNNING)");
    std::vector<CaptureDeviceInfo> list;
    EXPECT_EQ(devices.ListCaptureDevices(&list), E_SERVICE_NOT_RUNNING);
    bool completed = false;
    EXPECT_EQ(devices.ActivateAudioInterfaceAsync("vxt_sink.monitor", [&](HRESULT, auto) { completed = true; }),
              E_SERVICE_NOT_RUNNING);
    setenv("PULSE_SERVER", server.c_str(), 1);
    EXPECT_EQ(devices.GetDefaultAudioCaptureId(&id), S_OK);
    EXPECT_FALSE(completed);
}

TEST(PulseAudioDevices, TakesOnlySixteenBitPcmOrFloatInTheSourcesLayout)
{
    PulseAudioDevices devices;
    const Activated a = Activate(devices, "vxt_sink.monitor");
    ASSERT_EQ(a.hr, S_OK);
    WaveFormat mix;
    ASSERT_EQ(a.client->GetMixFormat(&mix), S_OK);
    EXPECT_EQ(mix, FloatFormat(2, 44100));  // the session server's sink: 2 channels, 44.1 kHz
    std::uint32_t frames = 0;
    EXPECT_EQ(a.client->GetBufferSize(&frames), E_NOT_INITIALIZED);

    WaveFormat pcm24 = PcmFormat(mix.nChannels, mix.nSamplesPerSec);
    pcm24.wBitsPerSample = 24;
    pcm24.nBlockAlign = static_cast<std::uint16_t>(3 * mix.nChannels);
    pcm24.nAvgBytesPerSec = pcm24.nBlockAlign * mix.nSamplesPerSec;
    const auto init = [&](const WaveFormat& f) {
        return a.client->Initialize(ShareMode::Shared, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, k20ms, 0, f);
    };
    EXPECT_EQ(init(pcm24), E_UNSUPPORTED_FORMAT);
    EXPECT_EQ(init(PcmFormat(mix.nChannels, 48000)), E_UNSUPPORTED_FORMAT);
    EXPECT_EQ(init(PcmFormat(1, mix.nSamplesPerSec)), E_UNSUPPORTED_FORMAT);

    // A refused format leaves the client as it was.
    ASSERT_EQ(init(PcmFormat(mix.nChannels, mix.nSamplesPerSec)), S_OK);
    EXPECT_EQ(init(PcmFormat(mix.nChannels, mix.nSamplesPerSec)), E_ALREADY_INITIALIZED);
    ASSERT_EQ(a.client->GetBufferSize(&frames), S_OK);
    EXPECT_EQ(frames, 882u);  // 20 ms
}

TEST(PulseAudioDevices, TheClientCanBeSetUpInsideTheActivationsCompletion)
{
    PulseAudioDevices devices;
    std::promise<HRESULT> done;
    ASSERT_EQ(devices.ActivateAudioInterfaceAsync("vxt_sink.monitor",
                                                  [&](HRESULT hr, std::shared_ptr<AudioClient> client) {
                                                      WaveFormat mix;
                                                      if (Succeeded(hr))
                                                          hr = client->GetMixFormat(&mix);
                                                      if (Succeeded(hr))
                                                          hr = client->Initialize(ShareMode::Shared, 0, k20ms, 0, mix);
                                                      if (Succeeded(hr))
                                                          hr = client->Start();
                                                      done.set_value(hr);
                                                  }),
              S_OK);
    auto result = done.get_future();
    ASSERT_EQ(result.wait_for(kGuard), std::future_status::ready);
    EXPECT_EQ(result.get(), S_OK);

    bool raw = true;
    std::promise<void> looked_up;
    devices.LookupRawProcessingAsync("vxt_sink.monitor", [&](bool supported) {
        raw = supported;
        looked_up.set_value();
    });
    ASSERT_EQ(looked_up.get_future().wait_for(kGuard), std::future_status::ready);
    EXPECT_FALSE(raw);
}

class ToneCapture : public testing::TestWithParam<bool /*float*/> {};

TEST_P(ToneCapture, ThePlayedToneReachesTheClient)
{
    PulseAudioDevices devices;
    std::string id;
    ASSERT_EQ(devices.GetDefaultAudioCaptureId(&id), S_OK);
    const Activated a = Activate(devices, id);
    ASSERT_EQ(a.hr, S_OK);
    EXPECT_TRUE(a.on_other_thread);
    WaveFormat mix;
    ASSERT_EQ(a.client->GetMixFormat(&mix), S_OK);
    const bool is_float = GetParam();
    const WaveFormat format = is_float ? mix : PcmFormat(mix.nChannels, mix.nSamplesPerSec);
    ASSERT_EQ(a.client->Initialize(ShareMode::Shared, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, k20ms, 0, format), S_OK);
    std::uint32_t buffer_frames = 0;
    ASSERT_EQ(a.client->GetBufferSize(&buffer_frames), S_OK);
    Event event(Event::Kind::AutoReset);
    ASSERT_EQ(a.client->SetEventHandle(&event), S_OK);
    std::shared_ptr<AudioCaptureClient> capture;
    ASSERT_EQ(a.client->GetService(&capture), S_OK);
    ASSERT_EQ(a.client->Start(), S_OK);

    const std::uint32_t rate = mix.nSamplesPerSec;
    const std::size_t channels = mix.nChannels;
    std::vector<float> left, right;
    constexpr std::size_t no_tone = SIZE_MAX;  // no tone heard since the last gap
    std::size_t tone_start = no_tone;
    const std::size_t wanted = 16384;                    // frames of tone to analyse
    const std::size_t settle = rate / 20;                // skipped after the tone starts
    const std::size_t give_up = std::size_t{rate} * 20;  // of audio captured
    std::uint64_t next_position = 0;
    {
        TonePlayer player(660, 1000, rate, 1.5);
        while (!(tone_start != no_tone && left.size() >= tone_start + settle + wanted) && left.size() < give_up) {
            ASSERT_TRUE(event.WaitFor(kGuard)) << "no packet";
            std::uint32_t next = 0;
            while (capture->GetNextPacketSize(&next) == S_OK && next > 0) {
                std::uint8_t* data = nullptr;
                std::uint32_t frames = 0, flags = 0;
                std::uint64_t position = 0;
                ASSERT_EQ(capture->GetBuffer(&data, &frames, &flags, &position, nullptr), S_OK);
                ASSERT_EQ(frames, next);
                ASSERT_LE(frames, buffer_frames);
                if (!(flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY)) {
                    EXPECT_EQ(position, next_position);
                } else {
                    // Audio went missing (a loaded machine fell behind): the
                    // tone is analysed from after the gap only.
                    EXPECT_GT(position, next_position);
                    left.clear();
                    right.clear();
                    tone_start = no_tone;
                }
                next_position = position + frames;
                for (std::uint32_t i = 0; i < frames; ++i) {
                    float l = 0, r = 0;
                    if (is_float) {
                        std::memcpy(&l, data + (i * channels) * 4, 4);
                        std::memcpy(&r, data + (i * channels + 1) * 4, 4);
                    } else {
                        std::int16_t sl = 0, sr = 0;
                        std::memcpy(&sl, data + (i * channels) * 2, 2);
                        std::memcpy(&sr, data + (i * channels + 1) * 2, 2);
                        l = sl / 32768.0f;
                        r = sr / 32768.0f;
                    }
                    if (tone_start == no_tone && std::abs(l) > 0.1f)
                        tone_start = left.size();
                    left.push_back(l);
                    right.push_back(r);
                }
                ASSERT_EQ(capture->ReleaseBuffer(frames), S_OK);
            }
        }
        EXPECT_EQ(a.client->Stop(), S_OK);
    }
    ASSERT_NE(tone_start, no_tone) << "only silence in " << left.size() << " frames";
    ASSERT_GE(left.size(), tone_start + settle + wanted);

    const auto from = static_cast<std::ptrdiff_t>(tone_start + settle);
    const std::vector<float> l(left.begin() + from, left.begin() + from + wanted);
    const std::vector<float> r(right.begin() + from, right.begin() + from + wanted);
    EXPECT_NEAR(DominantFrequency(l, rate), 660, 3);
    EXPECT_NEAR(DominantFrequency(r, rate), 1000, 3);
    // Amplitude 0.5 at unit volume.
    EXPECT_NEAR(Rms(l), 0.5 / std::sqrt(2.0), 0.03);
    EXPECT_NEAR(Rms(r), 0.5 / std::sqrt(2.0), 0.03);
}

INSTANTIATE_TEST_SUITE_P(PulseAudioDevices, ToneCapture, testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Float" : "Pcm16"; });

TEST(PulseAudioDevices, ASourceThatGoesAwayInvalidatesItsClient)
{
    const std::string module = Pactl("load-module module-null-sink sink_name=vxt_gone");
    ASSERT_FALSE(module.empty());
    std::vector<std::string> told;
    std::mutex told_lock;
    PulseAudioDevices devices(PulseDeviceOptions{"vxt_gone.monitor", [&](const std::string& message) {
                                                     std::lock_guard hold(told_lock);
                                                     told.push_back(message);
                                                 }});
    const Activated a = Activate(devices, "vxt_gone.monitor");
    ASSERT_EQ(a.hr, S_OK);
    WaveFormat mix;
    ASSERT_EQ(a.client->GetMixFormat(&mix), S_OK);
    ASSERT_EQ(a.client->Initialize(ShareMode::Shared, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, k20ms, 0,
                                   PcmFormat(mix.nChannels, mix.nSamplesPerSec)),
              S_OK);
    Event event(Event::Kind::AutoReset);
    ASSERT_EQ(a.client->SetEventHandle(&event), S_OK);
    std::shared_ptr<AudioCaptureClient> capture;
    ASSERT_EQ(a.client->GetService(&capture), S_OK);
    ASSERT_EQ(a.client->Start(), S_OK);
    ASSERT_TRUE(event.WaitFor(kGuard)) << "no packet";

    Pactl("unload-module " + module);
    // Packets up to the loss, then one more event that tells of it.
    HRESULT hr = S_OK;
    for (int events = 0; hr == S_OK; ++events) {
        ASSERT_LT(events, 100000);
        ASSERT_TRUE(event.WaitFor(kGuard)) << "the loss was not told";
        std::uint32_t next = 0;
        while ((hr = capture->GetNextPacketSize(&next)) == S_OK && next > 0) {
            std::uint8_t* data = nullptr;
            std::uint32_t frames = 0, flags = 0;
            ASSERT_EQ(capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr), S_OK);
            ASSERT_EQ(capture->ReleaseBuffer(frames), S_OK);
        }
    }
    EXPECT_EQ(hr, E_DEVICE_INVALIDATED);
    std::uint8_t* data = nullptr;
    std::uint32_t frames = 0, flags = 0;
    EXPECT_EQ(capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr), E_DEVICE_INVALIDATED);
    EXPECT_EQ(a.client->Start(), E_DEVICE_INVALIDATED);
    EXPECT_EQ(a.client->Stop(), E_DEVICE_INVALIDATED);
    {
        std::lock_guard hold(told_lock);
        ASSERT_EQ(told.size(), 1u) << "the loss is told once";
        EXPECT_EQ(told[0].rfind("PulseAudio: ", 0), 0u) << told[0];
        EXPECT_TRUE(told[0].ends_with(" (E_DEVICE_INVALIDATED)")) << told[0];
    }

    const Activated again = Activate(devices, "vxt_gone.monitor");
    EXPECT_EQ(again.hr, E_DEVICE_NOT_FOUND);
}

}  // namespace
}  // namespace VextuneCore::Platform
