#include "listen.h"

#include <future>
#include <memory>
#include <stop_token>
#include <utility>

#include "capture_states.h"
#include "vextune/capture/WASAPICapture.h"
#include "vextune/platform/FileAudioDevices.h"
#ifdef VXT_HAVE_PULSE
#include "vextune/platform/PulseAudioDevices.h"
#endif
#include "vextune/platform/WorkQueues.h"

namespace vxt::cli {
namespace {

using namespace VextuneCore;
using namespace VextuneCore::Capture;
using namespace VextuneCore::Platform;

// The platform's start count, held for one command.
class platform_session {
public:
    platform_session()
    {
        if (Failed(Startup()))
            throw cli_error("cannot start the work queues");
    }
    ~platform_session() { Shutdown(); }
    platform_session(const platform_session&) = delete;
    platform_session& operator=(const platform_session&) = delete;
};

}  // namespace

std::vector<std::uint8_t> listen(const listen_options& options, const note_sink& note)
{
    platform_session session;
    std::shared_ptr<AudioDevices> devices;
    std::shared_ptr<Clock> clock;
    double due_ms = options.seconds * 1000.0;
    std::shared_ptr<WASAPICapture> capture;
    try {
        if (!options.input.empty()) {
            // A recording runs on simulated time, as fast as the capture
            // takes its packets; the last packet ends its sample time.
            auto simulated = std::make_shared<SimulatedClock>();
            FileDeviceOptions file_options;
            file_options.clock = simulated;
            file_options.diagnostics = note;
            auto file = std::make_shared<FileAudioDevices>(options.input, file_options);
            const double length_ms = static_cast<double>(file->Frames()) * 1000.0 / file->Rate();
            if (due_ms >= length_ms - 20.0) {
                due_ms = length_ms - 40.0;
                if (note)
                    note("the recording is " + std::to_string(length_ms / 1000.0) + " s long; signing all of it");
            }
            if (due_ms <= 0.0)
                throw cli_error("the recording is too short to sign");
            devices = file;
            clock = simulated;
        } else {
#ifdef VXT_HAVE_PULSE
            devices =
                std::make_shared<PulseAudioDevices>(PulseDeviceOptions{.source = options.device, .diagnostics = note});
            clock = SystemClock();
#else
            throw cli_error("this build has no microphone support (built without PulseAudio); give --input AUDIO");
#endif
        }
        capture = WASAPICapture::Create(devices, clock);
    } catch (const PlatformException& e) {
        throw cli_error(e.what());
    }

    state_watch states(capture->StateEvent());
    capture->InitializeAudioDevice();
    states.wait_for(DeviceState::Initialized, "opening the device");

    // The recognition begins and its wait is armed before the first packet,
    // so the signature comes with the first packet past the due time.
    const std::uint64_t recognition = capture->BeginRecognition(due_ms, due_ms);
    std::stop_source stop;
    auto signature = std::async(std::launch::async,
                                [&] { return capture->WaitForSignature(recognition, std::nullopt, stop.get_token()); });
    // Nothing else ends this recognition: not armed in time while it is
    // still active means it never will be.
    if (!capture->WaitUntilArmed(recognition, stop.get_token(), arm_time_limit) && capture->RecognitionActive()) {
        stop.request_stop();
        throw never_armed();
    }
    if (const HRESULT hr = capture->StartCaptureAsync(); Failed(hr)) {
        stop.request_stop();
        throw cli_error("starting the capture failed: " + ResultName(hr));
    }
    try {
        states.wait_for(DeviceState::Capturing, "starting the capture");
    } catch (...) {
        stop.request_stop();
        throw;
    }
    auto got = signature.get();
    capture->StopAndDrain();
    if (!got)
        throw cli_error("the capture ended before a signature was made");
    if (got->bytes.empty())
        throw cli_error("the engine failed to make a signature");
    if (note)
        note("signed " + std::to_string(got->sample_ms / 1000.0) + " s of audio");
    return std::move(got->bytes);
}

std::vector<std::string> list_devices(const note_sink& diagnostics)
{
    platform_session session;
    std::vector<CaptureDeviceInfo> found;
#ifdef VXT_HAVE_PULSE
    try {
        PulseDeviceOptions pulse_options;
        pulse_options.diagnostics = diagnostics;
        PulseAudioDevices devices(std::move(pulse_options));
        if (const HRESULT hr = devices.ListCaptureDevices(&found); Failed(hr))
            throw cli_error("listing the capture sources failed: " + ResultName(hr));
    } catch (const PlatformException& e) {
        throw cli_error(e.what());
    }
#else
    (void)diagnostics;
    throw cli_error("this build has no microphone support (built without PulseAudio)");
#endif
    std::vector<std::string> lines;
    for (const CaptureDeviceInfo& d : found)
        lines.push_back((d.is_default ? "* " : "  ") + d.id + "\t" + d.description);
    return lines;
}

}  // namespace vxt::cli
