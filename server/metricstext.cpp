#include "server/metricstext.h"

#include <charconv>
#include <cmath>

namespace {

void AppendEscaped(const std::string& text, bool quoteToo, std::string* out) {
    for (char c : text) {
        switch (c) {
            case '\\':
                *out += "\\\\";
                break;
            case '\n':
                *out += "\\n";
                break;
            case '"':
                if (quoteToo) {
                    *out += "\\\"";
                    break;
                }
                [[fallthrough]];
            default:
                *out += c;
        }
    }
}

void AppendValue(double value, std::string* out) {
    if (std::isnan(value)) {
        *out += "NaN";
    } else if (std::isinf(value)) {
        *out += value > 0 ? "+Inf" : "-Inf";
    } else {
        char buffer[32];
        auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
        if (error == std::errc()) out->append(buffer, end);
    }
}

const char* TypeName(TMetricType type, TExpositionFormat format) {
    switch (type) {
        case TMetricType::kCounter:
            return "counter";
        case TMetricType::kInfo:
            return format == TExpositionFormat::kOpenMetrics ? "info" : "gauge";
        case TMetricType::kGauge:
            break;
    }
    return "gauge";
}

}  // namespace

const char* ExpositionContentType(TExpositionFormat format) {
    return format == TExpositionFormat::kOpenMetrics
               ? "application/openmetrics-text; version=1.0.0; charset=utf-8"
               : "text/plain; version=0.0.4; charset=utf-8";
}

TExpositionFormat ChooseExpositionFormat(const std::string& acceptHeader) {
    std::string lower;
    lower.reserve(acceptHeader.size());
    for (char c : acceptHeader) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return lower.find("application/openmetrics-text") != std::string::npos
               ? TExpositionFormat::kOpenMetrics
               : TExpositionFormat::kPrometheusText;
}

void WriteExposition(const std::vector<TMetricFamily>& families, TExpositionFormat format,
                     std::string* out) {
    const bool open = format == TExpositionFormat::kOpenMetrics;
    for (const TMetricFamily& family : families) {
        // The Prometheus text format names a family by its samples' name;
        // OpenMetrics by the name without the type's suffix.
        std::string sampleName = family.name;
        if (family.type == TMetricType::kCounter) sampleName += "_total";
        if (family.type == TMetricType::kInfo) sampleName += "_info";
        const std::string& familyName = open ? family.name : sampleName;
        *out += "# HELP " + familyName + " ";
        AppendEscaped(family.help, open, out);
        *out += "\n# TYPE " + familyName + " " + TypeName(family.type, format) + "\n";
        for (const TMetricSample& sample : family.samples) {
            *out += sampleName;
            if (!sample.labels.empty()) {
                *out += '{';
                bool first = true;
                for (const auto& [name, value] : sample.labels) {
                    if (!first) *out += ',';
                    first = false;
                    *out += name + "=\"";
                    AppendEscaped(value, true, out);
                    *out += '"';
                }
                *out += '}';
            }
            *out += ' ';
            AppendValue(family.type == TMetricType::kInfo ? 1.0 : sample.value, out);
            *out += '\n';
        }
    }
    if (open) *out += "# EOF\n";
}
