# quellon_platform_iocp: the completion port and the socket helpers of the
# connection server.
add_library(quellon_platform_iocp STATIC
  ${CMAKE_CURRENT_LIST_DIR}/completionport_linux.cpp
  ${CMAKE_CURRENT_LIST_DIR}/socket_linux.cpp)
target_link_libraries(quellon_platform_iocp PUBLIC Threads::Threads)
