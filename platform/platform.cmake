# The platform seam of the build: the one place that names the sources of an
# operating system. Every platform/ header has one implementation per system,
# <name>_<system>.cpp beside it (linux, win), and this file picks the set
# from CMAKE_SYSTEM_NAME. A service whose code needs nothing of the system
# (the profile reader, the text codec) is one <name>.cpp that serves both. The rest of
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
# <name>.cpp, where one serves every system, else <name>_${QUELLON_PLATFORM}.cpp,
# for each name.
function(quellon_platform_library target)
  set(sources)
  foreach(name ${ARGN})
    set(dir ${CMAKE_CURRENT_FUNCTION_LIST_DIR})
    if(EXISTS ${dir}/${name}.cpp)
      list(APPEND sources ${dir}/${name}.cpp)
    else()
      list(APPEND sources ${dir}/${name}_${QUELLON_PLATFORM}.cpp)
    endif()
  endforeach()
  add_library(${target} STATIC ${sources})
  target_link_libraries(${target} PUBLIC Threads::Threads)
  if(QUELLON_PLATFORM STREQUAL "win")
    # Winsock, AcceptEx, the service manager and privileges, COM.
    target_link_libraries(${target} PUBLIC ws2_32 mswsock advapi32)
  endif()
endfunction()

# quellon_platform_base: profile reader, paths, text codec, debug output,
# privileges, the log's files, host-name resolution and the tools' stop
# requests — the platform services of start-up, configuration and logging.
quellon_platform_library(quellon_platform_base profile paths text debugoutput privilege file resolver
  stopsignal)

# quellon_platform_computername: the local machine's name.
quellon_platform_library(quellon_platform_computername computername)

# quellon_platform_iocp: the completion port and the socket helpers of the
# connection server.
quellon_platform_library(quellon_platform_iocp completionport socket)

# quellon_platform_service: the service manager (registration, dispatch,
# status reports).
quellon_platform_library(quellon_platform_service servicemanager)
# Windows' service manager takes its names as UTF-16 (the text codec).
target_link_libraries(quellon_platform_service PUBLIC quellon_platform_base)

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

# quellon_windows_sdk_com(<target>): gives target the COM and WMI interfaces
# the management interface is written against (<wbemidl.h> and what it
# brings): wmi/winsdk/, the system's own narrow rendering of them. Its folder
# goes on the include path, so <wbemidl.h> finds it, and its sources are
# built into target. The Windows build uses it too: the simulated hosts and
# the engine speak these interfaces on both systems, and real WMI is reached
# through platform/wmiclient.h, whose Windows implementation alone includes
# the Windows SDK's COM and WMI headers.
set(QUELLON_WINSDK_DIR ${CMAKE_SOURCE_DIR}/wmi/winsdk)
function(quellon_windows_sdk_com target)
  target_sources(${target} PRIVATE ${QUELLON_WINSDK_DIR}/variant.cpp ${QUELLON_WINSDK_DIR}/com.cpp)
  target_include_directories(${target} PUBLIC ${QUELLON_WINSDK_DIR})
endfunction()

# quellon_platform_wmi: WMI of Windows hosts through the system's COM and
# DCOM (the "wmi" provider's road); on Linux every connection fails.
quellon_platform_library(quellon_platform_wmi wmiclient)
target_link_libraries(quellon_platform_wmi PUBLIC quellon_platform_base quellon_platform_computername)
if(QUELLON_PLATFORM STREQUAL "win")
  target_link_libraries(quellon_platform_wmi PUBLIC ole32 oleaut32 wbemuuid uuid)
endif()
