#include "wmi/sim/simstore.h"

#include <sqlite3.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <map>
#include <memory>
#include <utility>

namespace wmi::sim {

const char* EventTypeText(int eventType) {
    switch (eventType) {
        case 1:
            return "Error";
        case 2:
            return "Warning";
        case 3:
            return "Information";
        case 4:
            return "Audit Success";
        case 5:
            return "Audit Failure";
        default:
            return "";
    }
}

namespace {

// Milliseconds a connection waits for another process's write lock before a
// statement fails with "database is locked".
constexpr int kBusyTimeoutMs = 10000;

const char* const kCreateSchema = R"sql(
CREATE TABLE schema_version(version INTEGER NOT NULL);
CREATE TABLE hosts(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  name TEXT NOT NULL UNIQUE,
  computer_name TEXT NOT NULL,
  up INTEGER NOT NULL,
  user TEXT,
  password TEXT);
CREATE TABLE events(
  host_id INTEGER NOT NULL REFERENCES hosts(id) ON DELETE CASCADE,
  record_number INTEGER NOT NULL,
  log_file TEXT NOT NULL,
  event_code INTEGER NOT NULL,
  event_identifier INTEGER NOT NULL,
  event_type INTEGER NOT NULL,
  type_text TEXT NOT NULL,
  source_name TEXT NOT NULL,
  time_generated INTEGER NOT NULL,
  time_written INTEGER NOT NULL,
  insertion_strings BLOB,
  message TEXT,
  category INTEGER NOT NULL,
  category_string TEXT NOT NULL,
  user TEXT,
  computer_name TEXT NOT NULL,
  event_record_id INTEGER NOT NULL DEFAULT 0,
  channel_fields BLOB,
  event_data BLOB,
  user_data TEXT,
  PRIMARY KEY(host_id, record_number));
CREATE INDEX events_by_time ON events(host_id, time_generated, record_number);
CREATE INDEX events_by_log ON events(host_id, log_file, event_record_id);
)sql";

// kUpgradeSteps[v - 1] turns a version-v store into version v + 1.
const std::array<const char*, SimStore::kSchemaVersion - 1> kUpgradeSteps = {
    // 1 -> 2: channel fields. Records of a version-1 store keep their record
    // number as their EventRecordID.
    R"sql(
ALTER TABLE events ADD COLUMN event_record_id INTEGER NOT NULL DEFAULT 0;
ALTER TABLE events ADD COLUMN channel_fields BLOB;
ALTER TABLE events ADD COLUMN event_data BLOB;
ALTER TABLE events ADD COLUMN user_data TEXT;
UPDATE events SET event_record_id = record_number;
CREATE INDEX events_by_log ON events(host_id, log_file, event_record_id);
)sql",
};

const char* const kEventColumns =
    "record_number, log_file, event_code, event_identifier, event_type, type_text, "
    "source_name, time_generated, time_written, insertion_strings, message, category, "
    "category_string, user, computer_name, event_record_id, channel_fields, event_data, "
    "user_data";

// Insertion strings are stored as one blob: per string a 4-byte
// little-endian length, then its bytes. NULL means "none"; a zero-length
// blob is the empty list.
std::string EncodeStrings(const std::vector<std::string>& list) {
    std::string out;
    for (const std::string& s : list) {
        const uint32_t n = static_cast<uint32_t>(s.size());
        for (int i = 0; i < 4; ++i) {
            out.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
        }
        out += s;
    }
    return out;
}

bool DecodeStrings(const unsigned char* p, size_t size, std::vector<std::string>& list) {
    list.clear();
    size_t pos = 0;
    while (pos < size) {
        if (size - pos < 4) {
            return false;
        }
        uint32_t n = 0;
        for (int i = 0; i < 4; ++i) {
            n |= static_cast<uint32_t>(p[pos + i]) << (8 * i);
        }
        pos += 4;
        if (size - pos < n) {
            return false;
        }
        list.emplace_back(reinterpret_cast<const char*>(p) + pos, n);
        pos += n;
    }
    return true;
}

// The channel's numeric and text system fields as one blob, in the strings
// codec above: provider name, provider GUID, activity id, then version,
// level, task, opcode, keywords, process id and thread id as decimal text.
std::string EncodeChannelFields(const SimChannelFields& c) {
    return EncodeStrings({c.providerName, c.providerGuid, c.activityId, std::to_string(c.version),
                          std::to_string(c.level), std::to_string(c.task), std::to_string(c.opcode),
                          std::to_string(c.keywords), std::to_string(c.processId),
                          std::to_string(c.threadId)});
}

bool DecodeChannelFields(const unsigned char* p, size_t size, SimChannelFields& c) {
    std::vector<std::string> f;
    if (!DecodeStrings(p, size, f) || f.size() != 10) {
        return false;
    }
    c.providerName = f[0];
    c.providerGuid = f[1];
    c.activityId = f[2];
    uint64_t n[7];
    for (size_t i = 0; i < 7; ++i) {
        const std::string& t = f[3 + i];
        char* end = nullptr;
        errno = 0;
        n[i] = std::strtoull(t.c_str(), &end, 10);
        if (t.empty() || *end != '\0' || errno != 0) {
            return false;
        }
    }
    c.version = static_cast<uint32_t>(n[0]);
    c.level = static_cast<uint32_t>(n[1]);
    c.task = static_cast<uint32_t>(n[2]);
    c.opcode = static_cast<uint32_t>(n[3]);
    c.keywords = n[4];
    c.processId = static_cast<uint32_t>(n[5]);
    c.threadId = static_cast<uint32_t>(n[6]);
    return true;
}

