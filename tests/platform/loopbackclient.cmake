# quellon_test_loopback: the client side of loopback TCP for tests
# (tests/platform/loopbackclient.h), one source per system.
if(WIN32)
  add_library(quellon_test_loopback STATIC ${CMAKE_CURRENT_LIST_DIR}/loopbackclient_win.cpp)
  target_link_libraries(quellon_test_loopback PUBLIC ws2_32)
else()
  add_library(quellon_test_loopback STATIC ${CMAKE_CURRENT_LIST_DIR}/loopbackclient_linux.cpp)
endif()
