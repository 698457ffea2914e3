// Full programming runs of the shipped programs over the faked port, in real time, against the
// floor that the protocol's own waits and clock periods set; prints a Markdown table.
//   port_bench [linux] [wine64] [wine32]     (default: linux wine64)
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include "e2e/harness.h"
#include "tests/lifecycle.h"

namespace {

constexpr int    flash_bytes  = 2048;
constexpr int    eeprom_bytes = 127;
constexpr double half_period_s = 3.1e-6;   // 31 ticks of the 10 MHz counter, at least

constexpr std::uint64_t trace_capacity = 1u << 21;
constexpr std::uint64_t wait_gap_ns    = 100000;   // a quiet line longer than this is a wait

struct measured {
    bool   ok;
    double run_s, port_s, floor_s, waits_s, nominal_waits_s, bus_us_per_bit;
    double calls_per_bit;
    long   bits;
};

// Quiet stretches of the line are the program's waits; the rest is clocking bits.
double quiet_s(const std::vector<port_event>& trace)
{
    std::uint64_t quiet = 0;
    for (std::size_t i = 1; i < trace.size(); ++i) {
        std::uint64_t gap = trace[i].t_ns - trace[i - 1].t_ns;
        if (gap > wait_gap_ns)
            quiet += gap;
    }
    return static_cast<double>(quiet) / 1e9;
}

// The fixed waits of a run, in ms: entry 30 + 30 + 8; the flash pass's erase 30 + 30, reset
// released 30 and a new entry; 1 ms per loaded word and 8 per page (ATtiny2313) or 8 + 8 per
// word (AT90S2313); 8 per EEPROM byte; 30 per fuse and for the lock bits.
double waits_s(chip_part part, int words, int eeprom_count)
{
    double ms = 68 + 158 + 8.0 * eeprom_count;
    if (part == part_attiny2313)
        ms += words * 1.0 + (words / 16) * 8.0 + 30 + 30 + 30;
    else
        ms += words * 16.0 + 30;
    return ms / 1000.0;
}

// Words of 0xFFFF are not written to an AT90S2313, so the image has none.
std::vector<std::uint8_t> flash_image()
{
    std::vector<std::uint8_t> bytes = pattern_bytes(flash_bytes, 5);
    for (std::size_t i = 0; i < bytes.size(); i += 2)
        if (bytes[i] == 0xFF && bytes[i + 1] == 0xFF)
            bytes[i] = 0x00;
    return bytes;
}

measured bench_one(target which, chip_part part)
{
    measured m{};
    std::string dir = make_scratch_dir("bench");
    write_file(dir + "/flash.bin", flash_image());
    write_file(dir + "/eeprom.bin", pattern_bytes(eeprom_bytes, 9));
    port_run run;
    run.which = which;
    run.part = part;
    run.operands = {"1", "flash.bin", "eeprom.bin"};
    run.dir = dir;
    run.timeout_s = 300;
    run.trace_capacity = trace_capacity;
    port_result result = run_on_port(run);
    remove_tree(dir);
    if (!result.failure.empty() || result.first.status != 0 || result.chip.ignored_busy != 0 || result.trace_overflow) {
        std::fprintf(stderr, "%s %s: failed (%s, status %d, %lld busy)\n%s", target_name(which),
                     chip_part_name(part), result.failure.c_str(), result.first.status,
                     static_cast<long long>(result.chip.ignored_busy), result.first.err.c_str());
        return m;
    }
    const port_calls& c = result.calls;
    m.ok = true;
    m.bits = static_cast<long>(c.tiocsbrk);
    m.run_s = result.first.wall_s;
    m.port_s = static_cast<double>(result.last_close_ns - result.first_open_ns) / 1e9;
    m.nominal_waits_s = waits_s(part, flash_bytes / 2, eeprom_bytes + 1);
    m.floor_s = m.nominal_waits_s + static_cast<double>(m.bits) * 2 * half_period_s;
    m.waits_s = quiet_s(result.trace);
    m.bus_us_per_bit = (m.port_s - m.waits_s) * 1e6 / static_cast<double>(m.bits);
    long line_calls = static_cast<long>(c.tiocmget + c.tiocmset + c.tiocmbis + c.tiocmbic + c.tiocsbrk + c.tioccbrk);
    m.calls_per_bit = static_cast<double>(line_calls) / static_cast<double>(m.bits);
    return m;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<target> which;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "linux") == 0)
            which.push_back(target::linux_binary);
        else if (std::strcmp(argv[i], "wine64") == 0)
            which.push_back(target::wine64);
        else if (std::strcmp(argv[i], "wine32") == 0)
            which.push_back(target::wine32);
        else {
            std::fprintf(stderr, "usage: port_bench [linux] [wine64] [wine32]\n");
            return 2;
        }
    }
    if (which.empty())
        which = {target::linux_binary, target::wine64};

    std::printf("| program | chip | bus bits | run (s) | port open to close (s) | floor (s) | ratio"
                " | waits: measured / nominal (s) | per bit outside waits (us, floor %.1f) | port calls per bit |\n",
                2 * half_period_s * 1e6);
    std::printf("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    int failures = 0;
    for (target t : which) {
        if (t != target::linux_binary) {
            std::string error = prepare_wine(t);
            if (!error.empty()) {
                std::fprintf(stderr, "%s: %s\n", target_name(t), error.c_str());
                ++failures;
                continue;
            }
        }
        for (chip_part part : {part_attiny2313, part_at90s2313}) {
            measured m = bench_one(t, part);
            if (!m.ok) {
                ++failures;
                continue;
            }
            std::printf("| %s | %s | %ld | %.2f | %.2f | %.2f | %.3f | %.2f / %.2f | %.2f | %.2f |\n",
                        target_name(t), chip_part_name(part), m.bits, m.run_s, m.port_s, m.floor_s,
                        m.port_s / m.floor_s, m.waits_s, m.nominal_waits_s, m.bus_us_per_bit, m.calls_per_bit);
            std::fflush(stdout);
        }
    }
    return failures == 0 ? 0 : 1;
}
