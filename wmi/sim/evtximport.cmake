# quellon_evtximport: reads Windows .evtx files (libevtx) into the simulated
# hosts' store.
# Without libevtx (the Windows build) reading and importing say so.
if(QUELLON_EVTX)
  add_library(quellon_evtximport STATIC
    ${CMAKE_CURRENT_LIST_DIR}/evtximport.cpp)
  target_link_libraries(quellon_evtximport PUBLIC quellon_simstore
    PRIVATE quellon_platform_base PkgConfig::LIBEVTX)
else()
  add_library(quellon_evtximport STATIC
    ${CMAKE_CURRENT_LIST_DIR}/evtximport_unavailable.cpp)
  target_link_libraries(quellon_evtximport PUBLIC quellon_simstore)
endif()
