quellon_add_test(NAME ntservice_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ntservice_test.cpp
  LIBS quellon_service)
