# The POSIX platform files against a pseudo-terminal; ports 1 and 2 are symlinks the test sets.
find_package(GTest REQUIRED)
include(GoogleTest)

set(ISP2313_PTY_TEST_DIR "${CMAKE_CURRENT_BINARY_DIR}/pty-test")
add_executable(posix_pty_test
  ${CMAKE_CURRENT_LIST_DIR}/posix_pty_test.cpp ${CMAKE_CURRENT_LIST_DIR}/../line/os_posix.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../line/files_posix.cpp)
target_include_directories(posix_pty_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/..)
target_compile_definitions(posix_pty_test PRIVATE
  PTY_TEST_DIR="${ISP2313_PTY_TEST_DIR}"
  ISP2313_PORT1="${ISP2313_PTY_TEST_DIR}/port1"
  ISP2313_PORT2="${ISP2313_PTY_TEST_DIR}/port2")
target_link_libraries(posix_pty_test PRIVATE GTest::gtest_main)
# The cases share the port symlinks, so they never run side by side.
gtest_discover_tests(posix_pty_test
  PROPERTIES LABELS posix RESOURCE_LOCK isp2313_pty_test TIMEOUT 30)
