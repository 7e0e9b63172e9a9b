# simstore_bench: the simulated hosts' store (append, polls, time windows) and
# the .evtx import.
if(QUELLON_BENCH)
  quellon_add_bench(NAME simstore_bench
    LIBS quellon_evtximport quellon_simstore benchmark::benchmark)
endif()
