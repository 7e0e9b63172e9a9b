# simstore_bench: the simulated hosts' store (append, polls, time windows) and
# the .evtx import.
if(QUELLON_BENCH)
  add_executable(simstore_bench ${CMAKE_CURRENT_LIST_DIR}/simstore_bench.cpp)
  target_link_libraries(simstore_bench PRIVATE quellon_evtximport quellon_simstore benchmark::benchmark)
  set_target_properties(simstore_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endif()
