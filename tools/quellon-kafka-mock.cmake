# quellon-kafka-mock: librdkafka's mock Kafka cluster as a process, for the
# demo and the Kafka bench. Built to <build>/quellon-kafka-mock; the
# listener does not link it. Not in the Windows build: the Wine test's
# cluster runs on Linux (scripts/test-windows builds this file for it).
if(NOT WIN32)
  add_executable(quellon-kafka-mock ${CMAKE_CURRENT_LIST_DIR}/quellon-kafka-mock.cpp)
  target_link_libraries(quellon-kafka-mock PRIVATE quellon_rdkafka)
  set_target_properties(quellon-kafka-mock PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
endif()
