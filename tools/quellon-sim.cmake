# quellon-sim: the command-line tool that fills and drives the simulated
# hosts' store. Built to <build>/quellon-sim.
add_executable(quellon-sim ${CMAKE_CURRENT_LIST_DIR}/quellon-sim.cpp)
target_link_libraries(quellon-sim PRIVATE quellon_evtximport quellon_simstore quellon_wsman_endpoint
  quellon_platform_base)
set_target_properties(quellon-sim PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
