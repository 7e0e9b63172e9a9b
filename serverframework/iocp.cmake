# quellon_iocp: the connection server (accept thread, worker thread, posted
# reads and sends over the completion port, per-source bounds).
add_library(quellon_iocp STATIC
  ${CMAKE_CURRENT_LIST_DIR}/iocpserver.cpp
  ${CMAKE_CURRENT_LIST_DIR}/refusallog.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sourceblock.cpp)
target_link_libraries(quellon_iocp PUBLIC quellon_platform_iocp quellon_rslib quellon_base quellon_tls)
