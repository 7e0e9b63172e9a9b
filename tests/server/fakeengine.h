// A recording stand-in for the subscription engine, for tests that drive the
// command server without the engine: each call is recorded with its
// arguments in a script the test reads, and results come from that script.
// The server owns the engine it is given; the script outlives it.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "engine/broadcastsink.h"
#include "engine/subscriptionengine.h"

namespace servertest {

using Call = std::vector<std::string>;

struct FakeEngineScript {
    std::mutex mutex;
    std::vector<Call> calls;
    int addResult = 0;
    int deleteResult = 1;
    std::string listReply = "OK List Follows for 0 entries (0 unreachable):\r\n.\r\n";
    std::string statsReply = "OK Stats Follows for 0 entries\r\nclients=1\r\n.\r\n";
    // Broadcast when the engine stops, as the engine's last notices are.
    std::string noticeOnStop;
    int liveEngines = 0;

    void Record(Call call) {
        std::lock_guard<std::mutex> guard(mutex);
        calls.push_back(std::move(call));
    }
    std::vector<Call> Take() {
        std::lock_guard<std::mutex> guard(mutex);
        std::vector<Call> taken;
        taken.swap(calls);
        return taken;
    }
    void Reset() {
        std::lock_guard<std::mutex> guard(mutex);
        calls.clear();
        addResult = 0;
        deleteResult = 1;
        noticeOnStop.clear();
    }
};

class FakeEngine : public CSubscriptionEngine {
  public:
    explicit FakeEngine(FakeEngineScript& script) : script(script) { ++script.liveEngines; }
    ~FakeEngine() override { --script.liveEngines; }

    int Start(CBroadcastSink* broadcastSink) override {
        sink = broadcastSink;
        script.Record({"Start"});
        return 1;
    }
    int Stop() override {
        script.Record({"Stop"});
        if (!script.noticeOnStop.empty()) sink->SendLinesToClients({script.noticeOnStop}, 0);
        return 1;
    }
    int AddSubscription(const std::string& host, const std::string& category,
                        const std::string& eventType, const std::string& user,
                        const std::string& password) override {
        script.Record({"Add", host, category, eventType, user, password});
        return script.addResult;
    }
    int ReplayEvents(const std::string& host, const std::string& category,
                     const std::string& eventType, const std::string& timeFrom,
                     const std::string& timeTo, const std::string& user,
                     const std::string& password) override {
        script.Record({"Replay", host, category, eventType, timeFrom, timeTo, user, password});
        return 1;
    }
    int DeleteSubscription(const std::string& host, const std::string& category,
                           const std::string& unused) override {
        script.Record({"Delete", host, category, unused});
        return script.deleteResult;
    }
    std::string ListSubscriptions() override {
        script.Record({"List"});
        return script.listReply;
    }
    std::string Statistics(int clientsLoggedIn, uint64_t queuedForClients) override {
        script.Record({"Stats", std::to_string(clientsLoggedIn), std::to_string(queuedForClients)});
        return script.statsReply;
    }

  private:
    FakeEngineScript& script;
    CBroadcastSink* sink = nullptr;
};

}  // namespace servertest
