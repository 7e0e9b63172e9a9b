// RSAbstractThread: the base of every worker thread (dispatcher, connector
// and query threads). It owns one OS thread that runs the derived class's
// run(), and gives the owner a control surface serialised by an internal
// re-entrant mutex: start, terminate, stop with a deadline, suspend, resume,
// priority and thread times. Threads may form a tree; a parent starts,
// stops, suspends and resumes its children with it. Created, started,
// stopped and destroyed by its owner; control operations may be called from
// any thread.
//
// DESIGN
//   Threads: the owner's (control calls) and the object's own OS thread,
//   which runs run() and then the end of the entry routine. The end of the
//   entry routine takes the internal mutex in 10 ms slices so that it never
//   blocks an owner that holds the mutex inside stop(): stop() sets the
//   terminate request first, and the thread then ends without the mutex.
//   Ordering: a parent's mutex is taken before its children's (start,
//   terminate, stop, suspend, resume walk the children under it);
//   setParent() takes the child's and then the parent's. Children are
//   started and resumed first to last, terminated, stopped and suspended
//   last to first.
//   Shutdown: stop(D) asks the body to end and waits D ms. A body that does
//   not end in time cannot be ended by force on this platform: its thread is
//   abandoned (detached and left running), a WARN line goes to the log hook,
//   and stop() still returns with the object inactive. The entry routine of
//   an abandoned thread never touches the object again, but run() itself
//   still holds `this`: the owner must not destroy an object while
//   hasAbandonedThread() is true unless its run() touches nothing of the
//   object once it wakes. start() refuses (returns false) while the body of
//   an abandoned thread still runs, so one object never runs two bodies.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/thread.h"
#include "platform/thread_annotations.h"
#include "serverframework/synchronization.h"
#include "serverframework/waitable.h"

namespace RSLibrary {

// Thread states.
constexpr int32_t THREAD_RUNNING = 0;
constexpr int32_t THREAD_INACTIVE = 1;
constexpr int32_t THREAD_SUSPENDED = 2;

// What getPriority() returns when the platform cannot report the priority.
constexpr int32_t kThreadPriorityErrorReturn = 0x7FFFFFFF;

// The calendar-time record of the thread times.
using RSSystemTime = platform::CalendarTime;

// Receives the library's log lines: a level (3 WARN, 4 ERROR), the source
// line and file, and the finished text. The library cannot log by itself
// (the logger is built on it), so the application sets the hook at start-up
// to a function that passes the line to its logger; until then, or when set
// to null, the lines are dropped. May be called from any thread.
using RSLogHook = void (*)(int level, int line, const char* file, const char* text);
void setLogHook(RSLogHook hook);

class RSAbstractThread : public RSInitializable, public RSNonCopyable {
  public:
    // isInitialized() is false when the internal mutex could not be created;
    // every guarded operation then raises "Initialization Failure.".
    RSAbstractThread();

    // Requires an inactive thread: destroying an active one raises
    // RSException "Trying to delete an active thread object." (0xF0000004),
    // which ends the process. The children are not destroyed. When the body
    // has returned but the end of the entry routine is still running, waits
    // for it, so the thread never touches freed memory.
    virtual ~RSAbstractThread();

    // Guarded. An inactive thread: clears the terminate request, starts a new
    // OS thread running run(), becomes THREAD_RUNNING and starts every
    // inactive child, first to last. False when the OS thread could not be
    // started (or the body of an abandoned thread of this object still runs),
    // or when a child's start fails (this thread is then stopped with a
    // 500 ms deadline). An active thread: nothing happens; true.
    virtual bool start();

    // Guarded. Asks every active child (last to first) and then this thread,
    // when active, to end; does not wait. Returns true.
    virtual bool terminate();

    // Guarded. Stops the children (last to first, 500 ms each), then asks
    // this thread to end and waits up to deadline ms; a thread still running
    // then is abandoned. On return the object is inactive; it holds no OS
    // thread unless its body had already returned by itself before the call
    // (that thread's handle and times stay until the next start). Called from the object's own
    // thread it only sets the terminate request (a thread cannot wait for itself). Raises "Wait
    // abandoned on internal mutex." (0xF0000003) if the wait reports abandonment. A suspended
    // thread is resumed first so that it can see the request. Returns true.
    virtual bool stop(int32_t deadline);

    // Guarded. Suspends the children (last to first), then this thread's OS
    // thread unless already suspended. Raises "Cannot suspend a non active
    // thread tree." (0xF0000005) on an inactive thread and "Unexpected error
    // while suspending a thread" (0xF0000003) when the platform refuses (a
    // thread cannot suspend itself). Returns true.
    virtual bool suspend();

