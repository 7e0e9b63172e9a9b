quellon_add_test(NAME engine_threadinfra_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/threadinfra_test.cpp
  LIBS quellon_engine_records)
quellon_add_test(NAME engine_eventrecord_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/eventrecord_test.cpp
  LIBS quellon_engine_records quellon_simstore)
quellon_add_test(NAME engine_e2e_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/engine_e2e_test.cpp
  LIBS quellon_engine quellon_server quellon_simstore)
quellon_add_test(NAME dispatchthread_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/dispatchthread_test.cpp
  LIBS quellon_engine quellon_simstore)
quellon_add_test(NAME engine_resumestore_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/resumestore_test.cpp
  LIBS quellon_engine_records)
quellon_add_test(NAME engine_resume_e2e_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/resume_e2e_test.cpp
  LIBS quellon_engine quellon_server quellon_simstore
  DEPENDS quellon quellon-sim)
