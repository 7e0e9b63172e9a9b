// TEngineOptions: the subscription engine's tuning. The start-up code reads
// it from the configuration once and hands it to the controller, which
// passes it on to the dispatcher and its worker threads; no engine class
// reads the configuration. The defaults are those of an absent key.
#pragma once

#include <cstdint>
#include <string>

struct TEngineOptions {
    // Connector threads (PERFORMANCE.ConnectionProcessors) and query threads
    // (PERFORMANCE.EventRetriever). Below 1 the controller runs one of each,
    // with a warning.
    int32_t connectorCount = 10;
    int32_t queryThreadCount = 32;
    // Reconnect delays in seconds (OTHERS.MinReconnectInterval and
    // OTHERS.MaxReconnectInterval): the first retry waits the minimum, each
    // further one twice the one before, never more than the maximum.
    int32_t minReconnectInterval = 1000;
    int32_t maxReconnectInterval = 10000;
    // How often the dispatcher looks for a stop request while idle, in ms
    // (OTHERS.CHECKTERMINATEFLAG).
    int32_t checkTerminateMs = 2000;
    // The WITHIN interval of the live queries, in seconds
    // (PERFORMANCE.WT_FOR_WQ).
    int32_t withinInterval = 60;
    // How long a query thread waits, in ms, once none of its subscriptions
    // has anything (OTHERS.EVENTWAITPERCONNECTION; a poll itself does not
    // wait), and the objects one poll asks for (OTHERS.NUMBEROFEVENTSTOPOOL;
    // the query thread uses 1 to 50).
    int32_t pollTimeoutMs = 1000;
    int32_t batchSize = 50;
    // The most records one catch-up delivers after a reconnect
    // (OTHERS.MAXCATCHUPEVENTS); the newest are kept.
    int64_t maxCatchUp = 100000;
    // The state file that keeps resume points across restarts
    // (OTHERS.STATEFILE, taken against the program's directory); empty: off.
    std::string stateFile;
    // At an orderly stop, how long the output may take, in ms, to deliver
    // what it holds before the resume points are kept where they stand.
    int32_t drainTimeoutMs = 5000;
};
