quellon_add_test(NAME tlsserver_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tlsserver_test.cpp
  LIBS quellon_server quellon_tls_test_support)
