# quellon_rslib: the RSLibrary thread and synchronisation library (critical
# section, waitable mutex and semaphore, the abstract thread).
add_library(quellon_rslib STATIC
  ${CMAKE_CURRENT_LIST_DIR}/synchronization.cpp
  ${CMAKE_CURRENT_LIST_DIR}/waitable.cpp
  ${CMAKE_CURRENT_LIST_DIR}/abstractthread.cpp)
target_link_libraries(quellon_rslib PUBLIC quellon_platform_sync quellon_platform_thread
  Threads::Threads)
