// isp2313-probe: opens the port as isp2313 does and tells, one finding a line, what works:
// the port, what its line calls cost and what a run would take, a loopback plug, and what
// comes back from the chip. It never writes to the chip: no erase, no memory, fuse or
// lock write; only Programming Enable and read instructions reach it.
#include "run/probe.h"
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include "devices/device_table.h"
#include "isp/isp.h"
#include "line/line.h"
#include "run/port_help.h"
#include "run/run.h"

// Counted on the simulated platform for 2048 bytes of random flash and 127 of EEPROM; a test
// runs that again and holds these figures to it.
const full_run_calls full_runs[full_run_count] = {
//    chip           pulses   DTR set  DTR clear  DSR reads  RTS  waits (ms)  states    round trips
    { "ATtiny2313",  141604,  19689,   19688,     17448,     6,   2876,       1221015,  32 },
    { "AT90S2313",   139492,  22507,   22506,     17448,     6,   17664,      5765275,  32 },
};

constexpr std::uint8_t run_fuse_low = 0xEF, run_fuse_high = 0xDF;
// A chip that is silent at the run's clock is tried once more with half periods this long:
// over two cycles of a chip on its 128 kHz oscillator divided by 8 (16 kHz).
constexpr double slow_half_period_s = 300e-6;

static const char usage_text[] = "usage: isp2313-probe [--loopback] 1|2\n";

double predicted_run_seconds(const full_run_calls& run, const call_costs& costs, double half_period)
{
    double rts = (costs.dtr_set + costs.dtr_clear) / 2;   // RTS is set like DTR
    return static_cast<double>(run.clock_pulses) * (costs.break_on + costs.break_off + 2 * half_period)
         + static_cast<double>(run.dtr_sets) * costs.dtr_set + static_cast<double>(run.dtr_clears) * costs.dtr_clear
         + static_cast<double>(run.dsr_reads) * costs.dsr_read + static_cast<double>(run.rts_changes) * rts
         + static_cast<double>(run.waits_ms) / 1000.0;
}

// The states stream to the pins, and the pins rest a round trip each time the run needs answers
// before it can go on. The table counts the waits' states at the fastest byte clock; a slower
// clock has them sized at its own, with the run's margin. A byte clock too fast to measure runs
// at most as fast as the run sets it.
double predicted_bitbang_seconds(const full_run_calls& run, const bitbang_costs& costs)
{
    double state = costs.hidden ? 1.0 / bitbang_byte_rate : costs.state;
    double waits = static_cast<double>(run.waits_ms) / 1000.0;
    double other_states = static_cast<double>(run.states) - waits * bitbang_byte_rate;
    return other_states * state + waits * bitbang_wait_rate_for(1.0 / state) * state
         + static_cast<double>(run.round_trips) * costs.round_trip;
}

static double ms(double seconds) { return seconds * 1000.0; }

constexpr int follow_checks = 8;   // changes each way timed in bit-bang

// Half as long again as the lag, in whole milliseconds up; a hundredth of one is left for
// the reads that measured it.
std::uint32_t suggested_dsr_wait_us(double lag)
{
    double whole_ms = std::ceil(lag * 1500.0 - 0.01);
    return std::min(static_cast<std::uint32_t>(std::max(whole_ms, 1.0)) * 1000, dsr_wait_limit_us);
}

// ---- the port and its line calls -----------------------------------------------------------

static bool probe_port(int port)
{
    const char* device = os_port_name(port);
    if (!port_open(port)) {
        std::printf("port %d: %s cannot be opened\n", port, device != nullptr ? device : "(none)");
        explain_port_failure(port);
        return false;
    }
    if (bitbang) {
        std::printf("port %d: %s opened in FTDI synchronous bit-bang: %s\n", port, device,
                    os_bitbang_description(port_handle));
        return true;
    }
    std::printf("port %d: %s opened as isp2313 opens it (exclusive, 115200 8N1, no flow control)\n", port, device);
    if (bitbang_refusal[0] != '\0')
        std::printf("port %d: an FTDI adapter that would not go into bit-bang (%s): a run uses line calls\n", port,
                    bitbang_refusal);
    return true;
}

static void print_full_runs(const char* over, double (*seconds)(const full_run_calls&, const void*), const void* costs)
{
    std::printf("a full run (2048-byte flash, 127-byte EEPROM) %s takes about", over);
    for (int i = 0; i < full_run_count; ++i)
        std::printf("%s %.1f s on an %s", i == 0 ? "" : ",", seconds(full_runs[i], costs), full_runs[i].chip);
    std::printf("\n");
}

