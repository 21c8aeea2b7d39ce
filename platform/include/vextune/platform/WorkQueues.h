// Work queues: where the capture's work items run.
//
//   the multithreaded queue (MultithreadedQueue)  start, stop and finish
//        items; any number run at once on the pool's threads
//   locked serial queues (LockSharedWorkQueue)    one item at a time, in
//        order; the capture's "Capture" queue runs its sample-ready item
//
// Startup() and Shutdown() keep a process-wide start count; work can be put
// only while it is above 0. Items are plain functions: an item that needs
// an object alive holds a strong reference to it in its capture.
//
// Keys of waiting items are never reused. Cancelling a key whose item has
// fired and started, finished, or was cancelled before does nothing; an item
// whose event has fired but that has not started yet is dropped unrun. A
// running item is never interrupted.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "vextune/platform/Event.h"
#include "vextune/platform/Result.h"

namespace VextuneCore::Platform {

using WorkItem = std::function<void()>;
using QueueId = std::uint32_t;

// The id of the multithreaded queue.
inline constexpr QueueId MultithreadedQueue = 5;

// Raises the process-wide start count; the first start creates the pool.
HRESULT Startup();
// Lowers it; the last shutdown waits for running items, drops queued ones
// and joins the pool's threads. S_OK, or E_NOT_STARTED when the count is 0.
HRESULT Shutdown();
// The current count (tests).
int StartCount();

// A serial queue for work items of one class (its name is for diagnostics).
// Each call makes a queue of its own; unlock it when done.
HRESULT LockSharedWorkQueue(const std::string& name, QueueId* queue);
HRESULT UnlockWorkQueue(QueueId queue);

// Runs item on the queue as soon as a thread is free.
HRESULT PutWorkItem(QueueId queue, WorkItem item);

// Runs item on the queue once event is set. *key identifies the waiting
// item for CancelWorkItem. The event must outlive the wait.
HRESULT PutWaitingWorkItem(Event& event, QueueId queue, WorkItem item, std::uint64_t* key);

// Cancels a waiting item by key (see above). Always S_OK.
HRESULT CancelWorkItem(std::uint64_t key);

}  // namespace VextuneCore::Platform
