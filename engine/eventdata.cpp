#include "engine/eventdata.h"

std::string TEventValue::RecordText() const {
    switch (kind) {
        case TKind::Empty:
            return "<EMPTY>";
        case TKind::Null:
            return "<NULL>";
        case TKind::Number:
        case TKind::Boolean:
        case TKind::Text:
        case TKind::Other:
            return text;
        case TKind::TextArray:
            return items.empty() ? std::string() : items.front();
        case TKind::Bytes:
        case TKind::Absent:
            break;
    }
    return "<UNKNOWN>";
}

const char* EventPropertyName(TEventProperty property) {
    static const char* const kNames[kEventPropertyCount] = {
        "Category",      "CategoryString",  "ComputerName", "Data",
        "EventCode",     "EventIdentifier", "EventType",    "InsertionStrings",
        "Logfile",       "Message",         "RecordNumber", "SourceName",
        "TimeGenerated", "TimeWritten",     "Type",         "User",
    };
    return kNames[static_cast<size_t>(property)];
}

const char* NoticeName(TNoticeKind kind) {
    switch (kind) {
        case TNoticeKind::ConnectionOk:
            return "CONNECTION_OK";
        case TNoticeKind::ConnectionFailed:
            return "CONNECTION_FAILED";
        case TNoticeKind::ConnectionReestab:
            return "CONNECTION_REESTAB";
        case TNoticeKind::Deleted:
            return "DELETED";
        case TNoticeKind::ReplayFinished:
            return "REPLAY_FINISHED";
        case TNoticeKind::EventsSkipped:
            return "EVENTS_SKIPPED";
    }
    return "";
}
