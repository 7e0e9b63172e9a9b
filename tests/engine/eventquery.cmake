quellon_add_test(NAME eventquery_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/eventquery_test.cpp
  LIBS quellon_eventquery)
