// isp2313-probe on the simulated platform: its findings for each wiring fault, loopback and
// adapter, exact; the chip left exactly as it was found; its full-run figures.
#include <gtest/gtest.h>
#include <cstring>
#include <functional>
#include <string>
#include <vector>
#include "isp/isp.h"
#include "line/line.h"
#include "run/probe.h"
#include "tests/lifecycle.h"

// The probe's full-run table holds what a full run of the benchmarks' images asks of the port.
TEST(ProbeFullRun, FiguresAreTheSimulatedRunsOwn)
{
    std::string flash = scratch_file("flash.bin", full_run_flash());
    std::string eeprom = scratch_file("ee.bin", full_run_eeprom());
    for (int i = 0; i < full_run_count; ++i) {
        chip_part part = i == 0 ? part_attiny2313 : part_at90s2313;
        fresh_bench(part);
        ASSERT_EQ(run_program({"1", flash, eeprom}).status, 0);
        full_run_calls seen{chip_part_name(part), 0, 0, 0, 0, 0, 0, 0, 0};
        bool rts = false, rts_known = false;
        for (const sim_event& e : sim.trace) {
            seen.clock_pulses += e.line == sim_break && e.value;
            seen.dtr_sets += e.line == sim_dtr && e.value;
            seen.dtr_clears += e.line == sim_dtr && !e.value;
            seen.dsr_reads += e.line == sim_dsr;
            if (e.line == sim_rts) {
                seen.rts_changes += !rts_known || e.value != rts;
                rts = e.value;
                rts_known = true;
            }
        }
        for (const frame_record& f : frames)
            seen.waits_ms += static_cast<long>(nominal_wait_ms(f.bytes, part));
        const full_run_calls& table = full_runs[i];
        EXPECT_STREQ(table.chip, seen.chip);
        EXPECT_EQ(table.clock_pulses, seen.clock_pulses) << seen.chip;
        EXPECT_EQ(table.dtr_sets, seen.dtr_sets) << seen.chip;
        EXPECT_EQ(table.dtr_clears, seen.dtr_clears) << seen.chip;
        EXPECT_EQ(table.dsr_reads, seen.dsr_reads) << seen.chip;
        EXPECT_EQ(table.rts_changes, seen.rts_changes) << seen.chip;
        EXPECT_EQ(table.waits_ms, seen.waits_ms) << seen.chip;
        fresh_bench(part);
        sim.bitbang_use[1] = os_bitbang_required;
        ASSERT_EQ(run_program({"1", flash, eeprom}).status, 0);
        EXPECT_EQ(table.states, sim.ftdi.bytes_out) << seen.chip;
        EXPECT_EQ(table.round_trips, sim.ftdi.ran_dry) << seen.chip;
        // The prediction from the model's own round trip and byte clock, against its run, and
        // against a run on a chip whose byte clock is 4 times the baud rather than 16.
        bitbang_costs costs{1e-3, 1.0 / 307200, false};
        double predicted = predicted_bitbang_seconds(table, costs), ran = static_cast<double>(sim.now_ns) / 1e9;
        EXPECT_NEAR(predicted, ran, ran * 0.01) << seen.chip;
        fresh_bench(part);
        sim.bitbang_use[1] = os_bitbang_required;
        sim.ftdi.clock_per_baud = 4;
        ASSERT_EQ(run_program({"1", flash, eeprom}).status, 0);
        costs.state *= 4;
        predicted = predicted_bitbang_seconds(table, costs), ran = static_cast<double>(sim.now_ns) / 1e9;
        EXPECT_NEAR(predicted, ran, ran * 0.02) << seen.chip << " at the slow byte clock";
    }
}

