// CIOCPServer: a reusable TCP server built on a completion port. It listens
// on one port, accepts connections on an accept thread, runs every socket
// completion on one worker thread, and leaves everything that concerns the
// application to the thirteen virtual operations below, seven of which the
// subclass supplies. Owned by whoever creates the subclass (the console entry
// point or the service); Start and Stop are called from the owner's thread,
// Send and SendString from any thread.
//
// DESIGN
//  Threads: the accept thread blocks in accept, has the subclass create a
//  context, associates the socket with the completion port under the context
//  pointer and calls OnClientConnected. The worker thread takes every
//  completion from the port and, one at a time, calls OnDataReceived or
//  OnDataSent, or closes the client when a request failed or the peer closed.
//  Sends are made by any thread; each goes to the socket at once from the
//  calling thread and what the socket does not take is finished by the port
//  on the worker thread.
//  Requests: each PostRead and each Send allocates a request (a fresh data
//  area) that the server owns until the worker has handled its completion.
//  Contexts: reference counted (serverframework/iocpclientcontext.h). The
//  connection's reference is dropped by CloseClient after OnClientDisconnected;
//  each posted request holds a reference until its completion was handled.
//  CloseClient marks the context closed under sendLock and closes the socket
//  in the same critical section; PostRead and Send test the mark under
//  sendLock, so a socket number that a later connection reuses never gets
//  another client's reads or writes. Completions of a closed context are freed
//  without calling the subclass. OnClientDisconnected runs exactly once per
//  context.
//  Bounds (SetConnectionLimits): the accept thread stamps each connection
//  with its peer, its source block (serverframework/sourceblock.h) and its
//  accept time. It resets at once a connection whose block already holds
//  perSourceStartups connections that have not logged in (handshakes in
//  progress included; counted under sendLock from the accept to the login
//  or the close). When maxHandshakes are in progress, the oldest handshake
//  of the block with the most of them is reset to make room: strangers
//  holding handshakes never keep a real client out. The application does
//  the same for its own connection slots (DropWaitingClient). Refusals and
//  drops are logged once per source block and kind a minute, with a count
//  (CRefusalLog; the worker logs the counts). A send that would take a
//  connection's queued output (what the completion port still holds for it)
//  past its bound is dropped and the connection closed by the worker, since
//  the sender may hold the application's locks; while more than 256 KiB is
//  queued, a posted read waits and is posted when a completed send shows
//  the queue drained. The worker wakes at least every 250 ms, closes
//  connections past the login time-out or too long above the soft bound,
//  and runs the resumptions of ResumeAfter that are due. So a connection
//  that does not read never blocks a sender and never holds more than its
//  bound. Every close for a bound is a reset (ResetClient): the unsent
//  output is dropped with the connection, not left to the system.
//  Start order: worker thread, accept thread, OnServerStarted; the accept
//  thread accepts its first connection only after OnServerStarted returned,
//  so the hooks never see a half-started subclass.
//  Shutdown (Stop): OnServerShutdown first; then a completion with key 0 ends
//  the worker (waited for at most 3000 ms); then the listener is shut down,
//  which ends the blocked accept, and the accept thread is joined; contexts
//  still open (accepted while the hook ran) are closed, the completions left
//  in the port are freed and the port is closed. A worker that misses its
//  deadline is left running with the port and its contexts; the destructor
//  waits for it before it frees them, so no memory is freed under it.
//  Transports: every read and send goes through the context's transport
//  (serverframework/transport.h), plain or TLS. With a TLS port (after
//  InitSSL) the server listens on that port only, and the accept thread gives
//  each connection a TLS transport (CreateSslClientContext). A connection
//  whose transport is not established yet reads with IO_FLAG_HANDSHAKE: what
//  the transport answers goes out as it is, and once it reports the
//  connection established the worker calls OnClientConnected; application
//  data that came with the end of the handshake is handed to the first read
//  as a completion posted by hand. Received bytes go through the transport
//  under sendLock, which is released before OnDataReceived runs, since the
//  command protocol calls into the engine whose dispatcher sends while it
//  holds subsListLock. Send seals under sendLock and posts the result in the
//  same critical section, so records reach the socket in the order they were
//  made. A fatal transport error on a read closes the connection. A
//  connection is announced (OnClientConnected, later OnClientDisconnected)
//  only once its transport is established. Every use of a transport happens
//  under sendLock on a context that is not closed; CloseClient shuts it down
//  in the critical section that marks the context closed.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "platform/completionport.h"
#include "platform/thread_annotations.h"
#include "serverframework/iocpclientcontext.h"
#include "serverframework/refusallog.h"
#include "serverframework/sourceblock.h"
#include "serverframework/synchronization.h"

