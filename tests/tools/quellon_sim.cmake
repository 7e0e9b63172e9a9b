quellon_add_test(NAME quellon_sim_test LIBS quellon_simstore DEPENDS quellon-sim LINUX_ONLY)
if(TARGET quellon_sim_test)
  target_compile_definitions(quellon_sim_test PRIVATE
    QUELLON_SIM_TOOL="$<TARGET_FILE:quellon-sim>")
endif()
