quellon_add_test(NAME messages_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/messages_test.cpp
  LIBS quellon_app)
