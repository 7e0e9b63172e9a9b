# wmi_bench: live-query throughput and idle-poll cost of the simulated hosts.
if(QUELLON_BENCH)
  add_executable(wmi_bench ${CMAKE_CURRENT_LIST_DIR}/wmi_bench.cpp)
  target_link_libraries(wmi_bench PRIVATE quellon_wmi benchmark::benchmark)
  set_target_properties(wmi_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
  add_dependencies(wmi_bench quellon-sim)
endif()
