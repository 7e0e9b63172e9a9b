# The simulated WS-Management endpoint's side of the envelopes, against the
# provider's side and the fixture documents in tests/wmi/wsman. Built with
# the WS-Management provider only (not on Windows).
if(QUELLON_WSMAN)
  quellon_add_test(NAME wsman_serverenvelope_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/serverenvelope_test.cpp
    LIBS quellon_wsman_endpoint quellon_wmi)
  quellon_add_test(NAME wsman_eventxpath_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/eventxpath_test.cpp
    LIBS quellon_wsman_endpoint quellon_wmi)
endif()
