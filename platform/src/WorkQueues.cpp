#include "vextune/platform/WorkQueues.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include <asio/post.hpp>
#include <asio/strand.hpp>
#include <asio/thread_pool.hpp>

namespace VextuneCore::Platform {
namespace {

// The threads of one Startup..Shutdown span. closed is raised by the last
// Shutdown so that items still queued are skipped even where Asio would run
// them (a strand runs its ready items back to back); it is declared first so
// that it outlives the handlers the pool destroys.
struct Pool {
    std::atomic<bool> closed{false};
    asio::thread_pool threads;

    Pool() : threads(std::max(2u, std::thread::hardware_concurrency())) {}
};

using Strand = asio::strand<asio::thread_pool::executor_type>;

struct SerialQueue {
    std::string name;
    Strand strand;
};

// A waiting item from PutWaitingWorkItem until it starts, is cancelled or is
// dropped by the last Shutdown.
struct Waiting {
    enum class State { Watching, Fired, Cancelled };

    Event* event;
    QueueId queue;
    WorkItem item;
    std::uint64_t watch = 0;  // the event's id of the watch; 0 until Watch returned
    State state = State::Watching;
};

// Everything below is guarded by lock. Lock order: this lock, then an
// event's lock (Unwatch); events call their watches outside their lock, and
// no item or item destructor ever runs under this lock.
struct Machinery {
    std::mutex lock;
    int start_count = 0;
    std::unique_ptr<Pool> pool;
    std::map<QueueId, SerialQueue> serial;
    QueueId next_queue = MultithreadedQueue + 1;  // ids are never handed out twice
    std::unordered_map<std::uint64_t, std::shared_ptr<Waiting>> waiting;
    std::uint64_t next_key = 1;
};

Machinery& machinery()
{
    static Machinery m;
    return m;
}

// Set while a work item runs on this thread.
thread_local bool in_work_item = false;

constexpr const char* multithreaded_name = "multithreaded";

// Runs one item: skipped once its pool is closed; an exception leaving it is
// reported on stderr and dropped, so the pool thread and the other items
// carry on.
void run_item(const Pool* pool, const std::string& queue_name, WorkItem& item)
{
    if (pool->closed.load(std::memory_order_acquire))
        return;
    in_work_item = true;
    try {
        item();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vextune: a work item on queue \"%s\" threw and was dropped: %s\n", queue_name.c_str(),
                     e.what());
    } catch (...) {
        std::fprintf(stderr, "vextune: a work item on queue \"%s\" threw and was dropped\n", queue_name.c_str());
    }
    in_work_item = false;
}

// Posts a handler to a queue of the current pool. Called under the lock, so
// that the pool cannot be shut down under the post; posting never runs the
// handler inline. False when the queue is unknown.
template <typename Handler>
bool post_locked(Machinery& m, QueueId queue, Handler handler)
{
    if (queue == MultithreadedQueue) {
        asio::post(m.pool->threads, std::move(handler));
        return true;
    }
    auto found = m.serial.find(queue);
    if (found == m.serial.end())
        return false;
    asio::post(found->second.strand, std::move(handler));
    return true;
}

std::string queue_name_locked(const Machinery& m, QueueId queue)
{
    if (queue == MultithreadedQueue)
        return multithreaded_name;
    auto found = m.serial.find(queue);
    return found == m.serial.end() ? std::string() : found->second.name;
}

// The handler of a waiting item whose event fired: runs the item unless it
// was cancelled (or dropped) in the meantime.
void start_waiting(const Pool* pool, const std::string& queue_name, std::uint64_t key)
{
    Machinery& m = machinery();
    std::shared_ptr<Waiting> w;
    {
        std::lock_guard hold(m.lock);
        auto found = m.waiting.find(key);
        if (found == m.waiting.end())
            return;
        w = std::move(found->second);
        m.waiting.erase(found);
    }
    run_item(pool, queue_name, w->item);
}

// The watch of a waiting item: its event was set.
void fire(std::uint64_t key)
{
    Machinery& m = machinery();
    std::shared_ptr<Waiting> dropped;
    std::lock_guard hold(m.lock);
    auto found = m.waiting.find(key);
    if (found == m.waiting.end() || found->second->state != Waiting::State::Watching)
        return;
    Waiting& w = *found->second;
    w.state = Waiting::State::Fired;
    const Pool* pool = m.pool.get();
    auto handler = [pool, name = queue_name_locked(m, w.queue), key] { start_waiting(pool, name, key); };
    if (!post_locked(m, w.queue, std::move(handler))) {
        // The queue was unlocked while the item waited: nowhere to run it.
        dropped = std::move(found->second);
        m.waiting.erase(found);
    }
}

}  // namespace

