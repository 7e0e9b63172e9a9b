#include "engine/querythread.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "base/logger.h"
#include "engine/catchup.h"
#include "engine/deliveryledger.h"
#include "engine/dispatchthread.h"
#include "engine/eventrecord.h"
#include "engine/resumestore.h"
#include "wmi/callcancel.h"
#include "wmi/cim/ntlogevent.h"
#include "wmi/comptr.h"
#include "wmi/wmiconnector.h"

// A batch of 0 would read as "result set ended" and close a live
// subscription: at least one object is asked for.
CQueryThread::CQueryThread(CDispatchThread* owner, const TEngineOptions& options)
    : dispatcher(owner),
      pollTimeoutMs(options.pollTimeoutMs),
      batchSize(std::clamp<int32_t>(options.batchSize, 1, kBatchSlots)) {}

CQueryThread::~CQueryThread() = default;

namespace {

using wmi::cim::RecordNumberAfter;

// Whether a live record was delivered already: it is not past the log's
// resume point (record numbers count modulo 2^32, so the records after a
// wrap follow 4294967295). A live subscription meets such records after a
// catch-up (the live query saw them too); live records arrive in the order
// they are written. A log cleared meanwhile numbers its records again from
// below but writes them later, so they are new.
bool AlreadyDelivered(const TResumePoint& resume, const std::string& log,
                      const TLogPosition& position, int64_t writtenMicros) {
    auto found = resume.logs.find(log);
    if (found == resume.logs.end()) return false;
    int64_t pointMicros = 0;
    if (!DmtfToMicros(found->second.timeWritten, &pointMicros)) return false;
    return !RecordNumberAfter(found->second.recordNumber, position.recordNumber) &&
           writtenMicros <= pointMicros;
}

// Whether a replayed record went out before the replay was interrupted:
// within the run of record numbers it sent from that log, counted from the
// first in write order modulo 2^32 (a window may hold a log's wrap). A data
// query returns a log's records in record order (ascending or descending),
// so what was sent is one run of them, and the range holds exactly that
// run whichever the direction.
bool ReplayedBefore(const TSubscriptionNode& node, const std::string& log, uint32_t number) {
    auto range = node.delivered.find(log);
    if (range == node.delivered.end()) return false;
    const uint32_t lowest = range->second.lowest;
    return static_cast<uint32_t>(number - lowest) <=
           static_cast<uint32_t>(range->second.highest - lowest);
}

void NoteReplayed(TSubscriptionNode* node, const std::string& log, uint32_t number) {
    auto [range, added] = node->delivered.try_emplace(log, TDeliveredRange{number, number});
    if (added) return;
    if (RecordNumberAfter(range->second.highest, number)) {
        range->second.highest = number;
    } else if (RecordNumberAfter(number, range->second.lowest)) {
        range->second.lowest = number;
    }
}

}  // namespace

void CQueryThread::Count(TSubscriptionNode* node, size_t records, int64_t lastWrittenMicros,
                         bool caughtUp) {
    if (records == 0) return;
    const int64_t now = static_cast<int64_t>(time(nullptr));
    node->counters.delivered += records;
    if (caughtUp) node->counters.caughtUp += records;
    node->counters.lastDeliveredAt = now;
    if (lastWrittenMicros != 0) node->counters.lastWrittenMicros = lastWrittenMicros;
    dispatcher->Rate().Add(records, now);
}

uint64_t CQueryThread::DeliveryMark(TSubscriptionNode* node,
                                    const std::map<std::string, TLogPosition>& moved) {
    if (node->ledger == nullptr || node->delivery == nullptr) return 0;
    return node->ledger->Sending(node->delivery, moved);
}

void CQueryThread::RewindIfLost(TSubscriptionNode* node) {
    if (node->ledger == nullptr || node->delivery == nullptr) return;
    TResumePoint delivered;
    if (!node->ledger->TakeRewind(node->delivery, &delivered)) return;
    LOG(WARN, "[queryThread] Records went undelivered; catching up from the last delivered - %s",
        node->Describe().c_str());
    // What the node read went to every output; records up to there are
    // read again for the output that lost them alone.
    for (const auto& [log, position] : node->resume.logs) {
        int64_t written = 0;
        if (!DmtfToMicros(position.timeWritten, &written) ||
            !AlreadyDelivered(node->othersHave, log, position, written)) {
            node->othersHave.logs[log] = position;
        }
    }
    node->catchUp.reset();
    node->resume = std::move(delivered);
    node->catchUpDue = true;
}

