// DESIGN: the port is the system's I/O completion port. A socket is
// associated with it under its key (CreateIoCompletionPort); receives and
// sends are overlapped WSARecv and WSASend calls, and the thread in Dequeue
// takes their completions out with GetQueuedCompletionStatus, in the order
// the system finished them. Each request travels in an operation record of
// ours whose OVERLAPPED comes first; Post queues a record by hand.
//
// A socket table, under one lock, keeps what the contract needs beyond the
// system: the one pending receive (kBusy), the bytes of sends not yet
// completed (QueuedBytes), and the records still pending, so that
// CloseSocket can mark them: the system completes them with
// ERROR_OPERATION_ABORTED once the socket is closed, and a marked record
// comes out as kCanceled. A generation number tells a record of an earlier
// socket from one of a later socket with the same number.
//
// A WSARecv that fails at once still owes the owner its completion: the
// record is posted by hand with the error. A WSASend that fails at once is
// refused (PostSend returns the failure; nothing is queued), as the system
// itself queues nothing for it. A request that finished at once is
// completed through the port all the same (the default for a socket).
#include <winsock2.h>

#include <unordered_map>

#include "platform/completionport.h"
#include "platform/mutex.h"
#include "platform/winsock_win.h"

namespace platform {
namespace {

enum class OpKind { kReceive, kSend, kPosted };

struct Op {
    OVERLAPPED overlapped{};  // first: the system hands back its address
    OpKind kind = OpKind::kPosted;
    void* request = nullptr;
    int socket = -1;
    uint32_t generation = 0;
    uint32_t length = 0;
    // An error the record carries when posted by hand (a failed WSARecv).
    int error = 0;
    // Set under the table's lock when the socket was closed while pending.
    bool canceled = false;
};

struct SocketEntry {
    uintptr_t key = 0;
    uint32_t generation = 0;
    bool receivePending = false;
    size_t queuedBytes = 0;
    std::unordered_map<Op*, bool> pending;
};

IoResult TransferFailure(int error) {
    switch (error) {
        case 0:
            return {};
        case ERROR_NETNAME_DELETED:
        case ERROR_CONNECTION_ABORTED:
        case ERROR_SEM_TIMEOUT:
        case ERROR_HOST_UNREACHABLE:
        case ERROR_NETWORK_UNREACHABLE:
        case WSAECONNRESET:
        case WSAECONNABORTED:
        case WSAESHUTDOWN:
        case WSAETIMEDOUT:
        case WSAENOTCONN:
        case WSAENETRESET:
            return {IoStatus::kPeerReset, error};
        case ERROR_OPERATION_ABORTED:
            return {IoStatus::kCanceled, error};
        case WSAENOBUFS:
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_NO_SYSTEM_RESOURCES:
            return {IoStatus::kNoResources, error};
        default:
            return {IoStatus::kFailed, error};
    }
}

}  // namespace

struct CompletionPort::State {
    // Constant between Create and Close.
    HANDLE port = nullptr;

    // Guards the fields below. Innermost but for the logger's writeLock;
    // no call made under it blocks.
    Mutex lock;
    std::unordered_map<int, SocketEntry> sockets GUARDED_BY(lock);
    uint32_t lastGeneration GUARDED_BY(lock) = 0;

