quellon_add_test(NAME engine_threadinfra_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/threadinfra_test.cpp
  LIBS quellon_engine_records)
quellon_add_test(NAME engine_eventrecord_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/eventrecord_test.cpp
  LIBS quellon_engine_records quellon_simstore)
quellon_add_test(NAME engine_e2e_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/engine_e2e_test.cpp
  LIBS quellon_engine quellon_server quellon_simstore quellon_evtximport LINUX_ONLY)
quellon_add_test(NAME dispatchthread_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/dispatchthread_test.cpp
  LIBS quellon_engine quellon_simstore)
quellon_add_test(NAME engine_wsman_e2e_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/engine_wsman_e2e_test.cpp
  LIBS quellon_app quellon_engine quellon_simstore quellon_wsman_endpoint LINUX_ONLY)
if(TEST engine_wsman_e2e_test)
  set_property(TEST engine_wsman_e2e_test APPEND PROPERTY ENVIRONMENT
    "ASAN_OPTIONS=fast_unwind_on_malloc=0" "LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/wmi/wsman/lsan.supp")
endif()
quellon_add_test(NAME engine_resumestore_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/resumestore_test.cpp
  LIBS quellon_engine_records LINUX_ONLY)
quellon_add_test(NAME engine_resume_e2e_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/resume_e2e_test.cpp
  LIBS quellon_engine quellon_server quellon_simstore
  DEPENDS quellon quellon-sim LINUX_ONLY)
quellon_add_test(NAME catchup_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/catchup_test.cpp
  LIBS quellon_engine quellon_simstore)
quellon_add_test(NAME engine_deliveryledger_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/deliveryledger_test.cpp
  LIBS quellon_engine)
quellon_add_test(NAME engine_delivery_e2e_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/delivery_e2e_test.cpp
  LIBS quellon_engine quellon_simstore
  DEPENDS quellon quellon-sim LINUX_ONLY)
# Not under ThreadSanitizer: librdkafka's threads are invisible to it
# (tests/server/wmilogeventserver.cmake).
if(NOT QUELLON_SANITIZE STREQUAL "thread")
  quellon_add_test(NAME kafka_e2e_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/kafka_e2e_test.cpp
    LIBS quellon_kafka quellon_simstore
    DEPENDS quellon quellon-sim LINUX_ONLY)
  # The same against a real Apache Kafka broker (scripts/kafka-broker).
  quellon_add_test(NAME kafka_broker_e2e_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/kafka_broker_e2e_test.cpp
    LIBS quellon_kafka quellon_simstore
    DEPENDS quellon quellon-sim LINUX_ONLY TIMEOUT 900)
endif()
