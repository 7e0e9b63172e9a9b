// Reading one event object of a poll into its properties (TEventData).
// Pure functions on values; any thread.
#pragma once

#include <wbemidl.h>

#include <string>

#include "engine/clientlines.h"
#include "engine/eventdata.h"
#include "engine/resumepoint.h"

struct TSubscriptionNode;

// The value as data: its kind, and for numbers the text the record writes
// (decimal, "%f" for a 32-bit float, "%E" for a 64-bit one); a string array
// with every element, an array of bytes with its bytes.
TEventValue EventValueFromVariant(const VARIANT& value);

// Text of a typed value by its kind: "<EMPTY>", "<NULL>", decimal numbers,
// the counted string converted to narrow text, the first element of a string
// array, "CLSID", or "<UNKNOWN>" for any other kind.
std::string VariantToText(const VARIANT& value);

// Reads every Win32_NTLogEvent property of the event into *data, with host
// as the subscription names it. The six the record needs (TimeGenerated,
// InsertionStrings, EventCode, Type, LogFile, SourceName, read in that
// order) must be there: false, with the warning text of the first that
// cannot be read in *failure ("Error retrieving ..."), or "NULL
// targetInstanceObj found" for a missing object. Any other property that
// cannot be read is Absent.
bool ReadEventData(const std::string& host, IWbemClassObject* event, TEventData* data,
                   std::string* failure);

// Reads the event's properties and formats the record (message 123). False,
// with the warning text in *failure, when the event object is missing or a
// property cannot be read; the record is then not formed.
bool BuildEventRecord(const TSubscriptionNode& node, IWbemClassObject* event, std::string* record,
                      std::string* failure);

// Where the event stands in its log: LogFile, RecordNumber and TimeWritten.
// False when one of them cannot be read.
bool ReadRecordPosition(IWbemClassObject* event, std::string* logFile, TLogPosition* position);
