// DESIGN
// A critical section: re-entrant for its owner, kept in the object's own
// storage.
#include <windows.h>

#include <new>

#include "platform/recursive_mutex.h"

namespace platform {

namespace {

CRITICAL_SECTION* Native(unsigned char* storage) {
    return std::launder(reinterpret_cast<CRITICAL_SECTION*>(storage));
}

}  // namespace

RecursiveMutex::RecursiveMutex() {
    static_assert(sizeof(CRITICAL_SECTION) <= kStorageSize, "CRITICAL_SECTION does not fit");
    static_assert(alignof(CRITICAL_SECTION) <= 16, "CRITICAL_SECTION needs a larger alignment");
    InitializeCriticalSection(new (storage_) CRITICAL_SECTION);
    valid_ = true;
}

RecursiveMutex::~RecursiveMutex() {
    if (valid_) DeleteCriticalSection(Native(storage_));
}

void RecursiveMutex::lock() { EnterCriticalSection(Native(storage_)); }

void RecursiveMutex::unlock() { LeaveCriticalSection(Native(storage_)); }

bool RecursiveMutex::tryLock() { return TryEnterCriticalSection(Native(storage_)) != 0; }

}  // namespace platform
