// The state file of resume points on a real SQLite file: batching, the
// newest point per log, forgetting, and what survives a kill -9.
#include "engine/resumestore.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "tests/app/tempdir.h"
#include "tests/app/testglobals.h"

namespace {

const TResumeKey kKey{"127.0.0.2", "System", "3", ""};
const TResumeKey kOther{"127.0.0.2", "System", "3", "alice"};

// The stored point of key; the load must succeed.
TResumePoint Stored(CResumeStore& store, const TResumeKey& key) {
    TResumePoint point;
    std::string error;
    EXPECT_TRUE(store.Load(key, &point, &error)) << error;
    return point;
}

TLogPosition At(int64_t record) {
    return TLogPosition{static_cast<uint32_t>(record),
                        MicrosToDmtf(1700000000000000 + record * 1000)};
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
        TResumePoint point = Stored(store, kKey);
        EXPECT_EQ(point.since, "20261210170000.000000+000");
        ASSERT_EQ(point.logs.size(), 2u);
        EXPECT_EQ(point.logs["System"], At(500));
        EXPECT_EQ(point.logs["Application"], At(7));
        store.Update(kKey, "System", At(501));
    }  // closing writes what is still queued
    CResumeStore store;
    ASSERT_TRUE(store.Open(file, nullptr));
    TResumePoint point = Stored(store, kKey);
    EXPECT_EQ(point.logs["System"], At(501));
    EXPECT_EQ(Stored(store, kOther).logs["System"], At(3));
    EXPECT_TRUE(Stored(store, TResumeKey{"127.0.0.9", "System", "3", ""}).empty());
}

// Record numbers are unsigned 32-bit: one past 2^31 and one near 2^32 come
// back as written, and a file written when such a number was kept as its
// negative 32-bit reading is read as the number it stood for.
TEST(ResumeStore, RecordNumbersPast2To31RoundTrip) {
    TempDir dir;
    const std::string file = dir.File("state.db");
    {
        CResumeStore store;
        ASSERT_TRUE(store.Open(file, nullptr));
        store.Update(kKey, "System", At(2147483650));
        store.Update(kKey, "Security", At(4294967295));
        store.Update(kKey, "Application", At(9));
    }
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db,
                               "UPDATE positions SET record_number = -2147483646 WHERE "
                               "log_file = 'Application'",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        EXPECT_EQ(sqlite3_changes(db), 1);
        sqlite3_close(db);
    }
    CResumeStore store;
    ASSERT_TRUE(store.Open(file, nullptr));
    TResumePoint point = Stored(store, kKey);
    EXPECT_EQ(point.logs["System"].recordNumber, 2147483650u);
    EXPECT_EQ(point.logs["Security"].recordNumber, 4294967295u);
    EXPECT_EQ(point.logs["Application"].recordNumber, 2147483650u);
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
    EXPECT_TRUE(Stored(store, kKey).empty());
    // A new subscription with the same key after the DELETE.
    store.Update(kKey, "System", At(40));
    store.Forget(kOther);  // nothing stored: no harm
    TResumePoint point = Stored(store, kKey);
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
    EXPECT_EQ(Stored(store, kKey).logs["System"], At(20000));
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
    EXPECT_EQ(Stored(store, kKey).logs["System"], At(300));
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

