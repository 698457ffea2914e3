# isp2313-sim: the program's run on the simulated platform and the virtual chip, and the
# manual pages. Included from the top-level CMakeLists.txt after isp2313_core.
include(GNUInstallDirs)

if(NOT CMAKE_CROSSCOMPILING)
  add_library(isp2313_sim_tool STATIC tools/state_file.cpp tools/vcd.cpp)
  target_link_libraries(isp2313_sim_tool PUBLIC isp2313_sim)

  add_executable(isp2313-sim tools/sim_main.cpp)
  target_link_libraries(isp2313-sim PRIVATE isp2313_sim_tool isp2313_core isp2313_sim)
  install(TARGETS isp2313-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES man/isp2313-sim.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
install(FILES man/isp2313.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
