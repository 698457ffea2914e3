# The shipped programs end to end over a faked serial port (CTest label e2e): the Linux
# program, and the Windows program under wine, each with the virtual chip in real time.
# Also the port benchmark (bench/port_bench), which is built but never run by the tests.
include(GoogleTest)
include(ExternalProject)
include(CheckCXXSourceCompiles)

set(ISP2313_WINE64 "/usr/lib/wine/wine64" CACHE FILEPATH "wine's 64-bit loader")
set(ISP2313_WINE32 "/usr/lib/wine/wine" CACHE FILEPATH "wine's 32-bit loader")
set(ISP2313_WINESERVER "/usr/lib/wine/wineserver" CACHE FILEPATH "wine's server")
option(ISP2313_E2E_WINE32 "Run the 32-bit Windows program under wine's i386 side" ON)

# What the runs need: a 32-bit C++ toolchain for wine's i386 side's preload, mingw-w64 for
# both Windows builds, and wine. Without any of it the end-to-end tests are left out; without
# wine's i386 side only its runs are.
unset(ISP2313_HAVE_M32 CACHE)
set(CMAKE_REQUIRED_FLAGS -m32)
set(CMAKE_REQUIRED_QUIET ON)
check_cxx_source_compiles("#include <string>\nint main(int argc, char**) { return static_cast<int>(std::string(argc, 'x').size()); }"
  ISP2313_HAVE_M32)
unset(CMAKE_REQUIRED_FLAGS)
find_program(ISP2313_MINGW32 i686-w64-mingw32-g++)
find_program(ISP2313_MINGW64 x86_64-w64-mingw32-g++)
set(e2e_missing "")
set(e2e_packages "")
if(NOT ISP2313_HAVE_M32)
  list(APPEND e2e_missing "no 32-bit g++")
  list(APPEND e2e_packages g++-multilib)
endif()
if(NOT ISP2313_MINGW32 OR NOT ISP2313_MINGW64)
  list(APPEND e2e_missing "no mingw-w64")
  list(APPEND e2e_packages g++-mingw-w64-i686 g++-mingw-w64-x86-64-win32)
endif()
if(NOT EXISTS ${ISP2313_WINE64} OR NOT EXISTS ${ISP2313_WINESERVER})
  list(APPEND e2e_missing "no wine64")
  list(APPEND e2e_packages wine wine64)
endif()
if(e2e_missing)
  string(REPLACE ";" ", " why "${e2e_missing}")
  isp2313_leave_out("the end-to-end tests (${why})" ${e2e_packages})
  return()
endif()
if(ISP2313_E2E_WINE32 AND NOT EXISTS ${ISP2313_WINE32})
  isp2313_leave_out("the end-to-end runs under wine's i386 side (no wine32)" wine32:i386)
  set(ISP2313_E2E_WINE32 OFF)
endif()
# Runs wine's i386 side where the kernel itself runs no 32-bit programs (ia32 emulation off).
find_program(ISP2313_QEMU_I386 NAMES qemu-i386-static qemu-i386 DOC "qemu's i386 user-mode emulator")
if(ISP2313_QEMU_I386)
  set(e2e_qemu_i386 ${ISP2313_QEMU_I386})
else()
  set(e2e_qemu_i386 "")
endif()

set(e2e_src ${CMAKE_CURRENT_LIST_DIR})
set(e2e_out ${CMAKE_BINARY_DIR}/e2e)
set(fakeport_sources ${e2e_src}/fakeport.cpp ${e2e_src}/port_state.cpp ${PROJECT_SOURCE_DIR}/sim/chip.cpp)
set(fakeport_flags -std=c++17 -O2 -fPIC -shared -fvisibility=hidden
    -Wall -Wextra -Wshadow -Wmissing-declarations -Werror -I${PROJECT_SOURCE_DIR})

