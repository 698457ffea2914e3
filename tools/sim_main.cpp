// isp2313-sim: the isp2313 run on the simulated platform and a virtual chip, with the
// chip kept in a state file, dumped, traced to a VCD file or paced to the wall clock.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>
#include "run/run.h"
#include "sim/chip.h"
#include "sim/os_sim.h"
#include "tools/host.h"
#include "tools/state_file.h"
#include "tools/vcd.h"

constexpr int exit_tool_error = 2;
constexpr std::uint64_t real_time_step_ns = 1000000;

static const char usage_text[] =
    "usage: isp2313-sim [OPTION]... [--] 1[2] FLASH [EEPROM]\n"
    "Runs isp2313 with a virtual AT90S2313 or ATtiny2313 in place of the serial port.\n"
    "The operands, the standard output and the exit status (0 or 33) are isp2313's;\n"
    "this tool's own messages go to standard error, and it exits with 2 when it\n"
    "refuses an option or a file.\n"
    "\n"
    "  --chip CHIP        attiny2313 or at90s2313 (default: the state file's chip,\n"
    "                     else attiny2313)\n"
    "  --no-chip          nothing on the port: no answer to any instruction\n"
    "  --locked           the chip starts with its lock bits programmed (mode 3)\n"
    "  --out-of-step K    the chip counts its frames K bits (0-31) behind the program\n"
    "  --state FILE       keep the chip's flash, EEPROM, fuses and lock bits in FILE\n"
    "  --dump             after the run, print the chip's state on standard error\n"
    "  --vcd FILE         write the bus as a Value Change Dump to FILE\n"
    "  --real-time        pace the virtual clock to the wall clock\n"
    "  --xtal HZ          the crystal fitted to the chip, 0 to 20000000 Hz (default\n"
    "                     8000000; 0: none)\n"
    "  --lenient-timing   count clock phases too short and MOSI changes too late,\n"
    "                     but let the chip take the bits all the same\n"
    "  --miso-stuck 0|1   MISO held low or high, whatever the chip does\n"
    "  --mosi-miso-bridged  MISO repeats MOSI\n"
    "  --no-clock         the chip's oscillator does not run\n"
    "  --slow-clock       the chip runs at 128 kHz, whatever its fuses and crystal\n"
    "  --help             print this help and exit\n";

struct tool_options {
    bool        chip_given = false;
    chip_part   part = part_attiny2313;
    bool        no_chip = false;
    bool        locked = false;
    int         out_of_step = 0;
    std::uint32_t xtal_hz = chip_default_xtal_hz;
    bool        lenient_timing = false;
    int         miso_stuck = -1;
    bool        mosi_miso_bridged = false;
    bool        no_clock = false;
    bool        slow_clock = false;
    std::string state_path;
    bool        dump = false;
    std::string vcd_path;
    bool        real_time = false;
    bool        help = false;
};

static int tool_error(const std::string& message)
{
    std::fprintf(stderr, "isp2313-sim: %s\n", message.c_str());
    return exit_tool_error;
}

