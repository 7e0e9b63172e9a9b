# quellon_engine_records: subscription records, job queues and event records.
add_library(quellon_engine_records STATIC
  ${CMAKE_CURRENT_LIST_DIR}/threadinfra.cpp
  ${CMAKE_CURRENT_LIST_DIR}/eventrecord.cpp
  ${CMAKE_CURRENT_LIST_DIR}/resumepoint.cpp
  ${CMAKE_CURRENT_LIST_DIR}/resumestore.cpp
  ${CMAKE_CURRENT_LIST_DIR}/catchup.cpp
  ${CMAKE_CURRENT_LIST_DIR}/eventrate.cpp)
target_link_libraries(quellon_engine_records PUBLIC quellon_rslib quellon_base quellon_wmi
  quellon_eventquery quellon_platform_filelock SQLite::SQLite3)

# quellon_engine: the controller, the dispatcher and its connector and query
# threads.
add_library(quellon_engine STATIC
  ${CMAKE_CURRENT_LIST_DIR}/controller.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dispatchthread.cpp
  ${CMAKE_CURRENT_LIST_DIR}/connectorthread.cpp
  ${CMAKE_CURRENT_LIST_DIR}/querythread.cpp
  ${CMAKE_CURRENT_LIST_DIR}/deliveryledger.cpp)
target_link_libraries(quellon_engine PUBLIC quellon_engine_records quellon_platform_timer
  quellon_eventquery)
