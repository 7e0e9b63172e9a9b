# quellon_wmi: the COM-shaped management interface, the simulated-hosts
# provider behind it and the WMI connection pool.
add_library(quellon_wmi STATIC
  ${CMAKE_CURRENT_LIST_DIR}/sim/ntlogevent.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sim/wql.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sim/storeconnections.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sim/simenumerator.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sim/simprovider.cpp
  ${CMAKE_CURRENT_LIST_DIR}/wmiconnector.cpp)
target_link_libraries(quellon_wmi PUBLIC quellon_simstore quellon_base quellon_rslib
  quellon_platform_base quellon_platform_computername)
# COM and WMI: the Windows SDK, or on Linux its substitute in winsdk/
# (platform/platform.cmake decides).
quellon_windows_sdk_com(quellon_wmi)
