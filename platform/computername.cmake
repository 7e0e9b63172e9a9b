# quellon_platform_computername: the local machine's name.
add_library(quellon_platform_computername STATIC
  ${CMAKE_CURRENT_LIST_DIR}/computername_linux.cpp)
