quellon_add_test(NAME profile_test LIBS quellon_platform_base)
quellon_add_test(NAME text_test LIBS quellon_platform_base)
# The path rules differ between the systems: one test of each.
quellon_add_test(NAME paths_test LIBS quellon_platform_base LINUX_ONLY)
if(WIN32)
  quellon_add_test(NAME paths_win_test LIBS quellon_platform_base)
endif()
# The system's WMI on the local machine (Windows, or Wine).
if(WIN32)
  quellon_add_test(NAME wmiclient_win_test LIBS quellon_platform_wmi)
endif()