// EventData as name, value, name, value, ... in the strings codec.
std::string EncodeData(const std::vector<SimDataValue>& data) {
    std::vector<std::string> flat;
    flat.reserve(data.size() * 2);
    for (const SimDataValue& v : data) {
        flat.push_back(v.name);
        flat.push_back(v.value);
    }
    return EncodeStrings(flat);
}

bool DecodeData(const unsigned char* p, size_t size, std::vector<SimDataValue>& data) {
    std::vector<std::string> flat;
    if (!DecodeStrings(p, size, flat) || flat.size() % 2 != 0) {
        return false;
    }
    data.clear();
    for (size_t i = 0; i < flat.size(); i += 2) {
        data.push_back({std::move(flat[i]), std::move(flat[i + 1])});
    }
    return true;
}

const unsigned char* ColumnBlob(sqlite3_stmt* st, int col, size_t& size) {
    size = static_cast<size_t>(sqlite3_column_bytes(st, col));
    return static_cast<const unsigned char*>(sqlite3_column_blob(st, col));
}

// Binds `blob` as a blob (an explicit empty one when it is empty: a null
// pointer would read back as NULL).
int BindBlob(sqlite3_stmt* st, int col, const std::string& blob) {
    return blob.empty() ? sqlite3_bind_zeroblob(st, col, 0)
                        : sqlite3_bind_blob(st, col, blob.data(), static_cast<int>(blob.size()),
                                            SQLITE_TRANSIENT);
}

std::string ColumnText(sqlite3_stmt* st, int col) {
    const unsigned char* p = sqlite3_column_text(st, col);
    return p ? std::string(reinterpret_cast<const char*>(p),
                           static_cast<size_t>(sqlite3_column_bytes(st, col)))
             : std::string();
}

std::optional<std::string> ColumnOptText(sqlite3_stmt* st, int col) {
    if (sqlite3_column_type(st, col) == SQLITE_NULL) {
        return std::nullopt;
    }
    return ColumnText(st, col);
}

int BindText(sqlite3_stmt* st, int col, const std::string& s) {
    return sqlite3_bind_text(st, col, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
}

int BindOptText(sqlite3_stmt* st, int col, const std::optional<std::string>& s) {
    return s ? BindText(st, col, *s) : sqlite3_bind_null(st, col);
}

sqlite3_int64 LimitValue(size_t limit) {
    return limit > static_cast<size_t>(std::numeric_limits<sqlite3_int64>::max())
               ? -1
               : static_cast<sqlite3_int64>(limit);
}

void SetError(std::string* error, std::string text) {
    if (error) {
        *error = std::move(text);
    }
}

// A prepared statement, finalized by its owner.
struct StatementFinalize {
    void operator()(sqlite3_stmt* st) const { sqlite3_finalize(st); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalize>;

// A one-off statement of `sql` on `db`; null when it cannot be prepared.
Statement PrepareOnce(sqlite3* db, const char* sql) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) {
        sqlite3_finalize(st);
        return nullptr;
    }
    return Statement(st);
}

// Resets a statement (and drops its bindings) when the scope ends, so that no
// statement keeps a read transaction open between calls.
class StatementScope {
  public:
    explicit StatementScope(sqlite3_stmt* st) : st(st) {}
    ~StatementScope() {
        sqlite3_reset(st);
        sqlite3_clear_bindings(st);
    }
    StatementScope(const StatementScope&) = delete;
    StatementScope& operator=(const StatementScope&) = delete;

  private:
    sqlite3_stmt* st;
};

}  // namespace

// The connection and its prepared statements. Only touched under
// SimStore::lock.
class SimStore::Impl {
  public:
    ~Impl() {
        statements.clear();  // finalized before the connection closes
        sqlite3_close_v2(db);
    }

    sqlite3* db = nullptr;
    std::string path;
    // Owns every prepared statement; the names below borrow them.
    std::vector<Statement> statements;

    sqlite3_stmt* hostId = nullptr;
    sqlite3_stmt* hostGet = nullptr;
    sqlite3_stmt* hostList = nullptr;
    sqlite3_stmt* hostInsert = nullptr;
    sqlite3_stmt* hostSetUp = nullptr;
    sqlite3_stmt* hostDelete = nullptr;
    sqlite3_stmt* eventsDelete = nullptr;
    sqlite3_stmt* logDelete = nullptr;
    sqlite3_stmt* maxRecord = nullptr;
    sqlite3_stmt* countRecords = nullptr;
    sqlite3_stmt* eventInsert = nullptr;
    sqlite3_stmt* eventsAfter = nullptr;
    sqlite3_stmt* eventsBetween = nullptr;
    sqlite3_stmt* logEventsAfter = nullptr;
    sqlite3_stmt* maxRecordId = nullptr;

    // "store 'PATH': WHAT: sqlite's message".
    std::string dbError(const std::string& what) const {
        return "store '" + path + "': " + what + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
    }

