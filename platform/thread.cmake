# quellon_platform_thread: OS threads (start, wait, abandon, suspend,
# priority, times) and the waitable mutex and semaphore behind RSLibrary.
add_library(quellon_platform_thread STATIC
  ${CMAKE_CURRENT_LIST_DIR}/thread_linux.cpp
  ${CMAKE_CURRENT_LIST_DIR}/waitable_linux.cpp)
target_link_libraries(quellon_platform_thread PUBLIC Threads::Threads)
