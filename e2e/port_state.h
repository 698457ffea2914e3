// The faked port's shared state file: the virtual chip, the modem lines, OS call counts and
// the line trace, laid out the same for 32- and 64-bit processes that map it.
#pragma once
#include <cstddef>
#include <cstdint>
#include "sim/chip.h"

constexpr std::uint32_t port_state_magic   = 0x70726F74;   // "prot"
constexpr std::uint32_t port_state_version = 5;
constexpr std::uint64_t dsr_history_size   = 4096;

// The chip in fixed-width fields; chip_counts uses long, which differs between -m32 and -m64.
// Of the faults only the wiring and clock ones are carried.
struct shared_chip {
    std::int32_t  part;
    std::int32_t  out_of_step;
    std::uint8_t  present, reset_held, sck_high, mosi, miso, enabled;
    std::uint8_t  fuse_low, fuse_high, fuse_extended, lock_bits, out_byte, lenient_timing;
    std::uint8_t  frame[4];
    std::int32_t  bit_count;
    std::uint32_t xtal_hz, clock_hz;
    std::uint8_t  calibration[2], eeprom_page[chip_eeprom_page_bytes], eeprom_page_loaded, mosi_before;
    std::uint8_t  rise_taken, rise_bit, busy_kind, busy_high, busy_eeprom_mask;
    std::int8_t   miso_stuck;
    std::uint8_t  mosi_miso_bridged, no_clock, slow_clock, pad0[3];
    std::int32_t  busy_address, pad1;
    std::uint64_t busy_until_ns, busy_started_ns, sck_changed_ns, mosi_changed_ns, rise_ns;
    std::uint16_t flash[chip_flash_words];
    std::uint8_t  eeprom[chip_eeprom_bytes];
    std::uint16_t page_buffer[chip_page_words];
    std::int64_t  executed, ignored_busy, ignored_locked, ignored_unknown,
                  mosi_changes_while_sck_high, erases, programming_enables,
                  short_phases, mosi_setup_violations, reads_while_busy;
};

// OS calls on the port's descriptors, by kind.
struct port_calls {
    std::int64_t opens, closes;
    std::int64_t tiocmget, tiocmset, tiocmbis, tiocmbic, tiocsbrk, tioccbrk;
    std::int64_t other_ioctls, tcgetattrs, tcsetattrs, flocks;
    std::int64_t clock_reads;      // clock_gettime in processes that used the port
    std::int64_t line_requests;    // modem-line and break requests, the failed ones included
    std::int64_t failed_line_requests;
    std::int64_t first_failure_ns; // CLOCK_MONOTONIC of the first failed request
};

// What the USB stand-in (fakeusb.cpp) did: its FT232R's interface claimed and released (also
// counted as the port's opens and closes), the transfers and those that failed.
struct usb_calls {
    std::int64_t control_transfers, bulk_transfers, failed_transfers, refused_opens;
    std::int64_t first_failure_ns;  // CLOCK_MONOTONIC of the first failed transfer
};

// The FT232R that the stand-in presents, where sysfs puts it for the tty case too.
constexpr unsigned    fakeusb_bus = 3, fakeusb_address = 9;
constexpr const char* fakeusb_serial = "E2E2313A";

struct port_event {
    std::uint64_t t_ns;            // CLOCK_MONOTONIC
    char          line;            // as sim_line: O C D R B S
    std::uint8_t  value;
    std::uint8_t  pad[6];
};

struct port_state {
    std::uint32_t magic, version;
    std::int32_t  modem_lines;     // TIOCM_DTR and TIOCM_RTS as last set
    std::int32_t  open_count;      // port descriptors open now, all processes
    std::int32_t  break_on;        // the break as last set
    std::int32_t  pad0;
    // Each process that drives the lines takes the next key; unlike a PID, none repeats.
    std::uint64_t keys_issued;
    std::uint64_t chip_owner_key;  // the process whose copy of the chip is the latest
    std::uint64_t first_open_ns, last_close_ns;
    shared_chip   chip;
    port_calls    calls;
    usb_calls     usb;
    // An adapter that shows DSR late: the wire's last changes of DSR, a ring of
    // dsr_history_size after dsr_changes of them, and the status as last polled.
    std::uint64_t dsr_changes, dsr_polled_at_ns;
    std::uint8_t  dsr_polled, dsr_polled_valid, pad2[6];
    port_event    dsr_history[dsr_history_size];
    std::uint64_t trace_capacity, trace_count;
    std::uint8_t  trace_enabled, trace_overflow, pad1[6];
    port_event    events[1];       // trace_capacity of them
};

// Every 64-bit field sits on an 8-byte boundary, so i386 (4-byte alignment) lays it out the same.
static_assert(sizeof(shared_chip) == 2392, "shared_chip layout");
static_assert(offsetof(shared_chip, busy_until_ns) == 64 && offsetof(shared_chip, executed) == 2312, "shared_chip layout");
static_assert(offsetof(port_state, chip) == 56 && offsetof(port_state, events) == 2664 + 16 * dsr_history_size,
              "port_state layout");
static_assert(sizeof(port_event) == 16, "port_event layout");

constexpr std::uint64_t port_state_bytes(std::uint64_t trace_capacity)
{
    return sizeof(port_state) + trace_capacity * sizeof(port_event);
}

// Between the global virtual chip and the shared copy (faults are not carried).
void shared_chip_save(shared_chip& to);
void shared_chip_load(const shared_chip& from);
