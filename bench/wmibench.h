// Shared pieces of the WMI benches: the records they write and what a
// query thread reads of each delivered event.
#pragma once

#include <wbemidl.h>

#include <string>
#include <vector>

#include "wmi/cim/cimtime.h"
#include "wmi/sim/simstore.h"

// Record i of a bench's backlog: a Service Control Manager event of the
// System or Application log, written now.
inline wmi::sim::SimEvent BenchEvent(int i) {
    wmi::sim::SimEvent e;
    e.logFile = i % 3 ? "System" : "Application";
    e.eventType = 1 + i % 5;
    e.typeText = wmi::sim::EventTypeText(e.eventType);
    e.eventCode = 7000 + i % 100;
    e.eventIdentifier = e.eventCode;
    e.sourceName = "Service Control Manager";
    e.timeGenerated = e.timeWritten = wmi::cim::NowMicros();
    e.insertionStrings = std::vector<std::string>{"The Print Spooler service", "running"};
    e.message = "The Print Spooler service entered the running state.";
    e.computerName = "BENCH";
    return e;
}

// The notification's TargetInstance and six of its properties.
inline void ReadSixProperties(IWbemClassObject* notification) {
    VARIANT target;
    VariantInit(&target);
    notification->Get(u"TargetInstance", 0, &target, nullptr, nullptr);
    auto* event = static_cast<IWbemClassObject*>(target.punkVal);
    for (const char16_t* name : {u"TimeGenerated", u"InsertionStrings", u"EventCode", u"Type",
                                 u"LogFile", u"SourceName"}) {
        VARIANT v;
        VariantInit(&v);
        event->Get(name, 0, &v, nullptr, nullptr);
        VariantClear(&v);
    }
    VariantClear(&target);
}
