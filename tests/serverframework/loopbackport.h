// Loopback port helpers for tests that start a server or a program which
// listens: a port to hand it, and a check whether anything accepts on one.
#pragma once

#include <cstdint>

#include "tests/platform/loopbackclient.h"

// A port that was free a moment ago: bound on 127.0.0.1 with port 0, read
// back and released for the server under test to listen on. 0 when the
// system gave none.
inline uint16_t FreePort() { return FreeLoopbackPort(); }

// True when a TCP connection to 127.0.0.1:port is accepted (it is closed
// again at once).
inline bool TcpConnects(uint16_t port) { return LoopbackConnects(port); }
