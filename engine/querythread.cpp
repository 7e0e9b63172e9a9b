#include "engine/querythread.h"

#include <algorithm>
#include <string>
#include <vector>

#include "base/logger.h"
#include "engine/dispatchthread.h"
#include "engine/eventrecord.h"
#include "wmi/wmiconnector.h"

namespace {

// The log file and RecordNumber of a replayed event; false when either
// cannot be read.
bool ReplayPosition(IWbemClassObject* event, std::string* log, int64_t* number) {
    if (event == nullptr) return false;
    VARIANT value;
    VariantInit(&value);
    bool ok = SUCCEEDED(event->Get(u"RecordNumber", 0, &value, nullptr, nullptr));
    if (ok && value.vt == VT_I4) {
        *number = value.lVal;
    } else if (ok && value.vt == VT_UI4) {
        *number = value.ulVal;
    } else {
        ok = false;
    }
    VariantClear(&value);
    if (!ok) return false;
    VariantInit(&value);
    ok = SUCCEEDED(event->Get(u"LogFile", 0, &value, nullptr, nullptr));
    if (ok) *log = VariantToText(value);
    VariantClear(&value);
    return ok;
}

bool AlreadyDelivered(const TSubscriptionNode& node, const std::string& log, int64_t number) {
    auto range = node.delivered.find(log);
    return range != node.delivered.end() && range->second.lowest <= number &&
           number <= range->second.highest;
}

void NoteDelivered(TSubscriptionNode* node, const std::string& log, int64_t number) {
    auto [range, added] = node->delivered.try_emplace(log, TDeliveredRange{number, number});
    if (added) return;
    range->second.lowest = std::min(range->second.lowest, number);
    range->second.highest = std::max(range->second.highest, number);
}

}  // namespace

// A batch of 0 would read as "result set ended" and close a live
// subscription: at least one object is asked for.
CQueryThread::CQueryThread(CDispatchThread* owner, const TEngineOptions& options)
    : dispatcher(owner),
      pollTimeoutMs(options.pollTimeoutMs),
      batchSize(std::clamp<int32_t>(options.batchSize, 1, kBatchSlots)) {}

CQueryThread::~CQueryThread() = default;

void CQueryThread::deliverEvents(TSubscriptionNode* node, ULONG count, IWbemClassObject** objects) {
    CWmiConnector& pool = CWmiConnector::Instance();
    // The records of one poll go to the clients in one broadcast: one send
    // per client instead of one per record and client, which bounded the
    // event rate. Clients receive the same bytes in the same order.
    std::vector<std::string> records;
    records.reserve(count);
    for (ULONG i = 0; i < count; ++i) {
        IWbemClassObject* object = objects[i];
        if (object == nullptr) continue;
        pool.setProxyBlanket(object, node->user, node->password);
        IWbemClassObject* event = object;
        IUnknown* embedded = nullptr;
        if (node->isReplay == 0) {
            event = nullptr;
            VARIANT target;
            VariantInit(&target);
            if (SUCCEEDED(object->Get(u"TargetInstance", 0, &target, nullptr, nullptr)) &&
                target.vt == VT_UNKNOWN && target.punkVal != nullptr) {
                embedded = target.punkVal;
                embedded->AddRef();
                embedded->QueryInterface(IID_IWbemClassObject, reinterpret_cast<void**>(&event));
            }
            VariantClear(&target);
        }
        std::string log;
        int64_t number = 0;
        bool positioned = node->isReplay != 0 && ReplayPosition(event, &log, &number);
        std::string record;
        std::string failure;
        if (positioned && AlreadyDelivered(*node, log, number)) {
            // Sent before the replay was interrupted.
        } else if (BuildEventRecord(*node, event, &record, &failure)) {
            LOG(TRACE, "Got NTEVENT: %sfor - %s", record.c_str(), node->Describe().c_str());
            records.push_back(std::move(record));
            if (positioned) NoteDelivered(node, log, number);
        } else {
            LOG(WARN, "%s", failure.c_str());
        }
        if (node->isReplay == 0 && event != nullptr) event->Release();
        if (embedded != nullptr) embedded->Release();
        object->Release();
        objects[i] = nullptr;
    }
    // A poll that found nothing sends nothing.
    if (!records.empty()) dispatcher->SendLinesToClients(records);
}

bool CQueryThread::Poll(TSubscriptionNode* node) {
    LOG(TRACE, "[queryThread] Begin polling for new events- %s", node->Describe().c_str());
    CWmiConnector::Instance().setProxyBlanket(node->eventEnum, node->user, node->password);
    IWbemClassObject* buffer[kBatchSlots] = {};
    ULONG returned = 0;
    HRESULT result = WBEM_E_FAILED;
    if (node->eventEnum != nullptr) {
        // No wait here: the thread waits only when none of its
        // subscriptions has anything (run).
        result = node->eventEnum->Next(0, static_cast<ULONG>(batchSize), buffer, &returned);
    }
    LOG(TRACE, "[queryThread] End polling for new events - %s", node->Describe().c_str());
    if ((result == WBEM_S_NO_ERROR || result == WBEM_S_FALSE) && returned == 0) {
        node->SetStage(Completed);
        if (!node->isReplay) {
            LOG(DEBUG, "[queryThread] Completed add subscription - %s", node->Describe().c_str());
        }
        dispatcher->AddJob(node);
        return true;
    }
    if (result == WBEM_S_NO_ERROR || result == WBEM_S_FALSE || result == WBEM_S_TIMEDOUT) {
        LOG(TRACE, "Recieved %d events", static_cast<int>(returned));
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
    // the wait early.
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
            // Not polled and not handed on: the dispatcher never sends a
            // node here in another stage.
            LOG(ERROR, "[queryThread] Dropping a query with improper stage - %s",
                node->Describe().c_str());
            dispatcher->AddJob(node);
            continue;
        }
        emptyPolls = Poll(node) ? 0 : emptyPolls + 1;
    }
}