static double bitbang_seconds(const full_run_calls& run, const void* costs)
{
    return predicted_bitbang_seconds(run, *static_cast<const bitbang_costs*>(costs));
}

double predicted_usb_line_call_seconds(const full_run_calls& run, double round_trip)
{
    call_costs calls{2 * round_trip, 2 * round_trip, round_trip, round_trip, round_trip};
    return predicted_run_seconds(run, calls, static_cast<double>(half_period_ticks + 1) / counter_frequency);
}

static double line_call_seconds(const full_run_calls& run, const void* costs)
{
    return predicted_usb_line_call_seconds(run, static_cast<const bitbang_costs*>(costs)->round_trip);
}

// In bit-bang the port's costs are the USB round trip and the byte clock.
static bool probe_bitbang()
{
    rts_clear();
    bitbang_costs costs{};
    if (!measure_bitbang(costs))
        return false;
    std::printf("bit-bang (median of %d transfers of each size): USB round trip %.3f ms, ", bitbang_samples,
                ms(costs.round_trip));
    if (costs.hidden)
        std::printf("byte clock at least %.1f kHz (%u states take no longer than a round trip)\n",
                    1e-3 / costs.state, bitbang_chunk_states());
    else
        std::printf("byte clock %.1f kHz (%.2f us a state)\n", 1e-3 / costs.state, costs.state * 1e6);
    print_full_runs("in bit-bang", bitbang_seconds, &costs);
    print_full_runs("over its serial port's line calls (ISP2313_BITBANG=0), a USB round trip a call,",
                    line_call_seconds, &costs);
    return true;
}

// With the chip released from reset nothing it sees is an instruction.
static bool probe_line_calls()
{
    if (bitbang)
        return probe_bitbang();
    rts_clear();
    call_costs costs{};
    if (!measure_call_costs(costs))
        return false;
    std::printf("line calls (median of %d each): break on %.3f ms, break off %.3f ms, DTR set %.3f ms,"
                " DTR clear %.3f ms, DSR read %.3f ms\n",
                cost_samples, ms(costs.break_on), ms(costs.break_off), ms(costs.dtr_set), ms(costs.dtr_clear),
                ms(costs.dsr_read));
    double half_period = static_cast<double>(half_period_ticks + 1) / counter_frequency;
    std::printf("a full run (2048-byte flash, 127-byte EEPROM) over this port takes about");
    for (int i = 0; i < full_run_count; ++i)
        std::printf("%s %.1f s on an %s", i == 0 ? "" : ",", predicted_run_seconds(full_runs[i], costs, half_period),
                    full_runs[i].chip);
    std::printf("\n");
    return true;
}

// ---- the loopback plug ---------------------------------------------------------------------

static void report_follow(const char* jumper, const char* line, const char* on_word, const dsr_follow& seen)
{
    if (!seen.follows) {
        std::printf("loopback %s: DSR does not follow %s\n", jumper, line);
        return;
    }
    std::printf("loopback %s: DSR follows %s, %s while %s %s, ", jumper, line, seen.on_with_line ? "on" : "off", line,
                on_word);
    if (seen.live) {
        std::printf("at the first read after each change, within %.3f ms (read live)\n", ms(seen.slowest));
        return;
    }
    // Each bit's read then comes the wait after the fall, not a half period after it.
    std::uint32_t wait_us = suggested_dsr_wait_us(seen.slowest);
    double half_period = static_cast<double>(half_period_ticks + 1) / counter_frequency;
    std::printf("but only %.3f ms after a change: the adapter reports a cached DSR, and a run over it"
                " would read stale bits; ISP2313_DSR_WAIT_US=%u makes it wait for them, which adds about",
                ms(seen.slowest), static_cast<unsigned>(wait_us));
    for (int i = 0; i < full_run_count; ++i)
        std::printf("%s %.1f s%s on an %s", i == 0 ? "" : ",",
                    static_cast<double>(full_runs[i].dsr_reads) * (wait_us * 1e-6 - half_period),
                    i == 0 ? " to a full run" : "", full_runs[i].chip);
    std::printf("\n");
}

