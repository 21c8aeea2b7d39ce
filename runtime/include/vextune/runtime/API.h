// API: the runtime side's one working class. It opens the microphone,
// starts and stops capture, and hosts the current recognition.
//
// An application makes an API (which raises the platform's start count),
// subscribes to DeviceStateChangedEvent::AddStateChanged, calls
// InitializeCapture and waits for Initialized or InError, StartCapture and
// waits for Capturing, runs recognitions, StopCapture and waits for
// Stopped, and calls Shutdown before dropping the object.
//
// The methods are for one application thread at a time and return at once;
// the capture's work happens on its queues (WASAPICapture). Methods report
// success as true; capture failures arrive as InError through the state
// event.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "vextune/capture/WASAPICapture.h"
#include "vextune/client/HttpTransport.h"
#include "vextune/client/Recognition.h"
#include "vextune/platform/AudioDevices.h"
#include "vextune/platform/Clock.h"

namespace VextuneCore {

// The state event an application subscribes to is the capture's; the
// component offers it under its own name.
using Capture::DeviceState;
using Capture::DeviceStateChangedEvent;
using Capture::DeviceStateChangedEventArgs;
using Capture::DeviceStateChangedHandler;
using Capture::EventRegistrationToken;

struct ApiOptions {
    // Where captures find their device; required.
    std::shared_ptr<Platform::AudioDevices> devices;
    // The tick and wall clock of captures and recognitions; the machine's
    // clocks when empty.
    std::shared_ptr<Platform::Clock> clock;
    // The process's memory limit in bytes; Platform::AppMemoryUsageLimit
    // when empty.
    std::function<std::optional<std::uint64_t>()> memory_limit;
    // The recognitions' HTTP exchanges; libcurl with http_options when
    // empty.
    std::shared_ptr<Client::HttpTransport> http;
    Client::HttpOptions http_options;
    // The network kind recorded with each result; NetworkKind when empty.
    std::function<std::string()> network_kind;
    // Told why each failed attempt of a recognition failed (see
    // RecognitionServices::diagnostics); nothing is said when empty.
    std::function<void(const std::string&)> diagnostics;
};

class API {
public:
    static constexpr std::uint64_t low_memory_limit_bytes = 200000000;

    // Raises the platform's start count; throws Platform::PlatformException
    // when the platform cannot start or no devices are given.
    explicit API(ApiOptions options);
    ~API();
    API(const API&) = delete;
    API& operator=(const API&) = delete;

    // Starts a recognition of request (a JSON request description) over the
    // current capture, cancelling the one before it. Without a capture the
    // operation fails with Client::RecognitionError::Kind::NoCapture.
    std::shared_ptr<Client::RecognitionOperation> RecognizeAsync(const std::string& request);
    // Cancels the current recognition, if any, and wakes its waiter; the
    // capture is touched only when there is one.
    bool CancelRecognition();
    // Replaces the capture: the old one (its recognition cancelled, stopped
    // and drained) is released, a new one activates the default device. A
    // failure to make the capture or to find the device is reported as
    // InError with its code, through a state event of its own when no
    // capture resulted.
    bool InitializeCapture();
    // Releases the capture (stopped and drained first) and lowers the
    // platform's start count, once per object.
    bool Shutdown();
    void StartCapture();
    void StopCapture();
    // Whether the process may use less than 200 000 000 bytes; false when
    // that cannot be read.
    bool IsLowMemoryDevice();

    // The current capture (none before InitializeCapture and after
    // Shutdown), for the recognition and for tools.
    std::shared_ptr<Capture::WASAPICapture> Capture() const;
    // Stores the operation of a new recognition, cancelling the previous
    // one (the recognition client builds the operation).
    void SetCurrentRecognition(std::shared_ptr<Client::AsyncOperation> operation);

private:
    void ReleaseCapture();

    ApiOptions options_;
    mutable std::mutex lock_;  // guards capture_ and current_
    std::shared_ptr<Capture::WASAPICapture> capture_;
    std::shared_ptr<Client::AsyncOperation> current_;
    bool started_ = false;
};

}  // namespace VextuneCore
