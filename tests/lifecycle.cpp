// Test bench: the program on the simulated platform and the virtual chip.
#include "tests/lifecycle.h"
#include <gtest/gtest.h>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include "devices/device_table.h"
#include "line/line.h"
#include "run/images.h"
#include "run/run.h"

std::vector<frame_record> frames;

static void record_frame(const std::uint8_t frame[4], std::uint8_t answer, std::uint64_t now_ns)
{
    frame_record record{};
    std::memcpy(record.bytes, frame, 4);
    record.answer = answer;
    record.t_ns = now_ns;
    record.modem_call = sim.modem_calls;
    record.to_enabled = chip.enabled;
    frames.push_back(record);
}

void reset_program_state()
{
    port_handle = os_no_handle;
    counter_frequency = 0.0f;
    half_period_ticks = 0;
    half_period_ready = false;
    dtr_level = false;
    line_lost = false;
    device_index = 0;
    std::memset(flash_image, 0, sizeof flash_image);
    flash_file_size = 0;
    std::memset(eeprom_image, 0, sizeof eeprom_image);
    eeprom_count = 0;
    port_number = 1;
    erased_at_start = false;
}

void fresh_bench(chip_part part)
{
    chip_new(part);
    sim_reset();
    reset_program_state();
    frames.clear();
    chip_frame_hook = record_frame;
}

run_result run_program(const std::vector<std::string>& operands, int (*entry)(int, char**))
{
    std::vector<std::string> args = {"isp2313"};
    args.insert(args.end(), operands.begin(), operands.end());
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    run_result result{};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    try {
        result.status = entry(static_cast<int>(args.size()), argv.data());
    } catch (const sim_stopped&) {
        result.status = -1;
    }
    std::fflush(stdout);
    result.out = testing::internal::GetCapturedStdout();
    result.err = testing::internal::GetCapturedStderr();
    return result;
}

std::vector<frame_record> frames_starting(std::initializer_list<std::uint8_t> prefix)
{
    std::vector<frame_record> found;
    for (const frame_record& frame : frames) {
        bool match = true;
        int i = 0;
        for (std::uint8_t byte : prefix)
            match = match && frame.bytes[i++] == byte;
        if (match)
            found.push_back(frame);
    }
    return found;
}

std::vector<sim_event> events_of(sim_line line)
{
    std::vector<sim_event> found;
    for (const sim_event& event : sim.trace)
        if (event.line == line)
            found.push_back(event);
    return found;
}

edge_digest chip_edges()
{
    edge_digest digest{14695981039346656037ull, 0};
    bool dtr = false, rts = false, sck = false;
    for (const sim_event& event : sim.trace) {
        if (event.line == sim_dtr)
            dtr = event.value;
        if (event.line == sim_rts)
            rts = event.value;
        if (event.line != sim_break || event.value == sck)
            continue;
        sck = event.value;
        unsigned sample = (sck ? 4u : 0u) | (dtr ? 0u : 2u) | (rts ? 1u : 0u);
        digest.hash = (digest.hash ^ sample) * 1099511628211ull;
        ++digest.edges;
    }
    return digest;
}

wire_timing wire_timing_of(const std::vector<sim_event>& trace)
{
    wire_timing timing{~0ull, 0, 0};
    std::uint64_t last_edge = 0, last_rise = 0, change = 0;
    bool sck = false, seen_edge = false, changed = false;
    for (const sim_event& e : trace) {
        if (e.line == sim_dtr) {
            timing.short_holds += last_rise != 0 && e.t_ns - last_rise < 2000;
            change = e.t_ns;
            changed = true;
        }
        if (e.line != sim_break || e.value == sck)
            continue;
        sck = e.value;
        if (seen_edge && e.t_ns - last_edge < timing.shortest_phase_ns)
            timing.shortest_phase_ns = e.t_ns - last_edge;
        seen_edge = true;
        last_edge = e.t_ns;
        if (!sck)
            continue;
        timing.short_setups += changed && e.t_ns - change < 1000;
        changed = false;
        last_rise = e.t_ns;
    }
    return timing;
}

static std::string scratch_dir_of(const testing::TestInfo& info)
{
    std::string leaf = "isp2313-" + std::to_string(getpid()) + "-" + info.test_suite_name() + "-" + info.name();
    for (char& c : leaf)
        if (c == '/')
            c = '_';
    return testing::TempDir() + leaf;
}

std::string scratch_dir()
{
    std::string dir = scratch_dir_of(*testing::UnitTest::GetInstance()->current_test_info());
    mkdir(dir.c_str(), 0700);
    return dir;
}

// A test's scratch directory goes when the test ends, whatever its result, so a test run
// leaves nothing in the temporary directory.
namespace {

struct scratch_remover : testing::EmptyTestEventListener {
    void OnTestEnd(const testing::TestInfo& info) override
    {
        std::error_code ignored;
        std::filesystem::remove_all(scratch_dir_of(info), ignored);
    }
};

const bool scratch_remover_added = (testing::UnitTest::GetInstance()->listeners().Append(new scratch_remover), true);

}  // namespace

std::string scratch_file(const std::string& name, const std::vector<std::uint8_t>& bytes)
{
    std::string path = scratch_dir() + "/" + name;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!bytes.empty())
        std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
    return path;
}

std::vector<std::uint8_t> pattern_bytes(std::size_t count, unsigned seed)
{
    std::vector<std::uint8_t> bytes(count);
    unsigned state = seed * 2654435761u + 12345;
    for (std::uint8_t& byte : bytes) {
        state = state * 1103515245u + 12345;
        byte = static_cast<std::uint8_t>(state >> 16);
    }
    return bytes;
}

std::vector<std::uint8_t> full_run_flash()
{
    std::vector<std::uint8_t> bytes = pattern_bytes(2048, 5);
    for (std::size_t i = 0; i < bytes.size(); i += 2)
        if (bytes[i] == 0xFF && bytes[i + 1] == 0xFF)
            bytes[i] = 0x00;
    return bytes;
}

std::vector<std::uint8_t> full_run_eeprom()
{
    return pattern_bytes(127, 9);
}

std::uint64_t nominal_wait_ms(const std::uint8_t f[4], chip_part part)
{
    bool tiny = part == part_attiny2313;
    switch (f[0]) {
    case 0x40: return tiny ? 0 : 8;
    case 0x48: return tiny ? 1 : 8;
    case 0x4C: case 0xC0: return 8;
    case 0xAC:
        if (f[1] == 0x53)
            return 60 + 8;       // reset released and held, then the echo
        if (f[1] == 0x80)
            return 60 + 30;      // the erase, then reset released
        return 30;               // fuses and lock bits
    }
    return 0;
}
