#include "serverframework/iocpserver.h"

#include <chrono>
#include <cstring>
#include <functional>
#include <new>
#include <system_error>
#include <vector>

#include "base/logger.h"
#include "base/stringformat.h"
#include "platform/socket.h"
#include "serverframework/sslcontext.h"
#include "serverframework/sslsession.h"
#include "serverframework/tlstransport.h"

namespace {

// One posted read or write, owned by the server from posting until the
// worker has handled its completion.
struct TIORequest {
    ~TIORequest() {
        delete[] m_strDataBuff;
        if (queued != nullptr) queued->fetch_sub(records);
    }

    long length = 0;                // bytes given to the receive or send call
    char* m_strDataBuff = nullptr;  // the data area, owned
    long flags = 0;
    // Event records in a send, counted in *queued until the request goes.
    uint32_t records = 0;
    std::atomic<uint64_t>* queued = nullptr;
    // The application's delivery mark of a send (0: none); reported through
    // OnMarkedSendSettled when the request goes.
    uint64_t mark = 0;
};

// Marks a read completion posted by hand whose data is plaintext already (the
// application data that came with the end of a TLS handshake). Above the bits
// the command protocol uses; never handed to the application.
constexpr long kFlagDecrypted = 0x100;

constexpr long kReadSize = 5000;
constexpr auto kWorkerStopDeadline = std::chrono::milliseconds(3000);
// Reads of a connection wait while more than this much of its output is
// unsent, so that a client that does not read cannot make the server answer
// without end.
constexpr size_t kReadPauseOutput = 256 * 1024;
// How often the worker looks for connections past a time bound.
constexpr auto kOverdueCheckInterval = std::chrono::milliseconds(250);

using Clock = std::chrono::steady_clock;
// Pause of the accept loop when the process is out of descriptors or memory.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

}  // namespace

CIOCPServer::CIOCPServer() = default;

CIOCPServer::~CIOCPServer() {
    if (!workerAbandoned) return;
    // Stop left a busy worker running; it still uses this object and the
    // port, so wait for it, then release what Stop could not. The subclass
    // is gone already, so the remaining clients are closed without hooks.
    workerEnded.wait();
    {
        RSLibrary::RSSynchronizeGuard guard(sendLock);
        for (CIOCPClientContext* context : openContexts) {
            context->closed.store(true);
            completionPort.CloseSocket(context->socket);
            context->transport->Shutdown();
            context->Release();
        }
        openContexts.clear();
    }
    DropResumes();
    DrainCompletions();
    completionPort.Close();
}

void CIOCPServer::WaitForAbandonedWorker() {
    if (workerAbandoned) workerEnded.wait();
}

void CIOCPServer::SetListenAddress(const std::string& address) { listenAddress = address; }

void CIOCPServer::SetConnectionLimits(const TConnectionLimits& newLimits) {
    RSLibrary::RSSynchronizeGuard guard(sendLock);
    limits = newLimits;
}

void CIOCPServer::MarkLoggedIn(CIOCPClientContext* context) {
    RSLibrary::RSSynchronizeGuard guard(sendLock);
    context->loggedIn.store(true);
    UncountStartup(context);
}

void CIOCPServer::UncountStartup(CIOCPClientContext* context) {
    if (!context->countedStartup) return;
    context->countedStartup = false;
    auto found = startups.find(context->sourceBlock);
    if (found != startups.end() && --found->second <= 0) startups.erase(found);
}

template <typename Eligible>
CIOCPClientContext* CIOCPServer::ChooseDropped(Eligible eligible) {
    struct TBlock {
        int count = 0;
        CIOCPClientContext* oldest = nullptr;
    };
    std::unordered_map<std::string, TBlock> blocks;
    for (CIOCPClientContext* context : openContexts) {
        if (!eligible(context)) continue;
        TBlock& block = blocks[context->sourceBlock];
        ++block.count;
        if (block.oldest == nullptr || context->acceptedAt < block.oldest->acceptedAt) {
            block.oldest = context;
        }
    }
    const TBlock* chosen = nullptr;
    for (const auto& entry : blocks) {
        const TBlock& block = entry.second;
        if (chosen == nullptr || block.count > chosen->count ||
            (block.count == chosen->count &&
             block.oldest->acceptedAt < chosen->oldest->acceptedAt)) {
            chosen = &block;
        }
    }
    return chosen == nullptr ? nullptr : chosen->oldest;
}

