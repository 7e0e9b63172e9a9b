# The service host as a child process: the entry point's -i, -u and -s.
add_executable(quellon_servicehost ${CMAKE_CURRENT_LIST_DIR}/servicehost.cpp)
target_link_libraries(quellon_servicehost PRIVATE quellon_service_app)
set_target_properties(quellon_servicehost PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)

quellon_add_test(NAME pellmoorservice_test
  LIBS quellon_service_app quellon_tls_test_support quellon_simstore
  DEPENDS quellon_servicehost LINUX_ONLY)
