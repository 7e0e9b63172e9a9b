// Turning one event object of a poll into the "NTEVENT:" record clients
// receive. Pure functions on values; any thread.
#pragma once

#include <wbemidl.h>

#include <string>

#include "engine/resumepoint.h"

struct TSubscriptionNode;

// Text of a typed value by its kind: "<EMPTY>", "<NULL>", decimal numbers,
// the counted string converted to narrow text, the first element of a string
// array, "CLSID", or "<UNKNOWN>" for any other kind.
std::string VariantToText(const VARIANT& value);

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

// Reads the event's properties and formats the record (message 123). False,
// with the warning text in *failure, when the event object is missing or a
// property cannot be read; the record is then not formed.
bool BuildEventRecord(const TSubscriptionNode& node, IWbemClassObject* event, std::string* record,
                      std::string* failure);

// Where the event stands in its log: LogFile, RecordNumber and TimeWritten.
// False when one of them cannot be read.
bool ReadRecordPosition(IWbemClassObject* event, std::string* logFile, TLogPosition* position);