bool CIOCPServer::AdmitStartup(CIOCPClientContext* context) {
    const std::string& block = context->sourceBlock;
    if (limits.perSourceStartups > 0) {
        auto found = startups.find(block);
        if (found != startups.end() && found->second >= limits.perSourceStartups) return false;
    }
    if (context->inHandshake.load() && limits.maxHandshakes > 0 &&
        handshakes.load() >= limits.maxHandshakes) {
        CIOCPClientContext* oldest =
            ChooseDropped([](CIOCPClientContext* open) { return open->inHandshake.load(); });
        if (oldest == nullptr) return false;
        LogBySource(oldest, LOG_WARN, "TLS handshake dropped for a newer connection",
                    StringFormat("Closing connection from %s: %d TLS handshakes in progress; the "
                                 "oldest of %s gives way to a newer connection",
                                 oldest->address.c_str(), limits.maxHandshakes,
                                 oldest->sourceBlock.c_str()));
        // Never announced (its handshake is in progress), so no hook runs
        // under the lock; and the worker sees it closed before it could
        // complete the handshake.
        ResetClient(oldest);
    }
    ++startups[block];
    context->countedStartup = true;
    return true;
}

bool CIOCPServer::DropWaitingClient(CIOCPClientContext* newcomer) {
    CIOCPClientContext* dropped;
    {
        RSLibrary::RSSynchronizeGuard guard(sendLock);
        dropped = ChooseDropped([newcomer](CIOCPClientContext* open) {
            return open != newcomer && !open->inHandshake.load() && !open->loggedIn.load() &&
                   !open->overLimit;
        });
        if (dropped == nullptr) return false;
        dropped->AddRef();
    }
    LogBySource(dropped, LOG_WARN, "not logged in, dropped for a newer connection",
                StringFormat("Closing connection from %s: not logged in while every connection "
                             "slot is taken; the oldest of %s gives way to a newer connection",
                             dropped->address.c_str(), dropped->sourceBlock.c_str()));
    ResetClient(dropped);
    dropped->Release();
    return true;
}

void CIOCPServer::LogBySource(const CIOCPClientContext* context, int level, const std::string& kind,
                              const std::string& line) {
    CLogger* const logger = g_logger;
    if (logger == nullptr || level < logger->GetLevel()) return;
    if (!refusals.Note(context->sourceBlock, kind, level, Clock::now())) return;
    Log(logger, level, __LINE__, __FILE_NAME__, "%s", line.c_str());
}

void CIOCPServer::LogSourceCounts(Clock::time_point now, bool all) {
    for (const CRefusalLog::TLine& line : refusals.Due(now, all)) {
        CLogger* const logger = g_logger;
        if (logger != nullptr && line.level >= logger->GetLevel()) {
            Log(logger, line.level, __LINE__, __FILE_NAME__, "%s", line.text.c_str());
        }
    }
}

void CIOCPServer::ResumeAfter(CIOCPClientContext* context, long flags,
                              std::chrono::milliseconds delay) {
    context->AddRef();
    resumes.emplace(Clock::now() + delay, std::make_pair(context, flags));
}

void CIOCPServer::OnResume(CIOCPClientContext* context, long flags) {
    (void)context;
    (void)flags;
}

int CIOCPServer::SendString(CIOCPClientContext* context, long flags, const std::string& text) {
    Send(context, flags, text.data(), static_cast<long>(text.size()));
    return 1;
}

bool CIOCPServer::Send(CIOCPClientContext* context, long flags, const char* data, long length) {
    return SendCounted(context, flags, data, length, 0, 0);
}

bool CIOCPServer::SendMarkedString(CIOCPClientContext* context, long flags, const std::string& text,
                                   uint32_t records, uint64_t mark) {
    if (text.empty()) return false;
    return SendCounted(context, flags, text.data(), static_cast<long>(text.size()), records, mark);
}

