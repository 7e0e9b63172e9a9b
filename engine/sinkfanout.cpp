#include "engine/sinkfanout.h"

void CSinkFanOut::Deliver(const std::vector<TOutputItem>& items, uint64_t mark) {
    for (CBroadcastSink* output : outputs) output->Deliver(items, output == reporting ? mark : 0);
}

void CSinkFanOut::Redeliver(const std::vector<TOutputItem>& items, uint64_t mark) {
    reporting->Deliver(items, mark);
}

void CSinkFanOut::ReportDeliveryTo(CDeliveryReports* reports) {
    reporting->ReportDeliveryTo(reports);
}

bool CSinkFanOut::Receiving() { return reporting->Receiving(); }

bool CSinkFanOut::Blocked() {
    for (CBroadcastSink* output : outputs) {
        if (output->Blocked()) return true;
    }
    return false;
}

std::vector<std::string> CSinkFanOut::StatisticsLines() {
    std::vector<std::string> lines;
    for (CBroadcastSink* output : outputs) {
        std::vector<std::string> more = output->StatisticsLines();
        lines.insert(lines.end(), more.begin(), more.end());
    }
    return lines;
}

std::vector<TOutputStats> CSinkFanOut::OutputStatistics() {
    std::vector<TOutputStats> stats;
    for (CBroadcastSink* output : outputs) {
        std::vector<TOutputStats> more = output->OutputStatistics();
        stats.insert(stats.end(), more.begin(), more.end());
    }
    return stats;
}
