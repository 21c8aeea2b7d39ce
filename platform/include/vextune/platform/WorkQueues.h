// Work queues: where the capture's work items run.
//
//   the multithreaded queue (MultithreadedQueue)  start, stop and finish
//        items; any number run at once on the pool's threads
//   locked serial queues (LockSharedWorkQueue)    one item at a time, in
//        order; the capture's "Capture" queue runs its sample-ready item
//
// Startup() and Shutdown() keep a process-wide start count; work can be put
// only while it is above 0. The first Startup starts a pool of threads
// (at least 2, one per hardware thread) and every queue runs its items on
// it; serial queues belong to that pool and are gone after the last
// Shutdown. Items are plain functions: an item that needs an object alive
// holds a strong reference to it in its capture.
//
// Items run outside every lock of the queues: an item may put items, lock
// and unlock queues and cancel keys. An exception that leaves an item is
// caught, reported on stderr with the queue's name and dropped; the thread
// and the queue carry on.
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
// Lowers it; the last shutdown waits for running items, drops queued and
// waiting ones (their watches are removed from their events) and joins the
// pool's threads. S_OK, or E_NOT_STARTED when the count is 0, or
// E_INVALID_STATE for the last shutdown called from a work item, which would
// wait for itself.
HRESULT Shutdown();
// The current count (tests).
int StartCount();

// A serial queue for work items of one class (its name is for diagnostics).
// Each call makes a queue of its own with an id never handed out before;
// unlock it when done. E_NOT_STARTED without a Startup in force.
HRESULT LockSharedWorkQueue(const std::string& name, QueueId* queue);
// Items already on the queue still run; items put after it (and waiting
// items whose event fires after it) are refused or dropped. E_INVALIDARG
// for a queue that is not locked, E_NOT_STARTED without a Startup.
HRESULT UnlockWorkQueue(QueueId queue);

// Runs item on the queue as soon as a thread is free. E_NOT_STARTED
// without a Startup in force, E_INVALIDARG for an unknown queue or an
// empty item.
HRESULT PutWorkItem(QueueId queue, WorkItem item);

// Runs item on the queue once event is set; the item then waits its turn
// on the queue like any other. *key identifies the waiting item for
// CancelWorkItem. The event must outlive the wait. Codes as PutWorkItem
// (also E_INVALIDARG for a null key).
HRESULT PutWaitingWorkItem(Event& event, QueueId queue, WorkItem item, std::uint64_t* key);

// Cancels a waiting item by key (see above). Always S_OK.
HRESULT CancelWorkItem(std::uint64_t key);

}  // namespace VextuneCore::Platform
