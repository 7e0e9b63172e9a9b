quellon_add_test(NAME regexp_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/regexp_test.cpp
  LIBS quellon_regexp)
