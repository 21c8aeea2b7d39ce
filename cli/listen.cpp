#include "listen.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <utility>

#include "audio_input.h"
#include "capture_states.h"
#include "command_line.h"
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

// Milliseconds as seconds with two decimals.
std::string seconds_text(double ms)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", ms / 1000.0);
    return text;
}

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

// The end of a recording played as the microphone, shared with the file
// device's callbacks (which may run on its threads until it is gone).
class recording_end {
public:
    // The capture to tell when the stream ends.
    void watch(const std::shared_ptr<WASAPICapture>& capture)
    {
        std::lock_guard hold(lock_);
        capture_ = capture;
    }
    // The stream has ended: a wait armed now or later gets all there is.
    // The capture is called with no lock of this object held (the device
    // tells its failures from inside the capture's packet processing).
    void ended()
    {
        std::shared_ptr<WASAPICapture> capture;
        {
            std::lock_guard hold(lock_);
            capture = capture_.lock();
        }
        if (capture)
            capture->FinishStream();
    }
    // The device failed to read the recording on (it says so before the
    // stream ends).
    void failed() { failed_ = true; }
    bool has_failed() const { return failed_; }

private:
    std::mutex lock_;
    std::weak_ptr<WASAPICapture> capture_;
    std::atomic<bool> failed_{false};
};

}  // namespace

std::vector<std::uint8_t> listen(const listen_options& options, const note_sink& note)
{
    if (!std::isfinite(options.seconds) || options.seconds <= 0.0)
        throw cli_error("not a length of time to sign: " + std::to_string(options.seconds) + " s");
    platform_session session;
    std::shared_ptr<AudioDevices> devices;
    std::shared_ptr<Clock> clock;
    double due_ms = options.seconds * 1000.0;
    std::shared_ptr<WASAPICapture> capture;
    std::optional<replayable_recording> recording;
    const auto end = std::make_shared<recording_end>();
    double length_ms = 0.0;
    try {
        if (!options.input.empty()) {
            recording.emplace(options.input);
            // A recording runs on simulated time, as fast as the capture
            // takes its packets; the last packet ends its sample time. Its
            // end hands the wait all there is, so a recording that holds
            // less than its header says (cut short, or a decoding error)
            // still ends the wait.
            auto simulated = std::make_shared<SimulatedClock>();
            FileDeviceOptions file_options;
            file_options.clock = simulated;
            // Once the device is open, what it says is a failure to read on.
            auto opened = std::make_shared<std::atomic<bool>>(false);
            file_options.diagnostics = [note, end, opened](const std::string& text) {
                if (opened->load())
                    end->failed();
                if (note)
                    note(text);
            };
            file_options.on_end = [end] { end->ended(); };
            auto file = std::make_shared<FileAudioDevices>(recording->path(), file_options);
            opened->store(true);
            length_ms = static_cast<double>(file->Frames()) * 1000.0 / file->Rate();
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
        end->watch(capture);
    } catch (const PlatformException& e) {
        throw cli_error(recording ? recording->named(e.what(), display_name(options.input)) : std::string(e.what()));
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
    // The stream ended before the time asked for: the recording holds less
    // than its header says.
    if (got->final && end->has_failed())
        throw cli_error("the recording cannot be decoded past " + seconds_text(got->sample_ms) +
                        " s; no signature was made");
    if (got->final && note)
        note("the recording ends after " + seconds_text(got->sample_ms) + " s, not the " + seconds_text(length_ms) +
             " s its header gives; signing all of it");
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
