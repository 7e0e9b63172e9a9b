quellon_add_test(NAME commandline_test LIBS quellon_app)
quellon_add_test(NAME pellmoor_test LIBS quellon_app DEPENDS quellon LINUX_ONLY)
quellon_add_test(NAME standingsubscriptions_test LIBS quellon_app)
quellon_add_test(NAME startup_test LIBS quellon_app)
# quellon.exe under Wine, driven from Linux (Python and the openssl client):
# the service under Wine's service control manager, the listener on Wine's
# WMI, TLS 1.2. A Linux program, so ctest runs it without the emulator.
if(WIN32)
  find_program(QUELLON_PYTHON3 python3 REQUIRED)
  add_test(NAME quellon_wine_test
    COMMAND ${QUELLON_PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/quellon_wine_test.py)
  set_tests_properties(quellon_wine_test PROPERTIES TIMEOUT 600
    ENVIRONMENT "QUELLON_BUILD_DIR=${CMAKE_BINARY_DIR};QUELLON_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endif()
