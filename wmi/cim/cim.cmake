# quellon_wmi_cim_text: the part of the shared WMI vocabulary that needs no
# management interface: the time codec and the ASCII helpers. The simulated
# hosts' store and its tools use it as well as the providers and the engine.
add_library(quellon_wmi_cim_text STATIC
  ${CMAKE_CURRENT_LIST_DIR}/ascii.cpp
  ${CMAKE_CURRENT_LIST_DIR}/cimtime.cpp)
