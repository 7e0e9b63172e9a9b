#include "engine/threadinfra.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

TSubscriptionNode* MakeNode(const std::string& host) {
    auto* node = new TSubscriptionNode;
    node->host = host;
    node->wmiNamespace = "root\\cimv2";
    node->category = "System";
    node->eventType = "3";
    return node;
}

// Counts destructions so a test can see that the queue frees what it holds.
struct CountedJob {
    static int alive;
    CountedJob() { ++alive; }
    ~CountedJob() { --alive; }
};
int CountedJob::alive = 0;

}  // namespace

TEST(CJobQueue, FreshQueueReturnsNoneAtOnceThenWaitsForTheTimeout) {
    CJobQueue<TSubscriptionNode> queue;
    // The initial signal ends the first wait at once.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(queue.TakeJob(5000), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(queue.TakeJob(50), nullptr);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));
}

TEST(CJobQueue, DrainsEveryJobInOrderAlthoughTheSignalHoldsOnlyOne) {
    CJobQueue<TSubscriptionNode> queue;
    queue.TakeJob(0);  // consume the initial signal
    TSubscriptionNode* a = MakeNode("a");
    TSubscriptionNode* b = MakeNode("b");
    TSubscriptionNode* c = MakeNode("c");
    queue.AddJob(a);
    queue.AddJob(b);
    queue.AddJob(c);
    EXPECT_EQ(queue.GetJobCount(), 3u);
    EXPECT_EQ(queue.TakeJob(10000), a);
    EXPECT_EQ(queue.TakeJob(10000), b);
    EXPECT_EQ(queue.TakeJob(10000), c);
    EXPECT_EQ(queue.GetJobCount(), 0u);
    // The pending signal left by the three raises ends the next wait at once.
    EXPECT_EQ(queue.TakeJob(10000), nullptr);
    delete a;
    delete b;
    delete c;
}

TEST(CJobQueue, WakesAWaitingTakerFromAnotherThread) {
    CJobQueue<TSubscriptionNode> queue;
    queue.TakeJob(0);
    TSubscriptionNode* node = MakeNode("h");
    std::thread producer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        queue.AddJob(node);
    });
    TSubscriptionNode* taken = nullptr;
    for (int i = 0; i < 100 && taken == nullptr; ++i) taken = queue.TakeJob(10000);
    producer.join();
    EXPECT_EQ(taken, node);
    delete taken;
}

TEST(CJobQueue, DestroyingTheQueueDestroysQueuedJobs) {
    {
        CJobQueue<CountedJob> queue;
        queue.AddJob(new CountedJob);
        queue.AddJob(new CountedJob);
        EXPECT_EQ(CountedJob::alive, 2);
    }
    EXPECT_EQ(CountedJob::alive, 0);
}

TEST(TSubscriptionNode, DescribeNamesHostNamespaceUserAndTypeButNeverCategoryOrPassword) {
    TSubscriptionNode node;
    node.host = "10.0.0.5";
    node.wmiNamespace = "root\\cimv2";
    node.category = "Security";
    node.eventType = "2";
    node.password = "s3cret";
    EXPECT_EQ(node.Describe(), "\\\\10.0.0.5\\root\\cimv2, user:, eventType:2");
    node.user = "CORP\\alice";
    node.reconnectTryNo = 3;
    EXPECT_EQ(node.Describe(),
              "\\\\10.0.0.5\\root\\cimv2, user:CORP\\alice, eventType:2, reconnectTryNo:3");
    EXPECT_EQ(node.Describe().find("s3cret"), std::string::npos);
    EXPECT_TRUE(node.SetStage(EventWait));
    EXPECT_EQ(node.stage, EventWait);
}

TEST(TSubscriptionNode, StageNamesAreTheListTexts) {
    const char* expected[8] = {"New",   "Connected", "Disconnected",         "EventWait",
                               "Error", "Completed", "Waiting To Reconnect", "Reconnecting"};
    for (int i = 0; i < 8; ++i) EXPECT_STREQ(g_stageNames[i], expected[i]) << i;
}
