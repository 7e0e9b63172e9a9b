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
//   (in the order each partition acknowledged), statistics (brokers up,
//   once a second) and errors. The controller calls Drain once the engine
//   has stopped.
//   Bound: the bytes handed to librdkafka and not yet acknowledged are
//   counted, with what each record costs beside its key and payload; at
//   KAFKA.QUEUEBYTES or more Blocked says so, and the engine
//   stops reading its hosts until acknowledgements bring the count down. A
//   call already under way finishes, so the queue may pass the bound by one
//   poll's or catch-up step's records.
//   Acknowledgements: each acknowledged event of a live subscription goes to
//   the delivery listener (the controller, which moves the stored resume
//   point); a record librdkafka gives up on moves nothing and is counted as
//   an error.
//   Locks: listenerLock (the listener pointer; the listener is called
//   under it, so Drain's detaching waits for a call under way) and
//   errorLock (the last error text, a leaf). Their place in the lock order:
//   platform/thread_annotations.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/broadcastsink.h"
#include "engine/eventrate.h"
#include "platform/mutex.h"
#include "platform/thread_annotations.h"

class CDeliveryListener;
struct rd_kafka_s;
struct rd_kafka_topic_s;

// The [KAFKA] section.
struct TKafkaSettings {
    // KAFKA.BROKERS: the bootstrap list; empty: the output is off.
    std::string brokers;
    std::string topic = "quellon-events";         // KAFKA.TOPIC
    std::string noticeTopic = "quellon-notices";  // KAFKA.NOTICETOPIC
    uint64_t queueBytes = 256ull * 1024 * 1024;   // KAFKA.QUEUEBYTES
    // Every other key of the section, its name lower-cased, for librdkafka.
    std::vector<std::pair<std::string, std::string>> properties;
};

class CKafkaOutput : public CBroadcastSink {
  public:
    explicit CKafkaOutput(TKafkaSettings settings);
    // Stops the poll thread and destroys the producer (waiting for nothing
    // more: call Drain first to give queued records their chance).
    ~CKafkaOutput() override;
    CKafkaOutput(const CKafkaOutput&) = delete;
    CKafkaOutput& operator=(const CKafkaOutput&) = delete;

    // Creates the producer with the settings and starts the poll thread.
    // False, with librdkafka's reason (naming the property) in *error, when
    // the configuration is refused. Call once, before the engine starts.
    bool Start(std::string* error);

    // Acknowledged events of live subscriptions go to listener (not owned;
    // null: nobody) until Drain. Call before the engine starts.
    void SetDeliveryListener(CDeliveryListener* listener);

    void Deliver(const std::vector<TOutputItem>& items) override;
    bool Blocked() override;
    // "kafka brokers_up=U/K queued=N queued_bytes=B acked=A
    // acked_per_second=R errors=E last_error=T" (T quoted when it has a
    // blank, "-" when none).
    std::vector<std::string> StatisticsLines() override;
    // Waits up to timeoutMs for every queued record to be acknowledged,
    // then detaches the listener: no acknowledgement reaches it afterwards.
    void Drain(int timeoutMs) override;

    // Records and bytes handed over and not yet acknowledged or given up.
    uint64_t QueuedRecords() const { return queuedRecords.load(); }
    uint64_t QueuedBytes() const { return queuedBytes.load(); }
    uint64_t AcknowledgedRecords() const { return acknowledged.load(); }

  private:
    struct TPending;

    // Hands one record to librdkafka, waiting while its own queue is full.
    void Produce(rd_kafka_topic_s* topic, const std::string& key, std::string&& payload,
                 TPending* pending);
    void PollLoop();
    static void DeliveryReport(rd_kafka_s* rk, const void* message, void* opaque);
    static int Statistics(rd_kafka_s* rk, char* json, size_t length, void* opaque);
    static void Error(rd_kafka_s* rk, int error, const char* reason, void* opaque);
    void NoteError(const std::string& text) EXCLUDES(errorLock);

    // Constant after Start.
    const TKafkaSettings settings;
    rd_kafka_s* producer = nullptr;
    rd_kafka_topic_s* eventTopic = nullptr;
    rd_kafka_topic_s* noticeTopic = nullptr;
    std::thread poller;

    // Thread-safe on their own.
    std::atomic<bool> stopping{false};
    std::atomic<uint64_t> queuedRecords{0};
    std::atomic<uint64_t> queuedBytes{0};
    std::atomic<uint64_t> acknowledged{0};
    std::atomic<uint64_t> failed{0};
    std::atomic<int> brokersUp{0};
    std::atomic<int> brokersKnown{0};
    CEventRate ackRate;

    // listenerLock: guards the listener pointer; held while it is called.
    platform::Mutex listenerLock;
    CDeliveryListener* listener GUARDED_BY(listenerLock) = nullptr;

    // errorLock: guards lastError. A leaf.
    platform::Mutex errorLock;
    std::string lastError GUARDED_BY(errorLock);
};
