quellon_add_test(NAME synchronization_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/synchronization_test.cpp
  LIBS quellon_rslib)