# The preload, 64-bit for the Linux program and wine64, 32-bit for wine's i386 side. Both are
# built the same way; the 32-bit one needs g++-multilib.
foreach(bits 64 32)
  set(library ${e2e_out}/fakeport${bits}.so)
  add_custom_command(OUTPUT ${library}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${e2e_out}
    COMMAND ${CMAKE_CXX_COMPILER} -m${bits} ${fakeport_flags} ${fakeport_sources} -o ${library}
            -ldl -static-libstdc++ -static-libgcc
    DEPENDS ${fakeport_sources} ${e2e_src}/port_state.h ${e2e_src}/fakeport.h ${PROJECT_SOURCE_DIR}/sim/chip.h
    COMMENT "Building the ${bits}-bit faked port")
  add_custom_target(fakeport${bits} ALL DEPENDS ${library})
endforeach()

# The FTDI runs: the same preload with the USB stand-in under libftdi1 (64-bit only).
if(LIBFTDI1_FOUND)
  pkg_check_modules(LIBUSB1 REQUIRED libusb-1.0)
  set(fakeusb ${e2e_out}/fakeusb64.so)
  set(fakeusb_sources ${fakeport_sources} ${e2e_src}/fakeusb.cpp ${PROJECT_SOURCE_DIR}/sim/ft232r.cpp)
  list(TRANSFORM LIBUSB1_INCLUDE_DIRS PREPEND -I OUTPUT_VARIABLE libusb_include)
  add_custom_command(OUTPUT ${fakeusb}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${e2e_out}
    COMMAND ${CMAKE_CXX_COMPILER} -m64 ${fakeport_flags} ${libusb_include} ${fakeusb_sources} -o ${fakeusb}
            -ldl -static-libstdc++ -static-libgcc
    DEPENDS ${fakeusb_sources} ${e2e_src}/port_state.h ${e2e_src}/fakeport.h ${PROJECT_SOURCE_DIR}/sim/chip.h
            ${PROJECT_SOURCE_DIR}/sim/ft232r.h
    COMMENT "Building the USB stand-in"
    VERBATIM)
  add_custom_target(fakeusb64 ALL DEPENDS ${fakeusb})
  set(e2e_with_ftdi 1)
else()
  set(fakeusb "")
  set(e2e_with_ftdi 0)
endif()

# What wine's i386 side needs when it runs under the emulator.
set(emulated32 ${e2e_out}/emulated32.so)
add_custom_command(OUTPUT ${emulated32}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${e2e_out}
  COMMAND ${CMAKE_CXX_COMPILER} -m32 ${fakeport_flags} "-DE2E_QEMU_I386=\"${e2e_qemu_i386}\""
          ${e2e_src}/emulated32.cpp -o ${emulated32} -ldl -static-libstdc++ -static-libgcc
  DEPENDS ${e2e_src}/emulated32.cpp
  COMMENT "Building the 32-bit emulation helper"
  VERBATIM)
add_custom_target(emulated32 ALL DEPENDS ${emulated32})

# The stand-in for FTDI's D2XX library, one for each exe's word size; never shipped. Its
# exports keep D2XX's undecorated names.
set(fake_d2xx_sources ${e2e_src}/fake_d2xx.cpp ${e2e_src}/port_state.cpp ${PROJECT_SOURCE_DIR}/sim/chip.cpp
    ${PROJECT_SOURCE_DIR}/sim/ft232r.cpp)
foreach(bits 32 64)
  set(library ${e2e_out}/fake_d2xx${bits}.dll)
  add_custom_command(OUTPUT ${library}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${e2e_out}
    COMMAND ${ISP2313_MINGW${bits}} -std=c++17 -O2 -shared -static -Wall -Wextra -Wshadow -Werror
            -I${PROJECT_SOURCE_DIR} ${fake_d2xx_sources} -o ${library} -Wl,--kill-at
    DEPENDS ${fake_d2xx_sources} ${e2e_src}/port_state.h ${PROJECT_SOURCE_DIR}/sim/chip.h
            ${PROJECT_SOURCE_DIR}/sim/ft232r.h
    COMMENT "Building the ${bits}-bit stand-in ftd2xx.dll")
  add_custom_target(fake_d2xx${bits} ALL DEPENDS ${library})
endforeach()

