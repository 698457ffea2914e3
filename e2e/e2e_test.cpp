// The shipped programs, Linux and Windows under wine, end to end against the faked port and
// the virtual chip in real time: messages, exit status, what the chip ends with, the wire.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <csignal>
#include <unistd.h>
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>
#include "e2e/harness.h"
#include "run/probe.h"
#include "tests/lifecycle.h"
#include "tests/run_checks.h"

// Names the parameters in test output and CTest names.
void PrintTo(target which, std::ostream* out);
void PrintTo(target which, std::ostream* out) { *out << target_name(which); }
void PrintTo(chip_part part, std::ostream* out);
void PrintTo(chip_part part, std::ostream* out) { *out << chip_part_name(part); }

namespace {

constexpr std::uint64_t trace_capacity = 1u << 20;

// The Linux program and the 64-bit exe under wine64 run every case. The shipped 32-bit exe
// runs under emulation here, slowly: it runs the cases that only it can show (its full runs,
// its D2XX calls, which are __stdcall only there, a lost port, the usage and a refused port).
std::vector<target> targets()
{
    return {target::linux_binary, target::wine64};
}

std::vector<target> with_wine32(std::vector<target> all)
{
    if (E2E_WITH_WINE32)
        all.push_back(target::wine32);
    return all;
}

struct example_images {
    std::vector<std::uint8_t> flash, eeprom;
};

example_images blink()
{
    std::string dir = examples_dir() + "/blink/";
    return {read_file(dir + "blink.flash.bin"), read_file(dir + "blink.eeprom.bin")};
}

// The images as DIR/flash.bin and DIR/eeprom.bin.
void write_images(const std::string& dir, const example_images& images)
{
    write_file(dir + "/flash.bin", images.flash);
    write_file(dir + "/eeprom.bin", images.eeprom);
}

bool ends_with(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// A missing or unusable wine fails the Windows cases loudly; it never skips them.
std::string wine_ready(target which)
{
    if (!is_wine(which))
        return "";
    std::string error = prepare_wine(which);
    if (error.find("Exec format error") != std::string::npos)
        error += " (this kernel runs no 32-bit programs, its ia32 emulation is off, and no qemu-i386 was found"
                 " to run them instead: install qemu-user-static)";
    return error;
}

// The text the program's stdout holds: Windows' C runtime writes text-mode line ends.
std::string as_written(target which, const std::string& text)
{
    return is_wine(which) ? windows_text(text) : text;
}

std::string explain(const port_result& result, const program_result& program)
{
    std::string text = "stdout:\n" + program.out.substr(0, 2000) + "\nstderr:\n" + program.err.substr(0, 2000);
    if (!result.failure.empty())
        text = "harness: " + result.failure + "\n" + text;
    return text;
}

// One scratch directory per case, kept when the case fails; wine made ready first.
template <typename Param>
class OnTarget : public ::testing::TestWithParam<Param> {
protected:
    std::string dir;

    virtual target which() const = 0;

    void SetUp() override
    {
        e2e_case_name = ::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name() + std::string(".")
                      + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        dir = make_scratch_dir(target_name(which()));
        ASSERT_FALSE(dir.empty());
        ASSERT_EQ(wine_ready(which()), "") << "wine is needed for the Windows program";
    }

    void TearDown() override
    {
        if (!this->HasFailure())
            remove_tree(dir);
        else
            std::printf("files kept in %s\n", dir.c_str());
    }
};

class Port : public OnTarget<target> {
protected:
    target which() const override { return GetParam(); }

    port_run prepared(std::vector<std::string> operands, chip_part part = part_attiny2313)
    {
        port_run run;
        run.which = GetParam();
        run.part = part;
        run.operands = std::move(operands);
        run.dir = dir;
        return run;
    }
};

// Outputs run to thousands of progress counts: a mismatch shows where, not all of both.
::testing::AssertionResult same_text(const std::string& actual, const std::string& expected)
{
    if (actual == expected)
        return ::testing::AssertionSuccess();
    std::size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at])
        ++at;
    std::size_t from = at < 40 ? 0 : at - 40;
    return ::testing::AssertionFailure()
           << "output differs at byte " << at << " of " << actual.size() << " (expected " << expected.size()
           << ")\n  actual:   " << ::testing::PrintToString(actual.substr(from, 120))
           << "\n  expected: " << ::testing::PrintToString(expected.substr(from, 120));
}

// Reset released, break off and every descriptor of the port closed, whatever the ending.
void expect_port_left_idle(const port_result& result)
{
    EXPECT_FALSE(result.chip.reset_held);
    EXPECT_EQ(result.modem_lines & TIOCM_RTS, 0);
    EXPECT_FALSE(result.chip.sck_high);
    EXPECT_EQ(result.open_count, 0);
    EXPECT_GT(result.calls.closes, 0);
}

void expect_on_chip(const shared_chip& on_chip, chip_part part, const example_images& images)
{
    int flash_mismatches = 0, first_bad = -1;
    for (int word = 0; word < chip_flash_words; ++word) {
        std::size_t at = 2 * static_cast<std::size_t>(word);
        std::uint16_t want = at + 1 < images.flash.size()
                                 ? static_cast<std::uint16_t>(images.flash[at] | images.flash[at + 1] << 8)
                                 : 0xFFFF;
        if (on_chip.flash[word] != want && flash_mismatches++ == 0)
            first_bad = word;
    }
    EXPECT_EQ(flash_mismatches, 0) << "first differing flash word " << first_bad;
    std::vector<std::uint8_t> eeprom(on_chip.eeprom, on_chip.eeprom + chip_eeprom_bytes);
    std::vector<std::uint8_t> want(chip_eeprom_bytes, 0xFF);
    want[0] = static_cast<std::uint8_t>(images.eeprom.size());
    std::copy(images.eeprom.begin(), images.eeprom.end(), want.begin() + 1);
    EXPECT_EQ(eeprom, want);
    if (part == part_attiny2313) {
        EXPECT_EQ(on_chip.fuse_low, 0xEF);
        EXPECT_EQ(on_chip.fuse_high, 0xDF);
    } else {
        EXPECT_EQ(on_chip.fuse_low, 0x64) << "the AT90S2313's fuses are not written";
    }
    EXPECT_EQ(on_chip.lock_bits & 0x03, 0) << "both lock bits programmed";
}

// The chip refuses what arrives while a write is under way and loses clock pulses too short
// for its clock, so a wait or a phase that ran short in real time shows here.
void expect_wire_timing(const port_result& result)
{
    shared_chip_load(result.chip);
    expect_chip_timing_kept();
    EXPECT_FALSE(result.trace_overflow);
    std::vector<sim_event> events;
    for (const port_event& event : result.trace)
        events.push_back({event.t_ns, static_cast<sim_line>(event.line), event.value != 0});
    wire_timing timing = wire_timing_of(events);
    // 3 µs of 100 ns counter ticks; the clocks behind the counter may differ by a few 100 ppm.
    EXPECT_GE(timing.shortest_phase_ns, 2990u) << "a clock phase shorter than the half period";
    EXPECT_EQ(timing.short_setups, 0) << "MOSI changed less than 1 us before the rise";
    EXPECT_EQ(timing.short_holds, 0) << "MOSI changed less than 2 us after the rise";
}

} // namespace

// The cases that the 32-bit exe runs too.
class PortWithWine32 : public Port {};

TEST_P(PortWithWine32, UsageErrorsPrintTheUsageAndOpenNothing)
{
    std::vector<std::vector<std::string>> cases = {{}, {"1"}, {"3", "flash.bin"}, {"12", "flash.bin"}};
    if (GetParam() == target::wine32)
        cases.resize(1);   // the usage as the 32-bit exe prints it; the operands' checks are its 64-bit twin's
    for (const std::vector<std::string>& operands : cases) {
        port_result result = run_on_port(prepared(operands));
        std::string shown = operands.empty() ? "(none)" : operands[0];
        EXPECT_EQ(result.failure, "");
        EXPECT_EQ(result.first.status, 33) << shown << "\n" << explain(result, result.first);
        EXPECT_TRUE(same_text(result.first.out, as_written(GetParam(), "1[2] FLASH [EEPROM]\n"))) << shown;
        EXPECT_EQ(result.calls.opens, 0) << shown;
    }
}

