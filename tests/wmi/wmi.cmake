quellon_add_test(NAME wql_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/wql_test.cpp
  LIBS quellon_wmi)
quellon_add_test(NAME variant_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/variant_test.cpp
  LIBS quellon_wmi)
quellon_add_test(NAME simprovider_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/simprovider_test.cpp
  LIBS quellon_wmi)
# The live-query test drives the store from a second process.
add_dependencies(simprovider_test quellon-sim)
quellon_add_test(NAME wmiconnector_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/wmiconnector_test.cpp
  LIBS quellon_wmi)
