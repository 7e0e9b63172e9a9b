// Metrics exposition: writes metric families in the two text forms a
// Prometheus server scrapes, its own text format (0.0.4) and OpenMetrics
// 1.0, into the caller's string. A pure formatter: the metrics endpoint
// (server/metricsserver.h) fills a list of families from the listener's
// state and renders it per request; any thread, no state of its own.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

enum class TMetricType { kCounter, kGauge, kInfo };

// One sample: its label pairs (names are the writer's own constants, values
// anything; they are escaped) and its value.
struct TMetricSample {
    std::vector<std::pair<std::string, std::string>> labels;
    double value = 0;
};

// One family. `name` is the family's name without a type's suffix: a
// counter "quellon_events_delivered" is written as the sample
// "quellon_events_delivered_total", an info "quellon_build" as
// "quellon_build_info" with the value 1.
struct TMetricFamily {
    std::string name;
    TMetricType type = TMetricType::kGauge;
    std::string help;
    std::vector<TMetricSample> samples;
};

enum class TExpositionFormat { kPrometheusText, kOpenMetrics };

// The Content-Type header's value for the format.
const char* ExpositionContentType(TExpositionFormat format);

// The format a scraper asks for with its Accept header: OpenMetrics when it
// names application/openmetrics-text, else the Prometheus text format.
TExpositionFormat ChooseExpositionFormat(const std::string& acceptHeader);

// Appends the families to out in the format: HELP and TYPE lines, then the
// samples; OpenMetrics ends with "# EOF". A family without samples gets its
// HELP and TYPE lines only. Label values are escaped (backslash, double
// quote, line feed); values are written as the shortest decimal text that
// reads back to the same double ("+Inf", "-Inf", "NaN" for the others).
void WriteExposition(const std::vector<TMetricFamily>& families, TExpositionFormat format,
                     std::string* out);
