// WASAPICapture: one microphone capture, and the bridge that turns its
// packets into engine input and signatures.
//
// The capture activates the default capture device, converts a float mix
// format to 16-bit PCM of the same channels and rate, and opens an
// event-driven shared-mode stream with a 20 ms buffer. Its start, stop and
// finish work items run on the multithreaded work queue; one sample-ready
// item at a time runs on its own locked serial queue ("Capture"), takes one
// packet, keeps channel 0 of it as 16-bit mono in a three-second pre-roll
// and, while a recognition is active, feeds it to a type 2 engine made for
// the device's rate. Every change of state goes out through the state event.
//
// States: Uninitialized -> Initialized (activation) -> Starting -> Capturing
// -> StopRequested -> Stopping -> Stopped -> Starting ...; InError from any
// failure, with its code; a discontinuity in the data raises Discontinuity
// and returns to Capturing without a raise.
//
// Threads and locks:
//   application thread   InitializeAudioDevice, StartCaptureAsync,
//                        StopCaptureAsync, StopAndDrain, the recognition
//                        calls BeginRecognition / EndRecognition
//   activation thread    ActivateCompleted (the device's completion)
//   multithreaded queue  OnStartCapture, OnStopCapture, OnFinishCapture
//   "Capture" queue      the sample-ready item (OnSampleReady)
//   recognition thread   WaitForSignature
//   any other thread     WaitUntilArmed (a tool or test that starts the
//                        capture, or delivers audio, once a wait is armed)
// lock_ (the capture lock) guards the engine, the pre-roll, the signature
// and the schedule (max_sample_ms_, next_signature_ms_, last_sample_ms_,
// start_tick_, waiting_); every bridge call takes it, and WaitUntilArmed
// waits on it. key_lock_ guards the
// key of the queued sample-ready item and orders its re-arming against the
// stop. State changes are atomic compare-and-set on the state event, and
// handlers are always raised with no lock held.
//
// Work items hold a strong reference to the capture, so it lives until its
// last item has run.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "vextune/capture/DeviceStateChangedEvent.h"
#include "vextune/capture/SignatureSource.h"
#include "vextune/platform/AudioDevices.h"
#include "vextune/platform/Clock.h"
#include "vextune/platform/Event.h"
#include "vextune/platform/Result.h"
#include "vextune/platform/WorkQueues.h"
#include "vextune/vextuneAPI.h"

namespace VextuneCore::Capture {

using Platform::HRESULT;

class WASAPICapture : public std::enable_shared_from_this<WASAPICapture>, public SignatureSource {
public:
    static constexpr std::int64_t buffer_duration_hns = 200000;  // 20 ms
    static constexpr double initial_sample_ms = 12000.0;
    static constexpr double initial_last_sample_ms = 3000.0;
    static constexpr std::int32_t preroll_seconds = 3;

    // Throws Platform::PlatformException with the failing code (no work
    // queue can be locked before Platform::Startup, for one).
    static std::shared_ptr<WASAPICapture> Create(std::shared_ptr<Platform::AudioDevices> devices,
                                                 std::shared_ptr<Platform::Clock> clock);
    ~WASAPICapture() override;
    WASAPICapture(const WASAPICapture&) = delete;
    WASAPICapture& operator=(const WASAPICapture&) = delete;

    // Starts activation of the default capture device; its outcome arrives
    // as Initialized or InError. Returns the code of starting it (a failure
    // is also raised as InError).
    HRESULT InitializeAudioDevice();
    // Legal in Initialized and Stopped, else E_INVALID_STATE.
    HRESULT StartCaptureAsync();
    // Legal in Capturing, Discontinuity and InError, else E_INVALID_STATE.
    HRESULT StopCaptureAsync();
    // Ends any recognition, requests a stop where one is legal and waits
    // until the capture has settled (Stopped, or a state no stop applies to).
    // Never call it from a handler or a work item.
    void StopAndDrain();

    DeviceStateChangedEvent& StateEvent() noexcept { return *state_; }
    std::shared_ptr<DeviceStateChangedEvent> SharedStateEvent() const noexcept { return state_; }
    DeviceState GetState() const noexcept { return state_->GetState(); }

    // ---- the bridge (SignatureSource), for one recognition at a time ----

