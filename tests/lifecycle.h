// Test bench: runs the program on the simulated platform and the virtual chip, and
// reads back what happened on the wire.
#pragma once
#include <cstdint>
#include <string>
#include <vector>
#include "run/run.h"
#include "sim/chip.h"
#include "sim/os_sim.h"

struct frame_record {
    std::uint8_t  bytes[4];
    std::uint8_t  answer;
    std::uint64_t t_ns;
    long          modem_call;   // the simulated port's line calls so far
    bool          to_enabled;   // the chip was in programming mode when the frame came
};

struct run_result {
    int         status;
    std::string out;
    std::string err;
};

// Program, platform and chip back to their start: chip_new(part), sim_reset(), the
// program's process-wide variables zeroed, frames recorded from now on.
void fresh_bench(chip_part part = part_attiny2313);
void reset_program_state();

// Runs the program with these operands (the program name is added) and captures stdout and stderr.
// ENTRY is the program's: run for isp2313, probe for isp2313-probe.
run_result run_program(const std::vector<std::string>& operands, int (*entry)(int, char**) = run);

extern std::vector<frame_record> frames;

// Frames whose first bytes are these.
std::vector<frame_record> frames_starting(std::initializer_list<std::uint8_t> prefix);

// The events of one line in the trace.
std::vector<sim_event> events_of(sim_line line);

// What the chip sees at each clock edge of the trace (the edge, MOSI, RESET), as a hash:
// equal digests mean the chip was clocked the same bits, however the lines were timed.
struct edge_digest {
    std::uint64_t hash;
    long          edges;
};
edge_digest chip_edges();

// The clock and data timing of a trace: the shortest clock phase between two edges, and the
// MOSI changes closer than 1 us before the rise that samples them or 2 us after the rise
// before them.
struct wire_timing {
    std::uint64_t shortest_phase_ns;
    long          short_setups, short_holds;
};
wire_timing wire_timing_of(const std::vector<sim_event>& trace);

// A file of these bytes in a scratch directory of the test; returns its path.
std::string scratch_file(const std::string& name, const std::vector<std::uint8_t>& bytes);
std::string scratch_dir();
std::vector<std::uint8_t> pattern_bytes(std::size_t count, unsigned seed = 1);

// The images of the benchmarks' full run: 2048 random flash bytes without an 0xFFFF word
// (an AT90S2313 would not be sent one), 127 random EEPROM bytes.
std::vector<std::uint8_t> full_run_flash();
std::vector<std::uint8_t> full_run_eeprom();

// The wait the program leaves after the instruction in FRAME, at its nominal length (ms).
std::uint64_t nominal_wait_ms(const std::uint8_t frame[4], chip_part part);
