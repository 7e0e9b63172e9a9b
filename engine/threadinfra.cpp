#include "engine/threadinfra.h"

#include "base/logger.h"
#include "base/stringformat.h"
#include "engine/catchup.h"
#include "engine/eventdata.h"

const char* const g_stageNames[8] = {"New",   "Connected", "Disconnected",         "EventWait",
                                     "Error", "Completed", "Waiting To Reconnect", "Reconnecting"};

TSubscriptionNode::TSubscriptionNode() = default;

TSubscriptionNode::~TSubscriptionNode() {
    catchUp.reset();
    ReleaseQuery();
}

TResumeKey TSubscriptionNode::ResumeKey() const {
    return TResumeKey{host, category, eventType, user};
}

void TSubscriptionNode::SkipUnreadable(const std::string& log, uint32_t recordNumber,
                                       const std::string& failure) {
    LOG(ERROR, "[queryThread] Record %u of log %s of host %s cannot be read (%s); skipped - %s",
        static_cast<unsigned>(recordNumber), log.c_str(), host.c_str(), failure.c_str(),
        Describe().c_str());
    ++counters.skipped;
}

void TSubscriptionNode::NoteOddText(const TEventData& event) {
    if (warnedOddText) return;
    static const std::string kReplacement = "\xEF\xBF\xBD";  // U+FFFD in UTF-8
    auto odd = [](const std::string& text) {
        return text.find('\0') != std::string::npos || text.find(kReplacement) != std::string::npos;
    };
    const TEventValue& message = event[TEventProperty::Message];
    bool found = odd(message.text);
    for (const std::string& item : event[TEventProperty::InsertionStrings].items) {
        found = found || odd(item);
    }
    if (!found) return;
    warnedOddText = true;
    LOG(WARN,
        "[queryThread] A record's text holds characters that are not text (each invalid "
        "sequence now U+FFFD) or a NUL; this subscription says so once - %s",
        Describe().c_str());
}

bool TSubscriptionNode::SetStage(TSubscriptionStage newStage) {
    stage = newStage;
    return true;
}

std::string TSubscriptionNode::Describe() const {
    std::string text =
        "\\\\" + host + "\\" + wmiNamespace + ", user:" + user + ", eventType:" + eventType;
    if (reconnectTryNo > 0) text += StringFormat(", reconnectTryNo:%d", reconnectTryNo);
    return text;
}

void TSubscriptionNode::ReleaseQuery() {
    if (eventEnum != nullptr) {
        eventEnum->Release();
        eventEnum = nullptr;
    }
}
