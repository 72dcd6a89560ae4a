# ralvex-sim-unit, the emulated unit and sensor nodes on a SocketCAN interface (Linux only).
if(TARGET ralvex-sim-unit)
  ralvex_test(sim_unit_test sim_unit_test.cpp SLOW "*")
  target_compile_definitions(sim_unit_test PRIVATE
    RALVEX_SIM_UNIT_PATH="$<TARGET_FILE:ralvex-sim-unit>")
  add_dependencies(sim_unit_test ralvex-sim-unit)
endif()
