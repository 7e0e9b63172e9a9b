#include "engine/resumestore.h"

#include <sqlite3.h>

#include <chrono>
#include <utility>
#include <vector>

#include "base/logger.h"

namespace {

const char* const kSchema = R"sql(
PRAGMA journal_mode=WAL;
PRAGMA synchronous=FULL;
CREATE TABLE IF NOT EXISTS subscriptions(
  host TEXT NOT NULL, category TEXT NOT NULL, severity TEXT NOT NULL, user TEXT NOT NULL,
  since TEXT NOT NULL,
  PRIMARY KEY(host, category, severity, user));
CREATE TABLE IF NOT EXISTS positions(
  host TEXT NOT NULL, category TEXT NOT NULL, severity TEXT NOT NULL, user TEXT NOT NULL,
  log_file TEXT NOT NULL, record_number INTEGER NOT NULL, time_written TEXT NOT NULL,
  PRIMARY KEY(host, category, severity, user, log_file));
)sql";

constexpr int kBusyTimeoutMs = 10000;

// One prepared statement for the life of a call.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) st = nullptr;
    }
    ~Statement() { sqlite3_finalize(st); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    explicit operator bool() const { return st != nullptr; }
    // Binds the key's four texts to ?1..?4.
    void BindKey(const TResumeKey& key) {
        Text(1, key.host);
        Text(2, key.category);
        Text(3, key.severity);
        Text(4, key.user);
    }
    void Text(int column, const std::string& text) {
        sqlite3_bind_text(st, column, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    void Int(int column, int64_t value) { sqlite3_bind_int64(st, column, value); }
    // One step of a statement that returns no rows, then ready for reuse.
    bool Run() {
        const bool ok = sqlite3_step(st) == SQLITE_DONE;
        sqlite3_reset(st);
        sqlite3_clear_bindings(st);
        return ok;
    }
    sqlite3_stmt* get() { return st; }

  private:
    sqlite3_stmt* st = nullptr;
};

std::string ColumnText(sqlite3_stmt* st, int column) {
    const unsigned char* p = sqlite3_column_text(st, column);
    return p ? std::string(reinterpret_cast<const char*>(p),
                           static_cast<size_t>(sqlite3_column_bytes(st, column)))
             : std::string();
}

}  // namespace

CResumeStore::~CResumeStore() { Close(); }

bool CResumeStore::Open(const std::string& path, std::string* error, int flushIntervalMs,
                        size_t batchUpdates) {
    Close();
    platform::MutexLock guard(dbLock);
    sqlite3* handle = nullptr;
    int rc =
        sqlite3_open_v2(path.c_str(), &handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_busy_timeout(handle, kBusyTimeoutMs);
        rc = sqlite3_exec(handle, kSchema, nullptr, nullptr, nullptr);
    }
    if (rc != SQLITE_OK) {
        if (error != nullptr) {
            *error = "state file '" + path +
                     "': " + (handle != nullptr ? sqlite3_errmsg(handle) : "out of memory");
        }
        sqlite3_close_v2(handle);
        return false;
    }
    db = handle;
    {
        platform::MutexLock pendingGuard(pendingLock);
        open = true;
        stopping = false;
        flushInterval = flushIntervalMs < 1 ? 1 : flushIntervalMs;
        batchSize = batchUpdates < 1 ? 1 : batchUpdates;
    }
    writer = std::thread([this] { WriterLoop(); });
    return true;
}

void CResumeStore::Close() {
    {
        platform::MutexLock guard(pendingLock);
        if (!open) return;
        stopping = true;
        pendingChanged.notifyAll();
    }
    if (writer.joinable()) writer.join();
    platform::MutexLock guard(dbLock);
    if (!FlushLocked()) LOG(WARN, "[resume] could not write the last resume points");
    sqlite3_close_v2(db);
    db = nullptr;
    platform::MutexLock pendingGuard(pendingLock);
    open = false;
    pending.clear();
    pendingUpdates = 0;
}

bool CResumeStore::IsOpen() const {
    platform::MutexLock guard(pendingLock);
    return open;
}

void CResumeStore::Update(const TResumeKey& key, const std::string& logFile,
                          const TLogPosition& position) {
    platform::MutexLock guard(pendingLock);
    if (!open) return;
    pending[key].logs[logFile] = position;
    Queued();
}

void CResumeStore::SetSince(const TResumeKey& key, const std::string& since) {
    platform::MutexLock guard(pendingLock);
    if (!open) return;
    pending[key].since = since;
    Queued();
}

void CResumeStore::Queued() {
    // The writer wakes for the first update (to start the interval) and
    // for a full batch.
    if (++pendingUpdates == 1 || pendingUpdates >= batchSize) pendingChanged.notifyAll();
}

void CResumeStore::Forget(const TResumeKey& key) {
    platform::MutexLock guard(pendingLock);
    if (!open) return;
    TPending& entry = pending[key];
    entry = TPending();
    entry.forget = true;
    ++pendingUpdates;
    pendingChanged.notifyAll();
}

bool CResumeStore::Flush() {
    platform::MutexLock guard(dbLock);
    return FlushLocked();
}

uint64_t CResumeStore::BatchesWritten() {
    platform::MutexLock guard(dbLock);
    return batches;
}

bool CResumeStore::FlushLocked() {
    if (db == nullptr) return false;
    std::map<TResumeKey, TPending> batch;
    {
        platform::MutexLock guard(pendingLock);
        batch.swap(pending);
        pendingUpdates = 0;
    }
    if (batch.empty()) return true;
    if (WriteBatch(batch)) return true;
    // Put the batch back under what was queued meanwhile (which is newer).
    platform::MutexLock guard(pendingLock);
    for (auto& [key, older] : batch) {
        auto found = pending.find(key);
        if (found == pending.end()) {
            pending.emplace(key, std::move(older));
            ++pendingUpdates;
            continue;
        }
        TPending& newer = found->second;
        if (newer.forget) continue;
        newer.forget = older.forget;
        if (newer.since.empty()) newer.since = older.since;
        newer.logs.insert(older.logs.begin(), older.logs.end());  // keeps the newer ones
    }
    return false;
}

bool CResumeStore::WriteBatch(std::map<TResumeKey, TPending>& batch) {
    if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
        LOG(WARN, "[resume] state file busy: %s", sqlite3_errmsg(db));
        return false;
    }
    Statement forgetSubscription(
        db, "DELETE FROM subscriptions WHERE host=?1 AND category=?2 AND severity=?3 AND user=?4");
    Statement forgetPositions(
        db, "DELETE FROM positions WHERE host=?1 AND category=?2 AND severity=?3 AND user=?4");
    Statement since(db,
                    "INSERT OR REPLACE INTO subscriptions(host, category, severity, user, since) "
                    "VALUES (?1, ?2, ?3, ?4, ?5)");
    Statement position(db,
                       "INSERT OR REPLACE INTO positions(host, category, severity, user, "
                       "log_file, record_number, time_written) VALUES (?1, ?2, ?3, ?4, ?5, ?6, "
                       "?7)");
    bool ok = forgetSubscription && forgetPositions && since && position;
    for (auto it = batch.begin(); ok && it != batch.end(); ++it) {
        const TResumeKey& key = it->first;
        const TPending& entry = it->second;
        if (entry.forget) {
            forgetSubscription.BindKey(key);
            forgetPositions.BindKey(key);
            ok = forgetSubscription.Run() && forgetPositions.Run();
        }
        if (ok && !entry.since.empty()) {
            since.BindKey(key);
            since.Text(5, entry.since);
            ok = since.Run();
        }
        for (auto log = entry.logs.begin(); ok && log != entry.logs.end(); ++log) {
            position.BindKey(key);
            position.Text(5, log->first);
            position.Int(6, log->second.recordNumber);
            position.Text(7, log->second.timeWritten);
            ok = position.Run();
        }
    }
    if (ok && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) {
        ++batches;
        return true;
    }
    LOG(WARN, "[resume] could not write resume points: %s", sqlite3_errmsg(db));
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
}

