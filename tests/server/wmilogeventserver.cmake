# Reads /proc/net/tcp for the sockets a forced disconnect left behind.
quellon_add_test(NAME wmilogeventserver_test LIBS quellon_server LINUX_ONLY)
quellon_add_test(NAME eventjson_test LIBS quellon_kafka)
# librdkafka starts its threads with C11 thrd_create, which ThreadSanitizer
# does not see (it crashes in its allocator on the first malloc of such a
# thread): the tests that run librdkafka are left out of that build.
if(NOT QUELLON_SANITIZE STREQUAL "thread")
  # On Windows the output is tried end to end under Wine, against a cluster
  # on Linux (tests/app/quellon_wine_test.py).
  quellon_add_test(NAME kafkaoutput_test LIBS quellon_kafka LINUX_ONLY)
endif()
quellon_add_test(NAME metricsserver_test LIBS quellon_server)
# The metrics endpoint of the quellon program, read by prometheus_client's
# parsers (Debian's python3-prometheus-client) and checked with promtool.
# It runs the Kafka output, so, like the Kafka tests, not under
# ThreadSanitizer (librdkafka's threads are invisible to it).
if(TARGET quellon AND TARGET quellon-kafka-mock AND NOT WIN32
   AND NOT QUELLON_SANITIZE STREQUAL "thread")
  add_test(NAME metrics_e2e_test
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/metrics_e2e_test.py
      ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
  set_tests_properties(metrics_e2e_test PROPERTIES TIMEOUT 600)
endif()
