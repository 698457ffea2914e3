// Whole runs on the virtual chip: command line, failures, byte-exact output, retries.
#include <gtest/gtest.h>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>
#include "run/images.h"
#include "run/probe.h"
#include "run/run.h"
#include "tests/lifecycle.h"
#include "tests/run_checks.h"

static std::string format(const char* pattern, unsigned value)
{
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

static std::string counted(const char* pattern, unsigned from, unsigned to)
{
    std::string text;
    for (unsigned i = from; i <= to; ++i)
        text += format(pattern, i);
    return text;
}

// One flash attempt that matched up to VERIFIED words (all of them when it succeeded).
static std::string flash_attempt(unsigned number, unsigned words, unsigned verified)
{
    return format("\nFlash Attempt = %3u\n", number) + counted("Program %4u\r", 1, words) + "\n" +
           counted("Verify  %4u\r", 1, verified);
}

static std::string eeprom_attempt(unsigned number, unsigned count, unsigned verified)
{
    return format("EEPROM Attempt = %u\n", number) + counted("Program %3u\r", 1, count) +
           counted("Verify  %4u\r", 1, verified);
}

static std::string banner(chip_part part)
{
    return part == part_at90s2313 ? "\n>>> Device  AT90S2313 <<<\n" : "\n>>> Device  ATTINY2313 <<<\n";
}

static std::string finish(chip_part part)
{
    return part == part_at90s2313 ? "Write Lock Bits\n" : "Write Fuse Low\nWrite Fuse High\nWrite Lock Bits\n";
}

// A run that succeeds at the first attempt of each pass.
static std::string clean_run(chip_part part, unsigned words, int eeprom_file_bytes)
{
    std::string text = banner(part) + flash_attempt(1, words, words) + "\nFlash Ok\n";
    if (eeprom_file_bytes >= 0) {
        unsigned count = static_cast<unsigned>(eeprom_file_bytes) + 1;
        text += eeprom_attempt(1, count, count) + "\nERROR Ok\n";
    }
    return text + finish(part);
}

static void expect_port_closed_with_reset_released()
{
    expect_port_closed();
    EXPECT_EQ(events_of(sim_open).size(), 1u);
}

static void expect_chip_holds(const std::vector<std::uint8_t>& flash, const std::vector<std::uint8_t>& ee)
{
    for (std::size_t w = 0; w < flash.size() / 2; ++w)
        ASSERT_EQ(chip.flash[w], flash[2 * w] | flash[2 * w + 1] << 8) << "word " << w;
    for (std::size_t w = flash.size() / 2; w < chip_flash_words; ++w)
        ASSERT_EQ(chip.flash[w], 0xFFFF) << "word " << w;
    if (ee.empty())
        return;
    EXPECT_EQ(chip.eeprom[0], ee.size() - 1 == 0 ? 0 : (ee.size() - 1) & 0xFF);
    for (std::size_t k = 1; k < ee.size(); ++k)
        ASSERT_EQ(chip.eeprom[k], ee[k]) << "EEPROM byte " << k;
}

// The EEPROM as the chip should hold it: the length byte, then the file.
static std::vector<std::uint8_t> with_length(const std::vector<std::uint8_t>& file)
{
    std::vector<std::uint8_t> bytes(file.size() + 1);
    bytes[0] = static_cast<std::uint8_t>(file.size());
    std::copy(file.begin(), file.end(), bytes.begin() + 1);
    return bytes;
}

// Every write is followed by a gap of at least the chip's busy time before the next frame.
static void expect_writes_waited_for(chip_part part)
{
    for (std::size_t i = 0; i + 1 < frames.size(); ++i) {
        const std::uint8_t* f = frames[i].bytes;
        std::uint64_t busy = 0;
        if (f[0] == 0x4C || (f[0] & 0xF7) == 0x40)
            busy = part == part_at90s2313 || f[0] == 0x4C ? chip_flash_write_ns(part) : 0;
        else if (f[0] == 0xC0)
            busy = chip_eeprom_write_ns(part);
        else if (f[0] == 0xAC && f[1] == 0x80)
            busy = chip_erase_ns(part);
        else if (f[0] == 0xAC && f[1] != 0x53)
            busy = chip_config_write_ns(part);
        std::uint64_t next_start = frames[i + 1].t_ns - 32 * 7000;   // a frame takes under 7 us a bit
        ASSERT_GE(next_start - frames[i].t_ns, busy) << "frame " << i;
    }
}

// In bit-bang a wait is served on the wire: after every frame that asks for one, the clock
// next rises no sooner than the wait's whole nominal length later, whatever the byte clock.
static void expect_waits_kept_on_the_wire(chip_part part)
{
    std::vector<sim_event> rises;
    for (const sim_event& e : events_of(sim_break))
        if (e.value)
            rises.push_back(e);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const std::uint8_t* f = frames[i].bytes;
        std::uint64_t wait_ms = f[0] == 0xAC && f[1] == 0x53 ? 0 : f[0] == 0xAC && f[1] == 0x80 ? 30 : nominal_wait_ms(f, part);
        auto next = std::upper_bound(rises.begin(), rises.end(), frames[i].t_ns,
                                     [](std::uint64_t t, const sim_event& e) { return t < e.t_ns; });
        if (wait_ms != 0 && next != rises.end()) {
            ASSERT_GE(next->t_ns - frames[i].t_ns, wait_ms * 1000000) << "frame " << i;
        }
    }
}

class UsageErrors : public testing::TestWithParam<std::vector<std::string>> {};

TEST_P(UsageErrors, PrintUsageAloneAndOpenNoPort)
{
    fresh_bench();
    std::string flash = scratch_file("f.bin", {1, 2});
    std::vector<std::string> operands = GetParam();
    for (std::string& operand : operands)
        if (operand == "FLASH")
            operand = flash;
    run_result r = run_program(operands);
    EXPECT_EQ(r.out, "1[2] FLASH [EEPROM]\n");
    EXPECT_EQ(r.status, 33);
    EXPECT_TRUE(sim.trace.empty());
}

