// CDispatchThread: the subscription engine's central thread. Created,
// started, stopped and destroyed by the controller. It creates and owns the
// connector and query threads, keeps subsList (every subscription and replay
// it has accepted and not yet destroyed), routes each node it takes from its
// own queue by stage to the least-loaded worker thread, announces connection
// state to the clients, schedules reconnects, and answers the subscription
// list queries (MarkForDeletion, SubscriptionExists, BuildSubscriptionList)
// on the client thread that asks.
//
// DESIGN
//   Threads: the dispatcher's own (run loop; the only one that routes,
//   destroys nodes, changes subsList and creates or destroys worker
//   threads); client threads (AddJob via the controller, and the three list
//   queries under subsListLock); connector and query threads and the timer
//   queue's thread (AddJob only).
//   Queues: the dispatcher's own job queue; one per connector and query
//   thread. A node is in exactly one queue, held by one thread, or waiting
//   on one reconnect timer.
//   Locks: subsListLock, timerLock and the job queues' queueLock; their
//   order, with the broadcast sink's locks that broadcasts take under subsListLock,
//   is the system's lock order in platform/thread_annotations.h.
//   Order of commands: ADD and REPLAY list their record when the command
//   is handled (AcceptSubscription, AcceptReplay), so every later command,
//   from any client, sees it; the run loop then routes it from its queue.
//   Replays: listed and deletable like live subscriptions; a replay whose
//   query WMI refuses ends after one CONNECTION_FAILED instead of retrying.
//   Reconnects: one-shot timers on timerQueue; each pending timer has a
//   TTimerParam listed in pendingTimers under timerLock. A node is handed
//   back exactly once, by whoever claims its record first: the timer's
//   callback, or a deletion that brings a waiting node back early so that
//   DELETE and shutdown do not wait for a long reconnect delay.
//   Shutdown: once terminate is requested the loop marks every live
//   subscription and pending replay for deletion, keeps routing until subsList is empty, then
//   terminates and stops its worker threads (5000 ms each) and returns.
//   The destructor deletes the timer queue (cancelling pending timers and
//   waiting for a running callback) and frees what those timers held.
#pragma once

#include <time.h>

#include <cstdint>
#include <list>
#include <set>
#include <string>
#include <vector>

#include "engine/engineoptions.h"
#include "engine/eventdata.h"
#include "engine/eventrate.h"
#include "engine/subscriptionstats.h"
#include "engine/threadinfra.h"
#include "platform/thread_annotations.h"
#include "platform/timerqueue.h"
#include "serverframework/abstractthread.h"
#include "serverframework/synchronization.h"

class CBroadcastSink;
class CConnectorThread;
class CDeliveryLedger;
class CQueryThread;
class CDispatchThread;

// One scheduled reconnect: owned by the callback that runs for it, or, for
// a timer cancelled at teardown, by the dispatcher's destructor.
struct TTimerParam {
    CDispatchThread* dispatcher;
    TSubscriptionNode* node;
    platform::TimerHandle timerQueTimer;
    bool claimed;  // guarded by the dispatcher's timerLock: node handed back
};

class CDispatchThread : public RSLibrary::RSAbstractThread, public CJobQueue<TSubscriptionNode> {
  public:
    // Runs the options' worker threads (at least one of each is expected)
    // and broadcasts to sink (not owned; null sends nothing), with the
    // delivery ledger (not owned; null: marks are not tracked). Creates the
    // timer queue; starts nothing.
    CDispatchThread(const TEngineOptions& options, CBroadcastSink* sink,
                    CDeliveryLedger* ledger = nullptr);
    ~CDispatchThread() override;

    // Subscription list queries; called from client threads and by the run
    // loop. Each holds subsListLock for its whole run.
    //
    // Marks the listed records of host and category ("*" matches all) for
    // deletion and returns how many; replays only with includeReplays (a
    // DELETE and the shutdown; not the replacement by a new ADD). Finished
    // replays and records marked already are not counted. With forgetResumePoints (DELETE, and the
    // replacement by a new ADD) the stored resume points of the marked live
    // subscriptions are forgotten at once; shutdown keeps them. The provider
    // calls the marked records' threads are making for them are cancelled
    // (TSubscriptionNode::cancel), so none waits for its host's time-out.
    int32_t MarkForDeletion(const std::string& host, const std::string& category,
                            bool includeReplays, bool forgetResumePoints) EXCLUDES(subsListLock);
    // True when a live subscription with the same host, category and
    // eventType is listed and not marked for deletion.
    bool SubscriptionExists(const std::string& host, const std::string& category,
                            const std::string& eventType) EXCLUDES(subsListLock);
    // The LIST reply: every live subscription and every pending replay that
    // is not being deleted, one line each.
    std::string BuildSubscriptionList() EXCLUDES(subsListLock);
    // The STATS reply: "OK Stats Follows for N entries", a totals line,
    // then per subscription and replay in order of acceptance: host,
    // category, severity, live or replay, and state=, delivered=,
    // caught_up=, reconnects=, last_event= (local time stamp or -), lag=
    // (seconds from the last delivered record's TimeWritten to now, or -)
    // and last_error= (text, or -); a "." line ends it. Values with a blank
    // are in double quotes. A non-empty stateFile ends the totals line with
    // state_file= and it.
    std::string BuildStatistics(int clientsLoggedIn, uint64_t queuedForClients,
                                const std::string& stateFile = std::string())
        EXCLUDES(subsListLock);
    // What STATS shows, as values: every subscription and replay in order
    // of acceptance (a state of "Output Blocked" or the stage's name), the
    // event rate, and stateFile as given.
    TEngineStats SnapshotStatistics(const std::string& stateFile = std::string())
        EXCLUDES(subsListLock);

