#include "server/kafkaoutput.h"

#include <librdkafka/rdkafka.h>
#include <rapidjson/document.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <memory>
#include <set>

#include "base/logger.h"
#include "base/secretmask.h"
#include "base/stringformat.h"
#include "server/eventjson.h"

// What one record in librdkafka's queue carries back in its delivery
// report.
struct CKafkaOutput::TPending {
    size_t bytes = 0;
    // The delivery mark of the Deliver call (0: none).
    uint64_t mark = 0;
};

namespace {

// What one queued record costs beyond its key and payload: librdkafka's
// message and this output's TPending (measured: about 265 bytes). Counted
// against KAFKA.QUEUEBYTES, so that the bound is the memory the queue
// takes.
constexpr size_t kRecordOverhead = 320;

// librdkafka's queue may hold twice the output's own bound, so that the
// output's bound (Blocked) is what stops the engine, not a refusal.
constexpr uint64_t kLibraryQueueFactor = 2;

// How often the poll thread asks the cluster for its brokers, and how long
// it waits for the answer (delivery reports wait meanwhile).
constexpr auto kMetadataInterval = std::chrono::seconds(5);
constexpr int kMetadataTimeoutMs = 1000;

bool Set(rd_kafka_conf_t* conf, const std::string& name, const std::string& value,
         std::string* error) {
    char reason[512] = {};
    if (rd_kafka_conf_set(conf, name.c_str(), value.c_str(), reason, sizeof reason) ==
        RD_KAFKA_CONF_OK) {
        return true;
    }
    std::string text = reason;
    // The library may quote the value it refuses; a secret's stays out.
    if (NamesSecret(name) && !value.empty()) {
        for (size_t at = text.find(value); at != std::string::npos; at = text.find(value, at + 4)) {
            text.replace(at, value.size(), "****");
        }
    }
    *error = "KAFKA." + name + ": " + text;
    return false;
}

}  // namespace

bool KafkaOutputBuilt() { return true; }

std::unique_ptr<CBroadcastSink> StartKafkaOutput(const TKafkaSettings& settings,
                                                 std::string* error) {
    auto output = std::make_unique<CKafkaOutput>(settings);
    if (!output->Start(error)) return nullptr;
    return output;
}

CKafkaOutput::CKafkaOutput(TKafkaSettings kafkaSettings) : settings(std::move(kafkaSettings)) {}

CKafkaOutput::~CKafkaOutput() {
    stopping = true;
    if (poller.joinable()) poller.join();
    if (eventTopic != nullptr) rd_kafka_topic_destroy(eventTopic);
    if (noticeTopic != nullptr) rd_kafka_topic_destroy(noticeTopic);
    if (producer != nullptr) {
        // Records still queued are purged; their reports free what they
        // carry.
        rd_kafka_purge(producer, RD_KAFKA_PURGE_F_QUEUE | RD_KAFKA_PURGE_F_INFLIGHT);
        rd_kafka_poll(producer, 0);
        rd_kafka_destroy(producer);
    }
}

