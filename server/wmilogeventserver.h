// CWmiLogEventServer: the command server. A CIOCPServer that fills in the
// seven hooks: it limits the number of connections, greets each client, runs
// the line protocol of the monitoring clients (login, subscriptions through
// the controller, replays, lists, log level, help, ping, logout), keeps the
// connected and the logged-in clients, and is the engine's broadcast sink:
// the broadcast every other part uses to push lines to logged-in clients. One
// instance per process, created, started, stopped and deleted by the console
// entry point or the service.
//
// DESIGN
//  Threads: the accept thread runs CreateClientContext and OnClientConnected
//  (limit check, greeting, first read); the worker thread runs
//  OnDataReceived, that is the whole command protocol and every controller
//  call; the dispatcher and query threads hand it events and notices
//  (Deliver), which it formats as client lines and broadcasts, at any time;
//  the owner's thread runs OnServerStarted and OnServerShutdown.
//  Sessions: the login state travels in the flags of each posted read
//  (IO_FLAG_AWAITING_LOGIN until a successful LOGIN, then IO_FLAG_LOGGED_IN);
//  one read is outstanding per client, so one client's commands are handled
//  in order, one at a time. A failed LOGIN holds its reply and the rest of
//  the read for one second (ResumeAfter: no read meanwhile, the worker
//  serves the others); the third resets the connection. Failed logins are
//  also counted per source block across connections (loginBudget): past
//  ten in a minute their replies wait longer and longer, and the block
//  may hold only a few connections that have not logged in. The connection
//  bounds (LISTEN.LOGINTIMEOUT, LISTEN.OUTPUTLIMIT, LISTEN.OUTPUTSOFTLIMIT,
//  LISTEN.OUTPUTSOFTSECONDS; 64 KiB of output before login;
//  LISTEN.MAXHANDSHAKES, by default 8 TLS handshakes in progress per
//  connection slot; LISTEN.PERSOURCEMAXSTARTUPS connections not logged in
//  per source block of LISTEN.PERSOURCENETBLOCKV4/V6 bits) are handed to the
//  connection server in OnServerStarted.
//  Slots: LISTEN.MAXCONNECTIONS announced connections. When every slot is
//  taken, a connection that has not logged in gives way to the newcomer
//  (DropWaitingClient); only when every slot is held by a logged-in client
//  is the newcomer refused ("Max user count reached (N)").
//  Lists: allClients (greeted connections, in connect order),
//  loggedInClients (in login order) and connectionCount are guarded by
//  listLock. The broadcast sends while it holds listLock and
//  OnClientDisconnected removes a client under listLock, so the broadcast
//  only ever sends to clients that are still open or are being closed (a
//  send to a closed client fails harmlessly; the context itself is reference
//  counted by the connection server).
//  Engine: the controller is called only under controllerLock and only while
//  controllerRunning. OnServerShutdown clears controllerRunning under that
//  lock before it stops the controller, so no command reaches a stopping or
//  stopped engine; such commands, and all of them while no controller was
//  given, are answered "ERROR subscription engine not available".
//  Locks: controllerLock and listLock, each in its place in the lock order
//  of platform/thread_annotations.h. The broadcast never takes
//  controllerLock.
//  Shutdown: OnServerShutdown broadcasts "Server shutdown", stops the
//  controller (the engine may still broadcast meanwhile), then closes every
//  client in allClients.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/broadcastsink.h"
#include "engine/sinkfanout.h"
#include "engine/subscriptionengine.h"
#include "platform/mutex.h"
#include "platform/thread_annotations.h"
#include "server/loginbudget.h"
#include "serverframework/iocpserver.h"
#include "serverframework/synchronization.h"

// The command server's figures at one moment, for the metrics endpoint.
// Counters count since the server was made.
struct TListenerStats {
    int clientsLoggedIn = 0;
    int connections = 0;
    uint64_t failedLogins = 0;
    // Connections turned away: past LISTEN.MAXCONNECTIONS, or from an
    // address over its guessing budget.
    uint64_t refusedConnectionLimit = 0;
    uint64_t refusedGuessingBudget = 0;
    // ... and at the accept, from a source block holding
    // LISTEN.PERSOURCEMAXSTARTUPS connections not logged in.
    uint64_t refusedPerSource = 0;
    uint64_t bytesSent = 0;
    uint64_t forcedDisconnects = 0;
    // Event records handed to the clients' sends that have not completed.
    uint64_t queuedForClients = 0;
    // Whether an engine answered (false: none given, or stopped).
    bool engineRunning = false;
    TEngineStats engine;
    // The outputs beside the clients (Kafka).
    std::vector<TOutputStats> outputs;
};

class CWmiLogEventServer : public CIOCPServer, public CBroadcastSink {
  public:
    CWmiLogEventServer();
    // Logs "Deleting Object." and deletes the engine. Call Stop first.
    ~CWmiLogEventServer() override;

