// CBroadcastSink: what the subscription engine needs from whoever delivers
// its lines to the monitoring clients, and nothing more. The command server
// implements it; the engine's dispatcher and query threads hold only this.
// The sink outlives the engine's use of it: it is handed to the engine when
// the engine starts and is not called after the engine has stopped.
#pragma once

#include <string>
#include <vector>

class CBroadcastSink {
  public:
    virtual ~CBroadcastSink() = default;

    // Sends every text, with trailing white space removed and CR LF
    // appended, to every logged-in client: each client receives the lines in
    // order with no other broadcast between them. Nothing for an empty list.
    // A failed send to one client does not stop the others. Any thread.
    virtual void SendLinesToClients(const std::vector<std::string>& texts) = 0;
};
