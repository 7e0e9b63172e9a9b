// DESIGN
// Forced end: Linux cannot end one thread by force without unwinding it
// through code that holds locks (pthread_cancel), so kill() abandons the
// thread (detaches it) instead.
//
// Suspension parks the target inside a signal handler (two real-time
// signals, installed once per process) until it is resumed, the way garbage
// collectors stop threads; suspend() returns once the target is parked. The
// handler is installed with SA_RESTART, so most blocking calls of the target
// simply continue; calls that never restart (sem_timedwait, poll, ...) may
// return EINTR once after a suspension.

#include <errno.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/mutex.h"
#include "platform/thread.h"
#include "platform/waitable.h"

namespace platform {

namespace {

// 100-ns units between 1 January 1601 and 1 January 1970.
constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ULL;

// How long suspend() and resume() wait for the target to react before they
// report failure.
constexpr auto kParkAckLimit = std::chrono::seconds(10);

int suspendSignal() { return SIGRTMIN + 6; }
int resumeSignal() { return SIGRTMIN + 7; }

uint64_t fileTimeNow() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return kUnixEpochAsFileTime + static_cast<uint64_t>(ts.tv_sec) * 10000000ULL +
           static_cast<uint64_t>(ts.tv_nsec) / 100;
}

uint64_t toFileTimeUnits(const timespec& ts) {
    return static_cast<uint64_t>(ts.tv_sec) * 10000000ULL + static_cast<uint64_t>(ts.tv_nsec) / 100;
}

// Kernel-mode time of a thread from its stat file, in 100-ns units.
bool readKernelTime(const char* statPath, uint64_t* kernel) {
    FILE* f = std::fopen(statPath, "re");
    if (f == nullptr) return false;
    char buf[1024];
    const size_t n = std::fread(buf, 1, sizeof(buf) - 1, f);
    std::fclose(f);
    buf[n] = '\0';
    // The command name (field 2) may contain spaces; fields are counted from
    // the last ')'. stime is field 15.
    const char* p = std::strrchr(buf, ')');
    if (p == nullptr) return false;
    ++p;
    unsigned long long stime = 0;
    int field = 2;
    while (*p != '\0' && field < 15) {
        while (*p == ' ') ++p;
        ++field;
        if (field == 15) {
            if (std::sscanf(p, "%llu", &stime) != 1) return false;
            break;
        }
        while (*p != ' ' && *p != '\0') ++p;
    }
    if (field != 15) return false;
    const long ticks = sysconf(_SC_CLK_TCK);
    if (ticks <= 0) return false;
    *kernel = static_cast<uint64_t>(stime) * 10000000ULL / static_cast<uint64_t>(ticks);
    return true;
}

bool priorityToNice(int32_t priority, int* nice) {
    switch (priority) {
        case kPriorityIdle:
            *nice = 19;
            return true;
        case kPriorityLowest:
            *nice = 10;
            return true;
        case kPriorityBelowNormal:
            *nice = 5;
            return true;
        case kPriorityNormal:
            *nice = 0;
            return true;
        case kPriorityAboveNormal:
            *nice = -5;
            return true;
        case kPriorityHighest:
            *nice = -10;
            return true;
        case kPriorityTimeCritical:
            *nice = -20;
            return true;
        default:
            return false;
    }
}

int32_t niceToPriority(int nice) {
    if (nice >= 15) return kPriorityIdle;
    if (nice >= 8) return kPriorityLowest;
    if (nice >= 3) return kPriorityBelowNormal;
    if (nice > -3) return kPriorityNormal;
    if (nice > -8) return kPriorityAboveNormal;
    if (nice > -15) return kPriorityHighest;
    return kPriorityTimeCritical;
}

}  // namespace

struct Thread::Control {
    Routine body = nullptr;
    Routine finish = nullptr;
    void* arg = nullptr;
    pthread_t handle{};  // written by start() before the handle is handed out

    // Guards the fields below. A leaf lock: the owner's calls and the
    // thread's own bookkeeping take nothing else while they hold it (suspend
    // and resume wait for the target's signal-handler acknowledgement under
    // it, which needs no lock).
    Mutex m;
    CondVar cv{m};                // signalled when tid is known, on abandonment and at the end
    pid_t tid GUARDED_BY(m) = 0;  // kernel id; valid while !ended
    bool bodyDone GUARDED_BY(m) = false;   // body returned
    bool abandoned GUARDED_BY(m) = false;  // kill() gave the thread up
    bool ended GUARDED_BY(m) = false;      // the thread left its routines
    bool detached GUARDED_BY(m) = false;   // pthread_detach done; the handle is no longer ours
    int suspendCount GUARDED_BY(m) = 0;
    uint64_t creationTime GUARDED_BY(m) = 0;
    uint64_t exitTime GUARDED_BY(m) = 0;
    uint64_t finalKernel GUARDED_BY(m) = 0;  // recorded at the end of the thread
    uint64_t finalUser GUARDED_BY(m) = 0;

