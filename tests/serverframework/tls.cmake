# The TLS peer of the tests speaks over POSIX sockets: Linux only for now.
if(NOT WIN32)
  add_library(quellon_tls_test_support STATIC
    ${CMAKE_CURRENT_LIST_DIR}/tls_test_support.cpp)
  target_link_libraries(quellon_tls_test_support PUBLIC OpenSSL::SSL OpenSSL::Crypto)
  target_compile_definitions(quellon_tls_test_support PRIVATE
    QUELLON_TEST_SOURCE_ROOT="${CMAKE_SOURCE_DIR}")
endif()

quellon_add_test(NAME sslsession_test LIBS quellon_tls quellon_tls_test_support GTest::gmock LINUX_ONLY)
quellon_add_test(NAME sslcontext_test LIBS quellon_tls quellon_tls_test_support GTest::gmock LINUX_ONLY)
