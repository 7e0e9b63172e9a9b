quellon_add_test(NAME waitable_test LIBS quellon_rslib)
quellon_add_test(NAME abstractthread_test LIBS quellon_rslib)
# Wine's GetThreadTimes reports no CPU time (user and kernel stay 0), which
# the thread-times case requires; Windows reports them.
if(WIN32)
  set_property(TEST abstractthread_test APPEND PROPERTY ENVIRONMENT
    "GTEST_FILTER=-RSAbstractThread.ThreadTimes")
endif()
