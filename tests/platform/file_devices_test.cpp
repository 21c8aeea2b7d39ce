#include <gtest/gtest.h>
#include <sndfile.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <type_traits>

#include "device_test_support.h"
#include "vextune/platform/FileAudioDevices.h"

namespace VextuneCore::Platform {
namespace {

using Testing::Activate;
using Testing::Drain;
using Testing::SamplesOf;

constexpr std::int64_t twenty_ms = 200'000;

// A file of the test's own, removed afterwards.
class TempFile {
public:
    explicit TempFile(const std::string& suffix)
    {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = (std::filesystem::temp_directory_path() / ("vxt-" + std::string(test->test_suite_name()) + "-" +
                                                           test->name() + "-" + std::to_string(counter_++) + suffix))
                    .string();
    }
    ~TempFile() { std::filesystem::remove(path_); }
    const std::string& path() const { return path_; }

private:
    static inline int counter_ = 0;
    std::string path_;
};

// Interleaved samples that differ from frame to frame and channel to channel.
std::vector<std::int16_t> ramp(std::size_t frames, int channels)
{
    std::vector<std::int16_t> samples(frames * static_cast<std::size_t>(channels));
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int16_t>(static_cast<int>(i * 37 % 65536) - 32768);
    return samples;
}

// A WAV file of the samples: 16-bit PCM, or 32-bit float for float samples.
template <typename Sample>
void write_wav(const std::string& path, int channels, int rate, const std::vector<Sample>& samples)
{
    constexpr bool ieee = std::is_same_v<Sample, float>;
    SF_INFO info{};
    info.channels = channels;
    info.samplerate = rate;
    info.format = SF_FORMAT_WAV | (ieee ? SF_FORMAT_FLOAT : SF_FORMAT_PCM_16);
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    const auto count = static_cast<sf_count_t>(samples.size());
    if constexpr (ieee)
        EXPECT_EQ(sf_write_float(file, samples.data(), count), count);
    else
        EXPECT_EQ(sf_write_short(file, samples.data(), count), count);
    sf_close(file);
}

// A client of the file device, set up and started in format.
struct Stream {
    Stream(FileAudioDevices& devices, const WaveFormat& format, Event& event)
    {
        client = Activate(devices, devices.Id()).client;
        EXPECT_NE(client, nullptr);
        if (!client)
            return;
        EXPECT_EQ(client->Initialize(ShareMode::Shared, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, twenty_ms, 0, format), S_OK);
        EXPECT_EQ(client->GetService(&capture), S_OK);
        EXPECT_EQ(client->SetEventHandle(&event), S_OK);
        EXPECT_EQ(client->Start(), S_OK);
    }
    std::shared_ptr<AudioClient> client;
    std::shared_ptr<AudioCaptureClient> capture;
};

// Takes packets until the device's on_end (which sets ended, then the
// event) has run, or until at least `until_packets` were taken.
std::size_t consume(AudioCaptureClient& capture, Event& event, const std::atomic<bool>& ended,
                    std::vector<std::uint8_t>* bytes, std::uint32_t block_align,
                    std::vector<std::uint32_t>* flags = nullptr, std::size_t until_packets = SIZE_MAX)
{
    std::size_t taken = 0;
    while (taken < until_packets) {
        if (!event.WaitFor(std::chrono::seconds(30))) {
            ADD_FAILURE() << "no packet and no end";
            break;
        }
        const bool was_ended = ended.load();
        taken += Drain(capture, bytes, flags, block_align);
        if (was_ended)
            break;
    }
    return taken;
}

struct Played {
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint32_t> flags;
    std::uint64_t clock_moved_ms = 0;
    int ends = 0;
};

Played play(const std::string& path, const WaveFormat& format, bool simulated)
{
    Played p;
    Event event(Event::Kind::AutoReset);
    std::atomic<bool> ended = false;
    FileDeviceOptions options;
    if (simulated)
        options.clock = std::make_shared<SimulatedClock>(1000);
    options.on_end = [&] {
        ++p.ends;
        ended = true;
        event.Set();
    };
    FileAudioDevices devices(path, options);
    Stream s(devices, format, event);
    if (!s.capture)
        return p;
    consume(*s.capture, event, ended, &p.bytes, format.nBlockAlign, &p.flags);
    EXPECT_EQ(s.client->Stop(), S_OK);
    std::uint32_t next = 99;
    EXPECT_EQ(s.capture->GetNextPacketSize(&next), S_OK);
    EXPECT_EQ(next, 0u) << "the stream has ended";
    if (simulated)
        p.clock_moved_ms = options.clock->TickMs() - 1000;
    return p;
}

TEST(FileDevices, PacketsReassembleIntoTheFile)
{
    struct Case {
        int channels;
        int rate;
        std::size_t frames;
        bool simulated;
    };
    const Case cases[] = {
        {1, 16000, 16000, true},
        {2, 44100, 44100 / 2 + 17, true},  // a short last packet
        {2, 11025, 3000, true},            // 220.5 frames per 20 ms
        {1, 8000, 480, false},             // real time: three packets
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.channels) + " channels at " + std::to_string(c.rate) +
                     (c.simulated ? ", simulated" : ", real time"));
        TempFile wav(".wav");
        const auto samples = ramp(c.frames, c.channels);
        write_wav(wav.path(), c.channels, c.rate, samples);
        const auto channels = static_cast<std::uint16_t>(c.channels);
        const auto rate = static_cast<std::uint32_t>(c.rate);

