// CBroadcastSink: what the subscription engine needs from the outputs that
// take its events and notices, and nothing more. The command server (the
// monitoring clients) implements it, and so does the Kafka output; the
// engine's dispatcher and query threads hold only this, and each output
// formats the items its own way. The sink outlives the engine's use of it:
// it is handed to the engine when the engine starts and is not called after
// the engine has stopped.
//
// Delivery marks. A resume point may move only past records the output has
// delivered, not past records merely handed to it. So the engine tags each
// delivery of event records with a mark (a number above 0, never used twice;
// 0 means "no report wanted", as for notices) and the sink reports each
// mark once it is settled: delivered, or not (dropped, or gone with a
// connection). For the client output "delivered" means that a connection's
// socket took the bytes: what the system holds it sends after the process
// ends. With several clients a mark is settled once no logged-in client
// still has it queued, and delivered when some client took it. The Kafka
// output settles a mark once the broker has acknowledged (or refused) every
// record it covers. With both outputs on, the Kafka output's reports alone
// move the points (CSinkFanOut).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/eventdata.h"

// Where a sink reports settled marks: the engine's delivery ledger.
class CDeliveryReports {
  public:
    virtual ~CDeliveryReports() = default;
    // Mark `mark` (never 0) is settled. Called exactly once per mark, in any
    // order across marks, from any thread; the call takes only the ledger's
    // own lock and returns quickly, so the sink may hold its own locks.
    virtual void Settled(uint64_t mark, bool delivered) = 0;
};

// What an output tells of itself for the metrics endpoint: its name and
// its queue, acknowledgement and error figures. Counters only grow.
struct TOutputStats {
    std::string output;
    uint64_t queuedRecords = 0;
    uint64_t queuedBytes = 0;
    uint64_t acknowledged = 0;
    // Records the output gave up on for good.
    uint64_t refused = 0;
    bool blocked = false;
    // Seconds since 1970 (UTC) of the last error, 0: none.
    int64_t lastErrorAt = 0;
    // Brokers up and known, for an output that has brokers; -1 otherwise.
    int brokersUp = -1;
    int brokersKnown = -1;
};

class CBroadcastSink {
  public:
    virtual ~CBroadcastSink() = default;

    // Hands the items to the output, in order: the events of one poll or
    // catch-up step of one subscription, or one notice (an EVENTS_SKIPPED
    // notice comes in the same call as the records it precedes). An output
    // keeps the items of one call together (the command server sends them
    // to each client with no other broadcast between them). Nothing for an
    // empty list. A failure to deliver to one consumer does not stop the
    // others. With a mark above 0 the sink reports it settled
    // (CDeliveryReports) exactly once, whatever becomes of the items, at
    // once when nobody receives them. Any thread.
    virtual void Deliver(const std::vector<TOutputItem>& items, uint64_t mark) = 0;

    // Hands the items (event records) only to the output that reports
    // delivery marks: records read again because that output did not take
    // them, which the others had already. A sink of one output delivers them
    // as Deliver does. Any thread.
    virtual void Redeliver(const std::vector<TOutputItem>& items, uint64_t mark) {
        Deliver(items, mark);
    }

    // Where settled marks go from now on; null stops the reports (when it
    // returns, no report is under way and none follows). The engine sets it
    // when it starts and clears it before it stops. Any thread.
    virtual void ReportDeliveryTo(CDeliveryReports* reports) = 0;

    // Whether items handed over now could be delivered (some client is
    // logged in; the Kafka producer is accepting). A subscription whose
    // records went undelivered re-reads them from its delivered point once
    // this is true. Any thread; never blocks long.
    virtual bool Receiving() = 0;

    // True while the output cannot take more events (its queue is full) and
    // refuses those handed to it, settling their marks not delivered. The
    // engine goes on reading its hosts live for the other outputs, holds
    // its catch-ups, and reads the refused records again once this is false.
    // Any thread.
    virtual bool Blocked() { return false; }

    // Lines the output adds to STATS (each without CR LF), or none. Any
    // thread.
    virtual std::vector<std::string> StatisticsLines() { return {}; }

    // The output's figures for the metrics endpoint, one entry per output
    // behind this sink, or none. Any thread; never blocks long.
    virtual std::vector<TOutputStats> OutputStatistics() { return {}; }
};