bool CKafkaOutput::Start(std::string* error) {
    rd_kafka_conf_t* conf = rd_kafka_conf_new();
    const uint64_t libraryKbytes =
        std::min<uint64_t>(2147483647, settings.queueBytes * kLibraryQueueFactor / 1024 + 1024);
    // The defaults of this output first; a property of the section (set
    // after them) overrides each.
    bool ok = Set(conf, "bootstrap.servers", settings.brokers, error) &&
              Set(conf, "enable.idempotence", "true", error) &&
              Set(conf, "message.timeout.ms", "0", error) &&
              Set(conf, "queue.buffering.max.messages", "0", error) &&
              Set(conf, "queue.buffering.max.kbytes", std::to_string(libraryKbytes), error) &&
              Set(conf, "statistics.interval.ms", "1000", error);
    for (const auto& [name, value] : settings.properties) {
        if (!ok) break;
        ok = Set(conf, name, value, error);
    }
    if (!ok) {
        rd_kafka_conf_destroy(conf);
        return false;
    }
    rd_kafka_conf_set_opaque(conf, this);
    rd_kafka_conf_set_dr_msg_cb(conf, [](rd_kafka_t* rk, const rd_kafka_message_t* message,
                                         void* opaque) { DeliveryReport(rk, message, opaque); });
    rd_kafka_conf_set_stats_cb(conf, [](rd_kafka_t* rk, char* json, size_t length, void* opaque) {
        return Statistics(rk, json, length, opaque);
    });
    // librdkafka's own lines go to the listener's log, not to the console.
    rd_kafka_conf_set_log_cb(
        conf, [](const rd_kafka_t*, int level, const char* facility, const char* text) {
            if (level <= 3) {
                LOG(WARN, "Kafka %s: %s", facility, text);
            } else if (level <= 5) {
                LOG(INFO, "Kafka %s: %s", facility, text);
            } else {
                LOG(DEBUG, "Kafka %s: %s", facility, text);
            }
        });
    rd_kafka_conf_set_error_cb(conf, [](rd_kafka_t* rk, int code, const char* reason,
                                        void* opaque) { Error(rk, code, reason, opaque); });
    char reason[512] = {};
    producer = rd_kafka_new(RD_KAFKA_PRODUCER, conf, reason, sizeof reason);
    if (producer == nullptr) {
        rd_kafka_conf_destroy(conf);
        *error = std::string("KAFKA: ") + reason;
        return false;
    }
    eventTopic = rd_kafka_topic_new(producer, settings.topic.c_str(), nullptr);
    noticeTopic = rd_kafka_topic_new(producer, settings.noticeTopic.c_str(), nullptr);
    if (eventTopic == nullptr || noticeTopic == nullptr) {
        *error = "KAFKA.TOPIC or KAFKA.NOTICETOPIC: " +
                 std::string(rd_kafka_err2str(rd_kafka_last_error()));
        return false;
    }
    poller = std::thread([this] { PollLoop(); });
    LOG(INFO, "Kafka output to %s: events on %s, notices on %s, queue bound %llu bytes",
        settings.brokers.c_str(), settings.topic.c_str(), settings.noticeTopic.c_str(),
        static_cast<unsigned long long>(settings.queueBytes));
    return true;
}

void CKafkaOutput::ReportDeliveryTo(CDeliveryReports* to) {
    platform::MutexLock guard(reportLock);
    reports = to;
}

bool CKafkaOutput::Receiving() {
    return producer != nullptr && !stopping.load() &&
           rd_kafka_fatal_error(producer, nullptr, 0) == RD_KAFKA_RESP_ERR_NO_ERROR;
}

void CKafkaOutput::Deliver(const std::vector<TOutputItem>& items, uint64_t mark) {
    if (producer == nullptr || items.empty()) {
        if (mark != 0) {
            AddMarkShares(mark, 1);
            SettleMarkShare(mark, false);
        }
        return;
    }
    // At the bound the call's events are refused (its mark is not
    // delivered, so the engine reads them again once the queue has room);
    // notices still go.
    const bool full = Blocked();
    if (full != refusing.exchange(full)) {
        if (full) {
            LOG(WARN,
                "Kafka output: queue at its bound (%llu bytes); records are refused and read "
                "again once acknowledgements make room",
                static_cast<unsigned long long>(settings.queueBytes));
        } else {
            LOG(INFO, "Kafka output: queue under its bound again");
        }
    }
    // The call's own share keeps the mark open until every record is
    // queued, so that an early acknowledgement cannot report it.
    if (mark != 0) AddMarkShares(mark, 1 + static_cast<int>(items.size()));
    // One buffer for the call's records: librdkafka copies each payload,
    // so the buffer is reused and keeps its capacity from record to record.
    std::string payload;
    for (const TOutputItem& item : items) {
        const TEventData* event = std::get_if<TEventData>(&item);
        if (event != nullptr && full) {
            if (mark != 0) SettleMarkShare(mark, false);
            continue;
        }
        auto* pending = new TPending;
        pending->mark = mark;
        if (event != nullptr) {
            EventJson(*event, &payload);
            Produce(eventTopic, event->host, payload, pending);
        } else {
            const TNotice& notice = std::get<TNotice>(item);
            NoticeJson(notice, &payload);
            Produce(noticeTopic, notice.host, payload, pending);
        }
    }
    if (mark != 0) SettleMarkShare(mark, true);
}

void CKafkaOutput::AddMarkShares(uint64_t mark, int shares) {
    platform::MutexLock guard(markLock);
    marks[mark].pending += shares;
}