    bool exec(const char* sql, std::string* error, const char* what) {
        if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
            SetError(error, dbError(what));
            return false;
        }
        return true;
    }

    bool prepare(const std::string& sql, sqlite3_stmt*& st, std::string* error) {
        sqlite3_stmt* made = nullptr;
        const int rc =
            sqlite3_prepare_v3(db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &made, nullptr);
        Statement owned(made);
        if (rc != SQLITE_OK) {
            SetError(error, dbError("cannot prepare statement"));
            return false;
        }
        st = made;
        statements.push_back(std::move(owned));
        return true;
    }

    bool prepareAll(std::string* error) {
        const std::string cols = kEventColumns;
        return prepare("SELECT id FROM hosts WHERE name = ?1", hostId, error) &&
               prepare("SELECT name, computer_name, up, user, password FROM hosts WHERE name = ?1",
                       hostGet, error) &&
               prepare("SELECT name, computer_name, up, user, password FROM hosts ORDER BY name",
                       hostList, error) &&
               prepare(
                   "INSERT INTO hosts(name, computer_name, up, user, password) "
                   "VALUES (?1, ?2, ?3, ?4, ?5)",
                   hostInsert, error) &&
               prepare("UPDATE hosts SET up = ?2 WHERE name = ?1", hostSetUp, error) &&
               prepare("DELETE FROM hosts WHERE id = ?1", hostDelete, error) &&
               prepare("DELETE FROM events WHERE host_id = ?1", eventsDelete, error) &&
               prepare("DELETE FROM events WHERE host_id = ?1 AND log_file = ?2", logDelete,
                       error) &&
               prepare("SELECT COALESCE(MAX(record_number), 0) FROM events WHERE host_id = ?1",
                       maxRecord, error) &&
               prepare("SELECT COUNT(*) FROM events WHERE host_id = ?1", countRecords, error) &&
               prepare("INSERT INTO events(host_id, " + cols +
                           ") VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, "
                           "?14, ?15, ?16, ?17, ?18, ?19, ?20)",
                       eventInsert, error) &&
               prepare("SELECT " + cols +
                           " FROM events WHERE host_id = ?1 AND record_number > ?2 "
                           "ORDER BY record_number LIMIT ?3",
                       eventsAfter, error) &&
               prepare("SELECT " + cols +
                           " FROM events WHERE host_id = ?1 AND time_generated >= ?2 AND "
                           "time_generated <= ?3 AND record_number > ?4 "
                           "ORDER BY record_number LIMIT ?5",
                       eventsBetween, error) &&
               prepare("SELECT " + cols +
                           " FROM events WHERE host_id = ?1 AND log_file = ?2 AND "
                           "event_record_id > ?3 ORDER BY event_record_id LIMIT ?4",
                       logEventsAfter, error) &&
               prepare(
                   "SELECT COALESCE(MAX(event_record_id), 0) FROM events WHERE host_id = ?1 "
                   "AND log_file = ?2",
                   maxRecordId, error);
    }

    // Looks the host up: Ok with its id, NotFound, or Failed.
    SimResult findHost(const std::string& name, int64_t& id, std::string* error) {
        StatementScope scope(hostId);
        BindText(hostId, 1, name);
        const int rc = sqlite3_step(hostId);
        if (rc == SQLITE_ROW) {
            id = sqlite3_column_int64(hostId, 0);
            return SimResult::Ok;
        }
        if (rc == SQLITE_DONE) {
            SetError(error, "unknown host '" + name + "'");
            return SimResult::NotFound;
        }
        SetError(error, dbError("cannot look up host '" + name + "'"));
        return SimResult::Failed;
    }

    SimResult singleInt(sqlite3_stmt* st, int64_t hostIdValue, int64_t& value, std::string* error,
                        const char* what) {
        StatementScope scope(st);
        sqlite3_bind_int64(st, 1, hostIdValue);
        if (sqlite3_step(st) != SQLITE_ROW) {
            SetError(error, dbError(what));
            return SimResult::Failed;
        }
        value = sqlite3_column_int64(st, 0);
        return SimResult::Ok;
    }

    // The one number `st` gives for the host named `host` (bound as ?1 by
    // id): NotFound or Failed as findHost says, Failed with `what` when the
    // query gives no row.
    SimResult hostInt(sqlite3_stmt* st, const std::string& host, int64_t& value, std::string* error,
                      const char* what) {
        int64_t id = 0;
        const SimResult found = findHost(host, id, error);
        if (found != SimResult::Ok) {
            return found;
        }
        return singleInt(st, id, value, error, what);
    }

    static void readHost(sqlite3_stmt* st, SimHost& h) {
        h.name = ColumnText(st, 0);
        h.computerName = ColumnText(st, 1);
        h.up = sqlite3_column_int(st, 2) != 0;
        h.user = ColumnOptText(st, 3);
        h.password = ColumnOptText(st, 4);
    }

    // Runs the event query `st` for the host named `host`: ?1 is bound to
    // the host's id and the following parameters to `values` in order; the
    // records are appended to `out`. NotFound or Failed as findHost says.
    SimResult hostEvents(sqlite3_stmt* st, const std::string& host,
                         std::initializer_list<sqlite3_int64> values, std::vector<SimEvent>& out,
                         std::string* error) {
        int64_t id = 0;
        const SimResult found = findHost(host, id, error);
        if (found != SimResult::Ok) {
            return found;
        }
        StatementScope scope(st);
        int index = 1;
        sqlite3_bind_int64(st, index++, id);
        for (const sqlite3_int64 value : values) {
            sqlite3_bind_int64(st, index++, value);
        }
        return readEvents(st, host, out, error);
    }

    // Steps a prepared event query to its end, appending to `out`.
    SimResult readEvents(sqlite3_stmt* st, const std::string& host, std::vector<SimEvent>& out,
                         std::string* error) {
        int rc;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
            SimEvent e;
            e.host = host;
            e.recordNumber = sqlite3_column_int64(st, 0);
            e.logFile = ColumnText(st, 1);
            e.eventCode = static_cast<uint32_t>(sqlite3_column_int64(st, 2));
            e.eventIdentifier = static_cast<uint32_t>(sqlite3_column_int64(st, 3));
            e.eventType = sqlite3_column_int(st, 4);
            e.typeText = ColumnText(st, 5);
            e.sourceName = ColumnText(st, 6);
            e.timeGenerated = sqlite3_column_int64(st, 7);
            e.timeWritten = sqlite3_column_int64(st, 8);
            if (sqlite3_column_type(st, 9) != SQLITE_NULL) {
                const void* blob = sqlite3_column_blob(st, 9);
                const size_t size = static_cast<size_t>(sqlite3_column_bytes(st, 9));
                e.insertionStrings.emplace();
                // One damaged record is that record's fault alone: it is
                // handed on as such, and the records after it are read.
                if (!DecodeStrings(static_cast<const unsigned char*>(blob), size,
                                   *e.insertionStrings)) {
                    e.insertionStrings.reset();
                    e.damaged = true;
                }
            }
            e.message = ColumnOptText(st, 10);
            e.category = sqlite3_column_int(st, 11);
            e.categoryString = ColumnText(st, 12);
            e.user = ColumnOptText(st, 13);
            e.computerName = ColumnText(st, 14);
            e.eventRecordId = sqlite3_column_int64(st, 15);
            if (sqlite3_column_type(st, 16) != SQLITE_NULL) {
                size_t size = 0;
                const unsigned char* fields = ColumnBlob(st, 16, size);
                e.channel.emplace();
                size_t dataSize = 0;
                const unsigned char* data = ColumnBlob(st, 17, dataSize);
                if (!DecodeChannelFields(fields, size, *e.channel) ||
                    !DecodeData(data, dataSize, e.channel->eventData)) {
                    SetError(error, "store '" + path + "': damaged channel fields in record " +
                                        std::to_string(e.recordNumber) + " of host '" + host + "'");
                    return SimResult::Failed;
                }
                e.channel->userData = ColumnOptText(st, 18);
            }
            out.push_back(std::move(e));
        }
        if (rc != SQLITE_DONE) {
            SetError(error, dbError("cannot read the records of host '" + host + "'"));
            return SimResult::Failed;
        }
        return SimResult::Ok;
    }

    // Binds `e` as record `recordNumber` of host `id`, with EventRecordID
    // `recordId`, to eventInsert; the event's own numbers are not used.
    bool bindEvent(int64_t id, int64_t recordNumber, int64_t recordId, const SimEvent& e,
                   std::string& blob) {
        sqlite3_stmt* st = eventInsert;
        int rc = sqlite3_bind_int64(st, 1, id);
        rc |= sqlite3_bind_int64(st, 2, recordNumber);
        rc |= BindText(st, 3, e.logFile);
        rc |= sqlite3_bind_int64(st, 4, e.eventCode);
        rc |= sqlite3_bind_int64(st, 5, e.eventIdentifier);
        rc |= sqlite3_bind_int(st, 6, e.eventType);
        rc |= BindText(st, 7, e.typeText.empty() ? EventTypeText(e.eventType) : e.typeText);
        rc |= BindText(st, 8, e.sourceName);
        rc |= sqlite3_bind_int64(st, 9, e.timeGenerated);
        rc |= sqlite3_bind_int64(st, 10, e.timeWritten);
        if (!e.insertionStrings) {
            rc |= sqlite3_bind_null(st, 11);
        } else {
            blob = EncodeStrings(*e.insertionStrings);
            // A zero-length blob bound from a null pointer would read back as
            // NULL ("no strings"); bind an explicit empty blob instead.
            rc |= blob.empty() ? sqlite3_bind_zeroblob(st, 11, 0)
                               : sqlite3_bind_blob(st, 11, blob.data(),
                                                   static_cast<int>(blob.size()), SQLITE_STATIC);
        }
        rc |= BindOptText(st, 12, e.message);
        rc |= sqlite3_bind_int(st, 13, e.category);
        rc |= BindText(st, 14, e.categoryString);
        rc |= BindOptText(st, 15, e.user);
        rc |= BindText(st, 16, e.computerName);
        rc |= sqlite3_bind_int64(st, 17, recordId);
        if (e.channel) {
            rc |= BindBlob(st, 18, EncodeChannelFields(*e.channel));
            rc |= BindBlob(st, 19, EncodeData(e.channel->eventData));
            rc |= BindOptText(st, 20, e.channel->userData);
        } else {
            rc |= sqlite3_bind_null(st, 18);
            rc |= sqlite3_bind_null(st, 19);
            rc |= sqlite3_bind_null(st, 20);
        }
        return rc == SQLITE_OK;
    }

    // WAL lets the listener read while quellon-sim writes. The mode is kept
    // in the file, so only the creator's switch does real work; a store that
    // is already in WAL mode is not written to.
    bool enableWal(std::string* error) {
        bool wal = false;
        if (Statement st = PrepareOnce(db, "PRAGMA journal_mode");
            st && sqlite3_step(st.get()) == SQLITE_ROW) {
            const unsigned char* mode = sqlite3_column_text(st.get(), 0);
            wal = mode && std::strcmp(reinterpret_cast<const char*>(mode), "wal") == 0;
        }
        // synchronous is a setting of the connection, not of the file.
        return (wal || exec("PRAGMA journal_mode=WAL", error, "cannot switch to WAL mode")) &&
               exec("PRAGMA synchronous=NORMAL", error, "cannot set synchronous mode");
    }

    // Opens and checks the file; creates or upgrades the schema.
    SimResult open(const std::string& file, bool create, std::string* error);
};

