# quellon_regexp: the pattern engine of the command server (compiler and
# backtracking matcher). Plain C++, no other project dependency.
add_library(quellon_regexp STATIC
  ${CMAKE_CURRENT_LIST_DIR}/regexp.cpp
  ${CMAKE_CURRENT_LIST_DIR}/regexp_compiler.cpp)
