quellon_add_test(NAME completionport_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/completionport_test.cpp
  LIBS quellon_platform_iocp)