        const Played pcm = play(wav.path(), PcmFormat(channels, rate), c.simulated);
        EXPECT_EQ(SamplesOf<std::int16_t>(pcm.bytes), samples);
        EXPECT_EQ(pcm.ends, 1);
        for (std::uint32_t f : pcm.flags)
            EXPECT_EQ(f, 0u);
        if (c.simulated) {
            EXPECT_EQ(pcm.clock_moved_ms, c.frames * 1000 / static_cast<std::size_t>(c.rate));
            // One packet per 20 ms step of the file.
            EXPECT_EQ(pcm.flags.size(),
                      (c.frames * 50 + static_cast<std::size_t>(c.rate) - 1) / static_cast<std::size_t>(c.rate));
        }

        const Played ieee = play(wav.path(), FloatFormat(channels, rate), c.simulated);
        const auto floats = SamplesOf<float>(ieee.bytes);
        ASSERT_EQ(floats.size(), samples.size());
        for (std::size_t i = 0; i < samples.size(); ++i)
            ASSERT_EQ(floats[i], static_cast<float>(samples[i]) / 32768.0f) << i;
    }
}

TEST(FileDevices, FloatFileReadAs16BitIsScaled)
{
    TempFile wav(".wav");
    write_wav(wav.path(), 1, 8000, std::vector<float>{0.5f, -0.5f, 32000 / 32768.0f, 0.0f, 1.5f, -2.0f});
    const auto samples = SamplesOf<std::int16_t>(play(wav.path(), PcmFormat(1, 8000), true).bytes);
    EXPECT_EQ(samples, (std::vector<std::int16_t>{16384, -16384, 32000, 0, 32767, -32768}));
}

