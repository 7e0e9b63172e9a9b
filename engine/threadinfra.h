// The records that travel through the subscription engine and the job queue
// each engine thread takes them from.
//
// A TSubscriptionNode is one live subscription or one replay. It is created
// by the controller, owned by the dispatcher from the moment it is queued
// there, and destroyed only by the dispatcher (or by a queue's destructor at
// teardown). At any moment a node is in exactly one job queue, held by
// exactly one running engine thread, or waiting on one reconnect timer; its
// `stage` tells the next holder what to do with it.
//
// CJobQueue is a base of every engine thread class: each thread object is its
// own first-in-first-out queue.
#pragma once

#include <wbemidl.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>

#include "engine/resumepoint.h"
#include "platform/thread_annotations.h"
#include "serverframework/synchronization.h"
#include "serverframework/waitable.h"
#include "wmi/callcancel.h"

enum TSubscriptionStage : int32_t {
    New = 0,
    Connected = 1,
    Disconnected = 2,
    EventWait = 3,
    Error = 4,
    Completed = 5,
    WaitingToReconnect = 6,
    Reconnecting = 7,
};

class CCatchUp;
class CDeliveryLedger;
struct TDeliveryTrack;

// The most objects one IEnumWbemClassObject::Next of the engine asks for:
// the size of the buffers the query thread and the catch-up read into.
constexpr int kBatchSlots = 50;

// What STATS shows of one subscription or replay. Written by the thread
// that holds the node (reconnects by the dispatcher), read by any thread.
struct TEventData;

struct TSubscriptionCounters {
    std::atomic<uint64_t> delivered{0};         // records broadcast
    std::atomic<uint64_t> caughtUp{0};          // of them, delivered by catch-ups
    std::atomic<uint64_t> skipped{0};           // records that could not be read, skipped
    std::atomic<uint64_t> overCap{0};           // left out by catch-ups over their cap
    std::atomic<uint32_t> reconnects{0};        // CONNECTION_REESTAB announced
    std::atomic<int64_t> lastDeliveredAt{0};    // seconds since 1970 (UTC), 0: none yet
    std::atomic<int64_t> lastWrittenMicros{0};  // TimeWritten of that record, 0: unknown
    std::atomic<int64_t> lastErrorAt{0};        // seconds since 1970 (UTC) of the last failure
};

// Display names of the stages, indexed by stage value (LIST prints them).
extern const char* const g_stageNames[8];

// The records of one log file that a replay has already sent: the first
// and the last RecordNumber in write order (numbers count modulo 2^32, so
// `lowest` is above `highest` when the run holds the log's wrap). A query
// returns each log's records in record order (either direction), so every
// record between the two was sent as well.
struct TDeliveredRange {
    uint32_t lowest;
    uint32_t highest;
};

struct TSubscriptionNode {
    // Written by the controller before the node is queued; never changed
    // afterwards, so any thread may read them.
    std::string host;
    std::string wmiNamespace;
    std::string user;
    std::string password;
    std::string category;
    std::string eventType;
    std::string timeFrom;
    std::string timeTo;
    // The replay window in UTC, as the query states it (timeFrom and timeTo
    // are the listener's local time, as the client gave them).
    std::string queryFrom;
    std::string queryTo;
    // Assigned only while the dispatcher's subsListLock is held, so LIST never
    // copies a text that is being replaced.
    std::string failedAt;
    int32_t isReplay = 0;

    // Written by the thread that holds the node. LIST reads stage,
    // connectionFailed and lastError of nodes it does not hold: they are
    // atomics, read as they are at that moment.
    // Reconnects of the current failure series: the reconnect delay grows
    // with it. The series ends when the node's own query answers again, not
    // when a connection is made, so a host that accepts the connection and
    // the query but fails every poll is retried ever more slowly, as one
    // that refuses connections is.
    int32_t reconnectTryNo = 0;
    // Clients were told CONNECTION_FAILED and not yet CONNECTION_REESTAB:
    // the next failure is not announced, the next answer of a query of the
    // node is (one CONNECTION_FAILED per failure series).
    bool failureAnnounced = false;
    std::atomic<HRESULT> lastError{0};
    IWbemServices* services = nullptr;          // borrowed from the connection pool
    IEnumWbemClassObject* eventEnum = nullptr;  // owned: released by ReleaseQuery()
    // Set by MarkForDeletion from a client thread while another thread holds
    // the node.
    std::atomic<bool> markedForDeletion{false};
    // Cancelled with markedForDeletion: the provider calls the holder makes
    // for the node (under a CallCancelScope) end early. Thread-safe.
    wmi::CallCancel cancel;
    bool isConnected = false;
    std::atomic<bool> connectionFailed{false};
    // Set by the query thread that holds the node while an output cannot
    // take more events (it refuses them; a catch-up of the node waits);
    // LIST and STATS show the state "Output Blocked".
    std::atomic<bool> outputBlocked{false};
    std::atomic<int32_t> stage{New};
    // A replay whose REPLAY_FINISHED has gone out: it only gives its
    // connection back, and LIST and DELETE no longer see it. Set by the
    // dispatcher while it holds subsListLock; other threads read it only
    // under that lock.
    bool replayFinished = false;
    // What a replay has sent so far, per log file; an interrupted replay
    // runs its query again and skips these. Written and read by the holder.
    std::map<std::string, TDeliveredRange> delivered;