namespace {

// Rolls back an open transaction unless it was committed.
class Transaction {
  public:
    explicit Transaction(sqlite3* db) : db(db) {}
    ~Transaction() {
        if (active) {
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    // BEGIN IMMEDIATE: takes the write lock now (waiting up to the busy
    // time-out), so the transaction cannot fail later on lock upgrade.
    bool begin() {
        active = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
        return active;
    }
    bool commit() {
        if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
            return false;
        }
        active = false;
        return true;
    }

  private:
    sqlite3* db;
    bool active = false;
};

// Begins the write transaction of a change to one host's data and looks the
// host up: Ok with its id, NotFound, or Failed (the store could not be
// locked, or the look-up failed).
template <typename Impl>
SimResult LockHost(Transaction& tx, Impl& impl, const std::string& name, int64_t& id,
                   std::string* error) {
    if (!tx.begin()) {
        SetError(error, impl.dbError("cannot lock the store"));
        return SimResult::Failed;
    }
    return impl.findHost(name, id, error);
}

enum class Layout { Empty, Store, Foreign };

// What the database holds: nothing, our tables, or something else.
bool ReadLayout(sqlite3* db, Layout& layout) {
    Statement st =
        PrepareOnce(db, "SELECT COUNT(*), SUM(name = 'schema_version') FROM sqlite_master");
    if (!st) return false;
    const bool ok = sqlite3_step(st.get()) == SQLITE_ROW;
    if (ok) {
        const int64_t objects = sqlite3_column_int64(st.get(), 0);
        const int64_t ours = sqlite3_column_int64(st.get(), 1);
        layout = objects == 0 ? Layout::Empty : ours > 0 ? Layout::Store : Layout::Foreign;
    }
    return ok;
}

bool ReadVersion(sqlite3* db, int64_t& version) {
    Statement st = PrepareOnce(db, "SELECT MAX(version) FROM schema_version");
    if (!st) return false;
    const bool ok =
        sqlite3_step(st.get()) == SQLITE_ROW && sqlite3_column_type(st.get(), 0) != SQLITE_NULL;
    if (ok) version = sqlite3_column_int64(st.get(), 0);
    return ok;
}

}  // namespace

SimResult SimStore::Impl::open(const std::string& file, bool create, std::string* error) {
    path = file;
    const int flags =
        SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
    const int rc = sqlite3_open_v2(file.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        if (rc == SQLITE_CANTOPEN && !create) {
            SetError(error, "store '" + file + "' does not exist or cannot be opened");
            return SimResult::NotFound;
        }
        SetError(error, dbError("cannot open"));
        return SimResult::Failed;
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, kBusyTimeoutMs);

    Layout layout;
    if (!ReadLayout(db, layout)) {
        SetError(error, dbError("not a simulated-hosts store"));
        return SimResult::Failed;
    }
    if (layout == Layout::Foreign) {
        SetError(error, "store '" + file +
                            "': the database holds other tables, not a simulated-hosts store");
        return SimResult::Failed;
    }
    if (layout == Layout::Empty && !create) {
        SetError(error, "store '" + file + "' is empty (create it with 'quellon-sim host add')");
        return SimResult::Failed;
    }
    if (layout == Layout::Store) {
        int64_t version = 0;
        if (!ReadVersion(db, version)) {
            SetError(error, "store '" + file + "': no schema version, not a simulated-hosts store");
            return SimResult::Failed;
        }
        if (version > kSchemaVersion || version < 1) {
            SetError(error, "store '" + file + "' has schema version " + std::to_string(version) +
                                "; this program knows versions 1 to " +
                                std::to_string(kSchemaVersion));
            return SimResult::Failed;
        }
        if (version == kSchemaVersion) {
            // The usual case: nothing to write, so a reader never needs the
            // write lock to open.
            return enableWal(error) &&
                           exec("PRAGMA foreign_keys=ON", error, "cannot enable foreign keys") &&
                           prepareAll(error)
                       ? SimResult::Ok
                       : SimResult::Failed;
        }
    }
    if (!enableWal(error) || !exec("PRAGMA foreign_keys=ON", error, "cannot enable foreign keys")) {
        return SimResult::Failed;
    }
    Transaction tx(db);
    if (!tx.begin()) {
        SetError(error, dbError("cannot lock the store"));
        return SimResult::Failed;
    }
    // Read again under the write lock: another process may have created or
    // upgraded the store meanwhile.
    if (!ReadLayout(db, layout)) {
        SetError(error, dbError("not a simulated-hosts store"));
        return SimResult::Failed;
    }
    if (layout == Layout::Empty) {
        if (!exec(kCreateSchema, error, "cannot create the schema")) {
            return SimResult::Failed;
        }
        const std::string insert =
            "INSERT INTO schema_version(version) VALUES (" + std::to_string(kSchemaVersion) + ")";
        if (!exec(insert.c_str(), error, "cannot record the schema version")) {
            return SimResult::Failed;
        }
    } else {
        int64_t version = 0;
        if (layout != Layout::Store || !ReadVersion(db, version) || version < 1 ||
            version > kSchemaVersion) {
            SetError(error, "store '" + file + "' was changed by another program while opening");
            return SimResult::Failed;
        }
        for (int64_t v = version; v < kSchemaVersion; ++v) {
            if (!exec(kUpgradeSteps[static_cast<size_t>(v - 1)], error,
                      "cannot upgrade the schema")) {
                return SimResult::Failed;
            }
        }
        const std::string update =
            "UPDATE schema_version SET version = " + std::to_string(kSchemaVersion);
        if (!exec(update.c_str(), error, "cannot record the schema version")) {
            return SimResult::Failed;
        }
    }
    if (!tx.commit()) {
        SetError(error, dbError("cannot commit the schema"));
        return SimResult::Failed;
    }
    return prepareAll(error) ? SimResult::Ok : SimResult::Failed;
}

SimStore::SimStore() : impl(nullptr) {}

SimStore::~SimStore() { close(); }

SimResult SimStore::open(const std::string& path, bool create, std::string* error) {
    RSLibrary::RSSynchronizeGuard guard(lock);
    delete impl;
    impl = nullptr;
    Impl* fresh = new Impl;
    const SimResult r = fresh->open(path, create, error);
    if (r != SimResult::Ok) {
        delete fresh;
        return r;
    }
    impl = fresh;
    return r;
}

void SimStore::close() {
    RSLibrary::RSSynchronizeGuard guard(lock);
    delete impl;
    impl = nullptr;
}

bool SimStore::isOpen() const {
    RSLibrary::RSSynchronizeGuard guard(lock);
    return impl != nullptr;
}

#define SIMSTORE_REQUIRE_OPEN()                       \
    do {                                              \
        if (!impl) {                                  \
            SetError(error, "the store is not open"); \
            return SimResult::Failed;                 \
        }                                             \
    } while (0)

SimResult SimStore::addHost(const SimHost& host, std::string* error) {
    RSLibrary::RSSynchronizeGuard guard(lock);
    SIMSTORE_REQUIRE_OPEN();
    if (host.name.empty()) {
        SetError(error, "a host needs a name");
        return SimResult::Invalid;
    }
    sqlite3_stmt* st = impl->hostInsert;
    StatementScope scope(st);
    BindText(st, 1, host.name);
    BindText(st, 2, host.computerName);
    sqlite3_bind_int(st, 3, host.up ? 1 : 0);
    BindOptText(st, 4, host.user);
    BindOptText(st, 5, host.password);
    const int rc = sqlite3_step(st);
    if (rc == SQLITE_DONE) {
        return SimResult::Ok;
    }
    if (rc == SQLITE_CONSTRAINT_UNIQUE) {
        SetError(error, "host '" + host.name + "' already exists");
        return SimResult::AlreadyExists;
    }
    SetError(error, impl->dbError("cannot add host '" + host.name + "'"));
    return SimResult::Failed;
}

SimResult SimStore::removeHost(const std::string& name, std::string* error) {
    RSLibrary::RSSynchronizeGuard guard(lock);
    SIMSTORE_REQUIRE_OPEN();
    Transaction tx(impl->db);
    int64_t id = 0;
    if (const SimResult locked = LockHost(tx, *impl, name, id, error); locked != SimResult::Ok) {
        return locked;
    }
    for (sqlite3_stmt* st : {impl->eventsDelete, impl->hostDelete}) {
        StatementScope scope(st);
        sqlite3_bind_int64(st, 1, id);
        if (sqlite3_step(st) != SQLITE_DONE) {
            SetError(error, impl->dbError("cannot remove host '" + name + "'"));
            return SimResult::Failed;
        }
    }
    if (!tx.commit()) {
        SetError(error, impl->dbError("cannot commit the removal of host '" + name + "'"));
        return SimResult::Failed;
    }
    return SimResult::Ok;
}

SimResult SimStore::setHostUp(const std::string& name, bool up, std::string* error) {
    RSLibrary::RSSynchronizeGuard guard(lock);
    SIMSTORE_REQUIRE_OPEN();
    sqlite3_stmt* st = impl->hostSetUp;
    StatementScope scope(st);
    BindText(st, 1, name);
    sqlite3_bind_int(st, 2, up ? 1 : 0);
    if (sqlite3_step(st) != SQLITE_DONE) {
        SetError(error, impl->dbError("cannot change host '" + name + "'"));
        return SimResult::Failed;
    }
    if (sqlite3_changes(impl->db) == 0) {
        SetError(error, "unknown host '" + name + "'");
        return SimResult::NotFound;
    }
    return SimResult::Ok;
}

SimResult SimStore::getHost(const std::string& name, SimHost& out, std::string* error) {
    RSLibrary::RSSynchronizeGuard guard(lock);
    SIMSTORE_REQUIRE_OPEN();
    sqlite3_stmt* st = impl->hostGet;
    StatementScope scope(st);
    BindText(st, 1, name);
    const int rc = sqlite3_step(st);
    if (rc == SQLITE_ROW) {
        Impl::readHost(st, out);
        return SimResult::Ok;
    }
    if (rc == SQLITE_DONE) {
        SetError(error, "unknown host '" + name + "'");
        return SimResult::NotFound;
    }
    SetError(error, impl->dbError("cannot read host '" + name + "'"));
    return SimResult::Failed;
}

SimResult SimStore::listHosts(std::vector<SimHost>& out, std::string* error) {
    RSLibrary::RSSynchronizeGuard guard(lock);
    SIMSTORE_REQUIRE_OPEN();
    out.clear();
    sqlite3_stmt* st = impl->hostList;
    StatementScope scope(st);
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        SimHost h;
        Impl::readHost(st, h);
        out.push_back(std::move(h));
    }
    if (rc != SQLITE_DONE) {
        SetError(error, impl->dbError("cannot list hosts"));
        return SimResult::Failed;
    }
    return SimResult::Ok;
}

