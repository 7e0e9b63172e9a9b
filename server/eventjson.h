// The JSON form of what the engine hands its outputs, as the Kafka output
// publishes it: one object per event, its keys Host and the Win32_NTLogEvent
// property names, and one object per notice. Written with RapidJSON's SAX
// writer straight into the caller's buffer (no tree is built). Pure
// functions; any thread.
#pragma once

#include <string>

#include "engine/eventdata.h"

// Replaces *out with the event's object: Host, ComputerName, Logfile,
// RecordNumber, EventCode, EventIdentifier, EventType (number), Type,
// SourceName, Category, CategoryString, TimeGenerated and TimeWritten (RFC
// 3339, UTC, microseconds), User, Message, InsertionStrings (array), Data
// (base64); null where the host gave none (or the empty or null value).
void EventJson(const TEventData& event, std::string* out);

// Replaces *out with the notice's object: Notice, Host, Category, Severity,
// Time (RFC 3339, UTC) and, where the notice has them, Error
// (CONNECTION_FAILED), Count (EVENTS_SKIPPED), From and To
// (REPLAY_FINISHED).
void NoticeJson(const TNotice& notice, std::string* out);
