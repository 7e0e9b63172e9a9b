# quellon_simstore: the simulated Windows hosts' store (SQLite) and the time
# forms its tools accept; used by the simulated-hosts provider and by
# quellon-sim.
add_library(quellon_simstore STATIC
  ${CMAKE_CURRENT_LIST_DIR}/simstore.cpp
  ${CMAKE_CURRENT_LIST_DIR}/simtime.cpp)
target_link_libraries(quellon_simstore PUBLIC quellon_wmi_cim_text quellon_rslib SQLite::SQLite3)
