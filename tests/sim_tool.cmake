# isp2313-sim run as a child process, its state file, and its VCD file against the trace.
add_executable(sim_tool_test ${CMAKE_CURRENT_LIST_DIR}/sim_tool_test.cpp)
target_link_libraries(sim_tool_test PRIVATE isp2313_lifecycle isp2313_sim_tool GTest::gtest_main)
# sigrok's SPI decoder reads the VCD file back as the chip's instructions.
find_program(ISP2313_SIGROK_CLI sigrok-cli)
if(NOT ISP2313_SIGROK_CLI)
  isp2313_leave_out("the check of the VCD file with sigrok's decoder (no sigrok-cli)" sigrok-cli)
  set(ISP2313_SIGROK_CLI "")
endif()
target_compile_definitions(sim_tool_test PRIVATE
  SIGROK_CLI="${ISP2313_SIGROK_CLI}"
  ISP2313_SIM_TOOL="$<TARGET_FILE:isp2313-sim>"
  EXAMPLES_DIR="${PROJECT_SOURCE_DIR}/examples")
add_dependencies(sim_tool_test isp2313-sim)
gtest_discover_tests(sim_tool_test PROPERTIES LABELS sim)
