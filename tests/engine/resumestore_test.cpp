// The state file of resume points on a real SQLite file: batching, the
// newest point per log, forgetting, and what survives a kill -9.
#include "engine/resumestore.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/app/tempdir.h"

namespace {

const TResumeKey kKey{"127.0.0.2", "System", "3", ""};
const TResumeKey kOther{"127.0.0.2", "System", "3", "alice"};

TLogPosition At(int64_t record) {
    return TLogPosition{record, MicrosToDmtf(1700000000000000 + record * 1000)};
}

TEST(ResumeStore, KeepsTheNewestPointPerKeyAndLogAcrossReopening) {
    TempDir dir;
    const std::string file = dir.File("state.db");
    {
        CResumeStore store;
        std::string error;
        ASSERT_TRUE(store.Open(file, &error)) << error;
        store.SetSince(kKey, "20261210170000.000000+000");
        for (int64_t r = 1; r <= 500; ++r) store.Update(kKey, "System", At(r));
        store.Update(kKey, "Application", At(7));
        store.Update(kOther, "System", At(3));
        // Load sees what was queued before it, written or not.
        TResumePoint point = store.Load(kKey);
        EXPECT_EQ(point.since, "20261210170000.000000+000");
        ASSERT_EQ(point.logs.size(), 2u);
        EXPECT_EQ(point.logs["System"], At(500));
        EXPECT_EQ(point.logs["Application"], At(7));
        store.Update(kKey, "System", At(501));
    }  // closing writes what is still queued
    CResumeStore store;
    ASSERT_TRUE(store.Open(file, nullptr));
    TResumePoint point = store.Load(kKey);
    EXPECT_EQ(point.logs["System"], At(501));
    EXPECT_EQ(store.Load(kOther).logs["System"], At(3));
    EXPECT_TRUE(store.Load(TResumeKey{"127.0.0.9", "System", "3", ""}).empty());
}

TEST(ResumeStore, ForgetRemovesThePointAndLaterUpdatesStartAfresh) {
    TempDir dir;
    CResumeStore store;
    ASSERT_TRUE(store.Open(dir.File("state.db"), nullptr));
    store.SetSince(kKey, "20261210170000.000000+000");
    store.Update(kKey, "System", At(10));
    store.Update(kKey, "Application", At(11));
    ASSERT_TRUE(store.Flush());
    store.Update(kKey, "System", At(12));
    store.Forget(kKey);
    EXPECT_TRUE(store.Load(kKey).empty());
    // A new subscription with the same key after the DELETE.
    store.Update(kKey, "System", At(40));
    store.Forget(kOther);  // nothing stored: no harm
    TResumePoint point = store.Load(kKey);
    EXPECT_TRUE(point.since.empty());
    ASSERT_EQ(point.logs.size(), 1u);
    EXPECT_EQ(point.logs["System"], At(40));
}

// Updates go to disk in batches, not one transaction per record.
TEST(ResumeStore, WritesInBatches) {
    TempDir dir;
    CResumeStore store;
    ASSERT_TRUE(store.Open(dir.File("state.db"), nullptr, 50, 1000));
    for (int64_t r = 1; r <= 20000; ++r) store.Update(kKey, "System", At(r));
    ASSERT_TRUE(store.Flush());
    EXPECT_LE(store.BatchesWritten(), 25u);
    EXPECT_GE(store.BatchesWritten(), 1u);
    EXPECT_EQ(store.Load(kKey).logs["System"], At(20000));
}

// A process killed with SIGKILL keeps every batch that committed; what was
// queued after the last one is lost (those records are delivered again),
// and the file stays usable.
TEST(ResumeStore, SurvivesSigkillUpToTheLastBatch) {
    TempDir dir;
    const std::string file = dir.File("state.db");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CResumeStore store;
        // A long interval and a large batch: nothing goes out but by Flush.
        if (!store.Open(file, nullptr, 600000, 1000000)) _exit(3);
        for (int64_t r = 1; r <= 300; ++r) store.Update(kKey, "System", At(r));
        if (!store.Flush()) _exit(4);
        for (int64_t r = 301; r <= 400; ++r) store.Update(kKey, "System", At(r));
        char byte = 'x';
        if (write(ready[1], &byte, 1) != 1) _exit(5);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));

    CResumeStore store;
    std::string error;
    ASSERT_TRUE(store.Open(file, &error)) << error;
    EXPECT_EQ(store.Load(kKey).logs["System"], At(300));
}

// A single update reaches the disk within the interval, without a Flush.
TEST(ResumeStore, ALoneUpdateIsWrittenAfterTheInterval) {
    TempDir dir;
    CResumeStore store;
    ASSERT_TRUE(store.Open(dir.File("state.db"), nullptr, 20, 1000));
    store.Update(kKey, "System", At(9));
    for (int i = 0; i < 500 && store.BatchesWritten() == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(store.BatchesWritten(), 1u);
}

TEST(ResumeStore, RefusesAFileThatIsNoDatabase) {
    TempDir dir;
    const std::string file = dir.Write("state.db", std::string(4096, 'x'));
    CResumeStore store;
    std::string error;
    EXPECT_FALSE(store.Open(file, &error));
    EXPECT_NE(error.find("state.db"), std::string::npos) << error;
    EXPECT_FALSE(store.IsOpen());
    EXPECT_TRUE(store.Load(kKey).empty());
}

TEST(ResumePoint, DmtfTimesRoundTripAndHonourTheOffset) {
    int64_t micros = 0;
    ASSERT_TRUE(DmtfToMicros("20240101120000.250000+000", &micros));
    EXPECT_EQ(MicrosToDmtf(micros), "20240101120000.250000+000");
    int64_t east = 0;
    ASSERT_TRUE(DmtfToMicros("20240101140000.250000+120", &east));
    EXPECT_EQ(east, micros);
    // Not dates of the calendar: February 30, February 29 of a common year,
    // a sixtieth second (which WMI never writes).
    for (const char* bad :
         {"", "20240101120000", "2024010112000x.000000+000", "20241301120000.000000+000",
          "20240101120000.000000*000", "20240230120000.000000+000", "20230229120000.000000+000",
          "20240101120060.000000+000"}) {
        EXPECT_FALSE(DmtfToMicros(bad, &micros)) << bad;
    }
}

}  // namespace
