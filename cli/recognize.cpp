#include "recognize.h"

#include <memory>
#include <optional>

#include "audio_input.h"
#include "capture_states.h"
#include "command_line.h"
#include "vextune/platform/FileAudioDevices.h"
#include "vextune/runtime/API.h"
#ifdef VXT_HAVE_PULSE
#include "vextune/platform/PulseAudioDevices.h"
#endif

namespace vxt::cli {
namespace {

using namespace VextuneCore;
using namespace VextuneCore::Client;
using namespace VextuneCore::Platform;

}  // namespace

std::string recognize(const recognize_options& options, const note_sink& note)
{
    ApiOptions api_options;
    api_options.diagnostics = note;
    API* api_for_end = nullptr;
    const bool recording = !options.input.empty();
    // Outlives the API: its device opens the recording at each activation.
    std::optional<replayable_recording> input;
    try {
        if (recording) {
            input.emplace(options.input);
            // A recording runs on simulated time unless asked for its own
            // pace; its end hands the waiting attempt all there is.
            FileDeviceOptions file_options;
            file_options.diagnostics = note;
            std::shared_ptr<SimulatedClock> simulated;
            if (!options.realtime) {
                simulated = std::make_shared<SimulatedClock>();
                file_options.clock = simulated;
            }
            file_options.on_end = [&api_for_end] {
                if (api_for_end)
                    if (auto capture = api_for_end->Capture())
                        capture->FinishStream();
            };
            api_options.devices = std::make_shared<FileAudioDevices>(input->path(), file_options);
            if (simulated)
                api_options.clock = simulated;
        } else {
#ifdef VXT_HAVE_PULSE
            api_options.devices =
                std::make_shared<PulseAudioDevices>(PulseDeviceOptions{.source = options.device, .diagnostics = note});
#else
            throw cli_error("this build has no microphone support (built without PulseAudio); give --input AUDIO");
#endif
        }
    } catch (const PlatformException& e) {
        throw cli_error(input ? input->named(e.what(), display_name(options.input)) : std::string(e.what()));
    }

    API api(api_options);
    api_for_end = &api;
    api.InitializeCapture();
    auto capture = api.Capture();
    if (!capture)
        throw cli_error("no capture could be made");
    state_watch states(capture->StateEvent());
    states.wait_for(DeviceState::Initialized, "opening the device");

    std::shared_ptr<RecognitionOperation> operation;
    if (recording) {
        // The recognition waits before the first packet, so that a
        // recording is heard from its start.
        operation = api.RecognizeAsync(options.request);
        // The wait ends with the recognition too (a request description
        // it refuses arms nothing).
        std::stop_source ended;
        operation->OnCompleted([ended](AsyncStatus) mutable { ended.request_stop(); });
        if (!capture->WaitUntilArmed(ended.get_token(), arm_time_limit) &&
            operation->Status() == AsyncStatus::Started) {
            api_for_end = nullptr;
            api.Shutdown();
            throw never_armed();
        }
        api.StartCapture();
    } else {
        api.StartCapture();
        states.wait_for(DeviceState::Capturing, "starting the capture");
        if (note)
            note("listening");
        operation = api.RecognizeAsync(options.request);
    }

    std::string result;
    try {
        result = operation->Get();
    } catch (const RecognitionCanceled&) {
        api_for_end = nullptr;
        api.Shutdown();
        throw cli_error("the recognition was cancelled (the capture stopped delivering)");
    } catch (const RecognitionError& e) {
        api_for_end = nullptr;
        api.Shutdown();
        throw cli_error(e.what());
    }
    api_for_end = nullptr;
    api.Shutdown();
    return result;
}

}  // namespace vxt::cli
