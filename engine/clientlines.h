// The client protocol's text of what the engine hands its outputs: the
// "NTEVENT:" record of an event and the line of a notice, and the quoting
// of fields that LIST and the notices share. Pure functions on values; any
// thread.
#pragma once

#include <string>

#include "engine/eventdata.h"

// A text that contains a blank, a CR or a LF is written as one field: every
// double quote becomes backslash and quote, CR the two characters \r, LF the
// two characters \n, and the whole is enclosed in double quotes. Any other
// text is returned unchanged. Used for the quoted fields of records and for
// log names wherever a line carries one.
std::string QuoteField(const std::string& text);

// A text with a CR or a LF goes through QuoteField; any other text, blanks
// included, is returned unchanged. For the fields that are never quoted for
// a blank (the host, the event code).
std::string QuoteLineBreaks(const std::string& text);

// The "NTEVENT:" record of an event (message 123): the host, then
// TimeGenerated, EventCode, SourceName, LogFile, Type and the first
// insertion string as RecordText gives them, each field quoted as the
// record has always quoted it.
std::string FormatEventRecord(const TEventData& data);

// The client line of a notice (messages 127, 128, 129, 136, 137 and the
// EVENTS_SKIPPED line), before the broadcast appends CR LF; times as the
// listener's local YYYYMMDDhhmmss.
std::string FormatNoticeLine(const TNotice& notice);

// FormatEventRecord or FormatNoticeLine, whichever the item is.
std::string ClientLine(const TOutputItem& item);