// An adapter named in the environment, as a user names a USB adapter: a COM number above 9
// on Windows, a link to the device (as under /dev/serial/by-id) on Linux.
TEST_P(Port, ADeviceNamedInTheEnvironmentIsTheOneOpened)
{
    write_file(dir + "/flash.bin", {0x12, 0x34});
    ASSERT_EQ(symlink(E2E_PORT1, (dir + "/adapter").c_str()), 0);
    port_run run = prepared({"1", "flash.bin"});
    run.environment = {std::string("ISP2313_PORT1=") + (GetParam() == target::linux_binary ? dir + "/adapter" : "COM12")};
    port_result result = run_on_port(run);
    EXPECT_EQ(result.failure, "");
    EXPECT_EQ(result.first.status, 0) << explain(result, result.first);
    EXPECT_TRUE(same_text(result.first.out, as_written(GetParam(), expected_full_run(part_attiny2313, 2, 0, false))));
    EXPECT_EQ(result.first.err.find("isp2313:"), std::string::npos) << "no help was needed";
    EXPECT_EQ(result.chip.flash[0], 0x3412);
    expect_port_left_idle(result);
}

// Two wine processes may both open one COM port: wine does not refuse the second open of a
// serial device, whatever the share mode, so this holds for the Linux program only.
TEST(LinuxPort, ASecondRunWhileTheFirstHoldsThePortIsNotFound)
{
    target which = target::linux_binary;
    std::string dir = make_scratch_dir("linux-held");
    example_images images = blink();
    write_images(dir, images);
    port_run run;
    run.which = which;
    run.part = part_at90s2313;
    run.operands = {"1", "flash.bin", "eeprom.bin"};
    run.dir = dir;
    run.second_while_held = true;
    port_result result = run_on_port(run);
    EXPECT_EQ(result.failure, "");
    EXPECT_EQ(result.second.status, 33) << explain(result, result.second);
    EXPECT_TRUE(same_text(result.second.out, ">>> COM1 Not Found\n"));
    EXPECT_NE(result.second.err.find("flock: Resource temporarily unavailable\nAnother program has it open"),
              std::string::npos) << result.second.err;
    EXPECT_EQ(result.first.status, 0) << explain(result, result.first);
    EXPECT_TRUE(same_text(result.first.out,
                          expected_full_run(part_at90s2313, images.flash.size(), images.eeprom.size(), true)));
    expect_on_chip(result.chip, part_at90s2313, images);
    expect_port_left_idle(result);
    if (!HasFailure())
        remove_tree(dir);
}

TEST_P(Port, NoChipIsNotSynchronization)
{
    write_file(dir + "/flash.bin", {0x00, 0x00});
    port_run run = prepared({"1", "flash.bin"});
    run.chip_present = false;
    port_result result = run_on_port(run);
    EXPECT_EQ(result.failure, "");
    EXPECT_EQ(result.first.status, 33) << explain(result, result.first);
    EXPECT_TRUE(same_text(result.first.out, as_written(GetParam(), ">>> Not synchronization\n")));
    EXPECT_NE(result.first.err.find("isp2313-probe 1 tells what works"), std::string::npos) << result.first.err;
    EXPECT_GE(result.calls.tiocsbrk, 32 * 32) << "every entry attempt clocks the bus";
    expect_port_left_idle(result);
}

// The adapter pulled out mid-run: every line request fails from then on (EIO). The run ends
// at once with the one message, tries only to release the lines, and exits.
TEST_P(PortWithWine32, APortLostMidRunEndsTheRunAtOnce)
{
    example_images images = blink();
    write_images(dir, images);
    port_run run = prepared({"1", "flash.bin", "eeprom.bin"});
    run.fail_from = 20000;
    port_result result = run_on_port(run);
    EXPECT_EQ(result.failure, "");
    EXPECT_EQ(result.first.status, 33) << explain(result, result.first);
    EXPECT_TRUE(ends_with(result.first.out, as_written(GetParam(), "\n>>> COM1 Lost\n"))) << explain(result, result.first);
    // the call and the system's reason: "ioctl TIOCSBRK: Input/output error" on Linux,
    // "SetCommBreak: Not ready." under wine
    EXPECT_NE(result.first.err.find("the port stopped answering: "), std::string::npos) << result.first.err;
    // the failed request, then the close's break off and RTS clear (wine reads the lines
    // before it sets one); nothing was clocked after the loss
    EXPECT_LE(result.calls.failed_line_requests, GetParam() == target::linux_binary ? 3 : 5);
    EXPECT_GE(result.calls.failed_line_requests, 1);
    EXPECT_LT(result.first.end_ns - static_cast<std::uint64_t>(result.calls.first_failure_ns), 1000000000u)
        << "from the loss to the exit";
    EXPECT_EQ(result.open_count, 0);
}

// Ctrl-C, a terminal closed or a kill: the bits stop, the port is closed the normal way
// (reset released) and the run says so. wine turns SIGINT into the console's Ctrl-C event
// for the exe; under qemu's emulation of wine's 32-bit side the signal ends the emulator
// itself, so that case says nothing about the program and is not run there.
TEST_P(Port, SignalsMidRunCloseThePortAndSayInterrupted)
{
    std::vector<int> signals = {SIGINT};
    if (GetParam() == target::linux_binary)
        signals = {SIGINT, SIGTERM, SIGHUP};
    example_images images = blink();
    write_images(dir, images);
    for (int signal_number : signals) {
        port_run run = prepared({"1", "flash.bin", "eeprom.bin"});
        run.interrupt_signal = signal_number;
        run.interrupt_after_executed = 40;
        port_result result = run_on_port(run);
        EXPECT_EQ(result.failure, "");
        EXPECT_EQ(result.first.status, 33) << signal_number << explain(result, result.first);
        std::string message = as_written(GetParam(), "\n>>> Interrupted\n");
        ASSERT_GE(result.first.out.size(), message.size());
        EXPECT_EQ(result.first.out.substr(result.first.out.size() - message.size()), message);
        expect_port_left_idle(result);
        EXPECT_EQ(result.chip.ignored_busy, 0);
        EXPECT_LT(result.last_close_ns - result.interrupt_ns, 50000000u) << "from the signal to the close";
    }
}

// isp2313-sim as each package ships it programs the example's HEX pair exactly as the Linux
// isp2313-sim programs the raw images: the same output, the same chip in --dump and in the
// state file, which a second run loads and replaces (and which runs on the crystal that the
// first run's fuse selected).
TEST_P(Port, TheSimToolProgramsTheHexExampleAsTheLinuxOneTheRawImages)
{
    std::string blink = examples_dir() + "/blink/";
    for (const char* name : {"blink.hex", "blink.eep", "blink.flash.bin", "blink.eeprom.bin"})
        write_file(dir + "/" + name, read_file(blink + name));
    port_run reference = prepared({"--dump", "--state", "raw.state", "1", "blink.flash.bin", "blink.eeprom.bin"});
    reference.which = target::linux_binary;
    reference.program = "isp2313-sim";
    port_run run = prepared({"--dump", "--state", "hex.state", "1", "blink.hex", "blink.eep"});
    run.program = "isp2313-sim";
    port_result raw;
    for (int pass = 1; pass <= 2; ++pass) {
        raw = run_on_port(reference);
        ASSERT_EQ(raw.first.status, 0) << explain(raw, raw.first);
        ASSERT_NE(raw.first.err.find("\nlock-bits fc\n"), std::string::npos) << raw.first.err;
        port_result hex = run_on_port(run);
        EXPECT_EQ(hex.failure, "");
        EXPECT_EQ(hex.first.status, 0) << "run " << pass << "\n" << explain(hex, hex.first);
        EXPECT_TRUE(same_text(hex.first.out, as_written(GetParam(), raw.first.out))) << "run " << pass;
        // Under emulation wine's own processes may write to standard error around the dump.
        EXPECT_NE(hex.first.err.find(as_written(GetParam(), raw.first.err)), std::string::npos)
            << "run " << pass << "\n" << hex.first.err;
        EXPECT_EQ(read_file(dir + "/hex.state"), read_file(dir + "/raw.state")) << "run " << pass;
    }
    EXPECT_TRUE(same_text(raw.first.out, expected_full_run(part_attiny2313, 174, 2, true)));
}

