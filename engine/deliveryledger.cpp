#include "engine/deliveryledger.h"

#include <utility>

#include "engine/resumestore.h"

// One live subscription's delivery: its delivered point and its marks in
// flight, by mark. All under the ledger's lock.
struct TDeliveryTrack {
    struct TSend {
        uint32_t epoch = 0;  // the rewind it belongs to
        bool settled = false;
        bool delivered = false;
        std::map<std::string, TLogPosition> positions;
    };

    TResumeKey key;
    TResumePoint delivered;
    // Raised by each rewind: sends of an earlier epoch move nothing.
    uint32_t epoch = 0;
    // A send of this epoch went undelivered: the point stays until a rewind.
    bool lost = false;
    bool forgotten = false;
    std::map<uint64_t, TSend> sends;
};

CDeliveryLedger::CDeliveryLedger(CBroadcastSink* broadcastSink, CResumeStore* resumeStore)
    : sink(broadcastSink), store(resumeStore) {
    {
        platform::MutexLock guard(lock);
        attached = sink != nullptr;
    }
    if (sink != nullptr) sink->ReportDeliveryTo(this);
}

CDeliveryLedger::~CDeliveryLedger() { Detach(); }

void CDeliveryLedger::Detach() {
    {
        platform::MutexLock guard(lock);
        if (!attached) return;
        attached = false;
    }
    // Without the lock: the sink's reports take it under the sink's locks.
    sink->ReportDeliveryTo(nullptr);
    platform::MutexLock guard(lock);
    inFlight.clear();
    allSettled.notifyAll();
}

TDeliveryTrackPtr CDeliveryLedger::Open(const TResumeKey& key, const TResumePoint& point) {
    auto track = std::make_shared<TDeliveryTrack>();
    track->key = key;
    track->delivered = point;
    return track;
}

uint64_t CDeliveryLedger::Sending(const TDeliveryTrackPtr& track,
                                  const std::map<std::string, TLogPosition>& positions) {
    if (track == nullptr || positions.empty()) return 0;
    platform::MutexLock guard(lock);
    const uint64_t mark = nextMark++;
    TDeliveryTrack::TSend& send = track->sends[mark];
    send.epoch = track->epoch;
    send.positions = positions;
    if (attached) {
        inFlight.emplace(mark, track);
    } else {
        // Nobody reports: the send never settles, and nothing after it
        // moves the point.
        send.settled = true;
        send.delivered = false;
        Advance(*track);
    }
    return mark;
}

void CDeliveryLedger::Settled(uint64_t mark, bool delivered) {
    platform::MutexLock guard(lock);
    auto found = inFlight.find(mark);
    if (found == inFlight.end()) return;
    TDeliveryTrackPtr track = std::move(found->second);
    inFlight.erase(found);
    auto send = track->sends.find(mark);
    if (send != track->sends.end()) {
        send->second.settled = true;
        send->second.delivered = delivered;
        Advance(*track);
    }
    if (inFlight.empty()) allSettled.notifyAll();
}

void CDeliveryLedger::Advance(TDeliveryTrack& track) {
    // Marks of one track are made in the order its records are sent, so the
    // point moves only over a run of settled marks from the oldest.
    while (!track.sends.empty() && track.sends.begin()->second.settled) {
        TDeliveryTrack::TSend& send = track.sends.begin()->second;
        if (send.epoch == track.epoch && !track.forgotten) {
            if (!send.delivered) {
                track.lost = true;
            } else if (!track.lost) {
                for (const auto& [log, position] : send.positions) {
                    track.delivered.logs[log] = position;
                    if (store != nullptr) store->Update(track.key, log, position);
                }
            }
        }
        track.sends.erase(track.sends.begin());
    }
}

bool CDeliveryLedger::TakeRewind(const TDeliveryTrackPtr& track, TResumePoint* point) {
    if (track == nullptr) return false;
    {
        platform::MutexLock guard(lock);
        if (!track->lost || track->forgotten) return false;
    }
    // Asked without the lock: the sink takes its own locks. A blocked sink
    // would refuse what is read again.
    if (!sink->Receiving() || sink->Blocked()) return false;
    platform::MutexLock guard(lock);
    if (!track->lost) return false;
    track->lost = false;
    ++track->epoch;
    *point = track->delivered;
    return true;
}

void CDeliveryLedger::SetSince(const TDeliveryTrackPtr& track, const std::string& since) {
    if (track == nullptr) return;
    platform::MutexLock guard(lock);
    track->delivered.since = since;
    if (store != nullptr && !track->forgotten) store->SetSince(track->key, since);
}

void CDeliveryLedger::Forget(const TDeliveryTrackPtr& track) {
    if (track == nullptr) return;
    platform::MutexLock guard(lock);
    if (track->forgotten) return;
    track->forgotten = true;
    if (store != nullptr) store->Forget(track->key);
}

TResumePoint CDeliveryLedger::Delivered(const TDeliveryTrackPtr& track) {
    platform::MutexLock guard(lock);
    return track->delivered;
}

size_t CDeliveryLedger::Unsettled() {
    platform::MutexLock guard(lock);
    return inFlight.size();
}

bool CDeliveryLedger::WaitSettled(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    platform::MutexLock guard(lock);
    while (!inFlight.empty()) {
        if (!allSettled.waitUntil(deadline) && std::chrono::steady_clock::now() >= deadline) break;
    }
    return inFlight.empty();
}
