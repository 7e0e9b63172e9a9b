// Cancelling one caller's blocking management calls from another thread,
// as COM's call cancellation does for a thread. The engine gives each
// subscription a CallCancel, puts it in force (CallCancelScope) on the
// thread working for that subscription around its provider calls (connect,
// query, poll), and cancels it when the subscription is deleted or the
// listener stops. A provider whose calls wait on the network
// (WS-Management) takes the calling thread's CallCancel when a call starts
// and ends the call soon after it is cancelled (within about a second)
// with WBEM_E_CALL_CANCELLED; a provider whose calls do not wait need not
// look.
//
// A CallCancel is owned by what it cancels (the subscription's record) and
// outlives every scope that names it. Cancel and Cancelled are thread-safe;
// a scope belongs to the thread that made it.
#pragma once

#include <atomic>

namespace wmi {

class CallCancel {
  public:
    CallCancel() = default;
    CallCancel(const CallCancel&) = delete;
    CallCancel& operator=(const CallCancel&) = delete;

    // Cancels the calls made under this object, those in flight and those
    // to come: it stays cancelled. Any thread.
    void Cancel() { cancelled.store(true); }
    bool Cancelled() const { return cancelled.load(); }

    // The CallCancel in force on the calling thread; null when none.
    static const CallCancel* Current();

  private:
    std::atomic<bool> cancelled{false};
};

// Puts `cancel` in force on the calling thread while the scope lives; the
// one in force before comes back at its end.
class CallCancelScope {
  public:
    explicit CallCancelScope(const CallCancel& cancel);
    ~CallCancelScope();
    CallCancelScope(const CallCancelScope&) = delete;
    CallCancelScope& operator=(const CallCancelScope&) = delete;

  private:
    const CallCancel* const outer;
};

}  // namespace wmi
