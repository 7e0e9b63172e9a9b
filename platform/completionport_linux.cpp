// DESIGN: the port is an epoll set in edge-triggered mode plus an eventfd
// that wakes a Dequeue blocked in epoll_wait when another thread queues a
// completion. The dequeuing thread performs receives when a socket becomes
// readable and finishes sends when it becomes writable. A send is tried at
// once on the calling thread when nothing is queued ahead of it; a receive is
// tried at once when the socket is known to hold data. Finished requests wait
// in one FIFO queue. One internal lock guards the socket table and the queue;
// no system call made under it can block.

#include <errno.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <unordered_map>

#include "platform/completionport.h"
#include "platform/mutex.h"
#include "platform/socket.h"

namespace platform {
namespace {

// epoll user data of the eventfd; socket entries use (generation << 32 | fd),
// and generations start at 1, so this value never collides.
constexpr uint64_t kWakeTag = ~uint64_t{0};
constexpr int kMaxEvents = 128;

struct PendingSend {
    const char* data;
    uint32_t length;
    uint32_t sent;
    void* request;
};

struct SocketEntry {
    int fd = -1;
    // Tells a stale epoll event for an earlier socket with the same
    // descriptor number from one for this socket.
    uint32_t generation = 0;
    uintptr_t key = 0;
    // Edge-triggered readiness as last seen: set by an event, cleared when a
    // call finds the socket drained (receive) or full (send).
    bool readable = true;
    bool writable = true;
    // The peer closed or the socket failed: receives never block again.
    bool hungUp = false;
    char* receiveBuffer = nullptr;
    uint32_t receiveSize = 0;
    void* receiveRequest = nullptr;
    std::deque<PendingSend> sends;
    // Bytes of the queued sends not yet handed to the system.
    size_t queuedBytes = 0;
};

// The kind of an errno that failed a receive, a send or a close.
IoResult TransferFailure(int error) {
    switch (error) {
        case 0:
            return {};
        case ECONNRESET:
        case EPIPE:
        case ECONNABORTED:
        case ETIMEDOUT:
            return {IoStatus::kPeerReset, error};
        case ECANCELED:
            return {IoStatus::kCanceled, error};
        case ENOBUFS:
        case ENOMEM:
            return {IoStatus::kNoResources, error};
        default:
            return {IoStatus::kFailed, error};
    }
}

}  // namespace

struct CompletionPort::State {
    // Constant between Create and Close.
    int epollFd = -1;
    int wakeFd = -1;

    // Guards everything below. Innermost: nothing else is locked under it.
    Mutex lock;
    std::unordered_map<int, SocketEntry> sockets GUARDED_BY(lock);
    std::deque<Completion> queue GUARDED_BY(lock);
    uint32_t lastGeneration GUARDED_BY(lock) = 0;
    // The dequeuing thread is in (or about to enter) epoll_wait.
    bool waiting GUARDED_BY(lock) = false;
    // The eventfd was written and not yet read.
    bool wakeSignalled GUARDED_BY(lock) = false;

    void Enqueue(uintptr_t key, void* request, uint32_t bytes, int error) REQUIRES(lock) {
        queue.push_back(Completion{key, request, bytes, TransferFailure(error)});
        if (waiting && !wakeSignalled) {
            uint64_t one = 1;
            // The counter cannot overflow with one write per wake-up; should
            // the write fail, the counter is already non-zero and epoll_wait
            // wakes all the same.
            ssize_t written = write(wakeFd, &one, sizeof one);
            (void)written;
            wakeSignalled = true;
        }
    }

    void TryReceive(SocketEntry& entry) REQUIRES(lock) {
        while (entry.receiveRequest != nullptr && (entry.readable || entry.hungUp)) {
            ssize_t n = recv(entry.fd, entry.receiveBuffer, entry.receiveSize, 0);
            if (n >= 0) {
                // A short read drained the socket; new data raises a new edge.
                if (static_cast<uint32_t>(n) < entry.receiveSize) entry.readable = false;
                FinishReceive(entry, static_cast<uint32_t>(n), 0);
                return;
            }
            int error = errno;
            if (error == EINTR) continue;
            if (error == EAGAIN || error == EWOULDBLOCK) {
                entry.readable = false;
                return;
            }
            FinishReceive(entry, 0, error);
        }
    }

