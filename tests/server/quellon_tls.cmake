# Runs the quellon program itself with TLS on; needs the openssl command.
if(TARGET quellon)
  quellon_add_test(NAME quellon_tls_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/quellon_tls_test.cpp
    LIBS quellon_tls_test_support
    TIMEOUT 300)
  add_dependencies(quellon_tls_test quellon)
  target_compile_definitions(quellon_tls_test PRIVATE
    QUELLON_TEST_BUILD_DIR="${CMAKE_BINARY_DIR}")
endif()
