#include "wmi/callcancel.h"

namespace wmi {

namespace {

// The CallCancel in force on this thread (CallCancelScope).
thread_local const CallCancel* t_current = nullptr;

}  // namespace

const CallCancel* CallCancel::Current() { return t_current; }

CallCancelScope::CallCancelScope(const CallCancel& cancel) : outer(t_current) {
    t_current = &cancel;
}

CallCancelScope::~CallCancelScope() { t_current = outer; }

}  // namespace wmi
