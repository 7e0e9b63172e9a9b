// CQueryThread: polls the running queries of the subscriptions it was given
// and broadcasts every event as an "NTEVENT:" record. Created, started,
// stopped and destroyed by the dispatcher.
//
// DESIGN
//   One thread, one queue holding the nodes it serves. Each pass takes the
//   front node, polls its enumerator once without waiting (a batch of at
//   most 50 objects), broadcasts the events from this thread (the records of
//   one poll in one broadcast), and puts the node back at the end of its own
//   queue; nodes thus take turns. The thread waits only when every node it
//   holds has been polled since its last event and had nothing: then up to
//   the poll timeout (OTHERS.EVENTWAITPERCONNECTION), or until the
//   dispatcher hands it a node or asks it to end. So one idle subscription
//   never holds up a busy one. A node whose result set ended (Completed) or
//   whose poll failed (Error) goes back to the dispatcher, as does a node
//   marked for deletion. A thread with no node waits up to 5000 ms for work.
//   After a failure clients were told of, the first query of the node that
//   answers (its catch-up's or its own) has CONNECTION_REESTAB sent, and
//   the first answer of its own query ends the failure series.
//   Resume points: every record a live subscription sends moves the
//   node's resume point for its log; the send carries a delivery mark, and
//   the ledger moves the delivered point (and the state file's copy) once
//   the output reports it delivered. A node whose records went undelivered
//   reads again from its delivered point once the output receives (a
//   catch-up, RewindIfLost); with several outputs, the records the others
//   had (up to the node's point before the rewind) go to the output that
//   lost them alone. While an output is blocked (Kafka's queue full) live
//   nodes go on polling for the others and catch-ups wait; the blocked
//   output refuses what it is handed and gets it through such a rewind
//   once it takes events again. A live record at or before the node's point
//   was already sent (by a catch-up) and is dropped. A node due to catch
//   up (after a reconnect, or with a stored point) runs its CCatchUp for at most kCatchUpTurn per
//   turn (steps of kCatchUpBudget), then goes live. A replay keeps the same per-log points: when
//   its query runs again after an interruption, what it sent before is dropped the same way.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "engine/engineoptions.h"
#include "engine/eventdata.h"
#include "engine/threadinfra.h"
#include "serverframework/abstractthread.h"

class CDispatchThread;

class CQueryThread : public RSLibrary::RSAbstractThread, public CJobQueue<TSubscriptionNode> {
  public:
    // Objects read, or records delivered, by one catch-up step, and the
    // time one turn of steps may take.
    static constexpr size_t kCatchUpBudget = 1000;
    static constexpr std::chrono::milliseconds kCatchUpTurn{100};

    // Polls batches of the options' size (brought into 1..kBatchSlots); waits at most
    // the options' poll timeout when none of its nodes has anything.
    CQueryThread(CDispatchThread* dispatcher, const TEngineOptions& options);
    ~CQueryThread() override;

    // Turns the polled objects into records and broadcasts them; releases
    // every object. Never raises.
    void deliverEvents(TSubscriptionNode* node, ULONG count, IWbemClassObject** objects);

  protected:
    void run() override;

  private:
    // Polls the node once without waiting and hands it on: back to this
    // thread's queue, or to the dispatcher. False when the poll found
    // nothing and the node stays here.
    bool Poll(TSubscriptionNode* node);
    // One catch-up turn of the node; it goes back to this thread's queue,
    // or to the dispatcher when the connection broke.
    void CatchUpTurn(TSubscriptionNode* node);
    // Hands a catch-up step's items on: to every output, or, for records
    // within the node's othersHave, to the reporting output alone.
    void DeliverCaughtUp(TSubscriptionNode* node, std::vector<TOutputItem> items);
    // A query of the node has answered (`ownQuery`: its live or replay
    // query, else its catch-up's): after a failure clients were told of,
    // CONNECTION_REESTAB (once); the node's own query ends the failure
    // series (CDispatchThread::Answered).
    void Answered(TSubscriptionNode* node, bool ownQuery);
    // Counts delivered records for STATS.
    void Count(TSubscriptionNode* node, size_t records, int64_t lastWrittenMicros, bool caughtUp);
    // The delivery mark for a send that moves the node's positions to
    // `moved` (0 when the node has no track): the resume point follows once
    // the output reports the send delivered.
    static uint64_t DeliveryMark(TSubscriptionNode* node,
                                 const std::map<std::string, TLogPosition>& moved);
    // When records of the node went undelivered and the output receives
    // again: reads again from the delivered point (a catch-up).
    static void RewindIfLost(TSubscriptionNode* node);

    // Constant after construction.
    CDispatchThread* dispatcher;  // not owned
    const int32_t pollTimeoutMs;
    const int32_t batchSize;
};
