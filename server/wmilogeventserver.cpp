#include "server/wmilogeventserver.h"

#include <algorithm>

#include "base/configdataloader.h"
#include "base/logger.h"
#include "base/stringformat.h"
#include "base/version.h"
#include "engine/clientlines.h"
#include "platform/socket.h"

namespace {

constexpr int kDefaultMaxConnections = 3;
constexpr long kDefaultLoginTimeoutSeconds = 30;
constexpr long kDefaultOutputLimit = 64L * 1024 * 1024;
constexpr long kDefaultOutputSoftLimit = 16L * 1024 * 1024;
constexpr long kDefaultOutputSoftSeconds = 60;
// Unsent output a client may have before it logged in: greeting and replies
// only, so a small fixed bound.
constexpr size_t kPreLoginOutputLimit = 64 * 1024;
// TLS handshakes in progress at once, per connection slot, unless
// LISTEN.MAXHANDSHAKES says otherwise.
constexpr int kHandshakesPerConnection = 8;
// Connections not logged in per source block, and the blocks' prefix
// lengths.
constexpr int kDefaultPerSourceStartups = 10;
constexpr int kDefaultIpv4Block = 32;
constexpr int kDefaultIpv6Block = 64;

int ReadMaxConnections() {
    return static_cast<int>(ConfigInteger("LISTEN.MAXCONNECTIONS", kDefaultMaxConnections));
}

size_t ReadSize(const char* key, long long defaultValue) {
    long long value = ConfigInteger(key, defaultValue);
    return value > 0 ? static_cast<size_t>(value) : 0;
}

TConnectionLimits ReadConnectionLimits(int maxConnections) {
    TConnectionLimits limits;
    limits.loginTimeout =
        std::chrono::seconds(ReadSize("LISTEN.LOGINTIMEOUT", kDefaultLoginTimeoutSeconds));
    limits.preLoginOutputLimit = kPreLoginOutputLimit;
    limits.outputLimit = ReadSize("LISTEN.OUTPUTLIMIT", kDefaultOutputLimit);
    limits.outputSoftLimit = ReadSize("LISTEN.OUTPUTSOFTLIMIT", kDefaultOutputSoftLimit);
    limits.outputSoftTime =
        std::chrono::seconds(ReadSize("LISTEN.OUTPUTSOFTSECONDS", kDefaultOutputSoftSeconds));
    limits.maxHandshakes = static_cast<int>(ConfigInteger(
        "LISTEN.MAXHANDSHAKES", std::max(1, maxConnections) * kHandshakesPerConnection));
    limits.perSourceStartups =
        static_cast<int>(ConfigInteger("LISTEN.PERSOURCEMAXSTARTUPS", kDefaultPerSourceStartups));
    limits.sourceBlock.v4 =
        static_cast<int>(ConfigInteger("LISTEN.PERSOURCENETBLOCKV4", kDefaultIpv4Block));
    limits.sourceBlock.v6 =
        static_cast<int>(ConfigInteger("LISTEN.PERSOURCENETBLOCKV6", kDefaultIpv6Block));
    return limits;
}

// "200 <banner> Ready To Authenticate\r\n" with the version and build date.
std::string Greeting() {
    return StringFormat(CConfigDataLoader::LoadMessage(104).c_str(), VersionBanner().c_str());
}

void Remove(std::vector<CIOCPClientContext*>& list, CIOCPClientContext* context) {
    list.erase(std::remove(list.begin(), list.end(), context), list.end());
}

// Appends text as a broadcast sends it: trailing white space removed, CR LF
// appended.
void AppendBroadcastLine(const std::string& text, std::string* out) {
    size_t last = text.find_last_not_of(" \t\r\n\v\f");
    size_t length = last == std::string::npos ? 0 : last + 1;
    LOG(TRACE, "Sending data to all connected clients - %.*s", static_cast<int>(length),
        text.c_str());
    out->append(text, 0, length);
    *out += "\r\n";
}

}  // namespace

CWmiLogEventServer::CWmiLogEventServer() = default;

CWmiLogEventServer::~CWmiLogEventServer() {
    WaitForAbandonedWorker();
    // A companion's worker may still be reading this server's figures:
    // its destructor waits for it, before the engine goes.
    companions.clear();
    LOG(TRACE, "Deleting Object.");
    RSLibrary::RSSynchronizeGuard guard(controllerLock);
    delete controller;
    controller = nullptr;
}

void CWmiLogEventServer::SetController(CSubscriptionEngine* newController) {
    RSLibrary::RSSynchronizeGuard guard(controllerLock);
    if (newController == controller) return;
    delete controller;
    controller = newController;
}

void CWmiLogEventServer::AddOutput(std::unique_ptr<CBroadcastSink> output) {
    extraOutputs.push_back(std::move(output));
}

void CWmiLogEventServer::SendToAllClients(const std::string& text) {
    std::string line;
    AppendBroadcastLine(text, &line);
    RSLibrary::RSSynchronizeGuard guard(listLock);
    for (CIOCPClientContext* context : loggedInClients) SendString(context, 0, line);
}