// Request flags. The server sets READ on reads and WRITE on writes and hands
// every other bit from the poster to the completion handler unchanged;
// AWAITING_LOGIN and LOGGED_IN belong to the command protocol.
constexpr long IO_FLAG_READ = 1;
constexpr long IO_FLAG_WRITE = 2;
constexpr long IO_FLAG_HANDSHAKE = 4;
constexpr long IO_FLAG_AWAITING_LOGIN = 8;
constexpr long IO_FLAG_LOGGED_IN = 16;

class CSslContext;

// What the connection server bounds per connection. A zero turns that bound
// off.
struct TConnectionLimits {
    // A connection that has not logged in (CIOCPServer::MarkLoggedIn) this
    // long after its accept is closed; this covers a TLS handshake that never
    // ends.
    std::chrono::milliseconds loginTimeout{0};
    // Unsent output a connection may have before and after its login: a send
    // that would pass the bound is dropped and the connection closed.
    size_t preLoginOutputLimit = 0;
    size_t outputLimit = 0;
    // A logged-in connection whose unsent output stays above
    // outputSoftLimit for outputSoftTime is closed.
    size_t outputSoftLimit = 0;
    std::chrono::milliseconds outputSoftTime{0};
    // TLS handshakes in progress at once. A connection accepted past them
    // takes the place of the oldest handshake of the source block that has
    // the most in progress, which is reset.
    int maxHandshakes = 0;
    // Connections that have not logged in (TLS handshakes in progress
    // included) one source block may hold; a connection accepted past them
    // is reset at once.
    int perSourceStartups = 0;
    // How client addresses are grouped into source blocks.
    TSourceBlockBits sourceBlock;
};
// OpenSSL's connection type by its declared name, so that this header does
// not need OpenSSL itself.
typedef struct ssl_st SSL;

class CIOCPServer : public RSLibrary::RSNonCopyable {
  public:
    CIOCPServer();
    // Frees the server's own objects; neither stops threads nor closes
    // sockets, so the owner calls Stop first. After a Stop whose worker
    // missed its deadline, waits for that worker to end and then closes the
    // clients it left (without OnClientDisconnected).
    virtual ~CIOCPServer();

    // Send of the text's characters (no terminating NUL). Returns 1.
    virtual int SendString(CIOCPClientContext* context, long flags, const std::string& text);

    // Queues length bytes for the client. Length 0 sends nothing and returns
    // true. Returns false, without closing the client, when the context is
    // closed or the socket refused the data; the close then follows from the
    // failed read. Also false when the data would take the connection's
    // queued output past its bound (SetConnectionLimits): the data is
    // dropped and the worker closes the client. Never waits for the peer.
    // Any thread; serialised by sendLock.
    virtual bool Send(CIOCPClientContext* context, long flags, const char* data, long length);

    // SendString of a text that carries `records` event records: they count
    // as queued for the client (GetQueuedRecords) until the send has
    // completed or was dropped. Returns 1.
    int SendCountedString(CIOCPClientContext* context, long flags, const std::string& text,
                          uint32_t records);
    // SendCountedString under the application's delivery mark (above 0):
    // true when the send was queued, and then OnMarkedSendSettled(mark, ...)
    // follows exactly once; false (nothing queued, no hook) when the
    // context is closed, the text empty, or the send was refused or dropped.
    bool SendMarkedString(CIOCPClientContext* context, long flags, const std::string& text,
                          uint32_t records, uint64_t mark);
    // Event records handed to sends that have not completed yet, over all
    // clients. Any thread.
    uint64_t GetQueuedRecords() const { return queuedRecords.load(); }
    // Bytes the sockets took (after TLS), and connections reset by force
    // (ResetClient), since the server was made. Any thread.
    uint64_t GetBytesSent() const { return bytesSent.load(std::memory_order_relaxed); }
    uint64_t GetForcedDisconnects() const {
        return forcedDisconnects.load(std::memory_order_relaxed);
    }
    // Connections reset at their accept because their source block held
    // its most connections not logged in. Any thread.
    uint64_t GetRefusedPerSource() const {
        return refusedPerSource.load(std::memory_order_relaxed);
    }

