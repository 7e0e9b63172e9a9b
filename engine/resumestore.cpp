#include "engine/resumestore.h"

#include <sqlite3.h>

#include <chrono>
#include <utility>
#include <vector>

#include "base/logger.h"

namespace {

const char* const kPragmas = R"sql(
PRAGMA journal_mode=WAL;
PRAGMA synchronous=FULL;
)sql";

const char* const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS subscriptions(
  host TEXT NOT NULL, category TEXT NOT NULL, severity TEXT NOT NULL, user TEXT NOT NULL,
  since TEXT NOT NULL,
  PRIMARY KEY(host, category, severity, user));
CREATE TABLE IF NOT EXISTS positions(
  host TEXT NOT NULL, category TEXT NOT NULL, severity TEXT NOT NULL, user TEXT NOT NULL,
  log_file TEXT NOT NULL, record_number INTEGER NOT NULL, time_written TEXT NOT NULL,
  PRIMARY KEY(host, category, severity, user, log_file));
)sql";

// The columns of each table of the state file, in order.
const std::map<std::string, std::string> kTables = {
    {"subscriptions", "host,category,severity,user,since"},
    {"positions", "host,category,severity,user,log_file,record_number,time_written"},
};

constexpr int kBusyTimeoutMs = 10000;

struct TStatementFinalizer {
    void operator()(sqlite3_stmt* st) const { sqlite3_finalize(st); }
};

// One prepared statement, owned, for the life of a call.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql) {
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) == SQLITE_OK) st.reset(raw);
    }

    explicit operator bool() const { return st != nullptr; }
    // Binds the key's four texts to ?1..?4.
    void BindKey(const TResumeKey& key) {
        Text(1, key.host);
        Text(2, key.category);
        Text(3, key.severity);
        Text(4, key.user);
    }
    void Text(int column, const std::string& text) {
        sqlite3_bind_text(st.get(), column, text.data(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT);
    }
    void Int(int column, int64_t value) { sqlite3_bind_int64(st.get(), column, value); }
    // One step of a statement that returns no rows, then ready for reuse.
    bool Run() {
        const bool ok = sqlite3_step(st.get()) == SQLITE_DONE;
        sqlite3_reset(st.get());
        sqlite3_clear_bindings(st.get());
        return ok;
    }
    // One step of a query: SQLITE_ROW, SQLITE_DONE or the error.
    int Step() { return sqlite3_step(st.get()); }
    sqlite3_stmt* get() { return st.get(); }

  private:
    std::unique_ptr<sqlite3_stmt, TStatementFinalizer> st;
};

std::string ColumnText(sqlite3_stmt* st, int column) {
    const unsigned char* p = sqlite3_column_text(st, column);
    return p ? std::string(reinterpret_cast<const char*>(p),
                           static_cast<size_t>(sqlite3_column_bytes(st, column)))
             : std::string();
}

// Empty when the database holds only the state file's tables (or none yet);
// otherwise why it is not a state file. SQLite's own reason when it cannot
// read the file (not a database, corrupt).
std::string CheckSchema(sqlite3* db) {
    Statement tables(db, "SELECT name FROM sqlite_master WHERE type='table'");
    if (!tables) return sqlite3_errmsg(db);
    int rc;
    std::vector<std::string> names;
    while ((rc = tables.Step()) == SQLITE_ROW) names.push_back(ColumnText(tables.get(), 0));
    if (rc != SQLITE_DONE) return sqlite3_errmsg(db);
    for (const std::string& name : names) {
        auto expected = kTables.find(name);
        if (expected == kTables.end()) return "holds another schema (table '" + name + "')";
        Statement columns(db, ("PRAGMA table_info(" + name + ")").c_str());
        if (!columns) return sqlite3_errmsg(db);
        std::string list;
        while ((rc = columns.Step()) == SQLITE_ROW) {
            if (!list.empty()) list += ',';
            list += ColumnText(columns.get(), 1);
        }
        if (rc != SQLITE_DONE) return sqlite3_errmsg(db);
        if (list != expected->second) {
            return "holds another schema (table '" + name + "' has columns " + list + ")";
        }
    }
    Statement check(db, "PRAGMA quick_check");
    if (!check) return sqlite3_errmsg(db);
    rc = check.Step();
    if (rc != SQLITE_ROW) return sqlite3_errmsg(db);
    std::string verdict = ColumnText(check.get(), 0);
    if (verdict == "ok") return std::string();
    // SQLite's findings, one per line: one line of the log for them all.
    for (char& c : verdict) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return "is corrupt (" + verdict + ")";
}

}  // namespace

void TSqliteCloser::operator()(sqlite3* db) const { sqlite3_close_v2(db); }

CResumeStore::~CResumeStore() { Close(); }

