# The simulated WS-Management endpoint's side of the envelopes, against the
# provider's side and the fixture documents in tests/wmi/wsman.
quellon_add_test(NAME wsman_serverenvelope_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/serverenvelope_test.cpp
  LIBS quellon_wsman_endpoint quellon_wmi)
