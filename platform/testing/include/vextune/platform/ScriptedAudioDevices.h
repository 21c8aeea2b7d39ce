// A capture device that plays a script given in advance, for tests of the
// capture. A test fake: it lives in vxt_platform_testing, which no
// production binary links.
//
// The script fixes the default device id (or that there is none), the mix
// format, the raw-processing answer, the packets and the calls that fail.
// The test steps the device: DeliverNext() makes the next packet available
// to the running client and sets the client's event, from the test's
// thread, while the capture consumes on its own. Everything the client was
// asked to do is recorded for the test to check.
//
// Activations and raw-processing lookups complete on threads of the device,
// never inside the call; the destructor (or WaitForCompletions) joins them.
//
// The client is the device core's (vextune/platform/DeviceCore.h), with its
// rules and codes; it takes any format of channels, a rate and a matching
// block align, and its queue has no bound. An injected failure returns its
// code and changes nothing else.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vextune/platform/AudioDevices.h"
#include "vextune/platform/Clock.h"
#include "vextune/platform/DeviceCore.h"

namespace VextuneCore::Platform {

// One packet as the device delivers it. bytes are in the format the client
// was initialized with; a packet whose bytes are shorter or longer than
// frames * nBlockAlign is delivered zero-padded or cut to that size. A
// packet of 0 frames sets the event with nothing to read.
struct ScriptedPacket {
    std::uint32_t frames = 0;
    std::vector<std::uint8_t> bytes;
    std::uint32_t flags = 0;
};

// 16-bit PCM packets from samples (stereo: both channels as long as the
// shorter; interleaved: frames = samples / channels).
ScriptedPacket StereoPacket(const std::vector<std::int16_t>& left, const std::vector<std::int16_t>& right,
                            std::uint32_t flags = 0);
ScriptedPacket MonoPacket(const std::vector<std::int16_t>& samples, std::uint32_t flags = 0);
ScriptedPacket Pcm16Packet(const std::vector<std::int16_t>& interleaved, std::uint16_t channels,
                           std::uint32_t flags = 0);
// 32-bit float packet from interleaved samples.
ScriptedPacket FloatPacket(const std::vector<float>& interleaved, std::uint16_t channels, std::uint32_t flags = 0);
// frames of zero bytes flagged AUDCLNT_BUFFERFLAGS_SILENT.
ScriptedPacket SilentPacket(std::uint32_t frames, std::uint16_t block_align);
// An event with no packet behind it.
ScriptedPacket EmptyPacket();

enum class RawProcessing { Supported, Unsupported, LookupFails };

struct DeviceScript {
    // Nothing: the system has no default capture device
    // (GetDefaultAudioCaptureId gives E_DEVICE_NOT_FOUND).
    std::optional<std::string> default_id = std::string("scripted-capture");
    WaveFormat mix_format = FloatFormat(2, 48000);
    RawProcessing raw = RawProcessing::Unsupported;
    std::vector<ScriptedPacket> packets;
    // GetBufferSize's answer; 0: the initialized duration at the stream's rate.
    std::uint32_t buffer_frames = 0;
    // Advanced by each delivered packet's duration at the stream's rate
    // (milliseconds, rounded so that the total never drifts).
    std::shared_ptr<SimulatedClock> clock;

    struct Failure {
        DeviceCall call;
        std::uint32_t nth;  // 1 = the first call
        HRESULT code;
        bool and_after;  // every call from the nth on
    };
    std::vector<Failure> failures;

    // The nth call of call (1 = first) returns code.
    DeviceScript& Fail(DeviceCall call, std::uint32_t nth, HRESULT code);
    // The nth and every later call of call return code.
    DeviceScript& FailFrom(DeviceCall call, std::uint32_t nth, HRESULT code);
};

class ScriptedAudioDevices final : public AudioDevices {
public:
    explicit ScriptedAudioDevices(DeviceScript script);
    ~ScriptedAudioDevices() override;
    ScriptedAudioDevices(const ScriptedAudioDevices&) = delete;
    ScriptedAudioDevices& operator=(const ScriptedAudioDevices&) = delete;

    HRESULT GetDefaultAudioCaptureId(std::string* id) override;
    HRESULT ActivateAudioInterfaceAsync(const std::string& id,
                                        std::function<void(HRESULT, std::shared_ptr<AudioClient>)> completion) override;
    void LookupRawProcessingAsync(const std::string& id, std::function<void(bool supported)> completion) override;
    HRESULT ListCaptureDevices(std::vector<CaptureDeviceInfo>* devices) override;

    // Stepping (any thread). DeliverNext gives the next scripted packet to
    // the client activated last and sets its event; false, and nothing
    // happens, when the script is used up or that client is not running.
    bool DeliverNext();
    // Delivers until DeliverNext returns false; the number delivered.
    std::size_t DeliverAll();
    std::size_t PacketsLeft() const;
    // Waits until every delivered packet has been released; false when the
    // timeout passed first (a safety net against a hung test, not a timing).
    bool WaitUntilConsumed(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Joins the threads of the activations and lookups made so far.
    void WaitForCompletions();

    // What the clients were asked, in order (all clients of this device).
    std::vector<DeviceCall> Calls() const;
    std::size_t CallCount(DeviceCall call) const;
    struct InitializeArguments {
        ShareMode mode;
        std::uint32_t stream_flags;
        std::int64_t buffer_duration;
        std::int64_t periodicity;
        WaveFormat format;
    };
    // The arguments of the last successful Initialize.
    std::optional<InitializeArguments> Initialized() const;
    // The frame count of every successful ReleaseBuffer, in order.
    std::vector<std::uint32_t> ReleasedFrames() const;
    std::vector<AudioClientProperties> PropertiesSet() const;
    // Every SetClientProperties argument, accepted or not (a client refuses
    // them once initialized, as the lookup may come late).
    std::vector<AudioClientProperties> PropertiesAsked() const;
    // Whether the client activated last is running.
    bool Running() const;
    // Packets delivered and not yet released.
    std::size_t PacketsPending() const;

    class Core;

private:
    std::shared_ptr<Core> core_;
};

}  // namespace VextuneCore::Platform