    SocketEntry* Find(int socket) REQUIRES(lock) {
        auto it = sockets.find(socket);
        return it == sockets.end() ? nullptr : &it->second;
    }
};

CompletionPort::CompletionPort() : state(new State) {}

CompletionPort::~CompletionPort() { Close(); }

bool CompletionPort::Create() {
    if (state->port != nullptr) return true;
    if (!StartWinsock()) return false;
    state->port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    return state->port != nullptr;
}

IoResult CompletionPort::Associate(int socket, uintptr_t key) {
    if (socket < 0 || key == 0) return {IoStatus::kInvalid, ERROR_INVALID_PARAMETER};
    MutexLock guard(state->lock);
    if (state->port == nullptr) return {IoStatus::kNotAssociated, ERROR_INVALID_HANDLE};
    if (state->Find(socket) != nullptr) return {IoStatus::kAlreadyAssociated, ERROR_ALREADY_EXISTS};
    if (CreateIoCompletionPort(reinterpret_cast<HANDLE>(static_cast<SOCKET>(socket)), state->port,
                               key, 0) == nullptr) {
        int error = static_cast<int>(GetLastError());
        // A socket joins one port for good: the system refuses it again.
        return {error == ERROR_INVALID_PARAMETER ? IoStatus::kAlreadyAssociated : IoStatus::kFailed,
                error};
    }
    uint32_t generation = ++state->lastGeneration;
    SocketEntry& entry = state->sockets[socket];
    entry.key = key;
    entry.generation = generation;
    return {};
}

IoResult CompletionPort::PostReceive(int socket, char* buffer, uint32_t size, void* request) {
    if (size == 0 || buffer == nullptr) return {IoStatus::kInvalid, ERROR_INVALID_PARAMETER};
    MutexLock guard(state->lock);
    SocketEntry* entry = state->Find(socket);
    if (entry == nullptr) return {IoStatus::kNotAssociated, ERROR_INVALID_HANDLE};
    if (entry->receivePending) return {IoStatus::kBusy, ERROR_BUSY};
    auto* op = new Op;
    op->kind = OpKind::kReceive;
    op->request = request;
    op->socket = socket;
    op->generation = entry->generation;
    WSABUF wsaBuffer{size, buffer};
    DWORD flags = 0;
    if (WSARecv(static_cast<SOCKET>(socket), &wsaBuffer, 1, nullptr, &flags, &op->overlapped,
                nullptr) != 0) {
        int error = WSAGetLastError();
        if (error != WSA_IO_PENDING) {
            op->error = error;
            if (!PostQueuedCompletionStatus(state->port, 0, entry->key, &op->overlapped)) {
                delete op;
                return {IoStatus::kNoResources, static_cast<int>(GetLastError())};
            }
        }
    }
    entry->receivePending = true;
    entry->pending[op] = true;
    return {};
}

IoResult CompletionPort::PostSend(int socket, const char* data, uint32_t length, void* request) {
    if (length == 0 || data == nullptr) return {IoStatus::kInvalid, ERROR_INVALID_PARAMETER};
    MutexLock guard(state->lock);
    SocketEntry* entry = state->Find(socket);
    if (entry == nullptr) return {IoStatus::kNotAssociated, ERROR_INVALID_HANDLE};
    auto* op = new Op;
    op->kind = OpKind::kSend;
    op->request = request;
    op->socket = socket;
    op->generation = entry->generation;
    op->length = length;
    WSABUF wsaBuffer{length, const_cast<char*>(data)};
    if (WSASend(static_cast<SOCKET>(socket), &wsaBuffer, 1, nullptr, 0, &op->overlapped, nullptr) !=
        0) {
        int error = WSAGetLastError();
        if (error != WSA_IO_PENDING) {
            delete op;
            return TransferFailure(error);
        }
    }
    entry->queuedBytes += length;
    entry->pending[op] = true;
    return {};
}

size_t CompletionPort::QueuedBytes(int socket) {
    MutexLock guard(state->lock);
    SocketEntry* entry = state->Find(socket);
    return entry == nullptr ? 0 : entry->queuedBytes;
}

IoResult CompletionPort::CloseSocket(int socket) {
    MutexLock guard(state->lock);
    SocketEntry* entry = state->Find(socket);
    if (entry == nullptr) return {IoStatus::kNotAssociated, ERROR_INVALID_HANDLE};
    for (auto& pending : entry->pending) pending.first->canceled = true;
    state->sockets.erase(socket);
    const SOCKET s = static_cast<SOCKET>(socket);
    // Closing alone is documented to abort the pending requests; Wine leaves
    // them pending, so they are cancelled first (the same end on Windows).
    CancelIoEx(reinterpret_cast<HANDLE>(s), nullptr);
    shutdown(s, SD_BOTH);
    return closesocket(s) == 0 ? IoResult{} : IoResult{IoStatus::kFailed, WSAGetLastError()};
}

bool CompletionPort::Post(uintptr_t key, void* request, uint32_t bytes) {
    if (state->port == nullptr) return false;
    auto* op = new Op;
    op->request = request;
    if (!PostQueuedCompletionStatus(state->port, bytes, key, &op->overlapped)) {
        delete op;
        return false;
    }
    return true;
}

int CompletionPort::Dequeue(Completion* completion, int timeoutMs) {
    if (state->port == nullptr) return -1;
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* overlapped = nullptr;
    BOOL ok = GetQueuedCompletionStatus(state->port, &bytes, &key, &overlapped,
                                        timeoutMs < 0 ? INFINITE : DWORD(timeoutMs));
    if (overlapped == nullptr) return GetLastError() == WAIT_TIMEOUT ? 0 : -1;
    int error = ok ? 0 : static_cast<int>(GetLastError());
    Op* op = reinterpret_cast<Op*>(overlapped);
    completion->key = key;
    completion->request = op->request;
    completion->bytes = bytes;
    if (op->error != 0) error = op->error;
    if (op->kind != OpKind::kPosted) {
        MutexLock guard(state->lock);
        SocketEntry* entry = state->Find(op->socket);
        if (entry != nullptr && entry->generation == op->generation) {
            entry->pending.erase(op);
            if (op->kind == OpKind::kReceive) entry->receivePending = false;
            if (op->kind == OpKind::kSend) entry->queuedBytes -= op->length;
        }
        // A closed socket's receive may also end as an empty read.
        if (op->canceled && (error != 0 || (op->kind == OpKind::kReceive && bytes == 0))) {
            error = ERROR_OPERATION_ABORTED;
        }
    }
    completion->result = TransferFailure(error);
    delete op;
    return 1;
}

void CompletionPort::Close() {
    if (state->port == nullptr) return;
    // Records that finished but were not taken out are dropped with the port.
    DWORD bytes;
    ULONG_PTR key;
    OVERLAPPED* overlapped;
    while (GetQueuedCompletionStatus(state->port, &bytes, &key, &overlapped, 0) ||
           overlapped != nullptr) {
        delete reinterpret_cast<Op*>(overlapped);
    }
    MutexLock guard(state->lock);
    state->sockets.clear();
    CloseHandle(state->port);
    state->port = nullptr;
}

}  // namespace platform
