// The programming bus as a Value Change Dump: the chip's pins as logic levels, the port's
// lines as set (1) or clear (0). MISO is read back from the chip after each event.
#include "tools/vcd.h"
#include <cerrno>
#include <cstdio>
#include <cstring>
#include "sim/chip.h"
#include "sim/os_sim.h"

enum vcd_signal { vcd_sck, vcd_mosi, vcd_miso, vcd_reset, vcd_break, vcd_dtr, vcd_dsr, vcd_rts, vcd_signals };

struct vcd_variable {
    const char* scope;
    const char* name;
    char        id;
};

static const vcd_variable variables[vcd_signals] = {
    {"chip", "SCK", 'S'},   {"chip", "MOSI", 'O'}, {"chip", "MISO", 'I'}, {"chip", "RESET", 'R'},
    {"port", "BREAK", 'b'}, {"port", "DTR", 'd'},  {"port", "DSR", 's'},  {"port", "RTS", 'r'},
};

static std::FILE*    vcd_file = nullptr;
static std::uint64_t vcd_unit_ns = 1;
static std::uint64_t vcd_written_time = 0;
static std::uint64_t vcd_last_event_ns = 0;
static bool          vcd_values[vcd_signals];

static std::uint64_t gcd(std::uint64_t a, std::uint64_t b)
{
    while (b != 0) {
        std::uint64_t r = a % b;
        a = b;
        b = r;
    }
    return a;
}

// Virtual time only ever advances by these steps, so every event falls on the unit's grid.
static std::uint64_t time_unit_ns()
{
    std::uint64_t steps = gcd(gcd(sim.counter_read_ns, sim.ticks_read_ns), gcd(sim.line_call_ns, sim.now_ns));
    std::uint64_t unit = 1;
    while (steps != 0 && steps % (unit * 10) == 0 && unit < 100000000)
        unit *= 10;
    return unit;
}

static const char* unit_text(std::uint64_t unit_ns)
{
    static const char* const names[] = {"1 ns", "10 ns", "100 ns", "1 us", "10 us", "100 us",
                                        "1 ms", "10 ms", "100 ms"};
    int power = 0;
    for (std::uint64_t u = unit_ns; u >= 10; u /= 10)
        ++power;
    return names[power];
}

static void change(vcd_signal signal, bool value, std::uint64_t t_ns)
{
    if (vcd_values[signal] == value)
        return;
    std::uint64_t t = t_ns / vcd_unit_ns;
    if (t != vcd_written_time) {
        std::fprintf(vcd_file, "#%llu\n", static_cast<unsigned long long>(t));
        vcd_written_time = t;
    }
    vcd_values[signal] = value;
    std::fprintf(vcd_file, "%c%c\n", value ? '1' : '0', variables[signal].id);
}

// The chip drives MISO in response to the previous event, which the platform reports
// before handing it to the chip; so the chip's answer is taken at the next event.
static void catch_up_miso()
{
    bool miso = chip_line_miso();
    change(vcd_miso, miso, vcd_last_event_ns);
    change(vcd_dsr, !miso, vcd_last_event_ns);
}

static void on_line_event(const sim_event& event)
{
    catch_up_miso();
    switch (event.line) {
    case sim_break:
        change(vcd_break, event.value, event.t_ns);
        change(vcd_sck, event.value, event.t_ns);
        break;
    case sim_dtr:
        change(vcd_dtr, event.value, event.t_ns);
        change(vcd_mosi, !event.value, event.t_ns);
        break;
    case sim_rts:
        change(vcd_rts, event.value, event.t_ns);
        change(vcd_reset, !event.value, event.t_ns);
        break;
    default:
        break;
    }
    vcd_last_event_ns = event.t_ns;
}

bool vcd_start(const std::string& path, std::string& error)
{
    vcd_file = std::fopen(path.c_str(), "w");
    if (vcd_file == nullptr) {
        error = std::strerror(errno);
        return false;
    }
    vcd_unit_ns = time_unit_ns();
    vcd_last_event_ns = sim.now_ns;
    vcd_written_time = sim.now_ns / vcd_unit_ns;
    // A closed port: break off, DTR and RTS clear; the chip's pins follow from them.
    bool miso = chip_line_miso();
    const bool start[vcd_signals] = {false, true, miso, true, false, false, !miso, false};
    std::fprintf(vcd_file, "$comment isp2313-sim: the programming bus, chip pins and serial port lines $end\n");
    std::fprintf(vcd_file, "$timescale %s $end\n", unit_text(vcd_unit_ns));
    const char* scope = nullptr;
    for (const vcd_variable& variable : variables) {
        if (scope == nullptr || std::strcmp(scope, variable.scope) != 0) {
            if (scope != nullptr)
                std::fprintf(vcd_file, "$upscope $end\n");
            scope = variable.scope;
            std::fprintf(vcd_file, "$scope module %s $end\n", scope);
        }
        std::fprintf(vcd_file, "$var wire 1 %c %s $end\n", variable.id, variable.name);
    }
    std::fprintf(vcd_file, "$upscope $end\n$enddefinitions $end\n#%llu\n$dumpvars\n",
                 static_cast<unsigned long long>(vcd_written_time));
    for (int signal = 0; signal < vcd_signals; ++signal) {
        vcd_values[signal] = start[signal];
        std::fprintf(vcd_file, "%c%c\n", start[signal] ? '1' : '0', variables[signal].id);
    }
    std::fprintf(vcd_file, "$end\n");
    sim.on_event = on_line_event;
    return true;
}

// A last time stamp at the end of the run, so viewers show the lines' final stretch.
bool vcd_finish(std::string& error)
{
    if (vcd_file == nullptr)
        return true;
    sim.on_event = nullptr;
    catch_up_miso();
    std::uint64_t end = sim.now_ns / vcd_unit_ns;
    if (end > vcd_written_time)
        std::fprintf(vcd_file, "#%llu\n", static_cast<unsigned long long>(end));
    bool ok = std::ferror(vcd_file) == 0;
    ok = std::fclose(vcd_file) == 0 && ok;
    vcd_file = nullptr;
    if (!ok)
        error = "write error";
    return ok;
}