// In bit-bang every state's sample shows DSR: DTR is changed back and forth, each time within
// one transfer, and the slowest change is counted in states. A run reads a bit's DSR two states
// after the fall that moved the chip's answer; a slower DSR needs the wait, in microseconds
// at the fastest byte clock, half as long again as what was seen.
static dsr_follow watch_dsr_in_states(std::uint32_t& slowest)
{
    dsr_follow seen{true, false, true, 0.0};
    bool rest = dtr_level;
    slowest = 0;
    for (int i = 0; i < 2 * follow_checks && seen.follows; ++i) {
        std::uint32_t states = 0;
        bool dsr_on = false;
        if (!line_dsr_follow_states(!dtr_level, states, dsr_on))
            return seen;
        seen.follows = states != 0;
        seen.on_with_line = dsr_on == dtr_level;
        slowest = std::max(slowest, states);
    }
    seen.live = seen.follows && slowest <= 2;
    line_now_set(false, rest);
    return seen;
}

static void report_follow_states(const dsr_follow& seen, std::uint32_t slowest)
{
    if (!seen.follows) {
        std::printf("loopback DTR to DSR: DSR does not follow DTR within %u states\n", bitbang_chunk_states());
        return;
    }
    double state_us = 1e6 / bitbang_byte_rate;
    std::printf("loopback DTR to DSR: DSR follows DTR, %s while DTR is set, %u state%s after a change (%.1f us at"
                " the fastest byte clock), seen within one transfer: ", seen.on_with_line ? "on" : "off",
                static_cast<unsigned>(slowest), slowest == 1 ? "" : "s", slowest * state_us);
    if (slowest <= 2) {
        std::printf("in time for a run, which reads each bit 2 states after the fall\n");
        return;
    }
    unsigned wait_us = static_cast<unsigned>(std::ceil(slowest * state_us * 1.5));
    std::printf("later than a run reads each bit (2 states after the fall); ISP2313_DSR_WAIT_US=%u makes it read"
                " that long after the fall\n", wait_us);
}

// DTR jumpered to DSR, or TXD to DSR for the break: whichever is fitted must follow live.
static bool probe_loopback()
{
    std::uint32_t slowest = 0;
    dsr_follow dtr = bitbang ? watch_dsr_in_states(slowest) : watch_dsr_against_dtr();
    if (line_stopped())
        return false;
    if (bitbang)
        report_follow_states(dtr, slowest);
    else
        report_follow("DTR to DSR", "DTR", "is set", dtr);
    dsr_follow brk = watch_dsr_against_break();
    if (line_stopped())
        return false;
    report_follow("TXD to DSR", "the break", "is on", brk);
    if (!dtr.follows && !brk.follows)
        std::printf("loopback: neither line reaches DSR: check the jumper; with it from TXD to DSR, the driver"
                    " accepts a break without sending one, and a run over it cannot clock a chip\n");
    return (dtr.follows && dtr.live) || (brk.follows && brk.live);
}

// ---- the chip ------------------------------------------------------------------------------

static void describe_fuse_low(std::uint8_t fuse, char* text, std::size_t size)
{
    int select = fuse & 0x0F;
    const char* source = "a reserved clock setting";
    static const char* const crystals[] = {"a crystal of 0.4 to 0.9 MHz", "a crystal of 0.9 to 3 MHz",
                                           "a crystal of 3 to 8 MHz", "a crystal of 8 MHz or more"};
    if (select == 0x0)
        source = "an external clock on XTAL1";
    else if (select == 0x2)
        source = "the internal 4 MHz oscillator";
    else if (select == 0x4)
        source = "the internal 8 MHz oscillator";
    else if (select == 0x6)
        source = "the internal 128 kHz oscillator";
    else if (select >= 0x8)
        source = crystals[(select >> 1) - 4];
    // The internal oscillators run at a known rate; a crystal's the fuse does not say.
    static const char* const divided_rates[] = {"", " (500 kHz)", " (1 MHz)", " (16 kHz)"};
    const char* rate = select >= 0x2 && select <= 0x6 && (select & 1) == 0 ? divided_rates[select >> 1] : "";
    std::snprintf(text, size, "%s, %s%s; clock output %s", source, (fuse & 0x80) == 0 ? "divided by 8" : "not divided",
                  (fuse & 0x80) == 0 ? rate : "", (fuse & 0x40) == 0 ? "on" : "off");
}

static const char* brown_out(std::uint8_t fuse)
{
    switch ((fuse >> 1) & 0x07) {
    case 0x07: return "brown-out detection off";
    case 0x06: return "brown-out at 1.8 V";
    case 0x05: return "brown-out at 2.7 V";
    case 0x04: return "brown-out at 4.3 V";
    }
    return "a reserved brown-out level";
}

