#include "vextune/platform/PulseAudioDevices.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "vextune/platform/DeviceCore.h"

namespace VextuneCore::Platform {

namespace {

// Holds the mainloop's lock, unless this is the mainloop's own thread (which
// holds it already while it runs callbacks).
class LoopLock {
public:
    explicit LoopLock(pa_threaded_mainloop* loop) : loop_(pa_threaded_mainloop_in_thread(loop) ? nullptr : loop)
    {
        if (loop_)
            pa_threaded_mainloop_lock(loop_);
    }
    ~LoopLock()
    {
        if (loop_)
            pa_threaded_mainloop_unlock(loop_);
    }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

private:
    pa_threaded_mainloop* loop_;
};

// Disconnects the context and ends the mainloop. Not on the mainloop's thread.
void TearDown(pa_threaded_mainloop* loop, pa_context* context)
{
    if (context) {
        pa_threaded_mainloop_lock(loop);
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_threaded_mainloop_unlock(loop);
    }
    pa_threaded_mainloop_stop(loop);
    if (context)
        pa_context_unref(context);
    pa_threaded_mainloop_free(loop);
}

std::uint64_t Now100ns()
{
    using namespace std::chrono;
    return static_cast<std::uint64_t>(duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count() / 100);
}

struct SourceFormat {
    std::string name;
    pa_sample_spec spec{};
    pa_channel_map map{};
};

}  // namespace

namespace Detail {

// Runs functions in order on a thread of its own. The last owner lets it run
// what is queued and joins it; when that owner is the thread itself (a
// completion dropped the last reference), the thread is detached and ends on
// its own once the queue is empty.
class CompletionThread {
public:
    CompletionThread() : state_(std::make_shared<State>()), thread_([state = state_] { Run(*state); }) {}

    ~CompletionThread()
    {
        {
            std::lock_guard hold(state_->lock);
            state_->stopping = true;
        }
        state_->changed.notify_all();
        if (thread_.get_id() == std::this_thread::get_id())
            thread_.detach();
        else
            thread_.join();
    }

    CompletionThread(const CompletionThread&) = delete;
    CompletionThread& operator=(const CompletionThread&) = delete;

    void Post(std::function<void()> f)
    {
        {
            std::lock_guard hold(state_->lock);
            state_->queue.push_back(std::move(f));
        }
        state_->changed.notify_all();
    }

private:
    struct State {
        std::mutex lock;
        std::condition_variable changed;
        std::deque<std::function<void()>> queue;
        bool stopping = false;
    };

    static void Run(State& state)
    {
        std::unique_lock hold(state.lock);
        for (;;) {
            state.changed.wait(hold, [&] { return state.stopping || !state.queue.empty(); });
            if (state.queue.empty())
                return;
            std::function<void()> f = std::move(state.queue.front());
            state.queue.pop_front();
            hold.unlock();
            f();
            f = nullptr;  // its captures go here, outside the lock
            hold.lock();
        }
    }

    std::shared_ptr<State> state_;  // shared with the thread, which may outlive this object
    std::thread thread_;
};

// The caller's sink, one message at a time: "PulseAudio: " and libpulse's
// message for an error, then the code it became.
class DiagnosticsSink {
public:
    explicit DiagnosticsSink(std::function<void(const std::string&)> sink) : sink_(std::move(sink)) {}

