# Runs the quellon program itself with TLS on; needs the openssl command.
if(TARGET quellon)
  quellon_add_test(NAME quellon_tls_test LIBS quellon_tls_test_support DEPENDS quellon LINUX_ONLY)
endif()
