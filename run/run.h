// One programming run: the command line and the stages in their order.
#pragma once
#include <cstdint>

constexpr int exit_success = 0;
constexpr int exit_failure = 33;

extern int  port_number;
extern const char* program_name;   // before the program's own messages on standard error
extern bool erased_at_start;

int  run(int argc, char** argv);

bool identify_device();
// The passes and the finish return false only when the line stopped (port lost or run
// interrupted); a read-back that never matches keeps its pass running.
bool flash_pass();
bool eeprom_pass();
bool finish_run();