INSTANTIATE_TEST_SUITE_P(CommandLine, UsageErrors, testing::Values(
    std::vector<std::string>{}, std::vector<std::string>{"1"}, std::vector<std::string>{"12", "FLASH"},
    std::vector<std::string>{"COM1", "FLASH"}, std::vector<std::string>{"3", "FLASH"},
    std::vector<std::string>{"x", "FLASH"}, std::vector<std::string>{"", "FLASH"},
    std::vector<std::string>{"0", "FLASH", "FLASH"}));

struct port_failure_case {
    const char* name;
    int         port;
    bool        missing, busy, denied;
    long        failing_call;   // 0, else the line call from which on every one fails
    const char* group;
    std::vector<std::pair<std::string, std::string>> devices;
    const char* err;
};

class PortFailure : public testing::TestWithParam<port_failure_case> {};

// Standard output names the operand whatever the reason; standard error the device and the remedy.
TEST_P(PortFailure, IsNotFoundWithItsDigitAndExplainedOnStandardError)
{
    const port_failure_case& c = GetParam();
    fresh_bench();
    sim.port_name[1] = "/dev/ttyUSB0";
    sim.port_present[c.port] = !c.missing;
    sim.port_busy[c.port] = c.busy;
    sim.port_denied[c.port] = c.denied;
    sim.fail_from_modem_call = c.failing_call;
    sim.device_group = c.group;
    sim.serial_devices = c.devices;
    run_result r = run_program({std::to_string(c.port), scratch_file("f.bin", {})});
    EXPECT_EQ(r.out, ">>> COM" + std::to_string(c.port) + " Not Found\n");
    EXPECT_EQ(r.status, 33);
    EXPECT_EQ(sim.trace.empty(), c.failing_call == 0);
    EXPECT_EQ(r.err, c.err);
}

INSTANTIATE_TEST_SUITE_P(Reasons, PortFailure, testing::Values(
    port_failure_case{"MissingListsTheDevicesAndSuggestsTheLast", 1, true, false, false, 0, "",
        {{"/dev/ttyS0", ""}, {"/dev/ttyUSB1", ""}, {"/dev/serial/by-id/usb-FTDI_FT232R-if00-port0", "/dev/ttyUSB1"}},
        "isp2313: port 1 is /dev/ttyUSB0: open: No such file or directory\n"
        "There is no such device. The serial devices on this system:\n"
        "    /dev/ttyS0\n"
        "    /dev/ttyUSB1\n"
        "    /dev/serial/by-id/usb-FTDI_FT232R-if00-port0 -> /dev/ttyUSB1\n"
        "To use one of them as port 1, name it in ISP2313_PORT1, e.g. "
        "ISP2313_PORT1=/dev/serial/by-id/usb-FTDI_FT232R-if00-port0\n"},
    port_failure_case{"MissingWithNoDeviceAtAll", 2, true, false, false, 0, "", {},
        "isp2313: port 2 is COM2: open: No such file or directory\n"
        "There is no such device. The serial devices on this system:\n"
        "    none: is the adapter plugged in?\n"
        "Once it is, name its device in ISP2313_PORT2 to use it as port 2.\n"},
    port_failure_case{"HeldByAnotherProgram", 2, false, true, false, 0, "", {{"COM2", ""}},
        "isp2313: port 2 is COM2: open: Device or resource busy\n"
        "Another program has it open (a terminal, a modem manager, another isp2313): close that program and try again.\n"},
    port_failure_case{"DeniedNamesTheGroup", 1, false, false, true, 0, "dialout", {},
        "isp2313: port 1 is /dev/ttyUSB0: open: Permission denied\n"
        "Only members of group dialout may open it: add your user to the group (sudo usermod -aG dialout $USER),"
        " then log out and in again.\n"},
    port_failure_case{"DeniedWithoutAGroup", 1, false, false, true, 0, "", {},
        "isp2313: port 1 is /dev/ttyUSB0: open: Permission denied\n"
        "This user may not open it: ask for read and write access to /dev/ttyUSB0.\n"},
    port_failure_case{"ALineCallFailsWhileItOpens", 1, false, false, false, 1, "", {{"/dev/ttyUSB0", ""}},
        "isp2313: port 1 is /dev/ttyUSB0: set DTR: Input/output error\n"
        "The serial devices on this system:\n"
        "    /dev/ttyUSB0\n"
        "To use one of them as port 1, name it in ISP2313_PORT1, e.g. ISP2313_PORT1=/dev/ttyUSB0\n"}),
    [](const testing::TestParamInfo<port_failure_case>& param_info) { return std::string(param_info.param.name); });

// An FTDI adapter: named "ftdi…" it runs in bit-bang or not at all; as a serial port that
// will not go into bit-bang it runs on line calls and says why and how long, once; one that
// another program holds is not taken at all.
struct ftdi_case {
    const char*    name;
    os_bitbang_use use;
    bool           present, refused, library, held, no_echo;
    const char*    bitbang_setting;   // ISP2313_BITBANG, null: unset
    const char*    out;   // empty: the clean run's
    const char*    err;
};

class FtdiPort : public testing::TestWithParam<ftdi_case> {
protected:
    void TearDown() override { unsetenv("ISP2313_BITBANG"); }
};

TEST_P(FtdiPort, RunsInBitBangOrSaysWhyNot)
{
    const ftdi_case& c = GetParam();
    fresh_bench();
    sim.port_name[1] = c.use == os_bitbang_required ? "ftdi:NOSUCH" : "/dev/ttyUSB0";
    sim.bitbang_use[1] = c.use;
    sim.port_present[1] = c.present;
    sim.ftdi_refused = c.refused;
    sim.ftdi_library = c.library;
    sim.ftdi_held = c.held;
    sim.ftdi.no_echo = c.no_echo;
    sim.ftdi_devices = {"FT232R serial FT6Z3K9Q, bus 1 address 7"};
    if (c.bitbang_setting != nullptr)
        setenv("ISP2313_BITBANG", c.bitbang_setting, 1);
    std::vector<std::uint8_t> flash = pattern_bytes(34, 3);
    run_result r = run_program({"1", scratch_file("f.bin", flash)});
    EXPECT_EQ(r.out, c.out[0] != '\0' ? std::string(c.out) : clean_run(part_attiny2313, 17, -1));
    EXPECT_EQ(r.err, c.err);
    EXPECT_FALSE(sim.ftdi_open);
    if (c.out[0] == '\0') {
        expect_chip_holds(flash, {});
        if (c.no_echo)
            EXPECT_EQ(events_of(sim_close).size(), 2u) << "the device, then its serial port";
        else
            expect_port_closed();
    }
    if (c.held) {
        EXPECT_TRUE(sim.trace.empty()) << "a port another program holds is not touched";
    }
    // A device that fails the echo is closed before the chip has seen a single clock edge.
    for (std::size_t i = 0; c.no_echo && i < sim.trace.size() && sim.trace[i].line != sim_close; ++i)
        EXPECT_NE(sim.trace[i].line, sim_break) << "at " << sim.trace[i].t_ns;
}

