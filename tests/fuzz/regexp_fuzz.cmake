# regexp_fuzz: libFuzzer target of the pattern engine. Only with QUELLON_FUZZ
# and clang; the engine's sources are compiled into the target so that the
# fuzzer sees their coverage. Run it with scripts/fuzz.
if(QUELLON_FUZZ AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  get_target_property(_regexp_sources quellon_regexp SOURCES)
  add_executable(regexp_fuzz ${CMAKE_CURRENT_LIST_DIR}/regexp_fuzz.cpp ${_regexp_sources})
  target_compile_options(regexp_fuzz PRIVATE -fsanitize=fuzzer,address,undefined -fno-omit-frame-pointer
    -fno-sanitize-recover=undefined)
  target_link_options(regexp_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
  set_target_properties(regexp_fuzz PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
endif()

# envelope_fuzz: libFuzzer target of the WS-Management envelope readers (the
# provider's and the simulated endpoint's); the readers are compiled into
# the target, the rest comes from quellon_wmi.
if(QUELLON_FUZZ AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  add_executable(envelope_fuzz ${CMAKE_CURRENT_LIST_DIR}/envelope_fuzz.cpp
    ${CMAKE_SOURCE_DIR}/wmi/wsman/soapxml.cpp ${CMAKE_SOURCE_DIR}/wmi/wsman/envelope.cpp
    ${CMAKE_SOURCE_DIR}/wmi/wsman/wsmanobject.cpp
    ${CMAKE_SOURCE_DIR}/wmi/sim/wsman/serverenvelope.cpp
    ${CMAKE_SOURCE_DIR}/wmi/sim/wsman/eventxpath.cpp)
  target_link_libraries(envelope_fuzz PRIVATE quellon_wmi)
  target_compile_options(envelope_fuzz PRIVATE -fsanitize=fuzzer,address,undefined
    -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(envelope_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
  set_target_properties(envelope_fuzz PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
endif()