void CIOCPServer::OnMarkedSendSettled(uint64_t mark, bool sent) {
    (void)mark;
    (void)sent;
}

int CIOCPServer::SendCountedString(CIOCPClientContext* context, long flags, const std::string& text,
                                   uint32_t records) {
    SendCounted(context, flags, text.data(), static_cast<long>(text.size()), records, 0);
    return 1;
}

bool CIOCPServer::SendCounted(CIOCPClientContext* context, long flags, const char* data,
                              long length, uint32_t records, uint64_t mark) {
    if (length == 0) return true;
    if (context == nullptr || data == nullptr || length < 0) return false;
    RSLibrary::RSSynchronizeGuard guard(sendLock);
    if (context->closed.load() || context->overLimit) return false;

    std::string sealed;
    if ((flags & IO_FLAG_HANDSHAKE) == 0) {
        int sslError = 0;
        if (!context->transport->Seal(&data, &length, &sealed, &sslError)) {
            if (sslError != 0 && tls != nullptr) tls->ReportSendError(sslError);
            return false;
        }
        // Nothing to post, so no request reports a mark.
        if (length == 0) return mark == 0;
    }

    size_t queued = completionPort.QueuedBytes(context->socket);
    if (!PassesOutputLimit(context, queued, length)) return false;

    TIORequest* request = new (std::nothrow) TIORequest;
    if (request == nullptr) {
        LOG(WARN, "Unexpected condition: pIOWrite is NULL - possible memory allocation error");
        return false;
    }
    request->m_strDataBuff = new (std::nothrow) char[static_cast<size_t>(length) + 100]();
    if (request->m_strDataBuff == nullptr) {
        LOG(WARN,
            "Unexpected condition: pIOWrite->m_strDataBuff is NULL - possible memory allocation "
            "error");
        delete request;
        return false;
    }
    std::memcpy(request->m_strDataBuff, data, static_cast<size_t>(length));
    request->length = length;
    request->flags = flags | IO_FLAG_WRITE;
    if (records > 0) {
        request->records = records;
        request->queued = &queuedRecords;
        queuedRecords.fetch_add(records);
    }
    // Set before the post: the worker may take the completion at once.
    request->mark = mark;

    context->AddRef();
    platform::IoResult error = completionPort.PostSend(context->socket, request->m_strDataBuff,
                                                       static_cast<uint32_t>(length), request);
    if (!error.ok()) {
        // The connection's reference is still held (the context is not
        // closed), so this never frees the context. The caller learns of the
        // failure from the result, not from the hook.
        context->Release();
        request->mark = 0;
        delete request;
        return false;
    }
    // At most this much is queued now (less when the system took some).
    size_t unsent = queued + static_cast<size_t>(length);
    if (limits.outputSoftLimit > 0 && unsent > limits.outputSoftLimit &&
        !context->aboveSoftLimit.load()) {
        context->aboveSoftLimit.store(true);
        context->aboveSoftLimitSince = Clock::now();
    }
    return true;
}

bool CIOCPServer::PassesOutputLimit(CIOCPClientContext* context, size_t unsent, long length) {
    size_t limit = context->loggedIn.load() ? limits.outputLimit : limits.preLoginOutputLimit;
    if (limit == 0 || unsent + static_cast<size_t>(length) <= limit) return true;
    context->overLimit = true;
    MarkForcedClose(context);
    LOG(WARN, "Closing connection from %s: %zu bytes of output pending, limit %zu",
        context->address.c_str(), unsent, limit);
    // The worker closes it: the sending thread may hold the application's
    // locks (a broadcast holds listLock), under which the close hook must not
    // run. A completion of 0 bytes closes the client.
    TIORequest* request = new (std::nothrow) TIORequest;
    if (request == nullptr) return false;
    request->flags = IO_FLAG_WRITE;
    context->AddRef();
    if (!completionPort.Post(reinterpret_cast<uintptr_t>(context), request, 0)) {
        context->Release();
        delete request;
    }
    return false;
}

