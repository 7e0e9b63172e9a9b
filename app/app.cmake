# quellon_app: the top of the listener: command line and the start-up steps
# shared by console and service mode. It reads the configuration, chooses
# the management-interface provider, reads the engine's options and builds
# the command server with its engine.
add_library(quellon_app STATIC
  ${CMAKE_CURRENT_LIST_DIR}/commandline.cpp
  ${CMAKE_CURRENT_LIST_DIR}/metricsendpoint.cpp
  ${CMAKE_CURRENT_LIST_DIR}/standingsubscriptions.cpp
  ${CMAKE_CURRENT_LIST_DIR}/startup.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tlssettings.cpp)
target_link_libraries(quellon_app PUBLIC quellon_base quellon_rslib quellon_platform_base
  quellon_server quellon_kafka quellon_engine quellon_wmi)

# quellon_cominit: joining the management interface's apartment and setting
# its security, done once by the entry point and the service.
add_library(quellon_cominit STATIC ${CMAKE_CURRENT_LIST_DIR}/cominit.cpp)
target_link_libraries(quellon_cominit PUBLIC quellon_wmi)

# The program itself, built into the build folder's root.
add_executable(quellon ${CMAKE_CURRENT_LIST_DIR}/pellmoor.cpp)
target_link_libraries(quellon PRIVATE quellon_app quellon_cominit quellon_server quellon_engine
  quellon_service_app)
set_target_properties(quellon PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
