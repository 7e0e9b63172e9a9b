# quellon_service: the service framework (CNTService) on the platform's
# service manager.
add_library(quellon_service STATIC
  ${CMAKE_CURRENT_LIST_DIR}/ntservice.cpp)
target_link_libraries(quellon_service PUBLIC quellon_platform_service quellon_platform_base quellon_rslib)

# quellon_service_app: the listener as a service (PellmoorService) and the
# install, uninstall and service-mode actions of the entry point.
add_library(quellon_service_app STATIC
  ${CMAKE_CURRENT_LIST_DIR}/pellmoorservice.cpp)
target_link_libraries(quellon_service_app PUBLIC quellon_service quellon_server quellon_engine quellon_app
  quellon_cominit)