void CIOCPServer::OnSendCompleted(CIOCPClientContext* context) {
    if (!context->readParked.load() && !context->aboveSoftLimit.load()) return;
    long flags = 0;
    long size = 0;
    bool resume = false;
    {
        RSLibrary::RSSynchronizeGuard guard(sendLock);
        size_t unsent = completionPort.QueuedBytes(context->socket);
        if (context->aboveSoftLimit.load() && unsent <= limits.outputSoftLimit) {
            context->aboveSoftLimit.store(false);
        }
        if (context->readParked.load() && unsent <= kReadPauseOutput) {
            context->readParked.store(false);
            flags = context->parkedReadFlags;
            size = context->parkedReadSize;
            resume = true;
        }
    }
    if (resume) PostRead(context, flags, size);
}

int CIOCPServer::PostRead(CIOCPClientContext* context, long flags, long size) {
    if (context == nullptr) return 0;
    if (size < 1) size = 1;
    if ((flags & IO_FLAG_HANDSHAKE) == 0 &&
        completionPort.QueuedBytes(context->socket) > kReadPauseOutput) {
        RSLibrary::RSSynchronizeGuard guard(sendLock);
        if (context->closed.load()) return 0;
        // Checked again under the lock: a completed send looks for a parked
        // read under this lock after the queue shrank.
        if (completionPort.QueuedBytes(context->socket) > kReadPauseOutput) {
            context->parkedReadFlags = flags;
            context->parkedReadSize = size;
            context->readParked.store(true);
            return 1;
        }
    }
    TIORequest* request = new (std::nothrow) TIORequest;
    if (request == nullptr) {
        LOG(WARN, "Unexpected condition: pIORead is NULL - possible memory allocation error");
        return 0;
    }
    request->m_strDataBuff = new (std::nothrow) char[static_cast<size_t>(size) + 1]();
    if (request->m_strDataBuff == nullptr) {
        LOG(WARN,
            "Unexpected condition: pIORead->m_strDataBuff is NULL - possible memory allocation "
            "error");
        delete request;
        return 0;
    }
    request->length = size;
    request->flags = flags | IO_FLAG_READ;

    platform::IoResult error;
    {
        RSLibrary::RSSynchronizeGuard guard(sendLock);
        if (context->closed.load()) {
            delete request;
            return 0;
        }
        if (!context->earlyPlaintext.empty() && (flags & IO_FLAG_HANDSHAKE) == 0) {
            // The first read of a TLS connection whose client sent data with
            // the end of the handshake: that data is this read's result. It
            // may exceed size (one record carries up to 16384 bytes).
            std::string& early = context->earlyPlaintext;
            if (early.size() > static_cast<size_t>(size)) {
                char* larger = new (std::nothrow) char[early.size() + 1]();
                if (larger == nullptr) {
                    delete request;
                    return 0;
                }
                delete[] request->m_strDataBuff;
                request->m_strDataBuff = larger;
            }
            std::memcpy(request->m_strDataBuff, early.data(), early.size());
            request->flags |= kFlagDecrypted;
            uint32_t bytes = static_cast<uint32_t>(early.size());
            early.clear();
            context->AddRef();
            if (completionPort.Post(reinterpret_cast<uintptr_t>(context), request, bytes)) {
                return 1;
            }
            context->Release();
            delete request;
            return 0;
        }
        context->AddRef();
        error = completionPort.PostReceive(context->socket, request->m_strDataBuff,
                                           static_cast<uint32_t>(size), request);
    }
    if (!error.ok()) {
        LOG(WARN, "[%s] No data received from WSARecv(): %d", context->address.c_str(), error.code);
        CloseClient(context);
        delete request;
        context->Release();
        return 0;
    }
    return 1;
}

