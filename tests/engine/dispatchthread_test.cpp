// The dispatcher as the command server sees it, without sockets: the real
// controller, dispatcher, connector and query threads over simulated hosts in
// a real SQLite store, broadcasting into a sink that records every call.

#include "engine/dispatchthread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/broadcastsink.h"
#include "engine/controller.h"
#include "tests/platform/eventually.h"
#include "tests/wmi/simfixture.h"
#include "wmi/locatorfactory.h"

namespace {

const char* const kHost = "127.0.0.2";

// Records each broadcast as the list of texts it carried, and delivers each
// at once (its mark is reported delivered). A test may hook a reaction to a
// text; the hook runs on the broadcasting engine thread.
class RecordingSink : public CBroadcastSink {
  public:
    void ReportDeliveryTo(CDeliveryReports* to) override {
        std::lock_guard<std::mutex> guard(mutex);
        reports = to;
    }
    bool Receiving() override { return true; }
    void SendLinesToClients(const std::vector<std::string>& texts, uint64_t mark) override {
        if (mark != 0) {
            std::lock_guard<std::mutex> guard(mutex);
            if (reports != nullptr) reports->Settled(mark, true);
        }
        if (closed.load()) ++callsAfterStop;
        std::function<void(const std::string&)> reaction;
        {
            std::lock_guard<std::mutex> guard(mutex);
            calls.push_back(texts);
            reaction = onText;
        }
        if (reaction)
            for (const std::string& text : texts) reaction(text);
    }

    std::vector<std::vector<std::string>> Calls() {
        std::lock_guard<std::mutex> guard(mutex);
        return calls;
    }
    // Every broadcast text so far, in order.
    std::vector<std::string> Texts() {
        std::vector<std::string> all;
        for (const auto& call : Calls()) all.insert(all.end(), call.begin(), call.end());
        return all;
    }
    bool Saw(const std::string& prefix) {
        for (const std::string& text : Texts())
            if (text.rfind(prefix, 0) == 0) return true;
        return false;
    }
    void OnText(std::function<void(const std::string&)> reaction) {
        std::lock_guard<std::mutex> guard(mutex);
        onText = std::move(reaction);
    }

    std::atomic<bool> closed{false};  // set once the engine has stopped
    std::atomic<int> callsAfterStop{0};

  private:
    std::mutex mutex;
    CDeliveryReports* reports = nullptr;
    std::vector<std::vector<std::string>> calls;
    std::function<void(const std::string&)> onText;
};

class DispatcherTest : public simtest::SimStoreFixture {
  protected:
    void SetUp() override {
        SimStoreFixture::SetUp();
        AddHost(kHost);
        if (HasFatalFailure()) return;
        wmi::UseSimStore(path);
        options.connectorCount = 1;
        options.queryThreadCount = 1;
        options.withinInterval = 1;
        options.minReconnectInterval = 1;
        options.maxReconnectInterval = 1;
        options.checkTerminateMs = 100;
        options.pollTimeoutMs = 100;
    }
    void TearDown() override {
        StopEngine();
        wmi::UseSimStore("");
    }

    // Starts an engine with the options, broadcasting into a fresh recorder->
    void StartEngine() {
        recorder = std::make_unique<RecordingSink>();
        engine = std::make_unique<CController>(options);
        ASSERT_EQ(1, engine->Start(recorder.get()));
    }
    void StopEngine() {
        if (!engine) return;
        engine->Stop();
        recorder->closed = true;
        engine.reset();
        EXPECT_EQ(0, recorder->callsAfterStop.load()) << "the engine broadcast after Stop";
    }
    // Adds the live subscription of kHost and waits for its announcement.
    void Subscribe() {
        ASSERT_EQ(0, engine->AddSubscription(kHost, "*", "*", "", ""));
        ASSERT_TRUE(Eventually([&] { return recorder->Saw("CONNECTION_OK "); }, 10000));
    }
    std::vector<std::string> Records() {
        std::vector<std::string> records;
        for (const std::string& text : recorder->Texts())
            if (text.rfind("NTEVENT:", 0) == 0) records.push_back(text);
        return records;
    }

