# quellon_eventquery: the WQL texts of subscriptions and replays and the call
# that starts them.
add_library(quellon_eventquery STATIC ${CMAKE_CURRENT_LIST_DIR}/eventquery.cpp)
target_link_libraries(quellon_eventquery PUBLIC quellon_wmi quellon_base)
