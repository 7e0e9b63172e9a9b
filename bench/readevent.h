// What a query thread reads of each delivered event, for the WMI benches:
// the notification's TargetInstance and six of its properties.
#pragma once

#include <wbemidl.h>

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
