quellon_add_test(NAME wmilogeventserver_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/wmilogeventserver_test.cpp
  LIBS quellon_server)