#define NAME_ONE "Name one as ftdi:SERIAL (two that share a serial number, by their serial port) in ISP2313_PORT1," \
                 " or plain ftdi when it is the only one.\n"
// The note's time is the probe's line-call prediction at a millisecond a call, in minutes.
#define LINE_CALL_TIME ": a full run takes about 11 minutes that way at a USB adapter's usual 1 ms a call, against" \
                       " seconds in bit-bang (isp2313-probe 1 measures both).\n"
#define NO_ECHO "bit-bang: the adapter's samples did not follow its pins (sample 1 of 70 showed 05 after 15 went" \
                " out): a stray or lost byte, or a chip not in synchronous bit-bang"

INSTANTIATE_TEST_SUITE_P(NamesAndRefusals, FtdiPort, testing::Values(
    ftdi_case{"NoSuchSerialListsTheDevices", os_bitbang_required, false, false, true, false, false, nullptr,
        ">>> COM1 Not Found\n",
        "isp2313: port 1 is ftdi:NOSUCH: ftdi_usb_open: device not found\n"
        "The FTDI devices on this system:\n"
        "    FT232R serial FT6Z3K9Q, bus 1 address 7\n"
        NAME_ONE},
    ftdi_case{"NamedAndRefusedNamesTheUdevRule", os_bitbang_required, true, true, true, false, false, nullptr,
        ">>> COM1 Not Found\n",
        "isp2313: port 1 is ftdi:NOSUCH: ftdi_usb_open: usb_open() failed (LIBUSB_ERROR_ACCESS)\n"
        "Only root may open this USB device here. isp2313's package installs a udev rule that lets the dialout"
        " group and the logged-in user open FTDI devices (/usr/lib/udev/rules.d/60-isp2313-ftdi.rules); without"
        " the package, add such a rule, then plug the adapter in again.\n"
        "The FTDI devices on this system:\n"
        "    FT232R serial FT6Z3K9Q, bus 1 address 7\n"
        NAME_ONE},
    ftdi_case{"NoFtdiLibraryListsNothing", os_bitbang_required, false, false, false, false, false, nullptr,
        ">>> COM1 Not Found\n",
        "isp2313: port 1 is ftdi:NOSUCH: ftdi_usb_open: device not found\n"
        "The FTDI devices on this system:\n"
        "    unknown: they are listed through the FTDI library, which this system lacks\n"},
    ftdi_case{"TtyRefusedFallsBackToLineCalls", os_bitbang_preferred, true, true, true, false, false, nullptr, "",
        "isp2313: port 1 (/dev/ttyUSB0) is an FTDI adapter that would not go into bit-bang mode"
        " (ftdi_usb_open: usb_open() failed (LIBUSB_ERROR_ACCESS)), so this run uses its serial port's line"
        " calls" LINE_CALL_TIME
        "Only root may open this USB device here. isp2313's package installs a udev rule that lets the dialout"
        " group and the logged-in user open FTDI devices (/usr/lib/udev/rules.d/60-isp2313-ftdi.rules); without"
        " the package, add such a rule, then plug the adapter in again.\n"
        "ISP2313_BITBANG=0 uses the line calls without trying.\n"},
    ftdi_case{"TtyHeldElsewhereIsNotTaken", os_bitbang_preferred, true, false, true, true, false, nullptr,
        ">>> COM1 Not Found\n",
        "isp2313: port 1 is /dev/ttyUSB0: ftdi: /dev/ttyUSB0 is open in another program: minicom (pid 4242)\n"
        "Another program has it open (a terminal, a modem manager, another isp2313): close that program and try"
        " again.\n"},
    ftdi_case{"NamedHeldElsewhereIsNotTaken", os_bitbang_required, true, false, true, true, false, nullptr,
        ">>> COM1 Not Found\n",
        "isp2313: port 1 is ftdi:NOSUCH: ftdi: /dev/ttyUSB0 is open in another program: minicom (pid 4242)\n"
        "The adapter's port is in use: close the program that holds it and try again.\n"
        "The FTDI devices on this system:\n"
        "    FT232R serial FT6Z3K9Q, bus 1 address 7\n"
        NAME_ONE},
    ftdi_case{"TtyOfAChipWithoutBitBangSaysHowLong", os_bitbang_unable, true, false, true, false, false, nullptr, "",
        "isp2313: port 1 (/dev/ttyUSB0) is an FTDI adapter that would not go into bit-bang mode"
        " (ftdi: the FT232BM has no synchronous bit-bang), so this run uses its serial port's line calls"
        LINE_CALL_TIME "ISP2313_BITBANG=0 uses the line calls without trying.\n"},
    ftdi_case{"TtyWithBitBangTurnedOffSaysHowLong", os_bitbang_preferred, true, false, true, false, false, "0", "",
        "isp2313: port 1 (/dev/ttyUSB0) is an FTDI adapter, run on its serial port's line calls as"
        " ISP2313_BITBANG=0 asks" LINE_CALL_TIME},
    ftdi_case{"TtyThatDoesNotEchoFallsBackToLineCalls", os_bitbang_preferred, true, false, true, false, true, nullptr,
        "",
        "isp2313: port 1 (/dev/ttyUSB0) is an FTDI adapter that would not go into bit-bang mode (" NO_ECHO "), so"
        " this run uses its serial port's line calls" LINE_CALL_TIME
        "ISP2313_BITBANG=0 uses the line calls without trying.\n"},
    ftdi_case{"NamedThatDoesNotEchoIsNotFound", os_bitbang_required, true, false, true, false, true, nullptr,
        ">>> COM1 Not Found\n",
        "isp2313: port 1 is ftdi:NOSUCH: " NO_ECHO "\n"
        "The FTDI devices on this system:\n"
        "    FT232R serial FT6Z3K9Q, bus 1 address 7\n"
        NAME_ONE}),
    [](const testing::TestParamInfo<ftdi_case>& param_info) { return std::string(param_info.param.name); });