SimResult SimStore::appendEvents(const std::string& host, std::vector<SimEvent>& events,
                                 std::string* error) {
    RSLibrary::RSSynchronizeGuard guard(lock);
    SIMSTORE_REQUIRE_OPEN();
    for (const SimEvent& e : events) {
        if (e.eventType < 1 || e.eventType > 5) {
            SetError(error, "event type " + std::to_string(e.eventType) + " is not 1 to 5");
            return SimResult::Invalid;
        }
    }
    Transaction tx(impl->db);
    int64_t id = 0;
    if (const SimResult locked = LockHost(tx, *impl, host, id, error); locked != SimResult::Ok) {
        return locked;
    }
    int64_t newest = 0;
    if (impl->singleInt(impl->maxRecord, id, newest, error, "cannot read the newest record") !=
        SimResult::Ok) {
        return SimResult::Failed;
    }
    // Event i becomes record newest + 1 + i; its EventRecordID is its own
    // when that is above its log's newest, else the newest + 1. The numbers
    // are written back only after the commit, so a failed append leaves the
    // caller's events as they were.
    std::map<std::string, int64_t> newestIds;
    std::vector<int64_t> recordIds(events.size());
    std::string blob;
    for (size_t i = 0; i < events.size(); ++i) {
        auto known = newestIds.find(events[i].logFile);
        if (known == newestIds.end()) {
            int64_t newestId = 0;
            StatementScope scope(impl->maxRecordId);
            sqlite3_bind_int64(impl->maxRecordId, 1, id);
            BindText(impl->maxRecordId, 2, events[i].logFile);
            if (sqlite3_step(impl->maxRecordId) != SQLITE_ROW) {
                SetError(error, impl->dbError("cannot read the newest EventRecordID"));
                return SimResult::Failed;
            }
            newestId = sqlite3_column_int64(impl->maxRecordId, 0);
            known = newestIds.emplace(events[i].logFile, newestId).first;
        }
        int64_t& newestId = known->second;
        if (newestId == std::numeric_limits<int64_t>::max()) {
            SetError(error, "log '" + events[i].logFile + "' of host '" + host +
                                "' has no EventRecordID left");
            return SimResult::Invalid;
        }
        recordIds[i] = events[i].eventRecordId > newestId ? events[i].eventRecordId : newestId + 1;
        newestId = recordIds[i];
        StatementScope scope(impl->eventInsert);
        if (!impl->bindEvent(id, newest + 1 + static_cast<int64_t>(i), recordIds[i], events[i],
                             blob) ||
            sqlite3_step(impl->eventInsert) != SQLITE_DONE) {
            SetError(error, impl->dbError("cannot store an event of host '" + host + "'"));
            return SimResult::Failed;
        }
    }
    if (!tx.commit()) {
        SetError(error, impl->dbError("cannot commit the events of host '" + host + "'"));
        return SimResult::Failed;
    }
    for (size_t i = 0; i < events.size(); ++i) {
        events[i].host = host;
        events[i].recordNumber = newest + 1 + static_cast<int64_t>(i);
        events[i].eventRecordId = recordIds[i];
        if (events[i].typeText.empty()) {
            events[i].typeText = EventTypeText(events[i].eventType);
        }
    }
    return SimResult::Ok;
}

