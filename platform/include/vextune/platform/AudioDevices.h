// Audio capture devices: the default capture device of the system, activated
// asynchronously, and the client that delivers its packets.
//
// The interfaces follow the way the capture uses a device: find the default
// capture device, activate it (completion on another thread), read its mix
// format, initialize a shared-mode, event-driven stream with a 20 ms buffer
// in a format the capture chose, then per device event take one packet
// (GetNextPacketSize, GetBuffer, ReleaseBuffer) with its silent and
// discontinuity flags. A raw-processing lookup tells whether the device can
// capture unprocessed audio, and SetClientProperties takes the stream
// options.
//
// Implementations: ScriptedAudioDevices (packets given in advance, failures
// injectable, for tests), FileAudioDevices (an audio file played as the
// capture device) and PulseAudioDevices (a real microphone through the
// PulseAudio protocol, which PipeWire desktops serve too).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "vextune/platform/Event.h"
#include "vextune/platform/Result.h"

namespace VextuneCore::Platform {

inline constexpr std::uint16_t WAVE_FORMAT_PCM = 1;
inline constexpr std::uint16_t WAVE_FORMAT_IEEE_FLOAT = 3;
inline constexpr std::uint16_t WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

// The sub-format of an extensible format.
enum class SubFormat : std::uint8_t { None, Pcm, IeeeFloat, Other };

// A stream format. The extensible tail (cbSize 22) is valid only when
// wFormatTag is WAVE_FORMAT_EXTENSIBLE.
struct WaveFormat {
    std::uint16_t wFormatTag = WAVE_FORMAT_PCM;
    std::uint16_t nChannels = 0;
    std::uint32_t nSamplesPerSec = 0;
    std::uint32_t nAvgBytesPerSec = 0;
    std::uint16_t nBlockAlign = 0;
    std::uint16_t wBitsPerSample = 0;
    std::uint16_t cbSize = 0;
    std::uint16_t wValidBitsPerSample = 0;
    std::uint32_t dwChannelMask = 0;
    SubFormat subFormat = SubFormat::None;

    friend bool operator==(const WaveFormat&, const WaveFormat&) = default;
};

// 16-bit PCM or 32-bit float, interleaved, with the derived fields filled.
WaveFormat PcmFormat(std::uint16_t channels, std::uint32_t rate);
WaveFormat FloatFormat(std::uint16_t channels, std::uint32_t rate, bool extensible = false);

// A float sample (full scale 1.0) as 16-bit PCM: scaled by 32768, rounded
// to nearest (halves away from zero) and clipped to [-32768, 32767]; NaN is
// 0. Exact for samples that came from 16-bit PCM.
std::int16_t FloatToPcm16(float value) noexcept;

// Packet flags of GetBuffer.
inline constexpr std::uint32_t AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY = 0x1;
inline constexpr std::uint32_t AUDCLNT_BUFFERFLAGS_SILENT = 0x2;
// Stream flag of Initialize: the client signals the event per packet.
inline constexpr std::uint32_t AUDCLNT_STREAMFLAGS_EVENTCALLBACK = 0x40000;
// Stream option of the client properties: raw (unprocessed) capture.
inline constexpr std::uint32_t AUDCLNT_STREAMOPTIONS_RAW = 0x1;

enum class ShareMode { Shared, Exclusive };

struct AudioClientProperties {
    std::uint32_t cbSize = 16;
    std::uint32_t bIsOffload = 0;
    std::uint32_t eCategory = 0;
    std::uint32_t Options = 0;
};

// Packets of an initialized, started client. Called from the capture's
// serial queue only.
class AudioCaptureClient {
public:
    virtual ~AudioCaptureClient() = default;
    // Frames in the next packet; 0 when none is ready.
    virtual HRESULT GetNextPacketSize(std::uint32_t* frames) = 0;
    // The next packet: nBlockAlign * frames bytes at *data, valid until
    // ReleaseBuffer. Positions may be 0.
    virtual HRESULT GetBuffer(std::uint8_t** data, std::uint32_t* frames, std::uint32_t* flags,
                              std::uint64_t* device_position, std::uint64_t* qpc_position) = 0;
    // Gives back the packet of the last GetBuffer (frames: its frame count).
    virtual HRESULT ReleaseBuffer(std::uint32_t frames) = 0;
};

// One activated device. Any thread; calls are serialised by the caller.
class AudioClient {
public:
    virtual ~AudioClient() = default;
    virtual HRESULT GetMixFormat(WaveFormat* format) = 0;
    // buffer_duration in 100 ns units. Packets come in format afterwards.
    virtual HRESULT Initialize(ShareMode mode, std::uint32_t stream_flags, std::int64_t buffer_duration,
                               std::int64_t periodicity, const WaveFormat& format) = 0;
    virtual HRESULT GetBufferSize(std::uint32_t* frames) = 0;
    virtual HRESULT GetService(std::shared_ptr<AudioCaptureClient>* capture_client) = 0;
    // The event is set once per packet while the stream runs; it must
    // outlive the client's use of it (until Stop returns, or the client is
    // released).
    virtual HRESULT SetEventHandle(Event* event) = 0;
    virtual HRESULT Start() = 0;
    virtual HRESULT Stop() = 0;
    virtual HRESULT SetClientProperties(const AudioClientProperties& properties) = 0;
};

struct CaptureDeviceInfo {
    std::string id;
    std::string description;
    bool is_default = false;
};

// The system's capture devices.
class AudioDevices {
public:
    virtual ~AudioDevices() = default;
    virtual HRESULT GetDefaultAudioCaptureId(std::string* id) = 0;
    // Activates the device; completion(result, client) runs exactly once,
    // on another thread, after this call has returned S_OK. A failure
    // returned here means completion never runs.
    virtual HRESULT
    ActivateAudioInterfaceAsync(const std::string& id,
                                std::function<void(HRESULT, std::shared_ptr<AudioClient>)> completion) = 0;
    // Whether the device captures unprocessed audio; completion(supported)
    // runs once on another thread, or never when the lookup fails.
    virtual void LookupRawProcessingAsync(const std::string& id, std::function<void(bool supported)> completion) = 0;
    virtual HRESULT ListCaptureDevices(std::vector<CaptureDeviceInfo>* devices) = 0;
};

}  // namespace VextuneCore::Platform