// A pulled adapter ends a bit-bang run as a lost port does; an interrupt closes it the normal
// way, the chip released from reset, and the device's serial port given back.
TEST(FtdiPort, PulledMidRunIsALostPort)
{
    fresh_bench();
    sim.bitbang_use[1] = os_bitbang_required;
    sim.fail_from_modem_call = 400;
    run_result r = run_program({"1", scratch_file("f.bin", pattern_bytes(2048, 3))});
    EXPECT_EQ(r.status, 33);
    EXPECT_EQ(r.out.substr(r.out.size() - 15), "\n>>> COM1 Lost\n");
    EXPECT_EQ(r.err, "isp2313: the port stopped answering: ftdi_transfer_data_done: Input/output error\n");
    EXPECT_EQ(sim.modem_calls, 400) << "nothing is sent after the failed transfer";
    EXPECT_EQ(sim.trace.back().line, sim_close);
    EXPECT_LT(sim.now_ns - sim.first_failure_ns, 1000000u);
}

// A sample stream that stops following the pins, by a byte too many or one lost, ends the run
// as a lost port at that sample: no answer is read from it and no flash pass is retried.
TEST(FtdiPort, SamplesThatDoNotFollowThePinsAreALostPort)
{
    struct fault { long stray_after, lose_at; const char* err; };
    for (const fault& f : {fault{20000, -1, "isp2313: the port stopped answering: bit-bang: the adapter's samples did"
                                            " not follow its pins (sample 21757 of 31093 showed 05 after 01 went out):"
                                            " a stray or lost byte, or a chip not in synchronous bit-bang\n"},
                           fault{-1, 20000, "isp2313: the port stopped answering: bit-bang: the adapter's samples did"
                                            " not follow its pins (sample 21756 of 31093 showed 01 after 05 went out):"
                                            " a stray or lost byte, or a chip not in synchronous bit-bang\n"}}) {
        fresh_bench();
        sim.bitbang_use[1] = os_bitbang_required;
        sim.ftdi.stray_after = f.stray_after;
        sim.ftdi.lose_at = f.lose_at;
        run_result r = run_program({"1", scratch_file("f.bin", pattern_bytes(2048, 3))});
        EXPECT_EQ(r.status, 33);
        EXPECT_EQ(r.out.substr(r.out.size() - 15), "\n>>> COM1 Lost\n");
        EXPECT_EQ(r.out.find("Flash Attempt =   2"), std::string::npos);
        EXPECT_EQ(r.err, f.err);
        EXPECT_FALSE(sim.ftdi_open);
        expect_chip_timing_kept();
    }
}

// The run stops within the states in flight, at either byte clock.
TEST(FtdiPort, InterruptMidFlashClosesNormally)
{
    for (std::uint32_t clock : {16u, 4u}) {
        fresh_bench();
        sim.bitbang_use[1] = os_bitbang_required;
        sim.ftdi.clock_per_baud = clock;
        std::uint64_t interrupted_at = 0;
        sim.on_time = [&](std::uint64_t now) {
            if (now > 500000000u && !sim.interrupted) {
                sim.interrupted = true;
                interrupted_at = now;
            }
        };
        run_result r = run_program({"1", scratch_file("f.bin", pattern_bytes(2048, 3))});
        EXPECT_EQ(r.status, 33);
        EXPECT_EQ(r.out.substr(r.out.size() - 17), "\n>>> Interrupted\n");
        EXPECT_FALSE(chip.reset_held);
        EXPECT_FALSE(sim.ftdi_open);
        EXPECT_EQ(chip.counts.ignored_busy, 0);
        EXPECT_LE(sim.now_ns - interrupted_at, 50000000u) << "clock x" << clock;
        expect_chip_timing_kept();
    }
}

TEST(Synchronisation, NoChipEndsWithPortClosed)
{
    fresh_bench();
    chip.present = false;
    run_result r = run_program({"1", scratch_file("f.bin", {})});
    EXPECT_EQ(r.out, ">>> Not synchronization\n");
    EXPECT_EQ(r.err, "isp2313: no chip answered; isp2313-probe 1 tells what works on the port and what comes back"
                     " from the chip.\n");
    EXPECT_EQ(r.status, 33);
    EXPECT_EQ(events_of(sim_dsr).size(), 32u * 8);
    expect_port_closed_with_reset_released();
}

// A chip that was enabled but whose echo never reaches the program (MISO stuck, an adapter
// reporting a stale DSR) takes no later attempt, shifted, for an instruction: no shifted
// Programming Enable becomes Write EEPROM C0 15 8A 7F.
TEST(Synchronisation, AChipWhoseEchoIsLostIsNotWritten)
{
    for (int stuck : {0, 1}) {
        fresh_bench(part_attiny2313);
        chip.faults.miso_stuck = stuck;
        run_result r = run_program({"1", scratch_file("f.bin", {})});
        EXPECT_EQ(r.out, ">>> Not synchronization\n");
        EXPECT_EQ(chip.counts.programming_enables, 1) << "the first attempt enabled the chip";
        for (const frame_record& f : frames) {
            EXPECT_TRUE(!f.to_enabled || (f.bytes[0] == 0xAC && f.bytes[1] == 0x53))
                << std::hex << int(f.bytes[0]) << " " << int(f.bytes[1]) << " " << int(f.bytes[2]);
        }
        expect_chip_blank();
    }
}

