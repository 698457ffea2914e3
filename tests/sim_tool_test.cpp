// isp2313-sim as a user runs it (a child process on the example images), its state file,
// and its VCD file read back against the simulated platform's own trace.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include "tests/lifecycle.h"
#include "tools/state_file.h"
#include "tools/vcd.h"

extern char** environ;

static const std::string tool = ISP2313_SIM_TOOL;
static const std::string flash_example = std::string(EXAMPLES_DIR) + "/blink/blink.flash.bin";
static const std::string eeprom_example = std::string(EXAMPLES_DIR) + "/blink/blink.eeprom.bin";

static std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

static void write_file(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

struct tool_result {
    int         status;
    std::string out, err;
};

static tool_result run_tool(const std::vector<std::string>& args)
{
    std::string out_path = scratch_dir() + "/stdout", err_path = scratch_dir() + "/stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> words = {tool};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    pid_t child = 0;
    tool_result result{-1, "", ""};
    if (posix_spawn(&child, tool.c_str(), &actions, nullptr, argv.data(), environ) == 0) {
        int wait_status = 0;
        waitpid(child, &wait_status, 0);
        result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    return result;
}

static std::string counts(const char* format, int last)
{
    std::string text;
    for (int i = 1; i <= last; ++i) {
        char line[32];
        std::snprintf(line, sizeof line, format, static_cast<unsigned>(i));
        text += line;
    }
    return text;
}

// What isp2313 prints for a run that succeeds at the first attempt of each pass.
static std::string expected_stdout(chip_part part, std::size_t flash_bytes, std::size_t eeprom_file_bytes, bool locked_path)
{
    std::string out = locked_path ? ">>> Device LOCK\n>>> Device Erase\n" : "";
    out += part == part_attiny2313 ? "\n>>> Device  ATTINY2313 <<<\n" : "\n>>> Device  AT90S2313 <<<\n";
    int words = static_cast<int>(flash_bytes / 2);
    out += "\nFlash Attempt =   1\n" + counts("Program %4u\r", words) + "\n" + counts("Verify  %4u\r", words) + "\nFlash Ok\n";
    int bytes = static_cast<int>(eeprom_file_bytes) + 1;
    out += "EEPROM Attempt = 1\n" + counts("Program %3u\r", bytes) + counts("Verify  %4u\r", bytes) + "\nERROR Ok\n";
    if (part == part_attiny2313)
        out += "Write Fuse Low\nWrite Fuse High\n";
    return out + "Write Lock Bits\n";
}

static chip_state state_in(const std::string& path)
{
    chip_state state{};
    std::string error;
    EXPECT_TRUE(state_parse(read_file(path), state, error)) << error;
    return state;
}

static std::vector<std::string> example_operands()
{
    return {"1", flash_example, eeprom_example};
}

static std::vector<std::string> with(std::vector<std::string> options, const std::vector<std::string>& operands)
{
    options.insert(options.end(), operands.begin(), operands.end());
    return options;
}

struct ExampleOnChip : testing::TestWithParam<chip_part> {};

// A second run finds the chip locked: the AT90S2313 hides its signature and is erased by
// identification; the ATtiny2313 still names itself and the flash pass erases it.
TEST_P(ExampleOnChip, ProgramsTheImagesKeepsThemInTheStateAndReprogramsTheLockedChip)
{
    chip_part part = GetParam();
    std::string flash = read_file(flash_example), eeprom = read_file(eeprom_example);
    std::string state_path = scratch_dir() + "/chip.state";
    std::vector<std::string> args = with({"--chip", chip_option_name(part), "--state", state_path}, example_operands());

    tool_result first = run_tool(args);
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(first.out, expected_stdout(part, flash.size(), eeprom.size(), false));
    EXPECT_EQ(first.err, "");
    chip_state state = state_in(state_path);
    EXPECT_EQ(state.part, part);
    for (std::size_t i = 0; i < sizeof state.flash; ++i)
        ASSERT_EQ(state.flash[i], i < flash.size() ? static_cast<std::uint8_t>(flash[i]) : 0xFF) << "flash byte " << i;
    for (std::size_t i = 0; i < sizeof state.eeprom; ++i) {
        std::uint8_t expected = i == 0 ? static_cast<std::uint8_t>(eeprom.size())
                              : i <= eeprom.size() ? static_cast<std::uint8_t>(eeprom[i - 1]) : 0xFF;
        ASSERT_EQ(state.eeprom[i], expected) << "EEPROM byte " << i;
    }
    bool tiny = part == part_attiny2313;
    EXPECT_EQ(state.fuse_low, tiny ? 0xEF : 0x64);
    EXPECT_EQ(state.fuse_high, 0xDF);
    EXPECT_EQ(state.fuse_extended, 0xFF);
    EXPECT_EQ(state.lock_bits, 0xFC);
    std::string first_state = read_file(state_path);

    tool_result second = run_tool(args);
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.out, expected_stdout(part, flash.size(), eeprom.size(), !tiny));
    EXPECT_EQ(read_file(state_path), first_state);
}

INSTANTIATE_TEST_SUITE_P(BothChips, ExampleOnChip, testing::Values(part_attiny2313, part_at90s2313),
                         [](const testing::TestParamInfo<chip_part>& chip_info) { return std::string(chip_option_name(chip_info.param)); });

TEST(SimTool, LockedAbsentFaultyAndOutOfStepChips)
{
    std::size_t flash = read_file(flash_example).size(), eeprom = read_file(eeprom_example).size();
    tool_result locked = run_tool(with({"--chip", "at90s2313", "--locked"}, example_operands()));
    EXPECT_EQ(locked.status, 0);
    EXPECT_EQ(locked.out, expected_stdout(part_at90s2313, flash, eeprom, true));

    // A clock too slow for the program's still takes the bits when the chip only counts.
    std::vector<std::vector<std::string>> silent = {{"--no-chip"}, {"--miso-stuck", "0"}, {"--miso-stuck", "1"},
        {"--mosi-miso-bridged"}, {"--no-clock"}, {"--slow-clock"}, {"--chip", "at90s2313", "--xtal", "0"}};
    for (const std::vector<std::string>& options : silent) {
        tool_result absent = run_tool(with(options, example_operands()));
        EXPECT_EQ(absent.status, 33) << options[0];
        EXPECT_EQ(absent.out, ">>> Not synchronization\n") << options[0];
    }
    tool_result lenient = run_tool(with({"--slow-clock", "--lenient-timing"}, example_operands()));
    EXPECT_EQ(lenient.status, 0);

    for (const char* bits : {"1", "17", "31"}) {
        tool_result late = run_tool(with({"--out-of-step", bits}, example_operands()));
        EXPECT_EQ(late.status, 0) << bits;
        EXPECT_EQ(late.out, expected_stdout(part_attiny2313, flash, eeprom, false)) << bits;
    }
}

TEST(SimTool, OperandsAreTheProgramsOwn)
{
    for (const std::vector<std::string>& operands : {std::vector<std::string>{}, {"--", "3", "x"}, {"-1", "x"}}) {
        tool_result r = run_tool(operands);
        EXPECT_EQ(r.status, 33);
        EXPECT_EQ(r.out, "1[2] FLASH [EEPROM]\n");
        EXPECT_EQ(r.err, "");
    }
    tool_result missing = run_tool({"2", scratch_dir() + "/none.bin"});
    EXPECT_EQ(missing.status, 33);
    EXPECT_EQ(missing.out, "\n>>> Device  ATTINY2313 <<<\n>>> File Flash Not Found\n");
}

TEST(SimTool, HelpGoesToStandardOutput)
{
    tool_result r = run_tool({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("--state FILE"), std::string::npos);
    EXPECT_EQ(r.err, "");
}

// Without its comments the dump is the state file, word for word.
TEST(SimTool, DumpIsTheStateWithComments)
{
    std::string state_path = scratch_dir() + "/chip.state";
    tool_result r = run_tool(with({"--dump", "--state", state_path}, example_operands()));
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("# locked: yes"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\n# clock during the run: 1 MHz; from the next reset: 8 MHz, crystal\n"), std::string::npos)
        << "the fuse written in the run selects the crystal, which the run itself never ran on";
    std::istringstream lines(r.err);
    std::string line, uncommented;
    while (std::getline(lines, line))
        if (line.empty() || line[0] != '#')
            uncommented += line + "\n";
    EXPECT_EQ(uncommented, read_file(state_path));
}

TEST(SimTool, RealTimeLastsAsLongAsTheVirtualClock)
{
    std::string empty = scratch_file("empty.bin", {});
    auto started = std::chrono::steady_clock::now();
    tool_result r = run_tool({"--real-time", "--dump", "1", empty});
    double wall_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    ASSERT_EQ(r.status, 0);
    double virtual_ms = 0;
    ASSERT_EQ(std::sscanf(r.err.c_str(), "# the ATtiny2313 after the run, at %lf ms", &virtual_ms), 1) << r.err;
    EXPECT_GT(virtual_ms, 100.0);
    EXPECT_GE(wall_ms, virtual_ms - 1.0);
}

struct RefusedOption {
    std::vector<std::string> options;
    const char*              says;
};

void PrintTo(const RefusedOption& refused, std::ostream* out);
void PrintTo(const RefusedOption& refused, std::ostream* out) { *out << refused.says; }

struct RefusedOptions : testing::TestWithParam<RefusedOption> {};

// The state file of an earlier run stays exactly as it was: the run never starts.
TEST_P(RefusedOptions, ClearMessageStatusTwoStateUntouched)
{
    std::string state_path = scratch_dir() + "/chip.state";
    ASSERT_EQ(run_tool(with({"--state", state_path}, example_operands())).status, 0);
    std::string before = read_file(state_path);
    std::vector<std::string> options = GetParam().options;
    for (std::string& option : options)
        if (option.find("STATE") != std::string::npos)
            option.replace(option.find("STATE"), 5, state_path);
    tool_result r = run_tool(with(options, example_operands()));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("isp2313-sim: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(GetParam().says), std::string::npos) << r.err;
    EXPECT_EQ(read_file(state_path), before);
}

INSTANTIATE_TEST_SUITE_P(SimTool, RefusedOptions, testing::Values(
    RefusedOption{{"--chip", "atmega8", "--state", "STATE"}, "--chip takes attiny2313 or at90s2313"},
    RefusedOption{{"--state", "STATE", "--chip"}, "--chip takes attiny2313 or at90s2313, not \"1\""},
    RefusedOption{{"--state", "STATE", "--chip", "--dump"}, "--chip needs a value"},
    RefusedOption{{"--out-of-step", "32", "--state", "STATE"}, "--out-of-step takes a number of bits from 0 to 31"},
    RefusedOption{{"--out-of-step=-1", "--state", "STATE"}, "--out-of-step takes"},
    RefusedOption{{"--out-of-step", "x", "--state", "STATE"}, "--out-of-step takes"},
    RefusedOption{{"--state", "STATE", "--bogus"}, "unknown option --bogus"},
    RefusedOption{{"--xtal", "8MHz", "--state", "STATE"}, "--xtal takes a frequency in Hz from 0 to 20000000, not \"8MHz\""},
    RefusedOption{{"--xtal", "20000001", "--state", "STATE"}, "--xtal takes a frequency in Hz"},
    RefusedOption{{"--miso-stuck", "2", "--state", "STATE"}, "--miso-stuck takes 0 or 1, not \"2\""},
    RefusedOption{{"--no-clock=yes", "--state", "STATE"}, "--no-clock takes no value"},
    RefusedOption{{"--dump=yes", "--state", "STATE"}, "--dump takes no value"},
    RefusedOption{{"--state", "STATE", "--state", "STATE"}, "--state is given twice"},
    RefusedOption{{"--state=", "--dump"}, "--state needs a file name"},
    RefusedOption{{"--state", "STATE", "--chip", "at90s2313"}, "holds an ATtiny2313, not the AT90S2313"},
    RefusedOption{{"--state", "STATE", "--vcd", "/nonexistent/run.vcd"}, "cannot write /nonexistent/run.vcd"},
    RefusedOption{{"--state", "/nonexistent/chip.state"}, "cannot write in /nonexistent"}));

struct CorruptState {
    const char* name;
    std::string (*corrupt)(std::string);
    const char* says;
};

static std::string replace_line(std::string text, const std::string& start, const std::string& line)
{
    std::size_t at = text.find("\n" + start) + 1;
    return text.replace(at, text.find('\n', at) - at, line);
}

void PrintTo(const CorruptState& corrupt, std::ostream* out);
void PrintTo(const CorruptState& corrupt, std::ostream* out) { *out << corrupt.name; }

struct CorruptStates : testing::TestWithParam<CorruptState> {};

TEST_P(CorruptStates, AreRefusedAndLeftAlone)
{
    std::string state_path = scratch_dir() + "/chip.state";
    ASSERT_EQ(run_tool(with({"--state", state_path}, example_operands())).status, 0);
    std::string corrupt = GetParam().corrupt(read_file(state_path));
    write_file(state_path, corrupt);
    tool_result r = run_tool(with({"--state", state_path}, example_operands()));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("isp2313-sim: state file " + state_path + " refused: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(GetParam().says), std::string::npos) << r.err;
    EXPECT_EQ(read_file(state_path), corrupt);
}

INSTANTIATE_TEST_SUITE_P(SimTool, CorruptStates, testing::Values(
    CorruptState{"Empty", [](std::string) { return std::string(); }, "ends early: expected \"isp2313-sim state 1\""},
    CorruptState{"OtherVersion", [](std::string text) { return "isp2313-sim state 2" + text.substr(text.find('\n')); }, "line 1: expected \"isp2313-sim state 1\""},
    CorruptState{"Binary", [](std::string text) { return text.replace(40, 1, 1, '\0'); }, "not a text file"},
    CorruptState{"UnknownPart", [](std::string text) { return replace_line(text, "part", "part atmega8"); }, "line 2: expected \"part attiny2313\""},
    CorruptState{"FuseMissing", [](std::string text) { return replace_line(text, "fuse-high", "# no fuse"); }, "expected \"fuse-high XX\""},
    CorruptState{"BadHex", [](std::string text) { return replace_line(text, "0010:", "0010: 10 c0 0f c0 0e c0 0d c0  0c c0 0b c0 0a c0 09 cg"); }, "\"cg\" is not a byte"},
    CorruptState{"ShortLine", [](std::string text) { return replace_line(text, "0010:", "0010: 10 c0"); }, "expected 16 bytes after 0010:"},
    CorruptState{"Gap", [](std::string text) { return replace_line(text, "0010:", "# gone"); }, "address 0020 out of place in the flash section, expected 0010"},
    CorruptState{"StarFirst", [](std::string text) { return text.insert(text.find("flash\n") + 6, "*\n"); }, "\"*\" must follow a line of bytes"},
    CorruptState{"FlashTooLong", [](std::string text) { return replace_line(text, "0800", "0810"); }, "address 0810 out of place in the flash section"},
    CorruptState{"NoEeprom", [](std::string text) { return text.substr(0, text.find("eeprom")); }, "ends early: expected the line \"eeprom\""},
    CorruptState{"Trailing", [](std::string text) { return text + "flash\n"; }, "nothing may follow the eeprom section"}),
    [](const testing::TestParamInfo<CorruptState>& case_info) { return std::string(case_info.param.name); });

TEST(SimToolState, DirectoryInPlaceOfTheFileIsRefused)
{
    std::string path = scratch_dir() + "/chip.state";
    mkdir(path.c_str(), 0700);
    tool_result r = run_tool(with({"--state", path}, example_operands()));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("not a regular file"), std::string::npos) << r.err;
}

TEST(StateText, RoundTripsWithRepeatedLines)
{
    chip_state state = state_new(part_at90s2313);
    std::vector<std::uint8_t> pattern = pattern_bytes(sizeof state.flash);
    std::copy(pattern.begin(), pattern.begin() + 300, state.flash + 500);
    std::fill(state.flash + 1024, state.flash + 1100, 0x00);
    state.eeprom[127] = 0x42;
    state.lock_bits = 0xFE;
    std::string text = state_text(state);
    chip_state back{};
    std::string error;
    ASSERT_TRUE(state_parse(text, back, error)) << error;
    EXPECT_EQ(back.part, state.part);
    EXPECT_EQ(back.lock_bits, 0xFE);
    EXPECT_EQ(std::memcmp(back.flash, state.flash, sizeof state.flash), 0);
    EXPECT_EQ(std::memcmp(back.eeprom, state.eeprom, sizeof state.eeprom), 0);
    EXPECT_EQ(state_text(back), text);
}

// --- The VCD file against the platform's trace ---

struct wire_change {
    std::uint64_t t_ns;
    std::string   signal;
    bool          value;
    bool operator==(const wire_change& o) const { return t_ns == o.t_ns && signal == o.signal && value == o.value; }
};

// A small VCD reader: one-character ids, the time scale in ns, values 0 and 1.
static std::vector<wire_change> read_vcd(const std::string& path, std::map<std::string, bool>& start)
{
    std::ifstream in(path);
    std::map<char, std::string> names;
    std::vector<wire_change> changes;
    std::uint64_t unit = 1, t = 0;
    bool dumpvars = false;
    for (std::string word; in >> word;) {
        if (word == "$timescale") {
            std::string number, scale;
            in >> number >> scale;
            unit = std::stoull(number) * (scale == "us" ? 1000 : scale == "ms" ? 1000000 : 1);
        } else if (word == "$var") {
            std::string type, width, id, name;
            in >> type >> width >> id >> name;
            names[id[0]] = name;
        } else if (word == "$dumpvars" || word == "$end") {
            dumpvars = word == "$dumpvars";
        } else if (word[0] == '#') {
            dumpvars = false;
            t = std::stoull(word.substr(1)) * unit;
        } else if ((word[0] == '0' || word[0] == '1') && word.size() == 2 && names.count(word[1])) {
            if (dumpvars)
                start[names[word[1]]] = word[0] == '1';
            else
                changes.push_back({t, names[word[1]], word[0] == '1'});
        }
    }
    return changes;
}

// The chip's pins as the platform's trace of port calls says they were driven.
static std::vector<wire_change> trace_changes(std::map<std::string, bool> level)
{
    std::vector<wire_change> changes;
    for (const sim_event& event : sim.trace) {
        std::string pin = event.line == sim_break ? "SCK" : event.line == sim_dtr ? "MOSI" : event.line == sim_rts ? "RESET" : "";
        bool value = event.line == sim_break ? event.value : !event.value;
        if (pin.empty() || level[pin] == value)
            continue;
        level[pin] = value;
        changes.push_back({event.t_ns, pin, value});
    }
    return changes;
}

static std::vector<wire_change> only(const std::vector<wire_change>& changes, std::initializer_list<const char*> pins)
{
    std::vector<wire_change> kept;
    for (const wire_change& c : changes)
        for (const char* pin : pins)
            if (c.signal == pin)
                kept.push_back(c);
    return kept;
}

// Bytes clocked while RESET is low, MOSI and MISO taken at each rising SCK edge; a
// partial byte before RESET rises is dropped, as a logic analyser's SPI decoder does.
static std::vector<std::pair<std::uint8_t, std::uint8_t>> decode_bytes(const std::vector<wire_change>& changes,
                                                                     std::map<std::string, bool> level)
{
    std::vector<std::pair<std::uint8_t, std::uint8_t>> bytes;
    int bits = 0;
    unsigned mosi = 0, miso = 0;
    for (std::size_t i = 0; i < changes.size(); ++i) {
        const wire_change& c = changes[i];
        level[c.signal] = c.value;
        if (c.signal == "RESET")
            bits = 0;
        if (c.signal != "SCK" || !c.value || level["RESET"])
            continue;
        mosi = (mosi << 1 | level["MOSI"]) & 0xFF;
        miso = (miso << 1 | level["MISO"]) & 0xFF;
        if (++bits % 8 == 0)
            bytes.push_back({static_cast<std::uint8_t>(mosi), static_cast<std::uint8_t>(miso)});
    }
    return bytes;
}

TEST(Vcd, ReadsBackAsTheTraceAndTheChipsFrames)
{
    fresh_bench(part_attiny2313);
    std::string vcd_path = scratch_dir() + "/run.vcd";
    std::string error;
    ASSERT_TRUE(vcd_start(vcd_path, error)) << error;
    run_result r = run_program(example_operands());
    ASSERT_TRUE(vcd_finish(error)) << error;
    ASSERT_EQ(r.status, 0);

    std::map<std::string, bool> start;
    std::vector<wire_change> vcd = read_vcd(vcd_path, start);
    EXPECT_EQ((std::map<std::string, bool>{{"SCK", false}, {"MOSI", true}, {"MISO", true}, {"RESET", true},
                                          {"BREAK", false}, {"DTR", false}, {"DSR", false}, {"RTS", false}}), start);
    std::vector<wire_change> driven = trace_changes(start);
    ASSERT_EQ(only(vcd, {"SCK", "MOSI", "RESET"}), driven);

    // Each DSR reading of the program sees the level the VCD gives MISO at that time.
    std::vector<wire_change> miso = only(vcd, {"MISO"});
    std::size_t next = 0;
    bool level = start["MISO"];
    long readings = 0;
    for (const sim_event& event : sim.trace) {
        if (event.line != sim_dsr)
            continue;
        for (; next < miso.size() && miso[next].t_ns <= event.t_ns; ++next)
            level = miso[next].value;
        ASSERT_EQ(event.value, !level) << "DSR read at " << event.t_ns << " ns";
        ++readings;
    }
    EXPECT_GT(readings, 1000);

    std::vector<std::pair<std::uint8_t, std::uint8_t>> bytes = decode_bytes(vcd, start);
    ASSERT_EQ(bytes.size(), 4 * frames.size());
    for (std::size_t f = 0; f < frames.size(); ++f) {
        for (int b = 0; b < 4; ++b)
            ASSERT_EQ(bytes[4 * f + b].first, frames[f].bytes[b]) << "frame " << f << " byte " << b;
        ASSERT_EQ(bytes[4 * f + 3].second, frames[f].answer) << "frame " << f;
    }
    EXPECT_EQ(frames[0].bytes[0], 0xAC);
    EXPECT_EQ(bytes[2].second, 0x53);
}

static std::vector<unsigned> sigrok_bytes(const std::string& vcd_path, const char* annotation)
{
    std::string command = std::string(SIGROK_CLI) + " -I vcd -i '" + vcd_path
        + "' -P spi:clk=SCK:mosi=MOSI:miso=MISO:cs=RESET:cs_polarity=active-low -A spi=" + annotation + " 2>&1";
    std::vector<unsigned> bytes;
    std::FILE* pipe = popen(command.c_str(), "r");
    char line[256];
    while (pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr) {
        unsigned byte = 0;
        if (std::sscanf(line, "spi-1: %x", &byte) == 1)
            bytes.push_back(byte);
    }
    if (pipe != nullptr)
        pclose(pipe);
    return bytes;
}

TEST(Vcd, DecodesWithSigrokSpi)
{
    if (*SIGROK_CLI == '\0')
        GTEST_SKIP() << "sigrok-cli was not found when the build was configured";
    std::string vcd_path = scratch_dir() + "/run.vcd";
    ASSERT_EQ(run_tool(with({"--vcd", vcd_path}, example_operands())).status, 0);
    std::vector<unsigned> mosi = sigrok_bytes(vcd_path, "mosi-data");
    std::vector<unsigned> miso = sigrok_bytes(vcd_path, "miso-data");
    // Programming Enable with its echo, then Read Signature Byte 2, 1 and 0.
    std::vector<unsigned> sent = {0xAC, 0x53, 0xFF, 0x00, 0x30, 0x00, 0x02, 0x00, 0x30, 0x00, 0x01, 0xFF, 0x30, 0x00, 0x00};
    ASSERT_GE(mosi.size(), sent.size());
    ASSERT_GE(miso.size(), 16u);
    EXPECT_EQ(std::vector<unsigned>(mosi.begin(), mosi.begin() + 15), sent);
    EXPECT_EQ(miso[2], 0x53u);
    EXPECT_EQ(miso[7], 0x0Au);
    EXPECT_EQ(miso[11], 0x91u);
    EXPECT_EQ(miso[15], 0x1Eu);
}
