quellon_add_test(NAME iocpserver_test LIBS quellon_iocp)
