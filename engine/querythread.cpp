#include "engine/querythread.h"

#include <algorithm>
#include <string>
#include <vector>

#include "base/logger.h"
#include "engine/dispatchthread.h"
#include "engine/eventrecord.h"
#include "wmi/wmiconnector.h"

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
        std::string record;
        std::string failure;
        if (BuildEventRecord(*node, event, &record, &failure)) {
            LOG(TRACE, "Got NTEVENT: %sfor - %s", record.c_str(), node->Describe().c_str());
            records.push_back(std::move(record));
        } else {
            LOG(WARN, "%s", failure.c_str());
        }
        if (node->isReplay == 0 && event != nullptr) event->Release();
        if (embedded != nullptr) embedded->Release();
        object->Release();
        objects[i] = nullptr;
    }
    dispatcher->SendLinesToClients(records);
}

void CQueryThread::Poll(TSubscriptionNode* node) {
    LOG(TRACE, "[queryThread] Begin polling for new events- %s", node->Describe().c_str());
    CWmiConnector::Instance().setProxyBlanket(node->eventEnum, node->user, node->password);
    IWbemClassObject* buffer[kBatchSlots] = {};
    ULONG returned = 0;
    HRESULT result = WBEM_E_FAILED;
    if (node->eventEnum != nullptr) {
        result =
            node->eventEnum->Next(pollTimeoutMs, static_cast<ULONG>(batchSize), buffer, &returned);
    }
    LOG(TRACE, "[queryThread] End polling for new events - %s", node->Describe().c_str());
    if ((result == WBEM_S_NO_ERROR || result == WBEM_S_FALSE) && returned == 0) {
        node->SetStage(Completed);
        if (!node->isReplay) {
            LOG(DEBUG, "[queryThread] Completed add subscription - %s", node->Describe().c_str());
        }
        dispatcher->AddJob(node);
    } else if (result == WBEM_S_NO_ERROR || result == WBEM_S_FALSE || result == WBEM_S_TIMEDOUT) {
        LOG(TRACE, "Recieved %d events", static_cast<int>(returned));
        deliverEvents(node, returned, buffer);
        AddJob(node);
    } else {
        LOG(DEBUG, "[queryThread] Problem while querying for events - %s",
            node->Describe().c_str());
        for (ULONG i = 0; i < returned && i < kBatchSlots; ++i) {
            if (buffer[i] != nullptr) buffer[i]->Release();
        }
        node->lastError = result;
        node->SetStage(Error);
        dispatcher->AddJob(node);
    }
}

void CQueryThread::run() {
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        LOG(ERROR, "CoInitializeEx() failed!");
    LOG(TRACE, "EventWaitPerConnection set to %d ms", pollTimeoutMs);
    LOG(TRACE, "NumberOfEventsToPool set to %d", batchSize);
    for (;;) {
        TSubscriptionNode* node = TakeJob(5000);
        if (isTerminated()) {
            LOG(TRACE, "[queryThread] Got terminate flag, Terminating thread");
            if (node != nullptr) dispatcher->AddJob(node);
            return;
        }
        if (node == nullptr) continue;
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
        Poll(node);
    }
}
