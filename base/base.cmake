# quellon_base: the bottom library every part may use: the logger, the
# configuration store, text formatting and conversion, the version banner
# and the message catalogue (resources/ adds it). Uses nothing of ours but
# platform/.
add_library(quellon_base STATIC
  ${CMAKE_CURRENT_LIST_DIR}/configdataloader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/logger.cpp
  ${CMAKE_CURRENT_LIST_DIR}/secretmask.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stringconvertor.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stringformat.cpp
  ${CMAKE_CURRENT_LIST_DIR}/version.cpp)
target_link_libraries(quellon_base PUBLIC quellon_platform_base quellon_platform_sync)