TEST(Synchronisation, ChipOutOfStepIsProgrammedAllTheSame)
{
    fresh_bench(part_at90s2313);
    chip.out_of_step = 31;
    std::vector<std::uint8_t> image = pattern_bytes(8);
    run_result r = run_program({"2", scratch_file("f.bin", image)});
    EXPECT_EQ(r.out, clean_run(part_at90s2313, 4, -1));
    EXPECT_EQ(r.status, 0);
    expect_chip_holds(image, {});
}

// A DSR wait that is not a whole number of microseconds up to 100000 opens nothing.
TEST(Synchronisation, ARefusedDsrWaitIsNotFoundAndExplained)
{
    for (const char* setting : {"abc", "-1", "+5", " 3000", "3000us", "3e3", "100001", "99999999999999999999"}) {
        fresh_bench();
        sim.dsr_wait_setting = setting;
        run_result r = run_program({"2", scratch_file("f.bin", {})});
        EXPECT_EQ(r.out, ">>> COM2 Not Found\n");
        EXPECT_EQ(r.err, std::string("isp2313: ISP2313_DSR_WAIT_US is \"") + setting + "\": it takes a whole number of"
                         " microseconds from 0 to 100000, how long after the clock falls each bit is read; the port"
                         " was not opened.\n");
        EXPECT_EQ(r.status, 33);
        EXPECT_TRUE(sim.trace.empty()) << setting;
    }
}

// An adapter that shows DSR late, by a lag or from a status polled at an interval: without
// the wait the run never gets in step; with the one the probe's loopback names over the same
// adapter, it programs the chip with the line calls of a run over a live DSR.
struct late_dsr_case {
    const char*   name;
    chip_part     part;
    std::uint64_t lag_ns, polled_ns;
    bool          dsr_moves;   // the failed entry's DSR changed: standard error names the wait
    bool          bitbang;     // an FT232R in bit-bang, the lag on the wire behind its pins
};

class LateDsr : public testing::TestWithParam<late_dsr_case> {
protected:
    void adapter()
    {
        sim.dsr_lag_ns = GetParam().lag_ns;
        sim.dsr_cache_ns = GetParam().polled_ns;
        if (GetParam().bitbang)
            sim.bitbang_use[1] = os_bitbang_required;
    }
};

TEST_P(LateDsr, FailsInStepWithoutTheWaitAndRunsCleanWithTheProbesValue)
{
    const late_dsr_case& c = GetParam();
    fresh_bench(c.part);
    adapter();
    chip.present = false;
    sim.loopback = loopback_dtr;
    run_result probed = run_program({"--loopback", "1"}, probe);
    std::size_t named = probed.out.find("ISP2313_DSR_WAIT_US=");
    ASSERT_NE(named, std::string::npos) << probed.out;
    std::string wait = probed.out.substr(named + 20, probed.out.find(' ', named) - named - 20);

    std::vector<std::uint8_t> flash = pattern_bytes(34, 3), ee = pattern_bytes(5, 4);
    std::vector<std::string> operands = {"1", scratch_file("flash.bin", flash), scratch_file("ee.bin", ee)};
    fresh_bench(c.part);
    if (c.bitbang)
        sim.bitbang_use[1] = os_bitbang_required;
    run_result live = run_program(operands);
    std::string live_calls;
    for (const sim_event& e : sim.trace)
        live_calls += std::string(1, static_cast<char>(e.line)) + (e.value ? '1' : '0');

    fresh_bench(c.part);
    adapter();
    run_result late = run_program(operands);
    EXPECT_EQ(late.out, ">>> Not synchronization\n");
    EXPECT_EQ(late.err.find("ISP2313_DSR_WAIT_US") != std::string::npos, c.dsr_moves) << late.err;
    EXPECT_EQ(late.status, 33);

    fresh_bench(c.part);
    adapter();
    sim.dsr_wait_setting = wait.c_str();
    run_result waited = run_program(operands);
    EXPECT_EQ(waited.out, live.out);
    EXPECT_EQ(waited.out, clean_run(c.part, 17, 5));
    EXPECT_EQ(waited.err, "");
    EXPECT_EQ(waited.status, 0) << "ISP2313_DSR_WAIT_US=" << wait;
    expect_chip_holds(flash, with_length(ee));
    expect_chip_timing_kept();
    std::string calls;
    for (const sim_event& e : sim.trace)
        calls += std::string(1, static_cast<char>(e.line)) + (e.value ? '1' : '0');
    EXPECT_TRUE(calls == live_calls) << "the same line calls in the same order";
}

INSTANTIATE_TEST_SUITE_P(Adapters, LateDsr, testing::Values(
    late_dsr_case{"TinyLag2ms", part_attiny2313, 2000000, 0, false, false},
    late_dsr_case{"At90sLag2ms", part_at90s2313, 2000000, 0, false, false},
    late_dsr_case{"TinyLag4ms", part_attiny2313, 4000000, 0, false, false},
    late_dsr_case{"At90sPolled4ms", part_at90s2313, 0, 4000000, true, false},
    late_dsr_case{"TinyLagABit", part_attiny2313, 8000, 0, true, false},
    late_dsr_case{"TinyFt232rLag20us", part_attiny2313, 20000, 0, true, true},
    late_dsr_case{"At90sFt232rLag50us", part_at90s2313, 50000, 0, true, true}),
    [](const testing::TestParamInfo<late_dsr_case>& param_info) { return std::string(param_info.param.name); });

struct whole_run_case {
    const char*   name;
    chip_part     part;
    int           flash_bytes;
    int           eeprom_bytes;   // -1: no EEPROM file
    std::uint64_t edges_hash;     // what the chip saw at each clock edge, 0: not pinned
    long          edges;
    std::uint32_t ft232r_clock;   // 0: line calls; else an FT232R in bit-bang, its byte clock this times the baud
    bool          ft232h;         // the FTDI chip is an FT232H instead
    bool          entry_glitch;   // the FTDI chip drives its outputs low from the mode change to the first byte
    std::uint64_t dsr_lag_ns;     // the wire shows MISO this late
};

class WholeRun : public testing::TestWithParam<whole_run_case> {};