    void Tell(HRESULT code, int error)
    {
        if (!sink_)
            return;
        const std::string message = std::string("PulseAudio: ") + pa_strerror(error) + " (" + ResultName(code) + ")";
        std::lock_guard hold(lock_);
        sink_(message);
    }

private:
    std::mutex lock_;
    const std::function<void(const std::string&)> sink_;
};

// A threaded mainloop and a context connected to the server.
class PulseConnection {
public:
    static HRESULT Open(std::shared_ptr<CompletionThread> completions, std::shared_ptr<DiagnosticsSink> sink,
                        std::shared_ptr<PulseConnection>* out)
    {
        std::shared_ptr<PulseConnection> c(new PulseConnection(std::move(completions), std::move(sink)));
        c->loop_ = pa_threaded_mainloop_new();
        if (!c->loop_)
            return c->Tell(E_OUTOFMEMORY, PA_ERR_INTERNAL);
        c->context_ = pa_context_new(pa_threaded_mainloop_get_api(c->loop_), "Vextune");
        if (!c->context_)
            return c->Tell(E_OUTOFMEMORY, PA_ERR_INTERNAL);
        pa_context_set_state_callback(c->context_, OnState, c.get());
        if (pa_threaded_mainloop_start(c->loop_) < 0)
            return c->Tell(E_FAIL, PA_ERR_INTERNAL);
        {
            LoopLock hold(c->loop_);
            if (pa_context_connect(c->context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
                return c->Tell(E_SERVICE_NOT_RUNNING);
            for (;;) {
                const pa_context_state_t state = pa_context_get_state(c->context_);
                if (state == PA_CONTEXT_READY)
                    break;
                if (!PA_CONTEXT_IS_GOOD(state))
                    return c->Tell(E_SERVICE_NOT_RUNNING);
                pa_threaded_mainloop_wait(c->loop_);
            }
        }
        *out = std::move(c);
        return S_OK;
    }

    ~PulseConnection()
    {
        if (!loop_)
            return;
        if (pa_threaded_mainloop_in_thread(loop_)) {
            // The last reference went on the mainloop's own thread, which
            // cannot end itself: another thread does it.
            if (context_)
                pa_context_set_state_callback(context_, nullptr, nullptr);
            std::thread([loop = loop_, context = context_] { TearDown(loop, context); }).detach();
            return;
        }
        TearDown(loop_, context_);
    }

    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    pa_threaded_mainloop* Loop() const { return loop_; }
    pa_context* Context() const { return context_; }
    const std::shared_ptr<CompletionThread>& Completions() const { return completions_; }
    // Whether the server went away.
    bool Lost() const { return lost_.load(); }

    // Tells the sink PulseAudio's message for error (by default the
    // context's last one) beside code; returns code.
    HRESULT Tell(HRESULT code, int error = -1)
    {
        if (error < 0)
            error = context_ ? pa_context_errno(context_) : PA_ERR_INTERNAL;
        sink_->Tell(code, error);
        return code;
    }
    const std::shared_ptr<DiagnosticsSink>& Sink() const { return sink_; }

    // With the loop locked: waits until op has finished; false when it could
    // not be made or was cancelled (the server went away). Callbacks of the
    // operation signal the loop.
    bool Wait(pa_operation* op)
    {
        if (!op)
            return false;
        while (pa_operation_get_state(op) == PA_OPERATION_RUNNING)
            pa_threaded_mainloop_wait(loop_);
        const bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
        pa_operation_unref(op);
        return done;
    }

private:
    PulseConnection(std::shared_ptr<CompletionThread> completions, std::shared_ptr<DiagnosticsSink> sink)
        : completions_(std::move(completions)), sink_(std::move(sink))
    {}

    static void OnState(pa_context* context, void* user)
    {
        auto* self = static_cast<PulseConnection*>(user);
        const pa_context_state_t state = pa_context_get_state(context);
        if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED)
            self->lost_ = true;
        pa_threaded_mainloop_signal(self->loop_, 0);
    }

    std::shared_ptr<CompletionThread> completions_;
    std::shared_ptr<DiagnosticsSink> sink_;
    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    std::atomic<bool> lost_{false};
};

}  // namespace Detail

namespace {

using Detail::PulseConnection;

// One source, activated: its record stream and the packets it delivered.
class PulseAudioClient final : public DeviceClient {
public:
    PulseAudioClient(std::shared_ptr<PulseConnection> connection, SourceFormat source)
        : connection_(std::move(connection)), source_(std::move(source))
    {}

    ~PulseAudioClient() override
    {
        LoopLock hold(connection_->Loop());
        if (!stream_)
            return;
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_set_read_callback(stream_, nullptr, nullptr);
        pa_stream_set_overflow_callback(stream_, nullptr, nullptr);
        if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_)))
            pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
    }

    PulseAudioClient(const PulseAudioClient&) = delete;
    PulseAudioClient& operator=(const PulseAudioClient&) = delete;

protected:
    // Every call of a client whose source or server went away.
    HRESULT Admit(DeviceCall) override { return invalidated_ || connection_->Lost() ? E_DEVICE_INVALIDATED : S_OK; }

    WaveFormat MixFormat() override { return FloatFormat(source_.spec.channels, source_.spec.rate); }

