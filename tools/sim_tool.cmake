# isp2313-sim: the program's run on the simulated platform and the virtual chip, for Linux
# and for Windows. Included from the top-level CMakeLists.txt after isp2313_sim.
if(WIN32)
  set(host_os tools/host_win32.cpp)
else()
  set(host_os tools/host_posix.cpp)
endif()
add_library(isp2313_sim_tool STATIC tools/state_file.cpp tools/vcd.cpp ${host_os})
target_link_libraries(isp2313_sim_tool PUBLIC isp2313_sim)

add_executable(isp2313-sim tools/sim_main.cpp)
target_link_libraries(isp2313-sim PRIVATE isp2313_sim_tool isp2313_core isp2313_sim)
