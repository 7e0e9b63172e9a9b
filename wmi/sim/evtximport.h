// Import of Windows .evtx event-log files into the simulated hosts' store.
// quellon-sim and the tests call it; each call owns its own libevtx file
// handle, so calls from different threads do not interfere.
//
// Mapping of one record to a SimEvent:
//   eventType       keywords first: the audit-success bit 0x0020000000000000
//                   gives 4, the audit-failure bit 0x0010000000000000 gives 5;
//                   otherwise the level: 1 or 2 gives 1 (Error), 3 gives 2
//                   (Warning), anything else gives 3 (Information)
//   eventCode       low 16 bits of the event identifier
//   eventIdentifier (qualifiers << 16) | event identifier
//   sourceName      the provider's EventSourceName when present, else its Name
//   logFile         the channel
//   insertionStrings the event's data values in order (EventData's Data and
//                   ComplexData elements; for UserData, the leaf elements
//                   under its one child); none when the record has no values
//   timeGenerated   the record's creation time (UTC)
//   timeWritten     the time the record was written to the log (UTC)
//   category        the task number; categoryString empty (no message files)
//   user            the security identifier (SID) of the record, if any
//   computerName    the computer element
//   message         none: .evtx files carry no rendered message text
//   eventRecordId   the record's EventRecordID (kept by the store when above
//                   the host's newest of that log)
//   channel         provider name and GUID, version, level, task, opcode,
//                   keywords, Correlation ActivityID, Execution ProcessID and
//                   ThreadID; EventData's Data and ComplexData values with
//                   their Name attributes, or the XML inside UserData
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "wmi/sim/simstore.h"

namespace wmi::sim {

// What reading one file found.
struct EvtxReadReport {
    size_t records = 0;                 // records the file's headers list
    size_t skipped = 0;                 // records that could not be read
    std::vector<std::string> warnings;  // one per skipped record, naming file and record
};

// Reads every record of `path` that libevtx can read into `events` (in file
// order; host and record numbers left unset). A record that cannot be read
// is skipped with a warning. False, with `error` set, when the file cannot
// be opened as an .evtx file at all.
bool ReadEvtxFile(const std::string& path, std::vector<SimEvent>& events, EvtxReadReport& report,
                  std::string* error);

// Maps the XML form of one record (as libevtx renders it) to an event.
// `writtenFiletime` is the record's written time as a Windows FILETIME (100 ns
// since 1601-01-01 UTC); 0 means unknown (the creation time is used). False,
// with `why` set, when the XML cannot be parsed or lacks the event identifier
// or the creation time.
bool EventFromEvtxXml(std::string_view xml, uint64_t writtenFiletime, SimEvent& out,
                      std::string* why);

// Reads the files and appends all their records to `host` in one
// transaction, in the order given: on any error nothing is stored.
// `reports` gets one entry per file. NotFound for an unknown host; Failed
// for a file that cannot be opened (error names it) or a store failure.
SimResult ImportEvtxFiles(SimStore& store, const std::string& host,
                          const std::vector<std::string>& paths,
                          std::vector<EvtxReadReport>& reports, std::string* error = nullptr);

}  // namespace wmi::sim
