// RSLibrary lock objects shared by every threaded part of the listener: the
// initialised/non-copyable mix-ins, the abstract lock, the re-entrant
// critical section, the scoped guard and the library exception. The waitable
// objects (mutex, semaphore) live in serverframework/waitable.h.
//
// Objects never raise from their constructor: a platform object that cannot
// be created leaves the owner with isInitialized() false.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "platform/recursive_mutex.h"
#include "platform/thread_annotations.h"

namespace RSLibrary {

// Records whether construction obtained its platform object.
class RSInitializable {
  public:
    bool isInitialized() const { return initialized; }

  protected:
    RSInitializable() : initialized(true) {}
    bool initialized;
};

class RSNonCopyable {
  protected:
    RSNonCopyable() = default;
    ~RSNonCopyable() = default;

  public:
    RSNonCopyable(const RSNonCopyable&) = delete;
    RSNonCopyable& operator=(const RSNonCopyable&) = delete;
};

// The lock interface every guardable object offers. Slot order: unLock,
// lock, tryLock.
class CAPABILITY("mutex") RSSynchronizationObject : public RSInitializable, public RSNonCopyable {
  public:
    virtual void unLock() RELEASE() = 0;
    virtual void lock() ACQUIRE() = 0;
    virtual bool tryLock() TRY_ACQUIRE(true) = 0;

  protected:
    ~RSSynchronizationObject() = default;
};

// Re-entrant critical section: the owning thread may lock again and must
// unLock as many times. Waits without limit; thread-safe.
class CAPABILITY("mutex") RSCriticalSection : public RSSynchronizationObject {
  public:
    RSCriticalSection();
    void unLock() override RELEASE();
    void lock() override ACQUIRE();
    bool tryLock() override TRY_ACQUIRE(true);
    virtual ~RSCriticalSection();

  private:
    platform::RecursiveMutex section;
};

// Holds one level of an object's lock for the life of a block. Construction
// never raises: an exception from the object's lock is swallowed and leaves
// the guard not initialised and holding nothing. Belongs to one thread.
class SCOPED_CAPABILITY RSSynchronizeGuard : public RSInitializable, public RSNonCopyable {
  public:
    explicit RSSynchronizeGuard(RSSynchronizationObject& object) ACQUIRE(object);
    virtual ~RSSynchronizeGuard() RELEASE();

    // Takes the lock again after unLock; does nothing while held.
    void lock() ACQUIRE();
    // Gives up the lock inside the block; does nothing when not held.
    void unLock() RELEASE();
    bool isLocked() const { return locked; }

  private:
    RSSynchronizationObject& object;
    bool locked;
};

// The library's exception: a code (0xF0000002..0xF0000005), the raise site
// and a message. Thrown by value.
class RSException : public std::exception {
  public:
    RSException(const std::string& message, const char* file, int32_t line, uint32_t code);
    RSException(const RSException& other);
    RSException& operator=(const RSException& other);
    ~RSException() override;
    const char* what() const noexcept override;

    uint32_t getCode() const { return code; }
    const char* getFile() const { return file; }
    int32_t getLine() const { return line; }

  private:
    uint32_t code;
    const char* file;
    int32_t line;
    std::string message;
};

constexpr uint32_t RS_E_INITIALIZATION = 0xF0000002;
constexpr uint32_t RS_E_PLATFORM = 0xF0000003;
constexpr uint32_t RS_E_ACTIVE_DELETE = 0xF0000004;
constexpr uint32_t RS_E_INVALID_STATE = 0xF0000005;

}  // namespace RSLibrary

// Raises an RSException that records the raise site.
#define RS_THROW(message, code) \
    throw ::RSLibrary::RSException((message), __FILE__, __LINE__, (code))
