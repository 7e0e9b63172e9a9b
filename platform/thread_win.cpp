// DESIGN
// Threads are the system's own (CreateThread); every control is the
// system's call on the thread's handle, which stays open as long as the
// Control that holds it, so waits, times and priority work after the end.
//
// Forced end: kill() abandons the thread, as on Linux, rather than calling
// TerminateThread: a terminated thread unwinds nothing and leaves held what
// it held, the C library's heap lock included, which can hang the whole
// process (the system's documentation warns of exactly this). Whether the
// body has returned and whether it was abandoned are one atomic state, so
// the finish routine runs only for a thread that was not abandoned; a
// manual-reset event ends a waitFor() at the abandonment.
//
// Suspension: SuspendThread is asynchronous; suspend() asks for the
// thread's context afterwards, which returns only once the thread is
// stopped. The system keeps the suspension count. Mutexes of a thread that
// ends are released as abandoned by the system itself (waitable_win.cpp).
#include <windows.h>

#include <atomic>

#include "platform/thread.h"
#include "platform/waitable.h"

namespace platform {

namespace {

enum RunState { kRunning, kBodyReturned, kKilled };

bool KnownPriority(int32_t priority) {
    switch (priority) {
        case kPriorityIdle:
        case kPriorityLowest:
        case kPriorityBelowNormal:
        case kPriorityNormal:
        case kPriorityAboveNormal:
        case kPriorityHighest:
        case kPriorityTimeCritical:
            return true;
        default:
            return false;
    }
}

uint64_t Units(const FILETIME& time) {
    return (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

}  // namespace

struct Thread::Control {
    Routine body = nullptr;
    Routine finish = nullptr;
    void* arg = nullptr;
    // Constant once start() returns.
    HANDLE handle = nullptr;
    DWORD id = 0;
    HANDLE abandonedEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> state{kRunning};
    std::atomic<bool> bodyDone{false};

    ~Control() {
        if (handle != nullptr) CloseHandle(handle);
        if (abandonedEvent != nullptr) CloseHandle(abandonedEvent);
    }

    bool ended() const { return WaitForSingleObject(handle, 0) == WAIT_OBJECT_0; }
};

namespace {

DWORD WINAPI ThreadMain(void* p) {
    auto* holder = static_cast<std::shared_ptr<Thread::Control>*>(p);
    std::shared_ptr<Thread::Control> control = std::move(*holder);
    delete holder;
    control->body(control->arg);
    control->bodyDone = true;
    int expected = kRunning;
    if (control->state.compare_exchange_strong(expected, kBodyReturned) &&
        control->finish != nullptr) {
        control->finish(control->arg);
    }
    return 0;
}

}  // namespace

CalendarTime fileTimeToCalendarTime(uint64_t fileTime) {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(fileTime);
    time.dwHighDateTime = static_cast<DWORD>(fileTime >> 32);
    SYSTEMTIME system{};
    FileTimeToSystemTime(&time, &system);
    CalendarTime out;
    out.year = system.wYear;
    out.month = system.wMonth;
    out.dayOfWeek = system.wDayOfWeek;
    out.day = system.wDay;
    out.hour = system.wHour;
    out.minute = system.wMinute;
    out.second = system.wSecond;
    out.milliseconds = system.wMilliseconds;
    return out;
}

Thread::Thread(std::shared_ptr<Control> c) : control(std::move(c)) {}

std::unique_ptr<Thread> Thread::start(Routine body, Routine finish, void* arg) {
    auto control = std::make_shared<Control>();
    control->body = body;
    control->finish = finish;
    control->arg = arg;
    auto* holder = new std::shared_ptr<Control>(control);
    // Started suspended, so the handle and id are in place before the body runs.
    control->handle = CreateThread(nullptr, 0, ThreadMain, holder, CREATE_SUSPENDED, &control->id);
    if (control->handle == nullptr) {
        delete holder;
        return nullptr;
    }
    ResumeThread(control->handle);
    return std::unique_ptr<Thread>(new Thread(std::move(control)));
}

Thread::~Thread() = default;

uint32_t Thread::waitFor(int32_t milliseconds) {
    HANDLE ends[2] = {control->handle, control->abandonedEvent};
    DWORD result =
        WaitForMultipleObjects(2, ends, FALSE, milliseconds < 0 ? INFINITE : DWORD(milliseconds));
    return result == WAIT_OBJECT_0 || result == WAIT_OBJECT_0 + 1 ? kWaitAcquired : kWaitTimedOut;
}

bool Thread::kill() {
    int expected = kRunning;
    if (!control->state.compare_exchange_strong(expected, kKilled)) return expected == kKilled;
    SetEvent(control->abandonedEvent);
    return true;
}

bool Thread::bodyRunning() const { return !control->bodyDone.load(); }

bool Thread::suspend() {
    if (control->id == GetCurrentThreadId() || control->ended() ||
        control->state.load() == kKilled) {
        return false;
    }
    if (SuspendThread(control->handle) == static_cast<DWORD>(-1)) return false;
    CONTEXT context{};
    context.ContextFlags = CONTEXT_INTEGER;
    GetThreadContext(control->handle, &context);
    return true;
}

bool Thread::resume() {
    if (control->ended()) return control->state.load() != kKilled;
    return ResumeThread(control->handle) != static_cast<DWORD>(-1);
}

bool Thread::setPriority(int32_t priority) {
    if (!KnownPriority(priority) || control->ended()) return false;
    return SetThreadPriority(control->handle, priority) != 0;
}

bool Thread::getPriority(int32_t* priority) {
    if (control->ended()) return false;
    int value = GetThreadPriority(control->handle);
    if (value == THREAD_PRIORITY_ERROR_RETURN) return false;
    *priority = value;
    return true;
}

bool Thread::getTimes(ThreadTimes* times) {
    FILETIME creation, exit, kernel, user;
    if (!GetThreadTimes(control->handle, &creation, &exit, &kernel, &user)) return false;
    times->creation = Units(creation);
    times->exit = control->ended() ? Units(exit) : 0;
    times->kernel = Units(kernel);
    times->user = Units(user);
    return true;
}

bool Thread::isCurrentThread() const { return control->id == GetCurrentThreadId(); }

}  // namespace platform
