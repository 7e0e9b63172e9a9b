// What the subscription engine hands its outputs: the properties of each
// event as data (TEventData), the notices about a subscription's state
// (TNotice), and TOutputItem, one of the two. Each output formats them its
// own way: the command server as the "NTEVENT:" records and notice lines of
// the client protocol, the Kafka output as JSON.
//
// Plain values: made by the engine thread that reads the event or decides
// the notice, handed to the outputs by const reference, never changed
// afterwards; any thread may read them.
#pragma once

#include <time.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "engine/resumepoint.h"

// One property value, with the kind of value the host gave.
struct TEventValue {
    enum class TKind : uint8_t {
        Absent,     // the host gave no such property (or it could not be read)
        Empty,      // no value
        Null,       // the host's null
        Number,     // text holds the decimal (or floating) form
        Boolean,    // text holds "-1" (true) or "0"
        Text,       // text holds the string (UTF-8)
        TextArray,  // items holds every element
        Bytes,      // text holds the raw bytes
        Other,      // a kind no output formats as a value; text holds its name
    };

    TKind kind = TKind::Absent;
    std::string text;
    std::vector<std::string> items;

    // The value as an "NTEVENT:" record writes it: "<EMPTY>", "<NULL>", the
    // text of a number or string, the first element of a string array
    // (empty text when there is none), the name of another kind, or
    // "<UNKNOWN>" for bytes or a value that was not there.
    std::string RecordText() const;
};

// The properties of Win32_NTLogEvent, in the order of TEventData::values.
enum class TEventProperty : uint8_t {
    Category,
    CategoryString,
    ComputerName,
    Data,
    EventCode,
    EventIdentifier,
    EventType,
    InsertionStrings,
    Logfile,
    Message,
    RecordNumber,
    SourceName,
    TimeGenerated,
    TimeWritten,
    Type,
    User,
};
constexpr size_t kEventPropertyCount = 16;

// The property's name as the class spells it.
const char* EventPropertyName(TEventProperty property);

// One event of a subscription or replay.
struct TEventData {
    // The host as the subscription names it.
    std::string host;
    // Every property of the event; Absent where the host gave none.
    std::array<TEventValue, kEventPropertyCount> values;
    // Where the event stands in its log (RecordNumber and TimeWritten of
    // Logfile); positioned is false when the host gave no such place.
    std::string log;
    TLogPosition position;
    bool positioned = false;

    const TEventValue& operator[](TEventProperty property) const {
        return values[static_cast<size_t>(property)];
    }
    TEventValue& operator[](TEventProperty property) {
        return values[static_cast<size_t>(property)];
    }
};

// The notices the engine sends about a subscription or replay.
enum class TNoticeKind : uint8_t {
    ConnectionOk,       // CONNECTION_OK: connected for the first time
    ConnectionFailed,   // CONNECTION_FAILED: a failure series began
    ConnectionReestab,  // CONNECTION_REESTAB: connected again after failures
    Deleted,            // OK Deleted Host: the subscription is gone
    ReplayFinished,     // REPLAY_FINISHED: a replay's window was sent
    EventsSkipped,      // EVENTS_SKIPPED: a catch-up left out its oldest records
};

// The notice's name as outputs write it ("CONNECTION_FAILED", ...;
// "DELETED" for the deletion notice).
const char* NoticeName(TNoticeKind kind);

struct TNotice {
    TNoticeKind kind = TNoticeKind::ConnectionOk;
    // The subscription as its command gave it.
    std::string host;
    std::string category;
    std::string severity;
    // When the engine decided it (seconds since 1970, UTC).
    time_t at = 0;
    // ConnectionFailed: the error text.
    std::string error;
    // EventsSkipped: how many records were left out.
    uint64_t count = 0;
    // ReplayFinished: the window as the client gave it.
    std::string timeFrom;
    std::string timeTo;
};

using TOutputItem = std::variant<TEventData, TNotice>;