bool CResumeStore::Open(const std::string& file, std::string* error, int flushIntervalMs,
                        size_t batchUpdates) {
    Close();
    platform::MutexLock guard(dbLock);
    std::string reason;
    // Held before SQLite touches the file, so that a second listener never
    // writes into it, not even its journal mode.
    if (!hold.Acquire(file, &reason)) return RefuseLocked(file, error, reason);
    sqlite3* handle = nullptr;
    int rc = sqlite3_open_v2(file.c_str(), &handle, SQLITE_OPEN_READWRITE, nullptr);
    db.reset(handle);
    if (rc != SQLITE_OK) {
        return RefuseLocked(file, error,
                            std::string("cannot be opened: ") +
                                (handle != nullptr ? sqlite3_errmsg(handle) : "out of memory"));
    }
    sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
    reason = CheckSchema(db.get());
    if (!reason.empty()) {
        // SQLite's reasons ("file is not a database") read as a sentence of
        // their own.
        return RefuseLocked(file, error,
                            reason.rfind("holds ", 0) == 0 || reason.rfind("is ", 0) == 0
                                ? reason
                                : "cannot be read: " + reason);
    }
    if (sqlite3_exec(db.get(), kPragmas, nullptr, nullptr, nullptr) != SQLITE_OK ||
        sqlite3_exec(db.get(), kSchema, nullptr, nullptr, nullptr) != SQLITE_OK) {
        return RefuseLocked(file, error,
                            std::string("cannot be written: ") + sqlite3_errmsg(db.get()));
    }
    path = file;
    failing = false;
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

bool CResumeStore::RefuseLocked(const std::string& file, std::string* error,
                                const std::string& reason) {
    if (error != nullptr) *error = "state file '" + file + "' " + reason;
    db.reset();
    hold.Release();
    return false;
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
    std::string error;
    if (!FlushLocked(&error)) {
        LOG(WARN, "[resume] Could not write the last resume points to %s: %s", path.c_str(),
            error.c_str());
    }
    db.reset();
    hold.Release();
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

bool CResumeStore::Flush(std::string* error) {
    platform::MutexLock guard(dbLock);
    std::string reason;
    const bool ok = FlushLocked(&reason);
    if (!ok && error != nullptr) *error = reason;
    return ok;
}

bool CResumeStore::Failing() const {
    platform::MutexLock guard(dbLock);
    return failing;
}

void CResumeStore::NoteWrite(bool ok, const std::string& error) {
    if (ok == !failing) return;
    failing = !ok;
    if (failing) {
        LOG(WARN, "[resume] Writing resume points to %s fails: %s (they are kept and tried again)",
            path.c_str(), error.c_str());
    } else {
        LOG(WARN, "[resume] Writing resume points to %s works again", path.c_str());
    }
}

uint64_t CResumeStore::BatchesWritten() {
    platform::MutexLock guard(dbLock);
    return batches;
}

bool CResumeStore::FlushLocked(std::string* error) {
    if (db == nullptr) {
        *error = "the state file is not open";
        return false;
    }
    std::map<TResumeKey, TPending> batch;
    {
        platform::MutexLock guard(pendingLock);
        batch.swap(pending);
        pendingUpdates = 0;
    }
    if (batch.empty()) return true;
    const bool written = WriteBatch(batch, error);
    NoteWrite(written, *error);
    if (written) return true;
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

bool CResumeStore::WriteBatch(std::map<TResumeKey, TPending>& batch, std::string* error) {
    sqlite3* handle = db.get();
    if (sqlite3_exec(handle, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
        *error = sqlite3_errmsg(handle);
        return false;
    }
    Statement forgetSubscription(
        handle,
        "DELETE FROM subscriptions WHERE host=?1 AND category=?2 AND severity=?3 AND user=?4");
    Statement forgetPositions(
        handle, "DELETE FROM positions WHERE host=?1 AND category=?2 AND severity=?3 AND user=?4");
    Statement since(handle,
                    "INSERT OR REPLACE INTO subscriptions(host, category, severity, user, since) "
                    "VALUES (?1, ?2, ?3, ?4, ?5)");
    Statement position(handle,
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
    if (ok && sqlite3_exec(handle, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) {
        ++batches;
        return true;
    }
    *error = sqlite3_errmsg(handle);
    sqlite3_exec(handle, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
}

bool CResumeStore::Load(const TResumeKey& key, TResumePoint* point, std::string* error) {
    platform::MutexLock guard(dbLock);
    *point = TResumePoint();
    std::string reason;
    // Rows read past a batch that could not be written would be older than
    // the points queued for the key.
    if (!FlushLocked(&reason)) {
        *error = "queued resume points could not be written: " + reason;
        return false;
    }
    sqlite3* handle = db.get();
    Statement since(handle,
                    "SELECT since FROM subscriptions WHERE host=?1 AND category=?2 AND "
                    "severity=?3 AND user=?4");
    Statement positions(handle,
                        "SELECT log_file, record_number, time_written FROM positions WHERE "
                        "host=?1 AND category=?2 AND severity=?3 AND user=?4");
    auto failed = [&] {
        *error = std::string("the state file could not be read: ") + sqlite3_errmsg(handle);
        *point = TResumePoint();
        return false;
    };
    if (!since || !positions) return failed();
    since.BindKey(key);
    int rc = since.Step();
    if (rc == SQLITE_ROW) {
        point->since = ColumnText(since.get(), 0);
    } else if (rc != SQLITE_DONE) {
        return failed();
    }
    positions.BindKey(key);
    while ((rc = positions.Step()) == SQLITE_ROW) {
        TLogPosition& p = point->logs[ColumnText(positions.get(), 0)];
        // A file written before numbers were read as unsigned may hold a
        // number past 2^31 as its negative 32-bit reading: the cast restores it.
        p.recordNumber = static_cast<uint32_t>(sqlite3_column_int64(positions.get(), 1));
        p.timeWritten = ColumnText(positions.get(), 2);
    }
    if (rc != SQLITE_DONE) return failed();
    return true;
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
            std::string error;  // logged by NoteWrite when writing starts failing
            written = FlushLocked(&error);
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
