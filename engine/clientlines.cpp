#include "engine/clientlines.h"

#include <ctime>

#include "base/configdataloader.h"
#include "base/stringformat.h"

namespace {

// The notice's subscription fields as notices write them: a category with
// a blank is quoted, and no field may carry a line break into the line.
std::string NoticeText(int messageId, const TNotice& n, const std::string& more1 = {},
                       const std::string& more2 = {}) {
    const std::string format = CConfigDataLoader::LoadMessage(messageId);
    return StringFormat(format.c_str(), QuoteLineBreaks(n.host).c_str(),
                        QuoteField(n.category).c_str(), QuoteLineBreaks(n.severity).c_str(),
                        more1.c_str(), more2.c_str());
}

std::string LocalStamp(time_t when) {
    struct tm local;
    localtime_r(&when, &local);
    return StringFormat("%d%02d%02d%02d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
                        local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
}

// What makes a field quoted: a blank, a line break, a NUL.
const std::string kQuoted(" \r\n\0", 4);
const std::string kLineBreaks("\r\n\0", 3);

}  // namespace

std::string QuoteField(const std::string& text) {
    if (text.find_first_of(kQuoted) == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') {
            quoted += "\\\"";
        } else if (c == '\r') {
            quoted += "\\r";
        } else if (c == '\n') {
            quoted += "\\n";
        } else if (c == '\0') {
            // Written out: a NUL would end the text of a reader that takes
            // the line as a C string.
            quoted += "\\0";
        } else {
            quoted += c;
        }
    }
    quoted += '"';
    return quoted;
}

std::string QuoteLineBreaks(const std::string& text) {
    if (text.find_first_of(kLineBreaks) == std::string::npos) return text;
    return QuoteField(text);
}

std::string FormatEventRecord(const TEventData& data) {
    const std::string time = data[TEventProperty::TimeGenerated].RecordText();
    const std::string message = data[TEventProperty::InsertionStrings].RecordText();
    const std::string code = data[TEventProperty::EventCode].RecordText();
    const std::string type = data[TEventProperty::Type].RecordText();
    const std::string logFile = data[TEventProperty::Logfile].RecordText();
    const std::string source = data[TEventProperty::SourceName].RecordText();
    // Every field is one line: a line break inside one would end the record
    // early and let event text pass for protocol lines.
    return StringFormat(
        CConfigDataLoader::LoadMessage(123).c_str(), QuoteLineBreaks(data.host).c_str(),
        QuoteField(time).c_str(), QuoteLineBreaks(code).c_str(), QuoteField(source).c_str(),
        QuoteField(logFile).c_str(), QuoteField(type).c_str(), QuoteField(message).c_str());
}

std::string FormatNoticeLine(const TNotice& n) {
    switch (n.kind) {
        case TNoticeKind::ConnectionOk:
            return NoticeText(129, n);
        case TNoticeKind::ConnectionFailed:
            return NoticeText(127, n, LocalStamp(n.at), n.error);
        case TNoticeKind::ConnectionReestab:
            return NoticeText(128, n, LocalStamp(n.at));
        case TNoticeKind::Deleted:
            return NoticeText(136, n);
        case TNoticeKind::ReplayFinished:
            return NoticeText(137, n, n.timeFrom, n.timeTo);
        case TNoticeKind::EventsSkipped:
            return StringFormat("EVENTS_SKIPPED %s %s %s %llu", n.host.c_str(), n.category.c_str(),
                                n.severity.c_str(), static_cast<unsigned long long>(n.count));
    }
    return std::string();
}

std::string ClientLine(const TOutputItem& item) {
    if (const TEventData* event = std::get_if<TEventData>(&item)) return FormatEventRecord(*event);
    return FormatNoticeLine(std::get<TNotice>(item));
}
