quellon_add_test(NAME profile_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/profile_test.cpp
  LIBS quellon_platform_base)
quellon_add_test(NAME paths_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/paths_test.cpp
  LIBS quellon_platform_base)