SimResult SimStore::clearLog(const std::string& host, const std::string& logFile, int64_t& removed,
                             std::string* error) {
    RSLibrary::RSSynchronizeGuard guard(lock);
    SIMSTORE_REQUIRE_OPEN();
    Transaction tx(impl->db);
    int64_t id = 0;
    if (const SimResult locked = LockHost(tx, *impl, host, id, error); locked != SimResult::Ok) {
        return locked;
    }
    sqlite3_stmt* st = logFile.empty() ? impl->eventsDelete : impl->logDelete;
    {
        StatementScope scope(st);
        sqlite3_bind_int64(st, 1, id);
        if (!logFile.empty()) BindText(st, 2, logFile);
        if (sqlite3_step(st) != SQLITE_DONE) {
            SetError(error, impl->dbError("cannot clear the records of host '" + host + "'"));
            return SimResult::Failed;
        }
    }
    const int64_t changed = sqlite3_changes64(impl->db);
    if (!tx.commit()) {
        SetError(error, impl->dbError("cannot commit the clearing of host '" + host + "'"));
        return SimResult::Failed;
    }
    removed = changed;
    return SimResult::Ok;
}

SimResult SimStore::renumberRecords(const std::string& host, int64_t first, std::string* error) {
    RSLibrary::RSSynchronizeGuard guard(lock);
    SIMSTORE_REQUIRE_OPEN();
    if (first < 1) {
        SetError(error, "records are numbered from 1 on, not from " + std::to_string(first));
        return SimResult::Invalid;
    }
    Transaction tx(impl->db);
    int64_t id = 0;
    if (const SimResult locked = LockHost(tx, *impl, host, id, error); locked != SimResult::Ok) {
        return locked;
    }
    const std::string where = " WHERE host_id = " + std::to_string(id);
    int64_t oldest = 0;
    {
        sqlite3_stmt* made = nullptr;
        const std::string sql = "SELECT MIN(record_number) FROM events" + where;
        sqlite3_prepare_v2(impl->db, sql.c_str(), -1, &made, nullptr);
        Statement owned(made);
        if (made == nullptr || sqlite3_step(made) != SQLITE_ROW) {
            SetError(error, impl->dbError("cannot read the oldest record"));
            return SimResult::Failed;
        }
        if (sqlite3_column_type(made, 0) == SQLITE_NULL) {
            SetError(error, "host '" + host + "' has no records to renumber");
            return SimResult::Invalid;
        }
        oldest = sqlite3_column_int64(made, 0);
    }
    // Through the negative numbers, which no record has: the primary key
    // never sees two records with one number on the way.
    const std::string sql = "UPDATE events SET record_number = -record_number" + where +
                            "; UPDATE events SET record_number = -record_number + " +
                            std::to_string(first - oldest) + where + ";";
    if (!impl->exec(sql.c_str(), error, "cannot renumber the records")) return SimResult::Failed;
    if (!tx.commit()) {
        SetError(error, impl->dbError("cannot commit the renumbering of host '" + host + "'"));
        return SimResult::Failed;
    }
    return SimResult::Ok;
}

