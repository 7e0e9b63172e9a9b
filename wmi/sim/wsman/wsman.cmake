# quellon_wsman_endpoint: the simulated WS-Management endpoint that serves
# the simulated hosts (quellon-sim serve --wsman, the tests and the
# benchmarks) and its side of the envelopes. Test tooling: the listener does
# not link it. Without the WS-Management libraries (the Windows build) it
# refuses to start.
if(QUELLON_WSMAN)
  add_library(quellon_wsman_endpoint STATIC
    ${CMAKE_CURRENT_LIST_DIR}/endpoint.cpp
    ${CMAKE_CURRENT_LIST_DIR}/eventxpath.cpp
    ${CMAKE_CURRENT_LIST_DIR}/serverenvelope.cpp)
  target_link_libraries(quellon_wsman_endpoint PUBLIC quellon_wmi quellon_platform_iocp
    OpenSSL::SSL OpenSSL::Crypto Threads::Threads)
else()
  add_library(quellon_wsman_endpoint STATIC ${CMAKE_CURRENT_LIST_DIR}/endpoint_unavailable.cpp)
  target_link_libraries(quellon_wsman_endpoint PUBLIC quellon_wmi)
endif()
