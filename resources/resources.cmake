# quellon_resources: the compiled-in message catalogue.
add_library(quellon_resources STATIC
  ${CMAKE_CURRENT_LIST_DIR}/messages.cpp)
