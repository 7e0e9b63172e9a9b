#include "engine/connectorthread.h"

#include "base/logger.h"
#include "engine/dispatchthread.h"
#include "engine/eventquery.h"
#include "wmi/callcancel.h"
#include "wmi/wmiconnector.h"

namespace {

// A node whose connection or query could not be made: not connected, with
// the code for the dispatcher to report.
void MarkFailed(TSubscriptionNode* node, HRESULT code) {
    node->lastError = code;
    node->isConnected = false;
    node->SetStage(Error);
}

}  // namespace

CConnectorThread::CConnectorThread(CDispatchThread* owner, const TEngineOptions& options)
    : withinInterval(options.withinInterval), dispatcher(owner) {}

CConnectorThread::~CConnectorThread() = default;

HRESULT CConnectorThread::SendQuery(TSubscriptionNode* node) {
    TEventQueryFields fields;
    fields.isReplay = node->isReplay != 0;
    fields.withinInterval = withinInterval;
    fields.category = node->category;
    fields.eventType = node->eventType;
    fields.timeFrom = node->queryFrom;
    fields.timeTo = node->queryTo;
    // A node reconnecting after a failed poll still holds the enumerator of
    // its broken query.
    node->ReleaseQuery();
    return SendEventQuery(node->services, fields, &node->eventEnum);
}

void CConnectorThread::Connect(TSubscriptionNode* node) {
    // A DELETE ends a connection or query waiting on its host.
    wmi::CallCancelScope cancelScope(node->cancel);
    CWmiConnector& pool = CWmiConnector::Instance();
    int32_t result = pool.connect(&node->services, node->host, node->wmiNamespace, node->user,
                                  node->password, WBEM_FLAG_CONNECT_USE_MAX_WAIT);
    if (result < 0) {
        if (node->reconnectTryNo <= 1) {
            LOG(DEBUG, "[connector] Connection failed for %s, will retry",
                node->Describe().c_str());
        } else {
            LOG(DEBUG, "[connector] Connection failed for %s", node->Describe().c_str());
        }
        MarkFailed(node, result);
        return;
    }
    LOG(DEBUG, "[connector] Connection succeeded for - %s", node->Describe().c_str());
    result = SendQuery(node);
    if (result < 0) {
        LOG(WARN, "[connector] ExecQuery() failed for %s", node->Describe().c_str());
        pool.disconnect(node->host, node->wmiNamespace, node->user, node->password);
        MarkFailed(node, result);
        return;
    }
    LOG(DEBUG, "[connector] ExecQuery succeeded for - %s", node->Describe().c_str());
    node->isConnected = true;
    node->SetStage(Connected);
}

void CConnectorThread::Disconnect(TSubscriptionNode* node) {
    LOG(DEBUG, "[connector] disconnecting - %s", node->Describe().c_str());
    node->ReleaseQuery();
    CWmiConnector::Instance().disconnect(node->host, node->wmiNamespace, node->user,
                                         node->password);
    node->isConnected = false;
    node->SetStage(Disconnected);
}

void CConnectorThread::run() {
    LOG(TRACE, "[connector] Starting Thread");
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        LOG(ERROR, "CoInitializeEx() failed!");
    for (;;) {
        TSubscriptionNode* node = TakeJob(5000);
        if (isTerminated()) {
            LOG(TRACE, "[connector] Terminating thread");
            // A node taken in this pass goes back to its owner rather than
            // being lost with this thread.
            if (node != nullptr) dispatcher->AddJob(node);
            return;
        }
        if (node == nullptr) continue;
        int32_t stage = node->stage;
        if (node->markedForDeletion && stage != Completed) {
            dispatcher->AddJob(node);
            continue;
        }
        if (stage == New || stage == Reconnecting) {
            try {
                Connect(node);
            } catch (...) {
                LOG(INFO, "[connector] Exception for %s", node->Describe().c_str());
                MarkFailed(node, WBEM_E_FAILED);
            }
        } else if (stage == Completed) {
            Disconnect(node);
        }
        dispatcher->AddJob(node);
    }
}
