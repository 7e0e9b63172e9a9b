#include "engine/controller.h"

#include <time.h>

#include <algorithm>
#include <chrono>

#include "base/logger.h"
#include "engine/deliveryledger.h"
#include "engine/dispatchthread.h"
#include "engine/eventquery.h"
#include "engine/resumestore.h"
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
    TSubscriptionNode* node = MakeNode(host, category, eventType, user, password);
    node->ledger = ledger;
    node->maxCatchUp = static_cast<size_t>(std::max<int64_t>(0, options.maxCatchUp));
    // Records written from now on are this subscription's; a stored point
    // (a restart) takes over where the last run stopped.
    node->resume.since = MicrosToDmtf(std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
    TResumePoint stored;
    std::string error;
    if (resumeStore != nullptr && !resumeStore->Load(node->ResumeKey(), &stored, &error)) {
        LOG(ERROR, "[dispatcher] No stored resume point, starting from now: %s - %s", error.c_str(),
            node->Describe().c_str());
    } else if (resumeStore != nullptr) {
        if (!stored.empty()) {
            if (stored.since.empty()) stored.since = node->resume.since;
            node->resume = std::move(stored);
            node->catchUpDue = true;
            LOG(INFO, "[dispatcher] Resuming from the stored point of %zu log(s) - %s",
                node->resume.logs.size(), node->Describe().c_str());
        }
    }
    if (ledger != nullptr) node->delivery = ledger->Open(node->ResumeKey(), node->resume);
    // Checked again, together with the replacement and the listing, so that
    // no other command comes in between.
    return dispatcher->AcceptSubscription(node);
}

int CController::ReplayEvents(const std::string& host, const std::string& category,
                              const std::string& eventType, const std::string& timeFrom,
                              const std::string& timeTo, const std::string& user,
                              const std::string& password) {
    if (dispatcher == nullptr) return -3;
    TSubscriptionNode* node = MakeNode(host, category, eventType, user, password);
    node->isReplay = 1;
    node->timeFrom = timeFrom;
    node->queryFrom = LocalStampToUtc(timeFrom);
    if (timeTo == "0") {
        time_t now = time(nullptr);
        node->timeTo = CDispatchThread::GetTimeStamp(now);
        node->queryTo = UtcStamp(now);
    } else {
        node->timeTo = timeTo;
        node->queryTo = LocalStampToUtc(timeTo);
    }
    dispatcher->AcceptReplay(node);
    return 1;
}

int CController::DeleteSubscription(const std::string& host, const std::string& category,
                                    const std::string&) {
    if (dispatcher == nullptr) return -3;
    return dispatcher->MarkForDeletion(host, category, true, true);
}

std::string CController::ListSubscriptions() {
    if (dispatcher == nullptr) return std::string();
    return dispatcher->BuildSubscriptionList();
}

std::string CController::StateFileHealth() const {
    if (resumeStore == nullptr) return std::string();
    return resumeStore->Failing() ? "failing" : "ok";
}

std::string CController::Statistics(int clientsLoggedIn, uint64_t queuedForClients) {
    if (dispatcher == nullptr) return std::string();
    return dispatcher->BuildStatistics(clientsLoggedIn, queuedForClients, StateFileHealth());
}

TEngineStats CController::Snapshot() {
    if (dispatcher == nullptr) return {};
    return dispatcher->SnapshotStatistics(StateFileHealth());
}

bool CController::OpenStateFile(std::string* error) {
    if (options.stateFile.empty() || resumeStore != nullptr) return true;
    auto* store = new CResumeStore;
    if (!store->Open(options.stateFile, error)) {
        delete store;
        return false;
    }
    LOG(INFO, "[dispatcher] Resume points kept in %s", options.stateFile.c_str());
    resumeStore = store;
    return true;
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
    std::string error;
    if (!OpenStateFile(&error)) {
        // The operator asked for resume points: serving without them would
        // lose records at the next restart without a word.
        LOG(ERROR, "[dispatcher] %s; subscriptions are not served", error.c_str());
        return 0;
    }
    ledger = new CDeliveryLedger(sink, resumeStore);
    try {
        dispatcher = new CDispatchThread(used, sink, ledger);
        if (!dispatcher->start()) {
            LOG(ERROR, "[dispatcher] could not start the dispatcher thread");
            delete dispatcher;
            dispatcher = nullptr;
        }
    } catch (...) {
        LOG(ERROR, "[dispatcher] could not create the dispatcher");
        dispatcher = nullptr;
    }
    if (dispatcher == nullptr) CloseLedgerAndStore();
    // 0 tells the command server that subscription commands cannot be
    // served.
    return dispatcher != nullptr ? 1 : 0;
}

void CController::CloseLedgerAndStore() {
    if (ledger != nullptr) {
        // What the output still holds gets a bounded time to go out; the
        // points then stand past what it delivered and no further.
        const size_t waiting = ledger->Unsettled();
        if (waiting > 0 &&
            !ledger->WaitSettled(std::chrono::milliseconds(std::max(0, options.drainTimeoutMs)))) {
            LOG(WARN,
                "[dispatcher] %zu of %zu sends to the outputs not delivered within %d ms; their "
                "records count as not delivered",
                ledger->Unsettled(), waiting, static_cast<int>(options.drainTimeoutMs));
        }
        ledger->Detach();
        delete ledger;
        ledger = nullptr;
    }
    delete resumeStore;
    resumeStore = nullptr;
}

int CController::Stop() {
    if (dispatcher == nullptr) {
        CloseLedgerAndStore();
        return 1;
    }
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
        if (ledger != nullptr) ledger->Detach();
    } else {
        delete dispatcher;
        // Every node is gone: the last points can be written.
        CloseLedgerAndStore();
    }
    dispatcher = nullptr;
    return 1;
}
