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

#include "engine/deliverylistener.h"
#include "engine/engineoptions.h"
#include "engine/subscriptionengine.h"

class CDispatchThread;
class CResumeStore;

class CController : public CSubscriptionEngine, public CDeliveryListener {
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

    // Starts the dispatcher with the options, broadcasting to sink. Returns
    // 1, or 0 when the dispatcher could not be created or started.
    int Start(CBroadcastSink* sink) override;

    // Stops the dispatcher (30000 ms deadline) and deletes it, gives the
    // outputs up to kDrainMs to confirm what they hold (Drain), then closes
    // the state file. Returns 1.
    int Stop() override;

    // An output acknowledged a record: the subscription's stored point
    // moves to it (with positionsFollowAcknowledgements). Any thread; not
    // after Stop has drained the outputs.
    void Acknowledged(const TResumeKey& key, const std::string& log,
                      const TLogPosition& position) override;

    static constexpr int kDrainMs = 5000;

  private:
    const TEngineOptions options;  // constant after construction
    CDispatchThread* dispatcher;
    // The resume points' state file (null when off), opened by Start and
    // closed by Stop after the dispatcher has ended.
    CResumeStore* resumeStore = nullptr;  // owned
    // The outputs, from Start to Stop (not owned).
    CBroadcastSink* outputs = nullptr;
};
