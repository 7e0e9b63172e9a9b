// CController: the narrow facade between the command server and the
// subscription engine. The command server (CWmiLogEventServer) owns one and
// calls it for everything that concerns subscriptions; the controller owns
// the one dispatcher, creates the subscription records and hands them to the
// dispatcher's job queue. It holds no lock of its own: the dispatcher
// operations it calls are thread-safe.
//
// Threads: Start and Stop run on the thread that starts and stops the server;
// AddSubscription, ReplayEvents, DeleteSubscription and ListSubscriptions on
// the connection server's worker thread while it handles a command;
// SendToClients on any thread. The command server never calls an operation
// after Stop has begun.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class CDispatchThread;
class CResumeStore;
class CWmiLogEventServer;

class CController {
  public:
    CController();
    virtual ~CController();

    // Queues a new subscription. Returns 0 when queued, -1 when a live
    // subscription with the same host, category and eventType exists, -2
    // when the host is neither a dotted address nor a resolvable name.
    virtual int AddSubscription(const std::string& host, const std::string& category,
                                const std::string& eventType, const std::string& user,
                                const std::string& password);

    // Queues a replay of the events between timeFrom and timeTo (fourteen
    // digits YYYYMMDDhhmmss; timeTo "0" means now). Returns 1.
    virtual int ReplayEvents(const std::string& host, const std::string& category,
                             const std::string& eventType, const std::string& timeFrom,
                             const std::string& timeTo, const std::string& user,
                             const std::string& password);

    // Marks the live subscriptions of host and category ("*" matches all)
    // for deletion; the third argument is not used. Returns how many were
    // marked.
    virtual int DeleteSubscription(const std::string& host, const std::string& category,
                                   const std::string& unused);

    // The complete reply to LIST, ending in "\r\n.\r\n".
    virtual std::string ListSubscriptions();

    // The complete reply to STATS, ending in "\r\n.\r\n": a header, a
    // totals line (with the command server's count of logged-in clients
    // and of event records queued for them) and one line per subscription
    // and replay.
    virtual std::string Statistics(int clientsLoggedIn, uint64_t queuedForClients);

    // Broadcasts text to every logged-in client. Returns 1.
    virtual int SendToClients(const std::string& text);

    // Stores the server, reads the engine's tuning keys and starts the
    // dispatcher. Returns 1, or 0 when the dispatcher could not be created
    // or started (the server then answers subscription commands with an
    // error).
    virtual int Start(CWmiLogEventServer* server);

    // Stops the dispatcher (30000 ms deadline) and deletes it. Returns 1.
    virtual int Stop();

  private:
    CWmiLogEventServer* server;
    CDispatchThread* dispatcher;
    // The resume points' state file (OTHERS.STATEFILE; null when off),
    // opened by Start and closed by Stop after the dispatcher has ended.
    CResumeStore* resumeStore = nullptr;  // owned
    size_t maxCatchUp = 100000;           // OTHERS.MAXCATCHUPEVENTS
};

// Creates the process's controller; defined with the subscription engine.
// The caller hands it to the command server, which owns it from then on
// (CWmiLogEventServer::SetController).
CController* CreateController();
