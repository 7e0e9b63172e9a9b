// CKafkaOutput: the engine's output into Kafka. Each event becomes one JSON
// object (EventJson) on the events topic, each notice one (NoticeJson) on
// the notices topic, keyed by the host as its subscription names it, so one
// host's records stay in order in one partition. Built on librdkafka's
// producer, idempotent unless the configuration says otherwise, with no
// local time-out: a record waits until a broker takes it.
//
// Owned by the command server, which hands it to the engine with the client
// output (CSinkFanOut) when the engine starts and deletes it after the
// engine has stopped.
//
// DESIGN
//   Threads: engine threads call Deliver, Blocked and StatisticsLines at any
//   time; Deliver hands each record to librdkafka's queue and returns. The
//   output's own poll thread serves librdkafka's callbacks: delivery reports
//   (in the order each partition acknowledged), statistics (once a
//   second) and errors; every few seconds it also asks the cluster for its
//   metadata. Brokers: those of the cluster's metadata (the brokers the
//   cluster has alive, whether or not this producer connects to them) are
//   up unless the library's statistics show its connection to one down;
//   known are all brokers seen in metadata this run, at least the bootstrap
//   list's entries.
//   Bound: the bytes handed to librdkafka and not yet acknowledged are
//   counted, with what each record costs beside its key and payload; at
//   KAFKA.QUEUEBYTES or more Blocked says so and Deliver refuses events
//   (their mark not delivered) until acknowledgements bring the count down;
//   the engine holds its catch-ups meanwhile and reads the refused records
//   again afterwards. A call already under way finishes, so the queue may
//   pass the bound by one poll's or catch-up step's records.
//   Delivery marks: each record of a Deliver call carries the call's mark
//   (engine/broadcastsink.h); once the broker has acknowledged or refused
//   every one of them the mark is reported settled, delivered only when
//   all were acknowledged. A record librdkafka gives up on, or cannot
//   queue, is counted as an error and leaves its mark not delivered, so no
//   resume point moves past it. The engine's orderly stop waits (bounded)
//   for the marks, then stops the reports.
//   Locks: reportLock (where marks are reported; held while a report is
//   made, so ReportDeliveryTo(nullptr) waits for one under way), markLock
//   (the marks in flight, a leaf) and errorLock (the last error text, a
//   leaf). Their place in the lock order: platform/thread_annotations.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/broadcastsink.h"
#include "engine/eventrate.h"
#include "platform/mutex.h"
#include "platform/thread_annotations.h"
#include "server/kafkasettings.h"

struct rd_kafka_s;
struct rd_kafka_topic_s;

class CKafkaOutput : public CBroadcastSink {
  public:
    explicit CKafkaOutput(TKafkaSettings settings);
    // Stops the poll thread and destroys the producer (waiting for nothing
    // more: the engine's orderly stop gave queued records their chance).
    ~CKafkaOutput() override;
    CKafkaOutput(const CKafkaOutput&) = delete;
    CKafkaOutput& operator=(const CKafkaOutput&) = delete;

    // Creates the producer with the settings and starts the poll thread.
    // False, with librdkafka's reason (naming the property) in *error, when
    // the configuration is refused. Call once, before the engine starts.
    bool Start(std::string* error);

    void Deliver(const std::vector<TOutputItem>& items, uint64_t mark) override;
    void ReportDeliveryTo(CDeliveryReports* reports) override;
    // The producer is up and has met no fatal error.
    bool Receiving() override;
    bool Blocked() override;
    // "kafka brokers_up=U/K queued=N queued_bytes=B acked=A
    // acked_per_second=R errors=E last_error=T" (T quoted when it has a
    // blank, "-" when none).
    std::vector<std::string> StatisticsLines() override;
    // One entry, "kafka".
    std::vector<TOutputStats> OutputStatistics() override;

    // Records and bytes handed over and not yet acknowledged or given up.
    uint64_t QueuedRecords() const { return queuedRecords.load(); }
    uint64_t QueuedBytes() const { return queuedBytes.load(); }
    uint64_t AcknowledgedRecords() const { return acknowledged.load(); }

  private:
    struct TPending;

    // Hands one record to librdkafka (which copies key and payload),
    // waiting while its own queue is full.
    void Produce(rd_kafka_topic_s* topic, const std::string& key, const std::string& payload,
                 TPending* pending);
    void PollLoop();
    // Asks the cluster for its brokers (waits up to a second) and updates
    // brokersUp and brokersKnown. Poll thread only.
    void RefreshBrokers();
    void CountBrokers();
    static void DeliveryReport(rd_kafka_s* rk, const void* message, void* opaque);
    static int Statistics(rd_kafka_s* rk, char* json, size_t length, void* opaque);
    static void Error(rd_kafka_s* rk, int error, const char* reason, void* opaque);
    void NoteError(const std::string& text) EXCLUDES(errorLock);
    // Adds `shares` outstanding records (or the Deliver call's own share)
    // to mark; ends one, reporting the mark when it was the last.
    void AddMarkShares(uint64_t mark, int shares) EXCLUDES(markLock);
    void SettleMarkShare(uint64_t mark, bool acknowledged) EXCLUDES(markLock, reportLock);

    // Constant after Start.
    const TKafkaSettings settings;
    rd_kafka_s* producer = nullptr;
    rd_kafka_topic_s* eventTopic = nullptr;
    rd_kafka_topic_s* noticeTopic = nullptr;
    std::thread poller;

    // Thread-safe on their own.
    std::atomic<bool> stopping{false};
    std::atomic<bool> refusing{false};  // the last Deliver found the queue at its bound
    std::atomic<uint64_t> queuedRecords{0};
    std::atomic<uint64_t> queuedBytes{0};
    std::atomic<uint64_t> acknowledged{0};
    std::atomic<uint64_t> failed{0};
    std::atomic<int> brokersUp{0};
    std::atomic<int> brokersKnown{0};

    // The poll thread's alone (the callbacks run on it too).
    std::set<int32_t> liveBrokers;         // in the last metadata; none when it failed
    std::set<int32_t> seenBrokers;         // in any metadata of this run
    std::set<int32_t> unreachableBrokers;  // the library's connection to them is down
    // When NoteError last ran, seconds since 1970 (UTC); 0: never.
    std::atomic<int64_t> lastErrorAt{0};
    CEventRate ackRate;

    // reportLock: guards where marks are reported; held while a report is
    // made.
    platform::Mutex reportLock;
    CDeliveryReports* reports GUARDED_BY(reportLock) = nullptr;

    // One mark in flight: its records not yet settled (plus the Deliver
    // call's own share until it has queued them all), and whether every one
    // settled so far was acknowledged.
    struct TMarkTally {
        int pending = 0;
        bool acknowledged = true;
    };
    // markLock: guards marks. A leaf.
    platform::Mutex markLock;
    std::map<uint64_t, TMarkTally> marks GUARDED_BY(markLock);

    // errorLock: guards lastError. A leaf.
    platform::Mutex errorLock;
    std::string lastError GUARDED_BY(errorLock);
};