// Runs the statements on a database file made outside the store.
void MakeDatabase(const std::string& file, const char* sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

// A file that is not a state file is refused with one line naming it and
// the reason, and the store stays closed; its content is left alone.
TEST(ResumeStore, RefusesAFileThatIsNotAStateFile) {
    TempDir dir;
    MakeDatabase(dir.File("other.db"), "CREATE TABLE accounts(name TEXT, balance INTEGER);");
    MakeDatabase(dir.File("columns.db"), "CREATE TABLE positions(host TEXT, record INTEGER);");
    // A state file whose pages were overwritten in the middle.
    MakeDatabase(dir.File("corrupt.db"),
                 "CREATE TABLE subscriptions(host TEXT NOT NULL, category TEXT NOT NULL, severity "
                 "TEXT NOT NULL, user TEXT NOT NULL, since TEXT NOT NULL, PRIMARY KEY(host, "
                 "category, severity, user));"
                 "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i < 2000) "
                 "INSERT INTO subscriptions SELECT 'h'||i, 'c', 's', 'u', 'since' FROM n;");
    {
        std::fstream corrupt(dir.File("corrupt.db"),
                             std::ios::in | std::ios::out | std::ios::binary);
        corrupt.seekp(4096 * 3);
        const std::string garbage(4096 * 4, '\x5a');
        corrupt.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
    }
    dir.Write("text.db", std::string(4096, 'x'));
    ASSERT_EQ(mkdir(dir.File("folder.db").c_str(), 0755), 0);
    const struct {
        std::string file;
        const char* reason;
    } cases[] = {
        {dir.File("text.db"), "not a database"},
        {dir.File("other.db"), "holds another schema (table 'accounts')"},
        {dir.File("columns.db"),
         "holds another schema (table 'positions' has columns host,record)"},
        {dir.File("corrupt.db"), "is corrupt ("},
        {dir.File("folder.db"), "cannot be opened for reading and writing: Is a directory"},
        {dir.File("missing/state.db"), "cannot be opened for reading and writing: No such file"},
    };
    for (const auto& c : cases) {
        CResumeStore store;
        std::string error;
        EXPECT_FALSE(store.Open(c.file, &error)) << c.file;
        EXPECT_EQ(error.rfind("state file '" + c.file + "' ", 0), 0u) << error;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.file << ": " << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        EXPECT_FALSE(store.IsOpen()) << c.file;
        TResumePoint point;
        EXPECT_FALSE(store.Load(kKey, &point, &error)) << c.file;
        EXPECT_TRUE(point.empty()) << c.file;
    }
    // The other program's table is still there.
    CResumeStore store;
    std::string error;
    EXPECT_FALSE(store.Open(dir.File("other.db"), &error));
    EXPECT_NE(error.find("accounts"), std::string::npos) << error;
}

// One process alone holds the file: a second one is refused with one line
// while the first runs, and takes it over once the first was killed.
TEST(ResumeStore, IsHeldByOneProcessAlone) {
    TempDir dir;
    const std::string file = dir.File("state.db");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CResumeStore store;
        if (!store.Open(file, nullptr)) _exit(3);
        store.Update(kKey, "System", At(7));
        if (!store.Flush()) _exit(4);
        char byte = 'x';
        if (write(ready[1], &byte, 1) != 1) _exit(5);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    {
        CResumeStore second;
        std::string error;
        EXPECT_FALSE(second.Open(file, &error));
        EXPECT_EQ(error, "state file '" + file + "' is used by another process");
    }
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    CResumeStore store;
    std::string error;
    ASSERT_TRUE(store.Open(file, &error)) << error;
    EXPECT_EQ(Stored(store, kKey).logs["System"], At(7));
    // Within one process too, a second store on the file is refused.
    CResumeStore again;
    EXPECT_FALSE(again.Open(file, &error));
}

// Counts the log's lines that contain a text.
class CountingSink : public CLogSink {
  public:
    explicit CountingSink(std::string text) : text(std::move(text)) {}
    void Write(const char* data, int length) override {
        if (std::string(data, static_cast<size_t>(length)).find(text) != std::string::npos) ++count;
    }
    std::atomic<int> count{0};

  private:
    std::string text;
};

// A disk that fills up (here the process's file size limit): writes fail,
// the failure reaches the caller (Flush, and Load, which would otherwise
// read rows older than what was handed in), one WARN says so and one says
// when writing works again; nothing handed in meanwhile is lost.
TEST(ResumeStore, AFullDiskIsReportedOnceEachWayAndLosesNothing) {
    TempDir dir;
    const std::string file = dir.File("state.db");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG instead
        TestGlobals globals;
        CountingSink failing("fails:"), works("works again");
        globals.StartLogger(dir, "INFO", &failing);
        g_logger->AddSink(&works);
        CResumeStore store;
        if (!store.Open(file, nullptr, 600000, 1000000)) _exit(3);
        store.Update(kKey, "System", At(1));
        if (!store.Flush()) _exit(4);
        rlimit limit{0, RLIM_INFINITY};
        getrlimit(RLIMIT_FSIZE, &limit);
        rlimit full = limit;
        full.rlim_cur = 0;
        if (setrlimit(RLIMIT_FSIZE, &full) != 0) _exit(5);
        for (int round = 0; round < 3; ++round) {
            for (int64_t r = 2; r <= 500; ++r) {
                store.Update(TResumeKey{"h" + std::to_string(r), "System", "*", ""}, "System",
                             At(r));
            }
            store.Update(kKey, "System", At(100 + round));
            std::string error;
            if (store.Flush(&error) || error.empty()) _exit(6);
        }
        if (!store.Failing()) _exit(7);
        TResumePoint point;
        std::string error;
        if (store.Load(kKey, &point, &error) || !point.empty()) _exit(8);
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(9);
        if (!store.Flush() || store.Failing()) _exit(10);
        if (!store.Load(kKey, &point, &error) || point.logs["System"] != At(102)) _exit(11);
        store.Close();
        const int counts = failing.count.load() * 10 + works.count.load();
        _exit(counts == 11 ? 0 : 20 + counts);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "3-11: a step failed; 20+10*failing+works: WARN counts";
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
