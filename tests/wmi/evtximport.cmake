quellon_add_test(NAME evtximport_test LIBS quellon_evtximport quellon_simstore)
# The python-evtx reader the test compares against lives next to the test.
target_compile_definitions(evtximport_test PRIVATE
  QUELLON_EVTX_ORACLE="${CMAKE_CURRENT_LIST_DIR}/evtx_oracle.py")
