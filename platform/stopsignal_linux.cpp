// DESIGN
// SIGINT and SIGTERM set the flag. The handler is installed with
// SA_RESTART, so calls of other threads (store, sockets) go on after it;
// nanosleep is never restarted, so a pacing sleep ends at once and the
// caller reads the flag.
#include <signal.h>
#include <time.h>

#include "platform/stopsignal.h"

namespace platform {

namespace {

volatile sig_atomic_t g_stop = 0;

void OnStopSignal(int) { g_stop = 1; }

}  // namespace

void InstallStopHandler() {
    struct sigaction sa = {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

void IgnoreBrokenPipes() { signal(SIGPIPE, SIG_IGN); }

bool StopRequested() { return g_stop != 0; }

void SleepUnlessStopped(int64_t microseconds) {
    if (g_stop != 0 || microseconds <= 0) return;
    timespec ts;
    ts.tv_sec = static_cast<time_t>(microseconds / 1000000);
    ts.tv_nsec = static_cast<long>((microseconds % 1000000) * 1000);
    nanosleep(&ts, nullptr);
}

}  // namespace platform