TEST(FileDevices, MixFormatIsPlainFloatAndOnlyItsLayoutsAreAccepted)
{
    TempFile wav(".wav");
    write_wav(wav.path(), 2, 22050, ramp(100, 2));
    FileAudioDevices devices(wav.path());
    EXPECT_EQ(devices.Channels(), 2);
    EXPECT_EQ(devices.Rate(), 22050u);
    EXPECT_EQ(devices.Frames(), 100u);

    WaveFormat pcm24 = PcmFormat(2, 22050);
    pcm24.wBitsPerSample = 24;
    pcm24.nBlockAlign = 6;
    WaveFormat extensible_pcm = FloatFormat(2, 22050, true);
    extensible_pcm.subFormat = SubFormat::Pcm;  // 32-bit PCM
    struct Case {
        const char* name;
        ShareMode mode;
        WaveFormat format;
        HRESULT expected;
    };
    const Case cases[] = {
        {"16-bit PCM", ShareMode::Shared, PcmFormat(2, 22050), S_OK},
        {"float", ShareMode::Shared, FloatFormat(2, 22050), S_OK},
        {"extensible float", ShareMode::Shared, FloatFormat(2, 22050, true), S_OK},
        {"other channels", ShareMode::Shared, PcmFormat(1, 22050), E_UNSUPPORTED_FORMAT},
        {"other rate", ShareMode::Shared, FloatFormat(2, 44100), E_UNSUPPORTED_FORMAT},
        {"24-bit PCM", ShareMode::Shared, pcm24, E_UNSUPPORTED_FORMAT},
        {"32-bit PCM", ShareMode::Shared, extensible_pcm, E_UNSUPPORTED_FORMAT},
        {"exclusive", ShareMode::Exclusive, PcmFormat(2, 22050), E_INVALIDARG},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto a = Activate(devices, devices.Id());
        ASSERT_EQ(a.completed, S_OK);
        WaveFormat mix;
        ASSERT_EQ(a.client->GetMixFormat(&mix), S_OK);
        EXPECT_EQ(mix, FloatFormat(2, 22050));
        EXPECT_EQ(a.client->Initialize(c.mode, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, twenty_ms, 0, c.format), c.expected);
    }

    std::string id;
    ASSERT_EQ(devices.GetDefaultAudioCaptureId(&id), S_OK);
    std::vector<CaptureDeviceInfo> listed;
    ASSERT_EQ(devices.ListCaptureDevices(&listed), S_OK);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].id, id);
    EXPECT_TRUE(listed[0].is_default);
    EXPECT_EQ(Activate(devices, "file:elsewhere.wav").call, E_DEVICE_NOT_FOUND);
    std::promise<bool> raw;
    devices.LookupRawProcessingAsync(id, [&](bool supported) { raw.set_value(supported); });
    EXPECT_FALSE(raw.get_future().get());
}

TEST(FileDevices, FilesThatAreNotAudioAreRefused)
{
    TempFile text(".wav");
    std::ofstream(text.path()) << "not a sound";
    for (const std::string& path : {text.path(), text.path() + ".missing"}) {
        SCOPED_TRACE(path);
        std::vector<std::string> told;
        FileDeviceOptions options;
        options.diagnostics = [&](const std::string& message) { told.push_back(message); };
        try {
            FileAudioDevices devices(path, options);
            ADD_FAILURE() << "opened";
        } catch (const PlatformException& e) {
            EXPECT_EQ(e.Result(), E_DEVICE_NOT_FOUND);
        }
        // libsndfile's own reason reaches the sink, beside the code.
        ASSERT_EQ(told.size(), 1u);
        EXPECT_EQ(told[0].rfind("libsndfile: ", 0), 0u) << told[0];
        EXPECT_GT(told[0].size(), std::string("libsndfile:  (E_DEVICE_NOT_FOUND)").size()) << told[0];
        EXPECT_TRUE(told[0].ends_with(" (E_DEVICE_NOT_FOUND)")) << told[0];
    }
}

// A looping stream is the file repeated without a gap, in 20 ms packets
// across the seam, and never ends; on real time as on simulated time.
TEST(FileDevices, LoopingRepeatsTheFileForEver)
{
    struct Case {
        std::size_t frames;
        bool simulated;
    };
    const Case cases[] = {
        {1000, true},  // 6.25 packets at 8000 Hz: the seam falls inside a packet
        {1000, false},
        {100, true},  // shorter than a packet: each packet holds it more than once
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.frames) + " frames, " + (c.simulated ? "simulated" : "real time"));
        const bool simulated = c.simulated;
        TempFile wav(".wav");
        const auto samples = ramp(c.frames, 1);
        write_wav(wav.path(), 1, 8000, samples);
        Event event(Event::Kind::AutoReset);
        std::atomic<bool> ended = false;
        FileDeviceOptions options;
        options.loop = true;
        if (simulated)
            options.clock = std::make_shared<SimulatedClock>(0);
        options.ring_ms = 10'000;  // a consumer late by seconds still drops nothing
        options.on_end = [&] { ended = true; };
        FileAudioDevices devices(wav.path(), options);
        Stream s(devices, PcmFormat(1, 8000), event);
        ASSERT_NE(s.capture, nullptr);
        // Packet by packet: on simulated time the next one is always ready.
        std::vector<std::uint8_t> bytes;
        std::vector<std::uint32_t> flags;
        const std::size_t packets = 20;
        for (std::size_t taken = 0; taken < packets;) {
            std::uint32_t next = 0;
            ASSERT_EQ(s.capture->GetNextPacketSize(&next), S_OK);
            if (next == 0) {
                ASSERT_TRUE(event.WaitFor(std::chrono::seconds(30))) << "no packet after " << taken;
                continue;
            }
            std::uint8_t* data = nullptr;
            std::uint32_t frames = 0, packet_flags = 0;
            ASSERT_EQ(s.capture->GetBuffer(&data, &frames, &packet_flags, nullptr, nullptr), S_OK);
            ASSERT_EQ(frames, 160u);
            bytes.insert(bytes.end(), data, data + 2 * frames);
            flags.push_back(packet_flags);
            ASSERT_EQ(s.capture->ReleaseBuffer(frames), S_OK);
            ++taken;
        }
        EXPECT_EQ(s.client->Stop(), S_OK);
        const auto played = SamplesOf<std::int16_t>(bytes);
        ASSERT_EQ(played.size(), packets * 160);
        for (std::size_t i = 0; i < played.size(); ++i)
            ASSERT_EQ(played[i], samples[i % samples.size()]) << i;
        for (std::uint32_t f : flags)
            EXPECT_EQ(f, 0u);
        EXPECT_FALSE(ended.load());
        if (simulated) {
            EXPECT_EQ(options.clock->TickMs(), 20 * packets);
        }
    }
}