static const char* lock_mode(std::uint8_t lock)
{
    switch (lock & 0x03) {
    case 0x03: return "not locked";
    case 0x02: return "locked against programming (mode 2)";
    }
    return "locked against programming and reading (mode 3)";
}

// The ATtiny2313's fuses and lock bits, and what a run will change in them.
static void report_tiny_configuration()
{
    std::uint8_t low = read_fuse_low(), high = read_fuse_high(), extended = read_fuse_extended();
    std::uint8_t lock = read_lock_byte();
    if (line_stopped())
        return;
    char text[160];
    describe_fuse_low(low, text, sizeof text);
    std::printf("fuse low 0x%02X: %s\n", low, text);
    std::printf("fuse high 0x%02X: serial programming %s, reset pin %s, %s, EEPROM %s a chip erase, watchdog %s,"
                " debugWIRE %s\n",
                high, (high & 0x20) == 0 ? "enabled" : "disabled", (high & 0x01) == 0 ? "disabled" : "enabled",
                brown_out(high), (high & 0x40) == 0 ? "kept through" : "erased by",
                (high & 0x10) == 0 ? "always on" : "as the program sets it", (high & 0x80) == 0 ? "on" : "off");
    std::printf("fuse extended 0x%02X: self-programming %s\n", extended, (extended & 0x01) == 0 ? "on" : "off");
    std::printf("lock bits 0x%02X: %s\n", lock, lock_mode(lock));
    describe_fuse_low(run_fuse_low, text, sizeof text);
    std::printf("a run writes fuse low 0x%02X (%s): after it the chip runs, and can be programmed again, only with"
                " a crystal of 8 MHz or more fitted\n", run_fuse_low, text);
    if (high == run_fuse_high)
        std::printf("a run writes fuse high 0x%02X, which the chip has already\n", run_fuse_high);
    else
        std::printf("a run writes fuse high 0x%02X, the factory setting, in place of 0x%02X\n", run_fuse_high, high);
}

// With ISP2313_DSR_WAIT_US set, whether the chip needs it: the entry once more without the
// wait, then again with it for the reads that follow. False when that entry fails.
static bool report_dsr_wait()
{
    std::uint8_t answers[entry_attempts];
    int attempts = 0;
    std::uint32_t wait_us = dsr_wait_us;
    dsr_wait_us = 0;
    bool in_step_without = enter_programming_mode_observed(answers, attempts);
    dsr_wait_us = wait_us;
    if (line_stopped())
        return false;
    if (in_step_without)
        std::printf("chip: it answers without ISP2313_DSR_WAIT_US=%u too: DSR is read in time, and a run is faster"
                    " without the variable\n", static_cast<unsigned>(wait_us));
    else
        std::printf("chip: it answers only with ISP2313_DSR_WAIT_US=%u: without the wait DSR shows its answer"
                    " too late\n", static_cast<unsigned>(wait_us));
    return enter_programming_mode_observed(answers, attempts) && !line_stopped();
}

// In step: the signature, the part and whether it reads locked. RUN_HALF_PERIOD is not 0
// when the chip answered only a slower clock than the run's, whose half period it gives.
static bool report_chip_in_step(int attempts, double run_half_period)
{
    bool slow = run_half_period > 0;
    std::printf("chip: in step at bit offset %d (Programming Enable echoed 53 at attempt %d of %d)\n",
                attempts - 1, attempts, entry_attempts);
    if (slow)
        std::printf("chip: it answers only a clock slower than isp2313's (half periods of %.0f us, not %.1f us):"
                    " its own clock is too slow to be programmed by isp2313\n",
                    slow_half_period_s * 1e6, run_half_period * 1e6);
    if (!slow && dsr_wait_us != 0 && !report_dsr_wait())
        return false;
    std::uint8_t signature[3];
    read_signature(signature);
    if (line_stopped())
        return false;
    std::printf("chip: signature %02X %02X %02X: ", signature[0], signature[1], signature[2]);
    if (signature[0] == 0x00 && signature[1] == 0x01 && signature[2] == 0x02) {
        std::printf("an AT90S2313 that reads locked: it hides its signature and memories until a chip erase,"
                    " which a run starts with\n");
        return !slow;
    }
    int row = find_device(signature);
    if (row < 0) {
        std::printf("no supported chip\n");
        return false;
    }
    std::printf("%s\n", device_table[row].name);
    if (device_table[row].sets_fuse_low)
        report_tiny_configuration();
    else
        std::printf("lock bits: the %s does not report them; it reads its signature, so it is not locked\n",
                    device_table[row].name);
    std::printf("a run ends by locking the chip against programming and reading (mode 3)\n");
    return !slow && !line_stopped();
}