    HRESULT Open(std::uint32_t, std::int64_t buffer_duration, std::int64_t, const WaveFormat& format,
                 StreamSetup* setup) override
    {
        pa_sample_spec spec = source_.spec;
        if (!SampleFormat(format, &spec.format))
            return E_UNSUPPORTED_FORMAT;
        const std::int64_t duration = buffer_duration > 0 ? buffer_duration : 200000;
        const auto buffer_frames = static_cast<std::uint32_t>(
            std::clamp<std::int64_t>(duration * spec.rate / 10000000, 1, std::int64_t{spec.rate} * 10));

        LoopLock loop(connection_->Loop());
        pa_stream* stream = pa_stream_new(connection_->Context(), "Vextune capture", &spec, &source_.map);
        if (!stream)
            return connection_->Tell(connection_->Lost() ? E_DEVICE_INVALIDATED : E_FAIL);
        pa_stream_set_state_callback(stream, OnStreamState, this);
        pa_stream_set_read_callback(stream, OnRead, this);
        pa_stream_set_overflow_callback(stream, OnOverflow, this);

        pa_buffer_attr attributes;
        attributes.maxlength = static_cast<std::uint32_t>(-1);
        attributes.tlength = static_cast<std::uint32_t>(-1);
        attributes.prebuf = static_cast<std::uint32_t>(-1);
        attributes.minreq = static_cast<std::uint32_t>(-1);
        attributes.fragsize = buffer_frames * format.nBlockAlign;
        const auto flags =
            static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
        bool ready = pa_stream_connect_record(stream, source_.name.c_str(), &attributes, flags) == 0;
        while (ready) {
            const pa_stream_state_t state = pa_stream_get_state(stream);
            if (state == PA_STREAM_READY)
                break;
            if (!PA_STREAM_IS_GOOD(state))
                ready = false;
            else
                pa_threaded_mainloop_wait(connection_->Loop());
        }
        if (!ready) {
            pa_stream_set_state_callback(stream, nullptr, nullptr);
            pa_stream_set_read_callback(stream, nullptr, nullptr);
            pa_stream_set_overflow_callback(stream, nullptr, nullptr);
            pa_stream_unref(stream);
            // The source or the server went away since the activation; the
            // stream's state callback may have told so already.
            bool told = false;
            {
                std::lock_guard hold(lock_);
                told = invalidated_;
                invalidated_ = true;
            }
            return told ? E_DEVICE_INVALIDATED : connection_->Tell(E_DEVICE_INVALIDATED);
        }
        stream_ = stream;
        std::lock_guard hold(lock_);
        packet_frames_ = buffer_frames;
        setup->buffer_frames = buffer_frames;
        setup->queue_frames = std::uint64_t{buffer_frames} * 100;
        return S_OK;
    }

    HRESULT StartStream() override
    {
        LoopLock loop(connection_->Loop());
        pa_operation* op = pa_stream_cork(stream_, 0, nullptr, nullptr);
        if (!op)
            return connection_->Tell(E_DEVICE_INVALIDATED);
        pa_operation_unref(op);
        return S_OK;
    }

    void StopStream() override
    {
        LoopLock loop(connection_->Loop());
        if (pa_operation* op = pa_stream_cork(stream_, 1, nullptr, nullptr))
            pa_operation_unref(op);
    }

private:
    // 16-bit PCM or 32-bit float with the source's channels and rate.
    bool SampleFormat(const WaveFormat& f, pa_sample_format_t* format) const
    {
        if (f.nChannels != source_.spec.channels || f.nSamplesPerSec != source_.spec.rate)
            return false;
        const bool extensible = f.wFormatTag == WAVE_FORMAT_EXTENSIBLE;
        if (extensible && f.wValidBitsPerSample != f.wBitsPerSample)
            return false;
        const bool pcm = f.wFormatTag == WAVE_FORMAT_PCM || (extensible && f.subFormat == SubFormat::Pcm);
        const bool ieee = f.wFormatTag == WAVE_FORMAT_IEEE_FLOAT || (extensible && f.subFormat == SubFormat::IeeeFloat);
        if (pcm && f.wBitsPerSample == 16 && f.nBlockAlign == f.nChannels * 2) {
            *format = PA_SAMPLE_S16LE;
            return true;
        }
        if (ieee && f.wBitsPerSample == 32 && f.nBlockAlign == f.nChannels * 4) {
            *format = PA_SAMPLE_FLOAT32LE;
            return true;
        }
        return false;
    }

    // The mainloop's thread, from here on.

    // Moves what the server delivered into packets and sets the event once
    // per packet.
    static void OnRead(pa_stream* stream, std::size_t /*bytes*/, void* user)
    {
        auto* self = static_cast<PulseAudioClient*>(user);
        std::size_t packets = 0;
        const void* data = nullptr;
        std::size_t bytes = 0;
        while (pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0) {
            {
                std::lock_guard hold(self->lock_);
                if (self->IsRunning())
                    packets += self->Queue().Append(data, bytes, self->packet_frames_, Now100ns());
            }
            pa_stream_drop(stream);
        }
        // Outside lock_, so that the event's waiters may call the client.
        self->Signal(packets);
    }

