#include "server/listenermetrics.h"

#include <algorithm>
#include <utility>

namespace {

// The states a subscription is counted in, in the order they are written.
// "failing": CONNECTION_FAILED was announced and the host has not answered
// since; "blocked": an output cannot take its events; "live": reading its
// host; "connecting": (re)connecting or between steps.
const char* const kStates[] = {"live", "connecting", "failing", "blocked"};

const char* StateOf(const TSubscriptionStats& s) {
    if (s.failing) return "failing";
    if (s.state == "Output Blocked") return "blocked";
    if (s.state == "EventWait") return "live";
    return "connecting";
}

using TLabels = std::vector<std::pair<std::string, std::string>>;

TLabels SubscriptionLabels(const TSubscriptionStats& s) {
    return {{"host", s.host}, {"category", s.category}, {"severity", s.severity}};
}

TMetricFamily Family(const char* name, TMetricType type, const char* help) {
    TMetricFamily family;
    family.name = name;
    family.type = type;
    family.help = help;
    return family;
}

void Add(TMetricFamily& family, TLabels labels, double value) {
    family.samples.push_back(TMetricSample{std::move(labels), value});
}

// The families in the order they are written; Collect fills them by index.
struct TFamilyRow {
    const char* name;
    TMetricType type;
    const char* help;
};
const TFamilyRow kFamilies[] = {
    // Per live subscription.
    {"quellon_subscription_state", TMetricType::kGauge,
     "1 for the state the subscription is in (live, connecting, failing, blocked), 0 for the "
     "others."},
    {"quellon_subscription_events_delivered", TMetricType::kCounter,
     "Event records the subscription delivered to its outputs."},
    {"quellon_subscription_events_caught_up", TMetricType::kCounter,
     "Of the delivered records, those delivered by catch-ups after a reconnect or a login."},
    {"quellon_subscription_events_skipped", TMetricType::kCounter,
     "Records skipped, by reason: unreadable (a record that could not be read) or "
     "catch_up_limit (left out over OTHERS.MAXCATCHUPEVENTS); both count in EVENTS_SKIPPED."},
    {"quellon_subscription_reconnects", TMetricType::kCounter,
     "Connections re-established (CONNECTION_REESTAB)."},
    {"quellon_subscription_last_event_age_seconds", TMetricType::kGauge,
     "Seconds since the subscription last delivered a record (absent before the first)."},
    {"quellon_subscription_lag_seconds", TMetricType::kGauge,
     "Seconds from the last delivered record's TimeWritten to its delivery's scrape (absent "
     "before the first)."},
    {"quellon_subscription_last_error_timestamp_seconds", TMetricType::kGauge,
     "When the subscription last failed, seconds since 1970; 0 for never."},
    {"quellon_subscriptions", TMetricType::kGauge, "Live subscriptions by state."},
    {"quellon_replays", TMetricType::kGauge, "Replays under way."},
    // Per output.
    {"quellon_output_queued_records", TMetricType::kGauge,
     "Records handed to the output and not yet delivered or acknowledged."},
    {"quellon_output_queued_bytes", TMetricType::kGauge,
     "Bytes of the records waiting in the output's queue (absent where not counted)."},
    {"quellon_output_acknowledged", TMetricType::kCounter,
     "Records the output's destination acknowledged."},
    {"quellon_output_refused", TMetricType::kCounter, "Records the output gave up on for good."},
    {"quellon_output_blocked", TMetricType::kGauge,
     "1 while the output's queue is full and it refuses events (Output Blocked)."},
    {"quellon_output_last_error_timestamp_seconds", TMetricType::kGauge,
     "When the output last reported an error, seconds since 1970; 0 for never."},
    {"quellon_kafka_brokers_up", TMetricType::kGauge,
     "Kafka brokers the producer is connected to."},
    {"quellon_kafka_brokers", TMetricType::kGauge, "Kafka brokers the producer knows of."},
    // The command server.
    {"quellon_clients_logged_in", TMetricType::kGauge, "Monitoring clients logged in."},
    {"quellon_connections", TMetricType::kGauge, "Client connections open, logged in or not."},
    {"quellon_logins_failed", TMetricType::kCounter, "Failed LOGIN commands."},
    {"quellon_connections_refused", TMetricType::kCounter,
     "Connections turned away, by reason: connection_limit (LISTEN.MAXCONNECTIONS held by "
     "logged-in clients), guessing_budget (a source that failed to log in too often) or "
     "per_source_limit (LISTEN.PERSOURCEMAXSTARTUPS)."},
    {"quellon_sent_bytes", TMetricType::kCounter, "Bytes sent to monitoring clients (after TLS)."},
    {"quellon_forced_disconnects", TMetricType::kCounter,
     "Client connections reset by the listener (a bound passed, the login time-out, failed "
     "logins)."},
    // The process.
    {"quellon_events_delivered", TMetricType::kCounter,
     "Event records delivered by every subscription and replay."},
    {"quellon_events_per_second", TMetricType::kGauge,
     "Events delivered per second over the last minute."},
    {"quellon_state_file_failing", TMetricType::kGauge,
     "1 while writing the state file (OTHERS.STATEFILE) fails; absent without one."},
    {"quellon_start_time_seconds", TMetricType::kGauge,
     "When the listener started, seconds since 1970."},
    {"quellon_build", TMetricType::kInfo, "The listener's version and build date."},
};

enum : size_t {
    kSubState,
    kSubDelivered,
    kSubCaughtUp,
    kSubSkipped,
    kSubReconnects,
    kSubLastEventAge,
    kSubLag,
    kSubLastError,
    kSubscriptions,
    kReplays,
    kOutQueued,
    kOutQueuedBytes,
    kOutAcked,
    kOutRefused,
    kOutBlocked,
    kOutLastError,
    kBrokersUp,
    kBrokers,
    kClients,
    kConnections,
    kLoginsFailed,
    kRefused,
    kSentBytes,
    kForced,
    kEventsDelivered,
    kEventsPerSecond,
    kStateFile,
    kStartTime,
    kBuild,
    kFamilyCount
};
static_assert(sizeof kFamilies / sizeof kFamilies[0] == kFamilyCount);

}  // namespace

