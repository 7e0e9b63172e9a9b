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
// point is handed in only after its record went out.
//
// Ownership and threads: the controller owns the one store. Every public
// method is thread-safe; Update, SetSince and Forget only queue and never
// wait for the disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <thread>

#include "engine/resumepoint.h"
#include "platform/mutex.h"
#include "platform/thread_annotations.h"

struct sqlite3;

class CResumeStore {
  public:
    CResumeStore() = default;
    ~CResumeStore();
    CResumeStore(const CResumeStore&) = delete;
    CResumeStore& operator=(const CResumeStore&) = delete;

    // Opens (creating when missing) the state file and starts the writer.
    // False, with the reason in *error, when the file cannot be used.
    bool Open(const std::string& path, std::string* error, int flushIntervalMs = 200,
              size_t batchUpdates = 1000);
    // Writes what is queued and stops the writer. Called by the destructor.
    void Close();
    bool IsOpen() const;

    // The stored point of `key` including everything queued before the call
    // (an empty point when there is none). Waits for the disk.
    TResumePoint Load(const TResumeKey& key);
    // Queues the position of the last record delivered from `logFile`.
    void Update(const TResumeKey& key, const std::string& logFile, const TLogPosition& position);
    // Queues the time the subscription's first live query started.
    void SetSince(const TResumeKey& key, const std::string& since);
    // Queues forgetting the key's point (DELETE).
    void Forget(const TResumeKey& key);
    // Writes what is queued now in one transaction. False when the database
    // failed (the points stay queued for the next try).
    bool Flush();

    // Transactions written so far (batches).
    uint64_t BatchesWritten();

  private:
    struct TPending {
        bool forget = false;  // delete the stored point before writing the rest
        std::string since;
        std::map<std::string, TLogPosition> logs;
    };

    void WriterLoop();
    void Queued() REQUIRES(pendingLock);
    bool WriteBatch(std::map<TResumeKey, TPending>& batch) REQUIRES(dbLock);
    bool FlushLocked() REQUIRES(dbLock);

    // dbLock: guards the connection and the batch count; held for a whole
    // batch, so batches are written one at a time and in order. Its place
    // in the lock order: platform/thread_annotations.h.
    platform::Mutex dbLock;
    sqlite3* db GUARDED_BY(dbLock) = nullptr;
    uint64_t batches GUARDED_BY(dbLock) = 0;

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