TEST_P(WholeRun, ProgramsVerifiesAndLocksTheChip)
{
    const whole_run_case& c = GetParam();
    fresh_bench(c.part);
    std::vector<std::uint8_t> flash = pattern_bytes(static_cast<std::size_t>(c.flash_bytes), 3);
    std::vector<std::string> operands = {"1", scratch_file("flash.bin", flash)};
    std::vector<std::uint8_t> ee;
    if (c.eeprom_bytes >= 0) {
        ee = pattern_bytes(static_cast<std::size_t>(c.eeprom_bytes), 4);
        operands.push_back(scratch_file("ee.bin", ee));
    }
    if (c.ft232r_clock != 0) {
        sim.bitbang_use[1] = os_bitbang_required;
        if (c.ft232h) {
            ft232r_make_ft232h(sim.ftdi);
            sim.ftdi_bcd_device = 0x0900;
        }
        sim.ftdi.clock_per_baud = c.ft232r_clock;
        sim.ftdi.entry_glitch = c.entry_glitch;
    }
    sim.dsr_lag_ns = c.dsr_lag_ns;
    run_result r = run_program(operands);
    EXPECT_EQ(r.out, clean_run(c.part, static_cast<unsigned>(c.flash_bytes / 2), c.eeprom_bytes));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(sim.ftdi_transfers != 0, c.ft232r_clock != 0);
    EXPECT_EQ(r.status, 0);
    expect_chip_holds(flash, c.eeprom_bytes >= 0 ? with_length(ee) : std::vector<std::uint8_t>{});
    if (c.eeprom_bytes < 0) {
        EXPECT_TRUE(frames_starting({0xC0}).empty() && frames_starting({0xA0}).empty());
    }
    if (c.part == part_attiny2313) {
        EXPECT_EQ(chip.fuse_low, 0xEF);
        EXPECT_EQ(chip.fuse_high, 0xDF);
    } else {
        EXPECT_EQ(chip.fuse_low, 0x64) << "the AT90S2313 has no fuses to write";
    }
    EXPECT_TRUE(chip_read_locked());
    EXPECT_EQ(chip.counts.erases, 1);
    EXPECT_EQ(frames_starting({0xAC, 0x53}).size(), 2u) << "in step at the first attempt, as over line calls";
    expect_chip_timing_kept();
    expect_writes_waited_for(c.part);
    if (c.ft232r_clock != 0)
        expect_waits_kept_on_the_wire(c.part);
    wire_timing timing = wire_timing_of(sim.trace);
    EXPECT_EQ(timing.short_setups, 0);
    EXPECT_EQ(timing.short_holds, 0);
    expect_port_closed_with_reset_released();
    // Pinned from the driver that called DTR for every bit and changed it just before the
    // rise: the chip is clocked exactly the same bits now.
    if (c.edges_hash != 0) {
        edge_digest seen = chip_edges();
        EXPECT_EQ(seen.edges, c.edges);
        EXPECT_EQ(seen.hash, c.edges_hash);
    }
    // DTR is called only to change it (the port opens with it set, from cleared).
    bool dtr = false;
    long repeats = 0;
    for (const sim_event& e : events_of(sim_dtr)) {
        repeats += e.value == dtr;
        dtr = e.value;
    }
    EXPECT_EQ(repeats, 0);
}

INSTANTIATE_TEST_SUITE_P(BothParts, WholeRun, testing::Values(
    whole_run_case{"TypicalTiny", part_attiny2313, 34, 5, 0, 0, 0, false, false, 0},
    whole_run_case{"TypicalAt90s", part_at90s2313, 34, 5, 0, 0, 0, false, false, 0},
    whole_run_case{"FullTiny", part_attiny2313, 2048, 127, 0x3dc46420969fdcd7ull, 283208, 0, false, false, 0},
    whole_run_case{"FullAt90s", part_at90s2313, 2048, 127, 0xe03677f44d7cd7cbull, 278984, 0, false, false, 0},
    whole_run_case{"FullTinyFt232r", part_attiny2313, 2048, 127, 0x3dc46420969fdcd7ull, 283208, 16, false, false, 0},
    whole_run_case{"FullAt90sFt232r", part_at90s2313, 2048, 127, 0xe03677f44d7cd7cbull, 278984, 16, false, false, 0},
    whole_run_case{"TypicalTinyFt232rSlowClock", part_attiny2313, 34, 5, 0, 0, 4, false, false, 0},
    whole_run_case{"FullTinyFt232rSlowClock", part_attiny2313, 2048, 127, 0x3dc46420969fdcd7ull, 283208, 4, false,
                   false, 0},
    whole_run_case{"FullAt90sFt232rSlowClock", part_at90s2313, 2048, 127, 0xe03677f44d7cd7cbull, 278984, 4, false,
                   false, 0},
    whole_run_case{"FullTinyFt232rDsr4usLate", part_attiny2313, 2048, 127, 0x3dc46420969fdcd7ull, 283208, 16, false,
                   false, 4000},
    whole_run_case{"FullTinyFt232rEntryGlitch", part_attiny2313, 2048, 127, 0, 0, 16, false, true, 0},
    whole_run_case{"FullAt90sFt232rDsr4usLate", part_at90s2313, 2048, 127, 0xe03677f44d7cd7cbull, 278984, 16, false,
                   false, 4000},
    whole_run_case{"FullTinyFt232h", part_attiny2313, 2048, 127, 0x3dc46420969fdcd7ull, 283208, 5, true, false, 0},
    whole_run_case{"EmptyFlashTiny", part_attiny2313, 0, 0, 0, 0, 0, false, false, 0},
    whole_run_case{"EmptyFlashAt90s", part_at90s2313, 0, -1, 0, 0, 0, false, false, 0},
    whole_run_case{"NoEepromTiny", part_attiny2313, 100, -1, 0, 0, 0, false, false, 0},
    whole_run_case{"OddEepromAt90s", part_at90s2313, 2, 1, 0, 0, 0, false, false, 0}),
    [](const testing::TestParamInfo<whole_run_case>& param_info) { return std::string(param_info.param.name); });

