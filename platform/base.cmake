# quellon_platform_base: profile reader, paths, text codec, debug output and
# privileges — the platform services of start-up, configuration and logging.
add_library(quellon_platform_base STATIC
  ${CMAKE_CURRENT_LIST_DIR}/profile_linux.cpp
  ${CMAKE_CURRENT_LIST_DIR}/paths_linux.cpp
  ${CMAKE_CURRENT_LIST_DIR}/text_linux.cpp
  ${CMAKE_CURRENT_LIST_DIR}/debugoutput_linux.cpp
  ${CMAKE_CURRENT_LIST_DIR}/privilege_linux.cpp
  ${CMAKE_CURRENT_LIST_DIR}/file_linux.cpp)