namespace {

const std::string opened = "port 1: COM1 opened as isp2313 opens it (exclusive, 115200 8N1, no flow control)\n";
// Line calls that take no time: the full run is its waits and clock periods.
const std::string free_calls =
    "line calls (median of 128 each): break on 0.000 ms, break off 0.000 ms, DTR set 0.000 ms, DTR clear 0.000 ms,"
    " DSR read 0.000 ms\n"
    "a full run (2048-byte flash, 127-byte EEPROM) over this port takes about 3.8 s on an ATtiny2313, 18.6 s on an"
    " AT90S2313\n";
const std::string in_step = "chip: in step at bit offset 0 (Programming Enable echoed 53 at attempt 1 of 32)\n";
const std::string tiny_rest =
    "fuse high 0xDF: serial programming enabled, reset pin enabled, brown-out detection off, EEPROM erased by a chip"
    " erase, watchdog as the program sets it, debugWIRE off\n"
    "fuse extended 0xFF: self-programming off\n";
const std::string run_writes =
    "a run writes fuse low 0xEF (a crystal of 8 MHz or more, not divided; clock output off): after it the chip runs,"
    " and can be programmed again, only with a crystal of 8 MHz or more fitted\n"
    "a run writes fuse high 0xDF, which the chip has already\n"
    "a run ends by locking the chip against programming and reading (mode 3)\n";
const std::string tiny_factory = "chip: signature 1E 91 0A: ATTINY2313\n"
    "fuse low 0x64: the internal 8 MHz oscillator, divided by 8 (1 MHz); clock output off\n" + tiny_rest +
    "lock bits 0xFF: not locked\n" + run_writes;
const std::string stays_at_1 =
    "chip: MISO stays at 1 (all 32 answers FF): no chip, no power, MISO not wired, a chip without a clock, or an"
    " adapter that shows DSR late (--loopback tells)\n";
const std::string neither_follows = "loopback: neither line reaches DSR: check the jumper; with it from TXD to DSR,"
    " the driver accepts a break without sending one, and a run over it cannot clock a chip\n";

// An FT232R named "ftdi", its byte clock CLOCK times the baud rate.
void ftdi_adapter(std::uint32_t clock)
{
    sim.port_name[1] = "ftdi";
    sim.bitbang_use[1] = os_bitbang_required;
    sim.ftdi.clock_per_baud = clock;
    sim.ftdi_devices = {"FT232R serial FT6Z3K9Q, bus 1 address 7"};
}
const std::string ftdi_opened =
    "port 1: ftdi opened in FTDI synchronous bit-bang: FT232R serial FT6Z3K9Q, bus 1 address 7\n";
const std::string ftdi_costs = ftdi_opened + "bit-bang (median of 16 transfers of each size): USB round trip 0.997 ms, byte clock"
        " 307.2 kHz (3.25 us a state)\n"
        "a full run (2048-byte flash, 127-byte EEPROM) in bit-bang takes about 4.0 s on an ATtiny2313, 18.8 s on an"
        " AT90S2313\n"
        "a full run (2048-byte flash, 127-byte EEPROM) over its serial port's line calls (ISP2313_BITBANG=0), a USB"
        " round trip a call, takes about 625.1 s on an ATtiny2313, 637.0 s on an AT90S2313\n";

struct probe_case {
    const char*              name;
    chip_part                part;
    std::function<void()>    setup;
    std::vector<std::string> operands;
    std::string              out;
    int                      status;
};

class ProbeFinds : public testing::TestWithParam<probe_case> {};

} // namespace