int CIOCPServer::CloseClient(CIOCPClientContext* context) {
    if (context == nullptr) return 0;
    platform::IoResult error;
    bool announced;
    {
        RSLibrary::RSSynchronizeGuard guard(sendLock);
        if (context->closed.load()) return -1;
        context->closed.store(true);
        openContexts.erase(context);
        UncountStartup(context);
        if (context->resetOnClose.load()) platform::SetResetOnClose(context->socket);
        error = completionPort.CloseSocket(context->socket);
        if (error == platform::IoStatus::kNotAssociated) {
            // Never associated with the port (refused before association).
            platform::CloseSocket(context->socket);
            error = {};
        }
        // No thread uses the transport of a closed context, and every use
        // happens under this lock after a look at the mark set above.
        context->transport->Shutdown();
        context->earlyPlaintext.clear();
        bool handshaking = context->inHandshake.exchange(false);
        if (handshaking) handshakes.fetch_sub(1);
        announced = !handshaking;
    }
    // The socket is gone whatever close reported, so the hook runs in every
    // case and the client leaves the application's lists.
    if (announced) OnClientDisconnected(context);
    context->Release();
    return error.ok() ? 0 : -1;
}

void CIOCPServer::MarkForcedClose(CIOCPClientContext* context) {
    if (!context->resetOnClose.exchange(true)) {
        forcedDisconnects.fetch_add(1, std::memory_order_relaxed);
    }
}

int CIOCPServer::ResetClient(CIOCPClientContext* context) {
    if (context == nullptr) return 0;
    if (!context->closed.load()) MarkForcedClose(context);
    return CloseClient(context);
}

int CIOCPServer::Start(int reserved, int port, int sslPort) {
    (void)reserved;
    // A worker left running by Stop still owns the port.
    if (running || workerAbandoned) return 0;
    port &= 0xFFFF;
    sslPort &= 0xFFFF;
    if (!completionPort.Create()) return 0;

    tlsListening = sslPort != 0;
    if (tlsListening) {
        LOG(TRACE, "Creating SSL socket");
        // Serving plain TCP on the TLS port would expose the protocol
        // unencrypted; without a TLS context the start fails instead.
        if (tls == nullptr || !tls->IsReady()) {
            LOG(ERROR, "TLS port %d requested, but TLS is not set up", sslPort);
            completionPort.Close();
            return 0;
        }
        // The plain port is not opened.
        port = sslPort;
    } else if (tls != nullptr && tls->IsReady()) {
        // TLS was set up, so the owner meant to serve TLS; a TLS port of 0
        // (an unset or unreadable port number) must not fall back to
        // serving the protocol unencrypted.
        LOG(ERROR, "TLS is set up but the TLS port is 0; plain port %d not opened", port);
        completionPort.Close();
        return 0;
    }

    // Undoes the listener and the port when a later step fails.
    auto abandonStart = [this] {
        LOG(TRACE, "Calling WSACleanup()");
        platform::CloseSocket(listenSocket);
        listenSocket = -1;
        listenPort.store(0);
        completionPort.Close();
        return 0;
    };
    platform::IoResult listening = platform::OpenListener(
        listenAddress, static_cast<uint16_t>(port), platform::kMaxListenBacklog, &listenSocket);
    if (!listening.ok()) {
        LOG(ERROR, "Cannot listen on %s port %d: %s",
            listenAddress.empty() ? "every address" : listenAddress.c_str(), port,
            listening == platform::IoStatus::kInvalid ? "not an IPv4 or IPv6 address"
                                                      : std::strerror(listening.code));
        return abandonStart();
    }
    listenPort.store(platform::LocalPort(listenSocket));
    stopping.store(false);
    acceptGate = std::promise<void>();

    auto workerDone = std::make_shared<std::promise<void>>();
    workerEnded = workerDone->get_future();
    try {
        workerThread = std::thread([this, workerDone] {
            WorkerLoop();
            workerDone->set_value();
        });
    } catch (const std::system_error&) {
        return abandonStart();
    }
    try {
        std::shared_future<void> gate = acceptGate.get_future().share();
        acceptThread = std::thread([this, gate] {
            gate.wait();
            AcceptLoop();
        });
    } catch (const std::system_error&) {
        completionPort.Post(0, nullptr, 0);
        workerThread.join();
        return abandonStart();
    }
    running = true;
    OnServerStarted();
    acceptGate.set_value();
    return 1;
}