    // Posts the next read of up to size bytes (every caller uses 5000); the
    // completion hands a data area of size + 1 bytes, NUL-terminated, to
    // OnDataReceived with flags | IO_FLAG_READ. Returns 1; 0 when the context
    // is closed, memory is missing or the read cannot be posted (the client
    // is then closed). While more than 256 KiB of the connection's output is
    // queued, the read is held and posted once a completed send shows the
    // queue drained (TLS handshake reads are never held).
    virtual int PostRead(CIOCPClientContext* context, long flags, long size);

    // Closes the client: shuts the socket down and closes it, frees its TLS
    // state, calls OnClientDisconnected (not for a TLS connection whose
    // handshake never completed: the application never saw it) and drops the
    // connection's reference. Returns 0,
    // 0 for a null context, -1 when the context was already closed or the
    // close reported an error. The caller must hold a reference to the
    // context (a hook for it, a request completion, or its own).
    virtual int CloseClient(CIOCPClientContext* context);

    // CloseClient for a connection the server drops by force (a bound
    // passed, too many failed logins): the connection is reset, so what it
    // has not sent is discarded and the peer learns at once that it was
    // dropped, instead of waiting behind a graceful close that a peer which
    // stopped reading never completes. Same results and requirements as
    // CloseClient. Every close for a bound goes this way.
    int ResetClient(CIOCPClientContext* context);

    // Sets the connection bounds. Call before Start or from OnServerStarted,
    // before the first connection is accepted. Each closing for a bound is
    // logged at WARN with the peer's address.
    void SetConnectionLimits(const TConnectionLimits& newLimits);

    // The connection has logged in: its login clock stops, its output
    // bound becomes outputLimit and it no longer counts against its source
    // block's connections not logged in. Any thread holding none of the
    // server's locks or one before sendLock.
    void MarkLoggedIn(CIOCPClientContext* context);

    // Calls OnResume(context, flags) on the worker thread once delay has
    // passed, unless the connection was closed by then. Nothing is read from
    // the connection meanwhile unless the caller posts a read. Worker thread.
    void ResumeAfter(CIOCPClientContext* context, long flags, std::chrono::milliseconds delay);

  protected:
    // For an application whose connection slots are all taken when a new
    // connection arrives: resets, as a forced disconnect, the connection it
    // gives up for the newcomer. That is, of the announced connections that
    // have not logged in (other than newcomer), the oldest of the source
    // block that holds the most of them, so that strangers who never log in
    // cannot keep a client that logs in promptly out. Returns false when
    // there is no such connection. The close hook runs on the calling
    // thread, so the caller holds none of its own locks the hook takes.
    bool DropWaitingClient(CIOCPClientContext* newcomer);

    // Logs a line about the context's connection that a flood would repeat
    // without end (a refusal, a forced drop, a connection that comes and
    // goes without logging in): at level when it is the first of its kind
    // from the context's source block within a minute, else only counted;
    // the worker logs the count once the minute is over (CRefusalLog).
    // level is a TLogLevel. Any thread.
    void LogBySource(const CIOCPClientContext* context, int level, const std::string& kind,
                     const std::string& line);

    // When Stop left a busy worker running, waits until it has returned;
    // otherwise returns at once. A subclass whose hooks the worker may still
    // be running calls it first thing in its destructor, so the worker never
    // runs a hook on a half-destroyed object. Owner's thread.
    void WaitForAbandonedWorker();

