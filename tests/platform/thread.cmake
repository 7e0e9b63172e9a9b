quellon_add_test(NAME platform_thread_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/thread_test.cpp
  LIBS quellon_platform_thread)
