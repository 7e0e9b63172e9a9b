// CQueryThread: polls the running queries of the subscriptions it was given
// and broadcasts every event as an "NTEVENT:" record. Created, started,
// stopped and destroyed by the dispatcher.
//
// DESIGN
//   One thread, one queue holding the nodes it serves. Each pass takes the
//   front node, polls its enumerator once (a batch of at most 50 objects,
//   waiting at most the poll timeout), broadcasts the events from this
//   thread (the records of one poll in one broadcast), and puts the node
//   back at the end of its own queue; nodes thus take turns. A node whose result set ended
//   (Completed) or whose poll failed (Error) goes back to the dispatcher, as does a node marked for
//   deletion. An idle thread waits up to 5000 ms for work.
#pragma once

#include <cstdint>

#include "engine/engineoptions.h"
#include "engine/threadinfra.h"
#include "serverframework/abstractthread.h"

class CDispatchThread;

class CQueryThread : public RSLibrary::RSAbstractThread, public CJobQueue<TSubscriptionNode> {
  public:
    static constexpr int kBatchSlots = 50;

    // Polls with the options' timeout and batch size (brought into 1..50).
    CQueryThread(CDispatchThread* dispatcher, const TEngineOptions& options);
    ~CQueryThread() override;

    // Turns the polled objects into records and broadcasts them; releases
    // every object. Never raises.
    void deliverEvents(TSubscriptionNode* node, ULONG count, IWbemClassObject** objects);

  protected:
    void run() override;

  private:
    void Poll(TSubscriptionNode* node);

    // Constant after construction.
    CDispatchThread* dispatcher;  // not owned
    const int32_t pollTimeoutMs;
    const int32_t batchSize;
};
