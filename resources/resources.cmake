# The compiled-in message catalogue, part of quellon_base.
target_sources(quellon_base PRIVATE ${CMAKE_CURRENT_LIST_DIR}/messages.cpp)
