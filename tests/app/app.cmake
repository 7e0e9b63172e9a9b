quellon_add_test(NAME commandline_test LIBS quellon_app)
quellon_add_test(NAME pellmoor_test LIBS quellon_app DEPENDS quellon LINUX_ONLY)
quellon_add_test(NAME standingsubscriptions_test LIBS quellon_app)
quellon_add_test(NAME startup_test LIBS quellon_app)
