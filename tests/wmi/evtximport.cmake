quellon_add_test(NAME evtximport_test LIBS quellon_evtximport quellon_simstore LINUX_ONLY)
# The python-evtx reader the test compares against lives next to the test.
if(TARGET evtximport_test)
  target_compile_definitions(evtximport_test PRIVATE
    QUELLON_EVTX_ORACLE="${CMAKE_CURRENT_LIST_DIR}/evtx_oracle.py")
endif()
