quellon_add_test(NAME tlssettings_test LIBS quellon_app LINUX_ONLY)
