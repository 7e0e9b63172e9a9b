// One operating-system thread and the controls the thread library needs on
// it: waiting for its end with a time limit, forced end, suspension,
// priority and the four thread times. Owned by the object that started it
// (RSAbstractThread); every member may be called from any thread.
//
// Forced end: where a system cannot end one thread by force without
// unwinding it through code that holds locks, kill() abandons the thread
// instead. An abandoned thread is detached and left to run; from then on it
// counts as ended for waitFor(), and its finish routine is never called, so
// the thread no longer reaches the object behind its argument through this
// layer. What the body itself still touches when it finally returns is the
// body's business: an owner should not free what an abandoned body uses
// while bodyRunning() is true.
//
// Suspension: suspend() returns once the target is stopped where it was. A
// thread suspended while it holds a lock blocks everyone who needs that lock
// until it is resumed. A blocking call the target was in may end early once
// after a suspension, as if interrupted (how each system suspends is told in
// the DESIGN block of its implementation, thread_linux.cpp).
#pragma once

#include <cstdint>
#include <memory>

namespace platform {

// Times in 100-nanosecond units: creation and exit since 1 January 1601
// (UTC), kernel and user as durations. exit is 0 while the thread runs.
struct ThreadTimes {
    uint64_t creation = 0;
    uint64_t exit = 0;
    uint64_t kernel = 0;
    uint64_t user = 0;
};

// A calendar date and time (UTC), each part unsigned 16-bit; dayOfWeek 0 is
// Sunday.
struct CalendarTime {
    uint16_t year = 0;
    uint16_t month = 0;
    uint16_t dayOfWeek = 0;
    uint16_t day = 0;
    uint16_t hour = 0;
    uint16_t minute = 0;
    uint16_t second = 0;
    uint16_t milliseconds = 0;
};

// Converts 100-nanosecond units since 1 January 1601 into a calendar time. A
// duration converted this way comes out as an offset from that day.
CalendarTime fileTimeToCalendarTime(uint64_t fileTime);

// Thread priorities, as the library's callers know them.
constexpr int32_t kPriorityIdle = -15;
constexpr int32_t kPriorityLowest = -2;
constexpr int32_t kPriorityBelowNormal = -1;
constexpr int32_t kPriorityNormal = 0;
constexpr int32_t kPriorityAboveNormal = 1;
constexpr int32_t kPriorityHighest = 2;
constexpr int32_t kPriorityTimeCritical = 15;

class Thread {
  public:
    using Routine = void (*)(void* arg);

    // Starts a thread with the default stack size that calls body(arg) and
    // then, unless the thread was abandoned by kill() meanwhile, finish(arg)
    // (finish may be null). Returns null when no thread could be started.
    static std::unique_ptr<Thread> start(Routine body, Routine finish, void* arg);

    // Releases the handle. A thread that has ended is joined; one that still
    // runs is detached and ends on its own.
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Waits until the thread has ended (or was abandoned): kWaitAcquired, or
    // kWaitTimedOut when it still runs after the time (<0: no limit).
    uint32_t waitFor(int32_t milliseconds);

    // Abandons the thread (see above). False when its body has already
    // returned: the thread is then ending by itself.
    bool kill();

    // True while the body has not returned, abandoned or not.
    bool bodyRunning() const;

    // Suspension counts like the original platform's: the thread runs again
    // when every suspend() has been matched by a resume(). False when the
    // thread has ended or does not react, and when a thread tries to suspend
    // itself (it would park holding the locks its resumer needs).
    bool suspend();
    bool resume();

    // One of the kPriority* values; false when refused (an unknown value,
    // a raise beyond the process's rights, a thread that has ended).
    bool setPriority(int32_t priority);
    bool getPriority(int32_t* priority);

    // The four times; false when they cannot be read. After the end of the
    // thread the values recorded at its end are reported.
    bool getTimes(ThreadTimes* times);

    // True when called on this thread.
    bool isCurrentThread() const;

    struct Control;

  private:
    explicit Thread(std::shared_ptr<Control> control);
    std::shared_ptr<Control> control;
};

}  // namespace platform
