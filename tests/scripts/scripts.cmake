# The set-up scripts' shared steps (scripts/lib.sh), with fake apt-get and
# apt-cache programs on the PATH. Linux only: the scripts run on the build
# machine.
if(NOT WIN32)
  find_program(QUELLON_PYTHON3 python3 REQUIRED)
  add_test(NAME scripts_lib_test
    COMMAND ${QUELLON_PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/lib_test.py)
  set_tests_properties(scripts_lib_test PROPERTIES TIMEOUT 120
    ENVIRONMENT "QUELLON_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endif()
