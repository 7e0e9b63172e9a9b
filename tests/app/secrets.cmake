# Runs the quellon program against a simulated host made with quellon-sim
# and checks its log file for passwords; the TLS case uses the test
# certificates (needs the openssl command).
quellon_add_test(NAME secrets_test LIBS quellon_tls_test_support DEPENDS quellon quellon-sim LINUX_ONLY)
