# quellon_wmi: the COM-shaped management interface, the vocabulary its
# providers and the engine share (cim/), the simulated-hosts and
# WS-Management providers behind it and the WMI connection pool.
add_library(quellon_wmi STATIC
  ${CMAKE_CURRENT_LIST_DIR}/cim/ntlogevent.cpp
  ${CMAKE_CURRENT_LIST_DIR}/cim/wql.cpp
  ${CMAKE_CURRENT_LIST_DIR}/cim/resource.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sim/ntlogevent.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sim/storeconnections.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sim/simenumerator.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sim/simprovider.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sim/newestfirst.cpp
  ${CMAKE_CURRENT_LIST_DIR}/wsman/soapxml.cpp
  ${CMAKE_CURRENT_LIST_DIR}/wsman/envelope.cpp
  ${CMAKE_CURRENT_LIST_DIR}/wsman/wsmanobject.cpp
  ${CMAKE_CURRENT_LIST_DIR}/wsman/gsscontext.cpp
  ${CMAKE_CURRENT_LIST_DIR}/wsman/httptransport.cpp
  ${CMAKE_CURRENT_LIST_DIR}/wsman/wsmanprovider.cpp
  ${CMAKE_CURRENT_LIST_DIR}/comobject.cpp
  ${CMAKE_CURRENT_LIST_DIR}/wmiconnector.cpp)
target_link_libraries(quellon_wmi PUBLIC quellon_wmi_cim_text quellon_simstore quellon_base quellon_rslib
  quellon_platform_base quellon_platform_computername pugixml::pugixml CURL::libcurl
  PkgConfig::GSSAPI OpenSSL::Crypto)
# COM and WMI: the Windows SDK, or on Linux its substitute in winsdk/
# (platform/platform.cmake decides).
quellon_windows_sdk_com(quellon_wmi)
