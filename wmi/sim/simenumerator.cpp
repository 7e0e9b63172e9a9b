#include "wmi/sim/simenumerator.h"

#include <algorithm>
#include <new>
#include <thread>

#include "wmi/sim/ntlogevent.h"

namespace wmi::sim {

namespace {

// Records fetched from the store per step.
constexpr size_t kFetchBatch = 256;
// Shortest pause between two looks while Next waits (WITHIN 0).
constexpr std::chrono::milliseconds kMinimumPause{10};

}  // namespace

SimEnumerator::SimEnumerator(std::shared_ptr<StoreConnections> s, std::string h, cim::WqlQuery q,
                             int64_t startRecord)
    : store(std::move(s)), host(std::move(h)), query(std::move(q)) {
    cim::TimeGeneratedBounds(query, timeFrom, timeTo);
    RSLibrary::RSSynchronizeGuard guard(pollLock);
    if (query.notification) {
        cursor = startRecord;
        visibleUpTo = startRecord;
        nextLook = Clock::now() + std::chrono::microseconds(query.withinMicros);
    } else {
        // Nothing at or below the floor can match: paging starts after it.
        cursor = std::min(cim::RecordNumberFloor(query), startRecord);
        visibleUpTo = startRecord;
        nextLook = Clock::now();
    }
}

HRESULT SimEnumerator::Next(LONG timeout, ULONG count, IWbemClassObject** objects,
                            ULONG* returned) {
    if (objects == nullptr || returned == nullptr) return WBEM_E_INVALID_PARAMETER;
    *returned = 0;
    if (count == 0 || (timeout < 0 && timeout != WBEM_INFINITE)) return WBEM_E_INVALID_PARAMETER;
    RSLibrary::RSSynchronizeGuard guard(pollLock);
    try {
        return NextLocked(timeout, count, objects, returned);
    } catch (const std::bad_alloc&) {
        return WBEM_E_OUT_OF_MEMORY;
    }
}

HRESULT SimEnumerator::NextLocked(LONG timeout, ULONG count, IWbemClassObject** objects,
                                  ULONG* returned) {
    if (broken != S_OK) return broken;
    const bool forever = timeout == WBEM_INFINITE;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(forever ? 0 : timeout);
    while (true) {
        {
            StoreLease lease(*store);
            if (!lease) return broken = RPC_S_CALL_FAILED_HR;
            SimStore* db = lease.operator->();
            if (!HostAvailable(db)) return broken = RPC_S_CALL_FAILED_HR;
            if (query.notification && Clock::now() >= nextLook) {
                int64_t newest = 0;
                if (db->newestRecord(host, newest) != SimResult::Ok) {
                    return broken = RPC_S_CALL_FAILED_HR;
                }
                visibleUpTo = std::max(visibleUpTo, newest);
                nextLook = Clock::now() + std::chrono::microseconds(query.withinMicros);
            }
            if (!Fill(db, count)) return broken = RPC_S_CALL_FAILED_HR;
        }
        if (pending.size() >= count) {
            *returned = HandOut(count, objects);
            return WBEM_S_NO_ERROR;
        }
        if (!query.notification) {
            *returned = HandOut(count, objects);
            return WBEM_S_FALSE;
        }
        Clock::time_point now = Clock::now();
        if (!forever && now >= deadline) {
            *returned = HandOut(count, objects);
            return WBEM_S_TIMEDOUT;
        }
        // Sleep without a store connection until the next look or the
        // deadline, whichever comes first.
        Clock::time_point wake = std::max(nextLook, now + kMinimumPause);
        if (!forever) wake = std::min(wake, deadline);
        std::this_thread::sleep_until(wake);
    }
}

bool SimEnumerator::HostAvailable(SimStore* db) {
    SimHost state;
    return db->getHost(host, state) == SimResult::Ok && state.up;
}

bool SimEnumerator::Fill(SimStore* db, size_t wanted) {
    while (pending.size() < wanted && cursor < visibleUpTo) {
        SimResult result = query.notification ? db->eventsAfter(host, cursor, kFetchBatch, batch)
                                              : db->eventsBetween(host, timeFrom, timeTo, cursor,
                                                                  kFetchBatch, batch);
        if (result != SimResult::Ok) return false;
        for (SimEvent& event : batch) {
            if (event.recordNumber > visibleUpTo) break;
            cursor = event.recordNumber;
            if (Matches(query, event)) pending.push_back(std::move(event));
        }
        if (batch.size() < kFetchBatch || batch.back().recordNumber > visibleUpTo) {
            // Nothing more up to visibleUpTo (a data query's range ends here).
            cursor = visibleUpTo;
        }
    }
    return true;
}

ULONG SimEnumerator::HandOut(ULONG count, IWbemClassObject** objects) {
    ULONG n = 0;
    try {
        while (n < count && !pending.empty()) {
            IWbemClassObject* event = MakeLogEventObject(std::move(pending.front()));
            pending.pop_front();
            objects[n++] = event;
            if (query.notification) objects[n - 1] = MakeCreationEvent(event);
        }
    } catch (const std::bad_alloc&) {
        // Out of memory half-way: give back what was made; the caller
        // reports the failure with nothing returned.
        while (n > 0) objects[--n]->Release();
        throw;
    }
    return n;
}

}  // namespace wmi::sim
