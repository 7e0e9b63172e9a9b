quellon_add_test(NAME servicemanager_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/servicemanager_test.cpp
  LIBS quellon_platform_service)
