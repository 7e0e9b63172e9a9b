# quellon-load: load driver for the command server (N clients, NOOP round
# trips); quellon-serverhost: the command server alone on a given port, for
# bench/run-server-load.sh.
if(QUELLON_BENCH)
  add_executable(quellon-load ${CMAKE_CURRENT_LIST_DIR}/loaddriver.cpp)
  target_link_libraries(quellon-load PRIVATE OpenSSL::SSL OpenSSL::Crypto Threads::Threads)
  set_target_properties(quellon-load PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
  add_executable(quellon-serverhost ${CMAKE_CURRENT_LIST_DIR}/serverhost.cpp)
  target_link_libraries(quellon-serverhost PRIVATE quellon_server)
  set_target_properties(quellon-serverhost PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endif()
