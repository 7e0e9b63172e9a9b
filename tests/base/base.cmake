quellon_add_test(NAME configdataloader_test LIBS quellon_base LINUX_ONLY)
quellon_add_test(NAME logger_test LIBS quellon_base)
quellon_add_test(NAME secretmask_test LIBS quellon_base)
quellon_add_test(NAME stringconvertor_test LIBS quellon_base)
# Windows keeps no POSIX mode bits: the log's files are guarded by the
# folder's access list there, which the case that reads the modes cannot see.
if(WIN32)
  set_property(TEST logger_test APPEND PROPERTY ENVIRONMENT
    "GTEST_FILTER=-LoggerTest.TheLogAndItsRotatedCopiesAreClosedToOthers")
endif()
