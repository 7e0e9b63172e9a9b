# quellon_server: the command server (client sessions, broadcast and the
# command protocol) on top of the connection server.
add_library(quellon_server STATIC
  ${CMAKE_CURRENT_LIST_DIR}/wmilogeventserver.cpp
  ${CMAKE_CURRENT_LIST_DIR}/commandprotocol.cpp
  ${CMAKE_CURRENT_LIST_DIR}/loginbudget.cpp
  ${CMAKE_CURRENT_LIST_DIR}/listenermetrics.cpp
  ${CMAKE_CURRENT_LIST_DIR}/metricsserver.cpp
  ${CMAKE_CURRENT_LIST_DIR}/metricstext.cpp)
target_link_libraries(quellon_server PUBLIC quellon_iocp quellon_regexp quellon_base quellon_eventdata)
