// The delivery ledger on a real state file: resume points move only over
// sends the output reported delivered, in the order they were made; a send
// not delivered holds the point until the output receives again and the
// subscription reads again from it.
#include "engine/deliveryledger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "engine/resumestore.h"
#include "tests/app/tempdir.h"

namespace {

const TResumeKey kKey{"127.0.0.2", "System", "*", ""};

TLogPosition At(int64_t record) {
    return TLogPosition{static_cast<uint32_t>(record),
                        MicrosToDmtf(1700000000000000 + record * 1000)};
}

std::map<std::string, TLogPosition> System(int64_t record) { return {{"System", At(record)}}; }

// An output that reports nothing by itself: the test settles marks by hand.
class ManualSink : public CBroadcastSink {
  public:
    void Deliver(const std::vector<TOutputItem>&, uint64_t) override {}
    void ReportDeliveryTo(CDeliveryReports* to) override { reports = to; }
    bool Receiving() override { return receiving.load(); }

    std::atomic<CDeliveryReports*> reports{nullptr};
    std::atomic<bool> receiving{true};
};

class LedgerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(store.Open(dir.File("state.db"), &error, 600000, 1000000)) << error;
        ledger = std::make_unique<CDeliveryLedger>(&sink, &store);
        track = ledger->Open(kKey, TResumePoint{"20261210170000.000000+000", {}});
    }

    // The System record number the state file holds.
    int64_t Stored() {
        TResumePoint point;
        std::string error;
        EXPECT_TRUE(store.Load(kKey, &point, &error)) << error;
        auto found = point.logs.find("System");
        return found == point.logs.end() ? 0 : found->second.recordNumber;
    }
    int64_t Delivered() {
        TResumePoint point = ledger->Delivered(track);
        auto found = point.logs.find("System");
        return found == point.logs.end() ? 0 : found->second.recordNumber;
    }

    TempDir dir;
    CResumeStore store;
    ManualSink sink;
    std::unique_ptr<CDeliveryLedger> ledger;
    TDeliveryTrackPtr track;
};

TEST_F(LedgerTest, RegistersWithTheSinkAndLeavesIt) {
    EXPECT_EQ(sink.reports.load(), ledger.get());
    ledger->Detach();
    EXPECT_EQ(sink.reports.load(), nullptr);
}

// Reports may come out of order (several clients, a broker's partitions):
// the point moves only over a run of settled sends from the oldest.
TEST_F(LedgerTest, MovesThePointInSendOrderWhateverTheReportOrder) {
    const uint64_t a = ledger->Sending(track, System(10));
    const uint64_t b = ledger->Sending(track, System(20));
    const uint64_t c = ledger->Sending(track, System(30));
    EXPECT_EQ(ledger->Sending(track, {}), 0u) << "nothing moved: no mark";
    ledger->Settled(c, true);
    ledger->Settled(b, true);
    EXPECT_EQ(Delivered(), 0);
    EXPECT_EQ(Stored(), 0);
    ledger->Settled(a, true);
    EXPECT_EQ(Delivered(), 30);
    EXPECT_EQ(Stored(), 30);
    ledger->Settled(a, true);  // a second report of a mark changes nothing
    EXPECT_EQ(ledger->Unsettled(), 0u);
}

// A send that went to nobody holds the point, even over later sends that
// arrived; once the output receives, the holder reads again from it, and
// reports of the sends before that rewind no longer count.
TEST_F(LedgerTest, AnUndeliveredSendHoldsThePointUntilARewind) {
    const uint64_t a = ledger->Sending(track, System(10));
    const uint64_t b = ledger->Sending(track, System(20));
    const uint64_t c = ledger->Sending(track, System(30));
    const uint64_t d = ledger->Sending(track, System(40));
    ledger->Settled(a, true);
    ledger->Settled(b, false);
    ledger->Settled(c, true);
    EXPECT_EQ(Delivered(), 10);

    TResumePoint point;
    sink.receiving = false;
    EXPECT_FALSE(ledger->TakeRewind(track, &point)) << "nobody receives: no re-reading yet";
    sink.receiving = true;
    ASSERT_TRUE(ledger->TakeRewind(track, &point));
    EXPECT_EQ(point.logs["System"].recordNumber, 10u);
    EXPECT_EQ(point.since, "20261210170000.000000+000");
    EXPECT_FALSE(ledger->TakeRewind(track, &point)) << "one rewind per loss";

    ledger->Settled(d, true);  // sent before the rewind
    EXPECT_EQ(Delivered(), 10);
    const uint64_t e = ledger->Sending(track, System(25));  // the re-read
    ledger->Settled(e, true);
    EXPECT_EQ(Delivered(), 25);
    EXPECT_EQ(Stored(), 25);
}

TEST_F(LedgerTest, AForgottenTrackWritesNothingMore) {
    const uint64_t a = ledger->Sending(track, System(10));
    ledger->Forget(track);
    ledger->Settled(a, true);
    TResumePoint point;
    std::string error;
    ASSERT_TRUE(store.Load(kKey, &point, &error)) << error;
    EXPECT_TRUE(point.empty());
    // A new subscription with the same key starts afresh.
    TDeliveryTrackPtr next = ledger->Open(kKey, TResumePoint{});
    ledger->Settled(ledger->Sending(next, System(3)), true);
    EXPECT_EQ(Stored(), 3);
}

TEST_F(LedgerTest, WaitSettledIsBoundedAndDetachEndsTheWait) {
    const uint64_t a = ledger->Sending(track, System(10));
    EXPECT_FALSE(ledger->WaitSettled(std::chrono::milliseconds(50)));
    std::thread reporter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ledger->Settled(a, true);
    });
    EXPECT_TRUE(ledger->WaitSettled(std::chrono::seconds(30)));
    reporter.join();
    EXPECT_EQ(Delivered(), 10);

    // After Detach no report arrives: a later send never moves the point.
    ledger->Sending(track, System(20));
    ledger->Detach();
    EXPECT_EQ(ledger->Unsettled(), 0u);
    EXPECT_EQ(Delivered(), 10);
    EXPECT_EQ(ledger->Sending(track, System(30)) != 0, true);
    EXPECT_EQ(Delivered(), 10);
}

// Many threads reporting at once (a worker per output, the senders): the
// point ends at the last send, written once every report is in.
TEST_F(LedgerTest, ConcurrentReportsEndAtTheLastSend) {
    constexpr int kSends = 2000;
    std::vector<uint64_t> marks;
    for (int i = 1; i <= kSends; ++i) marks.push_back(ledger->Sending(track, System(i)));
    std::vector<std::thread> reporters;
    for (int t = 0; t < 4; ++t) {
        reporters.emplace_back([&, t] {
            for (size_t i = static_cast<size_t>(t); i < marks.size(); i += 4) {
                ledger->Settled(marks[marks.size() - 1 - i], true);
            }
        });
    }
    for (std::thread& r : reporters) r.join();
    EXPECT_EQ(Delivered(), kSends);
    EXPECT_EQ(Stored(), kSends);
}

}  // namespace
