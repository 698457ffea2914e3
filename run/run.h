// One programming run: the command line and the stages in their order.
#pragma once
#include <cstdint>

constexpr int exit_success = 0;
constexpr int exit_failure = 33;

extern int  port_number;
extern bool erased_at_start;

int  run(int argc, char** argv);

bool identify_device();
void flash_pass();
void eeprom_pass();
int  finish_run();
