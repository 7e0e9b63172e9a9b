quellon_add_test(NAME quellon_sim_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/quellon_sim_test.cpp
  LIBS quellon_simstore)
add_dependencies(quellon_sim_test quellon-sim)
target_compile_definitions(quellon_sim_test PRIVATE
  QUELLON_SIM_TOOL="$<TARGET_FILE:quellon-sim>")
