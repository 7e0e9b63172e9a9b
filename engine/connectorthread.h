// CConnectorThread: does the engine's slow, blocking WMI work at the start
// and the end of a subscription's life. Created, started, stopped and
// destroyed by the dispatcher, which is the only other thread that adds to
// its queue.
//
// DESIGN
//   One thread, one queue. Each node taken is connected (stage New or
//   Reconnecting: pool connect, then the node's query) or disconnected
//   (stage Completed: the pool reference given back), and always returned
//   to the dispatcher with AddJob. Nodes marked for deletion that are not
//   Completed go back untouched. An idle connector waits up to 5000 ms for
//   work, so it sees a terminate request within that time.
#pragma once

#include <cstdint>

#include "engine/engineoptions.h"
#include "engine/threadinfra.h"
#include "serverframework/abstractthread.h"

class CDispatchThread;

class CConnectorThread : public RSLibrary::RSAbstractThread, public CJobQueue<TSubscriptionNode> {
  public:
    // Uses the options' WITHIN interval for the live queries.
    CConnectorThread(CDispatchThread* dispatcher, const TEngineOptions& options);
    ~CConnectorThread() override;

    // Builds and starts the node's query on node->services; on success the
    // enumerator is in node->eventEnum. Negative result on failure.
    HRESULT SendQuery(TSubscriptionNode* node);

    // Ends the node's query and gives its connection back to the pool; the
    // node is left Disconnected. Runs on the thread that holds the node.
    static void Disconnect(TSubscriptionNode* node);

  protected:
    void run() override;

  private:
    void Connect(TSubscriptionNode* node);

    int32_t withinInterval;       // constant after construction
    CDispatchThread* dispatcher;  // not owned
};
