// The simulated platform: the OS services over the virtual chip and a virtual clock.
// Every counter or tick reading advances virtual time, so waits end at once in wall
// time but exactly in virtual time. Every line event is traced with its time.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>
#include "line/os.h"
#include "sim/ft232r.h"

enum sim_line : char {
    sim_open = 'O', sim_close = 'C', sim_dtr = 'D', sim_rts = 'R', sim_break = 'B', sim_dsr = 'S'
};

enum sim_loopback : char { loopback_none, loopback_dtr, loopback_txd };

struct sim_event {
    std::uint64_t t_ns;
    sim_line      line;
    bool          value;   // line set (or, for sim_dsr, DSR on)
};

struct sim_platform {
    std::uint64_t now_ns;
    std::uint64_t frequency;          // counter ticks per second
    std::uint32_t counter_base;       // counter reading at time 0
    std::uint32_t ticks_base;         // tick count at time 0
    std::uint64_t counter_read_ns;    // time one counter reading takes
    std::uint64_t ticks_read_ns;      // time one tick-count reading takes
    std::uint64_t line_call_ns;       // time one line change or status read takes
    bool          port_present[3];    // index 1 and 2
    bool          port_busy[3];       // held by another program
    bool          port_denied[3];     // this user may not open it
    const char*   port_name[3];       // the device names ports 1 and 2 report
    const char*   device_group;       // the group that may open a port ("" none)
    const char*   dsr_wait_setting;   // what ISP2313_DSR_WAIT_US holds, null for unset
    std::vector<std::pair<std::string, std::string>> serial_devices;   // name, the device a link leads to
    bool          trace_enabled;
    bool          dtr_on, rts_on, break_on;   // the port's lines as last set; all clear at first
    // A loopback plug in place of the chip: DSR wired to DTR or to TXD (the break), maybe
    // inverted; a break that the driver accepts without sending.
    sim_loopback  loopback;
    bool          loopback_inverted;
    bool          break_not_sent;
    // An adapter that shows DSR, the chip's or the plug's, late: as the wire had it
    // dsr_lag_ns before the read, or from a status refreshed only by a read at least
    // dsr_cache_ns after the last refresh. 0: read live.
    std::uint64_t dsr_lag_ns;
    std::uint64_t dsr_cache_ns;
    bool          dsr_cached, dsr_cache_valid;
    std::uint64_t dsr_cached_at_ns;
    std::deque<std::pair<std::uint64_t, bool>> dsr_wire_changes;   // time, DSR on: from the one
                                                                   // a lagged read may need on
    long          counter_reads, ticks_reads, line_calls, clock_pulses;
    long          modem_calls;            // line changes and DSR reads asked of the port
    long          fail_from_modem_call;   // 0: never; else that call (from 1) and every later one fails
    long          failed_modem_calls;
    std::uint64_t first_failure_ns;
    bool          interrupted;            // what os_interrupted reports
    bool          interrupts_caught;      // os_catch_interrupts was called
    std::uint64_t sleep_margin_ns;        // a sleep ends this long before the tick it aims at
    long          sleeps;
    std::uint64_t slept_ns;
    std::deque<std::uint32_t> scripted_counter;   // readings returned before the clock's own
    std::deque<std::uint32_t> scripted_ticks;
    std::deque<bool>          scripted_dsr;       // DSR states returned before the chip's own
    // An FT232R in synchronous bit-bang behind the ports: how each port's name asks for it,
    // whether its USB device opens, what os_list_ftdi_devices reports, and the model.
    os_bitbang_use bitbang_use[3];
    bool          ftdi_refused;
    bool          ftdi_held;              // its serial port is open in another program
    bool          ftdi_library;           // an FTDI library is there to list the devices
    std::vector<std::string> ftdi_devices;
    unsigned      ftdi_bcd_device;        // which chip it is (0x0600 an FT232R)
    ft232r_model  ftdi;
    std::uint32_t ftdi_flight_states;     // what the device lets stay in flight, in states
    std::deque<std::uint8_t> ftdi_samples;   // samples arrived and not yet taken
    bool          ftdi_open;
    long          ftdi_transfers;         // sends
    std::vector<sim_event>    trace;
    std::function<bool()>     stop_when;          // checked at every line call
    std::function<void(std::uint64_t)> on_time;   // told of each advance of virtual time
    std::function<void(const sim_event&)> on_event; // told of each line event as it happens
};

extern sim_platform sim;

// Thrown out of a line call when stop_when says so: ends a run that would never end.
struct sim_stopped {};

// Fresh platform: 10 MHz counter, both ports (COM1, COM2) present and free, time 0, tracing on.
void sim_reset();
