// Benchmark: a full run (2048-byte flash, 127-byte EEPROM) on each part on the simulated
// platform: its virtual duration against the floor that the protocol's own waits and
// clock periods set, and the wall-clock time the host took to simulate it.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include "line/line.h"
#include "run/images.h"
#include "run/run.h"
#include "sim/chip.h"
#include "sim/os_sim.h"

static std::uint64_t floor_wait_ms;

// The wait the program leaves after each instruction it sends, in milliseconds.
static void count_wait(const std::uint8_t f[4], std::uint8_t, std::uint64_t)
{
    bool tiny = chip.part == part_attiny2313;
    switch (f[0]) {
    case 0x40: floor_wait_ms += tiny ? 0 : 8; break;
    case 0x48: floor_wait_ms += tiny ? 1 : 8; break;
    case 0x4C: case 0xC0: floor_wait_ms += 8; break;
    case 0xAC:
        if (f[1] == 0x53) floor_wait_ms += 60 + 8;       // reset released and held, then the echo
        else if (f[1] == 0x80) floor_wait_ms += 60 + 30; // the erase, then reset released
        else floor_wait_ms += 30;                        // fuses and lock bits
        break;
    }
}

static void reset_program()
{
    port_handle = os_no_handle;
    half_period_ready = false;
    flash_file_size = 0;
    eeprom_count = 0;
    erased_at_start = false;
    std::memset(flash_image, 0, sizeof flash_image);
    std::memset(eeprom_image, 0, sizeof eeprom_image);
}

static std::string write_file(const char* name, std::size_t size, unsigned seed)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string path = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/isp2313-bench-" + name;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    for (std::size_t i = 0; i < size; ++i)
        std::fputc(static_cast<int>((i * 37 + seed) & 0xFF), file);
    std::fclose(file);
    return path;
}

static void bench(chip_part part, std::string flash, std::string eeprom)
{
    chip_new(part);
    sim_reset();
    sim.trace_enabled = false;
    reset_program();
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
    std::fprintf(stderr, "| %-10s | %d | %ld | %.3f | %.3f | %.3f | %.3f | %.3f | %ld |\n", chip_part_name(part),
                 status, sim.clock_pulses, floor_wait_ms / 1e3, clock_s, floor_s, virtual_s, virtual_s / floor_s,
                 chip.counts.ignored_busy);
    std::fprintf(stderr, "  simulated in %.3f s of wall-clock time\n", wall_s);
}

int main()
{
    if (!std::freopen("/dev/null", "w", stdout))
        return 1;
    std::string flash = write_file("flash.bin", 2048, 1);
    std::string eeprom = write_file("eeprom.bin", 127, 2);
    std::fprintf(stderr, "| part | status | clock pulses | waits floor s | clock floor s | floor s | virtual s | "
                         "virtual/floor | busy-ignored |\n|---|---|---|---|---|---|---|---|---|\n");
    bench(part_attiny2313, flash, eeprom);
    bench(part_at90s2313, flash, eeprom);
    std::remove(flash.c_str());
    std::remove(eeprom.c_str());
    return 0;
}
