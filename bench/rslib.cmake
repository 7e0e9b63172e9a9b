# rslib_bench: cost of the library's locks and wake-up signal, and the
# timer queue's firing latency.
if(QUELLON_BENCH)
  add_executable(rslib_bench ${CMAKE_CURRENT_LIST_DIR}/rslib_bench.cpp)
  target_link_libraries(rslib_bench PRIVATE quellon_rslib quellon_platform_timer benchmark::benchmark)
  set_target_properties(rslib_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endif()
