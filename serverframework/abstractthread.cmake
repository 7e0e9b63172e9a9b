# The waitable objects and the abstract thread join quellon_rslib, which
# synchronization.cmake creates. Fragments of this folder are included in
# name order, so the additions are deferred to the end of the configure step,
# when the target exists.
set(_quellon_rslib_thread_sources
  ${CMAKE_CURRENT_LIST_DIR}/waitable.cpp
  ${CMAKE_CURRENT_LIST_DIR}/abstractthread.cpp)
cmake_language(EVAL CODE "
  cmake_language(DEFER CALL
    target_sources quellon_rslib PRIVATE ${_quellon_rslib_thread_sources})
  cmake_language(DEFER CALL
    target_link_libraries quellon_rslib PUBLIC quellon_platform_thread)")
unset(_quellon_rslib_thread_sources)
