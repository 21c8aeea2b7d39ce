#include "vextune/capture/WASAPICapture.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

namespace VextuneCore::Capture {

using namespace Platform;

namespace {

using State = DeviceState;

bool IsFloatFormat(const WaveFormat& f)
{
    return f.wFormatTag == WAVE_FORMAT_IEEE_FLOAT ||
           (f.wFormatTag == WAVE_FORMAT_EXTENSIBLE && f.subFormat == SubFormat::IeeeFloat);
}

bool IsPcmFormat(const WaveFormat& f)
{
    return f.wFormatTag == WAVE_FORMAT_PCM || (f.wFormatTag == WAVE_FORMAT_EXTENSIBLE && f.subFormat == SubFormat::Pcm);
}

// The format the stream is opened in: a float mix format becomes 16-bit PCM
// of the same channels and rate; 16-bit PCM stays as it is. Anything else
// (other sample sizes, no channels, a block that does not match) cannot be
// read as 16-bit frames and is refused.
HRESULT StreamFormat(WaveFormat& f)
{
    if (f.nChannels == 0 || f.nSamplesPerSec == 0)
        return E_UNSUPPORTED_FORMAT;
    if (IsFloatFormat(f) && f.wBitsPerSample == 32) {
        f.wFormatTag = WAVE_FORMAT_PCM;
        f.wBitsPerSample = 16;
        f.nBlockAlign = static_cast<std::uint16_t>(f.nChannels * 2);
        f.nAvgBytesPerSec = f.nBlockAlign * f.nSamplesPerSec;
        f.cbSize = 0;
        return S_OK;
    }
    if (IsPcmFormat(f) && f.wBitsPerSample == 16 && f.nBlockAlign == f.nChannels * 2)
        return S_OK;
    return E_UNSUPPORTED_FORMAT;
}

}  // namespace

std::shared_ptr<WASAPICapture> WASAPICapture::Create(std::shared_ptr<AudioDevices> devices,
                                                     std::shared_ptr<Clock> clock)
{
    return std::shared_ptr<WASAPICapture>(new WASAPICapture(std::move(devices), std::move(clock)));
}

WASAPICapture::WASAPICapture(std::shared_ptr<AudioDevices> devices, std::shared_ptr<Clock> clock)
    : devices_(std::move(devices)), clock_(std::move(clock)), state_(std::make_shared<DeviceStateChangedEvent>())
{
    if (!devices_ || !clock_)
        throw PlatformException(E_INVALIDARG, "a capture needs devices and a clock");
    if (const HRESULT hr = LockSharedWorkQueue("Capture", &queue_); Failed(hr))
        throw PlatformException(hr, "cannot lock the capture work queue");
}

WASAPICapture::~WASAPICapture()
{
    // Nothing queued refers to this object any more: every item holds a
    // strong reference. The device may still hold the event until Stop.
    if (audio_client_)
        audio_client_->Stop();
    UnlockWorkQueue(queue_);
}

HRESULT WASAPICapture::InitializeAudioDevice()
{
    HRESULT hr = devices_->GetDefaultAudioCaptureId(&device_id_);
    if (Succeeded(hr)) {
        auto self = shared_from_this();
        hr = devices_->ActivateAudioInterfaceAsync(device_id_,
                                                   [self](HRESULT result, std::shared_ptr<AudioClient> client) {
                                                       self->ActivateCompleted(result, std::move(client));
                                                   });
    }
    if (Failed(hr))
        EnterError(hr);
    return hr;
}

void WASAPICapture::ActivateCompleted(HRESULT result, std::shared_ptr<AudioClient> client)
{
    if (Failed(result))
        return ErrorExit(result);
    if (!client)
        return ErrorExit(E_FAIL);

    // Raw capture where the device offers it; not awaited, so the options
    // may arrive before or after the stream is initialized.
    devices_->LookupRawProcessingAsync(device_id_, [client](bool supported) {
        AudioClientProperties properties;
        properties.bIsOffload = 1;
        properties.eCategory = 1;
        properties.Options = supported ? AUDCLNT_STREAMOPTIONS_RAW : 0;
        client->SetClientProperties(properties);
    });

    if (const HRESULT hr = ConfigureDevice(client); Failed(hr))
        return ErrorExit(hr);
    state_->SetStateFrom({State::Uninitialized}, State::Initialized, S_OK, true);
    settled_.notify_all();
}

HRESULT WASAPICapture::ConfigureDevice(const std::shared_ptr<AudioClient>& client)
{
    WaveFormat format;
    if (const HRESULT hr = client->GetMixFormat(&format); Failed(hr))
        return hr;
    if (const HRESULT hr = StreamFormat(format); Failed(hr))
        return hr;
    if (const HRESULT hr =
            client->Initialize(ShareMode::Shared, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, buffer_duration_hns, 0, format);
        Failed(hr))
        return hr;

    vxt::engine_handle engine;
    try {
        engine = vxt::create_engine(2, static_cast<std::int32_t>(format.nSamplesPerSec), 0);
    } catch (const vxt::VXT_Exception&) {
        return E_UNSUPPORTED_FORMAT;  // a rate the engine does not take
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    auto clock = clock_;
    vxt::set_wall_clock(engine, [clock] { return clock->WallClockUs(); });

    std::uint32_t buffer_frames = 0;
    std::shared_ptr<AudioCaptureClient> capture_client;
    if (const HRESULT hr = client->GetBufferSize(&buffer_frames); Failed(hr))
        return hr;
    if (const HRESULT hr = client->GetService(&capture_client); Failed(hr))
        return hr;
    if (!capture_client)
        return E_NOINTERFACE;
    if (const HRESULT hr = client->SetEventHandle(&sample_ready_); Failed(hr))
        return hr;

    std::lock_guard hold(lock_);
    engine_ = std::move(engine);
    preroll_limit_ = preroll_seconds * static_cast<std::int32_t>(format.nSamplesPerSec);
    format_ = format;
    audio_client_ = client;
    capture_client_ = std::move(capture_client);
    return S_OK;
}

// Activation failed: the capture holds no device afterwards, so a later
// stop does not call into one and a later start fails.
void WASAPICapture::ErrorExit(HRESULT result)
{
    std::shared_ptr<AudioClient> client;
    {
        std::lock_guard hold(lock_);
        client = std::move(audio_client_);
        capture_client_.reset();
    }
    EnterError(result);
}

void WASAPICapture::EnterError(HRESULT result)
{
    state_->SetState(State::InError, result, true);
    settled_.notify_all();
}

HRESULT WASAPICapture::StartCaptureAsync()
{
    if (!state_->SetStateFrom({State::Initialized, State::Stopped}, State::Starting, S_OK, true))
        return E_INVALID_STATE;
    auto self = shared_from_this();
    const HRESULT hr = PutWorkItem(MultithreadedQueue, [self] { self->OnStartCapture(); });
    if (Failed(hr))
        EnterError(hr);
    return hr;
}

HRESULT WASAPICapture::StopCaptureAsync()
{
    if (!state_->SetStateFrom({State::Capturing, State::Discontinuity, State::InError}, State::StopRequested, S_OK,
                              true))
        return E_INVALID_STATE;
    auto self = shared_from_this();
    const HRESULT hr = PutWorkItem(MultithreadedQueue, [self] { self->OnStopCapture(); });
    if (Failed(hr))
        EnterError(hr);
    return hr;
}

void WASAPICapture::OnStartCapture()
{
    HRESULT hr = E_NOT_INITIALIZED;
    {
        std::lock_guard hold(lock_);
        if (audio_client_)
            hr = audio_client_->Start();
        start_tick_ = clock_->TickMs();
        if (engine_)
            vxt::reset_engine(engine_);
        preroll_.clear();
        preroll_samples_ = 0;
        stream_finished_ = false;
    }
    if (Failed(hr))
        return EnterError(hr);
    if (!state_->SetStateFrom({State::Starting}, State::Capturing, S_OK, true))
        return;
    if (const HRESULT armed = ArmSampleReady(); Failed(armed))
        EnterError(armed);
}

// Queues the sample-ready item for the next device event, unless the
// capture has left Capturing: the check and the queueing happen under
// key_lock_, which the stop takes before it cancels the key, so no item is
// queued behind the stop's back.
HRESULT WASAPICapture::ArmSampleReady()
{
    std::lock_guard hold(key_lock_);
    if (state_->GetState() != State::Capturing)
        return S_OK;
    auto self = shared_from_this();
    return PutWaitingWorkItem(
        sample_ready_, queue_, [self] { self->OnSampleReadyItem(); }, &sample_ready_key_);
}

void WASAPICapture::OnSampleReadyItem()
{
    bool discontinuity = false;
    const HRESULT hr = OnSampleReady(discontinuity);
    // Raised with no lock held: the state stays Discontinuity while the
    // handlers run, then returns to Capturing unless a stop came first.
    if (discontinuity) {
        state_->Raise(State::Discontinuity, S_OK);
        state_->SetStateFrom({State::Discontinuity}, State::Capturing, S_OK, false);
    }
    if (Failed(hr)) {
        if (state_->SetStateFrom({State::Capturing, State::Discontinuity}, State::InError, hr, true))
            settled_.notify_all();
        return;
    }
    if (const HRESULT armed = ArmSampleReady(); Failed(armed))
        EnterError(armed);
}

HRESULT WASAPICapture::OnSampleReady(bool& discontinuity)
{
    std::lock_guard hold(lock_);
    const State state = state_->GetState();
    if (state == State::StopRequested || state == State::Stopping || !capture_client_)
        return S_OK;

    std::uint32_t frames = 0;
    if (const HRESULT hr = capture_client_->GetNextPacketSize(&frames); Failed(hr))
        return hr;
    if (frames == 0)
        return S_OK;

    std::uint8_t* data = nullptr;
    std::uint32_t flags = 0;
    std::uint64_t device_position = 0;
    std::uint64_t qpc_position = 0;
    if (const HRESULT hr = capture_client_->GetBuffer(&data, &frames, &flags, &device_position, &qpc_position);
        Failed(hr))
        return hr;

    if ((flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY) &&
        state_->SetStateFrom({State::Capturing}, State::Discontinuity, S_OK, false))
        discontinuity = true;

    // Channel 0 of each 16-bit frame; a silent packet is zeros whatever
    // its bytes hold.
    const std::size_t channels = format_.nChannels;
    AudioChunk chunk;
    chunk.samples.resize(frames);
    if (!(flags & AUDCLNT_BUFFERFLAGS_SILENT) && data) {
        const std::uint8_t* p = data;
        for (std::uint32_t i = 0; i < frames; ++i, p += channels * 2)
            std::memcpy(&chunk.samples[i], p, sizeof(std::int16_t));
    }

    // The pre-roll drops whole chunks from its head, but never the chunk
    // just added, however large.
    const auto count = static_cast<std::int32_t>(frames);
    preroll_.push_back(std::move(chunk));
    preroll_samples_ += count;
    while (preroll_samples_ > preroll_limit_ && preroll_.size() > 1) {
        preroll_samples_ -= static_cast<std::int32_t>(preroll_.front().samples.size());
        preroll_.pop_front();
    }

    if (recognition_active_.load() != 0 && engine_) {
        const AudioChunk& newest = preroll_.back();
        if (replay_preroll_.load() == 0) {
            vxt::feed_samples(engine_, newest.samples.data(), count);
        } else {
            vxt::reset_engine(engine_);
            std::uint32_t replayed = 0;
            for (const AudioChunk& c : preroll_) {
                vxt::feed_samples(engine_, c.samples.data(), static_cast<std::int32_t>(c.samples.size()));
                replayed += static_cast<std::uint32_t>(c.samples.size());
            }
            replay_preroll_.exchange(0);
            // The pre-roll counts towards the sample time in whole seconds.
            start_tick_ -= std::uint64_t{replayed / format_.nSamplesPerSec} * 1000;
        }
        const auto elapsed = static_cast<double>(clock_->TickMs() - start_tick_);
        const bool due = elapsed > next_signature_ms_ || elapsed > max_sample_ms_;
        if (due && waiting_)
            MakeSignature(elapsed, false);
    }

    return capture_client_->ReleaseBuffer(frames);
}

void WASAPICapture::MakeSignature(double elapsed_ms, bool final)
{
    if (!engine_ || vxt::get_signature(engine_, signature_.bytes, 0.0) != vxt::result_ok)
        signature_.bytes.clear();  // never partial bytes
    signature_.sample_ms = elapsed_ms;
    signature_.final = final;
    last_sample_ms_ = elapsed_ms;
    next_signature_ms_ = max_sample_ms_;
    waiting_ = false;
    ++signatures_made_;
    signature_made_.notify_all();
}

void WASAPICapture::FinishStream()
{
    std::lock_guard hold(lock_);
    stream_finished_ = true;
    if (waiting_ && recognition_active_.load() != 0)
        MakeSignature(static_cast<double>(clock_->TickMs() - start_tick_), true);
}

void WASAPICapture::OnStopCapture()
{
    {
        std::lock_guard hold(key_lock_);
        if (sample_ready_key_ != 0) {
            CancelWorkItem(sample_ready_key_);
            sample_ready_key_ = 0;
        }
    }
    {
        // Under the capture lock: a sample-ready item already running
        // finishes its packet first, and none runs after this.
        std::lock_guard hold(lock_);
        if (audio_client_)
            audio_client_->Stop();
        preroll_.clear();
        preroll_samples_ = 0;
    }
    if (!state_->SetStateFrom({State::StopRequested}, State::Stopping, S_OK, true))
        return;
    auto self = shared_from_this();
    if (const HRESULT hr = PutWorkItem(MultithreadedQueue, [self] { self->OnFinishCapture(); }); Failed(hr))
        EnterError(hr);
}

void WASAPICapture::OnFinishCapture()
{
    state_->SetStateFrom({State::Stopping}, State::Stopped, S_OK, true);
    settled_.notify_all();
}

void WASAPICapture::StopAndDrain()
{
    EndRecognition();
    bool stop_sent = false;
    std::unique_lock hold(settle_lock_);
    for (;;) {
        const State state = state_->GetState();
        if (state == State::Stopped || state == State::Initialized || state == State::Uninitialized)
            return;
        if (state == State::InError && stop_sent)
            return;  // the stop itself failed
        if (!stop_sent && (state == State::Capturing || state == State::Discontinuity || state == State::InError)) {
            hold.unlock();
            stop_sent = Succeeded(StopCaptureAsync()) || state_->GetState() == State::InError;
            hold.lock();
            continue;
        }
        // Starting, StopRequested, Stopping: the work items move on by
        // themselves; look again when they do.
        settled_.wait_for(hold, std::chrono::milliseconds(20));
    }
}

std::uint64_t WASAPICapture::BeginRecognition(double min_sample_ms, double max_sample_ms)
{
    std::lock_guard hold(lock_);
    ++recognition_;
    signature_made_.notify_all();  // a replaced recognition's wait ends
    max_sample_ms_ = max_sample_ms;
    next_signature_ms_ = min_sample_ms;
    start_tick_ = clock_->TickMs();
    waiting_ = false;
    replay_preroll_.exchange(1);
    recognition_active_.exchange(1);
    return recognition_;
}

std::optional<CapturedSignature> WASAPICapture::WaitForSignature(std::uint64_t recognition,
                                                                 std::optional<double> due_ms, std::stop_token stop)
{
    std::unique_lock hold(lock_);
    const auto current = [&] { return recognition_ == recognition && recognition_active_.load() != 0; };
    if (!current() || stop.stop_requested())
        return std::nullopt;
    if (due_ms)
        next_signature_ms_ = *due_ms;
    const std::uint64_t before = signatures_made_;
    waiting_ = true;
    signature_made_.notify_all();  // for WaitUntilArmed
    if (stream_finished_)          // nothing more will come: all there is, now
        MakeSignature(static_cast<double>(clock_->TickMs() - start_tick_), true);
    signature_made_.wait(hold, stop, [&] { return signatures_made_ != before || !current(); });
    if (recognition_ == recognition)
        waiting_ = false;
    if (signatures_made_ == before || !current())
        return std::nullopt;
    return signature_;
}

void WASAPICapture::EndRecognition(std::uint64_t recognition)
{
    std::lock_guard hold(lock_);
    if (recognition != recognition_)
        return;
    recognition_active_.exchange(0);
    waiting_ = false;
    signature_made_.notify_all();
}

void WASAPICapture::EndRecognition()
{
    std::lock_guard hold(lock_);
    recognition_active_.exchange(0);
    waiting_ = false;
    signature_made_.notify_all();
}

double WASAPICapture::MaxSampleMs()
{
    std::lock_guard hold(lock_);
    return max_sample_ms_;
}

double WASAPICapture::LastSampleMs()
{
    std::lock_guard hold(lock_);
    return last_sample_ms_;
}

std::int32_t WASAPICapture::PrerollSamples()
{
    std::lock_guard hold(lock_);
    return preroll_samples_;
}

std::size_t WASAPICapture::PrerollChunks()
{
    std::lock_guard hold(lock_);
    return preroll_.size();
}

WaveFormat WASAPICapture::Format()
{
    std::lock_guard hold(lock_);
    return format_;
}

std::uint64_t WASAPICapture::SignaturesMade()
{
    std::lock_guard hold(lock_);
    return signatures_made_;
}

bool WASAPICapture::WaitArmed()
{
    std::lock_guard hold(lock_);
    return waiting_;
}

// waiting_ is only ever true for the active recognition: beginning,
// replacing and ending all clear it under the capture lock.
bool WASAPICapture::WaitUntilArmed(std::uint64_t recognition, std::stop_token stop, std::chrono::seconds timeout)
{
    std::unique_lock hold(lock_);
    const auto current = [&] { return recognition_ == recognition && recognition_active_.load() != 0; };
    signature_made_.wait_for(hold, stop, timeout, [&] { return waiting_ || !current(); });
    return waiting_ && current();
}

bool WASAPICapture::WaitUntilArmed(std::stop_token stop, std::chrono::seconds timeout)
{
    std::unique_lock hold(lock_);
    return signature_made_.wait_for(hold, stop, timeout, [&] { return waiting_; });
}

}  // namespace VextuneCore::Capture
