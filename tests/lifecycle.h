// Test bench: runs the program on the simulated platform and the virtual chip, and
// reads back what happened on the wire.
#pragma once
#include <cstdint>
#include <string>
#include <vector>
#include "sim/chip.h"
#include "sim/os_sim.h"

struct frame_record {
    std::uint8_t  bytes[4];
    std::uint8_t  answer;
    std::uint64_t t_ns;
};

struct run_result {
    int         status;
    std::string out;
};

// Program, platform and chip back to their start: chip_new(part), sim_reset(), the
// program's process-wide variables zeroed, frames recorded from now on.
void fresh_bench(chip_part part = part_attiny2313);
void reset_program_state();

// Runs the program with these operands (the program name is added) and captures stdout.
run_result run_program(const std::vector<std::string>& operands);

extern std::vector<frame_record> frames;

// Frames whose first bytes are these.
std::vector<frame_record> frames_starting(std::initializer_list<std::uint8_t> prefix);

// The events of one line in the trace.
std::vector<sim_event> events_of(sim_line line);

// A file of these bytes in a scratch directory of the test; returns its path.
std::string scratch_file(const std::string& name, const std::vector<std::uint8_t>& bytes);
std::string scratch_dir();
std::vector<std::uint8_t> pattern_bytes(std::size_t count, unsigned seed = 1);
