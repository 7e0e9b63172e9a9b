// A data query's answer handed out newest first. The simulated hosts answer
// a query on Win32_NTLogEvent in record order, oldest first; a Windows host
// may answer newest first. The simulated WS-Management endpoint can answer
// that way (EndpointOptions::newestFirst) so that callers are tried with
// both orders.
#pragma once

#include <wbemidl.h>

namespace wmi::sim {

// Reads `answer` to its end (waiting at most timeoutMs for each batch) and
// stores in *reversed an enumerator that hands out the same objects in the
// opposite order, then reports the end. The caller keeps its reference to
// `answer`. A failure of `answer` (or a time-out) is returned, and nothing
// stored.
HRESULT NewestFirst(IEnumWbemClassObject* answer, LONG timeoutMs, IEnumWbemClassObject** reversed);

}  // namespace wmi::sim