CListenerMetrics::CListenerMetrics(int64_t startedAt, std::string version, std::string buildDate)
    : startedAt(startedAt), version(std::move(version)), buildDate(std::move(buildDate)) {}

std::vector<std::string> CListenerMetrics::SampleNames() {
    std::vector<std::string> names;
    for (const TFamilyRow& row : kFamilies) {
        names.push_back(std::string(row.name) + (row.type == TMetricType::kCounter ? "_total"
                                                 : row.type == TMetricType::kInfo  ? "_info"
                                                                                   : ""));
    }
    return names;
}

uint64_t CListenerMetrics::Monotonic(THistory& h, int index, uint64_t now) {
    if (now < h.seen[index]) h.carried[index] += h.seen[index];
    h.seen[index] = now;
    return h.carried[index] + now;
}

void CListenerMetrics::Prune(int64_t now) {
    size_t retired = 0;
    for (auto it = history.begin(); it != history.end();) {
        if (it->second.lastSeenAt < now && now - it->second.lastSeenAt > kRetiredFor) {
            it = history.erase(it);
        } else {
            if (it->second.lastSeenAt < now) ++retired;
            ++it;
        }
    }
    while (retired > kMaxRetired) {
        auto oldest = history.end();
        for (auto it = history.begin(); it != history.end(); ++it) {
            if (it->second.lastSeenAt < now &&
                (oldest == history.end() || it->second.lastSeenAt < oldest->second.lastSeenAt)) {
                oldest = it;
            }
        }
        if (oldest == history.end()) break;
        history.erase(oldest);
        --retired;
    }
}

