// CCatchUp: what a live subscription delivers after a reconnect (or after a
// restart with a stored resume point) before it goes on live: the records
// its filter matches that the host wrote since the subscription's resume
// point, one data query per event log, in order.
//
// Plan, from the node's resume point:
//  - each log with a position (RecordNumber N, TimeWritten T) that the
//    subscription covers: "LogFile = L AND RecordNumber >= N". The answer
//    must hold the position's own record (same number and time); it is
//    skipped. When it does not (the log was cleared: its numbers started
//    again below N, or record N is gone), the log is read again as
//    "LogFile = L AND TimeWritten >= T" and a WARN says so;
//  - record numbers run in write order modulo 2^32 (a log wraps from
//    4294967295 to 0): the records after N are the 2^31 numbers that
//    follow it. For N of 2^31 or more those run across the wrap, and the
//    part below it is read as a second query, "LogFile = L AND
//    RecordNumber <= N - 2^31 AND TimeWritten >= T"; a record of the answer
//    that does not follow N (written before the log wrapped) is let go. A
//    log whose records came across the wrap is named in a WARN;
//  - the other logs (every other one for category "*", the one log of a
//    category with no position yet): "TimeWritten >= since".
// Each query adds the subscription's severity limit. At most maxRecords are
// delivered: when more were written, the newest maxRecords, preceded by
// the notice "EVENTS_SKIPPED host category severity count" and a WARN. A
// record that cannot be read is skipped with an ERROR and counted in that
// notice too.
// Each log's records are put in record order (modulo 2^32) whichever order
// the host answers in (oldest or newest first); records of several logs are
// merged by TimeWritten, each log's own order kept.
//
// Threads: created, stepped and destroyed by the query thread that holds the
// node; each Step does a bounded amount of work so that the thread's other
// subscriptions take their turns between steps.
#pragma once

#include <wbemidl.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "engine/eventdata.h"
#include "engine/resumepoint.h"
#include "wmi/comptr.h"

struct TSubscriptionNode;

class CCatchUp {
  public:
    enum class TStep { More, Done, Failed };

    CCatchUp(const TSubscriptionNode& node, size_t maxRecords);
    ~CCatchUp();
    CCatchUp(const CCatchUp&) = delete;
    CCatchUp& operator=(const CCatchUp&) = delete;

    // One turn on the node's connection: reads up to `budget` objects, or,
    // once every query has ended, appends up to `budget` events (after the
    // skipped notice, once) to *items for the caller to deliver and moves
    // the node's resume point past them. Failed: *error holds the code
    // (the connection broke); nothing of this catch-up is delivered after
    // that, the next reconnect starts again from the resume point.
    TStep Step(TSubscriptionNode& node, size_t budget, int32_t pollTimeoutMs,
               std::vector<TOutputItem>* items, HRESULT* error);

    // Records delivered so far, and those skipped over the cap.
    uint64_t Delivered() const { return delivered; }
    uint64_t Skipped() const { return skipped; }
    // TimeWritten of the last record handed out (microseconds, 0: none).
    int64_t LastWrittenMicros() const { return lastWritten; }
    // Whether the host has answered a query of this catch-up.
    bool Answered() const { return answered; }

    // The WQL of the plan's queries (for the log and for tests).
    std::vector<std::string> QueryTexts() const;

  private:
    struct TQuery {
        std::string log;          // empty: every log not named in the plan
        bool byRecord = false;    // "RecordNumber >= position" (else by time)
        bool acrossWrap = false;  // the numbers after position below the wrap
        TLogPosition position;    // byRecord, acrossWrap: the record the answer follows
        std::string text;
    };
    struct TRecord {
        int64_t writtenMicros = 0;
        std::string log;
        TLogPosition position;
        TEventData event;
    };
    // One log's records in record order, and how many of its oldest were
    // let go over the cap.
    struct TLogRecords {
        std::deque<TRecord> records;
        uint64_t dropped = 0;
    };

    // What one object of the current query's answer turned out to be.
    enum class TTaken {
        Kept,        // a record, kept (or an object that is no record, let go)
        PointSeen,   // the position's own record, delivered before
        LogCleared,  // the position's number names a later record
    };

    // Reads the plan's queries; the only place that moves through the plan,
    // opens and closes queries and turns a query into a read by time.
    TStep Read(TSubscriptionNode& node, size_t budget, int32_t pollTimeoutMs, HRESULT* error);
    // Looks at one object of the current query and keeps its record; it
    // changes neither the plan nor the query.
    // A record that cannot be read is skipped (TSubscriptionNode::
    // SkipUnreadable) and counted in the EVENTS_SKIPPED notice.
    TTaken Take(TSubscriptionNode& node, IWbemClassObject* object);
    // A WARN, once per log, that the current query's log has wrapped.
    void NoteWrapped(const TSubscriptionNode& node);
    // The current query's log was cleared or wrapped: what was kept of it
    // goes, and the current query becomes its read by time (to be opened).
    void ReadAgainByTime(const TSubscriptionNode& node);
    void Keep(TRecord record);
    void Merge();
    void CloseQuery();

    const size_t maxRecords;
    std::string severityClause;
    std::vector<TQuery> plan;
    size_t current = 0;                            // index in plan of the query being read
    wmi::ComPtr<IEnumWbemClassObject> enumerator;  // the current query's answer
    bool pointSeen = false;           // the current byRecord query's answer held its position
    std::vector<TLogRecords> perLog;  // records read, one list per log
    std::vector<std::string> logNames;
    std::vector<std::string> wrappedLogs;  // named in a WARN already
    bool merged = false;
    std::deque<TRecord> ready;  // merged, to deliver
    uint64_t delivered = 0;
    uint64_t skipped = 0;
    uint64_t unreadable = 0;  // records that could not be read, left out
    int64_t lastWritten = 0;
    bool answered = false;
};