// An empty file has nothing to repeat: a looping stream of it ends at once.
TEST(FileDevices, LoopingAnEmptyFileEnds)
{
    TempFile wav(".wav");
    write_wav(wav.path(), 1, 8000, std::vector<std::int16_t>{});
    Event event(Event::Kind::AutoReset);
    std::atomic<bool> ended = false;
    FileDeviceOptions options;
    options.loop = true;
    options.clock = std::make_shared<SimulatedClock>(0);
    options.on_end = [&] {
        ended = true;
        event.Set();
    };
    FileAudioDevices devices(wav.path(), options);
    Stream s(devices, PcmFormat(1, 8000), event);
    ASSERT_NE(s.capture, nullptr);
    EXPECT_EQ(consume(*s.capture, event, ended, nullptr, 2), 0u);
    EXPECT_TRUE(ended.load());
    EXPECT_EQ(s.client->Stop(), S_OK);
}

// Concurrency: the producer thread against the consumer and Start/Stop.

TEST(FileDevicesConcurrency, StopThenStartGoesOnWhereItStopped)
{
    TempFile wav(".wav");
    const auto samples = ramp(16000, 1);
    write_wav(wav.path(), 1, 16000, samples);
    Event event(Event::Kind::AutoReset);
    std::atomic<bool> ended = false;
    std::atomic<int> ends = 0;
    FileDeviceOptions options;
    options.clock = std::make_shared<SimulatedClock>(0);
    options.on_end = [&] {
        ++ends;
        ended = true;
        event.Set();
    };
    FileAudioDevices devices(wav.path(), options);

    const auto a = Activate(devices, devices.Id());
    ASSERT_EQ(a.completed, S_OK);
    EXPECT_EQ(a.client->Stop(), S_OK) << "Stop before any Start";
    ASSERT_EQ(
        a.client->Initialize(ShareMode::Shared, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, twenty_ms, 0, PcmFormat(1, 16000)),
        S_OK);
    std::shared_ptr<AudioCaptureClient> capture;
    ASSERT_EQ(a.client->GetService(&capture), S_OK);
    EXPECT_EQ(a.client->Start(), E_INVALID_STATE) << "no event handle";
    ASSERT_EQ(a.client->SetEventHandle(&event), S_OK);
    ASSERT_EQ(a.client->Start(), S_OK);
    EXPECT_EQ(a.client->Start(), E_INVALID_STATE);
    EXPECT_EQ(a.client->SetEventHandle(&event), E_INVALID_STATE) << "while running";

    // One packet per event, as the capture takes them: on simulated time the
    // next packet comes only when the one before was released, so ten
    // packets taken leave exactly one more waiting.
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(event.WaitFor(std::chrono::seconds(30)));
        std::uint32_t next = 0;
        ASSERT_EQ(capture->GetNextPacketSize(&next), S_OK);
        ASSERT_EQ(next, 320u) << "packet " << i;
        std::uint8_t* data = nullptr;
        std::uint32_t frames = 0, flags = 0;
        std::uint64_t position = 0;
        ASSERT_EQ(capture->GetBuffer(&data, &frames, &flags, &position, nullptr), S_OK);
        EXPECT_EQ(position, 320u * static_cast<unsigned>(i));
        EXPECT_EQ(options.clock->TickMs(), 20u * static_cast<unsigned>(i + 1)) << "the clock is at the packet's end";
        bytes.insert(bytes.end(), data, data + 2 * frames);
        ASSERT_EQ(capture->ReleaseBuffer(frames), S_OK);
    }
    ASSERT_EQ(a.client->Stop(), S_OK);
    ASSERT_EQ(a.client->Stop(), S_OK);
    EXPECT_EQ(Drain(*capture, &bytes, nullptr, 2), 1u) << "what came before the stop stays";
    EXPECT_EQ(bytes.size(), 11u * 320 * 2);
    EXPECT_EQ(options.clock->TickMs(), 220u);

    ASSERT_EQ(a.client->Start(), S_OK);
    consume(*capture, event, ended, &bytes, 2);
    EXPECT_EQ(SamplesOf<std::int16_t>(bytes), samples);
    EXPECT_EQ(options.clock->TickMs(), 1000u);

    // At the end a restart delivers nothing and does not end twice.
    ASSERT_EQ(a.client->Stop(), S_OK);
    ASSERT_EQ(a.client->Start(), S_OK);
    ASSERT_EQ(a.client->Stop(), S_OK);
    EXPECT_EQ(ends.load(), 1);
    std::uint32_t next = 99;
    EXPECT_EQ(capture->GetNextPacketSize(&next), S_OK);
    EXPECT_EQ(next, 0u);
}

