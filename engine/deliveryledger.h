// CDeliveryLedger: how far the output has delivered each live subscription's
// records, and so where its resume point stands. A query thread asks for a
// mark (Sending) for the positions a send moves and hands the mark to the
// sink with the records; the sink reports the mark settled (Settled); the
// ledger then moves the subscription's delivered point, in the order the
// marks were made, and hands it to the state file. A mark reported as not
// delivered stops the point where it is: the subscription has lost records,
// and once the sink can deliver again (a client logged in) its holder takes
// the delivered point back (TakeRewind) and catches up from there, with the
// same cap and notice as after a reconnect.
//
// Ownership and threads: the controller owns the one ledger, made after the
// state file is open and destroyed before it closes; it registers itself
// with the sink for the reports and leaves it (Detach) before it is
// destroyed. Each subscription's track is shared by its node and the marks
// still in flight, so a track outlives a node that shutdown destroyed until
// its last mark settled. Every method is thread-safe; the holder of a node
// calls Sending and TakeRewind, the sink's threads call Settled, the
// dispatcher Forget and SetSince, the controller the rest.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>

#include "engine/broadcastsink.h"
#include "engine/resumepoint.h"
#include "platform/mutex.h"
#include "platform/thread_annotations.h"

class CResumeStore;
struct TDeliveryTrack;
using TDeliveryTrackPtr = std::shared_ptr<TDeliveryTrack>;

class CDeliveryLedger : public CDeliveryReports {
  public:
    // Reports of sink go here from now on; store (null: none) receives the
    // delivered points. Neither is owned; both outlive the ledger.
    CDeliveryLedger(CBroadcastSink* sink, CResumeStore* store);
    // Detach.
    ~CDeliveryLedger() override;
    CDeliveryLedger(const CDeliveryLedger&) = delete;
    CDeliveryLedger& operator=(const CDeliveryLedger&) = delete;

    // The track of a live subscription with `key` whose records up to
    // `point` count as delivered.
    TDeliveryTrackPtr Open(const TResumeKey& key, const TResumePoint& point);

    // The mark for a send whose records take the track's logs to
    // `positions`; 0 (no report wanted) when positions is empty.
    uint64_t Sending(const TDeliveryTrackPtr& track,
                     const std::map<std::string, TLogPosition>& positions);

    // A mark settled: see CDeliveryReports. Unknown marks are ignored.
    void Settled(uint64_t mark, bool delivered) override;

    // True when records of the track went undelivered since its last rewind
    // and the sink is receiving again, not blocked: *point is then the
    // delivered point, from which the holder reads again; marks made before
    // no longer move it. False leaves *point alone.
    bool TakeRewind(const TDeliveryTrackPtr& track, TResumePoint* point);

    // The subscription's start time goes to the state file.
    void SetSince(const TDeliveryTrackPtr& track, const std::string& since);
    // DELETE: the stored point is forgotten and the track moves it no more.
    void Forget(const TDeliveryTrackPtr& track);

    // The delivered point of the track now.
    TResumePoint Delivered(const TDeliveryTrackPtr& track);
    // Marks not settled yet.
    size_t Unsettled();
    // Waits at most `timeout` for every mark to settle. True when none is
    // left.
    bool WaitSettled(std::chrono::milliseconds timeout);
    // Leaves the sink: no report arrives afterwards, and Sending still
    // gives marks that never settle.
    void Detach();

  private:
    // Applies the settled marks at the front of the track, in order.
    void Advance(TDeliveryTrack& track) REQUIRES(lock);

    CBroadcastSink* const sink;  // constant after construction
    CResumeStore* const store;   // constant after construction

    // lock: guards every track, the marks in flight and the mark counter.
    // Taken by the sink's reports under its own locks and by the engine
    // under subsListLock; under it only the state file's pendingLock is
    // taken (lock order: platform/thread_annotations.h).
    platform::Mutex lock;
    platform::CondVar allSettled{lock};
    std::unordered_map<uint64_t, TDeliveryTrackPtr> inFlight GUARDED_BY(lock);
    uint64_t nextMark GUARDED_BY(lock) = 1;
    bool attached GUARDED_BY(lock) = false;
};
