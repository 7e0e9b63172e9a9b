// CDeliveryListener: how an output that confirms delivery (the Kafka
// output) tells the engine that a record of a live subscription has been
// acknowledged, so that the subscription's stored resume point moves past
// it. The controller implements it over the state file. Called on the
// output's own thread, in the order the output's consumer acknowledged the
// records (for one subscription, the order they were delivered).
#pragma once

#include <string>

#include "engine/resumepoint.h"

class CDeliveryListener {
  public:
    virtual ~CDeliveryListener() = default;

    // The record at `position` of `log` of the subscription `key` was
    // acknowledged, and every one delivered before it.
    virtual void Acknowledged(const TResumeKey& key, const std::string& log,
                              const TLogPosition& position) = 0;
};
