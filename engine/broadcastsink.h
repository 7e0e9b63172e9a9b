// CBroadcastSink: what the subscription engine needs from an output that
// delivers its lines (the command server's logged-in clients; later other
// outputs), and nothing more. The engine's dispatcher and query threads hold
// only this. The sink outlives the engine's use of it: it is handed to the
// engine when the engine starts and is not called after the engine has
// stopped.
//
// Delivery marks. A resume point may move only past records the output has
// delivered, not past records merely handed to it. So the engine tags each
// send of event records with a mark (a number above 0, never used twice;
// 0 means "no report wanted", as for notices) and the sink reports each
// mark once it is settled: delivered, or not (dropped, or gone with a
// connection). For the client output "delivered" means that a connection's
// socket took the bytes: what the system holds it sends after the process
// ends. With several clients a mark is settled once no logged-in client
// still has it queued, and delivered when some client took it. Another
// output defines its own "delivered" (a broker's acknowledgement) and
// reports the same way.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Where a sink reports settled marks: the engine's delivery ledger.
class CDeliveryReports {
  public:
    virtual ~CDeliveryReports() = default;
    // Mark `mark` (never 0) is settled. Called exactly once per mark, in any
    // order across marks, from any thread; the call takes only the ledger's
    // own lock and returns quickly, so the sink may hold its own locks.
    virtual void Settled(uint64_t mark, bool delivered) = 0;
};

class CBroadcastSink {
  public:
    virtual ~CBroadcastSink() = default;

    // Sends every text, with trailing white space removed and CR LF
    // appended, to every logged-in client: each client receives the lines in
    // order with no other broadcast between them. Nothing for an empty list.
    // A failed send to one client does not stop the others. With a mark
    // above 0 the sink reports it settled (CDeliveryReports) exactly once,
    // whatever becomes of the lines, at once when nobody receives them. Any
    // thread.
    virtual void SendLinesToClients(const std::vector<std::string>& texts, uint64_t mark) = 0;

    // Where settled marks go from now on; null stops the reports (when it
    // returns, no report is under way and none follows). The engine sets it
    // when it starts and clears it before it stops. Any thread.
    virtual void ReportDeliveryTo(CDeliveryReports* reports) = 0;

    // Whether lines sent now could be delivered: some client is logged in.
    // A subscription whose records went undelivered re-reads them from its
    // delivered point once this is true. Any thread; never blocks long.
    virtual bool Receiving() = 0;
};
