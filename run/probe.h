// isp2313-probe: what works between the port and the chip, one finding a line.
#pragma once
#include "line/line_checks.h"

// What a full run (2048 flash bytes, 127 EEPROM bytes) asks of the port on one chip.
struct full_run_calls {
    const char* chip;
    long        clock_pulses, dtr_sets, dtr_clears, dsr_reads, rts_changes;
    long        waits_ms;       // the fixed waits after instructions, at their nominal length
    long        states;         // in FTDI bit-bang: the states put on the pins, waits included,
    long        round_trips;    // and the times the pins rest while the run waits for answers
};

constexpr int full_run_count = 2;
extern const full_run_calls full_runs[full_run_count];

// The run's time over a port whose calls cost COSTS, with clock half periods of HALF_PERIOD
// seconds.
double predicted_run_seconds(const full_run_calls& run, const call_costs& costs, double half_period);

// The same run over a USB adapter's serial port whose every line call takes a round trip of
// ROUND_TRIP seconds, a break two (the driver first asks whether the transmitter is empty).
double predicted_usb_line_call_seconds(const full_run_calls& run, double round_trip);

// The same run in FTDI bit-bang, with 62 samples a packet.
double predicted_bitbang_seconds(const full_run_calls& run, const bitbang_costs& costs);

// The ISP2313_DSR_WAIT_US for an adapter whose DSR showed a change LAG seconds after it.
std::uint32_t suggested_dsr_wait_us(double lag);

int probe(int argc, char** argv);
