# The WS-Management provider and endpoint: envelope parsing against the
# fixture documents beside this file.
quellon_add_test(NAME wsman_envelope_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/envelope_test.cpp
  LIBS quellon_wmi)
quellon_add_test(NAME wsman_provider_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/provider_test.cpp
  LIBS quellon_wsman_endpoint quellon_wmi)
