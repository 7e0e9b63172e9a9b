# quellon_add_test(NAME <name> SOURCES <files...> LIBS <targets...> [TIMEOUT <s>])
# Builds one GoogleTest executable and registers it with ctest as one test.
function(quellon_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  set_target_properties(${T_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "QUELLON_BUILD_DIR=${CMAKE_BINARY_DIR};QUELLON_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endfunction()
