# Built with the WS-Management provider only (not on Windows).
if(QUELLON_WSMAN)
  # The WS-Management provider and endpoint: envelope parsing against the
  # fixture documents beside this file.
  quellon_add_test(NAME wsman_envelope_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/envelope_test.cpp
    LIBS quellon_wmi)
  # Sealed bodies in each form a peer may send, and real NTLM messages in
  # them.
  quellon_add_test(NAME wsman_sealedbody_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/sealedbody_test.cpp
    LIBS quellon_wmi)
  quellon_add_test(NAME wsman_provider_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/provider_test.cpp
    LIBS quellon_wsman_endpoint quellon_wmi)
  # An independent client (Debian's python3-winrm) against quellon-sim serve.
  add_test(NAME wsman_winrm_client_test
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/winrm_client_test.py $<TARGET_FILE:quellon-sim>)
  set_tests_properties(wsman_winrm_client_test PROPERTIES TIMEOUT 120)
  quellon_add_test(NAME wsman_httptransport_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/httptransport_test.cpp
    LIBS quellon_wmi)
  quellon_add_test(NAME wsman_channelevent_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/channelevent_test.cpp
    LIBS quellon_wmi)
  # The event log resource: real channel logs served and read back.
  quellon_add_test(NAME wsman_channel_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/channel_test.cpp
    LIBS quellon_wsman_endpoint quellon_evtximport quellon_wmi)
  quellon_add_test(NAME wsman_hostile_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/hostile_test.cpp
    LIBS quellon_wsman_endpoint quellon_wmi)
  # gss-ntlmssp's own leak of its sealing handles (see lsan.supp); full
  # stacks, so that the suppression sees the library behind OpenSSL's frames.
  set_property(TEST wsman_provider_test wsman_sealedbody_test wsman_channel_test APPEND PROPERTY ENVIRONMENT
    "ASAN_OPTIONS=fast_unwind_on_malloc=0" "LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_LIST_DIR}/lsan.supp")
endif()
