# quellon-engine-load: load driver for the subscription engine of a running
# listener (subscriptions, quellon-sim play processes, delivered events per
# client, write-to-arrival latency, resident memory per subscription); see
# bench/run-engine-load.sh.
if(QUELLON_BENCH)
  quellon_add_bench(NAME quellon-engine-load SOURCES ${CMAKE_CURRENT_LIST_DIR}/engineload.cpp
    LIBS Threads::Threads DEPENDS quellon quellon-sim)
endif()