SimResult SimStore::newestRecord(const std::string& host, int64_t& recordNumber,
                                 std::string* error) {
    RSLibrary::RSSynchronizeGuard guard(lock);
    SIMSTORE_REQUIRE_OPEN();
    return impl->hostInt(impl->maxRecord, host, recordNumber, error,
                         "cannot read the newest record");
}

SimResult SimStore::eventCount(const std::string& host, int64_t& count, std::string* error) {
    RSLibrary::RSSynchronizeGuard guard(lock);
    SIMSTORE_REQUIRE_OPEN();
    return impl->hostInt(impl->countRecords, host, count, error, "cannot count the records");
}

SimResult SimStore::eventsAfter(const std::string& host, int64_t afterRecord, size_t limit,
                                std::vector<SimEvent>& out, std::string* error) {
    RSLibrary::RSSynchronizeGuard guard(lock);
    SIMSTORE_REQUIRE_OPEN();
    out.clear();
    return impl->hostEvents(impl->eventsAfter, host, {afterRecord, LimitValue(limit)}, out, error);
}

SimResult SimStore::eventsBetween(const std::string& host, int64_t from, int64_t to,
                                  int64_t afterRecord, size_t limit, std::vector<SimEvent>& out,
                                  std::string* error) {
    RSLibrary::RSSynchronizeGuard guard(lock);
    SIMSTORE_REQUIRE_OPEN();
    out.clear();
    return impl->hostEvents(impl->eventsBetween, host, {from, to, afterRecord, LimitValue(limit)},
                            out, error);
}

