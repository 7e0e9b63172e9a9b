# The platform seam of the build: the one place that names the sources of an
# operating system. Every platform/ header has one implementation per system,
# <name>_<system>.cpp beside it (linux today; win is the set a Windows build
# will bring), and this file picks the set from CMAKE_SYSTEM_NAME. The rest of
# the build links the quellon_platform_* libraries below and names no
# platform source.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(QUELLON_PLATFORM linux)
elseif(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  set(QUELLON_PLATFORM win)
else()
  message(FATAL_ERROR "No platform sources for ${CMAKE_SYSTEM_NAME} (platform/*_linux.cpp, *_win.cpp)")
endif()

# quellon_platform_library(<target> <header names...>): a static library of
# <name>_${QUELLON_PLATFORM}.cpp for each name.
function(quellon_platform_library target)
  set(sources)
  foreach(name ${ARGN})
    list(APPEND sources ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/${name}_${QUELLON_PLATFORM}.cpp)
  endforeach()
  add_library(${target} STATIC ${sources})
  target_link_libraries(${target} PUBLIC Threads::Threads)
endfunction()

# quellon_platform_base: profile reader, paths, text codec, debug output,
# privileges, the log's files and host-name resolution — the platform
# services of start-up, configuration and logging.
quellon_platform_library(quellon_platform_base profile paths text debugoutput privilege file resolver)

# quellon_platform_computername: the local machine's name.
quellon_platform_library(quellon_platform_computername computername)

# quellon_platform_iocp: the completion port and the socket helpers of the
# connection server.
quellon_platform_library(quellon_platform_iocp completionport socket)

# quellon_platform_service: the service manager (registration, dispatch,
# status reports).
quellon_platform_library(quellon_platform_service servicemanager)

# quellon_platform_sync: the re-entrant lock behind the critical section.
quellon_platform_library(quellon_platform_sync recursive_mutex)

# quellon_platform_thread: OS threads (start, wait, abandon, suspend,
# priority, times) and the waitable mutex and semaphore behind RSLibrary.
quellon_platform_library(quellon_platform_thread thread waitable)

# quellon_platform_filelock: an exclusive hold on a file (the state file).
quellon_platform_library(quellon_platform_filelock filelock)

# quellon_platform_timer: timer queues (one thread per queue) for one-shot
# and periodic callbacks.
quellon_platform_library(quellon_platform_timer timerqueue)

# quellon_windows_sdk_com(<target>): gives target the Windows SDK's COM and
# WMI interfaces (<wbemidl.h> and what it brings). On Windows these are the
# SDK's own headers and import libraries. Elsewhere wmi/winsdk/ stands in for
# them: its folder goes on the include path, so <wbemidl.h> finds the
# substitute, and its sources are built into target.
set(QUELLON_WINSDK_DIR ${CMAKE_SOURCE_DIR}/wmi/winsdk)
function(quellon_windows_sdk_com target)
  if(QUELLON_PLATFORM STREQUAL "win")
    target_link_libraries(${target} PUBLIC ole32 oleaut32 wbemuuid)
  else()
    target_sources(${target} PRIVATE ${QUELLON_WINSDK_DIR}/variant.cpp ${QUELLON_WINSDK_DIR}/com.cpp)
    target_include_directories(${target} PUBLIC ${QUELLON_WINSDK_DIR})
  endif()
endfunction()
