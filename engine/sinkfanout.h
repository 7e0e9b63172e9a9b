// CSinkFanOut: several outputs behind one sink, so that the engine hands
// every item to each of them (the monitoring clients and Kafka). Owned by
// the command server, which lists its outputs before the engine starts;
// constant afterwards, so any thread may call it.
#pragma once

#include <vector>

#include "engine/broadcastsink.h"

class CSinkFanOut : public CBroadcastSink {
  public:
    // Outputs are not owned and must outlive the engine's use of this sink.
    explicit CSinkFanOut(std::vector<CBroadcastSink*> outputs) : outputs(std::move(outputs)) {}

    // To each output in turn, in the order they were listed.
    void Deliver(const std::vector<TOutputItem>& items) override;
    // True when any output is blocked.
    bool Blocked() override;
    // Every output's lines, in order.
    std::vector<std::string> StatisticsLines() override;
    // Each output's, one after the other, within timeoutMs in all.
    void Drain(int timeoutMs) override;

  private:
    const std::vector<CBroadcastSink*> outputs;
};