// The probe's measured costs and predicted times differ from run to run: their numbers are
// masked, everything else is exact.
static std::string numbers_masked(const std::string& text)
{
    std::string masked;
    for (std::size_t i = 0; i < text.size(); ++i) {
        bool measured_line = text.compare(i, 10, "line calls") == 0 || text.compare(i, 10, "a full run") == 0;
        std::size_t end = measured_line ? text.find('\n', i) : i;
        if (end == std::string::npos)
            end = text.size();
        for (; i < end; ++i)
            if (std::isdigit(static_cast<unsigned char>(text[i]))) {
                while (i + 1 < end && (std::isdigit(static_cast<unsigned char>(text[i + 1])) || text[i + 1] == '.'))
                    ++i;
                masked += '#';
            } else {
                masked += text[i];
            }
        if (i < text.size())
            masked += text[i];
    }
    return masked;
}

// isp2313-probe as shipped, with and without a chip: exact findings (the measured figures
// aside), the chip left exactly as it was found, released from reset.
TEST_P(Port, TheProbeTellsWhatWorksAndLeavesTheChipAsItWas)
{
    std::string device = GetParam() == target::linux_binary ? E2E_PORT1 : "COM1";
    std::string head = "port 1: " + device + " opened as isp2313 opens it (exclusive, 115200 8N1, no flow control)\n"
        "line calls (median of # each): break on # ms, break off # ms, DTR set # ms, DTR clear # ms, DSR read # ms\n"
        "a full run (#-byte flash, #-byte EEPROM) over this port takes about # s on an ATtiny#, # s on an AT#S#\n";
    struct { bool chip_present; int status; std::string findings; } cases[] = {
        {true, 0, "chip: in step at bit offset 0 (Programming Enable echoed 53 at attempt 1 of 32)\n"
                  "chip: signature 1E 91 0A: ATTINY2313\n"
                  "fuse low 0x64: the internal 8 MHz oscillator, divided by 8 (1 MHz); clock output off\n"
                  "fuse high 0xDF: serial programming enabled, reset pin enabled, brown-out detection off, EEPROM"
                  " erased by a chip erase, watchdog as the program sets it, debugWIRE off\n"
                  "fuse extended 0xFF: self-programming off\n"
                  "lock bits 0xFF: not locked\n"
                  "a run writes fuse low 0xEF (a crystal of 8 MHz or more, not divided; clock output off): after it"
                  " the chip runs, and can be programmed again, only with a crystal of 8 MHz or more fitted\n"
                  "a run writes fuse high 0xDF, which the chip has already\n"
                  "a run ends by locking the chip against programming and reading (mode 3)\n"},
        {false, 33, "chip: MISO stays at 1 (all 32 answers FF): no chip, no power, MISO not wired, a chip without"
                    " a clock, or an adapter that shows DSR late (--loopback tells)\n"
                    "chip: no answer with half periods of 300 us either\n"},
    };
    for (const auto& c : cases) {
        port_run run = prepared({"1"});
        run.program = "isp2313-probe";
        run.chip_present = c.chip_present;
        run.timeout_s = 180;      // emulated wine's start-up alone can take most of a minute
        port_result result = run_on_port(run);
        EXPECT_EQ(result.failure, "");
        EXPECT_EQ(result.first.status, c.status) << explain(result, result.first);
        EXPECT_TRUE(same_text(numbers_masked(result.first.out), as_written(GetParam(), head + c.findings)));
        expect_port_left_idle(result);
        chip_new(part_attiny2313);
        shared_chip blank{};
        shared_chip_save(blank);
        EXPECT_EQ(std::memcmp(result.chip.flash, blank.flash, sizeof blank.flash), 0);
        EXPECT_EQ(std::memcmp(result.chip.eeprom, blank.eeprom, sizeof blank.eeprom), 0);
        EXPECT_EQ(result.chip.fuse_low, 0x64);
        EXPECT_EQ(result.chip.fuse_high, 0xDF);
        EXPECT_EQ(result.chip.fuse_extended, 0xFF);
        EXPECT_EQ(result.chip.lock_bits, 0xFF);
        EXPECT_EQ(result.chip.erases, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, Port, ::testing::ValuesIn(targets()),
                         [](const ::testing::TestParamInfo<target>& param_info) { return target_name(param_info.param); });
INSTANTIATE_TEST_SUITE_P(Targets, PortWithWine32, ::testing::ValuesIn(with_wine32(targets())),
                         [](const ::testing::TestParamInfo<target>& param_info) { return target_name(param_info.param); });

enum class refusal { missing, not_a_port, held, denied };

static const char* refusal_name(refusal why)
{
    switch (why) {
    case refusal::missing:    return "missing";
    case refusal::not_a_port: return "not_a_port";
    case refusal::held:       return "held";
    case refusal::denied:     return "denied";
    }
    return "?";
}

class PortRefused : public OnTarget<std::tuple<target, refusal>> {
protected:
    target which() const override { return std::get<0>(GetParam()); }
};

// Standard output stays the one line it always was; standard error says which device, the
// system's reason and the remedy. Windows reports a held port and a forbidden one alike.
// (Under emulation standard error also holds the loader's and qemu's own complaints.)
TEST_P(PortRefused, IsNotFoundAndExplainedOnStandardError)
{
    refusal why = std::get<1>(GetParam());
    bool on_linux = which() == target::linux_binary;
    write_file(dir + "/flash.bin", {0x00, 0x00});
    port_run run;
    run.which = which();
    run.operands = {why == refusal::missing ? "2" : "1", "flash.bin"};
    run.dir = dir;
    std::string device = on_linux ? E2E_PORT1 : "COM1", reason, remedy;
    switch (why) {
    case refusal::missing:
        device = on_linux ? dir + "/no-adapter" : "COM77";
        run.environment = {"ISP2313_PORT2=" + device};
        reason = on_linux ? "open: No such file or directory" : "CreateFile: ";
        remedy = as_written(which(), "There is no such device. The serial devices on this system:\n");
        break;
    case refusal::not_a_port:
        device = on_linux ? dir + "/flash.bin" : "NUL";
        run.environment = {"ISP2313_PORT1=" + device};
        reason = on_linux ? "isatty: not a terminal, so not a serial port" : "GetCommState: ";
        remedy = as_written(which(), "\nThe serial devices on this system:\n");
        break;
    case refusal::held:
        run.held_by_other = true;
        run.ordinary_user = true;
        reason = on_linux ? "open: Device or resource busy" : "CreateFile: ";
        remedy = "Another program has it open";
        break;
    case refusal::denied:
        run.port_for_dialout = true;
        run.ordinary_user = true;
        reason = on_linux ? "open: Permission denied" : "CreateFile: ";
        remedy = on_linux ? "Only members of group dialout may open it" : "Another program has it open";
        break;
    }
    port_result result = run_on_port(run);
    EXPECT_EQ(result.failure, "");
    EXPECT_EQ(result.first.status, 33) << explain(result, result.first);
    EXPECT_TRUE(same_text(result.first.out, as_written(which(), ">>> COM" + run.operands[0] + " Not Found\n")));
    std::string first_line = "isp2313: port " + run.operands[0] + " is " + device + ": " + reason;
    EXPECT_NE(result.first.err.find(first_line), std::string::npos) << first_line << "\n" << result.first.err;
    EXPECT_NE(result.first.err.find(remedy), std::string::npos) << remedy << "\n" << result.first.err;
    if (on_linux && (why == refusal::missing || why == refusal::not_a_port)) {
        EXPECT_NE(result.first.err.find("\n    " E2E_PORT1 "\n"), std::string::npos) << "the pty is port 1's device";
    }
    EXPECT_EQ(result.calls.tiocsbrk + result.calls.tiocmget + result.calls.tiocmbis + result.calls.tiocmset, 0);
    EXPECT_EQ(result.chip.programming_enables, 0);
}

// Every refusal on every target; the 32-bit exe one refused port.
static std::vector<std::tuple<target, refusal>> refused_ports()
{
    std::vector<std::tuple<target, refusal>> all;
    for (target which : targets())
        for (refusal why : {refusal::missing, refusal::not_a_port, refusal::held, refusal::denied})
            all.emplace_back(which, why);
    if (E2E_WITH_WINE32)
        all.emplace_back(target::wine32, refusal::held);
    return all;
}

INSTANTIATE_TEST_SUITE_P(Targets, PortRefused, ::testing::ValuesIn(refused_ports()),
                         [](const ::testing::TestParamInfo<std::tuple<target, refusal>>& param_info) {
                             return std::string(target_name(std::get<0>(param_info.param))) + "_"
                                  + refusal_name(std::get<1>(param_info.param));
                         });

class FullRunOn : public OnTarget<std::tuple<target, chip_part>> {
protected:
    target which() const override { return std::get<0>(GetParam()); }
};

TEST_P(FullRunOn, WritesTheExampleImagesAndLocksTheChip)
{
    chip_part part = std::get<1>(GetParam());
    example_images images = blink();
    ASSERT_FALSE(images.flash.empty()) << "examples/blink images missing";
    write_images(dir, images);
    port_run run;
    run.which = which();
    run.part = part;
    run.operands = {"1", "flash.bin", "eeprom.bin"};
    run.dir = dir;
    run.trace_capacity = trace_capacity;
    port_result result = run_on_port(run);

    EXPECT_EQ(result.failure, "");
    EXPECT_EQ(result.first.status, 0) << explain(result, result.first);
    EXPECT_TRUE(same_text(result.first.out,
                          as_written(which(), expected_full_run(part, images.flash.size(), images.eeprom.size(), true))));
    expect_on_chip(result.chip, part, images);
    expect_port_left_idle(result);
    expect_wire_timing(result);
    ASSERT_FALSE(result.trace.empty());
    EXPECT_EQ(result.trace.back().line, 'C') << "the port is closed last";

    // The Linux program makes exactly the line calls the simulated platform sees, and over the
    // FT232R stand-in the same line changes as over the simulated platform's FT232R.
    if (which() == target::linux_binary || which() == target::linux_ftdi) {
        fresh_bench(part);
        if (which() == target::linux_ftdi)
            sim.bitbang_use[1] = os_bitbang_required;
        run_result simulated = run_program({"1", dir + "/flash.bin", dir + "/eeprom.bin"});
        EXPECT_TRUE(same_text(result.first.out, simulated.out));
        std::string real_lines, sim_lines;
        for (const port_event& event : result.trace)
            real_lines += std::string(1, event.line) + char('0' + event.value);
        for (const sim_event& event : sim.trace)
            sim_lines += std::string(1, static_cast<char>(event.line)) + char('0' + (event.value ? 1 : 0));
        EXPECT_TRUE(same_text(real_lines, sim_lines)) << "line events as letter and value, two bytes each";
        // and every modem-line call it makes is a real change of DTR or RTS
        if (which() == target::linux_ftdi)
            return;
        long changes = 0, dtr = -1, rts = -1;
        for (const port_event& event : result.trace) {
            long& level = event.line == 'D' ? dtr : rts;
            if (event.line == 'D' || event.line == 'R') {
                changes += level != event.value;
                level = event.value;
            }
        }
        EXPECT_EQ(result.calls.tiocmbis + result.calls.tiocmbic + result.calls.tiocmset, changes);
    }
}

// Every target, the 32-bit exe, and the Linux program over the FT232R stand-in under libftdi1.
static std::vector<target> full_run_targets()
{
    std::vector<target> all = with_wine32(targets());
    if (E2E_WITH_FTDI)
        all.push_back(target::linux_ftdi);
    return all;
}

INSTANTIATE_TEST_SUITE_P(Targets, FullRunOn,
                         ::testing::Combine(::testing::ValuesIn(full_run_targets()),
                                            ::testing::Values(part_attiny2313, part_at90s2313)),
                         [](const ::testing::TestParamInfo<std::tuple<target, chip_part>>& param_info) {
                             return std::string(target_name(std::get<0>(param_info.param))) + "_"
                                  + (std::get<1>(param_info.param) == part_attiny2313 ? "attiny2313" : "at90s2313");
                         });

// An adapter that shows DSR 2 ms late (for the AT90S2313 also from a status polled every 2 ms,
// up to 4 ms late): no entry without ISP2313_DSR_WAIT_US; with the value the probe names for
// such an adapter (over the simulated platform's loopback plug), today's run and the images.
class LateDsrOn : public OnTarget<std::tuple<target, chip_part>> {
protected:
    target which() const override { return std::get<0>(GetParam()); }
};

TEST_P(LateDsrOn, FailsInStepWithoutTheWaitAndRunsCleanWithTheProbesValue)
{
    chip_part part = std::get<1>(GetParam());
    std::uint64_t lag_ns = 2000000, polled_ns = part == part_at90s2313 ? 2000000 : 0;
    fresh_bench(part);
    chip.present = false;
    sim.loopback = loopback_dtr;
    sim.dsr_lag_ns = lag_ns;
    sim.dsr_cache_ns = polled_ns;
    std::string probed = run_program({"--loopback", "1"}, probe).out;
    std::size_t named = probed.find("ISP2313_DSR_WAIT_US=");
    ASSERT_NE(named, std::string::npos) << probed;
    std::string setting = probed.substr(named, probed.find(' ', named) - named);

    example_images images = blink();
    write_images(dir, images);
    port_run run;
    run.which = which();
    run.part = part;
    run.operands = {"1", "flash.bin", "eeprom.bin"};
    run.dir = dir;
    run.dsr_lag_ns = lag_ns;
    run.dsr_polled_ns = polled_ns;
    port_result late = run_on_port(run);
    EXPECT_EQ(late.failure, "");
    EXPECT_EQ(late.first.status, 33) << explain(late, late.first);
    EXPECT_TRUE(same_text(late.first.out, as_written(which(), ">>> Not synchronization\n")));

    run.environment = {setting};
    port_result waited = run_on_port(run);
    EXPECT_EQ(waited.failure, "");
    EXPECT_EQ(waited.first.status, 0) << setting << "\n" << explain(waited, waited.first);
    EXPECT_TRUE(same_text(waited.first.out, as_written(which(), expected_full_run(part, images.flash.size(),
                                                                                  images.eeprom.size(), true))));
    if (which() == target::linux_binary) {
        EXPECT_EQ(waited.first.err, "");
    }
    expect_on_chip(waited.chip, part, images);
    expect_port_left_idle(waited);
    std::printf("%s: %.1f s with %s\n", target_name(which()), waited.first.wall_s, setting.c_str());
}

INSTANTIATE_TEST_SUITE_P(Targets, LateDsrOn,
                         ::testing::Combine(::testing::ValuesIn(targets()),
                                            ::testing::Values(part_attiny2313, part_at90s2313)),
                         [](const ::testing::TestParamInfo<std::tuple<target, chip_part>>& param_info) {
                             return std::string(target_name(std::get<0>(param_info.param))) + "_"
                                  + (std::get<1>(param_info.param) == part_attiny2313 ? "attiny2313" : "at90s2313");
                         });

#if E2E_WITH_FTDI
// The Linux program over the FT232R stand-in, libftdi1's own code between them: the failures.
class LinuxFtdi : public OnTarget<int> {
protected:
    target which() const override { return target::linux_ftdi; }

    port_run prepared(std::vector<std::string> operands)
    {
        port_run run;
        run.which = target::linux_ftdi;
        run.operands = std::move(operands);
        run.dir = dir;
        return run;
    }
};

// A run stopped with transfers in flight. Unplugged, early or far into the run: libusb's
// transfers fail from then on, those in flight too; the run ends as a lost port does, sending
// nothing more. Ctrl-C: the states queued go out, the close releases the chip and the device,
// and the run says so.
TEST_F(LinuxFtdi, ARunStoppedMidStreamEndsAsAnyStoppedRunDoes)
{
    example_images images = {full_run_flash(), full_run_eeprom()};
    write_images(dir, images);
    struct { long long usb_fail_from; int signal; std::string out_end; } cases[] = {
        {300, 0, "\n>>> COM1 Lost\n"},
        {5000, 0, "\n>>> COM1 Lost\n"},
        {0, SIGINT, "\n>>> Interrupted\n"},
    };
    for (const auto& c : cases) {
        port_run run = prepared({"1", "flash.bin", "eeprom.bin"});
        run.usb_fail_from = c.usb_fail_from;
        run.interrupt_signal = c.signal;
        run.interrupt_after_executed = 2000;
        port_result result = run_on_port(run);
        std::string shown = c.signal != 0 ? "SIGINT" : "pulled at transfer " + std::to_string(c.usb_fail_from);
        EXPECT_EQ(result.failure, "");
        EXPECT_EQ(result.first.status, 33) << shown << explain(result, result.first);
        EXPECT_TRUE(ends_with(result.first.out, c.out_end)) << shown << explain(result, result.first);
        EXPECT_EQ(result.open_count, 0) << shown;
        if (c.signal != 0) {
            EXPECT_EQ(result.first.err, "") << shown;
            expect_port_left_idle(result);
            EXPECT_EQ(result.chip.ignored_busy, 0) << shown;
            EXPECT_EQ(result.usb.failed_transfers, 0) << shown;
            continue;
        }
        // libftdi's words: "ftdi_write_data_submit: usb bulk write failed" or the read's
        EXPECT_NE(result.first.err.find("the port stopped answering: ftdi_"), std::string::npos) << result.first.err;
        EXPECT_NE(result.first.err.find("usb bulk"), std::string::npos) << result.first.err;
        EXPECT_EQ(result.usb.failed_transfers, 1) << shown << ": nothing is sent after the failed transfer";
        EXPECT_LT(result.first.end_ns - static_cast<std::uint64_t>(result.usb.first_failure_ns), 1000000000u)
            << shown << ": from the loss to the exit";
    }
}

// An FTDI tty that will not go into bit-bang runs on its line calls and says why once, with
// what to do: a USB device this user may not open, a chip without synchronous bit-bang, an
// FT2232C/D's channel B, whose rate libftdi would set on channel A. The tty is found through
// sysfs as a real system lays it out, and where nothing stands in the way runs in bit-bang.
// ISP2313_BITBANG=0 asks for the line calls: not a word then.
TEST_F(LinuxFtdi, ATtyOfAnFtdiAdapterRunsInBitBangWhereItCan)
{
    write_file(dir + "/flash.bin", {0x12, 0x34});
    struct { bool refused; const char* chip; int channel; const char* setting; std::string why, remedy; } cases[] = {
        {false, "", 0, "", "", ""},
        {false, "FT232H", 0, "", "", ""},
        {true, "", 0, "", "(ftdi_usb_open_dev: libusb_open() failed (LIBUSB_ERROR_ACCESS))", "60-isp2313-ftdi.rules"},
        {false, "FT232BM", 0, "", "(ftdi_set_bitmode: the FT232BM has no synchronous bit-bang)", ""},
        {false, "FT2232D", 1, "", "(ftdi_set_bitmode: libftdi sets the FT2232C/D's bit-bang rate on channel A only,"
                                  " not on channel B)", ""},
        {false, "", 0, "ISP2313_BITBANG=0", "", ""},
    };
    for (const auto& c : cases) {
        port_run run = prepared({"1", "flash.bin"});
        run.usb_refused = c.refused;
        run.usb_chip = c.chip;
        run.usb_tty_channel = c.channel;
        run.environment = {"ISP2313_PORT1=" + dir + "/ttyUSB0"};
        if (c.setting[0] != '\0')
            run.environment.push_back(c.setting);
        port_result result = run_on_port(run);
        std::string shown = std::string(c.chip) + " channel " + char('A' + c.channel) + " " + c.setting
                            + (c.refused ? " refused" : "");
        bool bitbang = c.why.empty() && c.setting[0] == '\0';
        EXPECT_EQ(result.failure, "");
        EXPECT_EQ(result.first.status, 0) << shown << explain(result, result.first);
        EXPECT_TRUE(same_text(result.first.out, expected_full_run(part_attiny2313, 2, 0, false))) << shown;
        std::string why = "is an FTDI adapter that would not go into bit-bang mode " + c.why;
        std::size_t at = result.first.err.find(why);
        if (bitbang) {
            EXPECT_EQ(result.first.err, "") << shown;
        } else if (!c.why.empty()) {
            EXPECT_NE(at, std::string::npos) << why << "\n" << result.first.err;
            EXPECT_EQ(result.first.err.find(why, at + 1), std::string::npos) << "said once";
            EXPECT_NE(result.first.err.find(c.remedy), std::string::npos) << result.first.err;
        }
        EXPECT_EQ(result.usb.refused_opens != 0, c.refused) << shown;
        EXPECT_EQ(result.usb.bulk_transfers > 0, bitbang) << shown;
        EXPECT_EQ(result.calls.tiocsbrk == 0, bitbang) << shown << ": clocked by line calls or not";
        EXPECT_EQ(result.chip.flash[0], 0x3412) << shown;
        expect_port_left_idle(result);
    }
}

// A tty that another program holds is not taken from it (libusb's claim would unbind the driver
// under that program), whether it is named as the tty or through ftdi: Not Found, and standard
// error names the holder; nor is an adapter whose interface another libusb program has claimed.
TEST_F(LinuxFtdi, AnAdapterInUseIsNotTaken)
{
    write_file(dir + "/flash.bin", {0x12, 0x34});
    std::string held = "/proc: /dev/ttyUSB0 is open in another program: sleep (pid ";
    struct { std::string name; bool held, busy; std::string why; } cases[] = {
        {dir + "/ttyUSB0", true, false, held},
        {"ftdi", true, false, held},
        {"ftdi:E2E2313A", true, false, held},
        {dir + "/ttyUSB0", false, true, "ftdi_usb_open_dev: another program has claimed the adapter's USB interface"},
    };
    for (const auto& c : cases) {
        port_run run = prepared({"1", "flash.bin"});
        run.environment = {"ISP2313_PORT1=" + c.name};
        run.tty_held = c.held;
        run.usb_busy = c.busy;
        port_result result = run_on_port(run);
        EXPECT_EQ(result.failure, "");
        EXPECT_EQ(result.first.status, 33) << c.name << explain(result, result.first);
        EXPECT_TRUE(same_text(result.first.out, ">>> COM1 Not Found\n")) << c.name;
        std::string why = "isp2313: port 1 is " + c.name + ": " + c.why;
        EXPECT_NE(result.first.err.find(why), std::string::npos) << why << "\n" << result.first.err;
        EXPECT_EQ(result.calls.opens, 0) << c.name << ": neither the interface claimed nor the tty opened";
        EXPECT_EQ(result.usb.bulk_transfers, 0) << c.name;
        EXPECT_EQ(result.holder_kept_tty, c.held) << c.name;
        EXPECT_EQ(result.chip.programming_enables, 0) << c.name;
    }
}

// isp2313-probe over the stand-in: the device in the list's words, the chip checks in bit-bang.
TEST_F(LinuxFtdi, TheProbeNamesTheDeviceAndChecksTheChipInBitBang)
{
    port_run run = prepared({"1"});
    run.program = "isp2313-probe";
    port_result result = run_on_port(run);
    EXPECT_EQ(result.failure, "");
    EXPECT_EQ(result.first.status, 0) << explain(result, result.first);
    EXPECT_EQ(result.first.out.rfind("port 1: ftdi opened in FTDI synchronous bit-bang: FT232R serial E2E2313A,"
                                     " bus 3 address 9, /dev/ttyUSB0\n", 0), 0u) << result.first.out;
    EXPECT_NE(result.first.out.find("\nchip: signature 1E 91 0A: ATTINY2313\n"), std::string::npos) << result.first.out;
    EXPECT_GT(result.usb.bulk_transfers, 0);
    EXPECT_EQ(result.calls.tiocsbrk, 0) << "no line calls";
    EXPECT_EQ(result.chip.erases, 0);
    expect_port_left_idle(result);
}

// A serial number that no FTDI device has, one that two devices share, plain ftdi with two
// attached, a channel the chip does not have or one it cannot drive in bit-bang: not found,
// and the devices there are listed, with their ttys.
TEST_F(LinuxFtdi, AnFtdiNameThatFitsNoOneDeviceIsNotFoundAndTheDevicesAreListed)
{
    write_file(dir + "/flash.bin", {0x12, 0x34});
    std::string first = "    FT232R serial E2E2313A, bus 3 address 9, /dev/ttyUSB0\n";
    std::string ft2232d = "    FT2232C/D serial E2E2313A, bus 3 address 9, /dev/ttyUSB0\n";
    struct { const char* name; const char* chip; const char* second; std::string why, devices; } cases[] = {
        {"ftdi:NOSUCH", "", "", "ftdi_usb_find_all: no FTDI device has serial number NOSUCH", first},
        {"ftdi", "", "FAKEUSB_SECOND=1", "ftdi_usb_find_all: 2 FTDI devices are attached; name one as ftdi:SERIAL",
         first + "    FT232R serial E2E2313B, bus 3 address 10\n"},
        {"ftdi:E2E2313A", "", "FAKEUSB_SAME_SERIAL=1", "ftdi_usb_find_all: 2 FTDI devices have serial number E2E2313A:"
         " name one alone by its tty, as ISP2313_PORT1=/dev/ttyUSB0", first + "    FT232R serial E2E2313A, bus 3 address 10\n"},
        {"ftdi:E2E2313A:C", "", "", "ftdi_set_interface: the FT232R has no channel C", first},
        {"ftdi:E2E2313A:D", "FT2232D", "", "ftdi_set_interface: the FT2232C/D has no channel D", ft2232d},
        {"ftdi:E2E2313A:B", "FT2232D", "", "ftdi_set_bitmode: libftdi sets the FT2232C/D's bit-bang rate on channel A"
         " only, not on channel B", ft2232d},
    };
    for (const auto& c : cases) {
        port_run run = prepared({"1", "flash.bin"});
        run.environment = {std::string("ISP2313_PORT1=") + c.name};
        if (c.second[0] != '\0')
            run.environment.push_back(c.second);
        run.usb_chip = c.chip;
        port_result result = run_on_port(run);
        EXPECT_EQ(result.failure, "");
        EXPECT_EQ(result.first.status, 33) << explain(result, result.first);
        EXPECT_TRUE(same_text(result.first.out, ">>> COM1 Not Found\n"));
        std::string err = std::string("isp2313: port 1 is ") + c.name + ": " + c.why + "\n";
        EXPECT_NE(result.first.err.find(err), std::string::npos) << err << "\n" << result.first.err;
        std::string listed = "The FTDI devices on this system:\n" + c.devices;
        EXPECT_NE(result.first.err.find(listed), std::string::npos) << listed << "\n" << result.first.err;
        EXPECT_EQ(result.calls.opens, 0);
        EXPECT_EQ(result.chip.programming_enables, 0);
    }
}

// Samples that do not follow the pins are not trusted: one stray byte or one lost sample ends a
// run as a lost port (a sample lost mid-stream shows as those after it one off); a chip that
// does not echo its pins is refused at the open (ftdi: Not Found; its tty runs on line calls).
TEST_F(LinuxFtdi, SamplesThatDoNotFollowThePinsAreNotTrusted)
{
    example_images images = blink();
    write_images(dir, images);
    std::string not_following = "the adapter's samples did not follow its pins";
    struct { const char* fault; bool tty; int status; std::string out_end, why; } cases[] = {
        {"FAKEUSB_STRAY_AFTER=3000", false, 33, ">>> COM1 Lost\n", not_following},
        {"FAKEUSB_LOSE_AT=40000", false, 33, ">>> COM1 Lost\n", not_following},
        {"FAKEUSB_NO_ECHO=1", false, 33, ">>> COM1 Not Found\n", not_following},
        {"FAKEUSB_NO_ECHO=1", true, 0, "Write Lock Bits\n", not_following},
    };
    for (const auto& c : cases) {
        port_run run = prepared({"1", "flash.bin", "eeprom.bin"});
        run.environment = {c.fault};
        if (c.tty)
            run.environment.push_back("ISP2313_PORT1=" + dir + "/ttyUSB0");
        port_result result = run_on_port(run);
        std::string shown = std::string(c.fault) + (c.tty ? " tty" : " ftdi");
        EXPECT_EQ(result.failure, "");
        EXPECT_EQ(result.first.status, c.status) << shown << explain(result, result.first);
        EXPECT_TRUE(ends_with(result.first.out, c.out_end)) << shown << explain(result, result.first);
        EXPECT_NE(result.first.err.find(c.why), std::string::npos) << shown << "\n" << result.first.err;
        EXPECT_EQ(result.calls.tiocsbrk > 0, c.tty) << shown << ": line calls only for the tty";
        if (c.tty)
            expect_on_chip(result.chip, part_attiny2313, images);
        EXPECT_EQ(result.open_count, 0) << shown;
    }
}

// Full runs over adapters as real ones are: outputs driven low from the mode change until the
// first byte, DSR 4 us late through a cable, an FT232H. Each run is clean and enters
// programming mode at its first attempt: no clock pulse beyond the plain run's but the glitch's.
TEST_F(LinuxFtdi, AFullRunIsCleanOverAdaptersAsTheyAre)
{
    example_images images = {full_run_flash(), full_run_eeprom()};
    write_images(dir, images);
    // The glitch itself is a clock edge with DTR changing at once, before the chip is reset.
    struct { const char* chip; const char* switch_on; long extra_clock_edges; } cases[] = {
        {"", "", 0},
        {"", "FAKEUSB_ENTRY_GLITCH=1", 2},
        {"", "FAKEUSB_DSR_LAG_NS=4000", 0},
        {"FT232H", "", 0},
    };
    long plain_edges = -1;
    for (const auto& c : cases) {
        port_run run = prepared({"1", "flash.bin", "eeprom.bin"});
        run.usb_chip = c.chip;
        if (c.switch_on[0] != '\0')
            run.environment = {c.switch_on};
        run.trace_capacity = trace_capacity;
        port_result result = run_on_port(run);
        std::string shown = std::string(c.chip) + " " + c.switch_on;
        EXPECT_EQ(result.failure, "");
        EXPECT_EQ(result.first.status, 0) << shown << explain(result, result.first);
        EXPECT_TRUE(same_text(result.first.out, expected_full_run(part_attiny2313, images.flash.size(),
                                                                  images.eeprom.size(), true))) << shown;
        expect_on_chip(result.chip, part_attiny2313, images);
        if (c.extra_clock_edges == 0) {
            expect_wire_timing(result);
        } else {
            shared_chip_load(result.chip);
            expect_chip_timing_kept();
        }
        expect_port_left_idle(result);
        long edges = std::count_if(result.trace.begin(), result.trace.end(),
                                   [](const port_event& event) { return event.line == 'B'; });
        if (plain_edges < 0)
            plain_edges = edges;
        EXPECT_EQ(edges, plain_edges + c.extra_clock_edges) << shown;
        double device_s = static_cast<double>(result.last_close_ns - result.first_open_ns) / 1e9;
        std::printf("full run over the stand-in, %s: %.2f s wall (the device open for %.2f s), %lld bulk transfers\n",
                    shown.c_str(), result.first.wall_s, device_s, static_cast<long long>(result.usb.bulk_transfers));
    }
}
#endif

// ---- FTDI bit-bang on Windows: the exe beside the stand-in ftd2xx.dll ----------------------

namespace {

std::vector<target> wine_targets()
{
    std::vector<target> wine;
    for (target which : targets())
        if (is_wine(which))
            wine.push_back(which);
    return wine;
}

// Both parts on wine64; the 32-bit exe's D2XX calls in one full run.
std::vector<std::tuple<target, chip_part>> d2xx_full_runs()
{
    std::vector<std::tuple<target, chip_part>> all;
    for (target which : wine_targets())
        for (chip_part part : {part_attiny2313, part_at90s2313})
            all.emplace_back(which, part);
    if (E2E_WITH_WINE32)
        all.emplace_back(target::wine32, part_attiny2313);
    return all;
}

// The stand-in stamps its times with wine's performance counter, which is CLOCK_MONOTONIC_RAW.
std::uint64_t monotonic_from_raw(std::uint64_t raw_ns)
{
    timespec monotonic{}, raw{};
    clock_gettime(CLOCK_MONOTONIC, &monotonic);
    clock_gettime(CLOCK_MONOTONIC_RAW, &raw);
    auto ns = [](const timespec& t) { return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec; };
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(raw_ns) + ns(monotonic) - ns(raw));
}

// The exe in the case's directory, with or without the stand-in beside it.
template <typename Param>
class D2xxCase : public OnTarget<Param> {
protected:
    virtual chip_part part() const { return part_attiny2313; }

    port_run prepared(std::vector<std::string> operands, std::vector<std::string> environment, bool with_d2xx = true)
    {
        port_run run;
        run.which = this->which();
        run.part = part();
        run.operands = std::move(operands);
        run.dir = this->dir;
        run.exe_dir = exe_dir_for(this->dir, this->which(), with_d2xx);
        run.environment = std::move(environment);
        return run;
    }

    // A port named NAME that is not found, and standard error saying WHY.
    void expect_not_found(const port_result& result, const std::string& name, const std::string& why)
    {
        EXPECT_EQ(result.failure, "");
        EXPECT_EQ(result.first.status, 33) << name << explain(result, result.first);
        EXPECT_TRUE(same_text(result.first.out, as_written(this->which(), ">>> COM1 Not Found\n"))) << name;
        std::string words = "isp2313: port 1 is " + name + ": " + why;
        EXPECT_NE(result.first.err.find(words), std::string::npos) << words << "\n" << result.first.err;
    }
};

class D2xxFullRun : public D2xxCase<std::tuple<target, chip_part>> {
protected:
    target which() const override { return std::get<0>(GetParam()); }
    chip_part part() const override { return std::get<1>(GetParam()); }
};

class D2xx : public D2xxCase<target> {
protected:
    target which() const override { return GetParam(); }
};

// The lines the stand-in's device put on the port: none but its opens and closes.
int line_events(const port_result& result)
{
    return static_cast<int>(std::count_if(result.trace.begin(), result.trace.end(), [](const port_event& event) {
        return event.line == 'B' || event.line == 'D' || event.line == 'R';
    }));
}

} // namespace

// Over the stand-in's FT232R at 1 ms a USB round trip a run of whole-chip images prints what it
// prints over line calls, leaves the chip the images and keeps the chip's timing, and never
// touches the COM port.
TEST_P(D2xxFullRun, AFullRunOverBitBangIsTheLineCallRun)
{
    chip_part part = this->part();
    example_images images = {full_run_flash(), full_run_eeprom()};
    write_images(dir, images);
    port_run run = prepared({"1", "flash.bin", "eeprom.bin"}, {"ISP2313_PORT1=ftdi", "FAKE_D2XX_ROUND_TRIP_US=1000"});
    run.trace_capacity = trace_capacity;
    run.timeout_s = 180;      // emulated wine's start-up alone can take most of a minute
    port_result result = run_on_port(run);
    EXPECT_EQ(result.failure, "");
    EXPECT_EQ(result.first.status, 0) << explain(result, result.first);
    EXPECT_TRUE(same_text(result.first.out,
                          as_written(which(), expected_full_run(part, images.flash.size(), images.eeprom.size(), true))));
    expect_on_chip(result.chip, part, images);
    expect_wire_timing(result);
    EXPECT_FALSE(result.chip.reset_held);
    EXPECT_FALSE(result.chip.sck_high);
    EXPECT_EQ(result.open_count, 0);
    EXPECT_EQ(result.calls.line_requests, 0) << "no line call on the COM port";
    ASSERT_FALSE(result.trace.empty());
    EXPECT_EQ(result.trace.back().line, 'C') << "the device is closed last";
    // Wall time is reported, not tested: it is wine's start-up, and qemu's, as much as the run.
    double device_s = static_cast<double>(result.last_close_ns - result.first_open_ns) / 1e9;
    std::printf("full run over bit-bang, %s, %s: %.2f s wall (the device open for %.2f s), %.2f s CPU\n",
                target_name(which()), chip_part_name(part), result.first.wall_s, device_s, result.first.cpu_s);
    RecordProperty("wall_ms", static_cast<int>(result.first.wall_s * 1000));
    RecordProperty("device_open_ms", static_cast<int>(device_s * 1000));
}

// Pulled mid-run, at a write or in the middle of one with samples in flight: the call fails
// with D2XX's status, the run ends as a lost port does, within a second, and the device is
// closed all the same.
TEST_P(D2xx, APulledAdapterEndsTheRunAsLost)
{
    struct {
        const char* pull;
        const char* why;
    } cases[] = {
        {"FAKE_D2XX_PULLED_FROM=48", "FT_Write: FT_IO_ERROR"},
        {"FAKE_D2XX_PULLED_AFTER=80000", ": FT_IO_ERROR"},
    };
    example_images images = blink();
    write_file(dir + "/flash.bin", images.flash);
    for (const auto& c : cases) {
        port_run run = prepared({"1", "flash.bin"}, {"ISP2313_PORT1=ftdi", c.pull});
        port_result result = run_on_port(run);
        EXPECT_EQ(result.failure, "");
        EXPECT_EQ(result.first.status, 33) << c.pull << explain(result, result.first);
        EXPECT_TRUE(ends_with(result.first.out, as_written(which(), "\n>>> COM1 Lost\n")))
            << c.pull << explain(result, result.first);
        EXPECT_NE(result.first.err.find(c.why), std::string::npos) << c.pull << "\n" << result.first.err;
        ASSERT_EQ(result.calls.failed_line_requests, 1) << c.pull << ": the stand-in was pulled";
        std::uint64_t pulled_ns = monotonic_from_raw(static_cast<std::uint64_t>(result.calls.first_failure_ns));
        EXPECT_LT(result.first.end_ns - pulled_ns, 1000000000u) << c.pull << ": from the pull to the exit";
        EXPECT_EQ(result.open_count, 0) << c.pull;
    }
}

// Ctrl-C at the start or well into the run, with transfers in flight: the states sent go out
// and their samples come back, the close releases the chip, the device is closed.
TEST_P(D2xx, CtrlCClosesTheDeviceAndSaysInterrupted)
{
    example_images images = blink();
    write_file(dir + "/flash.bin", images.flash);
    for (long executed : {40L, 250L}) {
        port_run run = prepared({"1", "flash.bin"}, {"ISP2313_PORT1=ftdi"});
        run.interrupt_signal = SIGINT;
        run.interrupt_after_executed = executed;
        run.trace_capacity = trace_capacity;
        port_result result = run_on_port(run);
        std::string shown = "after " + std::to_string(executed) + " instructions";
        EXPECT_EQ(result.failure, "");
        EXPECT_EQ(result.first.status, 33) << shown << explain(result, result.first);
        EXPECT_TRUE(ends_with(result.first.out, as_written(which(), "\n>>> Interrupted\n")))
            << shown << explain(result, result.first);
        EXPECT_FALSE(result.chip.reset_held) << shown;
        EXPECT_FALSE(result.chip.sck_high) << shown;
        EXPECT_EQ(result.chip.ignored_busy, 0) << shown;
        EXPECT_EQ(result.open_count, 0) << shown;
        ASSERT_FALSE(result.trace.empty()) << shown;
        EXPECT_EQ(result.trace.back().line, 'C') << shown << ": the device is closed last";
    }
}

// An ftdi name that does not open is Not Found on standard output; standard error says why and
// lists the FTDI devices. Nothing reaches the chip.
TEST_P(D2xx, AnFtdiNameThatDoesNotOpenIsNotFound)
{
    struct {
        const char* name;
        bool held, with_d2xx;
        const char* reason;
    } cases[] = {
        {"ftdi:NOSUCH", false, true, "FT_GetDeviceInfoDetail: no FTDI device has serial number NOSUCH"},
        {"ftdi:FAKE2313", true, true, "FT_GetDeviceInfoDetail: the FT232R serial FAKE2313 is in use by another program"},
        {"ftdi", false, false, "LoadLibrary: ftd2xx.dll is missing"},
    };
    write_file(dir + "/flash.bin", {0x12, 0x34});
    for (const auto& c : cases) {
        port_run run = prepared({"1", "flash.bin"}, {std::string("ISP2313_PORT1=") + c.name}, c.with_d2xx);
        if (c.held)
            run.environment.push_back("FAKE_D2XX_HELD=1");
        port_result result = run_on_port(run);
        expect_not_found(result, c.name, c.reason);
        std::string listed = c.with_d2xx ? "    FT232R serial FAKE2313, location 0x112" : "    unknown: they are listed through";
        EXPECT_NE(result.first.err.find(as_written(which(), "The FTDI devices on this system:\n") + listed),
                  std::string::npos) << result.first.err;
        EXPECT_EQ(result.chip.programming_enables, 0) << c.name;
    }
}

// A COM name runs in bit-bang when a listed FTDI device reports it as its COM port, unless
// bit-bang is turned off, and then standard error says how long line calls take; without
// ftd2xx.dll it runs on line calls exactly as before.
TEST_P(D2xx, AComPortOfAnFtdiDeviceRunsInBitBang)
{
    struct {
        bool with_d2xx, bitbang_off, bitbang;
        std::string note;
    } cases[] = {{true, false, true, ""},
                 {true, true, false, "isp2313: port 1 (COM12) is an FTDI adapter, run on its serial port's line calls"
                                     " as ISP2313_BITBANG=0 asks: a full run takes about"},
                 {false, false, false, ""}};
    write_file(dir + "/flash.bin", {0x12, 0x34});
    for (const auto& c : cases) {
        port_run run = prepared({"1", "flash.bin"}, {"ISP2313_PORT1=COM12", "FAKE_D2XX_COM=12"}, c.with_d2xx);
        if (c.bitbang_off)
            run.environment.push_back("ISP2313_BITBANG=0");
        port_result result = run_on_port(run);
        std::string shown = std::string(c.with_d2xx ? "with" : "without") + " ftd2xx.dll"
                          + (c.bitbang_off ? ", ISP2313_BITBANG=0" : "");
        EXPECT_EQ(result.failure, "");
        EXPECT_EQ(result.first.status, 0) << shown << explain(result, result.first);
        EXPECT_TRUE(same_text(result.first.out, as_written(which(), expected_full_run(part_attiny2313, 2, 0, false))))
            << shown;
        EXPECT_EQ(result.first.err.find(c.note.empty() ? "isp2313:" : c.note) == std::string::npos, c.note.empty())
            << shown << "\n" << result.first.err;
        EXPECT_EQ(result.chip.flash[0], 0x3412) << shown;
        EXPECT_EQ(result.calls.line_requests == 0, c.bitbang) << shown;
        EXPECT_FALSE(result.chip.reset_held) << shown;
        EXPECT_EQ(result.open_count, 0) << shown;
    }
}

// A device that another program holds, or a name that more than one device fits, opens
// nothing: Not Found, and standard error says why. Neither is taken for line calls.
TEST_P(D2xx, AnAdapterInUseOrNamedAmbiguouslyIsNotFound)
{
    struct {
        const char* name;
        std::vector<std::string> environment;
        bool held_port;   // the COM port itself open in another program
        std::string why;
    } cases[] = {
        {"ftdi", {"FAKE_D2XX_HELD=1"}, false,
         "FT_GetDeviceInfoDetail: the FT232R serial FAKE2313 is in use by another program"},
        {"ftdi:FAKE2313", {"FAKE_D2XX_HELD=2"}, false,
         "FT_GetDeviceInfoDetail: no free FTDI device has serial number FAKE2313, and one that another program holds"},
        {"COM1", {"FAKE_D2XX_HELD=1", "FAKE_D2XX_COM=1"}, true, "CreateFile: COM1 is open in another program"},
        {"ftdi:FAKE2313", {"FAKE_D2XX_SAME_SERIAL=1", "FAKE_D2XX_COM=12"}, false,
         "FT_GetDeviceInfoDetail: 2 FTDI devices have serial number FAKE2313: FT232R at location 0x112 on COM12;"
         " FT232R at location 0x113 on COM13; name one alone by its COM port, as ISP2313_PORT1=COM12"},
        {"ftdi:FAKE2313:C", {}, false, "FT_GetDeviceInfoDetail: the FT232R serial FAKE2313 has no channel C"},
    };
    write_file(dir + "/flash.bin", {0x12, 0x34});
    for (const auto& c : cases) {
        port_run run = prepared({"1", "flash.bin"}, c.environment);
        run.environment.push_back(std::string("ISP2313_PORT1=") + c.name);
        run.held_by_other = run.ordinary_user = c.held_port;
        run.trace_capacity = 4096;
        port_result result = run_on_port(run);
        expect_not_found(result, c.name, c.why);
        EXPECT_EQ(line_events(result), 0) << c.name;
        EXPECT_EQ(result.calls.line_requests, 0) << c.name << ": no line call on the COM port";
        EXPECT_EQ(result.open_count, 0) << c.name;
        EXPECT_EQ(result.chip.programming_enables, 0) << c.name;
    }
}

// What the pins do outside the states sent: an adapter that another program left with DTR and
// RTS set gets its pins back with both cleared, so the chip runs once the run is over, as on
// Linux; a chip that drives its outputs low from the mode change still gives a run that
// enters programming mode at its first attempt.
TEST_P(D2xx, ARunIsCleanWhateverThePinsDoOutsideTheStatesSent)
{
    write_file(dir + "/flash.bin", {0x12, 0x34});
    for (const char* fault : {"FAKE_D2XX_LINES_SET=1", "FAKE_D2XX_ENTRY_GLITCH=1"}) {
        port_run run = prepared({"1", "flash.bin"}, {"ISP2313_PORT1=ftdi", fault});
        port_result result = run_on_port(run);
        EXPECT_EQ(result.failure, "");
        EXPECT_EQ(result.first.status, 0) << fault << explain(result, result.first);
        EXPECT_TRUE(same_text(result.first.out, as_written(which(), expected_full_run(part_attiny2313, 2, 0, false))))
            << fault;
        EXPECT_EQ(result.chip.flash[0], 0x3412) << fault;
        EXPECT_FALSE(result.chip.reset_held) << fault;
        EXPECT_EQ(result.modem_lines & (TIOCM_RTS | TIOCM_DTR), 0) << fault << ": RTS and DTR as the UART has them";
        EXPECT_FALSE(result.chip.sck_high) << fault;
        EXPECT_EQ(result.open_count, 0) << fault;
    }
}

// Samples that do not show the pins as the states before them: a stray byte mid-run loses the
// port, as does a lost one, seen in the samples after it, or, where no state after it changed
// anything, as samples due that never come (the open's first packet); a device that shows each
// state as it goes out fails the check at open, so an ftdi name is not found and its COM port
// runs on line calls.
TEST_P(D2xx, SamplesThatDoNotFollowThePinsAreNeverRead)
{
    struct {
        const char* name;
        const char* fault;
        const char* file;
        int status;
        const char* ending;   // of standard output; null: a full run's
        const char* why;
    } cases[] = {
        {"ftdi", "FAKE_D2XX_STRAY_AFTER=20000", "blink.bin", 33, "\n>>> COM1 Lost\n",
         "the adapter's samples did not follow its pins"},
        {"ftdi", "FAKE_D2XX_LOSE_AT=20000", "blink.bin", 33, "\n>>> COM1 Lost\n",
         "the adapter's samples did not follow its pins"},
        {"ftdi", "FAKE_D2XX_LOSE_AT=10", "flash.bin", 33, ">>> COM1 Not Found\n",
         "FT_Read: the adapter sent 61 of the 62 samples due, then none for a second"},
        {"ftdi", "FAKE_D2XX_NO_ECHO=1", "flash.bin", 33, ">>> COM1 Not Found\n",
         "the adapter's samples did not follow its pins"},
        {"COM12", "FAKE_D2XX_NO_ECHO=1", "flash.bin", 0, nullptr, "the adapter's samples did not follow its pins"},
    };
    write_file(dir + "/flash.bin", {0x12, 0x34});
    write_file(dir + "/blink.bin", blink().flash);
    for (const auto& c : cases) {
        port_run run = prepared({"1", c.file},
                                {std::string("ISP2313_PORT1=") + c.name, c.fault, "FAKE_D2XX_COM=12"});
        port_result result = run_on_port(run);
        std::string shown = std::string(c.name) + ", " + c.fault;
        EXPECT_EQ(result.failure, "");
        EXPECT_EQ(result.first.status, c.status) << shown << explain(result, result.first);
        std::string ending = c.ending != nullptr ? c.ending : expected_full_run(part_attiny2313, 2, 0, false);
        EXPECT_TRUE(ends_with(result.first.out, as_written(which(), ending))) << shown << explain(result, result.first);
        EXPECT_NE(result.first.err.find(c.why), std::string::npos) << shown << "\n" << result.first.err;
        EXPECT_EQ(result.calls.line_requests > 0, c.status == 0) << shown << ": line calls only on the COM port";
        if (c.status == 0) {
            EXPECT_EQ(result.chip.flash[0], 0x3412) << shown;
        }
        EXPECT_FALSE(result.chip.reset_held) << shown;
        EXPECT_EQ(result.open_count, 0) << shown;
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, D2xxFullRun, ::testing::ValuesIn(d2xx_full_runs()),
                         [](const ::testing::TestParamInfo<std::tuple<target, chip_part>>& param_info) {
                             return std::string(target_name(std::get<0>(param_info.param))) + "_"
                                  + (std::get<1>(param_info.param) == part_attiny2313 ? "attiny2313" : "at90s2313");
                         });

INSTANTIATE_TEST_SUITE_P(Targets, D2xx, ::testing::ValuesIn(wine_targets()),
                         [](const ::testing::TestParamInfo<target>& param_info) { return target_name(param_info.param); });