TResumePoint CResumeStore::Load(const TResumeKey& key) {
    platform::MutexLock guard(dbLock);
    TResumePoint point;
    if (!FlushLocked() && db == nullptr) return point;
    Statement since(db,
                    "SELECT since FROM subscriptions WHERE host=?1 AND category=?2 AND "
                    "severity=?3 AND user=?4");
    Statement positions(db,
                        "SELECT log_file, record_number, time_written FROM positions WHERE "
                        "host=?1 AND category=?2 AND severity=?3 AND user=?4");
    if (!since || !positions) return point;
    since.BindKey(key);
    if (sqlite3_step(since.get()) == SQLITE_ROW) point.since = ColumnText(since.get(), 0);
    positions.BindKey(key);
    while (sqlite3_step(positions.get()) == SQLITE_ROW) {
        TLogPosition& p = point.logs[ColumnText(positions.get(), 0)];
        // A file written before numbers were read as unsigned may hold a
        // number past 2^31 as its negative 32-bit reading: the cast restores it.
        p.recordNumber = static_cast<uint32_t>(sqlite3_column_int64(positions.get(), 1));
        p.timeWritten = ColumnText(positions.get(), 2);
    }
    return point;
}

void CResumeStore::WriterLoop() {
    for (;;) {
        bool stop;
        {
            platform::MutexLock guard(pendingLock);
            // Wait for the first update, then up to the interval for a batch
            // to fill.
            while (!stopping && pendingUpdates == 0) pendingChanged.wait();
            const auto deadline =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(flushInterval);
            while (!stopping && pendingUpdates < batchSize) {
                if (!pendingChanged.waitUntil(deadline) &&
                    std::chrono::steady_clock::now() >= deadline) {
                    break;
                }
            }
            stop = stopping;
        }
        if (stop) return;  // Close writes the rest
        bool written;
        {
            platform::MutexLock guard(dbLock);
            written = FlushLocked();
        }
        if (!written) {
            // The database failed: try again after an interval, not at once.
            platform::MutexLock guard(pendingLock);
            const auto retry =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(flushInterval);
            while (!stopping && pendingChanged.waitUntil(retry)) {
            }
        }
    }
}