# The Windows program, from this same tree: 32-bit as shipped, and 64-bit for wine64.
foreach(arch win32 win64)
  if(arch STREQUAL win32)
    set(toolchain ${PROJECT_SOURCE_DIR}/cmake/mingw-i686.cmake)
  else()
    set(toolchain ${e2e_src}/mingw-x86_64.cmake)
  endif()
  ExternalProject_Add(isp2313_${arch}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${e2e_out}/${arch}
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${toolchain} -DCMAKE_BUILD_TYPE=Release
               -DISP2313_TESTS=OFF -DISP2313_WERROR=${ISP2313_WERROR}
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${e2e_out}/${arch}/isp2313.exe ${e2e_out}/${arch}/isp2313-sim.exe
                     ${e2e_out}/${arch}/isp2313-probe.exe)
endforeach()

if(ISP2313_E2E_WINE32)
  set(e2e_with_wine32 1)
else()
  set(e2e_with_wine32 0)
endif()

add_library(isp2313_e2e STATIC ${e2e_src}/harness.cpp ${e2e_src}/port_state.cpp)
target_link_libraries(isp2313_e2e PUBLIC isp2313_sim)
target_compile_definitions(isp2313_e2e PUBLIC
  E2E_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
  E2E_WORK_DIR="${e2e_out}"
  E2E_LINUX_DIR="$<TARGET_FILE_DIR:isp2313>"
  E2E_WIN32_DIR="${e2e_out}/win32"
  E2E_WIN64_DIR="${e2e_out}/win64"
  E2E_FAKEPORT64="${e2e_out}/fakeport64.so"
  E2E_FAKEPORT32="${e2e_out}/fakeport32.so"
  E2E_FAKEUSB64="${fakeusb}"
  E2E_WITH_FTDI=${e2e_with_ftdi}
  E2E_EMULATED32="${emulated32}"
  E2E_QEMU_I386="${e2e_qemu_i386}"
  E2E_WINE64="${ISP2313_WINE64}"
  E2E_WINE32="${ISP2313_WINE32}"
  E2E_WINESERVER="${ISP2313_WINESERVER}"
  E2E_PORT1="${ISP2313_PORT1}"
  E2E_PORT2="${ISP2313_PORT2}"
  E2E_WITH_WINE32=${e2e_with_wine32})
add_dependencies(isp2313_e2e isp2313 isp2313-sim isp2313-probe fakeport64 fakeport32 emulated32 isp2313_win32 isp2313_win64)
if(LIBFTDI1_FOUND)
  add_dependencies(isp2313_e2e fakeusb64)
endif()

# The fixture: each wine prefix made once, before any case, whichever cases a ctest run
# selects (ctest adds a required fixture's setup to a run that -R or -E left it out of).
add_executable(e2e_wine_prefixes ${e2e_src}/wine_prefixes.cpp)
target_link_libraries(e2e_wine_prefixes PRIVATE isp2313_e2e)
add_test(NAME e2e_wine_prefixes COMMAND e2e_wine_prefixes)
set_tests_properties(e2e_wine_prefixes PROPERTIES
  FIXTURES_SETUP isp2313_wine LABELS e2e RESOURCE_LOCK isp2313_e2e TIMEOUT 900)

add_executable(e2e_test ${e2e_src}/e2e_test.cpp)
target_link_libraries(e2e_test PRIVATE isp2313_lifecycle isp2313_e2e GTest::gtest_main)
# Real-time runs share the machine's two cores and the wine prefixes: one at a time.
gtest_discover_tests(e2e_test
  PROPERTIES LABELS e2e RESOURCE_LOCK isp2313_e2e FIXTURES_REQUIRED isp2313_wine TIMEOUT 600)

add_executable(port_bench ${PROJECT_SOURCE_DIR}/bench/port_bench.cpp)
target_link_libraries(port_bench PRIVATE isp2313_lifecycle isp2313_e2e)

# The Windows exe's FTDI cases copy the stand-in ftd2xx.dll beside it.
target_compile_definitions(isp2313_e2e PUBLIC
  E2E_FAKE_D2XX32="${e2e_out}/fake_d2xx32.dll" E2E_FAKE_D2XX64="${e2e_out}/fake_d2xx64.dll")
add_dependencies(isp2313_e2e fake_d2xx32 fake_d2xx64)
