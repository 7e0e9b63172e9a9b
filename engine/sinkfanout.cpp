#include "engine/sinkfanout.h"

#include <chrono>

void CSinkFanOut::Deliver(const std::vector<TOutputItem>& items) {
    for (CBroadcastSink* output : outputs) output->Deliver(items);
}

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

void CSinkFanOut::Drain(int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (CBroadcastSink* output : outputs) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        output->Drain(left.count() > 0 ? static_cast<int>(left.count()) : 0);
    }
}