int CIOCPServer::Stop() {
    OnServerShutdown();
    if (!running) return 1;

    completionPort.Post(0, nullptr, 0);
    bool workerStopped = workerEnded.wait_for(kWorkerStopDeadline) == std::future_status::ready;
    if (workerStopped) {
        workerThread.join();
    } else {
        LOG(WARN, "Worker thread did not end within %d ms; it is left running",
            static_cast<int>(kWorkerStopDeadline.count()));
        workerThread.detach();
        workerAbandoned = true;
    }
    LOG(TRACE, "Calling CloseHandle()");

    stopping.store(true);
    platform::WakeListener(listenSocket);
    acceptThread.join();
    platform::CloseSocket(listenSocket);
    listenSocket = -1;
    listenPort.store(0);
    LOG(TRACE, "Calling WSACleanup()");

    // Counts of refusals not logged yet go to the log now.
    LogSourceCounts(Clock::now(), true);
    if (workerStopped) {
        DropResumes();
        CloseRemainingClients();
        DrainCompletions();
        completionPort.Close();
        // An abandoned worker may still report TLS errors; the destructor
        // frees the context after it.
        if (tls != nullptr) tls->Free();
    }
    running = false;
    return 1;
}

void CIOCPServer::CloseRemainingClients() {
    for (;;) {
        CIOCPClientContext* context;
        {
            RSLibrary::RSSynchronizeGuard guard(sendLock);
            if (openContexts.empty()) return;
            context = *openContexts.begin();
            context->AddRef();
        }
        CloseClient(context);
        context->Release();
    }
}

void CIOCPServer::DrainCompletions() {
    platform::Completion completion;
    while (completionPort.Dequeue(&completion, 0) == 1) {
        if (completion.key == 0 || completion.request == nullptr) continue;
        auto* request = static_cast<TIORequest*>(completion.request);
        const uint64_t mark = request->mark;
        delete request;
        // Not sent, whatever the completion says: the connection ends here.
        // From the destructor this reaches only this class's no-op hook.
        if (mark != 0) OnMarkedSendSettled(mark, false);
        reinterpret_cast<CIOCPClientContext*>(completion.key)->Release();
    }
}

void CIOCPServer::AcceptLoop() {
    for (;;) {
        int socket;
        platform::IoResult accepted = platform::AcceptConnection(listenSocket, &socket);
        if (!accepted.ok()) {
            if (stopping.load()) return;
            int error = accepted.code;
            switch (platform::ClassifyAcceptError(accepted)) {
                case platform::AcceptFailure::kRetry:
                    continue;
                case platform::AcceptFailure::kPause:
                    LOG(WARN, "accept failed with error %d; accepting again shortly", error);
                    std::this_thread::sleep_for(kAcceptPause);
                    continue;
                case platform::AcceptFailure::kStop:
                    LOG(ERROR, "accept failed with error %d; no further connections", error);
                    return;
            }
        }
        CIOCPClientContext* context = NewContext(socket);
        if (context == nullptr) {
            platform::CloseSocket(socket);
            continue;
        }
        context->address = platform::PeerAddressText(socket);
        context->acceptedAt = Clock::now();
        platform::IoResult error;
        bool admitted;
        int perSource;
        {
            RSLibrary::RSSynchronizeGuard guard(sendLock);
            perSource = limits.perSourceStartups;
            context->sourceBlock = SourceBlockOf(context->address, limits.sourceBlock);
            admitted = AdmitStartup(context);
            if (admitted) {
                if (context->inHandshake.load()) handshakes.fetch_add(1);
                error = completionPort.Associate(socket, reinterpret_cast<uintptr_t>(context));
                if (error.ok()) {
                    openContexts.insert(context);
                } else {
                    if (context->inHandshake.load()) handshakes.fetch_sub(1);
                    UncountStartup(context);
                }
            }
        }
        if (!admitted) {
            refusedPerSource.fetch_add(1, std::memory_order_relaxed);
            LogBySource(
                context, LOG_WARN, "over the per-source limit",
                StringFormat("Closing connection from %s: %s holds %d connections that "
                             "have not logged in",
                             context->address.c_str(), context->sourceBlock.c_str(), perSource));
            platform::SetResetOnClose(socket);
            platform::CloseSocket(socket);
            context->Release();
            continue;
        }
        if (!error.ok()) {
            LOG(ERROR, "Cannot associate an accepted socket with the completion port: %d",
                error.code);
            platform::CloseSocket(socket);
            context->Release();
            return;
        }
        // Held across the hook: once the first read is posted, the worker may
        // close and release the context before the hook returns.
        context->AddRef();
        StartConnection(context);
        context->Release();
    }
}