    // Hands the subscription engine to the server, which owns it from now
    // on (a previous one is deleted), starts it once it listens and stops it
    // at shutdown. Call before Start; null leaves the server without an
    // engine.
    void SetController(CSubscriptionEngine* controller);

    // Adds an output the engine delivers to besides the clients (Kafka); the
    // server owns it and deletes it after the engine. Call before Start.
    void AddOutput(std::unique_ptr<CBroadcastSink> output);

    // Adds a server that reports on this one (the metrics endpoint): this
    // server owns it, stops it first at shutdown and deletes it with
    // itself. Call after Start.
    void AddCompanion(std::unique_ptr<CIOCPServer> companion);

    // Sends text, with trailing white space removed and CR LF appended, to
    // every logged-in client in login order. A failed send to one client
    // does not stop the others. Any thread.
    void SendToAllClients(const std::string& text);

    // Broadcasts several texts at once: each client receives exactly the
    // bytes of SendToAllClients for every text in turn, with no other
    // broadcast between them, in one send per client. Nothing for an empty
    // list. A mark above 0 is reported settled once every logged-in
    // client's send of it is over: delivered when some client's socket took
    // it (engine/broadcastsink.h). Any thread.
    void SendLinesToClients(const std::vector<std::string>& texts, uint64_t mark);

    // The engine's output to the clients: each item as its client line
    // ("NTEVENT:" record or notice), all of them in one broadcast as
    // SendLinesToClients sends them, under the mark.
    void Deliver(const std::vector<TOutputItem>& items, uint64_t mark) override;
    void ReportDeliveryTo(CDeliveryReports* reports) override;
    // Some client is logged in.
    bool Receiving() override;

    // Adds a live subscription as a client's ADD would (the same checks and
    // results as CSubscriptionEngine::AddSubscription; -3 when no engine
    // runs). For the standing subscriptions of the configuration. Any
    // thread but the worker's own.
    int AddSubscription(const std::string& host, const std::string& category,
                        const std::string& severity, const std::string& user,
                        const std::string& password);

    // Clients logged in now.
    int GetLoggedInCount();

    // Connections accepted and not yet closed (also those being refused).
    int GetConnectionCount();

    // The server's, the engine's and the outputs' figures. Any thread but
    // one holding an engine lock.
    TListenerStats Snapshot();

    // The line as it may be written to the log. Credentials are left out by
    // their position: for a line whose keyword begins like LOGIN, ADD or
    // REPLAY, and for every later word that is one of these names (commands
    // glued onto one line), the text ends before the command's first
    // credential field (LOGIN's user is kept, ADD's user too, REPLAY's not),
    // or after its keyword when the fields cannot be told apart (a colon, a
    // quote left open, a keyword run into other characters, a keyword that
    // only begins like the name on a line none of the command's patterns
    // reads), the kept words joined by single blanks; other lines
    // unchanged. In every line, each occurrence of the configured login
    // password (LOCAL_AUTH.PASSWORD, in any case) becomes "****". Any
    // thread.
    static std::string LoggableLine(const std::string& line);

  protected:
    void OnServerStarted() override;
    void OnServerShutdown() override;
    CIOCPClientContext* CreateClientContext(int socket) override;
    long OnClientConnected(CIOCPClientContext* context) override;
    long OnClientDisconnected(CIOCPClientContext* context) override;
    // One completed read: answers every complete line in it, in order (one
    // reply each; a line with a NUL byte is an invalid command), keeps the
    // unfinished rest for the next read and posts it (none after LOGOUT,
    // EXIT, QUIT or invalid data, which close the connection). An unfinished
    // line of more than 4096 bytes is invalid data. Returns 1, or 0 for
    // invalid data.
    long OnDataReceived(CIOCPClientContext* context, long flags, char* data,
                        long byteCount) override;
    long OnDataSent(CIOCPClientContext* context, long flags, char* data, long byteCount) override;
    void OnMarkedSendSettled(uint64_t mark, bool sent) override;
    // The delay of a failed login has passed: sends its reply, then closes
    // the connection after the third failure, or answers the rest of the
    // read and reads on.
    void OnResume(CIOCPClientContext* context, long flags) override;

  private:
    // Bytes each posted read asks for.
    static constexpr long kReadSize = 5000;

    // The command protocol is one table (commandprotocol.cpp): each row gives
    // a command's name, its argument patterns, whether it needs a login and
    // its handler. A handler gets the line with the groups of the first
    // pattern that matched and fills the reply.
    struct TCommand;
    struct TCommandCall;
    // What follows a handler's reply.
    enum class TAfterReply {
        kNextLine,  // go on with the next line
        kLoggedIn,  // the session is logged in from now on
        kClose,     // close the connection; nothing more is read
    };
    using THandler = TAfterReply (CWmiLogEventServer::*)(TCommandCall& call);
    static const TCommand kCommands[];

