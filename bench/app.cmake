# app_bench: cost of a log line (written, dropped, contended) and of a
# configuration look-up.
if(QUELLON_BENCH)
  quellon_add_bench(NAME app_bench LIBS quellon_base benchmark::benchmark)
endif()
