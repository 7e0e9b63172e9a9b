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
