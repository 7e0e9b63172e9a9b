# quellon_wmi: the COM-shaped management interface, the vocabulary its
# providers and the engine share (cim/), the simulated-hosts, WS-Management
# and system-WMI providers behind it and the WMI connection pool.
add_library(quellon_wmi STATIC
  ${CMAKE_CURRENT_LIST_DIR}/cim/ntlogevent.cpp
  ${CMAKE_CURRENT_LIST_DIR}/cim/wql.cpp
  ${CMAKE_CURRENT_LIST_DIR}/cim/resource.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sim/ntlogevent.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sim/storeconnections.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sim/simenumerator.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sim/simprovider.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sim/newestfirst.cpp
  ${CMAKE_CURRENT_LIST_DIR}/native/wmiprovider.cpp
  ${CMAKE_CURRENT_LIST_DIR}/callcancel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/comobject.cpp
  ${CMAKE_CURRENT_LIST_DIR}/wmiconnector.cpp)
target_link_libraries(quellon_wmi PUBLIC quellon_wmi_cim_text quellon_simstore quellon_base
  quellon_rslib quellon_platform_base quellon_platform_computername quellon_platform_wmi
  OpenSSL::Crypto)
if(QUELLON_WSMAN)
  target_sources(quellon_wmi PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/wsman/soapxml.cpp
    ${CMAKE_CURRENT_LIST_DIR}/wsman/envelope.cpp
    ${CMAKE_CURRENT_LIST_DIR}/wsman/channelevent.cpp
    ${CMAKE_CURRENT_LIST_DIR}/wsman/channelquery.cpp
    ${CMAKE_CURRENT_LIST_DIR}/wsman/exchange.cpp
    ${CMAKE_CURRENT_LIST_DIR}/wsman/wsmanenumerator.cpp
    ${CMAKE_CURRENT_LIST_DIR}/wsman/wsmanobject.cpp
    ${CMAKE_CURRENT_LIST_DIR}/wsman/sealedbody.cpp
    ${CMAKE_CURRENT_LIST_DIR}/wsman/gsscontext.cpp
    ${CMAKE_CURRENT_LIST_DIR}/wsman/httptransport.cpp
    ${CMAKE_CURRENT_LIST_DIR}/wsman/wsmanprovider.cpp)
  target_link_libraries(quellon_wmi PUBLIC pugixml::pugixml CURL::libcurl PkgConfig::GSSAPI)
else()
  # Selecting the provider says it is not built.
  target_sources(quellon_wmi PRIVATE ${CMAKE_CURRENT_LIST_DIR}/wsman/unavailable.cpp)
endif()
# COM and WMI: the Windows SDK, or on Linux its substitute in winsdk/
# (platform/platform.cmake decides).
quellon_windows_sdk_com(quellon_wmi)