void CQueryThread::DeliverCaughtUp(TSubscriptionNode* node, std::vector<TOutputItem> items) {
    if (node->othersHave.logs.empty()) {
        dispatcher->Deliver(items, DeliveryMark(node, node->resume.logs));
        return;
    }
    // Records the other outputs had go to the reporting output alone, the
    // rest (newer ones, a notice) to every output; the items keep their
    // order, handed on in runs of one kind, each run under its own mark.
    std::vector<TOutputItem> run;
    std::map<std::string, TLogPosition> moves;
    bool runAgain = false;
    auto handOn = [&] {
        if (run.empty()) return;
        const uint64_t mark = DeliveryMark(node, moves);
        if (runAgain) {
            dispatcher->Redeliver(run, mark);
        } else {
            dispatcher->Deliver(run, mark);
        }
        run.clear();
        moves.clear();
    };
    for (TOutputItem& item : items) {
        const TEventData* event = std::get_if<TEventData>(&item);
        int64_t written = 0;
        const bool again = event != nullptr && event->positioned &&
                           DmtfToMicros(event->position.timeWritten, &written) &&
                           AlreadyDelivered(node->othersHave, event->log, event->position, written);
        if (again != runAgain) handOn();
        runAgain = again;
        if (event != nullptr && event->positioned) moves[event->log] = event->position;
        run.push_back(std::move(item));
    }
    handOn();
}

void CQueryThread::Answered(TSubscriptionNode* node, bool ownQuery) {
    if (node->failureAnnounced || (ownQuery && node->reconnectTryNo > 0)) {
        dispatcher->Answered(node, ownQuery);
    }
}

void CQueryThread::CatchUpTurn(TSubscriptionNode* node) {
    // A DELETE ends a query waiting on its host.
    wmi::CallCancelScope cancelScope(node->cancel);
    if (!node->catchUp) {
        node->catchUp = std::make_unique<CCatchUp>(*node, node->maxCatchUp);
        node->catchUpDue = false;
    }
    CCatchUp& catchUp = *node->catchUp;
    // Steps until the turn's time is used up: a node this thread polls
    // with a time-out takes its turn in between.
    const auto turnEnd = std::chrono::steady_clock::now() + kCatchUpTurn;
    CCatchUp::TStep step = CCatchUp::TStep::More;
    HRESULT error = S_OK;
    while (step == CCatchUp::TStep::More && std::chrono::steady_clock::now() < turnEnd &&
           !dispatcher->OutputBlocked()) {
        std::vector<TOutputItem> items;
        const uint64_t before = catchUp.Delivered();
        try {
            step = catchUp.Step(*node, kCatchUpBudget, pollTimeoutMs, &items, &error);
        } catch (const std::bad_alloc&) {
            step = CCatchUp::TStep::Failed;
            error = WBEM_E_OUT_OF_MEMORY;
        }
        if (step != CCatchUp::TStep::Failed && catchUp.Answered()) Answered(node, false);
        if (!items.empty()) {
            // Counted first, so that a client who has a record sees it in
            // STATS.
            Count(node, static_cast<size_t>(catchUp.Delivered() - before),
                  catchUp.LastWrittenMicros(), true);
            DeliverCaughtUp(node, std::move(items));
        }
    }
    if (step == CCatchUp::TStep::Failed) {
        LOG(DEBUG, "[queryThread] Catch-up failed after %llu records - %s",
            static_cast<unsigned long long>(catchUp.Delivered()), node->Describe().c_str());
        node->catchUp.reset();
        node->lastError = error;
        node->SetStage(Error);
        dispatcher->AddJob(node);
        return;
    }
    if (step == CCatchUp::TStep::Done) {
        LOG(INFO, "[queryThread] Caught up %llu records (%llu skipped) - %s",
            static_cast<unsigned long long>(catchUp.Delivered()),
            static_cast<unsigned long long>(catchUp.Skipped()), node->Describe().c_str());
        node->catchUp.reset();
        node->othersHave.logs.clear();
    }
    // Back at the end of this thread's own queue; no signal, as Poll does.
    ReturnJob(node);
}

