quellon_add_test(NAME iocpserver_test LIBS quellon_iocp)
quellon_add_test(NAME sourceblock_test LIBS quellon_iocp)
quellon_add_test(NAME refusallog_test LIBS quellon_iocp)