    // Starts a recognition: the schedule (the first signature due after
    // min_sample_ms, none waits longer than max_sample_ms) and its time
    // origin, then the pre-roll replay, then the flag that feeds the engine.
    // Returns the recognition's id; a newer recognition replaces it.
    std::uint64_t BeginRecognition(double min_sample_ms, double max_sample_ms) override;
    // Waits for the next signature of the recognition. due_ms, when given,
    // is the sample time after which it is due (else the maximum). A
    // signature is made only while a wait is armed. Returns nothing at once
    // when that recognition is not the active one or stop is requested, and
    // when it ends meanwhile.
    std::optional<CapturedSignature> WaitForSignature(std::uint64_t recognition, std::optional<double> due_ms,
                                                      std::stop_token stop) override;
    // Ends the recognition, if it is still the active one, and wakes its
    // waiter with nothing; a replaced recognition's end touches nothing.
    void EndRecognition(std::uint64_t recognition) override;
    // Ends whatever recognition is active.
    void EndRecognition();
    // The device will deliver nothing more (a recording has ended). A wait
    // armed now, or later, gets at once a signature of all the audio held,
    // marked final. A start clears it.
    void FinishStream();
    bool RecognitionActive() const noexcept { return recognition_active_.load() != 0; }
    double MaxSampleMs();
    double LastSampleMs();

    // ---- for tests and tools ----
    std::int32_t PrerollSamples();
    std::size_t PrerollChunks();
    Platform::WaveFormat Format();
    // The number of signatures the bridge has made.
    std::uint64_t SignaturesMade();
    // Whether a recognition waits for a signature now.
    bool WaitArmed();
    // Blocks until the wait of that recognition is armed (true at once when
    // it is); false when that recognition is not, or is no longer, the
    // active one (ended or replaced), when stop is requested, or after
    // timeout, which is a safety net against a recognition that never
    // waits. For a thread other than the recognition's own; it waits on
    // the capture lock's condition, holding no other lock.
    bool WaitUntilArmed(std::uint64_t recognition, std::stop_token stop, std::chrono::seconds timeout);
    // The same for whichever recognition arms a wait, one begun after the
    // call too: false only when stop is requested or after timeout (a
    // caller that starts a recognition elsewhere requests the stop when it
    // ends).
    bool WaitUntilArmed(std::stop_token stop, std::chrono::seconds timeout);

private:
    WASAPICapture(std::shared_ptr<Platform::AudioDevices> devices, std::shared_ptr<Platform::Clock> clock);

    void ActivateCompleted(HRESULT result, std::shared_ptr<Platform::AudioClient> client);
    HRESULT ConfigureDevice(const std::shared_ptr<Platform::AudioClient>& client);
    void ErrorExit(HRESULT result);
    void OnStartCapture();
    void OnSampleReadyItem();
    HRESULT OnSampleReady(bool& discontinuity);
    void OnStopCapture();
    void OnFinishCapture();
    HRESULT ArmSampleReady();
    void QueueOrFail(void (WASAPICapture::*body)());
    void EnterError(HRESULT result);
    // Takes the signature due now and hands it to the armed wait; under lock_.
    void MakeSignature(double elapsed_ms, bool final);

    struct AudioChunk {
        std::vector<std::int16_t> samples;
    };

    const std::shared_ptr<Platform::AudioDevices> devices_;
    const std::shared_ptr<Platform::Clock> clock_;
    const std::shared_ptr<DeviceStateChangedEvent> state_;
    Platform::Event sample_ready_{Platform::Event::Kind::AutoReset};
    Platform::QueueId queue_ = 0;
    std::string device_id_;

    // Written by activation before Initialized is raised, read afterwards.
    std::shared_ptr<Platform::AudioClient> audio_client_;
    std::shared_ptr<Platform::AudioCaptureClient> capture_client_;
    Platform::WaveFormat format_;

    std::mutex key_lock_;
    std::uint64_t sample_ready_key_ = 0;  // guarded by key_lock_

    std::mutex lock_;  // the capture lock
    std::condition_variable_any signature_made_;
    vxt::engine_handle engine_;
    std::list<AudioChunk> preroll_;
    std::int32_t preroll_samples_ = 0;
    std::int32_t preroll_limit_ = 0;
    double max_sample_ms_ = initial_sample_ms;
    double next_signature_ms_ = initial_sample_ms;
    double last_sample_ms_ = initial_last_sample_ms;
    std::uint64_t start_tick_ = 0;
    bool waiting_ = false;           // a wait is armed
    std::uint64_t recognition_ = 0;  // id of the latest recognition
    bool stream_finished_ = false;
    std::uint64_t signatures_made_ = 0;
    CapturedSignature signature_;
    std::atomic<std::uint32_t> recognition_active_{0};
    std::atomic<std::uint32_t> replay_preroll_{0};

    std::mutex settle_lock_;
    std::condition_variable settled_;
};

}  // namespace VextuneCore::Capture
