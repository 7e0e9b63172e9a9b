quellon_add_test(NAME waitable_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/waitable_test.cpp
  LIBS quellon_rslib)
quellon_add_test(NAME abstractthread_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/abstractthread_test.cpp
  LIBS quellon_rslib)