TEST(WholeRunOutput, TypicalRunIsByteExact)
{
    fresh_bench(part_attiny2313);
    run_result r = run_program({"1", scratch_file("flash.bin", pattern_bytes(34)),
                                scratch_file("ee.bin", {1, 2, 3, 4, 5})});
    EXPECT_EQ(r.out,
              "\n>>> Device  ATTINY2313 <<<\n"
              "\nFlash Attempt =   1\n"
              "Program    1\rProgram    2\rProgram    3\rProgram    4\rProgram    5\rProgram    6\r"
              "Program    7\rProgram    8\rProgram    9\rProgram   10\rProgram   11\rProgram   12\r"
              "Program   13\rProgram   14\rProgram   15\rProgram   16\rProgram   17\r\n"
              "Verify     1\rVerify     2\rVerify     3\rVerify     4\rVerify     5\rVerify     6\r"
              "Verify     7\rVerify     8\rVerify     9\rVerify    10\rVerify    11\rVerify    12\r"
              "Verify    13\rVerify    14\rVerify    15\rVerify    16\rVerify    17\r"
              "\nFlash Ok\n"
              "EEPROM Attempt = 1\n"
              "Program   1\rProgram   2\rProgram   3\rProgram   4\rProgram   5\rProgram   6\r"
              "Verify     1\rVerify     2\rVerify     3\rVerify     4\rVerify     5\rVerify     6\r"
              "\nERROR Ok\n"
              "Write Fuse Low\nWrite Fuse High\nWrite Lock Bits\n");
    EXPECT_EQ(frames_starting({0xAC, 0xA0}).size(), 1u);
    EXPECT_LT(frames_starting({0xAC, 0xA0})[0].t_ns, frames_starting({0xAC, 0xA8})[0].t_ns);
    EXPECT_LT(frames_starting({0xAC, 0xA8})[0].t_ns, frames_starting({0xAC, 0xE0})[0].t_ns);
    EXPECT_EQ(frames_starting({0xAC, 0xE0})[0].bytes[3], 0xC0);
}

TEST(WholeRunOutput, FourthOperandIsIgnored)
{
    fresh_bench(part_attiny2313);
    std::string flash = scratch_file("flash.bin", {1, 2, 3, 4});
    run_result r = run_program({"1", flash, scratch_dir() + "/missing.bin", "extra"});
    EXPECT_EQ(r.out, clean_run(part_attiny2313, 2, -1));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(eeprom_count, 0);
}

// Identification erased the locked chip, so its first attempt writes without an erase; a
// word written wrong (a bit programmed that should stay 1) can only be mended by another
// erase, which the second attempt starts with.
TEST(LockedChip, At90s2313WithAWordWrittenWrongIsErasedForTheSecondAttempt)
{
    fresh_bench(part_at90s2313);
    chip.lock_bits = 0xFC;
    chip.flash[3] = 0x0000;
    chip.faults.flash_word = 5;
    chip.faults.flash_drops = 1;
    chip.faults.flash_wrong_bits = 0x0100;
    std::vector<std::uint8_t> flash = pattern_bytes(20, 9);
    flash[11] |= 0x01;               // word 5 has the bit that goes wrong
    run_result r = run_program({"1", scratch_file("flash.bin", flash)});
    EXPECT_EQ(r.out, ">>> Device LOCK\n>>> Device Erase\n" + banner(part_at90s2313) + flash_attempt(1, 10, 5) +
                         flash_attempt(2, 10, 10) + "\nFlash Ok\n" + finish(part_at90s2313));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(chip.counts.erases, 2) << "identification's erase, then one for the second attempt";
    EXPECT_TRUE(erased_at_start);
    expect_chip_holds(flash, {});
    EXPECT_TRUE(chip_read_locked());
}

TEST(LockedChip, LockedTinyStillIdentifiesAndIsErasedByTheFlashPass)
{
    fresh_bench(part_attiny2313);
    chip.lock_bits = 0xFC;
    std::vector<std::uint8_t> flash = pattern_bytes(6);
    run_result r = run_program({"1", scratch_file("flash.bin", flash)});
    EXPECT_EQ(r.out, clean_run(part_attiny2313, 3, -1));
    EXPECT_FALSE(erased_at_start);
    EXPECT_EQ(chip.counts.erases, 1);
    expect_chip_holds(flash, {});
}

// In bit-bang the verify reads a block at a time: a mismatch mid-block retries as over line
// calls, and the reads that went out after it write nothing.
TEST(Retries, FlashMismatchStartsAnotherErasedAttempt)
{
    struct { int word; unsigned verified; } cases[] = {{0, 0}, {5, 5}, {70, 70}};
    for (chip_part part : {part_at90s2313, part_attiny2313}) {
        for (const auto& c : cases) {
            std::size_t writes_over_line_calls = 0;
            for (bool bitbang : {false, true}) {
                fresh_bench(part);
                sim.bitbang_use[1] = bitbang ? os_bitbang_required : os_bitbang_off;
                chip.faults.flash_word = c.word;
                chip.faults.flash_drops = 1;
                std::vector<std::uint8_t> flash = pattern_bytes(200, 5);
                run_result r = run_program({"1", scratch_file("flash.bin", flash)});
                EXPECT_EQ(r.out, banner(part) + flash_attempt(1, 100, c.verified) + flash_attempt(2, 100, 100) +
                                     "\nFlash Ok\n" + finish(part));
                EXPECT_EQ(chip.counts.erases, 2);
                expect_chip_holds(flash, {});
                std::size_t writes = frames_starting({0x40}).size() + frames_starting({0x48}).size()
                                   + frames_starting({0x4C}).size();
                if (!bitbang)
                    writes_over_line_calls = writes;
                EXPECT_EQ(writes, writes_over_line_calls) << "bit-bang " << bitbang;
            }
        }
    }
}

TEST(Retries, EepromByteThatFailsOnceIsWrittenAgainWithEveryOther)
{
    fresh_bench(part_attiny2313);
    chip.faults.eeprom_address = 3;
    chip.faults.eeprom_drops = 1;
    std::vector<std::uint8_t> ee = {10, 20, 30, 40, 50};
    run_result r = run_program({"1", scratch_file("flash.bin", {1, 2}), scratch_file("ee.bin", ee)});
    EXPECT_EQ(r.out, banner(part_attiny2313) + flash_attempt(1, 1, 1) + "\nFlash Ok\n" + eeprom_attempt(1, 6, 3) +
                         eeprom_attempt(2, 6, 6) + "\nERROR Ok\n" + finish(part_attiny2313));
    EXPECT_EQ(frames_starting({0xC0}).size(), 12u);
    expect_chip_holds({1, 2}, with_length(ee));
}