SimResult SimStore::logEventsAfter(const std::string& host, const std::string& logFile,
                                   int64_t afterRecordId, size_t limit, std::vector<SimEvent>& out,
                                   std::string* error) {
    RSLibrary::RSSynchronizeGuard guard(lock);
    SIMSTORE_REQUIRE_OPEN();
    out.clear();
    int64_t id = 0;
    const SimResult found = impl->findHost(host, id, error);
    if (found != SimResult::Ok) {
        return found;
    }
    sqlite3_stmt* st = impl->logEventsAfter;
    StatementScope scope(st);
    sqlite3_bind_int64(st, 1, id);
    BindText(st, 2, logFile);
    sqlite3_bind_int64(st, 3, afterRecordId);
    sqlite3_bind_int64(st, 4, LimitValue(limit));
    return impl->readEvents(st, host, out, error);
}

SimResult SimStore::newestRecordId(const std::string& host, const std::string& logFile,
                                   int64_t& recordId, std::string* error) {
    RSLibrary::RSSynchronizeGuard guard(lock);
    SIMSTORE_REQUIRE_OPEN();
    int64_t id = 0;
    const SimResult found = impl->findHost(host, id, error);
    if (found != SimResult::Ok) {
        return found;
    }
    sqlite3_stmt* st = impl->maxRecordId;
    StatementScope scope(st);
    sqlite3_bind_int64(st, 1, id);
    BindText(st, 2, logFile);
    if (sqlite3_step(st) != SQLITE_ROW) {
        SetError(error, impl->dbError("cannot read the newest EventRecordID"));
        return SimResult::Failed;
    }
    recordId = sqlite3_column_int64(st, 0);
    return SimResult::Ok;
}

}  // namespace wmi::sim
