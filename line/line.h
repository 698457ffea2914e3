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
extern char          bitbang_refusal[200];  // why an FTDI serial port runs on line calls; empty if it does not
extern os_reason     bitbang_refusal_reason;

std::uint32_t half_period_for(float frequency);

bool port_open(int port_number);
void port_close();
void clock_pulse();
void send_byte(std::uint8_t value);
std::uint8_t receive_byte();
void dtr_set();
void dtr_clear();
void rts_set();
void rts_clear();
void wait_1ms();
void wait_8ms();
void wait_30ms();

// True once the port is lost or the operator interrupted the run: from then on no bus bit
// is sent and no new wait starts; the stages end and the run closes the port.
bool line_stopped();
bool line_interrupted();
// Passes on what an os_* line call returned; a failure marks the line lost.
bool line_call(bool done);
