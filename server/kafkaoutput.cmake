# quellon_kafka: the engine's output into Kafka (librdkafka's producer) and
# the JSON form of events and notices (RapidJSON, header-only).
add_library(quellon_kafka STATIC
  ${CMAKE_CURRENT_LIST_DIR}/eventjson.cpp
  ${CMAKE_CURRENT_LIST_DIR}/kafkaoutput.cpp)
target_link_libraries(quellon_kafka PUBLIC quellon_eventdata quellon_engine_records quellon_base
  quellon_rdkafka OpenSSL::Crypto)