    // Accepting new records, in the order the commands arrive: the record is
    // listed at once, so the next command already sees it. Takes ownership.
    //
    // A live subscription: -1 (the node destroyed) when SubscriptionExists;
    // otherwise the live subscriptions of the same host and category are
    // marked for deletion (the new one replaces them, their stored resume
    // points forgotten), the node's start time goes to the state file, the
    // node is listed and queued, and the result is 0.
    int32_t AcceptSubscription(TSubscriptionNode* node) EXCLUDES(subsListLock);
    // A replay: listed and queued.
    void AcceptReplay(TSubscriptionNode* node) EXCLUDES(subsListLock);

    // Hands the items to the outputs in one go, in order, under a delivery
    // mark (0: none; see engine/broadcastsink.h); any thread.
    void Deliver(const std::vector<TOutputItem>& items, uint64_t mark = 0);
    // The same for records only the reporting output lost
    // (CBroadcastSink::Redeliver).
    void Redeliver(const std::vector<TOutputItem>& items, uint64_t mark);
    // Whether an output cannot take more events now; any thread.
    bool OutputBlocked();
    // A query of the node has answered. After a failure clients were told
    // of, CONNECTION_REESTAB goes out and STATS counts the reconnect; with
    // `seriesEnded` (the node's own query answered) the failure series ends,
    // and the next failure starts the back-off anew. Called by the thread
    // that holds the node.
    void Answered(TSubscriptionNode* node, bool seriesEnded) EXCLUDES(subsListLock);

    // Events delivered per second, for STATS; any thread.
    CEventRate& Rate() { return rate; }

    // Readable text of a WMI result code, or message 122.
    static std::string GetErrorText(HRESULT code);
    // Local time, now or of `when`, as YYYYMMDDhhmmss.
    static std::string GetTimeStamp();
    static std::string GetTimeStamp(time_t when);
    // Reconnect delay in seconds of attempt `tryNo` (1 for the first).
    static int32_t ReconnectDelay(int32_t tryNo, int32_t minInterval, int32_t maxInterval);

  protected:
    void run() override;

  private:
    // Puts the node on a reconnect timer; false (the node handed back or
    // destroyed) when it cannot wait for one.
    bool ScheduleReconnect(TSubscriptionNode* node) EXCLUDES(subsListLock);
    // The timer queue's callback for a TTimerParam: hands the node back as
    // Reconnecting unless a deletion claimed it first, then frees the record.
    static void ReconnectTimerCallback(void* timerParam, bool timerOrWaitFired);
    void StartWorkers();
    void Route(TSubscriptionNode* node) EXCLUDES(subsListLock);
    // Queues the node on `worker` (the least-loaded thread of `kind`, e.g.
    // "connector"); with none, disconnects and destroys the node with an
    // ERROR rather than leave it listed in no queue.
    void HandOn(CJobQueue<TSubscriptionNode>* worker, const char* kind, TSubscriptionNode* node)
        EXCLUDES(subsListLock);
    void RemoveAndDestroy(TSubscriptionNode* node) EXCLUDES(subsListLock);
    void ShutdownSequence() REQUIRES(subsListLock);
    // Hands back, as Reconnecting, every node marked for deletion that waits
    // for a reconnect timer.
    void BringBackMarkedWaiting() REQUIRES(subsListLock);
    int32_t MarkLocked(const std::string& host, const std::string& category, bool includeReplays,
                       bool forgetResumePoints) REQUIRES(subsListLock);
    bool ExistsLocked(const std::string& host, const std::string& category,
                      const std::string& eventType) REQUIRES(subsListLock);
    // Hands the outputs a notice about the node, decided at `at`; error
    // for ConnectionFailed.
    void Notify(TNoticeKind kind, const TSubscriptionNode& node, time_t at,
                const std::string& error = std::string());
    // Deliver and Redeliver: the items to the sink the way `how` says; a
    // mark with nobody to deliver to is settled not delivered.
    void Hand(void (CBroadcastSink::*how)(const std::vector<TOutputItem>&, uint64_t),
              const std::vector<TOutputItem>& items, uint64_t mark);

    // Constant after construction.
    const TEngineOptions options;
    CBroadcastSink* const sink;
    CDeliveryLedger* const ledger;

    // Owned by the run loop's thread and read by it only.
    std::vector<CConnectorThread*> connectorThreads;
    std::vector<CQueryThread*> queryThreads;

    // subsListLock: guards subsList and every assignment of a node's
    // failedAt. Outermost lock of the engine (lock order:
    // platform/thread_annotations.h).
    RSLibrary::RSCriticalSection subsListLock;
    std::list<TSubscriptionNode*> subsList GUARDED_BY(subsListLock);

    // timerLock: guards pendingTimers and each record's `claimed`. Taken
    // after subsListLock and before any queueLock.
    RSLibrary::RSCriticalSection timerLock ACQUIRED_AFTER(subsListLock);
    std::set<TTimerParam*> pendingTimers GUARDED_BY(timerLock);

    platform::TimerQueueHandle timerQueueHwnd;  // constant after construction

    CEventRate rate;  // thread-safe on its own
};