CIOCPClientContext* CIOCPServer::NewContext(int socket) {
    CIOCPClientContext* context;
    if (!tlsListening) {
        context = CreateClientContext(socket);
    } else {
        SSL* ssl = tls->NewSession();
        if (ssl == nullptr) {
            LOG(ERROR, "Cannot create the TLS state of a new connection");
            return nullptr;
        }
        context = CreateSslClientContext(socket, ssl);
        if (context == nullptr) SslFreeSession(ssl);
    }
    if (context != nullptr) context->inHandshake.store(!context->transport->Established());
    return context;
}

CIOCPClientContext* CIOCPServer::CreateSslClientContext(int socket, SSL* ssl) {
    CIOCPClientContext* context = CreateClientContext(socket);
    if (context == nullptr) return nullptr;
    std::unique_ptr<CTlsTransport> transport = CTlsTransport::Attach(ssl);
    if (transport == nullptr) {
        context->Release();
        return nullptr;
    }
    context->transport = std::move(transport);
    return context;
}

void CIOCPServer::StartConnection(CIOCPClientContext* context) {
    if (context->inHandshake.load()) {
        PostRead(context, IO_FLAG_HANDSHAKE, kReadSize);
    } else {
        OnClientConnected(context);
    }
}

void CIOCPServer::WorkerLoop() {
    platform::Completion completion;
    Clock::time_point now = Clock::now();
    Clock::time_point nextCheck = now + kOverdueCheckInterval;
    for (;;) {
        Clock::time_point due = nextCheck;
        if (!resumes.empty() && resumes.begin()->first < due) due = resumes.begin()->first;
        int waitMs = 0;
        if (due > now) {
            waitMs =
                static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(due - now).count());
        }
        int got = completionPort.Dequeue(&completion, waitMs);
        if (got < 0) {
            LOG(ERROR, "The completion port failed; the worker thread ends");
            return;
        }
        // Completions without a request are never posted for a client.
        if (got == 1 && completion.key == 0) return;
        if (got == 1 && completion.request != nullptr) {
            auto* context = reinterpret_cast<CIOCPClientContext*>(completion.key);
            auto* request = static_cast<TIORequest*>(completion.request);
            HandleCompletion(context, request->flags, request->m_strDataBuff, completion.bytes,
                             completion.result);
            // Sent: the system took every byte of the send.
            const bool sent = (request->flags & IO_FLAG_WRITE) != 0 && completion.result.ok() &&
                              completion.bytes == static_cast<uint32_t>(request->length);
            const uint64_t mark = request->mark;
            delete request;
            if (mark != 0) OnMarkedSendSettled(mark, sent);
            context->Release();
        }
        now = Clock::now();
        if (!resumes.empty() && resumes.begin()->first <= now) RunDueResumes(now);
        if (now >= nextCheck) {
            CloseOverdueClients(now);
            LogSourceCounts(now, false);
            nextCheck = now + kOverdueCheckInterval;
        }
    }
}

void CIOCPServer::RunDueResumes(Clock::time_point now) {
    while (!resumes.empty() && resumes.begin()->first <= now) {
        auto [context, flags] = resumes.begin()->second;
        resumes.erase(resumes.begin());
        if (!context->closed.load()) OnResume(context, flags);
        context->Release();
    }
}

void CIOCPServer::DropResumes() {
    for (auto& entry : resumes) entry.second.first->Release();
    resumes.clear();
}

