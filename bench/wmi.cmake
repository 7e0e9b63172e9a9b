# wmi_bench: live-query throughput and idle-poll cost of the simulated hosts.
if(QUELLON_BENCH)
  quellon_add_bench(NAME wmi_bench LIBS quellon_wmi benchmark::benchmark DEPENDS quellon-sim)
endif()
# wsman_bench: events per second through the WS-Management provider beside
# the simulated provider, and the CPU cost of the XML path.
if(QUELLON_BENCH)
  quellon_add_bench(NAME wsman_bench LIBS quellon_wsman_endpoint quellon_wmi benchmark::benchmark)
endif()
# kafka_bench: the Kafka output's rate into a three-broker mock cluster with
# acks=all beside kcat -P, its CPU per record, and memory with every broker
# down.
if(QUELLON_BENCH)
  quellon_add_bench(NAME kafka_bench LIBS quellon_kafka quellon_engine_records quellon_simstore
    DEPENDS quellon-kafka-mock)
endif()
