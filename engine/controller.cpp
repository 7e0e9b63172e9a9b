#include "engine/controller.h"

#include <algorithm>

#include "base/logger.h"
#include "engine/dispatchthread.h"
#include "engine/threadinfra.h"
#include "platform/resolver.h"

namespace {

const char* const kNamespace = "root\\cimv2";

// A dotted IPv4 address, or a name the resolver knows.
bool IsValidHost(const std::string& host) { return platform::HostResolves(host); }

TSubscriptionNode* MakeNode(const std::string& host, const std::string& category,
                            const std::string& eventType, const std::string& user,
                            const std::string& password) {
    auto* node = new TSubscriptionNode;
    node->host = host;
    node->category = category;
    node->wmiNamespace = kNamespace;
    node->eventType = eventType;
    node->user = user;
    node->password = password;
    node->reconnectTryNo = 0;
    node->SetStage(New);
    return node;
}

}  // namespace

CController::CController(const TEngineOptions& engineOptions)
    : options(engineOptions), dispatcher(nullptr) {}

CController::~CController() { Stop(); }

int CController::AddSubscription(const std::string& host, const std::string& category,
                                 const std::string& eventType, const std::string& user,
                                 const std::string& password) {
    if (dispatcher == nullptr) return -3;
    if (dispatcher->SubscriptionExists(host, category, eventType)) return -1;
    if (!IsValidHost(host)) return -2;
    dispatcher->MarkForDeletion(host, category);
    dispatcher->AddJob(MakeNode(host, category, eventType, user, password));
    return 0;
}

int CController::ReplayEvents(const std::string& host, const std::string& category,
                              const std::string& eventType, const std::string& timeFrom,
                              const std::string& timeTo, const std::string& user,
                              const std::string& password) {
    if (dispatcher == nullptr) return -3;
    TSubscriptionNode* node = MakeNode(host, category, eventType, user, password);
    node->isReplay = 1;
    node->timeFrom = timeFrom;
    node->timeTo = timeTo == "0" ? CDispatchThread::GetTimeStamp() : timeTo;
    dispatcher->AddJob(node);
    return 1;
}

int CController::DeleteSubscription(const std::string& host, const std::string& category,
                                    const std::string&) {
    if (dispatcher == nullptr) return -3;
    return dispatcher->MarkForDeletion(host, category);
}

std::string CController::ListSubscriptions() {
    if (dispatcher == nullptr) return std::string();
    return dispatcher->BuildSubscriptionList();
}

int CController::Start(CBroadcastSink* sink) {
    TEngineOptions used = options;
    int32_t& connectorCount = used.connectorCount;
    int32_t& queryThreadCount = used.queryThreadCount;
    // With no connector or no query thread a subscription would be handed to
    // nobody: it would never connect and shutdown would wait for it. At least
    // one of each runs.
    if (connectorCount < 1 || queryThreadCount < 1) {
        LOG(WARN,
            "[dispatcher] ConnectionProcessors=%d, EventRetriever=%d; at least 1 of each is used",
            static_cast<int>(connectorCount), static_cast<int>(queryThreadCount));
        connectorCount = std::max<int32_t>(connectorCount, 1);
        queryThreadCount = std::max<int32_t>(queryThreadCount, 1);
    }
    try {
        dispatcher = new CDispatchThread(used, sink);
        if (!dispatcher->start()) {
            LOG(ERROR, "[dispatcher] could not start the dispatcher thread");
            delete dispatcher;
            dispatcher = nullptr;
        }
    } catch (...) {
        LOG(ERROR, "[dispatcher] could not create the dispatcher");
        dispatcher = nullptr;
    }
    // 0 tells the command server that subscription commands cannot be
    // served.
    return dispatcher != nullptr ? 1 : 0;
}

int CController::Stop() {
    if (dispatcher == nullptr) return 1;
    // The same as stop alone, but the dispatcher sees the request at once
    // instead of after its terminate-check interval.
    dispatcher->terminate();
    dispatcher->Wake();
    dispatcher->stop(30000);
    if (dispatcher->hasAbandonedThread()) {
        // Its body still runs and may touch the object when it wakes: leave
        // it (a bounded leak at shutdown) rather than free it under the
        // thread.
        LOG(WARN, "[dispatcher] did not end within 30000 ms; left behind");
    } else {
        delete dispatcher;
    }
    dispatcher = nullptr;
    return 1;
}