// True when MISO stayed at 1, which a slower clock may yet change.
static bool report_chip_silent(const std::uint8_t answers[entry_attempts], int attempts)
{
    if (answers_all(answers, attempts, 0xFF)) {
        std::printf("chip: MISO stays at 1 (all %d answers FF): no chip, no power, MISO not wired, a chip"
                    " without a clock, or an adapter that shows DSR late (--loopback tells)\n", attempts);
        return true;
    }
    if (answers_all(answers, attempts, 0x00)) {
        std::printf("chip: MISO stays at 0 (all %d answers 00): MISO shorted to ground, or DSR wired to a line"
                    " that never moves\n", attempts);
        return false;
    }
    std::printf("chip: answers %02X %02X %02X %02X ... but never the echo 53: the clock is too fast for the chip,"
                " RESET does not reach it, or the adapter shows DSR late (--loopback tells)\n", answers[0], answers[1],
                answers[2], answers[3]);
    return false;
}

// MOSI and MISO bridged show before anything is clocked: DSR follows DTR.
static bool probe_chip()
{
    dsr_follow bridge = watch_dsr_against_dtr();
    if (line_stopped())
        return false;
    if (bridge.follows) {
        std::printf("chip: MISO repeats MOSI (DSR follows DTR with nothing clocked): MOSI and MISO are bridged\n");
        return false;
    }
    std::uint8_t answers[entry_attempts];
    int attempts = 0;
    bool in_step = enter_programming_mode_observed(answers, attempts);
    if (line_stopped())
        return false;
    if (in_step)
        return report_chip_in_step(attempts, 0.0);
    if (!report_chip_silent(answers, attempts))
        return false;
    // A chip whose clock is too slow misses every pulse at the run's rate, as if it had none.
    std::uint32_t run_ticks = half_period_ticks, run_states = bitbang_half_states;
    half_period_ticks = static_cast<std::uint32_t>(slow_half_period_s * counter_frequency);
    bitbang_half_states = static_cast<std::uint32_t>(slow_half_period_s * bitbang_byte_rate) + 1;
    in_step = enter_programming_mode_observed(answers, attempts);
    bool works = in_step && !line_stopped()
              && report_chip_in_step(attempts, static_cast<double>(run_ticks + 1) / counter_frequency);
    if (!in_step && !line_stopped())
        std::printf("chip: no answer with half periods of %.0f us either\n", slow_half_period_s * 1e6);
    half_period_ticks = run_ticks;
    bitbang_half_states = run_states;
    return works;
}

// ---- the run ---------------------------------------------------------------------------------

static bool parse(int argc, char** argv, bool& loopback, bool& help)
{
    int operands = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--loopback") == 0 && !loopback) {
            loopback = true;
        } else if (std::strcmp(argv[i], "--help") == 0) {
            help = true;
        } else if ((std::strcmp(argv[i], "1") == 0 || std::strcmp(argv[i], "2") == 0) && operands == 0) {
            port_number = argv[i][0] - '0';
            ++operands;
        } else {
            return false;
        }
    }
    return help || operands == 1;
}

// A lost port or an interrupt ends the probe as it ends a run.
static int stopped(int port)
{
    if (line_lost)
        std::printf("port %d: lost (%s)\n", port, os_failure());
    else
        std::printf("interrupted\n");
    port_close();
    return exit_failure;
}

int probe(int argc, char** argv)
{
    program_name = "isp2313-probe";
    os_console_unbuffered();
    os_catch_interrupts();
    bool loopback = false, help = false;
    if (!parse(argc, argv, loopback, help)) {
        std::printf("%s", usage_text);
        return exit_failure;
    }
    if (help) {
        std::printf("%s", usage_text);
        return exit_success;
    }
    if (line_interrupted())
        return stopped(port_number);
    if (!probe_port(port_number))
        return exit_failure;
    if (!probe_line_calls())
        return stopped(port_number);
    bool works = loopback ? probe_loopback() : probe_chip();
    if (line_stopped())
        return stopped(port_number);
    port_close();
    return works ? exit_success : exit_failure;
}
