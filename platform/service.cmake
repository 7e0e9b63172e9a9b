# quellon_platform_service: the service control manager on systemd (unit
# files, signal-driven service dispatch, notify-socket status).
add_library(quellon_platform_service STATIC
  ${CMAKE_CURRENT_LIST_DIR}/servicemanager_linux.cpp)
target_link_libraries(quellon_platform_service PUBLIC Threads::Threads)