    void FinishReceive(SocketEntry& entry, uint32_t bytes, int error) REQUIRES(lock) {
        void* request = entry.receiveRequest;
        entry.receiveRequest = nullptr;
        entry.receiveBuffer = nullptr;
        entry.receiveSize = 0;
        Enqueue(entry.key, request, bytes, error);
    }

    // Writes as much of one send as the socket takes. Returns 0 when the send
    // is finished or waits for writability, else the errno that failed it.
    static int WriteSome(SocketEntry& entry, PendingSend& send) {
        while (send.sent < send.length) {
            ssize_t n = ::send(entry.fd, send.data + send.sent, send.length - send.sent,
                               MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n >= 0) {
                send.sent += static_cast<uint32_t>(n);
                // A short write means the send buffer is full.
                if (send.sent < send.length) entry.writable = false;
                return 0;
            }
            int error = errno;
            if (error == EINTR) continue;
            if (error == EAGAIN || error == EWOULDBLOCK) {
                entry.writable = false;
                return 0;
            }
            return error;
        }
        return 0;
    }

    void TrySends(SocketEntry& entry) REQUIRES(lock) {
        while (!entry.sends.empty() && entry.writable) {
            PendingSend& send = entry.sends.front();
            uint32_t before = send.sent;
            int error = WriteSome(entry, send);
            entry.queuedBytes -= send.sent - before;
            if (error == 0 && send.sent < send.length) return;
            // A failed send's rest is dropped with it.
            entry.queuedBytes -= send.length - send.sent;
            Enqueue(entry.key, send.request, send.sent, error);
            entry.sends.pop_front();
        }
    }