    // A live subscription's resume point (what it delivered, per log) and
    // its catch-up. Set by the controller before the node is queued, then read
    // and written only by the thread that holds the node.
    TResumePoint resume;
    bool catchUpDue = false;            // catch up before going on live
    bool warnedOddText = false;         // NoteOddText has warned
    std::unique_ptr<CCatchUp> catchUp;  // the catch-up under way
    // Set when the reporting output lost records the others took (the
    // Kafka output refused them while its queue was full) and the node
    // reads again from the reporting output's delivered point: how far the
    // node had read and handed to every output then, per log. The catch-up
    // hands records up to there to the reporting output alone; cleared when
    // that catch-up has ended.
    TResumePoint othersHave;
    // Constant after queuing: the delivery ledger (null: none), the live
    // subscription's track in it (what the output has delivered, which the
    // state file keeps; null for a replay) and the most records one
    // catch-up delivers.
    CDeliveryLedger* ledger = nullptr;
    std::shared_ptr<TDeliveryTrack> delivery;
    size_t maxCatchUp = 100000;
    // Set with markedForDeletion by a DELETE (or a replacing ADD), not by
    // shutdown: the stored resume point is forgotten then, and the node
    // stores no more positions.
    std::atomic<bool> forgetResumePoint{false};

    TSubscriptionCounters counters;

    TSubscriptionNode();
    ~TSubscriptionNode();
    TSubscriptionNode(const TSubscriptionNode&) = delete;
    TSubscriptionNode& operator=(const TSubscriptionNode&) = delete;

    bool SetStage(TSubscriptionStage newStage);
    // "\\host\namespace, user:U, eventType:T" and ", reconnectTryNo:N" when
    // N > 0. Never the category or the password.
    std::string Describe() const;
    // Releases the enumerator of the node's last query, if any. Called by
    // the thread that holds the node.
    void ReleaseQuery();
    // What identifies the subscription in the state file.
    TResumeKey ResumeKey() const;
    // A record of the host that cannot be read (failure: what could not be
    // read of it) is skipped, not fatal: one ERROR naming the host, the log
    // and the record number, and one more in counters.skipped. Called by the
    // thread that holds the node.
    void SkipUnreadable(const std::string& log, uint32_t recordNumber, const std::string& failure);
    // The first record of the subscription whose message or insertion
    // strings held characters that could not be converted (now U+FFFD) or
    // a NUL gets one WARN; later ones none. Called by the thread that holds
    // the node.
    void NoteOddText(const TEventData& event);
};

// First-in-first-out queue of nodes with a two-state wake-up signal. Owns
// the nodes in its list. Thread-safe; AddJob never waits for more than the
// lock. A dispatcher may call AddJob while it holds its subsListLock (lock
// order: platform/thread_annotations.h); queueLock is never held while
// waiting on jobSignal.
template <typename T>
class CJobQueue {
  public:
    CJobQueue() : jobSignal("", 1, 1) {}

    virtual ~CJobQueue() {
        RSLibrary::RSSynchronizeGuard guard(queueLock);
        for (T* job : jobs) delete job;
        jobs.clear();
    }

    CJobQueue(const CJobQueue&) = delete;
    CJobQueue& operator=(const CJobQueue&) = delete;

    // Appends the job at the back and raises the signal (a raise beyond the
    // maximum is ignored). Takes ownership.
    void AddJob(T* job) {
        RSLibrary::RSSynchronizeGuard guard(queueLock);
        jobs.push_back(job);
        jobSignal.unLock();
    }

    // The front job, or null when the queue is still empty after a wait of
    // at most timeoutMs. A signal left over from earlier work ends the wait
    // at once. The caller owns the returned job.
    T* TakeJob(int32_t timeoutMs) {
        {
            RSLibrary::RSSynchronizeGuard guard(queueLock);
            if (!jobs.empty()) return PopFront();
        }
        // A job added since the look above raised the signal, so this wait
        // ends at once.
        jobSignal.wait(timeoutMs);
        RSLibrary::RSSynchronizeGuard guard(queueLock);
        if (jobs.empty()) return nullptr;
        return PopFront();
    }

    // Appends a job the taker puts back into its own queue, without raising
    // the signal: the signal then means work from elsewhere (a new job, or
    // Wake). Takes ownership.
    void ReturnJob(T* job) {
        RSLibrary::RSSynchronizeGuard guard(queueLock);
        jobs.push_back(job);
    }

    // Waits at most timeoutMs for the signal: a job added with AddJob, or
    // Wake. A signal left over from earlier work ends the wait at once.
    void WaitForWork(int32_t timeoutMs) { jobSignal.wait(timeoutMs); }

    // Raises the signal without adding a job, so that a taker waiting on an
    // empty queue looks again at once (used after a terminate request).
    void Wake() { jobSignal.unLock(); }

    unsigned GetJobCount() {
        RSLibrary::RSSynchronizeGuard guard(queueLock);
        return static_cast<unsigned>(jobs.size());
    }

  private:
    T* PopFront() REQUIRES(queueLock) {
        T* job = jobs.front();
        jobs.pop_front();
        return job;
    }

    RSLibrary::RSCriticalSection queueLock;  // guards jobs; taken after subsListLock
    std::deque<T*> jobs GUARDED_BY(queueLock);
    RSLibrary::RSSemaphore jobSignal;  // initial 1, maximum 1: "work may be waiting"
};