static bool parse_out_of_step(const std::string& text, int& bits)
{
    if (text.empty() || text.size() > 2 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    bits = std::atoi(text.c_str());
    return bits <= 31;
}

constexpr std::uint32_t fastest_xtal_hz = 20000000;

static bool parse_hz(const std::string& text, std::uint32_t& hz)
{
    if (text.empty() || text.size() > 8 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    hz = static_cast<std::uint32_t>(std::atol(text.c_str()));
    return hz <= fastest_xtal_hz;
}

static bool takes_value(const std::string& name)
{
    return name == "chip" || name == "out-of-step" || name == "state" || name == "vcd" || name == "xtal"
        || name == "miso-stuck";
}

static bool set_value(tool_options& options, const std::string& name, const std::string& value, std::string& error)
{
    if (name == "chip" && !parse_chip_name(value, options.part)) {
        error = "--chip takes attiny2313 or at90s2313, not \"" + value + "\"";
        return false;
    }
    if (name == "out-of-step" && !parse_out_of_step(value, options.out_of_step)) {
        error = "--out-of-step takes a number of bits from 0 to 31, not \"" + value + "\"";
        return false;
    }
    if (name == "xtal" && !parse_hz(value, options.xtal_hz)) {
        error = "--xtal takes a frequency in Hz from 0 to 20000000, not \"" + value + "\"";
        return false;
    }
    if (name == "miso-stuck" && value != "0" && value != "1") {
        error = "--miso-stuck takes 0 or 1, not \"" + value + "\"";
        return false;
    }
    if (name == "miso-stuck")
        options.miso_stuck = value == "1";
    if ((name == "state" || name == "vcd") && value.empty()) {
        error = "--" + name + " needs a file name";
        return false;
    }
    options.chip_given = options.chip_given || name == "chip";
    if (name == "state")
        options.state_path = value;
    if (name == "vcd")
        options.vcd_path = value;
    return true;
}

static bool set_flag(tool_options& options, const std::string& name)
{
    if (name == "no-chip")
        options.no_chip = true;
    else if (name == "locked")
        options.locked = true;
    else if (name == "dump")
        options.dump = true;
    else if (name == "real-time")
        options.real_time = true;
    else if (name == "lenient-timing")
        options.lenient_timing = true;
    else if (name == "mosi-miso-bridged")
        options.mosi_miso_bridged = true;
    else if (name == "no-clock")
        options.no_clock = true;
    else if (name == "slow-clock")
        options.slow_clock = true;
    else if (name == "help")
        options.help = true;
    else
        return false;
    return true;
}

// The tool's options come first and start with "--"; the first other argument, or the
// argument after a lone "--", is the program's first operand. FIRST_OPERAND returns it.
static bool parse_options(int argc, char** argv, tool_options& options, int& first_operand, std::string& error)
{
    std::vector<std::string> seen;
    int i = 1;
    for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
        std::string word = argv[i];
        if (word == "--") {
            ++i;
            break;
        }
        std::size_t equals = word.find('=');
        std::string name = word.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
        for (const std::string& earlier : seen)
            if (earlier == name) {
                error = "--" + name + " is given twice";
                return false;
            }
        seen.push_back(name);
        if (takes_value(name)) {
            std::string value;
            if (equals != std::string::npos)
                value = word.substr(equals + 1);
            else if (i + 1 < argc && std::strncmp(argv[i + 1], "--", 2) != 0)
                value = argv[++i];
            else {
                error = "--" + name + " needs a value";
                return false;
            }
            if (!set_value(options, name, value, error))
                return false;
        } else if (equals != std::string::npos && set_flag(options, name)) {
            error = "--" + name + " takes no value";
            return false;
        } else if (!set_flag(options, name)) {
            error = "unknown option " + word + " (see --help)";
            return false;
        }
    }
    first_operand = i;
    return true;
}

// The chip of the state file, when there is one, else a new one; then the options.
static bool prepare_chip(const tool_options& options, std::string& error)
{
    chip_state state = state_new(options.part);
    if (!options.state_path.empty()) {
        std::string why;
        state_load_result loaded = state_load(options.state_path, state, why);
        if (loaded == state_refused) {
            error = "state file " + options.state_path + " refused: " + why;
            return false;
        }
        if (loaded == state_loaded && options.chip_given && state.part != options.part) {
            error = "state file " + options.state_path + " holds an " + chip_part_name(state.part)
                  + ", not the " + chip_part_name(options.part) + " that --chip asks for";
            return false;
        }
        if (!state_can_save(options.state_path, why)) {
            error = "state file " + options.state_path + ": " + why;
            return false;
        }
    }
    state_to_chip(state);
    chip.present = !options.no_chip;
    chip.lenient_timing = options.lenient_timing;
    chip.out_of_step = options.out_of_step;
    chip.xtal_hz = options.xtal_hz;
    chip.faults.miso_stuck = options.miso_stuck;
    chip.faults.mosi_miso_bridged = options.mosi_miso_bridged;
    chip.faults.no_clock = options.no_clock;
    chip.faults.slow_clock = options.slow_clock;
    if (options.locked)
        chip.lock_bits &= 0xFC;
    chip.clock_hz = chip_selected_clock_hz();   // the clock it powers up with
    return true;
}

static std::chrono::steady_clock::time_point wall_start;
static std::uint64_t paced_until_ns = 0;

// Sleeps in steps of at least 1 ms of virtual time until the wall clock has caught up.
static void pace(std::uint64_t now_ns)
{
    if (now_ns < paced_until_ns + real_time_step_ns)
        return;
    paced_until_ns = now_ns;
    std::this_thread::sleep_until(wall_start + std::chrono::nanoseconds(now_ns));
}

static std::string frequency_text(std::uint32_t hz)
{
    char text[32];
    if (hz == 0)
        return "none";
    if (hz >= 1000000)
        std::snprintf(text, sizeof text, "%g MHz", hz / 1e6);
    else
        std::snprintf(text, sizeof text, "%g kHz", hz / 1e3);
    return text;
}

// The clock the chip ran on while last held in reset, and the one its fuses select now.
static std::string clock_text()
{
    const char* source = "";
    int divider = 1;
    std::uint32_t selected = chip_selected_clock_hz(&source, &divider);
    std::string now = frequency_text(selected) + ", " + source;
    if (divider > 1)
        now += " divided by " + std::to_string(divider);
    if (selected == 0 && (std::strcmp(source, "crystal") == 0 || std::strcmp(source, "external clock") == 0))
        now += ", none fitted (see --xtal)";
    if (selected == chip.clock_hz)
        return "# clock: " + now + "\n";
    return "# clock during the run: " + frequency_text(chip.clock_hz) + "; from the next reset: " + now + "\n";
}

static void dump_chip()
{
    const char* lock = chip_read_locked()  ? "locked: yes (flash and EEPROM can be neither read nor written until a Chip Erase)"
                     : chip_write_locked() ? "locked: no, but write-protected (LB1 programmed) until a Chip Erase"
                                           : "locked: no";
    std::fprintf(stderr, "# the %s after the run, at %.3f ms of virtual time\n%s", chip_part_name(chip.part),
                 static_cast<double>(sim.now_ns) / 1e6, clock_text().c_str());
    std::fprintf(stderr, "# timing: %ld short clock phases, %ld late MOSI changes, %ld reads while busy, "
                         "%ld instructions ignored while busy\n# %s\n",
                 chip.counts.short_phases, chip.counts.mosi_setup_violations, chip.counts.reads_while_busy,
                 chip.counts.ignored_busy, lock);
    if (chip.part == part_at90s2313)
        std::fprintf(stderr, "# (the AT90S2313 has no fuses that serial programming can reach)\n");
    std::fputs(state_text(state_of_chip()).c_str(), stderr);
}

int main(int argc, char** argv)
{
    tool_options options;
    int first_operand = 1;
    std::string error;
    if (!parse_options(argc, argv, options, first_operand, error))
        return tool_error(error);
    if (options.help) {
        std::fputs(usage_text, stdout);
        return 0;
    }
    sim_reset();
    sim.trace_enabled = false;
    if (!prepare_chip(options, error))
        return tool_error(error);
    if (!options.vcd_path.empty() && !vcd_start(options.vcd_path, error))
        return tool_error("cannot write " + options.vcd_path + ": " + error);
    if (options.real_time) {
        wall_start = std::chrono::steady_clock::now();
        sim.on_time = pace;
    }
    if (host_stdout_is_console())
        std::setvbuf(stdout, nullptr, _IONBF, 0);

    std::vector<char*> program_argv = {argv[0]};
    for (int i = first_operand; i < argc; ++i)
        program_argv.push_back(argv[i]);
    program_argv.push_back(nullptr);
    int status = run(static_cast<int>(program_argv.size()) - 1, program_argv.data());
    std::fflush(stdout);

    int tool_status = 0;
    if (!options.vcd_path.empty() && !vcd_finish(error))
        tool_status = tool_error("cannot write " + options.vcd_path + ": " + error);
    if (!options.state_path.empty() && !state_save(options.state_path, state_of_chip(), error))
        tool_status = tool_error("cannot write state file " + options.state_path + ": " + error);
    if (options.dump)
        dump_chip();
    return tool_status != 0 ? tool_status : status;
}
