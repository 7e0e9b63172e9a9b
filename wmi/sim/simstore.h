// SimStore: the C++ interface to the simulated Windows hosts' store, one
// SQLite database file holding the hosts (name, state, credentials, computer
// name) and their event-log records. The listener's simulated-hosts provider
// reads it while the quellon-sim tool writes it, possibly at the same time
// from different processes: the database runs in WAL mode, so readers never
// block the writer, and every connection waits (busy time-out) rather than
// failing when another process holds the write lock.
//
// Ownership and threads: whoever opens a SimStore owns it. One object is one
// SQLite connection; every public method takes the object's own lock, so an
// object may be shared by several threads (calls are then serialised). For
// parallel reads, open one object per thread on the same file.
//
// Text is UTF-8. Times are microseconds since 1970-01-01 00:00:00 UTC
// (wmi/sim/simtime.h converts to and from the DMTF form WMI uses).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/thread_annotations.h"
#include "serverframework/synchronization.h"

struct sqlite3;

namespace wmi::sim {

// Outcome of every store operation. The optional message of a call says what
// went wrong in words an operator can act on.
enum class SimResult {
    Ok = 0,
    NotFound,       // no such store, host or record
    AlreadyExists,  // a host of that name is already in the store
    Invalid,        // an argument the store refuses (empty name, event type out of 1..5)
    Failed,         // the database failed (I/O, corrupt file, foreign schema, busy too long)
};

// One simulated host. `name` is the key, exactly as clients give it
// (compared byte by byte). A host with a user requires exactly that user and
// password on connect; without one it accepts any or no credentials.
struct SimHost {
    std::string name;
    std::string computerName;
    bool up = true;
    std::optional<std::string> user;
    std::optional<std::string> password;
};

// One value of an event's EventData: `name` is its Name attribute, empty
// where the event leaves the value unnamed.
struct SimDataValue {
    std::string name;
    std::string value;
    bool operator==(const SimDataValue&) const = default;
};

// The system fields of an event that a channel shows and Win32_NTLogEvent
// does not, with the event's data as the channel holds it. The channel,
// computer, user SID, creation time and EventID live in SimEvent itself
// (logFile, computerName, user, timeGenerated, eventIdentifier).
struct SimChannelFields {
    std::string providerName;  // Provider Name (sourceName may be its EventSourceName)
    std::string providerGuid;  // "{xxxxxxxx-...}" as the event gives it; empty: none
    uint32_t version = 0;
    uint32_t level = 0;
    uint32_t task = 0;
    uint32_t opcode = 0;
    uint64_t keywords = 0;
    std::string activityId;  // Correlation ActivityID; empty: none
    uint32_t processId = 0;
    uint32_t threadId = 0;
    // EventData's values in order; empty when the event has none.
    std::vector<SimDataValue> eventData;
    // The XML inside the event's UserData element, as the event holds it;
    // nullopt when the event has no UserData.
    std::optional<std::string> userData;
    bool operator==(const SimChannelFields&) const = default;
};

// One event-log record of a host, as Win32_NTLogEvent presents it, and, for
// records that came from a channel log, the channel's own fields.
struct SimEvent {
    std::string host;
    // Per host, 1, 2, 3, ... in insertion order (renumberRecords may move
    // them past 2^32; RecordNumber is this modulo 2^32).
    int64_t recordNumber = 0;
    std::string logFile;
    uint32_t eventCode = 0;        // low 16 bits of eventIdentifier
    uint32_t eventIdentifier = 0;  // with qualifier bits
    int eventType = 3;     // 1 Error, 2 Warning, 3 Information, 4 Audit Success, 5 Audit Failure
    std::string typeText;  // the text of eventType (EventTypeText)
    std::string sourceName;
    int64_t timeGenerated = 0;  // microseconds since the epoch, UTC
    int64_t timeWritten = 0;    // microseconds since the epoch, UTC
    // nullopt: the record has no insertion strings (WMI gives VT_NULL);
    // an empty vector: it has an empty list.
    std::optional<std::vector<std::string>> insertionStrings;
    // The stored insertion strings cannot be decoded (a damaged record):
    // insertionStrings is then nullopt, and the simulated host cannot give
    // the property.
    bool damaged = false;
    std::optional<std::string> message;  // nullopt: no message text
    int32_t category = 0;
    std::string categoryString;
    std::optional<std::string> user;  // nullopt: no user
    std::string computerName;
    // The EventRecordID: per host and log (logFile), increasing. On append,
    // a value above the log's newest is kept (an imported log keeps its own
    // ids, emit may set one); 0 or one not above it gets the newest + 1.
    int64_t eventRecordId = 0;
    // nullopt for a record made without them (emit without channel fields,
    // records stored before the store knew channels).
    std::optional<SimChannelFields> channel;
};

// "Error", "Warning", "Information", "Audit Success", "Audit Failure" for
// 1..5; the empty text for any other value.
const char* EventTypeText(int eventType);

class SimStore : public RSLibrary::RSNonCopyable {
  public:
    // The schema version this program writes; open() upgrades older stores.
    static constexpr int kSchemaVersion = 2;

