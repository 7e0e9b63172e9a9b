# app_bench: cost of a log line (written, dropped, contended) and of a
# configuration look-up.
if(QUELLON_BENCH)
  add_executable(app_bench ${CMAKE_CURRENT_LIST_DIR}/app_bench.cpp)
  target_link_libraries(app_bench PRIVATE quellon_app benchmark::benchmark)
  set_target_properties(app_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endif()
