add_library(quellon_platform_sync STATIC
  ${CMAKE_CURRENT_LIST_DIR}/recursive_mutex_linux.cpp)
target_link_libraries(quellon_platform_sync PUBLIC Threads::Threads)
