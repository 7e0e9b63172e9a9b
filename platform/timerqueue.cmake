# quellon_platform_timer: timer queues (one thread per queue) for one-shot
# and periodic callbacks.
add_library(quellon_platform_timer STATIC
  ${CMAKE_CURRENT_LIST_DIR}/timerqueue_linux.cpp)
target_link_libraries(quellon_platform_timer PUBLIC Threads::Threads)