    SimStore();
    ~SimStore();

    // Opens the store at `path`. With create false the file must exist and
    // hold a store (NotFound / Failed otherwise); with create true a missing
    // file, or an empty database, is created with the current schema. An
    // older schema is upgraded; a newer one or a database that is not a
    // store is refused (Failed) and left untouched. Opening an open object
    // closes it first.
    SimResult open(const std::string& path, bool create, std::string* error = nullptr);
    void close();
    bool isOpen() const;

    // ---- Hosts --------------------------------------------------------
    // AlreadyExists when the name is taken; Invalid for an empty name.
    SimResult addHost(const SimHost& host, std::string* error = nullptr);
    // Removes the host and all its records. NotFound when unknown.
    SimResult removeHost(const std::string& name, std::string* error = nullptr);
    // Marks the host up or down. NotFound when unknown.
    SimResult setHostUp(const std::string& name, bool up, std::string* error = nullptr);
    // Fills `out`. NotFound when unknown.
    SimResult getHost(const std::string& name, SimHost& out, std::string* error = nullptr);
    // All hosts, ordered by name.
    SimResult listHosts(std::vector<SimHost>& out, std::string* error = nullptr);

    // ---- Events -------------------------------------------------------
    // Appends `events` to the host in one transaction, in vector order, and
    // writes the record numbers given (and the host name) back into them.
    // Either all are stored or none (the store is unchanged on failure).
    // NotFound for an unknown host; Invalid for an event type outside 1..5.
    SimResult appendEvents(const std::string& host, std::vector<SimEvent>& events,
                           std::string* error = nullptr);
    // Removes the host's records of log `logFile` (every log when it is
    // empty), as clearing an event log does, and sets `removed` to how many
    // went. Record numbers go on from the host's highest remaining one, so
    // a cleared log that held the newest records numbers its next records
    // again from below. NotFound when the host is unknown.
    SimResult clearLog(const std::string& host, const std::string& logFile, int64_t& removed,
                       std::string* error = nullptr);
    // Renumbers the host's records, in their order, from `first` on (at
    // least 1); the records written next go on from the highest. Numbers
    // past 4294967295 are presented modulo 2^32, as RecordNumber is unsigned
    // 32-bit: a first near 4294967295 makes the host's log wrap as a busy
    // Windows log does. Invalid for a first below 1 or a host without
    // records; NotFound when the host is unknown.
    SimResult renumberRecords(const std::string& host, int64_t first, std::string* error = nullptr);
    // The host's highest record number, 0 when it has none. NotFound when
    // the host is unknown.
    SimResult newestRecord(const std::string& host, int64_t& recordNumber,
                           std::string* error = nullptr);
    // The number of records the host holds. NotFound when unknown.
    SimResult eventCount(const std::string& host, int64_t& count, std::string* error = nullptr);
    // Replaces `out` with the host's records whose number is greater than
    // `afterRecord`, in record order, at most `limit` of them (SIZE_MAX: all).
    // NotFound when the host is unknown.
    SimResult eventsAfter(const std::string& host, int64_t afterRecord, size_t limit,
                          std::vector<SimEvent>& out, std::string* error = nullptr);
    // Replaces `out` with the host's records of log `logFile` whose
    // EventRecordID is greater than `afterRecordId`, in that order, at most
    // `limit`. NotFound when the host is unknown.
    SimResult logEventsAfter(const std::string& host, const std::string& logFile,
                             int64_t afterRecordId, size_t limit, std::vector<SimEvent>& out,
                             std::string* error = nullptr);
    // The highest EventRecordID of log `logFile` in the host, 0 when the host
    // holds no record of it. NotFound when the host is unknown.
    SimResult newestRecordId(const std::string& host, const std::string& logFile, int64_t& id,
                             std::string* error = nullptr);
    // Replaces `out` with the host's records whose timeGenerated lies in
    // [from, to] (both inclusive; pass from+1 / to-1 for exclusive bounds)
    // and whose number is greater than `afterRecord`, in record order, at
    // most `limit`. To page, pass the last record number returned as the
    // next `afterRecord`. NotFound when the host is unknown.
    SimResult eventsBetween(const std::string& host, int64_t from, int64_t to, int64_t afterRecord,
                            size_t limit, std::vector<SimEvent>& out, std::string* error = nullptr);

  private:
    class Impl;

    // Guards the connection and its prepared statements. A leaf lock: no
    // other lock is taken while it is held, and nothing is logged under it.
    mutable RSLibrary::RSCriticalSection lock;
    Impl* impl GUARDED_BY(lock);
};

}  // namespace wmi::sim