    // Ended or abandoned: what waitFor waits for.
    bool gone() const REQUIRES(m) { return ended || abandoned; }

    // Shared with the signal handler, which may only use atomics and sem_post.
    std::atomic<bool> parkRequested{false};
    sem_t ack;

    Control() { sem_init(&ack, 0, 0); }
    ~Control() { sem_destroy(&ack); }
};

namespace {

void onSuspendSignal(int, siginfo_t* info, void*) {
    const int savedErrno = errno;
    if (info != nullptr && info->si_code == SI_QUEUE && info->si_value.sival_ptr != nullptr) {
        auto* control = static_cast<Thread::Control*>(info->si_value.sival_ptr);
        sem_post(&control->ack);
        sigset_t waitMask;
        sigfillset(&waitMask);
        sigdelset(&waitMask, resumeSignal());
        while (control->parkRequested.load(std::memory_order_acquire)) sigsuspend(&waitMask);
        sem_post(&control->ack);
    }
    errno = savedErrno;
}

void onResumeSignal(int) {}

bool installSuspendHandlers() {
    static const bool installed = [] {
        struct sigaction sa {};
        sa.sa_sigaction = onSuspendSignal;
        sa.sa_flags = SA_SIGINFO | SA_RESTART;
        sigemptyset(&sa.sa_mask);
        sigaddset(&sa.sa_mask, suspendSignal());
        sigaddset(&sa.sa_mask, resumeSignal());
        if (sigaction(suspendSignal(), &sa, nullptr) != 0) return false;
        struct sigaction ra {};
        ra.sa_handler = onResumeSignal;
        ra.sa_flags = SA_RESTART;
        sigemptyset(&ra.sa_mask);
        return sigaction(resumeSignal(), &ra, nullptr) == 0;
    }();
    return installed;
}

// Waits for one post of the target's acknowledgement.
bool waitForAck(sem_t* ack) {
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += std::chrono::duration_cast<std::chrono::seconds>(kParkAckLimit).count();
    while (sem_timedwait(ack, &deadline) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

void* threadMain(void* p) {
    auto* holder = static_cast<std::shared_ptr<Thread::Control>*>(p);
    std::shared_ptr<Thread::Control> control = std::move(*holder);
    delete holder;

    // The creator's signal mask may block everything; suspension needs these.
    sigset_t parkSignals;
    sigemptyset(&parkSignals);
    sigaddset(&parkSignals, suspendSignal());
    sigaddset(&parkSignals, resumeSignal());
    pthread_sigmask(SIG_UNBLOCK, &parkSignals, nullptr);

    {
        MutexLock lk(control->m);
        control->tid = gettid();
        control->creationTime = fileTimeNow();
        control->cv.notifyAll();
    }

    control->body(control->arg);

    bool runFinish;
    {
        MutexLock lk(control->m);
        control->bodyDone = true;
        runFinish = !control->abandoned;
    }
    if (runFinish && control->finish != nullptr) control->finish(control->arg);

    abandonMutexesOfCurrentThread();

    timespec cpu{};
    const uint64_t total =
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu) == 0 ? toFileTimeUnits(cpu) : 0;
    uint64_t kernel = 0;
    if (!readKernelTime("/proc/thread-self/stat", &kernel) || kernel > total) kernel = 0;
    {
        MutexLock lk(control->m);
        control->finalKernel = kernel;
        control->finalUser = total - kernel;
        control->exitTime = fileTimeNow();
        control->ended = true;
        control->cv.notifyAll();
    }
    return nullptr;
}

}  // namespace

CalendarTime fileTimeToCalendarTime(uint64_t fileTime) {
    CalendarTime out;
    const uint64_t totalMs = fileTime / 10000;
    out.milliseconds = static_cast<uint16_t>(totalMs % 1000);
    const uint64_t totalSeconds = totalMs / 1000;
    const uint64_t secondsOfDay = totalSeconds % 86400;
    out.hour = static_cast<uint16_t>(secondsOfDay / 3600);
    out.minute = static_cast<uint16_t>(secondsOfDay / 60 % 60);
    out.second = static_cast<uint16_t>(secondsOfDay % 60);
    const int64_t daysSince1601 = static_cast<int64_t>(totalSeconds / 86400);
    // 1 January 1601 was a Monday.
    out.dayOfWeek = static_cast<uint16_t>((daysSince1601 + 1) % 7);

    // Civil date from a day count (proleptic Gregorian, eras of 400 years),
    // counted from 1 March 0000.
    const int64_t z = daysSince1601 + 584694;  // days from 0000-03-01
    const int64_t era = z / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    out.year = static_cast<uint16_t>(year);
    out.month = static_cast<uint16_t>(month);
    out.day = static_cast<uint16_t>(day);
    return out;
}

Thread::Thread(std::shared_ptr<Control> c) : control(std::move(c)) {}

std::unique_ptr<Thread> Thread::start(Routine body, Routine finish, void* arg) {
    auto control = std::make_shared<Control>();
    control->body = body;
    control->finish = finish;
    control->arg = arg;
    auto* holder = new std::shared_ptr<Control>(control);
    if (pthread_create(&control->handle, nullptr, threadMain, holder) != 0) {
        delete holder;
        return nullptr;
    }
    {
        // Wait for the thread's kernel id, which priority and times need.
        MutexLock lk(control->m);
        while (control->tid == 0) control->cv.wait();
    }
    return std::unique_ptr<Thread>(new Thread(std::move(control)));
}

Thread::~Thread() {
    bool join;
    {
        MutexLock lk(control->m);
        if (control->detached) return;
        control->detached = true;
        join = control->ended;
    }
    if (join) {
        pthread_join(control->handle, nullptr);
    } else {
        pthread_detach(control->handle);
    }
}

uint32_t Thread::waitFor(int32_t milliseconds) {
    MutexLock lk(control->m);
    if (milliseconds < 0) {
        while (!control->gone()) control->cv.wait();
        return kWaitAcquired;
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!control->gone()) {
        if (!control->cv.waitUntil(deadline))
            return control->gone() ? kWaitAcquired : kWaitTimedOut;
    }
    return kWaitAcquired;
}

bool Thread::kill() {
    bool detach = false;
    {
        MutexLock lk(control->m);
        if (control->bodyDone) return false;
        if (control->abandoned) return true;
        control->abandoned = true;
        if (!control->detached) {
            control->detached = true;
            detach = true;
        }
        control->cv.notifyAll();
    }
    if (detach) pthread_detach(control->handle);
    return true;
}

bool Thread::bodyRunning() const {
    MutexLock lk(control->m);
    return !control->bodyDone;
}

bool Thread::suspend() {
    if (!installSuspendHandlers()) return false;
    MutexLock lk(control->m);
    if (control->ended || control->abandoned || control->tid == gettid()) return false;
    if (control->suspendCount > 0) {
        ++control->suspendCount;
        return true;
    }
    while (sem_trywait(&control->ack) == 0) {
    }
    control->parkRequested.store(true, std::memory_order_release);
    sigval value{};
    value.sival_ptr = control.get();
    if (pthread_sigqueue(control->handle, suspendSignal(), value) != 0 ||
        !waitForAck(&control->ack)) {
        // The handler, should it still run, finds nothing to wait for.
        control->parkRequested.store(false, std::memory_order_release);
        return false;
    }
    control->suspendCount = 1;
    return true;
}

bool Thread::resume() {
    MutexLock lk(control->m);
    if (control->suspendCount == 0) return true;
    if (control->abandoned) return false;
    if (--control->suspendCount > 0) return true;
    control->parkRequested.store(false, std::memory_order_release);
    if (pthread_kill(control->handle, resumeSignal()) != 0) return false;
    return waitForAck(&control->ack);
}

bool Thread::setPriority(int32_t priority) {
    int nice;
    if (!priorityToNice(priority, &nice)) return false;
    MutexLock lk(control->m);
    if (control->ended || control->abandoned) return false;
    return setpriority(PRIO_PROCESS, static_cast<id_t>(control->tid), nice) == 0;
}

bool Thread::getPriority(int32_t* priority) {
    MutexLock lk(control->m);
    if (control->ended || control->abandoned) return false;
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(control->tid));
    if (nice == -1 && errno != 0) return false;
    *priority = niceToPriority(nice);
    return true;
}

bool Thread::getTimes(ThreadTimes* times) {
    MutexLock lk(control->m);
    if (control->abandoned && !control->ended) return false;
    times->creation = control->creationTime;
    if (control->ended) {
        times->exit = control->exitTime;
        times->kernel = control->finalKernel;
        times->user = control->finalUser;
        return true;
    }
    // The thread cannot finish ending while m is held, so its id and clock
    // are still its own.
    clockid_t clock;
    timespec cpu{};
    if (pthread_getcpuclockid(control->handle, &clock) != 0 || clock_gettime(clock, &cpu) != 0)
        return false;
    const uint64_t total = toFileTimeUnits(cpu);
    const std::string statPath = "/proc/self/task/" + std::to_string(control->tid) + "/stat";
    uint64_t kernel = 0;
    if (!readKernelTime(statPath.c_str(), &kernel)) return false;
    if (kernel > total) kernel = total;
    times->exit = 0;
    times->kernel = kernel;
    times->user = total - kernel;
    return true;
}

bool Thread::isCurrentThread() const {
    MutexLock lk(control->m);
    return !control->ended && control->tid == gettid();
}

}  // namespace platform
