# quellon-engine-load: load driver for the subscription engine of a running
# listener (subscriptions, quellon-sim play processes, delivered events per
# client, write-to-arrival latency, resident memory per subscription); see
# bench/run-engine-load.sh.
if(QUELLON_BENCH)
  add_executable(quellon-engine-load ${CMAKE_CURRENT_LIST_DIR}/engineload.cpp)
  target_link_libraries(quellon-engine-load PRIVATE Threads::Threads)
  set_target_properties(quellon-engine-load PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
  add_dependencies(quellon-engine-load quellon quellon-sim)
endif()
