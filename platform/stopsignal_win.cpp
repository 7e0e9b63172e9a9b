// DESIGN
// The console's control events (Ctrl+C, Ctrl+Break, closing the console,
// log-off and shut-down) set a manual-reset event, which is the flag; the
// handler returns TRUE for them, so the process is not ended before the
// tool has stopped. A pacing sleep waits on that event. Writing to a closed
// connection is an error of the write on Windows already.
#include <windows.h>

#include "platform/stopsignal.h"

namespace platform {

namespace {

HANDLE StopEvent() {
    static HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}

BOOL WINAPI OnConsoleControl(DWORD) {
    SetEvent(StopEvent());
    return TRUE;
}

}  // namespace

void InstallStopHandler() {
    static const bool installed = SetConsoleCtrlHandler(OnConsoleControl, TRUE) != 0;
    (void)installed;
}

void IgnoreBrokenPipes() {}

bool StopRequested() { return WaitForSingleObject(StopEvent(), 0) == WAIT_OBJECT_0; }

void SleepUnlessStopped(int64_t microseconds) {
    if (microseconds <= 0) return;
    int64_t ms = (microseconds + 999) / 1000;
    WaitForSingleObject(StopEvent(), ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(ms));
}

}  // namespace platform
