quellon_add_test(NAME timerqueue_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/timerqueue_test.cpp
  LIBS quellon_platform_timer)