    // The row of a line's keyword (the text before the first blank; TAB does
    // not count), compared with the command names without regard to case;
    // null for an empty line or an unknown keyword.
    static const TCommand* FindCommand(const std::string& line);
    // Matches the row's argument patterns and runs its handler.
    TAfterReply RunCommand(const TCommand& command, TCommandCall& call);

    // Command handlers. Worker thread.
    TAfterReply ProcessLogin(TCommandCall& call);
    TAfterReply ProcessAdd(TCommandCall& call);
    TAfterReply ProcessDelete(TCommandCall& call);
    TAfterReply ProcessReplay(TCommandCall& call);
    TAfterReply ProcessList(TCommandCall& call);
    TAfterReply ProcessStats(TCommandCall& call);
    TAfterReply ProcessLogLevel(TCommandCall& call);
    TAfterReply ProcessHelp(TCommandCall& call);
    TAfterReply ProcessNoop(TCommandCall& call);
    TAfterReply ProcessLogout(TCommandCall& call);

    // The credential-stripping half of LoggableLine.
    static std::string WithoutCredentials(const std::string& line);
    // One word of a command line: [begin, end) in the line. Words are
    // separated by blanks and TABs; a word that opens with a double quote
    // runs to the next one (a quoted category holds blanks), and is `open`
    // when none follows.
    struct TWord {
        size_t begin;
        size_t end;
        bool open;
    };
    static std::vector<TWord> SplitWords(const std::string& line);
    // How many leading words of the command's lines may be logged (the
    // first credential field's position), or -1 for a command without
    // credentials.
    static int CredentialPosition(const TCommand& command);
    // text with every occurrence of the configured login password, compared
    // without regard to ASCII case, replaced by "****".
    static std::string MaskConfiguredPassword(std::string text);

    // Closes every listed client whose peer has closed its socket already
    // and returns how many. Any thread but one holding listLock.
    int CloseDepartedClients();

    // "Invalid data received!": reply, then close the connection. Returns 0.
    long RejectData(CIOCPClientContext* context);
    // What follows a command line.
    enum class TLineResult {
        kNextLine,  // answered; go on
        kClosed,    // the connection was closed
        kPaused,    // a failed login: the reply and the rest wait for OnResume
    };
    // Answers the complete command line in the context's command buffer and
    // empties the buffer. *flags becomes the logged-in flag after a
    // successful login.
    TLineResult HandleCommandLine(CIOCPClientContext* context, long* flags);

    // Runs call with the controller under controllerLock; false (call not
    // run) when there is no running controller.
    template <typename Call>
    bool WithController(Call call);

    // Guards the controller pointer and whether commands may reach it. Held
    // around controller calls, so taken before the engine's locks (lock
    // order: platform/thread_annotations.h).
    RSLibrary::RSCriticalSection controllerLock;
    CSubscriptionEngine* controller GUARDED_BY(controllerLock) = nullptr;
    // The other outputs and the fan-out that joins them with this server;
    // set before Start, constant afterwards.
    std::vector<std::unique_ptr<CBroadcastSink>> extraOutputs;
    // Servers that report on this one; added by the owner's thread after
    // Start, stopped by OnServerShutdown on the same thread.
    std::vector<std::unique_ptr<CIOCPServer>> companions;
    std::unique_ptr<CSinkFanOut> fanOut;
    bool controllerRunning GUARDED_BY(controllerLock) = false;

    // One broadcast's share of a delivery mark per client it was sent to,
    // plus the broadcast's own until it has sent to every client.
    struct TMarkTally {
        int pending = 0;
        bool sent = false;  // some client's socket took it
    };
    // Adds one share of mark.
    void AddMarkShare(uint64_t mark);
    // Ends one share of mark; the last one reports the mark.
    void SettleMarkShare(uint64_t mark, bool sent);

    // tallyLock: guards the marks in flight and where they are reported.
    // Taken under listLock by the broadcast and alone by the worker; the
    // ledger's report runs under it (lock order:
    // platform/thread_annotations.h).
    platform::Mutex tallyLock;
    std::map<uint64_t, TMarkTally> tallies GUARDED_BY(tallyLock);
    CDeliveryReports* deliveryReports GUARDED_BY(tallyLock) = nullptr;

    // Guards both client lists, maxConnections and connectionCount. Taken
    // by the broadcast inside the dispatcher's subsListLock (lock order:
    // platform/thread_annotations.h).
    RSLibrary::RSCriticalSection listLock;
    std::vector<CIOCPClientContext*> loggedInClients GUARDED_BY(listLock);
    std::vector<CIOCPClientContext*> allClients GUARDED_BY(listLock);
    int maxConnections GUARDED_BY(listLock) = 0;
    int connectionCount GUARDED_BY(listLock) = 0;

    // Failed logins and connections not logged in, per source block.
    // Thread-safe on its own.
    CLoginBudget loginBudget;

    // Counters for Snapshot; thread-safe on their own.
    std::atomic<uint64_t> failedLogins{0};
    std::atomic<uint64_t> refusedConnectionLimit{0};
    std::atomic<uint64_t> refusedGuessingBudget{0};
};
