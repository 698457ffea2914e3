// The shipped binaries run end to end: a pseudo-terminal as port 1 with faked modem lines and
// break (fakeport.cpp), the virtual chip on it in real time, every run inside a private mount
// namespace where the pty is bound over port 1's device and the other serial devices are hidden.
#pragma once
#include <cstdint>
#include <string>
#include <vector>
#include "e2e/port_state.h"
#include "sim/chip.h"

// linux_ftdi: the Linux program with port 1 named "ftdi", the USB stand-in (fakeusb.cpp) under
// libftdi1 presenting a model FT232R on the same chip, and a sysfs view, laid out as a real
// system's, in which DIR/ttyUSB0 (the pty again) is that FT232R's tty.
enum class target { linux_binary, wine64, wine32, linux_ftdi };

const char* target_name(target which);
inline bool is_wine(target which) { return which == target::wine64 || which == target::wine32; }

struct port_run {
    target                   which = target::linux_binary;
    chip_part                part = part_attiny2313;
    bool                     chip_present = true;
    std::vector<std::string> operands;             // relative paths resolve in dir
    std::string              dir;                  // working directory of the program
    std::uint64_t            trace_capacity = 0;   // 0: no trace
    bool                     second_while_held = false;  // start a second run once the first holds the port
    bool                     held_by_other = false;      // another process holds port 1 as isp2313 does
    bool                     ordinary_user = false;      // run without the capabilities that let root past
                                                         // a device's permissions or a tty's exclusive mode
    bool                     port_for_dialout = false;   // port 1's device belongs to nobody and group dialout,
                                                         // read-write for both, as an adapter's device does
    std::vector<std::string> environment;                // NAME=VALUE for the program
    std::string              program = "isp2313";        // or isp2313-probe, or isp2313-sim (its own chip)
    std::string              exe_dir;                    // the Windows exe's directory when not the build's
    int                      timeout_s = 60;
    long long                fail_from = 0;              // every line request from this one (from 1) fails: EIO
    long long                usb_fail_from = 0;          // linux_ftdi: every USB transfer from this one fails
    bool                     usb_refused = false;        // linux_ftdi: the USB device does not open (no access)
    bool                     usb_busy = false;           // linux_ftdi: its interface cannot be claimed
    bool                     usb_second = false;         // linux_ftdi: a second FT232R attached
    std::string              usb_chip;                   // linux_ftdi: FAKEUSB_CHIP (FT232H, FT2232D, FT232BM),
                                                         // empty for an FT232R; the sysfs view's too
    int                      usb_tty_channel = 0;        // linux_ftdi: the view's tty is this channel's (0: A)
    bool                     tty_held = false;           // linux_ftdi: another process (sleep) holds the
                                                         // view's tty open while the program runs
    std::uint64_t            dsr_lag_ns = 0;             // DSR read as the wire had it this long before
    std::uint64_t            dsr_polled_ns = 0;          // DSR from a status refreshed at most this often
    int                      interrupt_signal = 0;       // sent to the program once the chip has
    long                     interrupt_after_executed = 0;  // carried out this many instructions
};

struct program_result {
    int         status = -1;       // exit status; -1 if it did not exit normally
    std::string out;               // standard output, byte for byte
    std::string err;
    double      wall_s = 0;
    double      cpu_s = 0;         // user + system time of the program's process
    std::uint64_t end_ns = 0;      // CLOCK_MONOTONIC when it exited
};

struct port_result {
    std::string             failure;   // the harness itself failed: nothing else is meaningful
    program_result          first, second;
    shared_chip             chip{};    // as the run left it
    port_calls              calls{};
    usb_calls               usb{};
    std::int32_t            modem_lines = 0, open_count = 0;
    std::uint64_t           first_open_ns = 0, last_close_ns = 0;
    std::vector<port_event> trace;
    bool                    trace_overflow = false;
    std::uint64_t           interrupt_ns = 0;   // CLOCK_MONOTONIC when the signal was sent
    bool                    holder_kept_tty = false;  // tty_held: the holder still had it open at the end
};

// On emulated wine a run that fails by the emulator's own words (not the program's) is made
// once more, and standard output and E2E_WORK_DIR/reruns.log say so, naming e2e_case_name.
port_result run_on_port(const port_run& run);
extern std::string e2e_case_name;

// Creates (once, one maker at a time) the throwaway wine prefix of TARGET, with COM1 and COM12
// mapped to port 1's device and COM2 to nothing; finds a made one ready, its COM links restored.
// Empty on success, else what went wrong. The fixture e2e_wine_prefixes calls it before any case.
std::string prepare_wine(target which);

// DIR/exe holding a copy of WHICH's isp2313.exe and, when WITH_D2XX, the stand-in ftd2xx.dll
// beside it, as FTDI's driver package would have the library found; its path, for exe_dir.
std::string exe_dir_for(const std::string& dir, target which, bool with_d2xx);

// A new directory for one run's files, removed by remove_tree.
std::string make_scratch_dir(const std::string& tag);
void        remove_tree(const std::string& dir);
void        write_file(const std::string& path, const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> read_file(const std::string& path);

// What a successful run prints for an image of FLASH_BYTES and an EEPROM file of EEPROM_BYTES.
std::string expected_full_run(chip_part part, std::size_t flash_bytes, std::size_t eeprom_bytes, bool eeprom_file);
// A Windows text-mode stdout writes each "\n" as "\r\n".
std::string windows_text(const std::string& text);

// The trace as the simulated platform's: one "time line value" line per event, time from the first.
std::string trace_text(const std::vector<port_event>& trace);

std::string source_dir();
std::string examples_dir();
