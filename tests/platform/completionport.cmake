# The IPv6 listener cases drive POSIX sockets by hand: Linux only for now.
quellon_add_test(NAME completionport_test LIBS quellon_platform_iocp LINUX_ONLY)
