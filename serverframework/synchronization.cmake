# quellon_rslib: the RSLibrary thread and synchronisation library.
# Sources are appended by the components that make it up.
add_library(quellon_rslib STATIC
  ${CMAKE_CURRENT_LIST_DIR}/synchronization.cpp)
target_link_libraries(quellon_rslib PUBLIC quellon_platform_sync Threads::Threads)
