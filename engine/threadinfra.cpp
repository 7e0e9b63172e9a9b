#include "engine/threadinfra.h"

#include "base/stringformat.h"
#include "engine/catchup.h"

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
