#include "serverframework/synchronization.h"

namespace RSLibrary {

RSCriticalSection::RSCriticalSection() { initialized = section.valid(); }

RSCriticalSection::~RSCriticalSection() = default;

// The critical section is the capability its users see; the platform mutex
// behind it is held exactly while the section is.
void RSCriticalSection::unLock() NO_THREAD_SAFETY_ANALYSIS { section.unlock(); }

void RSCriticalSection::lock() NO_THREAD_SAFETY_ANALYSIS { section.lock(); }

bool RSCriticalSection::tryLock() NO_THREAD_SAFETY_ANALYSIS { return section.tryLock(); }

RSSynchronizeGuard::RSSynchronizeGuard(RSSynchronizationObject& obj) : object(obj), locked(false) {
    try {
        lock();
    } catch (...) {
        initialized = false;
        locked = false;
    }
}

RSSynchronizeGuard::~RSSynchronizeGuard() { unLock(); }

void RSSynchronizeGuard::lock() NO_THREAD_SAFETY_ANALYSIS {
    if (!locked) {
        object.lock();
        locked = true;
    }
}

void RSSynchronizeGuard::unLock() NO_THREAD_SAFETY_ANALYSIS {
    if (locked) {
        locked = false;
        object.unLock();
    }
}

RSException::RSException(const std::string& msg, const char* f, int32_t l, uint32_t c)
    : code(c), file(f), line(l), message(msg) {}

RSException::RSException(const RSException& other) = default;
RSException& RSException::operator=(const RSException& other) = default;
RSException::~RSException() = default;

const char* RSException::what() const noexcept { return message.c_str(); }

}  // namespace RSLibrary