    TEngineOptions options;
    std::unique_ptr<RecordingSink> recorder;  // outlives the engine
    std::unique_ptr<CController> engine;
};

TEST_F(DispatcherTest, AnnouncesTheConnectionWithOneTextPerBroadcast) {
    StartEngine();
    Subscribe();
    auto calls = recorder->Calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ((std::vector<std::string>{"CONNECTION_OK 127.0.0.2 * *\r\n"}), calls[0]);
}

// The records of one poll go out in one broadcast, at most a batch each, in
// the order they were written; the batch size comes from the options.
TEST_F(DispatcherTest, RecordsOfAPollShareOneBroadcastOfAtMostABatch) {
    struct Case {
        int32_t batchSize;
        size_t records;
    } cases[] = {{1, 3}, {2, 5}, {50, 7}};
    for (const Case& c : cases) {
        SCOPED_TRACE("batch " + std::to_string(c.batchSize));
        options.batchSize = c.batchSize;
        StartEngine();
        Subscribe();
        std::vector<wmi::sim::SimEvent> events;
        for (size_t i = 0; i < c.records; ++i) {
            events.push_back(simtest::MakeEvent("System", 3, static_cast<uint32_t>(100 + i)));
        }
        Append(kHost, events);
        ASSERT_TRUE(Eventually([&] { return Records().size() == c.records; }, 10000))
            << Records().size();
        std::vector<std::string> records = Records();
        for (size_t i = 0; i < c.records; ++i) {
            EXPECT_NE(records[i].find(" " + std::to_string(100 + i) + " "), std::string::npos)
                << records[i];
        }
        for (const auto& call : recorder->Calls()) {
            if (call.empty() || call[0].rfind("NTEVENT:", 0) != 0) continue;
            EXPECT_LE(call.size(), static_cast<size_t>(c.batchSize));
            for (const std::string& text : call) EXPECT_EQ(0u, text.rfind("NTEVENT:", 0)) << text;
        }
        StopEngine();
    }
}

// A deleted subscription has left the list before its notice goes out, so
// a client reacting to "OK Deleted Host" no longer finds it.
TEST_F(DispatcherTest, DeletedNoticeFollowsRemovalFromTheList) {
    StartEngine();
    Subscribe();
    std::atomic<bool> noticed{false};
    std::string listAtNotice;
    recorder->OnText([&](const std::string& text) {
        if (text.rfind("OK Deleted Host", 0) != 0) return;
        listAtNotice = engine->ListSubscriptions();
        noticed = true;
    });
    EXPECT_EQ(1, engine->DeleteSubscription(kHost, "*", "*"));
    ASSERT_TRUE(Eventually([&] { return noticed.load(); }, 10000));
    EXPECT_EQ("OK List Follows for 0 entries (0 unreachable):\r\n.\r\n", listAtNotice);
    EXPECT_EQ("OK Deleted Host 127.0.0.2 * * \r\n", recorder->Texts().back());
}

// Pipelined ADD and DELETE of one subscription: each DELETE counts only the
// subscription it deletes, and LIST shows only the one that stays, while the
// deleted ones are still on their way out of the list.
TEST_F(DispatcherTest, ListAndDeleteLeaveOutSubscriptionsBeingDeleted) {
    StartEngine();
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(0, engine->AddSubscription(kHost, "*", "*", "", "")) << i;
        EXPECT_EQ(1, engine->DeleteSubscription(kHost, "*", "*")) << i;
    }
    ASSERT_EQ(0, engine->AddSubscription(kHost, "*", "*", "", ""));
    const std::string list = engine->ListSubscriptions();
    EXPECT_EQ(0u, list.rfind("OK List Follows for 1 entries (0 unreachable):", 0)) << list;
    EXPECT_EQ(1, engine->DeleteSubscription(kHost, "*", "*"));
    EXPECT_EQ(0, engine->DeleteSubscription(kHost, "*", "*"));
}

// A host that goes down is announced once, retried quietly and announced
// again when it is back.
TEST_F(DispatcherTest, OutageIsAnnouncedOnceThenReestablished) {
    StartEngine();
    Subscribe();
    ASSERT_EQ(store.setHostUp(kHost, false), wmi::sim::SimResult::Ok);
    ASSERT_TRUE(
        Eventually([&] { return recorder->Saw("CONNECTION_FAILED  127.0.0.2 * * "); }, 10000));
    ASSERT_TRUE(Eventually(
        [&] { return engine->ListSubscriptions().find("(1 unreachable)") != std::string::npos; },
        10000));
    ASSERT_EQ(store.setHostUp(kHost, true), wmi::sim::SimResult::Ok);
    ASSERT_TRUE(
        Eventually([&] { return recorder->Saw("CONNECTION_REESTAB 127.0.0.2 * * "); }, 10000));
    int failures = 0;
    for (const std::string& text : recorder->Texts())
        if (text.rfind("CONNECTION_FAILED", 0) == 0) ++failures;
    EXPECT_EQ(1, failures);
}

// With no thread of the kind a node needs next (no connector for a new
// subscription, no query thread for a connected one), the node is ended
// and leaves the list instead of waiting in no queue: the list empties and
// the dispatcher's shutdown, which waits for the list to empty, ends.
TEST_F(DispatcherTest, NodeWithNoThreadToTakeItLeavesTheListAndShutdownEnds) {
    struct Case {
        const char* name;
        int32_t connectors;
        int32_t queryThreads;
    } cases[] = {{"no connector thread", 0, 1}, {"no query thread", 1, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        options.connectorCount = c.connectors;
        options.queryThreadCount = c.queryThreads;
        RecordingSink sink;
        auto* dispatcher = new CDispatchThread(options, &sink);
        ASSERT_TRUE(dispatcher->start());
        auto* node = new TSubscriptionNode;
        node->host = kHost;
        node->category = "*";
        node->wmiNamespace = "root\\cimv2";
        node->eventType = "*";
        node->SetStage(New);
        ASSERT_EQ(0, dispatcher->AcceptSubscription(node));
        EXPECT_TRUE(Eventually(
            [&] {
                return dispatcher->BuildSubscriptionList() ==
                       "OK List Follows for 0 entries (0 unreachable):\r\n.\r\n";
            },
            10000))
            << dispatcher->BuildSubscriptionList();
        dispatcher->terminate();
        dispatcher->Wake();
        dispatcher->stop(10000);
        ASSERT_FALSE(dispatcher->hasAbandonedThread()) << "the shutdown waited for a lost node";
        delete dispatcher;
    }
}

}  // namespace
