# regexp_bench: compile + match of the command patterns against std::regex
# and PCRE2. Only with QUELLON_BENCH and when PCRE2 (8-bit) is found.
if(QUELLON_BENCH AND TARGET PkgConfig::PCRE2)
  add_executable(regexp_bench ${CMAKE_CURRENT_LIST_DIR}/regexp_bench.cpp)
  target_link_libraries(regexp_bench PRIVATE quellon_regexp benchmark::benchmark PkgConfig::PCRE2)
  set_target_properties(regexp_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endif()
