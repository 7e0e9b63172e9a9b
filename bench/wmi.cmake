# wmi_bench: live-query throughput and idle-poll cost of the simulated hosts.
if(QUELLON_BENCH)
  quellon_add_bench(NAME wmi_bench LIBS quellon_wmi benchmark::benchmark DEPENDS quellon-sim)
endif()
