// A Windows event channel's event as the event log resource of
// WS-Management delivers it (Event XML, with its RenderingInfo when the
// subscription asked for rendered text), read into plain typed fields: the
// system fields, the data values in order (named where the event names
// them) or the UserData kept as XML, and the host's rendering. Also the
// XPath texts the provider sends: the level filter a severity stands for
// and the time window of a replay. Pure functions; the result is plain data,
// safe to hand to any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <pugixml.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace wmi::wsman {

struct ChannelDataValue {
    std::string name;  // empty where the event leaves the value unnamed
    std::string value;
};

struct ChannelEvent {
    // System.
    std::string providerName;
    std::string providerGuid;     // "" when absent
    std::string eventSourceName;  // "" when absent
    uint32_t eventId = 0;         // EventID (16 bits on the wire)
    uint32_t qualifiers = 0;
    uint32_t version = 0;
    uint32_t level = 0;
    uint32_t task = 0;
    uint32_t opcode = 0;
    uint64_t keywords = 0;
    int64_t timeCreated = 0;  // µs since 1970-01-01 UTC
    uint64_t eventRecordId = 0;
    std::string activityId;  // "" when absent
    uint32_t processId = 0;
    uint32_t threadId = 0;
    std::string channel;
    std::string computer;
    std::optional<std::string> userSid;
    // EventData's values in order. For an event with UserData, its inner
    // XML, and in eventData its leaf elements in order, named by their
    // element names.
    std::vector<ChannelDataValue> eventData;
    std::optional<std::string> userData;
    // RenderingInfo, when the host rendered the event.
    std::optional<std::string> message;
    std::string levelText;
    std::string taskText;
    std::string opcodeText;
    std::vector<std::string> keywordTexts;
};

// Reads an Event element (namespace kNsEvent). False, with a readable
// `error`, when it is not one, or lacks a valid EventID, TimeCreated or
// EventRecordID, or a number is not one.
bool ParseChannelEvent(pugi::xml_node event, ChannelEvent& out, std::string& error);
bool ParseChannelEvent(std::string_view xml, ChannelEvent& out, std::string& error);

// The XPath selecting a channel's events that a severity filter (the
// highest event type, 1 to 5; 0 or 5: every event) may admit, as far as
// levels tell: 1 gives "*[System[(Level=1 or Level=2)]]", 2 adds Level=3;
// 3 and 4 give every level (what sets audits apart is in the keywords: the
// listener applies those itself, EventTypeOfChannelEvent). `afterRecordId`
// above 0 adds "EventRecordID>N" (a catch-up from a resume point).
std::string LevelXPath(int severity, uint64_t afterRecordId = 0);
// The test inside System[] of LevelXPath's levels; "" when it has none.
std::string LevelTest(int severity);
// "*[System[TimeCreated[@SystemTime>='FROM' and @SystemTime<'TO']]]",
// times in UTC microseconds.
std::string TimeWindowXPath(int64_t fromMicros, int64_t toMicros);

// The event type (1 Error .. 5 Audit Failure) of a channel event: the audit
// keywords first (success 0x0020000000000000 gives 4, failure
// 0x0010000000000000 gives 5), else the level (1 and 2: 1, 3: 2, others: 3).
int EventTypeOfChannelEvent(uint32_t level, uint64_t keywords);

}  // namespace wmi::wsman
