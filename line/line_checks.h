// The port's lines measured and watched, for isp2313-probe: what each kind of line call
// costs, and whether DSR follows DTR or the break.
#pragma once
#include <cstdint>

constexpr int cost_samples = 128;   // calls of each kind timed; the median is kept

// Medians in seconds.
struct call_costs {
    double break_on, break_off, dtr_set, dtr_clear, dsr_read;
};

// Whether DSR follows a line: with which polarity, and whether the first read after each
// change already shows it (read live) or how long it took to show it.
struct dsr_follow {
    bool   follows;
    bool   on_with_line;   // DSR on while the line is set (DTR) or on (break)
    bool   live;
    double slowest;        // seconds from a change to the first read that showed it
};

// In bit-bang, in seconds: what a transfer of one packet's states costs, and one state's time
// on the pins; medians of bitbang_samples transfers of each size. When a whole chunk's states
// take no longer than a round trip, the state's time is only an upper bound (HIDDEN).
constexpr int bitbang_samples = 16;
struct bitbang_costs {
    double round_trip, state;
    bool   hidden;
};
bool measure_bitbang(bitbang_costs& costs);

// Times each kind of call on the open port. The chip must not be listening (reset released):
// the break is toggled with DTR still, DTR with the clock low, and both left as they were.
bool measure_call_costs(call_costs& costs);

// Changes DTR, or the break, back and forth and watches DSR. DTR is changed with the clock
// low, and the break with DTR still, so neither clocks anything into a listening chip.
dsr_follow watch_dsr_against_dtr();
dsr_follow watch_dsr_against_break();
