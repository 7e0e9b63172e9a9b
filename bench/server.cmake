# quellon-load: load driver for the command server (N clients, NOOP round
# trips); quellon-guess: password guessing from N connections of one
# address (failed logins answered per second); quellon-serverhost: the command server alone on a given port, for
# bench/run-server-load.sh.
if(QUELLON_BENCH)
  quellon_add_bench(NAME quellon-load SOURCES ${CMAKE_CURRENT_LIST_DIR}/loaddriver.cpp
    LIBS OpenSSL::SSL OpenSSL::Crypto Threads::Threads)
  quellon_add_bench(NAME quellon-guess SOURCES ${CMAKE_CURRENT_LIST_DIR}/guessdriver.cpp
    LIBS Threads::Threads)
  quellon_add_bench(NAME quellon-serverhost SOURCES ${CMAKE_CURRENT_LIST_DIR}/serverhost.cpp
    LIBS quellon_server quellon_app)
endif()
# metrics_bench: the metrics endpoint's cost per scrape of many subscriptions.
if(QUELLON_BENCH AND NOT WIN32)
  quellon_add_bench(NAME metrics_bench LIBS quellon_server benchmark::benchmark Threads::Threads)
endif()