void CWmiLogEventServer::Deliver(const std::vector<TOutputItem>& items, uint64_t mark) {
    std::vector<std::string> texts;
    texts.reserve(items.size());
    for (const TOutputItem& item : items) texts.push_back(ClientLine(item));
    SendLinesToClients(texts, mark);
}

void CWmiLogEventServer::SendLinesToClients(const std::vector<std::string>& texts, uint64_t mark) {
    if (texts.empty()) {
        if (mark != 0) {
            AddMarkShare(mark);
            SettleMarkShare(mark, false);
        }
        return;
    }
    std::string lines;
    uint32_t records = 0;
    for (const std::string& text : texts) {
        AppendBroadcastLine(text, &lines);
        if (text.rfind("NTEVENT:", 0) == 0) ++records;
    }
    // The broadcast's own share keeps the mark open until every client's
    // send is queued, so a send that completes at once cannot report it
    // early.
    if (mark != 0) AddMarkShare(mark);
    {
        RSLibrary::RSSynchronizeGuard guard(listLock);
        for (CIOCPClientContext* context : loggedInClients) {
            if (mark == 0) {
                SendCountedString(context, 0, lines, records);
                continue;
            }
            AddMarkShare(mark);
            if (!SendMarkedString(context, 0, lines, records, mark)) SettleMarkShare(mark, false);
        }
    }
    if (mark != 0) SettleMarkShare(mark, false);
}

void CWmiLogEventServer::ReportDeliveryTo(CDeliveryReports* reports) {
    platform::MutexLock guard(tallyLock);
    deliveryReports = reports;
}

bool CWmiLogEventServer::Receiving() { return GetLoggedInCount() > 0; }

void CWmiLogEventServer::OnMarkedSendSettled(uint64_t mark, bool sent) {
    SettleMarkShare(mark, sent);
}

void CWmiLogEventServer::AddMarkShare(uint64_t mark) {
    platform::MutexLock guard(tallyLock);
    ++tallies[mark].pending;
}

void CWmiLogEventServer::SettleMarkShare(uint64_t mark, bool sent) {
    platform::MutexLock guard(tallyLock);
    auto found = tallies.find(mark);
    if (found == tallies.end()) return;
    TMarkTally& tally = found->second;
    tally.sent = tally.sent || sent;
    if (--tally.pending > 0) return;
    const bool delivered = tally.sent;
    tallies.erase(found);
    // Under the lock, so that ReportDeliveryTo(nullptr) returns only after a
    // report under way has ended.
    if (deliveryReports != nullptr) deliveryReports->Settled(mark, delivered);
}

int CWmiLogEventServer::GetLoggedInCount() {
    RSLibrary::RSSynchronizeGuard guard(listLock);
    return static_cast<int>(loggedInClients.size());
}

int CWmiLogEventServer::GetConnectionCount() {
    RSLibrary::RSSynchronizeGuard guard(listLock);
    return connectionCount;
}

void CWmiLogEventServer::OnServerStarted() {
    LOG(INFO, "Server Started");
    int limit = ReadMaxConnections();
    {
        RSLibrary::RSSynchronizeGuard guard(listLock);
        maxConnections = limit;
        connectionCount = 0;
    }
    // Before the first accept: the accept thread waits for this hook.
    SetConnectionLimits(ReadConnectionLimits(limit));
    RSLibrary::RSSynchronizeGuard guard(controllerLock);
    // An engine that could not start gets no commands: they are answered
    // as when there is no engine at all.
    CBroadcastSink* sink = this;
    if (!extraOutputs.empty()) {
        std::vector<CBroadcastSink*> all{this};
        for (const auto& output : extraOutputs) all.push_back(output.get());
        // The last output added (Kafka) confirms delivery: the resume points
        // follow its acknowledgements, not the clients' sends.
        fanOut = std::make_unique<CSinkFanOut>(std::move(all), extraOutputs.back().get());
        sink = fanOut.get();
    }
    if (controller != nullptr) controllerRunning = controller->Start(sink) != 0;
}

void CWmiLogEventServer::AddCompanion(std::unique_ptr<CIOCPServer> companion) {
    companions.push_back(std::move(companion));
}

void CWmiLogEventServer::OnServerShutdown() {
    LOG(INFO, "Shutting down");
    // They read this server's figures: they stop before anything here does.
    for (const std::unique_ptr<CIOCPServer>& companion : companions) companion->Stop();
    SendToAllClients("Server shutdown");

    CSubscriptionEngine* stopping = nullptr;
    {
        // Waits for a command that is inside the controller; later commands
        // see controllerRunning false and never reach the engine.
        RSLibrary::RSSynchronizeGuard guard(controllerLock);
        if (controllerRunning) stopping = controller;
        controllerRunning = false;
    }
    // Stopping the engine can take long and the engine broadcasts meanwhile;
    // controllerLock is not held so that the worker keeps answering.
    if (stopping != nullptr) stopping->Stop();

    for (;;) {
        CIOCPClientContext* context;
        {
            RSLibrary::RSSynchronizeGuard guard(listLock);
            if (allClients.empty()) break;
            context = allClients.front();
            context->AddRef();
        }
        CloseClient(context);
        {
            // A client that another thread is closing right now leaves the
            // list when its OnClientDisconnected runs; taking it off here
            // keeps this loop from waiting for that.
            RSLibrary::RSSynchronizeGuard guard(listLock);
            if (!allClients.empty() && allClients.front() == context) {
                allClients.erase(allClients.begin());
            }
        }
        context->Release();
    }
}

