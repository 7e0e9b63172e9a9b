// IoResult: what became of a socket or completion-port call, as a kind the
// callers act on alike on every system, with the system's own error number
// kept for the log.
#pragma once

namespace platform {

enum class IoStatus {
    kOk,
    kInvalid,            // a size or length of 0, an address that is not a dotted IPv4 address
    kNotAssociated,      // the socket is not associated with the port (or the port is closed)
    kAlreadyAssociated,  // the socket is associated already
    kBusy,               // a receive is already pending on the socket
    kCanceled,           // the socket was closed while the request was pending
    kPeerReset,          // the peer reset the connection or it broke (also: a connection that
                         // failed before it was accepted)
    kClosed,             // the listener was woken (WakeListener) or closed: no more connections
    kNoResources,        // descriptors, buffers or memory ran out for now
    kFailed,             // anything else; code tells what
};

struct IoResult {
    IoStatus status = IoStatus::kOk;
    // The system's error number behind a failure, for the log only (its
    // values differ between systems); 0 for kOk.
    int code = 0;

    bool ok() const { return status == IoStatus::kOk; }
    // A result compares equal to its status.
    friend bool operator==(const IoResult& result, IoStatus status) {
        return result.status == status;
    }
};

}  // namespace platform
