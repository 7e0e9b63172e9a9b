quellon_add_test(NAME tlssettings_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tlssettings_test.cpp
  LIBS quellon_app)
