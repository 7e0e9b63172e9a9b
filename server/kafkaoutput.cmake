# quellon_kafka: the engine's output into Kafka (librdkafka's producer) and
# the JSON form of events and notices (RapidJSON, header-only). The Windows
# build has no librdkafka: there the library only says that the output is
# not built, and start-up refuses a [KAFKA] section that turns it on.
if(WIN32)
  add_library(quellon_kafka STATIC ${CMAKE_CURRENT_LIST_DIR}/kafkaoutput_unavailable.cpp)
  target_link_libraries(quellon_kafka PUBLIC quellon_eventdata)
else()
  pkg_check_modules(RDKAFKA REQUIRED IMPORTED_TARGET rdkafka)
  add_library(quellon_kafka STATIC
    ${CMAKE_CURRENT_LIST_DIR}/eventjson.cpp
    ${CMAKE_CURRENT_LIST_DIR}/kafkaoutput.cpp)
  target_link_libraries(quellon_kafka PUBLIC quellon_eventdata quellon_engine_records quellon_base
    PkgConfig::RDKAFKA OpenSSL::Crypto)
endif()