    static void OnOverflow(pa_stream* /*stream*/, void* user)
    {
        auto* self = static_cast<PulseAudioClient*>(user);
        std::lock_guard hold(self->lock_);
        if (self->Initialized())
            self->Queue().MarkDiscontinuity();
    }

    static void OnStreamState(pa_stream* stream, void* user)
    {
        auto* self = static_cast<PulseAudioClient*>(user);
        const pa_stream_state_t state = pa_stream_get_state(stream);
        if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
            bool told = false;
            {
                std::lock_guard hold(self->lock_);
                told = self->invalidated_;
                self->invalidated_ = true;
            }
            if (!told)
                self->connection_->Tell(E_DEVICE_INVALIDATED, pa_context_errno(pa_stream_get_context(stream)));
            self->Signal(1);  // a running consumer learns it from its next call
        }
        pa_threaded_mainloop_signal(self->connection_->Loop(), 0);
    }

    const std::shared_ptr<PulseConnection> connection_;
    const SourceFormat source_;
    pa_stream* stream_ = nullptr;  // set once in Initialize; used with the loop locked

    // Under lock_, which is taken after the loop's lock, never before it.
    std::uint32_t packet_frames_ = 0;
    bool invalidated_ = false;
};

// A source lookup of ActivateAudioInterfaceAsync, from the call to its
// completion. Owned by the operation's callbacks.
struct Activation {
    std::weak_ptr<PulseConnection> connection;
    std::shared_ptr<Detail::CompletionThread> completions;
    std::shared_ptr<Detail::DiagnosticsSink> sink;
    std::function<void(HRESULT, std::shared_ptr<AudioClient>)> completion;
    std::shared_ptr<std::atomic<bool>> returned;  // the call has returned
    std::optional<SourceFormat> source;
    int error = 0;
};

void OnActivationInfo(pa_context* context, const pa_source_info* info, int eol, void* user)
{
    auto* a = static_cast<Activation*>(user);
    if (eol == 0 && info)
        a->source = SourceFormat{info->name, info->sample_spec, info->channel_map};
    else if (eol < 0)
        a->error = pa_context_errno(context);
}

void OnActivationState(pa_operation* op, void* user)
{
    const pa_operation_state_t state = pa_operation_get_state(op);
    if (state == PA_OPERATION_RUNNING)
        return;
    std::shared_ptr<Activation> a(static_cast<Activation*>(user));
    HRESULT hr = S_OK;
    if (state != PA_OPERATION_DONE || (a->error != 0 && a->error != PA_ERR_NOENTITY))
        hr = E_DEVICE_INVALIDATED;  // the server went away, or failed the lookup
    else if (!a->source)
        hr = E_DEVICE_NOT_FOUND;
    if (Failed(hr))
        a->sink->Tell(hr, a->error != 0                ? a->error
                          : state != PA_OPERATION_DONE ? PA_ERR_CONNECTIONTERMINATED
                                                       : PA_ERR_NOENTITY);
    auto completions = a->completions;
    completions->Post([a = std::move(a), hr]() mutable {
        a->returned->wait(false);
        std::shared_ptr<AudioClient> client;
        if (hr == S_OK) {
            if (auto connection = a->connection.lock(); connection && !connection->Lost()) {
                client = std::make_shared<PulseAudioClient>(std::move(connection), std::move(*a->source));
            } else {
                hr = E_DEVICE_INVALIDATED;
                a->sink->Tell(hr, PA_ERR_CONNECTIONTERMINATED);
            }
        }
        a->completion(hr, std::move(client));
    });
}

struct ServerInfo {
    pa_threaded_mainloop* loop;
    std::string default_source;
};

void OnServerInfo(pa_context* /*context*/, const pa_server_info* info, void* user)
{
    auto* s = static_cast<ServerInfo*>(user);
    if (info && info->default_source_name)
        s->default_source = info->default_source_name;
    pa_threaded_mainloop_signal(s->loop, 0);
}

struct SourceList {
    pa_threaded_mainloop* loop;
    std::vector<CaptureDeviceInfo> sources;
};

void OnSourceListed(pa_context* /*context*/, const pa_source_info* info, int eol, void* user)
{
    auto* list = static_cast<SourceList*>(user);
    if (eol == 0 && info) {
        CaptureDeviceInfo d;
        d.id = info->name;
        d.description = info->description ? info->description : info->name;
        list->sources.push_back(std::move(d));
    }
    pa_threaded_mainloop_signal(list->loop, 0);
}

}  // namespace