void CKafkaOutput::SettleMarkShare(uint64_t mark, bool acknowledged) {
    bool delivered;
    {
        platform::MutexLock guard(markLock);
        auto found = marks.find(mark);
        if (found == marks.end()) return;
        TMarkTally& tally = found->second;
        tally.acknowledged = tally.acknowledged && acknowledged;
        if (--tally.pending > 0) return;
        delivered = tally.acknowledged;
        marks.erase(found);
    }
    platform::MutexLock guard(reportLock);
    if (reports != nullptr) reports->Settled(mark, delivered);
}

void CKafkaOutput::Produce(rd_kafka_topic_s* topic, const std::string& key,
                           const std::string& payload, TPending* pending) {
    pending->bytes = payload.size() + key.size() + kRecordOverhead;
    queuedBytes += pending->bytes;
    queuedRecords += 1;
    for (;;) {
        rd_kafka_resp_err_t result = rd_kafka_producev(
            producer, RD_KAFKA_V_RKT(topic), RD_KAFKA_V_PARTITION(RD_KAFKA_PARTITION_UA),
            RD_KAFKA_V_MSGFLAGS(RD_KAFKA_MSG_F_COPY),
            // F_COPY: librdkafka copies the value and never writes to it.
            RD_KAFKA_V_VALUE(const_cast<char*>(payload.data()), payload.size()),
            RD_KAFKA_V_KEY(key.data(), key.size()), RD_KAFKA_V_OPAQUE(pending), RD_KAFKA_V_END);
        if (result == RD_KAFKA_RESP_ERR_NO_ERROR) return;
        if (result != RD_KAFKA_RESP_ERR__QUEUE_FULL || stopping) {
            // Not queued: nothing of it is acknowledged, so no position
            // moves past it.
            NoteError(StringFormat("could not queue a record: %s", rd_kafka_err2str(result)));
            failed += 1;
            queuedBytes -= pending->bytes;
            queuedRecords -= 1;
            if (pending->mark != 0) SettleMarkShare(pending->mark, false);
            delete pending;
            return;
        }
        // librdkafka's own queue is full (the output's bound was passed by
        // far): wait for the poll thread to serve acknowledgements.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool CKafkaOutput::Blocked() { return queuedBytes.load() >= settings.queueBytes; }

std::vector<std::string> CKafkaOutput::StatisticsLines() {
    std::string error;
    {
        platform::MutexLock guard(errorLock);
        error = lastError;
    }
    std::string shown = "-";
    if (!error.empty()) {
        shown.clear();
        for (char c : error) shown += c == '"' ? '\'' : (c == '\r' || c == '\n') ? ' ' : c;
        if (shown.find(' ') != std::string::npos) shown = "\"" + shown + "\"";
    }
    return {StringFormat("kafka brokers_up=%d/%d queued=%llu queued_bytes=%llu acked=%llu "
                         "acked_per_second=%.2f errors=%llu last_error=",
                         brokersUp.load(), brokersKnown.load(),
                         static_cast<unsigned long long>(queuedRecords.load()),
                         static_cast<unsigned long long>(queuedBytes.load()),
                         static_cast<unsigned long long>(acknowledged.load()),
                         ackRate.PerSecond(static_cast<int64_t>(time(nullptr))),
                         static_cast<unsigned long long>(failed.load())) +
            shown};
}

std::vector<TOutputStats> CKafkaOutput::OutputStatistics() {
    TOutputStats stats;
    stats.output = "kafka";
    stats.queuedRecords = queuedRecords.load();
    stats.queuedBytes = queuedBytes.load();
    stats.acknowledged = acknowledged.load();
    stats.refused = failed.load();
    stats.blocked = Blocked();
    stats.lastErrorAt = lastErrorAt.load();
    stats.brokersUp = brokersUp.load();
    stats.brokersKnown = brokersKnown.load();
    return {stats};
}

void CKafkaOutput::PollLoop() {
    auto nextMetadata = std::chrono::steady_clock::now();
    while (!stopping.load()) {
        rd_kafka_poll(producer, 100);
        if (std::chrono::steady_clock::now() >= nextMetadata) {
            RefreshBrokers();
            nextMetadata = std::chrono::steady_clock::now() + kMetadataInterval;
        }
    }
}

void CKafkaOutput::RefreshBrokers() {
    const rd_kafka_metadata_t* metadata = nullptr;
    liveBrokers.clear();
    if (rd_kafka_metadata(producer, 0, nullptr, &metadata, kMetadataTimeoutMs) ==
        RD_KAFKA_RESP_ERR_NO_ERROR) {
        for (int i = 0; i < metadata->broker_cnt; ++i) {
            liveBrokers.insert(metadata->brokers[i].id);
            seenBrokers.insert(metadata->brokers[i].id);
        }
        rd_kafka_metadata_destroy(metadata);
    }
    CountBrokers();
}

void CKafkaOutput::CountBrokers() {
    int up = 0;
    for (int32_t id : liveBrokers) up += unreachableBrokers.count(id) == 0 ? 1 : 0;
    // Before any metadata: the bootstrap list's entries.
    int bootstrap = settings.brokers.empty() ? 0 : 1;
    for (char c : settings.brokers) bootstrap += c == ',' ? 1 : 0;
    brokersUp = up;
    brokersKnown = std::max(static_cast<int>(seenBrokers.size()), bootstrap);
}

void CKafkaOutput::DeliveryReport(rd_kafka_s*, const void* report, void* opaque) {
    auto* self = static_cast<CKafkaOutput*>(opaque);
    const auto* message = static_cast<const rd_kafka_message_t*>(report);
    std::unique_ptr<TPending> pending(static_cast<TPending*>(message->_private));
    if (!pending) return;
    self->queuedBytes -= pending->bytes;
    self->queuedRecords -= 1;
    const bool ok = message->err == RD_KAFKA_RESP_ERR_NO_ERROR;
    if (ok) {
        self->acknowledged += 1;
        self->ackRate.Add(1, static_cast<int64_t>(time(nullptr)));
    } else {
        self->failed += 1;
        self->NoteError(
            StringFormat("a record was not delivered: %s", rd_kafka_err2str(message->err)));
    }
    if (pending->mark != 0) self->SettleMarkShare(pending->mark, ok);
}

int CKafkaOutput::Statistics(rd_kafka_s*, char* json, size_t length, void* opaque) {
    auto* self = static_cast<CKafkaOutput*>(opaque);
    rapidjson::Document document;
    document.Parse(json, length);
    if (!document.HasParseError() && document.IsObject() && document.HasMember("brokers") &&
        document["brokers"].IsObject()) {
        // The library connects only to the brokers it needs: one it never
        // connected to (INIT) is not down. One whose connection is DOWN is.
        std::set<int32_t> unreachable;
        // By index: a range-for's iterator comparison is ambiguous to
        // C++20's reversed operators in this RapidJSON.
        const auto& brokers = document["brokers"];
        const auto first = brokers.MemberBegin();
        for (rapidjson::SizeType i = 0; i < brokers.MemberCount(); ++i) {
            const auto& b = first[i].value;
            // The library's internal and bootstrap entries have no node id.
            if (!b.IsObject() || !b.HasMember("nodeid") || !b["nodeid"].IsInt() ||
                b["nodeid"].GetInt() < 0) {
                continue;
            }
            if (b.HasMember("state") && b["state"].IsString() &&
                std::string(b["state"].GetString()) == "DOWN") {
                unreachable.insert(b["nodeid"].GetInt());
            }
        }
        self->unreachableBrokers = std::move(unreachable);
        self->CountBrokers();
    }
    return 0;  // librdkafka frees the text
}

void CKafkaOutput::Error(rd_kafka_s*, int code, const char* reason, void* opaque) {
    auto* self = static_cast<CKafkaOutput*>(opaque);
    std::string text =
        StringFormat("%s: %s", rd_kafka_err2name(static_cast<rd_kafka_resp_err_t>(code)),
                     reason != nullptr ? reason : "");
    self->NoteError(text);
}

void CKafkaOutput::NoteError(const std::string& text) {
    bool changed;
    {
        platform::MutexLock guard(errorLock);
        changed = lastError != text;
        lastError = text;
    }
    lastErrorAt = static_cast<int64_t>(time(nullptr));
    if (changed) LOG(WARN, "Kafka output: %s", text.c_str());
}
