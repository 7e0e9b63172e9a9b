// CSubscriptionEngine: the subscription engine as the command protocol sees
// it. The command server owns one (CController implements it), starts it
// once it listens and stops it at shutdown; between the two, the commands of
// logged-in clients reach it: add, replay, delete, list and stats.
//
// Threads: Start and Stop run on the thread that starts and stops the
// server; the four commands on the connection server's worker thread while
// it handles a command. The command server never calls a command after
// Stop has begun.
#pragma once

#include <cstdint>
#include <string>

#include "engine/subscriptionstats.h"

class CBroadcastSink;

class CSubscriptionEngine {
  public:
    virtual ~CSubscriptionEngine() = default;

    // Starts the engine; its notices and events go to sink from now on until
    // Stop returns. Returns 1, or 0 when it cannot serve (the server then
    // answers subscription commands with an error).
    virtual int Start(CBroadcastSink* sink) = 0;

    // Stops the engine; it sends nothing more afterwards. Returns 1.
    virtual int Stop() = 0;

    // Queues a new subscription. Returns 0 when queued, -1 when a live
    // subscription with the same host, category and eventType exists (and
    // is not being deleted), -2 when the host is neither a dotted address
    // nor a resolvable name, -3 when the engine is not running. Commands
    // take effect in the order they arrive, from one client or several.
    virtual int AddSubscription(const std::string& host, const std::string& category,
                                const std::string& eventType, const std::string& user,
                                const std::string& password) = 0;

    // Queues a replay of the events between timeFrom and timeTo (fourteen
    // digits YYYYMMDDhhmmss of the listener's local time; timeTo "0" means
    // now). Returns 1.
    virtual int ReplayEvents(const std::string& host, const std::string& category,
                             const std::string& eventType, const std::string& timeFrom,
                             const std::string& timeTo, const std::string& user,
                             const std::string& password) = 0;

    // Marks the live subscriptions and pending replays of host and category
    // ("*" matches all) for deletion; the third argument is not used.
    // Returns how many were marked.
    virtual int DeleteSubscription(const std::string& host, const std::string& category,
                                   const std::string& unused) = 0;

    // The complete reply to LIST, ending in "\r\n.\r\n".
    virtual std::string ListSubscriptions() = 0;

    // The complete reply to STATS, ending in "\r\n.\r\n": a header, a
    // totals line (with the command server's count of logged-in clients and
    // of event records queued for them) and one line per subscription and
    // replay.
    virtual std::string Statistics(int clientsLoggedIn, uint64_t queuedForClients) = 0;

    // What STATS tells, as values (the metrics endpoint's view). Any thread;
    // empty by default.
    virtual TEngineStats Snapshot() { return {}; }
};
