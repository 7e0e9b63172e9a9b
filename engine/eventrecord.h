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

// A text that is not empty and contains a blank gets every double quote
// escaped with a backslash and is enclosed in double quotes; any other text
// is returned unchanged.
std::string QuoteField(const std::string& text);

// Reads the event's properties and formats the record (message 123). False,
// with the warning text in *failure, when the event object is missing or a
// property cannot be read; the record is then not formed.
bool BuildEventRecord(const TSubscriptionNode& node, IWbemClassObject* event, std::string* record,
                      std::string* failure);

// Where the event stands in its log: LogFile, RecordNumber and TimeWritten.
// False when one of them cannot be read.
bool ReadRecordPosition(IWbemClassObject* event, std::string* logFile, TLogPosition* position);
