quellon_add_test(NAME servicemanager_test LIBS quellon_platform_service LINUX_ONLY)
# The service control manager of Windows (or Wine): a small service started
# by it, whose dispatcher must return after its main routine.
if(WIN32)
  add_executable(servicedispatch_win_host ${CMAKE_CURRENT_LIST_DIR}/servicedispatch_win_host.cpp)
  target_link_libraries(servicedispatch_win_host PRIVATE quellon_platform_service)
  set_target_properties(servicedispatch_win_host PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  quellon_add_test(NAME servicemanager_win_test LIBS quellon_platform_service
    DEPENDS servicedispatch_win_host)
endif()
