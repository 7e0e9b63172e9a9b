# quellon_service: the service framework (CNTService) on the platform's
# service manager.
add_library(quellon_service STATIC
  ${CMAKE_CURRENT_LIST_DIR}/ntservice.cpp)
target_link_libraries(quellon_service PUBLIC quellon_platform_service quellon_platform_base quellon_rslib)
