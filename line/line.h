// Serial line driver: the COM port's lines as the chip's programming bus.
#pragma once
#include <cstdint>
#include "line/os.h"

extern os_handle     port_handle;
extern float         counter_frequency;
extern std::uint32_t half_period_ticks;
extern bool          half_period_ready;
extern bool          dtr_level;        // what the driver last gave DTR (set = a 0 bit)
extern bool          line_lost;        // an OS line call failed: the port is gone
extern bool          bitbang;          // the port is an FTDI adapter driven in synchronous bit-bang
extern bool          bitbang_turned_off;   // an FTDI adapter on line calls as ISP2313_BITBANG=0 asks
extern char          bitbang_refusal[200];  // why an FTDI serial port runs on line calls; empty if it does not
extern os_reason     bitbang_refusal_reason;
// ISP2313_DSR_WAIT_US: a bus bit's DSR is read this long after the clock fell (0: at the end
// of the half period); the setting's text while it is refused, else null.
constexpr std::uint32_t dsr_wait_limit_us = 100000;
extern std::uint32_t dsr_wait_us;
extern const char*   dsr_wait_refused;

std::uint32_t half_period_for(float frequency);

bool port_open(int port_number);
void port_close();
void clock_pulse();
void send_byte(std::uint8_t value);
std::uint8_t receive_byte();
// An answer byte clocked now and taken later, in the order clocked: in bit-bang many answers
// then come back with one wait for samples. At most 256 wait to be taken.
void receive_byte_later();
std::uint8_t byte_received();
void dtr_set();
void dtr_clear();
void rts_set();
void rts_clear();
void wait_1ms();
void wait_8ms();
void wait_30ms();

// FTDI bit-bang: the fastest byte clock asked for, so that each state stays on the pins 3.26 us
// or more (the baud rate set is this over the chip's multiple); each clock phase lasts this
// many states.
constexpr std::uint32_t bitbang_byte_rate = 307200;
extern std::uint32_t bitbang_half_states;
extern std::uint32_t bitbang_wait_rate;   // the byte clock, as measured at open, that waits are sized at
// The byte clock that waits are sized at for one MEASURED in states a second (0: not known).
std::uint32_t bitbang_wait_rate_for(double measured);
std::uint32_t bitbang_read_states();
std::uint32_t bitbang_packet_states();
std::uint32_t bitbang_chunk_states();

// For the probe's checks of the lines themselves: one change of the break (USE_BREAK) or of
// DTR, or one DSR reading, at once, over line calls or in bit-bang; and in bit-bang, COUNT
// states that change nothing, sent and received at once. False once the line is lost.
bool line_now_set(bool use_break, bool on);
bool line_now_dsr(bool& on);
bool line_idle_states(std::uint32_t count);
// In bit-bang: DTR changed and the samples of a chunk of states watched: how many states after
// the change DSR first showed a change (0: not within the chunk), and DSR at its end.
bool line_dsr_follow_states(bool dtr_on, std::uint32_t& states, bool& dsr_on);

// True once the port is lost or the operator interrupted the run: from then on no bus bit
// is sent and no new wait starts; the stages end and the run closes the port.
bool line_stopped();
bool line_interrupted();
// Passes on what an os_* line call returned; a failure marks the line lost.
bool line_call(bool done);
