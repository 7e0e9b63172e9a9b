# quellon_add_test(NAME <name> [SOURCES <files...>] LIBS <targets...>
#                  [DEPENDS <targets...>] [TIMEOUT <s>] [LINUX_ONLY])
# Builds one GoogleTest executable into <build>/tests and registers it with
# ctest as one test. SOURCES defaults to <name>.cpp beside the calling
# fragment; DEPENDS names programs the test runs, built before it. The test
# finds the build and source trees through QUELLON_BUILD_DIR and
# QUELLON_SOURCE_DIR in its environment, with the compiled-in
# QUELLON_TEST_BUILD_DIR and QUELLON_TEST_SOURCE_ROOT as fallbacks.
function(quellon_add_test)
  cmake_parse_arguments(T "LINUX_ONLY" "NAME;TIMEOUT" "SOURCES;LIBS;DEPENDS" ${ARGN})
  if(T_LINUX_ONLY AND WIN32)
    return()
  endif()
  if(NOT T_SOURCES)
    set(T_SOURCES ${CMAKE_CURRENT_LIST_DIR}/${T_NAME}.cpp)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} quellon_test_loopback GTest::gtest GTest::gtest_main
    Threads::Threads)
  set_target_properties(${T_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_compile_definitions(${T_NAME} PRIVATE
    QUELLON_TEST_SOURCE_ROOT="${CMAKE_SOURCE_DIR}" QUELLON_TEST_BUILD_DIR="${CMAKE_BINARY_DIR}")
  if(T_DEPENDS)
    add_dependencies(${T_NAME} ${T_DEPENDS})
  endif()
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "QUELLON_BUILD_DIR=${CMAKE_BINARY_DIR};QUELLON_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endfunction()

# quellon_add_bench(NAME <name> [SOURCES <files...>] LIBS <targets...>
#                   [DEPENDS <targets...>])
# Builds one benchmark or load driver into <build>/bench. SOURCES defaults to
# <name>.cpp beside the calling fragment; QUELLON_TEST_SOURCE_ROOT names the
# source tree, as for tests.
function(quellon_add_bench)
  cmake_parse_arguments(B "" "NAME" "SOURCES;LIBS;DEPENDS" ${ARGN})
  if(NOT B_SOURCES)
    set(B_SOURCES ${CMAKE_CURRENT_LIST_DIR}/${B_NAME}.cpp)
  endif()
  add_executable(${B_NAME} ${B_SOURCES})
  target_link_libraries(${B_NAME} PRIVATE ${B_LIBS})
  set_target_properties(${B_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
  target_compile_definitions(${B_NAME} PRIVATE QUELLON_TEST_SOURCE_ROOT="${CMAKE_SOURCE_DIR}")
  if(B_DEPENDS)
    add_dependencies(${B_NAME} ${B_DEPENDS})
  endif()
endfunction()
