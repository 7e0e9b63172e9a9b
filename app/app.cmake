# quellon_app: configuration store, logger, message look-up, string helpers,
# command line and start-up steps shared by console and service mode.
add_library(quellon_app STATIC
  ${CMAKE_CURRENT_LIST_DIR}/configdataloader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/logger.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stringformat.cpp)
target_link_libraries(quellon_app PUBLIC quellon_rslib quellon_resources quellon_platform_base)
