quellon_add_test(NAME simstore_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/simstore_test.cpp
  LIBS quellon_simstore)