void CQueryThread::deliverEvents(TSubscriptionNode* node, ULONG count, IWbemClassObject** objects) {
    CWmiConnector& pool = CWmiConnector::Instance();
    // The events of one poll go to the outputs in one call: one send per
    // client instead of one per record and client, which bounded the event
    // rate.
    std::vector<TOutputItem> records;
    records.reserve(count);
    std::map<std::string, TLogPosition> moved;  // live: logs whose point moved
    int64_t lastWritten = 0;
    for (ULONG i = 0; i < count; ++i) {
        // This loop owns each object from here on; the caller's slot is emptied.
        auto object = wmi::ComPtr<IWbemClassObject>::Adopt(std::exchange(objects[i], nullptr));
        if (!object) continue;
        pool.setProxyBlanket(object.Get(), node->user, node->password);
        // A replay reads records; a live query reads notifications that
        // carry the record as their TargetInstance.
        wmi::ComPtr<IWbemClassObject> event;
        if (node->isReplay != 0) {
            event = object;
        } else {
            VARIANT target;
            VariantInit(&target);
            if (SUCCEEDED(object->Get(u"TargetInstance", 0, &target, nullptr, nullptr)) &&
                target.vt == VT_UNKNOWN && target.punkVal != nullptr) {
                target.punkVal->QueryInterface(
                    IID_IWbemClassObject, reinterpret_cast<void**>(event.ReleaseAndGetAddressOf()));
            }
            VariantClear(&target);
        }
        std::string log;
        TLogPosition position;
        int64_t written = 0;
        const bool positioned = event && ReadRecordPosition(event.Get(), &log, &position) &&
                                DmtfToMicros(position.timeWritten, &written);
        const bool sentBefore =
            positioned &&
            (node->isReplay != 0 ? ReplayedBefore(*node, log, position.recordNumber)
                                 : AlreadyDelivered(node->resume, log, position, written));
        TEventData record;
        std::string failure;
        if (sentBefore) {
            // Live: a catch-up delivered it. Replay: it went out before the
            // replay was interrupted, and its query runs again from the start.
            LOG(TRACE, "[queryThread] Record %u of %s was delivered already - %s",
                static_cast<unsigned>(position.recordNumber), log.c_str(),
                node->Describe().c_str());
        } else if (ReadEventData(node->host, event.Get(), &record, &failure)) {
            node->NoteOddText(record);
            LOG(TRACE, "Got NTEVENT: %sfor - %s", FormatEventRecord(record).c_str(),
                node->Describe().c_str());
            records.push_back(std::move(record));
            if (positioned) {
                lastWritten = written;
                if (node->isReplay != 0) {
                    NoteReplayed(node, log, position.recordNumber);
                } else {
                    node->resume.logs[log] = position;
                    moved[log] = std::move(position);
                }
            }
        } else if (positioned) {
            // One record that cannot be read does not hold up the ones after
            // it: the point moves past it, so it is not read again.
            node->SkipUnreadable(log, position.recordNumber, failure);
            if (node->isReplay != 0) {
                NoteReplayed(node, log, position.recordNumber);
            } else {
                node->resume.logs[log] = position;
                moved[log] = std::move(position);
            }
        } else {
            LOG(WARN, "%s", failure.c_str());
        }
    }
    Count(node, records.size(), lastWritten, false);
    // A poll that found nothing sends nothing.
    if (!records.empty()) dispatcher->Deliver(records, DeliveryMark(node, moved));
}