CIOCPClientContext* CWmiLogEventServer::CreateClientContext(int socket) {
    return new CIOCPClientContext(socket);
}

long CWmiLogEventServer::OnClientConnected(CIOCPClientContext* context) {
    const char* address = context->address.c_str();
    // Once a minute per source block: strangers that reconnect whenever
    // they are dropped would repeat it thousands of times a second.
    LogBySource(context, LOG_INFO, "connected", StringFormat("Connection Recvd from %s", address));
    {
        // Counted from here to OnClientDisconnected, also while refused.
        RSLibrary::RSSynchronizeGuard guard(listLock);
        ++connectionCount;
    }
    // Checked before the slots: a source over its budget never makes
    // another client's connection give way.
    if (!loginBudget.Admit(context->sourceBlock, std::chrono::steady_clock::now())) {
        refusedGuessingBudget.fetch_add(1, std::memory_order_relaxed);
        LogBySource(context, LOG_WARN, "over the guessing budget",
                    StringFormat("Closing incoming connection from %s: its source %s failed to "
                                 "log in too often and holds %d connections not logged in",
                                 address, context->sourceBlock.c_str(),
                                 CLoginBudget::kMaxWaitingOverBudget));
        SendString(context, IO_FLAG_AWAITING_LOGIN,
                   "ERROR too many failed logins from this address, try again later\r\n");
        CloseClient(context);
        return 1;
    }
    context->inLoginBudget.store(true);

    bool refuse;
    int limit;
    auto takeSlot = [&] {
        RSLibrary::RSSynchronizeGuard guard(listLock);
        limit = maxConnections;
        refuse = maxConnections < connectionCount;
        // Listed before the first read is posted, so a disconnect that the
        // worker handles at once always finds the entry it has to remove.
        if (!refuse) allClients.push_back(context);
    };
    takeSlot();
    // A client that has just closed its socket may not have been seen
    // closing yet; its slot is free, so it is closed here and counted out.
    if (refuse && CloseDepartedClients() > 0) takeSlot();
    // Every slot taken: a connection that has not logged in gives way, so
    // that strangers holding slots never keep out a client that logs in.
    // Only logged-in clients make the newcomer wait.
    while (refuse && DropWaitingClient(context)) takeSlot();
    if (refuse) {
        refusedConnectionLimit.fetch_add(1, std::memory_order_relaxed);
        LogBySource(context, LOG_INFO, "every connection slot taken by a logged-in client",
                    StringFormat("Closing incoming connection from %s (maxConnections %i reached)",
                                 address, limit));
        SendString(context, IO_FLAG_AWAITING_LOGIN,
                   StringFormat(CConfigDataLoader::LoadMessage(134).c_str(), limit));
        CloseClient(context);
        return 1;
    }
    SendString(context, IO_FLAG_AWAITING_LOGIN, Greeting());
    PostRead(context, IO_FLAG_AWAITING_LOGIN, kReadSize);
    return 1;
}

int CWmiLogEventServer::CloseDepartedClients() {
    std::vector<CIOCPClientContext*> departed;
    {
        RSLibrary::RSSynchronizeGuard guard(listLock);
        for (CIOCPClientContext* client : allClients) {
            if (platform::PeerHasClosed(client->socket)) {
                client->AddRef();
                departed.push_back(client);
            }
        }
    }
    for (CIOCPClientContext* client : departed) {
        CloseClient(client);
        client->Release();
    }
    return static_cast<int>(departed.size());
}

long CWmiLogEventServer::OnClientDisconnected(CIOCPClientContext* context) {
    if (context->loggedIn.load()) {
        LOG(INFO, "Disconnected client - %s", context->address.c_str());
    } else {
        LogBySource(context, LOG_INFO, "disconnected before logging in",
                    StringFormat("Disconnected client - %s", context->address.c_str()));
    }
    if (context->inLoginBudget.exchange(false)) loginBudget.Release(context->sourceBlock);
    RSLibrary::RSSynchronizeGuard guard(listLock);
    --connectionCount;
    Remove(loggedInClients, context);
    Remove(allClients, context);
    return 1;
}

long CWmiLogEventServer::OnDataSent(CIOCPClientContext* context, long flags, char* data,
                                    long byteCount) {
    (void)context;
    (void)flags;
    (void)data;
    (void)byteCount;
    return 1;
}
