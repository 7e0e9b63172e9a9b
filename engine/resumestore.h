// CResumeStore: the state file that keeps the resume points of live
// subscriptions across restarts of the listener (OTHERS.STATEFILE), one
// SQLite database.
//
// Points are handed in as records are delivered (Update, SetSince) and
// written in batches by the store's own writer thread: one transaction when
// `batchUpdates` updates are waiting or `flushIntervalMs` after the first of
// them, whichever comes first. Each key and log keeps only its newest point
// between two batches. The database runs in WAL mode with synchronous FULL,
// so a batch that has committed survives a kill -9 (and a power loss), and a
// crash loses at most the points handed in since the last batch: their
// records are delivered again after the restart, never skipped, because a
// point is handed in only after the output reported its record delivered
// (engine/deliveryledger.h).
//
// The file is the listener's alone: Open holds it exclusively
// (platform/filelock.h) and refuses a file that is not a state file (not a
// database, corrupt, another program's tables, unreadable or unwritable).
// When a batch fails at run time (a full disk), its points stay queued and
// are tried again; one WARN says when writing starts failing and one when it
// works again, and Failing() tells STATS.
//
// Ownership and threads: the controller owns the one store. Every public
// method is thread-safe; Update, SetSince and Forget only queue and never
// wait for the disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "engine/resumepoint.h"
#include "platform/filelock.h"
#include "platform/mutex.h"
#include "platform/thread_annotations.h"

struct sqlite3;

// Closes an SQLite connection (sqlite3_close_v2).
struct TSqliteCloser {
    void operator()(sqlite3* db) const;
};

class CResumeStore {
  public:
    CResumeStore() = default;
    ~CResumeStore();
    CResumeStore(const CResumeStore&) = delete;
    CResumeStore& operator=(const CResumeStore&) = delete;

    // Opens (creating when missing) the state file, holds it exclusively
    // and starts the writer. False, with one line naming the file and the
    // reason in *error, when the file cannot be used: another process holds
    // it, it cannot be read and written, it is not a database or is
    // corrupt, or it holds tables other than the state file's.
    bool Open(const std::string& path, std::string* error, int flushIntervalMs = 200,
              size_t batchUpdates = 1000);
    // Writes what is queued and stops the writer. Called by the destructor.
    void Close();
    bool IsOpen() const;

    // The stored point of `key` including everything queued before the call
    // (an empty point when there is none). Waits for the disk. False, with
    // the reason in *error, when the store is not open, what was queued
    // could not be written first, or the file could not be read.
    bool Load(const TResumeKey& key, TResumePoint* point, std::string* error);
    // Queues the position of the last record delivered from `logFile`.
    void Update(const TResumeKey& key, const std::string& logFile, const TLogPosition& position);
    // Queues the time the subscription's first live query started.
    void SetSince(const TResumeKey& key, const std::string& since);
    // Queues forgetting the key's point (DELETE).
    void Forget(const TResumeKey& key);
    // Writes what is queued now in one transaction. False, with the
    // database's reason in *error when given, when it failed (the points
    // stay queued for the next try).
    bool Flush(std::string* error = nullptr);

    // Transactions written so far (batches).
    uint64_t BatchesWritten();
    // Whether the last attempt to write a batch failed (and no later one
    // succeeded).
    bool Failing() const;

  private:
    struct TPending {
        bool forget = false;  // delete the stored point before writing the rest
        std::string since;
        std::map<std::string, TLogPosition> logs;
    };

    void WriterLoop();
    void Queued() REQUIRES(pendingLock);
    bool WriteBatch(std::map<TResumeKey, TPending>& batch, std::string* error) REQUIRES(dbLock);
    bool FlushLocked(std::string* error) REQUIRES(dbLock);
    // A refused Open: puts the reason in *error, closes the connection and
    // lets go of the file. Returns false, the result of that Open.
    bool RefuseLocked(const std::string& file, std::string* error, const std::string& reason)
        REQUIRES(dbLock);
    // Notes the outcome of a write: logs the change between working and
    // failing, once each way.
    void NoteWrite(bool ok, const std::string& error) REQUIRES(dbLock);

    // dbLock: guards the connection, the file's hold, the batch count and
    // the write health; held for a whole batch, so batches are written one
    // at a time and in order. Its place in the lock order:
    // platform/thread_annotations.h.
    mutable platform::Mutex dbLock;
    std::unique_ptr<sqlite3, TSqliteCloser> db GUARDED_BY(dbLock);
    platform::FileLock hold GUARDED_BY(dbLock);
    std::string path GUARDED_BY(dbLock);
    uint64_t batches GUARDED_BY(dbLock) = 0;
    bool failing GUARDED_BY(dbLock) = false;

    // pendingLock: guards what waits for the next batch and the writer's
    // stop flag. Held only to change or swap them, never across a disk
    // write; taken after dbLock (platform/thread_annotations.h).
    mutable platform::Mutex pendingLock ACQUIRED_AFTER(dbLock);
    platform::CondVar pendingChanged{pendingLock};
    std::map<TResumeKey, TPending> pending GUARDED_BY(pendingLock);
    size_t pendingUpdates GUARDED_BY(pendingLock) = 0;
    bool stopping GUARDED_BY(pendingLock) = false;
    bool open GUARDED_BY(pendingLock) = false;
    int flushInterval GUARDED_BY(pendingLock) = 200;
    size_t batchSize GUARDED_BY(pendingLock) = 1000;

    std::thread writer;  // started by Open, joined by Close
};
