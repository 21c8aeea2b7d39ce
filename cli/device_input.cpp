#include "device_input.h"

#include <chrono>
#include <cstring>
#include <future>

#include "cli_error.h"
#include "vextune/config.h"
#ifdef VXT_HAVE_PULSE
#include "vextune/platform/AudioDevices.h"
#include "vextune/platform/PulseAudioDevices.h"
#endif

namespace vxt::cli {

#ifdef VXT_HAVE_PULSE
using namespace VextuneCore::Platform;

namespace {

void check(HRESULT hr, const char* what)
{
    if (Failed(hr))
        throw cli_error(std::string("the capture source ") + what + ": " + ResultName(hr));
}

}  // namespace

struct device_reader::state {
    std::unique_ptr<PulseAudioDevices> devices;
    std::shared_ptr<AudioClient> client;
    std::shared_ptr<AudioCaptureClient> capture;
    Event ready{Event::Kind::AutoReset};
    WaveFormat format;

    ~state()
    {
        if (client)
            client->Stop();
    }
};

device_reader::device_reader(const std::string& source, const note_sink& note) : state_(std::make_unique<state>())
{
    state_->devices = std::make_unique<PulseAudioDevices>(PulseDeviceOptions{.source = source, .diagnostics = note});
    std::string id;
    check(state_->devices->GetDefaultAudioCaptureId(&id), "cannot be found");
    std::promise<std::pair<HRESULT, std::shared_ptr<AudioClient>>> activated;
    check(state_->devices->ActivateAudioInterfaceAsync(id,
                                                       [&](HRESULT hr, std::shared_ptr<AudioClient> client) {
                                                           activated.set_value({hr, std::move(client)});
                                                       }),
          "cannot be opened");
    auto [hr, client] = activated.get_future().get();
    check(hr, "cannot be opened");
    state_->client = std::move(client);

    WaveFormat mix;
    check(state_->client->GetMixFormat(&mix), "gives no format");
    if (rate_code(static_cast<std::int32_t>(mix.nSamplesPerSec)) == 0)
        throw cli_error("the capture source runs at " + std::to_string(mix.nSamplesPerSec) +
                        " Hz, which the engine does not take (8000, 11025, 16000, 32000, 44100 or 48000)");
    state_->format = PcmFormat(mix.nChannels, mix.nSamplesPerSec);
    check(state_->client->Initialize(ShareMode::Shared, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, 0, 0, state_->format),
          "refuses 16-bit PCM");
    check(state_->client->GetService(&state_->capture), "gives no capture client");
    check(state_->client->SetEventHandle(&state_->ready), "takes no event");
    check(state_->client->Start(), "cannot start");
}

device_reader::~device_reader() = default;

std::int32_t device_reader::rate() const noexcept
{
    return static_cast<std::int32_t>(state_->format.nSamplesPerSec);
}

void device_reader::read(std::vector<std::int16_t>& mono)
{
    mono.clear();
    const int channels = state_->format.nChannels;
    while (mono.empty()) {
        if (!state_->ready.WaitFor(std::chrono::seconds(10)))
            throw cli_error("the capture source delivered nothing for 10 s");
        std::uint32_t frames = 0;
        check(state_->capture->GetNextPacketSize(&frames), "went away");
        while (frames > 0) {
            std::uint8_t* data = nullptr;
            std::uint32_t flags = 0;
            check(state_->capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr), "went away");
            const std::size_t at = mono.size();
            mono.resize(at + frames);
            for (std::uint32_t i = 0; i < frames; ++i) {
                std::int32_t sum = 0;
                for (int c = 0; c < channels && !(flags & AUDCLNT_BUFFERFLAGS_SILENT); ++c) {
                    std::int16_t s;
                    std::memcpy(&s, data + (static_cast<std::size_t>(i) * channels + c) * 2, 2);
                    sum += s;
                }
                mono[at + i] = static_cast<std::int16_t>(sum / channels);
            }
            check(state_->capture->ReleaseBuffer(frames), "went away");
            check(state_->capture->GetNextPacketSize(&frames), "went away");
        }
    }
}

#else

struct device_reader::state {};

device_reader::device_reader(const std::string&, const note_sink&)
{
    throw cli_error("this build has no microphone support (built without PulseAudio); give --input AUDIO");
}

device_reader::~device_reader() = default;

std::int32_t device_reader::rate() const noexcept
{
    return 0;
}

void device_reader::read(std::vector<std::int16_t>&) {}

#endif

}  // namespace vxt::cli