void CIOCPServer::CloseOverdueClients(Clock::time_point now) {
    struct TOverdue {
        CIOCPClientContext* context;
        bool notLoggedIn;
        size_t unsent;
    };
    std::vector<TOverdue> overdue;
    TConnectionLimits bounds;
    {
        RSLibrary::RSSynchronizeGuard guard(sendLock);
        bounds = limits;
        for (CIOCPClientContext* context : openContexts) {
            if (context->overLimit) continue;
            bool notLoggedIn = bounds.loginTimeout.count() > 0 && !context->loggedIn.load() &&
                               now - context->acceptedAt >= bounds.loginTimeout;
            bool backedUp = bounds.outputSoftLimit > 0 && context->aboveSoftLimit.load() &&
                            now - context->aboveSoftLimitSince >= bounds.outputSoftTime;
            if (!notLoggedIn && !backedUp) continue;
            context->AddRef();
            overdue.push_back({context, notLoggedIn, completionPort.QueuedBytes(context->socket)});
        }
    }
    for (const TOverdue& entry : overdue) {
        const char* address = entry.context->address.c_str();
        if (entry.notLoggedIn) {
            LOG(WARN, "Closing connection from %s: not logged in within %lld s", address,
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::seconds>(bounds.loginTimeout).count()));
        } else {
            LOG(WARN,
                "Closing connection from %s: %zu bytes of output pending for %lld s, soft limit "
                "%zu",
                address, entry.unsent,
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::seconds>(bounds.outputSoftTime)
                        .count()),
                bounds.outputSoftLimit);
        }
        ResetClient(entry.context);
        entry.context->Release();
    }
}

void CIOCPServer::HandleCompletion(CIOCPClientContext* context, long flags, char* data,
                                   uint32_t bytes, const platform::IoResult& result) {
    if (context->closed.load()) return;
    if (!result.ok() || bytes == 0) {
        CloseClient(context);
        return;
    }
    long count = static_cast<long>(bytes);
    if (flags & IO_FLAG_READ) {
        if (flags & kFlagDecrypted) {
            OnDataReceived(context, flags & ~kFlagDecrypted, data, count);
        } else {
            ReceiveThroughTransport(context, flags, data, count);
        }
    } else if (flags & IO_FLAG_WRITE) {
        bytesSent.fetch_add(bytes, std::memory_order_relaxed);
        OnSendCompleted(context);
        if ((flags & IO_FLAG_HANDSHAKE) == 0) OnDataSent(context, flags, data, count);
    }
}

int CIOCPServer::InitSSL(const std::string& certificateFile, const std::string& password,
                         const std::string& dhFile, const std::string& caListFile) {
    if (tls == nullptr) tls = std::make_unique<CSslContext>();
    return tls->InitSSL(certificateFile, password, dhFile, caListFile);
}

long CIOCPServer::ReceiveThroughTransport(CIOCPClientContext* context, long flags, char* data,
                                          long byteCount) {
    TTransportInput in;
    bool handshake = (flags & IO_FLAG_HANDSHAKE) != 0;
    bool sent;
    {
        RSLibrary::RSSynchronizeGuard guard(sendLock);
        if (context->closed.load()) return 0;
        context->transport->Receive(data, byteCount, &in);
        // Also after a fatal error: the alert tells the peer why. What the
        // transport answers while reading goes out before any later send.
        sent = SendRecords(context, in.toPeer);
        if (in.ok && handshake && in.established) {
            context->earlyPlaintext.assign(in.data, static_cast<size_t>(in.length));
            // Under the lock that CloseClient marks the context closed in, so
            // the connection is announced either here or never.
            if (context->inHandshake.exchange(false)) handshakes.fetch_sub(1);
        }
    }
    if (!in.ok) return FailRead(context, in.sslError);
    if (handshake) {
        if (!in.established) return PostRead(context, IO_FLAG_HANDSHAKE, kReadSize);
        OnClientConnected(context);
        return sent ? 1 : 0;
    }
    // sendLock is free here: the command protocol may call into the engine.
    return OnDataReceived(context, flags, in.data, in.length);
}

bool CIOCPServer::SendRecords(CIOCPClientContext* context, const std::string& records) {
    return Send(context, IO_FLAG_HANDSHAKE, records.data(), static_cast<long>(records.size()));
}

long CIOCPServer::FailRead(CIOCPClientContext* context, int sslError) {
    if (sslError != 0 && tls != nullptr) tls->ReportRecvError(sslError);
    LOG(DEBUG, "[%s] TLS read failed (%d); closing the connection",
        platform::PeerAddressText(context->socket).c_str(), sslError);
    CloseClient(context);
    return 0;
}
