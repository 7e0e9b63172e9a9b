// Timer queues: one-shot (and periodic) timers whose callbacks run on the
// queue's own thread. The shape follows the calls the subscription engine
// makes for its reconnect timers. A queue is created and deleted by its owner
// (the dispatcher); timers may be created and deleted from any thread,
// including from inside a callback of the same queue.
//
// DESIGN
//   Threads: one per queue. It sleeps on a condition variable until the
//   earliest due time (timers ordered by due time, then by creation), runs
//   that timer's callback without holding the queue's lock, and repeats.
//   Callbacks of one queue therefore never overlap, and a timer's callback
//   runs once per period, after its due time.
//   Handles: CreateTimerQueueTimer stores the new handle through its first
//   argument before the timer is armed, so a callback that reads the handle
//   from its parameter record (pass the address of the record's own field)
//   always finds it, even with a due time of 0.
//   Deletion: deleting a timer takes it out of the queue at once; its
//   callback will not start again. The completion argument decides whether
//   the call waits for a callback of that timer that is running:
//   nullptr does not wait, WAIT_FOR_TIMER_CALLBACKS waits. On the queue's own
//   thread (inside a callback) nothing is waited for, since no other
//   callback can be running; this is what makes deleting a timer from its
//   own callback safe. Deleting the queue cancels every pending timer
//   without calling it and frees every timer handle of the queue.
//   DeleteTimerQueue waits for a callback that is running.
#pragma once

#include <cstdint>

namespace platform {

struct TimerQueue;
struct TimerQueueTimer;
using TimerQueueHandle = TimerQueue*;
using TimerHandle = TimerQueueTimer*;

// parameter is the creator's; timerOrWaitFired is always true for timers.
using TimerCallback = void (*)(void* parameter, bool timerOrWaitFired);

// Flags of CreateTimerQueueTimer. Every callback runs on the queue's thread
// whatever the flags; kTimerExecuteOnlyOnce ignores the period.
constexpr uint32_t kTimerExecuteDefault = 0x00000000;
constexpr uint32_t kTimerExecuteInTimerThread = 0x00000020;
constexpr uint32_t kTimerExecuteOnlyOnce = 0x00000008;

// The completion argument of the delete calls.
struct TimerCompletionTag;
using TimerCompletion = TimerCompletionTag*;
extern TimerCompletion const WAIT_FOR_TIMER_CALLBACKS;

// Creates a queue and its thread; null when either cannot be created.
TimerQueueHandle CreateTimerQueue();

// Creates a timer that calls callback(parameter, true) on the queue's thread
// dueMs milliseconds from now (0: as soon as possible), and then every
// periodMs milliseconds when periodMs is not 0. *newTimer receives the
// handle before the timer can fire. False (and *newTimer untouched) when the
// queue is null or being deleted, or callback or newTimer is null. The
// handle stays valid until DeleteTimerQueueTimer or the queue's deletion.
bool CreateTimerQueueTimer(TimerHandle* newTimer, TimerQueueHandle queue, TimerCallback callback,
                           void* parameter, uint32_t dueMs, uint32_t periodMs = 0,
                           uint32_t flags = kTimerExecuteDefault);

// Cancels the timer and frees its handle; waits for its running callback
// when completion is WAIT_FOR_TIMER_CALLBACKS (see DESIGN). False when the
// timer is not (or no longer) a timer of this queue.
bool DeleteTimerQueueTimer(TimerQueueHandle queue, TimerHandle timer, TimerCompletion completion);

// Cancels every pending timer, ends the queue's thread and frees the queue.
// With WAIT_FOR_TIMER_CALLBACKS, returns after a callback that is running
// has returned; with nullptr it returns at once and the thread frees the
// queue after that callback. Called from a callback of this queue, it never
// waits; the queue is freed when the callback returns. False for a null
// queue.
bool DeleteTimerQueueEx(TimerQueueHandle queue, TimerCompletion completion);

// DeleteTimerQueueEx(queue, WAIT_FOR_TIMER_CALLBACKS).
bool DeleteTimerQueue(TimerQueueHandle queue);

}  // namespace platform
