# rslib_bench: cost of the library's locks and wake-up signal, and the
# timer queue's firing latency.
if(QUELLON_BENCH)
  quellon_add_bench(NAME rslib_bench
    LIBS quellon_rslib quellon_platform_timer benchmark::benchmark)
endif()