// Exact findings; the chip keeps its memories, fuses and lock bits, and nothing but
// Programming Enable and reads reaches it.
TEST_P(ProbeFinds, WhatWorksAndLeavesTheChipAsItWas)
{
    const probe_case& c = GetParam();
    fresh_bench(c.part);
    chip.flash[5] = 0x1234;
    chip.eeprom[7] = 0x56;
    c.setup();
    virtual_chip before = chip;
    run_result r = run_program(c.operands, probe);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(0, std::memcmp(chip.flash, before.flash, sizeof chip.flash));
    EXPECT_EQ(0, std::memcmp(chip.eeprom, before.eeprom, sizeof chip.eeprom));
    EXPECT_EQ(chip.fuse_low, before.fuse_low);
    EXPECT_EQ(chip.fuse_high, before.fuse_high);
    EXPECT_EQ(chip.fuse_extended, before.fuse_extended);
    EXPECT_EQ(chip.lock_bits, before.lock_bits);
    for (const frame_record& f : frames) {
        bool harmless = (f.bytes[0] == 0xAC && f.bytes[1] == 0x53) || f.bytes[0] == 0x30 || f.bytes[0] == 0x50
                     || f.bytes[0] == 0x58;
        EXPECT_TRUE(harmless || !f.to_enabled) << std::hex << int(f.bytes[0]) << " " << int(f.bytes[1]);
    }
    EXPECT_FALSE(chip.reset_held) << "the chip is released at the end";
    if (!sim.trace.empty()) {
        EXPECT_EQ(sim.trace.back().line, sim_close);
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, ProbeFinds, testing::Values(
    // The DSR wait is for line calls; bit-bang samples DSR with the states and says nothing of it.
    probe_case{"FtdiInBitBang", part_attiny2313, [] { ftdi_adapter(16); sim.dsr_wait_setting = "3000"; }, {"1"},
        ftdi_costs + in_step +
        "chip: it answers without ISP2313_DSR_WAIT_US=3000 too: DSR is read in time, and a run is faster without the"
        " variable\n" + tiny_factory, 0},
    probe_case{"FtdiLoopbackLive", part_attiny2313, [] {
            ftdi_adapter(16);
            chip.present = false;
            sim.loopback = loopback_dtr;
        }, {"--loopback", "1"}, ftdi_costs +
        "loopback DTR to DSR: DSR follows DTR, on while DTR is set, 1 state after a change (3.3 us at the fastest byte"
        " clock), seen within one transfer: in time for a run, which reads each bit 2 states after the fall\n"
        "loopback TXD to DSR: DSR does not follow the break\n", 0},
    probe_case{"FtdiLoopbackDsr20usLate", part_attiny2313, [] {
            ftdi_adapter(16);
            chip.present = false;
            sim.loopback = loopback_dtr;
            sim.dsr_lag_ns = 20000;
        }, {"--loopback", "1"}, ftdi_costs +
        "loopback DTR to DSR: DSR follows DTR, on while DTR is set, 7 states after a change (22.8 us at the fastest"
        " byte clock), seen within one transfer: later than a run reads each bit (2 states after the fall);"
        " ISP2313_DSR_WAIT_US=35 makes it read that long after the fall\n"
        "loopback TXD to DSR: DSR does not follow the break\n", 33},
    probe_case{"FtdiSlowByteClockIsMeasured", part_attiny2313, [] { ftdi_adapter(4); }, {"1"}, ftdi_opened + "bit-bang (median of 16 transfers of each size): USB round trip 0.987 ms, byte clock 76.8 kHz (13.02 us a"
        " state)\n"
        "a full run (2048-byte flash, 127-byte EEPROM) in bit-bang takes about 7.7 s on an ATtiny2313, 24.3 s on an"
        " AT90S2313\n"
        "a full run (2048-byte flash, 127-byte EEPROM) over its serial port's line calls (ISP2313_BITBANG=0), a USB"
        " round trip a call, takes about 618.9 s on an ATtiny2313, 630.9 s on an AT90S2313\n" + in_step + tiny_factory, 0},
    probe_case{"FtdiRefusedUsesLineCalls", part_attiny2313, [] {
            sim.port_name[1] = "/dev/ttyUSB0";
            sim.bitbang_use[1] = os_bitbang_preferred;
            sim.ftdi_refused = true;
        }, {"1"},
        "port 1: /dev/ttyUSB0 opened as isp2313 opens it (exclusive, 115200 8N1, no flow control)\n"
        "port 1: an FTDI adapter that would not go into bit-bang (ftdi_usb_open: usb_open() failed"
        " (LIBUSB_ERROR_ACCESS)): a run uses line calls\n" + free_calls + in_step + tiny_factory, 0},
    probe_case{"FactoryTiny", part_attiny2313, [] {}, {"1"}, opened + free_calls + in_step + tiny_factory, 0},
    probe_case{"At90sOutOfStep", part_at90s2313, [] { chip.out_of_step = 5; }, {"1"}, opened + free_calls +
        "chip: in step at bit offset 5 (Programming Enable echoed 53 at attempt 6 of 32)\n"
        "chip: signature 1E 91 01: AT90S2313\n"
        "lock bits: the AT90S2313 does not report them; it reads its signature, so it is not locked\n"
        "a run ends by locking the chip against programming and reading (mode 3)\n", 0},
    probe_case{"LockedAt90s", part_at90s2313, [] { chip.lock_bits = 0xFC; }, {"2"},
        "port 2: COM2 opened as isp2313 opens it (exclusive, 115200 8N1, no flow control)\n" + free_calls + in_step +
        "chip: signature 00 01 02: an AT90S2313 that reads locked: it hides its signature and memories until a chip"
        " erase, which a run starts with\n", 0},
    probe_case{"LockedTinyOnItsCrystal", part_attiny2313, [] { chip.lock_bits = 0xFC; chip.fuse_low = 0xEF; }, {"1"},
        opened + free_calls + in_step + "chip: signature 1E 91 0A: ATTINY2313\n"
        "fuse low 0xEF: a crystal of 8 MHz or more, not divided; clock output off\n" + tiny_rest +
        "lock bits 0xFC: locked against programming and reading (mode 3)\n" + run_writes, 0},
    probe_case{"NoChip", part_attiny2313, [] { chip.present = false; }, {"1"}, opened + free_calls + stays_at_1 +
        "chip: no answer with half periods of 300 us either\n", 33},
    probe_case{"NoClock", part_attiny2313, [] { chip.faults.no_clock = true; }, {"1"}, opened + free_calls +
        stays_at_1 + "chip: no answer with half periods of 300 us either\n", 33},
    probe_case{"ClockTooSlow", part_attiny2313, [] { chip.faults.slow_clock = true; }, {"1"}, opened + free_calls +
        stays_at_1 + in_step + "chip: it answers only a clock slower than isp2313's (half periods of 300 us, not"
        " 3.1 us): its own clock is too slow to be programmed by isp2313\n" + tiny_factory, 33},
    probe_case{"MisoStuckAt0", part_attiny2313, [] { chip.faults.miso_stuck = 0; }, {"1"}, opened + free_calls +
        "chip: MISO stays at 0 (all 32 answers 00): MISO shorted to ground, or DSR wired to a line that never"
        " moves\n", 33},
    // A chip that answers, but garbled (a clock at the edge of what it takes, a RESET that
    // does not reach it): the entry reads 5A wherever the echo should be.
    probe_case{"AnswersButNeverTheEcho", part_attiny2313, [] {
            chip.present = false;
            sim.on_event = [](const sim_event& e) {
                static int resets_held = 0;
                if (e.line == sim_rts && e.value && ++resets_held == 2)
                    for (int bit = 0; bit < entry_attempts * 8; ++bit)
                        sim.scripted_dsr.push_back(((0x5A >> (7 - bit % 8)) & 1) == 0);
                if (e.line == sim_close)
                    resets_held = 0;
            };
        }, {"1"}, opened + free_calls + "chip: answers 5A 5A 5A 5A ... but never the echo 53: the clock is too fast"
        " for the chip, RESET does not reach it, or the adapter shows DSR late (--loopback tells)\n", 33},
    probe_case{"MosiMisoBridged", part_attiny2313, [] { chip.faults.mosi_miso_bridged = true; }, {"1"}, opened +
        free_calls + "chip: MISO repeats MOSI (DSR follows DTR with nothing clocked): MOSI and MISO are bridged\n", 33},
    probe_case{"UsbAdapterCalls", part_at90s2313, [] { sim.line_call_ns = 125000; }, {"1"}, opened +
        "line calls (median of 128 each): break on 0.125 ms, break off 0.125 ms, DTR set 0.125 ms, DTR clear 0.125"
        " ms, DSR read 0.125 ms\n"
        "a full run (2048-byte flash, 127-byte EEPROM) over this port takes about 46.3 s on an ATtiny2313, 61.2 s on"
        " an AT90S2313\n" + in_step + "chip: signature 1E 91 01: AT90S2313\n"
        "lock bits: the AT90S2313 does not report them; it reads its signature, so it is not locked\n"
        "a run ends by locking the chip against programming and reading (mode 3)\n", 0},
    probe_case{"LoopbackDtrLive", part_attiny2313, [] { chip.present = false; sim.loopback = loopback_dtr; },
        {"--loopback", "1"}, opened + free_calls +
        "loopback DTR to DSR: DSR follows DTR, on while DTR is set, at the first read after each change, within"
        " 0.000 ms (read live)\n"
        "loopback TXD to DSR: DSR does not follow the break\n", 0},
    probe_case{"LoopbackDtrCached", part_attiny2313,
        [] { chip.present = false; sim.loopback = loopback_dtr; sim.dsr_cache_ns = 2000000; }, {"1", "--loopback"},
        opened + free_calls + "loopback DTR to DSR: DSR follows DTR, on while DTR is set, but only 2.000 ms after a"
        " change: the adapter reports a cached DSR, and a run over it would read stale bits; ISP2313_DSR_WAIT_US=3000"
        " makes it wait for them, which adds about 52.3 s to a full run on an ATtiny2313, 52.3 s on an AT90S2313\n"
        "loopback TXD to DSR: DSR does not follow the break\n", 33},
    // An adapter that shows DSR 4 ms late, as the one a run must cope with at worst.
    probe_case{"LoopbackTxdLagging", part_attiny2313,
        [] { chip.present = false; sim.loopback = loopback_txd; sim.dsr_lag_ns = 4000000; }, {"--loopback", "1"},
        opened + free_calls + "loopback DTR to DSR: DSR does not follow DTR\n"
        "loopback TXD to DSR: DSR follows the break, on while the break is on, but only 4.000 ms after a change: the"
        " adapter reports a cached DSR, and a run over it would read stale bits; ISP2313_DSR_WAIT_US=6000 makes it"
        " wait for them, which adds about 104.6 s to a full run on an ATtiny2313, 104.6 s on an AT90S2313\n", 33},
    probe_case{"LateDsrWithoutTheWait", part_attiny2313, [] { sim.dsr_lag_ns = 2000000; }, {"1"},
        opened + free_calls + stays_at_1 + "chip: no answer with half periods of 300 us either\n", 33},
    probe_case{"LateDsrWithTheWait", part_attiny2313,
        [] { sim.dsr_lag_ns = 2000000; sim.dsr_wait_setting = "3000"; }, {"1"}, opened + free_calls + in_step +
        "chip: it answers only with ISP2313_DSR_WAIT_US=3000: without the wait DSR shows its answer too late\n" +
        tiny_factory, 0},
    probe_case{"LiveDsrWithTheWait", part_attiny2313, [] { sim.dsr_wait_setting = "3000"; }, {"1"},
        opened + free_calls + in_step + "chip: it answers without ISP2313_DSR_WAIT_US=3000 too: DSR is read in time,"
        " and a run is faster without the variable\n" + tiny_factory, 0},
    probe_case{"LoopbackTxdInverted", part_attiny2313,
        [] { chip.present = false; sim.loopback = loopback_txd; sim.loopback_inverted = true; }, {"--loopback", "1"},
        opened + free_calls + "loopback DTR to DSR: DSR does not follow DTR\n"
        "loopback TXD to DSR: DSR follows the break, off while the break is on, at the first read after each change,"
        " within 0.000 ms (read live)\n", 0},
    probe_case{"LoopbackBreakNotSent", part_attiny2313,
        [] { chip.present = false; sim.loopback = loopback_txd; sim.break_not_sent = true; }, {"--loopback", "1"},
        opened + free_calls + "loopback DTR to DSR: DSR does not follow DTR\n"
        "loopback TXD to DSR: DSR does not follow the break\n" + neither_follows, 33},
    probe_case{"PortMissing", part_attiny2313, [] { sim.port_present[1] = false; }, {"1"},
        "port 1: COM1 cannot be opened\n", 33},
    probe_case{"Usage", part_attiny2313, [] {}, {"3"}, "usage: isp2313-probe [--loopback] 1|2\n", 33},
    probe_case{"Help", part_attiny2313, [] {}, {"--help"}, "usage: isp2313-probe [--loopback] 1|2\n", 0}),
    [](const testing::TestParamInfo<probe_case>& param_info) { return std::string(param_info.param.name); });

// A lost port and an interrupt end the probe as they end a run: the port closed, status 33.
TEST(Probe, LostPortOrInterruptEndsIt)
{
    fresh_bench(part_attiny2313);
    sim.fail_from_modem_call = 2000;
    run_result r = run_program({"1"}, probe);
    EXPECT_EQ(r.out, opened + free_calls + "port 1: lost (read DSR: Input/output error)\n");
    EXPECT_EQ(r.status, 33);
    fresh_bench(part_attiny2313);
    sim.on_event = [](const sim_event&) { sim.interrupted = sim.modem_calls > 2000; };
    r = run_program({"1"}, probe);
    EXPECT_EQ(r.out, opened + free_calls + "interrupted\n");
    EXPECT_EQ(r.status, 33);
    EXPECT_FALSE(chip.reset_held);
    EXPECT_EQ(sim.trace.back().line, sim_close);
}
