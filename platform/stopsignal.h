// Stop requests for the command-line tools: Ctrl+C at the console or the
// system asking the program to end (SIGINT and SIGTERM on Linux; the
// console's control events on Windows) set a flag that a tool's loop reads,
// and end a pacing sleep at once. Installed once by the tool's main thread;
// StopRequested and SleepUnlessStopped may be called from any thread.
#pragma once

#include <cstdint>

namespace platform {

// Routes the stop requests to the flag below (a second call changes
// nothing). Calls the process makes that a request interrupts go on by
// themselves where the system allows it.
void InstallStopHandler();

// Where writing to a connection its peer closed would end the process
// (SIGPIPE on Linux), makes it an error of that write instead.
void IgnoreBrokenPipes();

// True once a stop was requested.
bool StopRequested();

// Sleeps for the time given, or less when a stop is requested meanwhile.
void SleepUnlessStopped(int64_t microseconds);

}  // namespace platform