    // Called by Start once the listener and both threads are up, on the
    // thread that calls Start.
    virtual void OnServerStarted() = 0;
    // Called first by Stop, on the thread that calls Stop.
    virtual void OnServerShutdown() = 0;
    // A new context for an accepted plain connection, or null to refuse it.
    // Accept thread.
    virtual CIOCPClientContext* CreateClientContext(int socket) = 0;
    // A new context for an accepted TLS connection with its TLS object (in
    // server state), after which the context owns the object. Null refuses
    // the connection; the server then frees the object. By default the
    // context of CreateClientContext with a TLS transport over the object.
    // Accept thread.
    virtual CIOCPClientContext* CreateSslClientContext(int socket, SSL* ssl);
    // The connection is ready for the application (plain: right after accept,
    // on the accept thread; TLS: after the handshake, on the worker thread).
    virtual long OnClientConnected(CIOCPClientContext* context) = 0;
    // The connection was closed; called exactly once per context for which
    // OnClientConnected was called, by whichever thread closed it. The
    // context stays allocated until its last reference goes, but must not be
    // used by the subclass afterwards.
    virtual long OnClientDisconnected(CIOCPClientContext* context) = 0;
    // A read completed with byteCount > 0 bytes; data is NUL-terminated.
    // Worker thread.
    virtual long OnDataReceived(CIOCPClientContext* context, long flags, char* data,
                                long byteCount) = 0;
    // A write completed with byteCount > 0 bytes. Worker thread.
    virtual long OnDataSent(CIOCPClientContext* context, long flags, char* data,
                            long byteCount) = 0;
    // The delay asked for by ResumeAfter has passed. Worker thread. Does
    // nothing by default.
    virtual void OnResume(CIOCPClientContext* context, long flags);
    // A send of SendMarkedString is over: sent when the system took all its
    // bytes (what it holds goes out even after the process ends), else it
    // failed or its connection closed first. Worker thread, or Stop's
    // thread for sends still queued when the worker ended; no lock of the
    // server is held. Does nothing by default.
    virtual void OnMarkedSendSettled(uint64_t mark, bool sent);

  public:
    // Listens on port (plain TCP) when sslPort is 0, otherwise on sslPort
    // with TLS only; only the low 16 bits of the ports count, and port 0 lets
    // the system pick one (GetListenPort). The first argument is ignored.
    // Returns 1 when listening, 0 on failure (nothing left running). A TLS
    // port without InitSSL fails, and so does a TLS port of 0 after InitSSL:
    // the server never serves plain TCP once TLS is set up.
    int Start(int reserved, int port, int sslPort);

    // OnServerShutdown, then ends the worker and accept threads and closes
    // what is left. Safe without a successful Start. Returns 1.
    int Stop();

    // The address the listener binds to: a dotted IPv4 address, an IPv6
    // address ("::1"; "::" for any, IPv4 clients included), or empty for
    // any IPv4 address (the default). Takes effect at the next Start.
    void SetListenAddress(const std::string& address);
    // The port the listener is bound to while started, else 0.
    uint16_t GetListenPort() const { return listenPort.load(); }

    // TLS set-up from the certificate file, key password, Diffie-Hellman
    // file and CA list (full paths), called on the owner's thread before
    // Start. Returns 1; on any failure it ends the process with its fatal
    // exit (CSslContext::InitSSL). Stop frees the TLS context again.
    int InitSSL(const std::string& certificateFile, const std::string& password,
                const std::string& dhFile, const std::string& caListFile);

  protected:
    // Serialises every send, every read posting, every close and every TLS
    // decryption. Re-entrant: a thread holding it may send again. Its place
    // in the lock order (after the command server's listLock): see
    // platform/thread_annotations.h.
    RSLibrary::RSCriticalSection sendLock;