TEST(FileDevicesConcurrency, EndCallbackMayStopTheStream)
{
    TempFile wav(".wav");
    write_wav(wav.path(), 1, 8000, ramp(800, 1));
    Event event(Event::Kind::AutoReset);
    std::shared_ptr<AudioClient> client;
    std::promise<HRESULT> stopped;
    FileDeviceOptions options;
    options.clock = std::make_shared<SimulatedClock>();
    options.on_end = [&] {
        stopped.set_value(client->Stop());
        event.Set();
    };
    FileAudioDevices devices(wav.path(), options);
    Stream s(devices, PcmFormat(1, 8000), event);
    client = s.client;
    auto done = stopped.get_future();
    std::vector<std::uint8_t> bytes;
    while (done.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        ASSERT_TRUE(event.WaitFor(std::chrono::seconds(30)));
        Drain(*s.capture, &bytes, nullptr, 2);
    }
    EXPECT_EQ(done.get(), S_OK);
    EXPECT_EQ(bytes.size(), 1600u);
    EXPECT_EQ(client->Start(), S_OK);  // joins the finished producer
    EXPECT_EQ(client->Stop(), S_OK);
}

// The stream stopped from another thread while on_end waits for a lock
// that thread holds (a capture stopping its client under the lock its end
// of stream takes): Stop returns, and on_end finishes once the lock goes.
TEST(FileDevicesConcurrency, StopDoesNotWaitForAnEndCallbackThatWaitsForTheStopper)
{
    TempFile wav(".wav");
    write_wav(wav.path(), 1, 8000, ramp(800, 1));
    Event event(Event::Kind::AutoReset);
    std::mutex capture_lock;
    std::promise<void> end_began;
    std::promise<void> end_done;
    FileDeviceOptions options;
    options.clock = std::make_shared<SimulatedClock>();
    options.on_end = [&] {
        end_began.set_value();
        event.Set();
        std::lock_guard hold(capture_lock);
        end_done.set_value();
    };
    FileAudioDevices devices(wav.path(), options);
    Stream s(devices, PcmFormat(1, 8000), event);
    auto began = end_began.get_future();
    std::vector<std::uint8_t> bytes;
    {
        std::unique_lock hold(capture_lock);
        while (began.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
            ASSERT_TRUE(event.WaitFor(std::chrono::seconds(30)));
            Drain(*s.capture, &bytes, nullptr, 2);
        }
        auto stopped = std::async(std::launch::async, [&] { return s.client->Stop(); });
        ASSERT_EQ(stopped.wait_for(std::chrono::seconds(30)), std::future_status::ready) << "Stop waited for on_end";
        EXPECT_EQ(stopped.get(), S_OK);
    }
    EXPECT_EQ(end_done.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(s.client->Start(), S_OK);  // joins the finished producer
    EXPECT_EQ(s.client->Stop(), S_OK);
}

TEST(FileDevicesConcurrency, ClientReleasedWhileRunningStopsItsProducer)
{
    TempFile wav(".wav");
    write_wav(wav.path(), 2, 48000, ramp(48000, 2));
    Event event(Event::Kind::AutoReset);
    for (bool simulated : {true, false}) {
        SCOPED_TRACE(simulated ? "simulated" : "real time");
        FileDeviceOptions options;
        if (simulated)
            options.clock = std::make_shared<SimulatedClock>();
        FileAudioDevices devices(wav.path(), options);
        Stream s(devices, FloatFormat(2, 48000), event);
        ASSERT_TRUE(event.WaitFor(std::chrono::seconds(30)));
        // Nothing taken, no Stop: letting go of the client ends the stream.
        s.capture.reset();
        s.client.reset();
    }
}

// A paced stream delivers what it was allowed and holds, the clock still,
// until it is allowed more: up to a tick, a number of packets, or nothing
// (a tick already passed). The consumer takes packets on a thread of its
// own, as the capture does.
TEST(FileDevicesConcurrency, PacedStreamHoldsUntilAllowedMore)
{
    TempFile wav(".wav");
    const auto samples = ramp(16000, 1);
    write_wav(wav.path(), 1, 16000, samples);
    Event event(Event::Kind::AutoReset);
    std::atomic<bool> ended = false;
    auto clock = std::make_shared<SimulatedClock>(1000);
    auto pace = std::make_shared<PlaybackPace>();
    FileDeviceOptions options;
    options.clock = clock;
    options.pace = pace;
    options.on_end = [&] {
        ended = true;
        event.Set();
    };
    FileAudioDevices devices(wav.path(), options);
    Stream s(devices, PcmFormat(1, 16000), event);
    ASSERT_NE(s.capture, nullptr);
    ASSERT_TRUE(pace->WaitUntilHeld(std::chrono::seconds(30))) << "nothing allowed yet";

    std::mutex taken_lock;
    std::vector<std::uint8_t> bytes;
    std::atomic<bool> stop = false;
    std::thread consumer([&] {
        while (!stop && !ended) {
            if (event.WaitFor(std::chrono::milliseconds(20))) {
                std::lock_guard hold(taken_lock);
                Drain(*s.capture, &bytes, nullptr, 2);
            }
        }
    });
    const auto taken = [&] {
        std::lock_guard hold(taken_lock);
        return bytes.size() / 2;
    };
    EXPECT_EQ(taken(), 0u);
    EXPECT_EQ(clock->TickMs(), 1000u);

    struct Step {
        const char* what;
        std::function<void()> allow;
        std::uint64_t tick;  // where the clock holds afterwards
    };
    const Step steps[] = {
        {"until 1100", [&] { pace->AllowUntil(1100); }, 1100},
        {"until 1150: the packet ending at 1160 waits", [&] { pace->AllowUntil(1150); }, 1140},
        {"three packets", [&] { pace->AllowPackets(3); }, 1200},
        {"a tick already passed", [&] { pace->AllowUntil(1000); }, 1200},
        {"until 1500", [&] { pace->AllowUntil(1500); }, 1500},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        step.allow();
        ASSERT_TRUE(pace->WaitUntilHeld(std::chrono::seconds(30)));
        EXPECT_TRUE(pace->Held());
        EXPECT_EQ(clock->TickMs(), step.tick);
        EXPECT_EQ(taken(), (step.tick - 1000) * 16);
    }
    // The rest of the file, then the end as ever; an ended stream holds for
    // good, so that a caller waiting for the pace learns of it.
    pace->AllowUntil(UINT64_MAX);
    consumer.join();
    EXPECT_TRUE(ended.load());
    EXPECT_TRUE(pace->WaitUntilHeld(std::chrono::seconds(30)));
    pace->AllowPackets(1);
    EXPECT_TRUE(pace->Held());
    EXPECT_EQ(SamplesOf<std::int16_t>(bytes), samples);
    EXPECT_EQ(clock->TickMs(), 2000u);
    stop = true;
}

}  // namespace
}  // namespace VextuneCore::Platform
