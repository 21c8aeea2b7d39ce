#include "vextune/runtime/API.h"

#include <utility>

#include "vextune/platform/SystemMemory.h"
#include "vextune/platform/WorkQueues.h"

namespace VextuneCore {

using namespace Platform;
using Capture::WASAPICapture;
using Client::AsyncOperation;
using Client::RecognitionOperation;
using Client::RecognitionServices;

API::API(ApiOptions options) : options_(std::move(options))
{
    if (!options_.devices)
        throw PlatformException(E_INVALIDARG, "the API needs audio devices");
    if (!options_.clock)
        options_.clock = SystemClock();
    if (!options_.memory_limit)
        options_.memory_limit = [] { return AppMemoryUsageLimit(); };
    if (!options_.http)
        options_.http = Client::MakeCurlTransport(options_.http_options);
    if (const HRESULT hr = Startup(); Failed(hr))
        throw PlatformException(hr, "cannot start the platform");
    started_ = true;
}

API::~API()
{
    if (started_)
        Shutdown();
}

std::shared_ptr<RecognitionOperation> API::RecognizeAsync(const std::string& request)
{
    RecognitionServices services;
    services.http = options_.http;
    services.clock = options_.clock;
    services.network_kind = options_.network_kind;
    services.diagnostics = options_.diagnostics;
    auto operation = RecognitionOperation::Start(request, Capture(), std::move(services));
    SetCurrentRecognition(operation);
    return operation;
}

bool API::CancelRecognition()
{
    std::shared_ptr<AsyncOperation> operation;
    std::shared_ptr<WASAPICapture> capture;
    {
        std::lock_guard hold(lock_);
        operation = current_;
        capture = capture_;
    }
    if (!operation)
        return true;
    operation->Cancel();
    if (capture)
        capture->EndRecognition();
    return true;
}

bool API::InitializeCapture()
{
    ReleaseCapture();
    std::shared_ptr<WASAPICapture> capture;
    try {
        capture = WASAPICapture::Create(options_.devices, options_.clock);
    } catch (const PlatformException& e) {
        // No capture resulted, so no capture can report it: a state event of
        // its own tells the application, which would otherwise wait for ever.
        DeviceStateChangedEvent orphan;
        orphan.SetState(DeviceState::InError, e.Result(), true);
        return true;
    }
    {
        std::lock_guard hold(lock_);
        capture_ = capture;
    }
    capture->InitializeAudioDevice();
    return true;
}

bool API::Shutdown()
{
    ReleaseCapture();
    if (started_) {
        started_ = false;
        Platform::Shutdown();
    }
    return true;
}

void API::StartCapture()
{
    if (auto capture = Capture())
        capture->StartCaptureAsync();
}

void API::StopCapture()
{
    auto capture = Capture();
    if (!capture)
        return;
    CancelRecognition();
    capture->StopCaptureAsync();
}

bool API::IsLowMemoryDevice()
{
    const auto limit = options_.memory_limit();
    return limit && *limit < low_memory_limit_bytes;
}

std::shared_ptr<WASAPICapture> API::Capture() const
{
    std::lock_guard hold(lock_);
    return capture_;
}

void API::SetCurrentRecognition(std::shared_ptr<AsyncOperation> operation)
{
    std::shared_ptr<AsyncOperation> previous;
    {
        std::lock_guard hold(lock_);
        previous = std::exchange(current_, std::move(operation));
    }
    if (previous)
        previous->Cancel();
}

// The capture field is cleared first, then the old capture's recognition
// is cancelled and it is stopped and drained, so that nothing of it runs
// once it is released.
void API::ReleaseCapture()
{
    std::shared_ptr<WASAPICapture> old;
    std::shared_ptr<AsyncOperation> operation;
    {
        std::lock_guard hold(lock_);
        old = std::exchange(capture_, nullptr);
        operation = current_;
    }
    if (!old)
        return;
    if (operation)
        operation->Cancel();
    old->StopAndDrain();
}

}  // namespace VextuneCore
