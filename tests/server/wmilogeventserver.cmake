# Reads /proc/net/tcp for the sockets a forced disconnect left behind.
quellon_add_test(NAME wmilogeventserver_test LIBS quellon_server LINUX_ONLY)
