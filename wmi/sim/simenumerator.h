// The result sets of the simulated hosts' queries.
//
// DESIGN
// A notification enumerator starts at the host's newest record at the
// moment the query is issued. Every WITHIN interval it looks at the host's
// newest record number and makes everything up to it "found"; Next hands
// out the found records that match, fetched from the store in record order
// and in batches, so a backlog costs memory for one batch only. Between two
// looks Next sleeps (never holding a store connection), at most until its
// time-out. With WITHIN 0 it looks on every call, and every 10 ms while it
// waits.
// A data enumerator fixes, when the query is issued, the newest record it
// will return; Next pages through the matching records up to it (by
// TimeGenerated range and record number) and then reports the end.
// Every Next first checks the host: gone or down breaks the enumerator for
// good (RPC_S_CALL_FAILED_HR from then on).
// Threads: one poller at a time (Next is serialised by pollLock); Release
// and the blanket calls may come from any thread.
#pragma once

#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/thread_annotations.h"
#include "serverframework/synchronization.h"
#include "wmi/cim/wql.h"
#include "wmi/comobject.h"
#include "wmi/sim/storeconnections.h"

namespace wmi::sim {

class SimEnumerator : public ComObject<IEnumWbemClassObject> {
  public:
    // `startRecord`: the host's newest record when the query was issued.
    SimEnumerator(std::shared_ptr<StoreConnections> store, std::string host, cim::WqlQuery query,
                  int64_t startRecord);

    HRESULT Next(LONG timeout, ULONG count, IWbemClassObject** objects, ULONG* returned) override;

  protected:
    const IID& InterfaceId() const override { return IID_IEnumWbemClassObject; }

  private:
    using Clock = std::chrono::steady_clock;

    HRESULT NextLocked(LONG timeout, ULONG count, IWbemClassObject** objects, ULONG* returned)
        REQUIRES(pollLock);
    // Checks that the host is still there and up; breaks the enumerator
    // when it is not.
    bool HostAvailable(SimStore* store) REQUIRES(pollLock);
    // Moves matching records up to visibleUpTo into pending until it holds
    // `wanted`; false when the store failed.
    bool Fill(SimStore* store, size_t wanted) REQUIRES(pollLock);
    // Hands out up to `count` pending records as objects.
    ULONG HandOut(ULONG count, IWbemClassObject** objects) REQUIRES(pollLock);

    // Constant after construction.
    const std::shared_ptr<StoreConnections> store;
    const std::string host;
    const cim::WqlQuery query;
    int64_t timeFrom = 0;  // TimeGenerated range of a data query
    int64_t timeTo = 0;

    // Serialises Next. Nothing else is locked while it is held except a
    // store connection's own lock and StoreConnections::lock.
    RSLibrary::RSCriticalSection pollLock;
    HRESULT broken GUARDED_BY(pollLock) = S_OK;  // the failure every later Next returns
    int64_t cursor GUARDED_BY(pollLock);         // last record looked at
    int64_t visibleUpTo GUARDED_BY(pollLock);    // newest record found so far
    Clock::time_point nextLook GUARDED_BY(pollLock);
    std::deque<SimEvent> pending GUARDED_BY(pollLock);  // matching, not yet handed out
    std::vector<SimEvent> batch GUARDED_BY(pollLock);   // reused fetch buffer
};

}  // namespace wmi::sim