    // Guarded. A suspended thread: resumes its OS thread, becomes
    // THREAD_RUNNING and resumes the children first to last. A running
    // thread is left as it is. Raises 0xF0000005 on an inactive thread and
    // "Unexpected error while resuming a thread" (0xF0000003) when the
    // platform refuses. Returns true.
    virtual bool resume();

    // The body, run on the object's OS thread; must return soon after
    // isTerminated() turns true.
    virtual void run() = 0;

    // Ends the OS thread by force as far as the platform allows: the thread
    // is abandoned (see DESIGN). False when there is no thread or its body
    // has already returned. Changes no field; not guarded.
    virtual bool kill();

    // True once termination was requested (cleared by start). Not guarded.
    virtual bool isTerminated();

    bool isActive() const { return state.load() != THREAD_INACTIVE; }
    bool isSuspended() const { return state.load() == THREAD_SUSPENDED; }
    int32_t getState() const { return state.load(); }

    // Guarded. Raise "Cannot set priority of a non active thread." or
    // "Cannot get priority of a non active thread." (0xF0000005) on an
    // inactive thread. setPriority returns whether the platform accepted the
    // value (platform::kPriority*); getPriority returns the OS thread's
    // priority, or kThreadPriorityErrorReturn when it cannot be read.
    bool setPriority(int32_t priority);
    int32_t getPriority();

    // Not guarded. All-zero records when the object holds no OS thread
    // (never started, or stopped while active). Otherwise the thread's times: creation
    // and exit as UTC calendar times (exit is 1 January 1601 while the thread
    // runs), kernel and user durations as an offset from 1 January 1601.
    // Raise "Couldnot get the thread times." (0xF0000003) when the platform
    // cannot report them.
    RSSystemTime getCreationTime();
    RSSystemTime getExitTime();
    RSSystemTime getKernelTime();
    RSSystemTime getUserTime();

    // Plain accessors, set by the owner before start.
    void setName(const std::string& threadName) { name = threadName; }
    std::string getName() const { return name; }
    void setNumber(int32_t threadNumber) { number = threadNumber; }
    int32_t getNumber() const { return number; }

    // Guarded. Detaches this thread from its current parent (removeChild),
    // attaches it to the new one (addChild) when given, and records it.
    void setParent(RSAbstractThread* newParent);
    RSAbstractThread* getParent();
    // Guarded. addChild appends; removeChild removes every occurrence.
    // Children are not owned.
    void addChild(RSAbstractThread* child);
    void removeChild(RSAbstractThread* child);

    // Not guarded. True when the OS thread ended within the time (<0: no
    // limit); false when it still runs or the object holds no OS thread.
    bool waitFor(int32_t milliseconds);

    // True while the body of a thread that this object abandoned still runs.
    bool hasAbandonedThread();

  private:
    // Entry routine, split in two: run() on the new thread, then steps that
    // the platform skips for an abandoned thread.
    static void bodyEntry(void* self);
    static void finishEntry(void* self);
    void finishRun();

    bool stopLocked(int32_t deadline) REQUIRES(mutex);
    // Takes the internal mutex within the time; an abandoned mutex counts as
    // taken.
    bool takeMutexWithin(int32_t milliseconds) TRY_ACQUIRE(true, mutex);
    std::shared_ptr<platform::Thread> currentThread() EXCLUDES(handleLock);
    std::shared_ptr<platform::Thread> exchangeThread(std::shared_ptr<platform::Thread> next)
        EXCLUDES(handleLock);
    // One of the thread times as a calendar time; all zero without an OS
    // thread. Raises when the platform cannot report the times.
    RSSystemTime readTime(uint64_t platform::ThreadTimes::*field);

    // Constant after construction / set by the owner before start.
    std::string name;
    int32_t number = 0;

    // Thread-safe on their own: written under mutex (state also by the
    // entry routine), read without it.
    std::atomic<bool> terminateRequested{false};
    std::atomic<int32_t> state{THREAD_INACTIVE};

    // Serialises every control operation on this object. Re-entrant. Taken
    // after the parent's internal mutex and before handleLock (lock order:
    // platform/thread_annotations.h).
    RSMutex mutex;
    std::vector<RSAbstractThread*> children GUARDED_BY(mutex);
    RSAbstractThread* parent GUARDED_BY(mutex) = nullptr;
    // The last thread stop() abandoned, while it may still be in its body.
    std::shared_ptr<platform::Thread> abandonedThread GUARDED_BY(mutex);

    // The last of this object's locks (lock order:
    // platform/thread_annotations.h); held only to read or swap the handle,
    // never across a call out. Guards the running OS thread, which the unguarded waitFor and
    // times read.
    RSCriticalSection handleLock;
    std::shared_ptr<platform::Thread> thread GUARDED_BY(handleLock);
};

}  // namespace RSLibrary