    void HandleEvent(const epoll_event& event) REQUIRES(lock) {
        if (event.data.u64 == kWakeTag) {
            uint64_t count;
            ssize_t got = read(wakeFd, &count, sizeof count);
            (void)got;
            wakeSignalled = false;
            return;
        }
        int fd = static_cast<int>(event.data.u64 & 0xFFFFFFFFu);
        uint32_t generation = static_cast<uint32_t>(event.data.u64 >> 32);
        auto it = sockets.find(fd);
        if (it == sockets.end() || it->second.generation != generation) return;
        SocketEntry& entry = it->second;
        if (event.events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) entry.hungUp = true;
        if (event.events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) entry.readable = true;
        if (event.events & (EPOLLOUT | EPOLLHUP | EPOLLERR)) entry.writable = true;
        TryReceive(entry);
        TrySends(entry);
    }
};

CompletionPort::CompletionPort() : state(new State) {}

CompletionPort::~CompletionPort() { Close(); }

bool CompletionPort::Create() {
    if (state->epollFd >= 0) return true;
    int epollFd = epoll_create1(EPOLL_CLOEXEC);
    if (epollFd < 0) return false;
    int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        close(epollFd);
        return false;
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kWakeTag;
    if (epoll_ctl(epollFd, EPOLL_CTL_ADD, wakeFd, &event) != 0) {
        close(wakeFd);
        close(epollFd);
        return false;
    }
    state->epollFd = epollFd;
    state->wakeFd = wakeFd;
    return true;
}

IoResult CompletionPort::Associate(int socket, uintptr_t key) {
    if (socket < 0 || key == 0) return {IoStatus::kInvalid, EINVAL};
    MutexLock guard(state->lock);
    if (state->epollFd < 0) return {IoStatus::kNotAssociated, EBADF};
    if (state->sockets.count(socket) != 0) return {IoStatus::kAlreadyAssociated, EEXIST};
    uint32_t generation = ++state->lastGeneration;
    if (generation == 0) generation = ++state->lastGeneration;
    epoll_event event{};
    event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    event.data.u64 = (uint64_t{generation} << 32) | static_cast<uint32_t>(socket);
    if (epoll_ctl(state->epollFd, EPOLL_CTL_ADD, socket, &event) != 0) {
        int error = errno;
        return {error == ENOMEM || error == ENOSPC ? IoStatus::kNoResources : IoStatus::kFailed,
                error};
    }
    SocketEntry& entry = state->sockets[socket];
    entry.fd = socket;
    entry.generation = generation;
    entry.key = key;
    return {};
}

IoResult CompletionPort::PostReceive(int socket, char* buffer, uint32_t size, void* request) {
    if (size == 0 || buffer == nullptr) return {IoStatus::kInvalid, EINVAL};
    MutexLock guard(state->lock);
    auto it = state->sockets.find(socket);
    if (it == state->sockets.end()) return {IoStatus::kNotAssociated, EBADF};
    SocketEntry& entry = it->second;
    if (entry.receiveRequest != nullptr) return {IoStatus::kBusy, EBUSY};
    entry.receiveBuffer = buffer;
    entry.receiveSize = size;
    entry.receiveRequest = request;
    state->TryReceive(entry);
    return {};
}

IoResult CompletionPort::PostSend(int socket, const char* data, uint32_t length, void* request) {
    if (length == 0 || data == nullptr) return {IoStatus::kInvalid, EINVAL};
    MutexLock guard(state->lock);
    auto it = state->sockets.find(socket);
    if (it == state->sockets.end()) return {IoStatus::kNotAssociated, EBADF};
    SocketEntry& entry = it->second;
    PendingSend send{data, length, 0, request};
    if (entry.sends.empty() && entry.writable) {
        int error = State::WriteSome(entry, send);
        if (error != 0 && send.sent == 0) return TransferFailure(error);
        if (error != 0 || send.sent == send.length) {
            state->Enqueue(entry.key, request, send.sent, error);
            return {};
        }
    }
    entry.sends.push_back(send);
    entry.queuedBytes += send.length - send.sent;
    return {};
}

size_t CompletionPort::QueuedBytes(int socket) {
    MutexLock guard(state->lock);
    auto it = state->sockets.find(socket);
    return it == state->sockets.end() ? 0 : it->second.queuedBytes;
}

IoResult CompletionPort::CloseSocket(int socket) {
    MutexLock guard(state->lock);
    auto it = state->sockets.find(socket);
    if (it == state->sockets.end()) return {IoStatus::kNotAssociated, EBADF};
    SocketEntry& entry = it->second;
    epoll_ctl(state->epollFd, EPOLL_CTL_DEL, socket, nullptr);
    // A shutdown would queue an orderly end of stream first, which a peer
    // reads as a normal close before the reset.
    if (!ResetsOnClose(socket)) shutdown(socket, SHUT_RDWR);
    // Linux releases the descriptor even when close reports an error.
    IoResult result = close(socket) == 0 ? IoResult{} : IoResult{IoStatus::kFailed, errno};
    if (entry.receiveRequest != nullptr) state->FinishReceive(entry, 0, ECANCELED);
    for (const PendingSend& send : entry.sends) {
        state->Enqueue(entry.key, send.request, send.sent, ECANCELED);
    }
    state->sockets.erase(it);
    return result;
}

bool CompletionPort::Post(uintptr_t key, void* request, uint32_t bytes) {
    MutexLock guard(state->lock);
    if (state->epollFd < 0) return false;
    state->Enqueue(key, request, bytes, 0);
    return true;
}

int CompletionPort::Dequeue(Completion* completion, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    epoll_event events[kMaxEvents];
    State& s = *state;
    int result = 0;
    s.lock.lock();
    for (;;) {
        if (!s.queue.empty()) {
            *completion = s.queue.front();
            s.queue.pop_front();
            result = 1;
            break;
        }
        if (s.epollFd < 0) {
            result = -1;
            break;
        }
        int waitMs = -1;
        if (timeoutMs >= 0) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            waitMs = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        // epoll_wait runs without the lock so that other threads can post
        // meanwhile; Enqueue then wakes it through the eventfd.
        s.waiting = true;
        s.lock.unlock();
        int n = epoll_wait(s.epollFd, events, kMaxEvents, waitMs);
        int error = errno;
        s.lock.lock();
        s.waiting = false;
        if (n < 0 && error != EINTR) {
            result = -1;
            break;
        }
        for (int i = 0; i < n; ++i) s.HandleEvent(events[i]);
        if (s.queue.empty() && waitMs == 0) {
            result = 0;
            break;
        }
    }
    s.lock.unlock();
    return result;
}

void CompletionPort::Close() {
    MutexLock guard(state->lock);
    if (state->epollFd < 0) return;
    state->sockets.clear();
    state->queue.clear();
    close(state->wakeFd);
    close(state->epollFd);
    state->wakeFd = -1;
    state->epollFd = -1;
}

}  // namespace platform
