#include "engine/dispatchthread.h"

#include <wbemidl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "base/configdataloader.h"
#include "base/logger.h"
#include "base/stringconvertor.h"
#include "base/stringformat.h"
#include "engine/broadcastsink.h"
#include "engine/connectorthread.h"
#include "engine/deliveryledger.h"
#include "engine/eventquery.h"
#include "engine/eventrecord.h"
#include "engine/querythread.h"
#include "engine/resumestore.h"
#include "wmi/cim/ascii.h"
#include "wmi/comptr.h"

using RSLibrary::RSSynchronizeGuard;

namespace {

// The state LIST and STATS show for a subscription while an output is full
// and refuses its events.
const char* const kOutputBlocked = "Output Blocked";

// Stdout lines of the shutdown sequence: the operator watches them. Their
// texts ("Terminating threads ...", the dots, the "\r\n" line ends) are
// the listener's own console output, kept as they are.
void Print(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

std::string TrimRight(std::string text, const char* blanks) {
    size_t end = text.find_last_not_of(blanks);
    text.erase(end == std::string::npos ? 0 : end + 1);
    return text;
}

std::string TrimBoth(const std::string& text, const char* blanks) {
    size_t begin = text.find_first_not_of(blanks);
    if (begin == std::string::npos) return std::string();
    size_t end = text.find_last_not_of(blanks);
    return text.substr(begin, end - begin + 1);
}

// The worker thread with the fewest queued nodes (the first of equals), or
// null when there is none.
template <typename Worker>
Worker* LeastLoaded(const std::vector<Worker*>& workers) {
    Worker* best = nullptr;
    unsigned bestCount = 0;
    for (Worker* t : workers) {
        unsigned count = t->GetJobCount();
        if (best == nullptr || count < bestCount) {
            best = t;
            bestCount = count;
        }
    }
    return best;
}

// Host, category and severity as LIST writes them: a category with a
// blank is quoted, and no field may carry a line break into the line.
std::vector<std::string> NoticeFields(const TSubscriptionNode& node) {
    return {QuoteLineBreaks(node.host), QuoteField(node.category), QuoteLineBreaks(node.eventType)};
}

}  // namespace

CDispatchThread::CDispatchThread(const TEngineOptions& engineOptions, CBroadcastSink* broadcastSink,
                                 CDeliveryLedger* deliveryLedger)
    : options(engineOptions),
      sink(broadcastSink),
      ledger(deliveryLedger),
      timerQueueHwnd(platform::CreateTimerQueue()) {}

CDispatchThread::~CDispatchThread() {
    // Cancels pending timers and waits for a callback that is running; no
    // callback runs after this returns.
    if (timerQueueHwnd != nullptr) platform::DeleteTimerQueue(timerQueueHwnd);
    RSSynchronizeGuard timers(timerLock);
    for (TTimerParam* param : pendingTimers) {
        // Nobody else holds a node whose timer was cancelled unclaimed.
        if (!param->claimed) delete param->node;
        delete param;
    }
    pendingTimers.clear();
}

void CDispatchThread::Deliver(const std::vector<TOutputItem>& items, uint64_t mark) {
    Hand(&CBroadcastSink::Deliver, items, mark);
}

void CDispatchThread::Redeliver(const std::vector<TOutputItem>& items, uint64_t mark) {
    Hand(&CBroadcastSink::Redeliver, items, mark);
}

void CDispatchThread::Hand(void (CBroadcastSink::*how)(const std::vector<TOutputItem>&, uint64_t),
                           const std::vector<TOutputItem>& items, uint64_t mark) {
    if (sink != nullptr && !items.empty()) {
        (sink->*how)(items, mark);
    } else if (mark != 0 && ledger != nullptr) {
        ledger->Settled(mark, false);  // nobody to deliver to
    }
}

bool CDispatchThread::OutputBlocked() { return sink != nullptr && sink->Blocked(); }

void CDispatchThread::Answered(TSubscriptionNode* node, bool seriesEnded) {
    // Under subsListLock, as the other notices about connections: LIST and
    // DELETE describe the node (its reconnectTryNo) under it.
    RSSynchronizeGuard guard(subsListLock);
    if (node->failureAnnounced) {
        node->failureAnnounced = false;
        node->counters.reconnects += 1;
        Notify(TNoticeKind::ConnectionReestab, *node, time(nullptr));
    }
    if (seriesEnded) node->reconnectTryNo = 0;
}

void CDispatchThread::Notify(TNoticeKind kind, const TSubscriptionNode& node, time_t at,
                             const std::string& error) {
    TNotice notice;
    notice.kind = kind;
    notice.host = node.host;
    notice.category = node.category;
    notice.severity = node.eventType;
    notice.at = at;
    notice.error = error;
    if (kind == TNoticeKind::ReplayFinished) {
        notice.timeFrom = node.timeFrom;
        notice.timeTo = node.timeTo;
    }
    Deliver({TOutputItem(std::move(notice))});
}

std::string CDispatchThread::GetErrorText(HRESULT code) {
    wmi::ComPtr<IWbemStatusCodeText> status;
    HRESULT hr = CoCreateInstance(CLSID_WbemStatusCodeText, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IWbemStatusCodeText,
                                  reinterpret_cast<void**>(status.ReleaseAndGetAddressOf()));
    if (hr != 0 || !status) return CConfigDataLoader::LoadMessage(122);
    BSTR text = nullptr;
    hr = status->GetErrorCodeText(code, 0, 0, &text);
    std::string result;
    if (hr == 0) {
        result = CStringConvertor::WideToNarrow(std::u16string_view(text, SysStringLen(text)));
    } else {
        result = CConfigDataLoader::LoadMessage(122);
    }
    SysFreeString(text);
    return result;
}

std::string CDispatchThread::GetTimeStamp() { return GetTimeStamp(time(nullptr)); }

std::string CDispatchThread::GetTimeStamp(time_t when) {
    struct tm local;
    localtime_r(&when, &local);
    return StringFormat("%d%02d%02d%02d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
                        local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
}

int32_t CDispatchThread::ReconnectDelay(int32_t tryNo, int32_t minInterval, int32_t maxInterval) {
    double d = std::pow(2.0, static_cast<double>(tryNo - 1)) * static_cast<double>(minInterval);
    if (d > static_cast<double>(maxInterval)) return maxInterval;
    return static_cast<int32_t>(d);
}

// ---- Subscription list queries ---------------------------------------------

namespace {

// Windows' event log names do not depend on case: "System", "SYSTEM" and
// "system" name one log, and so one subscription.
bool SameLogName(const std::string& a, const std::string& b) {
    return wmi::cim::EqualsIgnoringCase(a, b);
}

}  // namespace

int32_t CDispatchThread::MarkForDeletion(const std::string& host, const std::string& category,
                                         bool includeReplays, bool forgetResumePoints) {
    RSSynchronizeGuard guard(subsListLock);
    return MarkLocked(host, category, includeReplays, forgetResumePoints);
}

int32_t CDispatchThread::MarkLocked(const std::string& host, const std::string& category,
                                    bool includeReplays, bool forgetResumePoints) {
    int32_t count = 0;
    for (TSubscriptionNode* node : subsList) {
        if (host != "*" && host != node->host) continue;
        if (category != "*" && !SameLogName(category, node->category)) continue;
        if (node->isReplay && (!includeReplays || node->replayFinished)) continue;
        // Already on its way out (an earlier DELETE or a replacing ADD): not
        // counted again.
        if (node->markedForDeletion) continue;
        LOG(DEBUG, "[dispatcher] Marking subscription for deletion - %s", node->Describe().c_str());
        if (forgetResumePoints && !node->isReplay) {
            // Forgotten now, not when the node comes back: an ADD of the same
            // subscription right after the DELETE starts afresh.
            node->forgetResumePoint = true;
            if (node->ledger != nullptr) node->ledger->Forget(node->delivery);
        }
        node->markedForDeletion = true;
        // What its thread is waiting for on the host ends now, not at the
        // request's time-out.
        node->cancel.Cancel();
        ++count;
    }
    if (count > 0) {
        LOG(DEBUG, "[dispatcher] Deleting subscription for host - %s", host.c_str());
        BringBackMarkedWaiting();
    }
    return count;
}

bool CDispatchThread::SubscriptionExists(const std::string& host, const std::string& category,
                                         const std::string& eventType) {
    RSSynchronizeGuard guard(subsListLock);
    return ExistsLocked(host, category, eventType);
}

bool CDispatchThread::ExistsLocked(const std::string& host, const std::string& category,
                                   const std::string& eventType) {
    // A subscription marked for deletion is on its way out: a DELETE
    // followed by the same ADD leaves the new one in place.
    for (TSubscriptionNode* node : subsList) {
        if (!node->isReplay && !node->markedForDeletion && node->host == host &&
            SameLogName(node->category, category) && node->eventType == eventType) {
            return true;
        }
    }
    return false;
}

int32_t CDispatchThread::AcceptSubscription(TSubscriptionNode* node) {
    RSSynchronizeGuard guard(subsListLock);
    if (ExistsLocked(node->host, node->category, node->eventType)) {
        delete node;
        return -1;
    }
    MarkLocked(node->host, node->category, false, true);
    // Under subsListLock, as a DELETE's Forget: the state file sees the two
    // in the order the commands were taken.
    if (node->ledger != nullptr) {
        node->ledger->SetSince(node->delivery, node->resume.since);
    }
    subsList.push_back(node);
    AddJob(node);
    return 0;
}

void CDispatchThread::AcceptReplay(TSubscriptionNode* node) {
    RSSynchronizeGuard guard(subsListLock);
    subsList.push_back(node);
    AddJob(node);
}

std::string CDispatchThread::BuildSubscriptionList() {
    RSSynchronizeGuard guard(subsListLock);
    LOG(TRACE, "[dispatcher] Enumerating queries for listing.");
    int entries = 0;
    int unreachable = 0;
    std::string body;
    for (TSubscriptionNode* node : subsList) {
        // Finished replays and subscriptions being deleted are gone for the
        // client; they stay in the list only until their threads let go.
        if (node->replayFinished || node->markedForDeletion) continue;
        std::vector<std::string> fields = NoticeFields(*node);
        body += "\r\n" + fields[0] + " " + fields[1] + " " + fields[2] + " ";
        std::string user = TrimBoth(node->user, " \t\r\n\v\f");
        body += user.empty() ? "- " : QuoteLineBreaks(user) + " ";
        if (node->isReplay) body += "REPLAY " + node->timeFrom + " " + node->timeTo + " ";
        ++entries;
        if (node->connectionFailed) {
            std::string text = TrimBoth(GetErrorText(node->lastError), "\r\n");
            body += "[CONNECTION_FAILED at " + node->failedAt + " \"" + text + "\"]";
            ++unreachable;
        } else if (node->outputBlocked) {
            body += kOutputBlocked;
        } else {
            int32_t stage = node->stage;
            body += (stage >= 0 && stage < 8) ? g_stageNames[stage] : "";
        }
    }
    return StringFormat("OK List Follows for %i entries (%i unreachable):", entries, unreachable) +
           body + "\r\n.\r\n";
}

TEngineStats CDispatchThread::SnapshotStatistics(const std::string& stateFile) {
    TEngineStats stats;
    stats.stateFile = stateFile;
    stats.eventsPerSecond = rate.PerSecond(static_cast<int64_t>(time(nullptr)));
    stats.eventsDelivered = rate.Total();
    RSSynchronizeGuard guard(subsListLock);
    stats.subscriptions.reserve(subsList.size());
    for (TSubscriptionNode* node : subsList) {
        TSubscriptionStats& s = stats.subscriptions.emplace_back();
        const TSubscriptionCounters& c = node->counters;
        const int32_t stage = node->stage;
        s.host = node->host;
        s.category = node->category;
        s.severity = node->eventType;
        s.replay = node->isReplay != 0;
        s.state = node->outputBlocked         ? kOutputBlocked
                  : (stage >= 0 && stage < 8) ? g_stageNames[stage]
                                              : "";
        s.failing = node->connectionFailed.load();
        s.delivered = c.delivered.load();
        s.caughtUp = c.caughtUp.load();
        s.skipped = c.skipped.load();
        s.overCap = c.overCap.load();
        s.reconnects = c.reconnects.load();
        s.lastDeliveredAt = c.lastDeliveredAt.load();
        s.lastWrittenMicros = c.lastWrittenMicros.load();
        s.lastErrorAt = c.lastErrorAt.load();
        if (const HRESULT code = node->lastError.load(); code != 0) {
            s.lastError = TrimBoth(GetErrorText(code), " \t\r\n\v\f");
        }
    }
    return stats;
}

std::string CDispatchThread::BuildStatistics(int clientsLoggedIn, uint64_t queuedForClients,
                                             const std::string& stateFile) {
    const int64_t now = static_cast<int64_t>(time(nullptr));
    const TEngineStats stats = SnapshotStatistics(stateFile);
    std::string body;
    int subscriptions = 0;
    for (const TSubscriptionStats& s : stats.subscriptions) {
        if (!s.replay) ++subscriptions;
        std::string lastEvent = "-";
        if (s.lastDeliveredAt != 0) {
            time_t t = static_cast<time_t>(s.lastDeliveredAt);
            struct tm local;
            localtime_r(&t, &local);
            lastEvent =
                StringFormat("%d%02d%02d%02d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
                             local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
        }
        std::string lag = "-";
        if (s.lastWrittenMicros != 0) {
            // A record dated in the future (a host's clock ahead of ours) is
            // no lag.
            lag = StringFormat("%lld", static_cast<long long>(std::max<int64_t>(
                                           0, now - s.lastWrittenMicros / 1000000)));
        }
        body += "\r\n" + s.host + " " + s.category + " " + s.severity +
                (s.replay ? " replay" : " live") + " state=" + QuoteField(s.state) +
                StringFormat(" delivered=%llu caught_up=%llu skipped=%llu reconnects=%u",
                             static_cast<unsigned long long>(s.delivered),
                             static_cast<unsigned long long>(s.caughtUp),
                             static_cast<unsigned long long>(s.skipped), s.reconnects) +
                " last_event=" + lastEvent + " lag=" + lag +
                " last_error=" + QuoteField(s.lastError.empty() ? "-" : s.lastError);
    }
    // The outputs' own lines (Kafka's) follow the totals.
    std::string outputLines;
    if (sink != nullptr) {
        for (const std::string& line : sink->StatisticsLines()) outputLines += "\r\n" + line;
    }
    return StringFormat("OK Stats Follows for %zu entries", stats.subscriptions.size()) +
           StringFormat(
               "\r\nclients=%d subscriptions=%d events_per_second=%.2f "
               "queued_for_clients=%llu",
               clientsLoggedIn, subscriptions, stats.eventsPerSecond,
               static_cast<unsigned long long>(queuedForClients)) +
           (stateFile.empty() ? std::string() : " state_file=" + stateFile) + outputLines + body +
           "\r\n.\r\n";
}

// ---- Reconnect scheduling ----------------------------------------------------

bool CDispatchThread::ScheduleReconnect(TSubscriptionNode* node) {
    if (node->markedForDeletion || node->isConnected) {
        // Marked for deletion after Route looked: the next turn ends it.
        if (node->markedForDeletion) {
            LOG(DEBUG, "[dispatcher] Not reconnecting a subscription marked for deletion - %s",
                node->Describe().c_str());
        } else {
            LOG(ERROR, "[dispatcher] Query asked to be reconnected while it is still connected %s",
                node->Describe().c_str());
        }
        AddJob(node);
        return false;
    }
    node->reconnectTryNo += 1;
    node->SetStage(WaitingToReconnect);
    int32_t delay = ReconnectDelay(node->reconnectTryNo, options.minReconnectInterval,
                                   options.maxReconnectInterval);
    uint32_t dueMs = delay <= 0 ? 0u : static_cast<uint32_t>(delay) * 1000u;

    auto* param = new TTimerParam{this, node, nullptr, false};
    bool created;
    {
        // The record is listed before the timer is armed, so the callback
        // (which looks it up under timerLock) always finds it.
        RSSynchronizeGuard timers(timerLock);
        pendingTimers.insert(param);
        created = platform::CreateTimerQueueTimer(&param->timerQueTimer, timerQueueHwnd,
                                                  &CDispatchThread::ReconnectTimerCallback, param,
                                                  dueMs, 0, platform::kTimerExecuteInTimerThread);
        if (!created) pendingTimers.erase(param);
    }
    if (!created) {
        LOG(DEBUG, "[dispatcher] Could not schedule reconnect in %d sec for - %s", delay,
            node->Describe().c_str());
        delete param;
        RemoveAndDestroy(node);
        return false;
    }
    LOG(DEBUG, "[dispatcher] Scheduled reconnect in %d sec for - %s", delay,
        node->Describe().c_str());
    return true;
}

void CDispatchThread::ReconnectTimerCallback(void* timerParam, bool) {
    auto* param = static_cast<TTimerParam*>(timerParam);
    CDispatchThread* dispatcher = param->dispatcher;
    bool handBack;
    {
        RSSynchronizeGuard timers(dispatcher->timerLock);
        dispatcher->pendingTimers.erase(param);
        handBack = !param->claimed;
        param->claimed = true;
    }
    if (handBack) {
        param->node->SetStage(Reconnecting);
        if (dispatcher->timerQueueHwnd == nullptr) {
            LOG(INFO, "pTimerParam->dispatcher->timerQueueHwnd is NULL");
        }
        if (param->timerQueTimer == nullptr) LOG(INFO, "pTimerParam->timerQueTimer is NULL");
        dispatcher->AddJob(param->node);
    }
    if (param->timerQueTimer != nullptr) {
        platform::DeleteTimerQueueTimer(dispatcher->timerQueueHwnd, param->timerQueTimer, nullptr);
    }
    delete param;
}

void CDispatchThread::BringBackMarkedWaiting() {
    RSSynchronizeGuard timers(timerLock);
    for (TTimerParam* param : pendingTimers) {
        if (param->claimed || !param->node->markedForDeletion) continue;
        param->claimed = true;
        param->node->SetStage(Reconnecting);
        AddJob(param->node);
    }
}

// ---- Run loop ------------------------------------------------------------------

void CDispatchThread::StartWorkers() {
    LOG(DEBUG, "[dispatcher] Creating Connector threads.");
    for (int32_t i = 0; i < options.connectorCount; ++i) {
        auto* t = new CConnectorThread(this, options);
        t->setName("ConnectorThread");
        t->setNumber(i);
        t->start();
        connectorThreads.push_back(t);
    }
    LOG(DEBUG, "[dispatcher] Creating Worker/Query threads.");
    for (int32_t i = 0; i < options.queryThreadCount; ++i) {
        auto* t = new CQueryThread(this, options);
        t->setName("QueryThread");
        t->setNumber(i);
        t->start();
        queryThreads.push_back(t);
    }
}

void CDispatchThread::HandOn(CJobQueue<TSubscriptionNode>* worker, const char* kind,
                             TSubscriptionNode* node) {
    if (worker != nullptr) {
        worker->AddJob(node);
        return;
    }
    // No thread of that kind will ever take the node: it would stay listed
    // in no queue, and DELETE and the shutdown would wait for it forever.
    LOG(ERROR, "[dispatcher] There is no %s thread to take the subscription; it ends - %s", kind,
        node->Describe().c_str());
    if (node->isConnected) CConnectorThread::Disconnect(node);
    RemoveAndDestroy(node);
}

void CDispatchThread::RemoveAndDestroy(TSubscriptionNode* node) {
    RSSynchronizeGuard guard(subsListLock);
    subsList.remove(node);
    node->ReleaseQuery();
    delete node;
}

void CDispatchThread::run() {
    LOG(DEBUG, "Starting Dispatcher thread.");
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
        LOG(ERROR, "[dispatcher] Thread Failed CoInitializeEx()");
    }
    StartWorkers();

    const int32_t interval = options.checkTerminateMs;
    LOG(DEBUG, "[dispatcher] Check for terminate every %d ms", interval);

    bool deletingAll = false;
    for (;;) {
        TSubscriptionNode* node = TakeJob(interval);
        if (isTerminated()) {
            if (!deletingAll) {
                deletingAll = true;
                LOG(DEBUG, "[dispatcher] Deleting all pending subscriptions.");
                // Replays too: shutdown does not wait for them to finish.
                MarkForDeletion("*", "*", true, false);
            }
            RSSynchronizeGuard grdSubsList(subsListLock);
            if (subsList.empty()) {
                // Every record is listed when it is accepted, so none can be
                // taken here; should one be, it must not be lost.
                delete node;
                ShutdownSequence();
                return;
            }
            LOG(DEBUG, "[dispatcher] Waiting for subscriptions to be removed.");
        }
        if (node == nullptr) continue;
        Route(node);
    }
}

void CDispatchThread::Route(TSubscriptionNode* node) {
    if (node->markedForDeletion) {
        if (node->isConnected) {
            node->SetStage(Completed);
            HandOn(LeastLoaded(connectorThreads), "connector", node);
            return;
        }
        // The node leaves subsList before the notice goes out, so a client
        // that reacts to "OK Deleted Host" no longer finds it in LIST or
        // DELETE.
        TNotice deleted;
        deleted.kind = TNoticeKind::Deleted;
        deleted.host = node->host;
        deleted.category = node->category;
        deleted.severity = node->eventType;
        deleted.at = time(nullptr);
        RemoveAndDestroy(node);
        Deliver({TOutputItem(std::move(deleted))});
        return;
    }
    switch (node->stage.load()) {
        case New:
            // Listed already when its command was accepted.
            HandOn(LeastLoaded(connectorThreads), "connector", node);
            break;
        case Reconnecting:
            LOG(TRACE, "[dispatcher] Found Reconnect job for - %s", node->Describe().c_str());
            HandOn(LeastLoaded(connectorThreads), "connector", node);
            break;
        case Connected: {
            LOG(DEBUG, "[dispatcher] Host Connected - %s", node->Describe().c_str());
            {
                RSSynchronizeGuard guard(subsListLock);
                if (node->reconnectTryNo > 0) {
                    // What the host wrote while it was away comes first.
                    // The connection counts as re-established once a query
                    // has answered on it (the query thread announces it): a
                    // host that takes the query and fails every poll stays
                    // in its failure series.
                    if (!node->isReplay) node->catchUpDue = true;
                } else if (!node->isReplay) {
                    Notify(TNoticeKind::ConnectionOk, *node, time(nullptr));
                }
                node->connectionFailed = false;
                node->SetStage(EventWait);
            }
            HandOn(LeastLoaded(queryThreads), "query", node);
            break;
        }
        case Error: {
            node->counters.lastErrorAt = static_cast<int64_t>(time(nullptr));
            std::string text = TrimRight(GetErrorText(node->lastError), " \t\r\n\v\f");
            if (node->isConnected) {
                LOG(INFO, "[dispatcher] Query Error (%s) for %s", text.c_str(),
                    node->Describe().c_str());
            } else {
                LOG(DEBUG, "[dispatcher] Query Error (%s) for %s", text.c_str(),
                    node->Describe().c_str());
            }
            // A replay whose query WMI refuses would be refused on every
            // retry: it ends here, announced once, and is not retried.
            bool refused = node->isReplay && IsQueryRefusal(node->lastError);
            const bool announce = !node->failureAnnounced || refused;
            const time_t now = time(nullptr);
            {
                // Recorded before the notice goes out, so that a client
                // that has read CONNECTION_FAILED finds it in LIST.
                RSSynchronizeGuard guard(subsListLock);
                if (announce) node->failedAt = GetTimeStamp(now);
                node->connectionFailed = !refused;
            }
            if (announce) {
                node->failureAnnounced = true;
                Notify(TNoticeKind::ConnectionFailed, *node, now, text);
            }
            if (node->isConnected) {
                node->SetStage(Completed);
                HandOn(LeastLoaded(connectorThreads), "connector", node);
            } else {
                node->SetStage(Disconnected);
                AddJob(node);
            }
            break;
        }
        case Disconnected:
            if (node->connectionFailed) {
                ScheduleReconnect(node);
            } else {
                LOG(TRACE, "[dispatcher] Disconnected Query Found - %s", node->Describe().c_str());
                RemoveAndDestroy(node);
            }
            break;
        case Completed:
            if (node->isReplay && !node->replayFinished) {
                // From here on it only gives its connection back: LIST and
                // DELETE no longer see it.
                {
                    RSSynchronizeGuard guard(subsListLock);
                    node->replayFinished = true;
                }
                Notify(TNoticeKind::ReplayFinished, *node, time(nullptr));
            }
            LOG(TRACE, "[dispatcher] Completed Query Found - %s", node->Describe().c_str());
            HandOn(LeastLoaded(connectorThreads), "connector", node);
            break;
        default:
            LOG(ERROR, "[dispatcher] Found a query with improper stage - %s",
                node->Describe().c_str());
            break;
    }
}

void CDispatchThread::ShutdownSequence() {
    LOG(DEBUG, "[dispatcher] All subscriptions deleted, Terminating threads now.");
    Print("Terminating threads ...\r\n");
    // Waking each idle thread lets it see the request now rather than at
    // the end of its 5000 ms wait for work.
    for (CConnectorThread* t : connectorThreads) {
        t->terminate();
        t->Wake();
    }
    for (CQueryThread* t : queryThreads) {
        t->terminate();
        t->Wake();
    }

    Print("Waiting on connector threads ...");
    for (CConnectorThread* t : connectorThreads) {
        t->stop(5000);
        Print(".");
    }
    Print("\r\n");
    Print("Waiting on worker threads ...");
    for (CQueryThread* t : queryThreads) {
        t->stop(5000);
        Print(".");
    }
    Print("\r\n");

    // A worker whose body missed its deadline was abandoned and may still
    // touch its object when it wakes: such an object is left alone (a
    // bounded leak at shutdown) rather than freed under a running thread.
    Print("Erasing connector threads ...");
    for (CConnectorThread* t : connectorThreads) {
        if (t->hasAbandonedThread()) {
            LOG(WARN, "[dispatcher] ConnectorThread %d did not end; left behind", t->getNumber());
        } else {
            delete t;
        }
        Print(".");
    }
    connectorThreads.clear();
    Print("\r\n");
    Print("Erasing working threads ...");
    for (CQueryThread* t : queryThreads) {
        if (t->hasAbandonedThread()) {
            LOG(WARN, "[dispatcher] QueryThread %d did not end; left behind", t->getNumber());
        } else {
            delete t;
        }
        Print(".");
    }
    queryThreads.clear();
    Print("\r\n");
    Print("Calling grdSubsList.unLock() ...\r\n");
    Print("Breaking out of while loop\r\n");
    Print("Terminating application\r\n");
}
