// Winsock start-up for the Windows sources of this folder (socket, completion
// port, resolver): the socket library must be started once in a process
// before any socket call. Thread-safe; the library stays started until the
// process ends. Not part of the platform seam: only *_win.cpp include it.
#pragma once

#include <winsock2.h>

namespace platform {

// True once WSAStartup (version 2.2) has succeeded in this process.
inline bool StartWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

}  // namespace platform
