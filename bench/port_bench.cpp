// Full programming runs of the shipped programs over the faked port, in real time, against the
// floor that the protocol's own waits and clock periods set, and their port calls against the
// floor that the wiring sets; prints Markdown tables. linux_ftdi is the Linux program over the
// FT232R stand-in under libftdi1, wine64_d2xx the 64-bit Windows program under wine64 over the
// stand-in ftd2xx.dll's FT232R, each at 1 ms a USB round trip.
//   port_bench [linux] [wine64] [wine32] [linux_ftdi] [wine64_d2xx]
//                                      (default: linux wine64 linux_ftdi wine64_d2xx)
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include "e2e/harness.h"
#include "run/probe.h"
#include "tests/lifecycle.h"

namespace {

constexpr double half_period_s = 3.1e-6;   // 31 ticks of the 10 MHz counter, at least

constexpr std::uint64_t trace_capacity = 1u << 21;
constexpr std::uint64_t wait_gap_ns    = 100000;   // a quiet line longer than this is a wait

struct measured {
    bool   ok;
    double run_s, port_s, floor_s, waits_s, nominal_waits_s, bus_us_per_bit;
    double cpu_s;
    long   bits, calls, floor_calls;
};

// The fewest port calls the wiring allows for the run: two break calls per clock pulse, one
// call per real change of DTR or RTS, one per DSR read. Counted on the simulated platform
// running the same program on the same files, so wine's own extra calls do not enter it.
long wiring_floor(chip_part part, const std::string& dir)
{
    fresh_bench(part);
    sim.trace_enabled = true;
    run_result simulated = run_program({"1", dir + "/flash.bin", dir + "/eeprom.bin"});
    if (simulated.status != 0)
        return -1;
    long calls = 0;
    bool dtr = false, rts = false, known_rts = false;
    for (const sim_event& e : sim.trace) {
        switch (e.line) {
        case sim_break: calls += e.value ? 2 : 0; break;
        case sim_dsr:   ++calls; break;
        case sim_dtr:   calls += e.value != dtr; dtr = e.value; break;
        case sim_rts:   calls += !known_rts || e.value != rts; rts = e.value; known_rts = true; break;
        default: break;
        }
    }
    return calls;
}

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

// A program and how it drives port 1: its line calls, or an FTDI adapter's bit-bang.
struct program {
    target which;
    bool   d2xx;   // the Windows program over the stand-in ftd2xx.dll
};

const char* row_name(const program& p) { return p.d2xx ? "wine64_d2xx" : target_name(p.which); }

bool over_usb(const program& p) { return p.d2xx || p.which == target::linux_ftdi; }

measured bench_one(program p, chip_part part)
{
    target which = p.which;
    measured m{};
    std::string dir = make_scratch_dir("bench");
    write_file(dir + "/flash.bin", full_run_flash());
    write_file(dir + "/eeprom.bin", full_run_eeprom());
    port_run run;
    run.which = which;
    run.part = part;
    run.operands = {"1", "flash.bin", "eeprom.bin"};
    run.dir = dir;
    run.timeout_s = 300;
    if (p.d2xx) {
        run.exe_dir = exe_dir_for(dir, which, true);
        run.environment = {"ISP2313_PORT1=ftdi", "FAKE_D2XX_ROUND_TRIP_US=1000"};
    }
    run.trace_capacity = trace_capacity;
    port_result result = run_on_port(run);
    m.floor_calls = wiring_floor(part, dir);
    remove_tree(dir);
    if (!result.failure.empty() || result.first.status != 0 || result.chip.ignored_busy != 0 || result.trace_overflow) {
        std::fprintf(stderr, "%s %s: failed (%s, status %d, %lld busy)\n%s", row_name(p),
                     chip_part_name(part), result.failure.c_str(), result.first.status,
                     static_cast<long long>(result.chip.ignored_busy), result.first.err.c_str());
        return m;
    }
    const port_calls& c = result.calls;
    m.ok = true;
    m.bits = 0;
    for (const port_event& event : result.trace)
        m.bits += event.line == 'B' && event.value != 0;
    m.run_s = result.first.wall_s;
    m.port_s = static_cast<double>(result.last_close_ns - result.first_open_ns) / 1e9;
    m.nominal_waits_s = static_cast<double>(full_runs[part == part_attiny2313 ? 0 : 1].waits_ms) / 1000.0;
    m.floor_s = m.nominal_waits_s + static_cast<double>(m.bits) * 2 * half_period_s;
    m.waits_s = quiet_s(result.trace);
    m.bus_us_per_bit = (m.port_s - m.waits_s) * 1e6 / static_cast<double>(m.bits);
    m.calls = static_cast<long>(c.tiocmget + c.tiocmset + c.tiocmbis + c.tiocmbic + c.tiocsbrk + c.tioccbrk);
    m.cpu_s = result.first.cpu_s;
    return m;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<program> which;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "linux") == 0)
            which.push_back({target::linux_binary, false});
        else if (std::strcmp(argv[i], "wine64") == 0)
            which.push_back({target::wine64, false});
        else if (std::strcmp(argv[i], "wine32") == 0)
            which.push_back({target::wine32, false});
        else if (std::strcmp(argv[i], "linux_ftdi") == 0 && E2E_WITH_FTDI)
            which.push_back({target::linux_ftdi, false});
        else if (std::strcmp(argv[i], "wine64_d2xx") == 0)
            which.push_back({target::wine64, true});
        else {
            std::fprintf(stderr, "usage: port_bench [linux] [wine64] [wine32] [linux_ftdi] [wine64_d2xx]\n");
            return 2;
        }
    }
    if (which.empty()) {
        which = {{target::linux_binary, false}, {target::wine64, false}};
        if (E2E_WITH_FTDI)
            which.push_back({target::linux_ftdi, false});
        which.push_back({target::wine64, true});
    }

    std::vector<std::pair<program, chip_part>> rows;
    std::vector<measured> results;
    int failures = 0;
    for (program p : which) {
        if (is_wine(p.which)) {
            std::string error = prepare_wine(p.which);
            if (!error.empty()) {
                std::fprintf(stderr, "%s: %s\n", row_name(p), error.c_str());
                ++failures;
                continue;
            }
        }
        for (chip_part part : {part_attiny2313, part_at90s2313}) {
            measured m = bench_one(p, part);
            if (!m.ok) {
                ++failures;
                continue;
            }
            rows.push_back({p, part});
            results.push_back(m);
        }
    }

    std::printf("| program | chip | bus bits | run (s) | port open to close (s) | floor (s) | ratio"
                " | waits: measured / nominal (s) | per bit outside waits (us, floor %.1f) | CPU / wall |\n",
                2 * half_period_s * 1e6);
    std::printf("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const measured& m = results[i];
        std::printf("| %s | %s | %ld | %.2f | %.2f | %.2f | %.3f | %.2f / %.2f | %.2f | %.3f |\n",
                    row_name(rows[i].first), chip_part_name(rows[i].second), m.bits, m.run_s, m.port_s,
                    m.floor_s, m.port_s / m.floor_s, m.waits_s, m.nominal_waits_s, m.bus_us_per_bit,
                    m.cpu_s / m.run_s);
    }
    // On a USB adapter every call is a transfer: the run takes its waits, its clock periods
    // and one call's cost for every call. (The FT232R's rows above are already at 1 ms a transfer.)
    std::printf("\n| program | chip | port calls | per bus bit | wiring's floor | floor per bit"
                " | predicted at 0.125 ms a call | at 1 ms a call |\n");
    std::printf("|---|---|---:|---:|---:|---:|---:|---:|\n");
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const measured& m = results[i];
        if (over_usb(rows[i].first))
            continue;
        double bits = static_cast<double>(m.bits);
        double fixed_s = m.nominal_waits_s + bits * 2 * half_period_s;
        std::printf("| %s | %s | %ld | %.2f | %ld | %.2f | %.0f s | %.0f s |\n", row_name(rows[i].first),
                    chip_part_name(rows[i].second), m.calls, static_cast<double>(m.calls) / bits, m.floor_calls,
                    static_cast<double>(m.floor_calls) / bits, fixed_s + static_cast<double>(m.calls) * 0.125e-3,
                    fixed_s + static_cast<double>(m.calls) * 1e-3);
    }
    return failures == 0 ? 0 : 1;
}
