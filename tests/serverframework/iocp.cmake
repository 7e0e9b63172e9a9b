quellon_add_test(NAME iocpserver_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/iocpserver_test.cpp
  LIBS quellon_iocp)
