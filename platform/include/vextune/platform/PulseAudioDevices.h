// Capture devices of a PulseAudio server (PipeWire desktops serve the same
// protocol through pipewire-pulse): its sources, monitors of its sinks
// included.
//
// Each PulseAudioDevices talks to the server through one connection with a
// libpulse threaded mainloop, opened on first use and opened again after the
// server went away. The server is the one libpulse finds by itself
// (PULSE_SERVER, else the socket in XDG_RUNTIME_DIR); no server is ever
// spawned.
//
//   GetDefaultAudioCaptureId   the server's default source, or the source
//                              named at construction (--device NAME);
//                              E_SERVICE_NOT_RUNNING without a server,
//                              E_DEVICE_NOT_FOUND without a default source
//   ActivateAudioInterfaceAsync  looks the source up on the mainloop; the
//                              completion runs on a completion thread of
//                              this object (never the mainloop's, so that it
//                              may call the client at once), with
//                              E_DEVICE_NOT_FOUND for an unknown source
//   ListCaptureDevices         every source; the default flag marks the one
//                              GetDefaultAudioCaptureId names
//   LookupRawProcessingAsync   always false: sources capture processed audio
//
// Clients: the mix format is 32-bit float with the source's channels and
// rate; Initialize takes 16-bit PCM or 32-bit float with those (plain or
// extensible; the server converts) and connects a record stream corked, with
// a fragment of buffer_duration (20 ms when 0), fixed to its source (when
// the source goes away the client is invalidated rather than moved). Start
// uncorks it, Stop corks it again; packets received in between stay queued.
// The client is the device core's (vextune/platform/DeviceCore.h), with its
// rules, codes and overflow policy: packets are cut at the buffer size and
// the queue holds 100 buffers; audio the server itself dropped flags the
// next packet as a discontinuity too. The client's event is set once per
// packet, on the mainloop thread. When the source or the server goes away
// every call of the client returns E_DEVICE_INVALIDATED (and a running
// client's event is set once to tell). SetClientProperties (before
// Initialize) has no effect.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "vextune/platform/AudioDevices.h"

namespace VextuneCore::Platform {

namespace Detail {
class CompletionThread;
class DiagnosticsSink;
class PulseConnection;
}  // namespace Detail

struct PulseDeviceOptions {
    // The name of the source to capture instead of the default one.
    std::string source;
    // Told libpulse's own message beside the code each failure gives, e.g.
    // "PulseAudio: Connection refused (E_SERVICE_NOT_RUNNING)"; one call at a
    // time, on the calling thread or one of the device's (the mainloop's
    // included), and never to call the device back.
    std::function<void(const std::string&)> diagnostics;
};

class PulseAudioDevices final : public AudioDevices {
public:
    // source: the name of the source to capture instead of the default one.
    explicit PulseAudioDevices(std::string source = {});
    explicit PulseAudioDevices(PulseDeviceOptions options);
    ~PulseAudioDevices() override;
    PulseAudioDevices(const PulseAudioDevices&) = delete;
    PulseAudioDevices& operator=(const PulseAudioDevices&) = delete;

    HRESULT GetDefaultAudioCaptureId(std::string* id) override;
    HRESULT ActivateAudioInterfaceAsync(const std::string& id,
                                        std::function<void(HRESULT, std::shared_ptr<AudioClient>)> completion) override;
    void LookupRawProcessingAsync(const std::string& id, std::function<void(bool supported)> completion) override;
    HRESULT ListCaptureDevices(std::vector<CaptureDeviceInfo>* devices) override;

private:
    HRESULT Connect(std::shared_ptr<Detail::PulseConnection>* connection);
    HRESULT DefaultSource(const std::shared_ptr<Detail::PulseConnection>& connection, std::string* name);

    std::string source_;
    std::shared_ptr<Detail::CompletionThread> completions_;
    std::shared_ptr<Detail::DiagnosticsSink> sink_;
    std::mutex lock_;
    std::shared_ptr<Detail::PulseConnection> connection_;  // under lock_
};

}  // namespace VextuneCore::Platform
