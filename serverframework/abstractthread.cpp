#include "serverframework/abstractthread.h"

#include <cstdarg>
#include <cstdio>

namespace RSLibrary {

namespace {

constexpr int kLogWarn = 3;
constexpr int kLogError = 4;

// Children always get this long to end, whatever the parent's deadline.
constexpr int32_t kChildDeadline = 500;
// The slice in which the end of the entry routine polls the internal mutex.
constexpr int32_t kFinishSlice = 10;

std::atomic<RSLogHook> g_logHook{nullptr};

void logLine(int level, int line, const char* format, ...) __attribute__((format(printf, 3, 4)));

void logLine(int level, int line, const char* format, ...) {
    const RSLogHook hook = g_logHook.load();
    if (hook == nullptr) return;
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    hook(level, line, __FILE_NAME__, text);
}

// Raised from the destructor, which ends the process.
[[noreturn]] void raiseActiveDelete() {
    RS_THROW("Trying to delete an active thread object.", RS_E_ACTIVE_DELETE);
}

}  // namespace

void setLogHook(RSLogHook hook) { g_logHook.store(hook); }

// Every guarded operation starts with this: take the internal mutex for the
// rest of the block, or raise when it cannot be taken.
#define RS_GUARD_INTERNAL_MUTEX(guard)                            \
    RSSynchronizeGuard guard(mutex);                              \
    if (!guard.isInitialized()) {                                 \
        RS_THROW("Initialization Failure.", RS_E_INITIALIZATION); \
    }

RSAbstractThread::RSAbstractThread() : mutex("") { initialized = mutex.isInitialized(); }

RSAbstractThread::~RSAbstractThread() {
    if (isActive()) raiseActiveDelete();
    std::shared_ptr<platform::Thread> finishing = exchangeThread(nullptr);
    if (finishing) {
        // The body has returned (the object is inactive); the end of the
        // entry routine may still be reading the object. The request makes
        // it leave its mutex polling at once.
        terminateRequested.store(true);
        finishing->waitFor(platform::kWaitForever);
    }
    RSSynchronizeGuard guard(mutex);
    if (guard.isInitialized() && abandonedThread && abandonedThread->bodyRunning()) {
        logLine(kLogWarn, __LINE__,
                "Thread object %s %d destroyed while its abandoned thread still runs", name.c_str(),
                number);
    }
}

void RSAbstractThread::bodyEntry(void* self) { static_cast<RSAbstractThread*>(self)->run(); }

void RSAbstractThread::finishEntry(void* self) {
    static_cast<RSAbstractThread*>(self)->finishRun();
}

void RSAbstractThread::finishRun() {
    if (terminateRequested.load()) {
        state.store(THREAD_INACTIVE);
        return;
    }
    for (;;) {
        if (takeMutexWithin(kFinishSlice)) {
            state.store(THREAD_INACTIVE);
            const std::vector<RSAbstractThread*> kids = children;
            try {
                for (auto it = kids.rbegin(); it != kids.rend(); ++it) {
                    if ((*it)->isActive()) (*it)->stop(kChildDeadline);
                }
            } catch (const RSException& e) {
                logLine(kLogError, __LINE__, "Thread %s %d could not stop its children: %s",
                        name.c_str(), number, e.what());
            }
            // Nothing of this object is touched after the release: the owner
            // may start or destroy it from then on.
            mutex.unLock();
            return;
        }
        if (terminateRequested.load()) {
            state.store(THREAD_INACTIVE);
            return;
        }
    }
}

bool RSAbstractThread::takeMutexWithin(int32_t milliseconds) NO_THREAD_SAFETY_ANALYSIS {
    const uint32_t result = mutex.wait(milliseconds);
    return result == platform::kWaitAcquired || result == platform::kWaitAbandoned;
}

std::shared_ptr<platform::Thread> RSAbstractThread::currentThread() {
    RSSynchronizeGuard guard(handleLock);
    return thread;
}

std::shared_ptr<platform::Thread> RSAbstractThread::exchangeThread(
    std::shared_ptr<platform::Thread> next) {
    RSSynchronizeGuard guard(handleLock);
    thread.swap(next);
    return next;
}

bool RSAbstractThread::start() {
    RS_GUARD_INTERNAL_MUTEX(guard);
    if (isActive()) return true;
    if (abandonedThread) {
        if (abandonedThread->bodyRunning()) return false;
        abandonedThread.reset();
    }
    terminateRequested.store(false);
    std::shared_ptr<platform::Thread> started =
        platform::Thread::start(&bodyEntry, &finishEntry, this);
    if (!started) return false;
    // A previous thread whose body returned by itself has already left the
    // object (its state is inactive and we hold the mutex); its handle is
    // released here.
    exchangeThread(std::move(started));
    state.store(THREAD_RUNNING);
    const std::vector<RSAbstractThread*> kids = children;
    for (RSAbstractThread* child : kids) {
        if (child->isActive()) continue;
        if (!child->start()) {
            stopLocked(kChildDeadline);
            return false;
        }
    }
    return true;
}

bool RSAbstractThread::terminate() {
    RS_GUARD_INTERNAL_MUTEX(guard);
    const std::vector<RSAbstractThread*> kids = children;
    for (auto it = kids.rbegin(); it != kids.rend(); ++it) {
        if ((*it)->isActive()) (*it)->terminate();
    }
    if (isActive()) terminateRequested.store(true);
    return true;
}

bool RSAbstractThread::stop(int32_t deadline) {
    RS_GUARD_INTERNAL_MUTEX(guard);
    return stopLocked(deadline);
}

bool RSAbstractThread::stopLocked(int32_t deadline) {
    const std::vector<RSAbstractThread*> kids = children;
    for (auto it = kids.rbegin(); it != kids.rend(); ++it) {
        if ((*it)->isActive()) (*it)->stop(kChildDeadline);
    }
    if (!isActive()) return true;

    const std::shared_ptr<platform::Thread> running = currentThread();
    terminateRequested.store(true);
    if (running && running->isCurrentThread()) return true;
    if (running && state.load() == THREAD_SUSPENDED) running->resume();

    uint32_t result = running ? running->waitFor(deadline) : platform::kWaitFailed;
    for (;;) {
        if (result == platform::kWaitAcquired) {
            if (running->bodyRunning()) abandonedThread = running;
            exchangeThread(nullptr);
            state.store(THREAD_INACTIVE);
            return true;
        }
        if (result == platform::kWaitTimedOut) {
            if (kill()) {
                logLine(
                    kLogWarn, __LINE__,
                    "Thread %s %d did not end within %d ms of its stop request and was abandoned",
                    name.c_str(), number, deadline);
            }
            result = running->waitFor(deadline);
            continue;
        }
        if (result == platform::kWaitAbandoned) {
            RS_THROW("Wait abandoned on internal mutex.", RS_E_PLATFORM);
        }
        state.store(THREAD_INACTIVE);
        exchangeThread(nullptr);
        return true;
    }
}

bool RSAbstractThread::suspend() {
    RS_GUARD_INTERNAL_MUTEX(guard);
    if (!isActive()) RS_THROW("Cannot suspend a non active thread tree.", RS_E_INVALID_STATE);
    const std::vector<RSAbstractThread*> kids = children;
    for (auto it = kids.rbegin(); it != kids.rend(); ++it) (*it)->suspend();
    if (state.load() != THREAD_SUSPENDED) {
        const std::shared_ptr<platform::Thread> running = currentThread();
        if (!running || !running->suspend()) {
            RS_THROW("Unexpected error while suspending a thread", RS_E_PLATFORM);
        }
        state.store(THREAD_SUSPENDED);
    }
    return true;
}

bool RSAbstractThread::resume() {
    RS_GUARD_INTERNAL_MUTEX(guard);
    if (!isActive()) RS_THROW("Cannot resume a non active thread.", RS_E_INVALID_STATE);
    if (state.load() == THREAD_SUSPENDED) {
        const std::shared_ptr<platform::Thread> running = currentThread();
        if (!running || !running->resume()) {
            RS_THROW("Unexpected error while resuming a thread", RS_E_PLATFORM);
        }
        state.store(THREAD_RUNNING);
        const std::vector<RSAbstractThread*> kids = children;
        for (RSAbstractThread* child : kids) child->resume();
    }
    return true;
}

bool RSAbstractThread::kill() {
    const std::shared_ptr<platform::Thread> running = currentThread();
    return running && running->kill();
}

bool RSAbstractThread::isTerminated() { return terminateRequested.load(); }

bool RSAbstractThread::setPriority(int32_t priority) {
    RS_GUARD_INTERNAL_MUTEX(guard);
    if (!isActive()) RS_THROW("Cannot set priority of a non active thread.", RS_E_INVALID_STATE);
    const std::shared_ptr<platform::Thread> running = currentThread();
    return running && running->setPriority(priority);
}

int32_t RSAbstractThread::getPriority() {
    RS_GUARD_INTERNAL_MUTEX(guard);
    if (!isActive()) RS_THROW("Cannot get priority of a non active thread.", RS_E_INVALID_STATE);
    const std::shared_ptr<platform::Thread> running = currentThread();
    int32_t priority = kThreadPriorityErrorReturn;
    if (!running || !running->getPriority(&priority)) return kThreadPriorityErrorReturn;
    return priority;
}

RSSystemTime RSAbstractThread::readTime(uint64_t platform::ThreadTimes::*field) {
    const std::shared_ptr<platform::Thread> running = currentThread();
    if (!running) return RSSystemTime{};
    platform::ThreadTimes times;
    if (!running->getTimes(&times)) RS_THROW("Couldnot get the thread times.", RS_E_PLATFORM);
    return platform::fileTimeToCalendarTime(times.*field);
}

RSSystemTime RSAbstractThread::getCreationTime() {
    return readTime(&platform::ThreadTimes::creation);
}

RSSystemTime RSAbstractThread::getExitTime() { return readTime(&platform::ThreadTimes::exit); }

RSSystemTime RSAbstractThread::getKernelTime() { return readTime(&platform::ThreadTimes::kernel); }

RSSystemTime RSAbstractThread::getUserTime() { return readTime(&platform::ThreadTimes::user); }

void RSAbstractThread::setParent(RSAbstractThread* newParent) {
    RS_GUARD_INTERNAL_MUTEX(guard);
    if (parent != nullptr) parent->removeChild(this);
    if (newParent != nullptr) newParent->addChild(this);
    parent = newParent;
}

RSAbstractThread* RSAbstractThread::getParent() {
    RS_GUARD_INTERNAL_MUTEX(guard);
    return parent;
}

void RSAbstractThread::addChild(RSAbstractThread* child) {
    RS_GUARD_INTERNAL_MUTEX(guard);
    children.push_back(child);
}

void RSAbstractThread::removeChild(RSAbstractThread* child) {
    RS_GUARD_INTERNAL_MUTEX(guard);
    std::erase(children, child);
}

bool RSAbstractThread::waitFor(int32_t milliseconds) {
    const std::shared_ptr<platform::Thread> running = currentThread();
    return running && running->waitFor(milliseconds) == platform::kWaitAcquired;
}

bool RSAbstractThread::hasAbandonedThread() {
    RS_GUARD_INTERNAL_MUTEX(guard);
    return abandonedThread && abandonedThread->bodyRunning();
}

}  // namespace RSLibrary