TEST(Retries, ChipThatNeverReadsBackEqualKeepsTrying)
{
    fresh_bench(part_attiny2313);
    chip.faults.flash_word = 1;
    chip.faults.flash_drops = 1L << 40;
    sim.stop_when = [] { return chip.counts.erases >= 150; };
    run_result r = run_program({"1", scratch_file("flash.bin", {1, 2, 3, 4})});
    EXPECT_EQ(r.status, -1) << "the pass ended by itself";
    EXPECT_NE(r.out.find("\nFlash Attempt = 149\n"), std::string::npos);
    EXPECT_EQ(r.out.find("Flash Ok"), std::string::npos);
}

TEST(Retries, ChipThatDoesNotComeBackAfterTheEraseIsRetried)
{
    fresh_bench(part_attiny2313);
    chip.faults.dead_after_erase = true;
    sim.stop_when = [] { return chip.counts.programming_enables == 1 && chip.counts.erases >= 1 && sim.now_ns > 5e9; };
    run_result r = run_program({"1", scratch_file("flash.bin", {1, 2})});
    EXPECT_EQ(r.status, -1);
    EXPECT_NE(r.out.find("Flash Attempt =   2"), std::string::npos);
}

// The port lost, or the run interrupted, in each stage of a run: the output so far is the
// clean run's, then the one message; nothing is clocked after the loss, and an interrupted
// run closes the port the normal way within 50 ms.
struct stop_case {
    const char*  name;
    chip_part    part;
    std::uint8_t first, second;   // the stage's first instruction; second 0: any
};

class StoppedRun : public testing::TestWithParam<stop_case> {
protected:
    std::vector<std::string> operands;
    run_result clean;
    long stage_call = 0;   // a line call in the middle of the stage's first instruction

    void SetUp() override
    {
        const stop_case& c = GetParam();
        fresh_bench(c.part);
        operands = {"1", scratch_file("flash.bin", pattern_bytes(64, 2)), scratch_file("ee.bin", pattern_bytes(9, 3))};
        clean = run_program(operands);
        ASSERT_EQ(clean.status, 0);
        for (const frame_record& f : frames)
            if (stage_call == 0 && f.bytes[0] == c.first && (c.second == 0 || f.bytes[1] == c.second))
                stage_call = f.modem_call - 20;
        ASSERT_GT(stage_call, 0);
        fresh_bench(c.part);
    }

    // The output up to the message is where the clean run's output was at that point.
    void expect_clean_output_then(const run_result& r, const std::string& message)
    {
        EXPECT_EQ(r.status, 33);
        ASSERT_GE(r.out.size(), message.size());
        std::string before = r.out.substr(0, r.out.size() - message.size());
        EXPECT_EQ(r.out.substr(before.size()), message);
        EXPECT_EQ(clean.out.substr(0, before.size()), before);
    }
};

TEST_P(StoppedRun, LostPortEndsTheRunAtOnce)
{
    sim.fail_from_modem_call = stage_call;
    run_result r = run_program(operands);
    expect_clean_output_then(r, "\n>>> COM1 Lost\n");
    EXPECT_EQ(sim.modem_calls, stage_call + 2) << "after the failed call only break off and RTS clear are tried";
    EXPECT_EQ(sim.trace.back().line, sim_close);
    EXPECT_LT(sim.trace.back().t_ns - sim.first_failure_ns, 1000000u);
}

TEST_P(StoppedRun, InterruptClosesThePortNormally)
{
    std::uint64_t interrupted_at = 0;
    sim.on_event = [&](const sim_event&) {
        if (sim.modem_calls == stage_call && !sim.interrupted) {
            sim.interrupted = true;
            interrupted_at = sim.now_ns;
        }
    };
    run_result r = run_program(operands);
    EXPECT_TRUE(sim.interrupts_caught);
    expect_clean_output_then(r, "\n>>> Interrupted\n");
    ASSERT_GE(sim.trace.size(), 4u);
    std::string ending;
    for (std::size_t i = sim.trace.size() - 4; i < sim.trace.size(); ++i)
        ending += std::string(1, static_cast<char>(sim.trace[i].line)) + (sim.trace[i].value ? "1 " : "0 ");
    EXPECT_EQ(ending, "B1 B0 R0 C1 ");
    EXPECT_LE(sim.trace.back().t_ns - interrupted_at, 50000000u);
    EXPECT_EQ(chip.counts.ignored_busy, 0) << "the close came while the chip was still writing";
    EXPECT_FALSE(chip.reset_held);
}

INSTANTIATE_TEST_SUITE_P(EachStage, StoppedRun, testing::Values(
    stop_case{"Entry", part_attiny2313, 0xAC, 0x53},
    stop_case{"Identification", part_at90s2313, 0x30, 0},
    stop_case{"FlashPassTiny", part_attiny2313, 0x48, 0},
    stop_case{"FlashPassAt90s", part_at90s2313, 0x48, 0},
    stop_case{"FlashVerify", part_attiny2313, 0x28, 0},
    stop_case{"EepromPass", part_at90s2313, 0xC0, 0},
    stop_case{"FuseWrites", part_attiny2313, 0xAC, 0xA8},
    stop_case{"LockBits", part_at90s2313, 0xAC, 0xE0}),
    [](const testing::TestParamInfo<stop_case>& param_info) { return std::string(param_info.param.name); });

TEST(Interrupt, BeforeThePortIsOpenEndsWithNothingToClose)
{
    fresh_bench();
    sim.interrupted = true;
    run_result r = run_program({"1", scratch_file("f.bin", {1, 2})});
    EXPECT_EQ(r.out, "\n>>> Interrupted\n");
    EXPECT_EQ(r.status, 33);
    EXPECT_TRUE(sim.trace.empty());
}
