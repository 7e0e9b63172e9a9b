// CController: the subscription engine behind its command interface
// (CSubscriptionEngine). The command server owns one and calls it for
// everything that concerns subscriptions; the controller owns the one
// dispatcher, creates the subscription records and hands them to the
// dispatcher's job queue. It holds no lock of its own: the dispatcher
// operations it calls are thread-safe.
//
// Threads: as CSubscriptionEngine states. The start-up code creates it with
// the engine's options and hands it to the command server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/engineoptions.h"
#include "engine/subscriptionengine.h"

class CDeliveryLedger;
class CDispatchThread;
class CResumeStore;

class CController : public CSubscriptionEngine {
  public:
    explicit CController(const TEngineOptions& options);
    ~CController() override;

    int AddSubscription(const std::string& host, const std::string& category,
                        const std::string& eventType, const std::string& user,
                        const std::string& password) override;
    int ReplayEvents(const std::string& host, const std::string& category,
                     const std::string& eventType, const std::string& timeFrom,
                     const std::string& timeTo, const std::string& user,
                     const std::string& password) override;
    int DeleteSubscription(const std::string& host, const std::string& category,
                           const std::string& unused) override;
    std::string ListSubscriptions() override;
    std::string Statistics(int clientsLoggedIn, uint64_t queuedForClients) override;
    TEngineStats Snapshot() override;

    // Opens the state file (OTHERS.STATEFILE) now, so that start-up can
    // refuse to go on without it. True when there is none or it is open
    // (then held exclusively until Stop); false with one line naming the
    // file and the reason in *error. Owner's thread, before Start.
    bool OpenStateFile(std::string* error);

    // Starts the dispatcher with the options, broadcasting to sink, with
    // the state file (opened here unless OpenStateFile did). Returns 1, or
    // 0 when the state file cannot be used or the dispatcher could not be
    // created or started.
    int Start(CBroadcastSink* sink) override;

    // Stops the dispatcher (30000 ms deadline) and deletes it, then gives
    // the outputs up to TEngineOptions::drainTimeoutMs to deliver what it
    // holds, keeps the resume points of what it delivered and closes the
    // state file. Returns 1.
    int Stop() override;

  private:
    // "ok" or "failing" with a state file, else empty.
    std::string StateFileHealth() const;
    // Waits for the output to settle (bounded), then destroys the ledger and
    // closes the state file.
    void CloseLedgerAndStore();

    const TEngineOptions options;  // constant after construction
    CDispatchThread* dispatcher;
    // The resume points' state file (null when off), opened by
    // OpenStateFile or Start and closed by Stop after the dispatcher has
    // ended and the ledger is gone.
    CResumeStore* resumeStore = nullptr;  // owned
    // What the output has delivered; made by Start, destroyed by Stop.
    CDeliveryLedger* ledger = nullptr;  // owned
};
