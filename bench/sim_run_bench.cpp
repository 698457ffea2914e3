// Benchmark: a full run (2048-byte flash, 127-byte EEPROM) on each part on the simulated
// platform, over line calls and over an FT232R (its outputs low from the mode change to the
// first byte, DSR 4 us late on the wire) and an FT232H in bit-bang at 1 ms a USB round trip: its
// virtual duration against the floor that the protocol's own waits and clock periods set,
// and the wall-clock time the host took to simulate it.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include "line/line.h"
#include "run/images.h"
#include "run/run.h"
#include "sim/chip.h"
#include "sim/os_sim.h"
#include "tests/lifecycle.h"

static std::uint64_t floor_wait_ms;

static void count_wait(const std::uint8_t f[4], std::uint8_t, std::uint64_t)
{
    floor_wait_ms += nominal_wait_ms(f, chip.part);
}

static std::string write_file(const char* name, const std::vector<std::uint8_t>& bytes)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string path = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/isp2313-bench-" + name;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
    return path;
}

enum bench_path { line_calls, ft232r, ft232h };
static const char* const path_names[] = {"line calls", "FT232R bit-bang", "FT232H bit-bang"};

static void bench(chip_part part, bench_path path, std::string flash, std::string eeprom)
{
    fresh_bench(part);
    sim.trace_enabled = false;
    if (path != line_calls) {
        sim.bitbang_use[1] = os_bitbang_required;
        sim.ftdi.round_trip_ns = 1000000;
        sim.ftdi.entry_glitch = true;
        sim.dsr_lag_ns = 4000;
    }
    if (path == ft232h) {
        ft232r_make_ft232h(sim.ftdi);
        sim.ftdi_bcd_device = 0x0900;
    }
    floor_wait_ms = 0;
    chip_frame_hook = count_wait;
    std::string program = "isp2313", port = "1";
    char* argv[] = {program.data(), port.data(), flash.data(), eeprom.data(), nullptr};
    auto start = std::chrono::steady_clock::now();
    int status = run(4, argv);
    double wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fflush(stdout);
    double half_s = (half_period_ticks + 1) / static_cast<double>(sim.frequency);
    double clock_s = static_cast<double>(sim.clock_pulses) * 2 * half_s;
    double floor_s = floor_wait_ms / 1e3 + clock_s;
    double virtual_s = static_cast<double>(sim.now_ns) / 1e9;
    std::fprintf(stderr, "| %-10s | %s | %d | %ld | %.3f | %.3f | %.3f | %.3f | %.3f | %ld |\n", chip_part_name(part),
                 path_names[path], status, sim.clock_pulses, floor_wait_ms / 1e3, clock_s, floor_s, virtual_s, virtual_s / floor_s,
                 chip.counts.ignored_busy);
    std::fprintf(stderr, "  simulated in %.3f s of wall-clock time", wall_s);
    if (path != line_calls)
        std::fprintf(stderr, "; %ld USB sends, %ld packets, %ld states, the pins idle %ld times", sim.ftdi_transfers,
                     sim.ftdi.packets, sim.ftdi.bytes_out, sim.ftdi.ran_dry);
    std::fprintf(stderr, "\n");
}

int main()
{
    if (!std::freopen("/dev/null", "w", stdout))
        return 1;
    std::string flash = write_file("flash.bin", full_run_flash());
    std::string eeprom = write_file("eeprom.bin", full_run_eeprom());
    std::fprintf(stderr, "| part | path | status | clock pulses | waits floor s | clock floor s | floor s | virtual s | "
                         "virtual/floor | busy-ignored |\n|---|---|---|---|---|---|---|---|---|---|\n");
    for (bench_path path : {line_calls, ft232r, ft232h}) {
        bench(part_attiny2313, path, flash, eeprom);
        bench(part_at90s2313, path, flash, eeprom);
    }
    std::remove(flash.c_str());
    std::remove(eeprom.c_str());
    return 0;
}
