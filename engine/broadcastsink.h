// CBroadcastSink: what the subscription engine needs from the outputs that
// take its events and notices, and nothing more. The command server (the
// monitoring clients) implements it, and so does the Kafka output; the
// engine's dispatcher and query threads hold only this, and each output
// formats the items its own way. The sink outlives the engine's use of it:
// it is handed to the engine when the engine starts and is not called after
// the engine has stopped.
#pragma once

#include <string>
#include <vector>

#include "engine/eventdata.h"

class CBroadcastSink {
  public:
    virtual ~CBroadcastSink() = default;

    // Hands the items to the output, in order: the events of one poll or
    // catch-up step of one subscription, or one notice (an EVENTS_SKIPPED
    // notice comes in the same call as the records it precedes). An output
    // keeps the items of one call together (the command server sends them
    // to each client with no other broadcast between them). Nothing for an
    // empty list. A failure to deliver to one consumer does not stop the
    // others. Any thread.
    virtual void Deliver(const std::vector<TOutputItem>& items) = 0;

    // True while the output cannot take more events (its queue is full):
    // the engine stops reading its hosts until it can. Any thread.
    virtual bool Blocked() { return false; }

    // Lines the output adds to STATS (each without CR LF), or none. Any
    // thread.
    virtual std::vector<std::string> StatisticsLines() { return {}; }

    // The engine has stopped delivering: an output that confirms delivery
    // waits up to timeoutMs for what it holds to be confirmed, and reports
    // no confirmation afterwards. Called once by the controller before it
    // closes the state file.
    virtual void Drain(int /*timeoutMs*/) {}
};