HRESULT Startup()
{
    Machinery& m = machinery();
    std::lock_guard hold(m.lock);
    if (m.start_count == 0)
        m.pool = std::make_unique<Pool>();
    ++m.start_count;
    return S_OK;
}

HRESULT Shutdown()
{
    Machinery& m = machinery();
    std::unique_ptr<Pool> pool;
    std::map<QueueId, SerialQueue> serial;
    std::unordered_map<std::uint64_t, std::shared_ptr<Waiting>> waiting;
    {
        std::lock_guard hold(m.lock);
        if (m.start_count == 0)
            return E_NOT_STARTED;
        if (m.start_count == 1 && in_work_item)
            return E_INVALID_STATE;  // it would wait for the very item calling it
        if (--m.start_count > 0)
            return S_OK;
        pool = std::move(m.pool);
        pool->closed.store(true, std::memory_order_release);
        serial.swap(m.serial);
        waiting.swap(m.waiting);
        for (auto& [key, w] : waiting) {
            if (w->state == Waiting::State::Watching && w->watch != 0)
                w->event->Unwatch(w->watch);
            w->state = Waiting::State::Cancelled;  // PutWaitingWorkItem unwatches a watch still being made
        }
    }
    // Outside the lock: running items may still put work (and are told
    // E_NOT_STARTED), and the dropped items' destructors may call in.
    pool->threads.stop();
    pool->threads.join();
    serial.clear();
    pool.reset();
    return S_OK;
}

int StartCount()
{
    Machinery& m = machinery();
    std::lock_guard hold(m.lock);
    return m.start_count;
}

HRESULT LockSharedWorkQueue(const std::string& name, QueueId* queue)
{
    if (queue == nullptr)
        return E_INVALIDARG;
    Machinery& m = machinery();
    std::lock_guard hold(m.lock);
    if (m.start_count == 0)
        return E_NOT_STARTED;
    const QueueId id = m.next_queue++;
    m.serial.emplace(id, SerialQueue{name, asio::make_strand(m.pool->threads.get_executor())});
    *queue = id;
    return S_OK;
}

HRESULT UnlockWorkQueue(QueueId queue)
{
    Machinery& m = machinery();
    std::lock_guard hold(m.lock);
    if (m.start_count == 0)
        return E_NOT_STARTED;
    return m.serial.erase(queue) != 0 ? S_OK : E_INVALIDARG;
}

HRESULT PutWorkItem(QueueId queue, WorkItem item)
{
    if (!item)
        return E_INVALIDARG;
    Machinery& m = machinery();
    std::lock_guard hold(m.lock);
    if (m.start_count == 0)
        return E_NOT_STARTED;
    const Pool* pool = m.pool.get();
    auto handler = [pool, name = queue_name_locked(m, queue), item = std::move(item)]() mutable {
        run_item(pool, name, item);
    };
    return post_locked(m, queue, std::move(handler)) ? S_OK : E_INVALIDARG;
}

HRESULT PutWaitingWorkItem(Event& event, QueueId queue, WorkItem item, std::uint64_t* key)
{
    if (!item || key == nullptr)
        return E_INVALIDARG;
    Machinery& m = machinery();
    auto w = std::make_shared<Waiting>(Waiting{&event, queue, std::move(item)});
    std::uint64_t k = 0;
    {
        std::lock_guard hold(m.lock);
        if (m.start_count == 0)
            return E_NOT_STARTED;
        if (queue != MultithreadedQueue && m.serial.find(queue) == m.serial.end())
            return E_INVALIDARG;
        k = m.next_key++;
        m.waiting.emplace(k, w);
    }
    *key = k;
    // Outside the lock: on a set event the watch fires inside Watch.
    const std::uint64_t watch = event.Watch([k] { fire(k); });
    std::lock_guard hold(m.lock);
    if (w->state == Waiting::State::Watching)
        w->watch = watch;
    else if (w->state == Waiting::State::Cancelled)
        event.Unwatch(watch);  // cancelled or shut down while the watch was being made
    return S_OK;
}

HRESULT CancelWorkItem(std::uint64_t key)
{
    Machinery& m = machinery();
    std::shared_ptr<Waiting> cancelled;  // the item is destroyed outside the lock
    std::lock_guard hold(m.lock);
    auto found = m.waiting.find(key);
    if (found == m.waiting.end())
        return S_OK;
    cancelled = std::move(found->second);
    m.waiting.erase(found);
    if (cancelled->state == Waiting::State::Watching && cancelled->watch != 0)
        cancelled->event->Unwatch(cancelled->watch);
    cancelled->state = Waiting::State::Cancelled;
    return S_OK;
}

}  // namespace VextuneCore::Platform