bool CQueryThread::Poll(TSubscriptionNode* node) {
    LOG(TRACE, "[queryThread] Begin polling for new events- %s", node->Describe().c_str());
    CWmiConnector::Instance().setProxyBlanket(node->eventEnum, node->user, node->password);
    IWbemClassObject* buffer[kBatchSlots] = {};
    ULONG returned = 0;
    HRESULT result = WBEM_E_FAILED;
    if (node->eventEnum != nullptr) {
        // A DELETE ends a poll waiting on its host.
        wmi::CallCancelScope cancelScope(node->cancel);
        // No wait here: the thread waits only when none of its
        // subscriptions has anything (run).
        result = node->eventEnum->Next(0, static_cast<ULONG>(batchSize), buffer, &returned);
    }
    LOG(TRACE, "[queryThread] End polling for new events - %s", node->Describe().c_str());
    if ((result == WBEM_S_NO_ERROR || result == WBEM_S_FALSE) && returned == 0) {
        Answered(node, true);
        node->SetStage(Completed);
        if (!node->isReplay) {
            LOG(DEBUG, "[queryThread] Completed add subscription - %s", node->Describe().c_str());
        }
        dispatcher->AddJob(node);
        return true;
    }
    if (result == WBEM_S_NO_ERROR || result == WBEM_S_FALSE || result == WBEM_S_TIMEDOUT) {
        LOG(TRACE, "Recieved %d events", static_cast<int>(returned));
        Answered(node, true);
        deliverEvents(node, returned, buffer);
        ReturnJob(node);
        return returned > 0;
    }
    LOG(DEBUG, "[queryThread] Problem while querying for events - %s", node->Describe().c_str());
    for (ULONG i = 0; i < returned && i < kBatchSlots; ++i) {
        if (buffer[i] != nullptr) buffer[i]->Release();
    }
    node->lastError = result;
    node->SetStage(Error);
    dispatcher->AddJob(node);
    return true;
}

void CQueryThread::run() {
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        LOG(ERROR, "CoInitializeEx() failed!");
    LOG(TRACE, "EventWaitPerConnection set to %d ms", pollTimeoutMs);
    LOG(TRACE, "NumberOfEventsToPool set to %d", batchSize);
    // Polls in a row that found nothing. Once it reaches the number of
    // nodes queued here, every subscription of this thread has been polled
    // since the last event and had nothing: only then does the thread wait,
    // and a node handed over by the dispatcher (or a terminate request) ends
    // the wait early. A catch-up turn counts as work.
    unsigned emptyPolls = 0;
    for (;;) {
        if (emptyPolls > 0 && emptyPolls >= GetJobCount()) {
            WaitForWork(pollTimeoutMs);
            emptyPolls = 0;
        }
        TSubscriptionNode* node = TakeJob(5000);
        if (isTerminated()) {
            LOG(TRACE, "[queryThread] Got terminate flag, Terminating thread");
            if (node != nullptr) dispatcher->AddJob(node);
            return;
        }
        if (node == nullptr) {
            emptyPolls = 0;
            continue;
        }
        if (node->markedForDeletion) {
            dispatcher->AddJob(node);
            continue;
        }
        if (node->stage != EventWait) {
            // Not polled: handed back to the dispatcher, which routes it by
            // its stage (it never sends a node here in another stage).
            LOG(ERROR, "[queryThread] Handing back a query with improper stage - %s",
                node->Describe().c_str());
            dispatcher->AddJob(node);
            continue;
        }
        if (dispatcher->OutputBlocked()) {
            // The blocked output (Kafka's full queue) refuses what it is
            // handed and its delivered point stays; the host is read live
            // on for the other outputs (the clients), and once the output
            // takes events again the node reads what it refused again from
            // that point (RewindIfLost). A catch-up waits: what it would
            // read now is what the output refuses.
            if (!node->outputBlocked) {
                LOG(INFO, "[queryThread] Output blocked; catch-ups wait - %s",
                    node->Describe().c_str());
                node->outputBlocked = true;
            }
            if (node->catchUpDue || node->catchUp) {
                ReturnJob(node);
                emptyPolls += 1;
                continue;
            }
        } else if (node->outputBlocked) {
            LOG(INFO, "[queryThread] Output takes events again - %s", node->Describe().c_str());
            node->outputBlocked = false;
        }
        RewindIfLost(node);
        if (node->catchUpDue || node->catchUp) {
            CatchUpTurn(node);
            emptyPolls = 0;
            continue;
        }
        emptyPolls = Poll(node) ? 0 : emptyPolls + 1;
    }
}