PulseAudioDevices::PulseAudioDevices(std::string source) : PulseAudioDevices(PulseDeviceOptions{std::move(source), {}})
{}

PulseAudioDevices::PulseAudioDevices(PulseDeviceOptions options)
    : source_(std::move(options.source)),
      completions_(std::make_shared<Detail::CompletionThread>()),
      sink_(std::make_shared<Detail::DiagnosticsSink>(std::move(options.diagnostics)))
{}

PulseAudioDevices::~PulseAudioDevices() = default;

HRESULT PulseAudioDevices::Connect(std::shared_ptr<PulseConnection>* connection)
{
    std::lock_guard hold(lock_);
    if (connection_ && connection_->Lost())
        connection_.reset();  // the server went away; try again
    if (!connection_) {
        const HRESULT hr = PulseConnection::Open(completions_, sink_, &connection_);
        if (Failed(hr))
            return hr;
    }
    *connection = connection_;
    return S_OK;
}

HRESULT PulseAudioDevices::DefaultSource(const std::shared_ptr<PulseConnection>& connection, std::string* name)
{
    if (!source_.empty()) {
        *name = source_;
        return S_OK;
    }
    ServerInfo info{connection->Loop(), {}};
    {
        LoopLock hold(connection->Loop());
        if (!connection->Wait(pa_context_get_server_info(connection->Context(), OnServerInfo, &info)))
            return connection->Tell(E_SERVICE_NOT_RUNNING);
    }
    if (info.default_source.empty())
        return E_DEVICE_NOT_FOUND;
    *name = std::move(info.default_source);
    return S_OK;
}

HRESULT PulseAudioDevices::GetDefaultAudioCaptureId(std::string* id)
{
    if (!id)
        return E_INVALIDARG;
    std::shared_ptr<PulseConnection> connection;
    const HRESULT hr = Connect(&connection);
    if (Failed(hr))
        return hr;
    return DefaultSource(connection, id);
}

HRESULT
PulseAudioDevices::ActivateAudioInterfaceAsync(const std::string& id,
                                               std::function<void(HRESULT, std::shared_ptr<AudioClient>)> completion)
{
    if (!completion || id.empty())
        return E_INVALIDARG;
    std::shared_ptr<PulseConnection> connection;
    if (const HRESULT hr = Connect(&connection); Failed(hr))
        return hr;

    auto returned = std::make_shared<std::atomic<bool>>(false);
    {
        LoopLock hold(connection->Loop());
        auto* a = new Activation{connection, completions_, connection->Sink(), std::move(completion), returned, {}, 0};
        pa_operation* op = pa_context_get_source_info_by_name(connection->Context(), id.c_str(), OnActivationInfo, a);
        if (!op) {
            delete a;
            return connection->Tell(E_SERVICE_NOT_RUNNING);
        }
        // The loop is locked: the operation cannot finish before its
        // state callback, which owns the activation from here, is set.
        pa_operation_set_state_callback(op, OnActivationState, a);
        pa_operation_unref(op);
    }
    returned->store(true);
    returned->notify_all();
    return S_OK;
}

void PulseAudioDevices::LookupRawProcessingAsync(const std::string& /*id*/,
                                                 std::function<void(bool supported)> completion)
{
    if (completion)
        completions_->Post([completion = std::move(completion)] { completion(false); });
}

HRESULT PulseAudioDevices::ListCaptureDevices(std::vector<CaptureDeviceInfo>* devices)
{
    if (!devices)
        return E_INVALIDARG;
    std::shared_ptr<PulseConnection> connection;
    if (const HRESULT hr = Connect(&connection); Failed(hr))
        return hr;
    std::string default_source;
    if (const HRESULT hr = DefaultSource(connection, &default_source); Failed(hr) && hr != E_DEVICE_NOT_FOUND)
        return hr;
    SourceList list{connection->Loop(), {}};
    {
        LoopLock hold(connection->Loop());
        if (!connection->Wait(pa_context_get_source_info_list(connection->Context(), OnSourceListed, &list)))
            return connection->Tell(E_SERVICE_NOT_RUNNING);
    }
    for (CaptureDeviceInfo& d : list.sources)
        d.is_default = d.id == default_source;
    *devices = std::move(list.sources);
    return S_OK;
}

}  // namespace VextuneCore::Platform