  private:
    void AcceptLoop();
    void WorkerLoop();
    // The subclass's context for an accepted socket: a TLS one with a new SSL
    // object while listening for TLS. Null refuses the connection.
    CIOCPClientContext* NewContext(int socket);
    // Hands a freshly associated connection to the application: the greeting
    // hook when its transport is established, else the first handshake read.
    void StartConnection(CIOCPClientContext* context);
    // One read's bytes through the context's transport (under sendLock; the
    // caller must not hold it). In the handshake: what the transport answers
    // is sent, and the next handshake read is posted, or OnClientConnected
    // called once the connection is established. Afterwards: the application
    // bytes go to OnDataReceived, whose result is returned. 0 for a closed
    // context or a fatal transport error (the client is then closed).
    // Worker thread.
    long ReceiveThroughTransport(CIOCPClientContext* context, long flags, char* data,
                                 long byteCount);
    // One completion taken from the port: calls the subclass or closes.
    void HandleCompletion(CIOCPClientContext* context, long flags, char* data, uint32_t bytes,
                          const platform::IoResult& result);
    // Send, counting `records` as queued while the request exists, under
    // the delivery mark `mark` (0: none).
    bool SendCounted(CIOCPClientContext* context, long flags, const char* data, long length,
                     uint32_t records, uint64_t mark);
    // Sends bytes a transport produced for the peer, as they are.
    bool SendRecords(CIOCPClientContext* context, const std::string& records) REQUIRES(sendLock);
    // Reports a fatal transport error of a read ("Error in SSL Recv: ..." on
    // standard error for a TLS error) and closes the client. Returns 0.
    long FailRead(CIOCPClientContext* context, int sslError) EXCLUDES(sendLock);
    // The connection's close is to be a reset, counted once as forced.
    void MarkForcedClose(CIOCPClientContext* context);
    // Closes every context still open (Stop, after both threads ended).
    void CloseRemainingClients();
    // Frees the requests of completions still queued (Stop).
    void DrainCompletions();
    // A send completed, so the queued output may have drained: ends the
    // soft-bound clock and posts a read that waited for it. Worker thread.
    void OnSendCompleted(CIOCPClientContext* context) EXCLUDES(sendLock);
    // Whether a send of length bytes, with unsent bytes queued already,
    // stays within the connection's output bound; if not, logs it and has
    // the worker close the connection.
    bool PassesOutputLimit(CIOCPClientContext* context, size_t unsent, long length)
        REQUIRES(sendLock);
    // Closes the connections that are past their login time-out or have
    // been above the soft output bound too long. Worker thread.
    void CloseOverdueClients(std::chrono::steady_clock::time_point now) EXCLUDES(sendLock);
    // Runs the resumptions that are due. Worker thread.
    void RunDueResumes(std::chrono::steady_clock::time_point now);
    // Logs the refusal counts that are due (all of them with `all`).
    void LogSourceCounts(std::chrono::steady_clock::time_point now, bool all);
    // Of the open contexts that `eligible` accepts, the oldest of the
    // source block with the most of them (of equal blocks, the one with the
    // oldest); null when none.
    template <typename Eligible>
    CIOCPClientContext* ChooseDropped(Eligible eligible) REQUIRES(sendLock);
    // Ends the context's count among its block's connections not logged in.
    void UncountStartup(CIOCPClientContext* context) REQUIRES(sendLock);
    // The accept thread's bounds for a new connection, under sendLock: false
    // when it is past its source block's bound (nothing changed); otherwise
    // makes room for its TLS handshake (resetting the one that gives way)
    // and counts it.
    bool AdmitStartup(CIOCPClientContext* context) REQUIRES(sendLock);
    // Drops the resumptions left after the worker ended.
    void DropResumes();

    // Event records of sends not yet completed; each request takes its
    // share off when it is freed. Thread-safe on its own.
    std::atomic<uint64_t> queuedRecords{0};
    // Counters for the metrics endpoint; thread-safe on their own.
    std::atomic<uint64_t> bytesSent{0};
    std::atomic<uint64_t> forcedDisconnects{0};
    std::atomic<uint64_t> refusedPerSource{0};

    // Contexts associated with the port and not yet closed.
    std::unordered_set<CIOCPClientContext*> openContexts GUARDED_BY(sendLock);
    TConnectionLimits limits GUARDED_BY(sendLock);
    // TLS handshakes in progress: raised by the accept thread, lowered when a
    // handshake completes or its connection closes.
    std::atomic<int> handshakes{0};
    // Connections not logged in (handshakes included) per source block,
    // each counted from its accept to its login or close; no entry of 0.
    std::unordered_map<std::string, int> startups GUARDED_BY(sendLock);
    // Refusals logged once per source and kind a minute. Thread-safe on its
    // own.
    CRefusalLog refusals;

    // Resumptions asked for by ResumeAfter, by due time, each holding a
    // reference to its context. Worker thread only (and Stop and the
    // destructor once the worker ended).
    std::multimap<std::chrono::steady_clock::time_point, std::pair<CIOCPClientContext*, long>>
        resumes;

    // The server-wide TLS state. Made by InitSSL and released by Stop on the
    // owner's thread; while the server is started it is only read (sessions
    // made by the accept thread, error reports from any thread).
    std::unique_ptr<CSslContext> tls;

    // Written by Start and Stop on the owner's thread only.
    platform::CompletionPort completionPort;
    int listenSocket = -1;
    std::string listenAddress;
    bool running = false;
    // Whether the listener is the TLS one; set by Start before the accept
    // thread exists.
    bool tlsListening = false;
    bool workerAbandoned = false;
    std::thread acceptThread;
    std::thread workerThread;
    std::future<void> workerEnded;
    std::promise<void> acceptGate;

    // Read by the accept thread.
    std::atomic<bool> stopping{false};
    std::atomic<uint16_t> listenPort{0};
};