std::vector<TMetricFamily> CListenerMetrics::Collect(const TListenerStats& stats, int64_t now) {
    std::vector<TMetricFamily> f;
    f.reserve(kFamilyCount);
    for (const TFamilyRow& row : kFamilies) f.push_back(Family(row.name, row.type, row.help));

    std::map<std::string, int> byState;
    for (const char* state : kStates) byState[state] = 0;
    int replays = 0;
    {
        platform::MutexLock guard(historyLock);
        for (const TSubscriptionStats& s : stats.engine.subscriptions) {
            if (s.replay) {
                ++replays;
                continue;
            }
            const char* state = StateOf(s);
            ++byState[state];
            const TLabels labels = SubscriptionLabels(s);
            for (const char* each : kStates) {
                TLabels withState = labels;
                withState.emplace_back("state", each);
                Add(f[kSubState], std::move(withState), each == state ? 1 : 0);
            }
            THistory& h = history[TKey{s.host, s.category, s.severity}];
            // Two subscriptions never share labels (the same host, category
            // and severity is one subscription), so each series is
            // updated once per scrape.
            h.lastSeenAt = now;
            Add(f[kSubDelivered], labels, static_cast<double>(Monotonic(h, 0, s.delivered)));
            Add(f[kSubCaughtUp], labels, static_cast<double>(Monotonic(h, 1, s.caughtUp)));
            TLabels unreadable = labels;
            unreadable.emplace_back("reason", "unreadable");
            Add(f[kSubSkipped], std::move(unreadable),
                static_cast<double>(Monotonic(h, 2, s.skipped)));
            TLabels overCap = labels;
            overCap.emplace_back("reason", "catch_up_limit");
            Add(f[kSubSkipped], std::move(overCap),
                static_cast<double>(Monotonic(h, 4, s.overCap)));
            Add(f[kSubReconnects], labels, static_cast<double>(Monotonic(h, 3, s.reconnects)));
            if (s.lastDeliveredAt != 0) {
                Add(f[kSubLastEventAge], labels,
                    static_cast<double>(std::max<int64_t>(0, now - s.lastDeliveredAt)));
            }
            if (s.lastWrittenMicros != 0) {
                // A record dated in the future (a host's clock ahead) is no
                // lag.
                Add(f[kSubLag], labels,
                    static_cast<double>(std::max<int64_t>(0, now - s.lastWrittenMicros / 1000000)));
            }
            Add(f[kSubLastError], labels, static_cast<double>(s.lastErrorAt));
        }
        Prune(now);
    }
    for (const char* state : kStates) Add(f[kSubscriptions], {{"state", state}}, byState[state]);
    Add(f[kReplays], {}, replays);

    // The monitoring clients are an output too: what they have queued.
    Add(f[kOutQueued], {{"output", "clients"}}, static_cast<double>(stats.queuedForClients));
    for (const TOutputStats& o : stats.outputs) {
        const TLabels labels{{"output", o.output}};
        Add(f[kOutQueued], labels, static_cast<double>(o.queuedRecords));
        Add(f[kOutQueuedBytes], labels, static_cast<double>(o.queuedBytes));
        Add(f[kOutAcked], labels, static_cast<double>(o.acknowledged));
        Add(f[kOutRefused], labels, static_cast<double>(o.refused));
        Add(f[kOutBlocked], labels, o.blocked ? 1 : 0);
        Add(f[kOutLastError], labels, static_cast<double>(o.lastErrorAt));
        if (o.brokersKnown >= 0) {
            Add(f[kBrokersUp], labels, o.brokersUp);
            Add(f[kBrokers], labels, o.brokersKnown);
        }
    }

    Add(f[kClients], {}, stats.clientsLoggedIn);
    Add(f[kConnections], {}, stats.connections);
    Add(f[kLoginsFailed], {}, static_cast<double>(stats.failedLogins));
    Add(f[kRefused], {{"reason", "connection_limit"}},
        static_cast<double>(stats.refusedConnectionLimit));
    Add(f[kRefused], {{"reason", "guessing_budget"}},
        static_cast<double>(stats.refusedGuessingBudget));
    Add(f[kRefused], {{"reason", "per_source_limit"}}, static_cast<double>(stats.refusedPerSource));
    Add(f[kSentBytes], {}, static_cast<double>(stats.bytesSent));
    Add(f[kForced], {}, static_cast<double>(stats.forcedDisconnects));

    Add(f[kEventsDelivered], {}, static_cast<double>(stats.engine.eventsDelivered));
    Add(f[kEventsPerSecond], {}, stats.engine.eventsPerSecond);
    if (!stats.engine.stateFile.empty()) {
        Add(f[kStateFile], {}, stats.engine.stateFile == "ok" ? 0 : 1);
    }
    Add(f[kStartTime], {}, static_cast<double>(startedAt));
    Add(f[kBuild], {{"version", version}, {"build_date", buildDate}}, 1);
    return f;
}
