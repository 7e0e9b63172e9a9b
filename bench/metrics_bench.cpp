// The metrics endpoint's cost for a listener with many subscriptions:
//   BM_Collect: turning the figures of N subscriptions into metric families
//     and writing them in the Prometheus text format (the listener's CPU per
//     scrape, beside the HTTP handling);
//   BM_ScrapeOverLoopback: a whole scrape, GET /metrics over a loopback
//     connection to a started endpoint whose answer is written afresh each
//     time from N subscriptions (real time per scrape; the process' CPU
//     covers the client too).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "server/listenermetrics.h"
#include "server/metricsserver.h"

namespace {

TListenerStats Figures(int subscriptions) {
    TListenerStats stats;
    stats.clientsLoggedIn = 2;
    stats.connections = 3;
    for (int i = 0; i < subscriptions; ++i) {
        TSubscriptionStats& s = stats.engine.subscriptions.emplace_back();
        s.host = "10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250);
        s.category = i % 3 == 0 ? "Security" : "*";
        s.severity = "*";
        s.state = "EventWait";
        s.delivered = 1000000 + i;
        s.caughtUp = i;
        s.reconnects = 3;
        s.lastDeliveredAt = 1796900000;
        s.lastWrittenMicros = 1796900000000000;
    }
    TOutputStats kafka;
    kafka.output = "kafka";
    kafka.brokersUp = 3;
    kafka.brokersKnown = 3;
    stats.outputs.push_back(kafka);
    return stats;
}

void BM_Collect(benchmark::State& state) {
    const TListenerStats stats = Figures(static_cast<int>(state.range(0)));
    CListenerMetrics metrics(1796900000, "5.5", "Dec 11 2026");
    size_t bytes = 0;
    for (auto _ : state) {
        std::string body;
        WriteExposition(metrics.Collect(stats, 1796900100), TExpositionFormat::kPrometheusText,
                        &body);
        bytes = body.size();
        benchmark::DoNotOptimize(body);
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_Collect)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

void BM_ScrapeOverLoopback(benchmark::State& state) {
    const TListenerStats stats = Figures(static_cast<int>(state.range(0)));
    CListenerMetrics metrics(1796900000, "5.5", "Dec 11 2026");
    TMetricsSettings settings;
    settings.address = "127.0.0.1";
    CMetricsServer server(settings, [&](TExpositionFormat format) {
        std::string body;
        WriteExposition(metrics.Collect(stats, 1796900100), format, &body);
        return body;
    });
    if (server.Start(0, 0, 0) != 1) {
        state.SkipWithError("the endpoint did not start");
        return;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(server.GetListenPort());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string request = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    char buffer[65536];
    for (auto _ : state) {
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            send(s, request.data(), request.size(), 0) != static_cast<ssize_t>(request.size())) {
            state.SkipWithError("the request could not be sent");
            close(s);
            break;
        }
        // The answer, up to its Content-Length; the endpoint leaves the
        // close to the scraper.
        std::string answer;
        size_t expected = std::string::npos;
        while (answer.size() < expected) {
            const ssize_t n = recv(s, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            answer.append(buffer, static_cast<size_t>(n));
            const size_t head = answer.find("\r\n\r\n");
            const size_t length = answer.find("Content-Length: ");
            if (expected == std::string::npos && head != std::string::npos &&
                length != std::string::npos) {
                expected = head + 4 + std::stoul(answer.substr(length + 16));
            }
        }
        close(s);
        if (answer.compare(0, 15, "HTTP/1.1 200 OK") != 0) {
            state.SkipWithError("the scrape was not answered");
            break;
        }
    }
    server.Stop();
}
BENCHMARK(BM_ScrapeOverLoopback)->Arg(1000)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
