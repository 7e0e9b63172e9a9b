// CSinkFanOut: several outputs behind one sink, so that the engine hands
// every item to each of them (the monitoring clients and Kafka). One of
// them, the reporting output, alone confirms delivery: it gets the engine's
// delivery marks and its reports and its Receiving move the resume points;
// the others get every item without a mark. Owned by the command server,
// which lists its outputs before the engine starts; constant afterwards, so
// any thread may call it.
#pragma once

#include <vector>

#include "engine/broadcastsink.h"

class CSinkFanOut : public CBroadcastSink {
  public:
    // Outputs are not owned and must outlive the engine's use of this sink;
    // reporting is one of them.
    CSinkFanOut(std::vector<CBroadcastSink*> outputs, CBroadcastSink* reporting)
        : outputs(std::move(outputs)), reporting(reporting) {}

    // To each output in turn, in the order they were listed; the mark to
    // the reporting output only.
    void Deliver(const std::vector<TOutputItem>& items, uint64_t mark) override;
    // To the reporting output only.
    void Redeliver(const std::vector<TOutputItem>& items, uint64_t mark) override;
    // The reporting output's.
    void ReportDeliveryTo(CDeliveryReports* reports) override;
    bool Receiving() override;
    // True when any output is blocked.
    bool Blocked() override;
    // Every output's lines, in order.
    std::vector<std::string> StatisticsLines() override;
    std::vector<TOutputStats> OutputStatistics() override;

  private:
    const std::vector<CBroadcastSink*> outputs;
    CBroadcastSink* const reporting;
};
