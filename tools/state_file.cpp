// The chip's lasting state as text: a header of part, fuses and lock bits, then flash
// and EEPROM as hex dump sections in which "*" stands for repeats of the line before.
#include "tools/state_file.h"
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>
#include "tools/host.h"

constexpr const char* state_magic = "isp2313-sim state 1";
constexpr int dump_line_bytes = 16;
// Far above any state this tool writes; a larger file is not read at all.
constexpr long state_file_limit = 1 << 20;

chip_state state_new(chip_part part)
{
    chip_new(part);
    return state_of_chip();
}

chip_state state_of_chip()
{
    chip_state state{};
    state.part = chip.part;
    state.fuse_low = chip.fuse_low;
    state.fuse_high = chip.fuse_high;
    state.fuse_extended = chip.fuse_extended;
    state.lock_bits = chip.lock_bits;
    for (int i = 0; i < chip_flash_words; ++i) {
        state.flash[2 * i] = static_cast<std::uint8_t>(chip.flash[i] & 0xFF);
        state.flash[2 * i + 1] = static_cast<std::uint8_t>(chip.flash[i] >> 8);
    }
    std::memcpy(state.eeprom, chip.eeprom, sizeof state.eeprom);
    return state;
}

void state_to_chip(const chip_state& state)
{
    chip_new(state.part);
    chip.fuse_low = state.fuse_low;
    chip.fuse_high = state.fuse_high;
    chip.fuse_extended = state.fuse_extended;
    chip.lock_bits = state.lock_bits;
    for (int i = 0; i < chip_flash_words; ++i)
        chip.flash[i] = static_cast<std::uint16_t>(state.flash[2 * i] | state.flash[2 * i + 1] << 8);
    std::memcpy(chip.eeprom, state.eeprom, sizeof chip.eeprom);
}

bool parse_chip_name(const std::string& name, chip_part& part)
{
    std::string lower;
    for (char c : name)
        lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (lower == "attiny2313")
        part = part_attiny2313;
    else if (lower == "at90s2313")
        part = part_at90s2313;
    else
        return false;
    return true;
}

const char* chip_option_name(chip_part part)
{
    return part == part_at90s2313 ? "at90s2313" : "attiny2313";
}

static std::string hex(unsigned value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "%0*x", digits, value);
    return text;
}

static void write_section(std::string& out, const char* name, const std::uint8_t* bytes, int size)
{
    out += name;
    out += '\n';
    bool starred = false;
    for (int at = 0; at < size; at += dump_line_bytes) {
        if (at > 0 && std::memcmp(bytes + at, bytes + at - dump_line_bytes, dump_line_bytes) == 0) {
            if (!starred)
                out += "*\n";
            starred = true;
            continue;
        }
        starred = false;
        out += hex(static_cast<unsigned>(at), 4) + ":";
        for (int i = 0; i < dump_line_bytes; ++i)
            out += (i == dump_line_bytes / 2 ? "  " : " ") + hex(bytes[at + i], 2);
        out += '\n';
    }
    out += hex(static_cast<unsigned>(size), 4) + "\n";
}

std::string state_text(const chip_state& state)
{
    std::string out = std::string(state_magic) + "\n";
    out += std::string("part ") + chip_option_name(state.part) + "\n";
    out += "fuse-low " + hex(state.fuse_low, 2) + "\n";
    out += "fuse-high " + hex(state.fuse_high, 2) + "\n";
    out += "fuse-extended " + hex(state.fuse_extended, 2) + "\n";
    out += "lock-bits " + hex(state.lock_bits, 2) + "\n";
    write_section(out, "flash", state.flash, state_flash_bytes);
    write_section(out, "eeprom", state.eeprom, chip_eeprom_bytes);
    return out;
}

// The significant lines of a state text (no blank lines, no # comments), split in words.
struct state_reader {
    std::vector<std::vector<std::string>> lines;
    std::vector<int> numbers;
    std::size_t next = 0;
    std::string error;

    bool fail(const std::string& message)
    {
        if (next < lines.size())
            error = "line " + std::to_string(numbers[next]) + ": " + message;
        else
            error = "it ends early: " + message;
        return false;
    }
    bool at_end() const { return next >= lines.size(); }
    const std::vector<std::string>& line() const { return lines[next]; }
};

static state_reader split_lines(const std::string& text)
{
    state_reader reader;
    std::istringstream in(text);
    std::string raw;
    for (int number = 1; std::getline(in, raw); ++number) {
        std::istringstream words(raw);
        std::vector<std::string> line;
        for (std::string word; words >> word;)
            line.push_back(word);
        if (line.empty() || line[0][0] == '#')
            continue;
        reader.lines.push_back(line);
        reader.numbers.push_back(number);
    }
    return reader;
}

static bool parse_hex(const std::string& word, int digits, unsigned& value)
{
    if (static_cast<int>(word.size()) != digits)
        return false;
    value = 0;
    for (char c : word) {
        int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                  : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (digit < 0)
            return false;
        value = value * 16 + static_cast<unsigned>(digit);
    }
    return true;
}

static bool read_byte_field(state_reader& reader, const char* key, std::uint8_t& value)
{
    unsigned parsed = 0;
    if (reader.at_end() || reader.line().size() != 2 || reader.line()[0] != key
        || !parse_hex(reader.line()[1], 2, parsed))
        return reader.fail(std::string("expected \"") + key + " XX\" with two hex digits");
    value = static_cast<std::uint8_t>(parsed);
    ++reader.next;
    return true;
}

// Address lines must follow on without a gap, except that "*" repeats the line before it
// up to the next address; the section ends with a line holding just its size.
static bool read_section(state_reader& reader, const char* name, std::uint8_t* bytes, int size)
{
    if (reader.at_end() || reader.line().size() != 1 || reader.line()[0] != name)
        return reader.fail(std::string("expected the line \"") + name + "\"");
    ++reader.next;
    int expected = 0;
    bool repeat = false;
    for (;;) {
        if (reader.at_end())
            return reader.fail(std::string("the ") + name + " section has no end line \"" + hex(static_cast<unsigned>(size), 4) + "\"");
        const std::vector<std::string>& line = reader.line();
        if (line.size() == 1 && line[0] == "*") {
            if (expected == 0 || repeat)
                return reader.fail("\"*\" must follow a line of bytes");
            repeat = true;
            ++reader.next;
            continue;
        }
        std::string address_word = line[0];
        bool data = address_word.size() == 5 && address_word[4] == ':';
        if (data)
            address_word.pop_back();
        unsigned address = 0;
        if (!parse_hex(address_word, 4, address) || (!data && line.size() != 1))
            return reader.fail("expected \"AAAA: \" and 16 bytes, \"*\", or the end address " + hex(static_cast<unsigned>(size), 4));
        int at = static_cast<int>(address);
        if (at % dump_line_bytes != 0 || at > size || at < expected || (at > expected && !repeat))
            return reader.fail(std::string("address ") + address_word + " out of place in the " + name + " section, expected " + hex(static_cast<unsigned>(expected), 4));
        for (; repeat && expected < at; expected += dump_line_bytes)
            std::memcpy(bytes + expected, bytes + expected - dump_line_bytes, dump_line_bytes);
        repeat = false;
        if (!data) {
            if (at != size)
                return reader.fail(std::string("the ") + name + " section ends at " + address_word + ", expected " + hex(static_cast<unsigned>(size), 4));
            ++reader.next;
            return true;
        }
        if (at == size)
            return reader.fail(std::string("address ") + address_word + " is past the end of the " + name + " section");
        if (line.size() != 1 + dump_line_bytes)
            return reader.fail(std::string("expected 16 bytes after ") + line[0]);
        for (int i = 0; i < dump_line_bytes; ++i) {
            unsigned value = 0;
            if (!parse_hex(line[1 + i], 2, value))
                return reader.fail("\"" + line[1 + i] + "\" is not a byte of two hex digits");
            bytes[at + i] = static_cast<std::uint8_t>(value);
        }
        expected = at + dump_line_bytes;
        ++reader.next;
    }
}

bool state_parse(const std::string& text, chip_state& state, std::string& error)
{
    state_reader reader = split_lines(text);
    chip_state parsed{};
    bool ok = true;
    if (reader.at_end() || reader.line().size() != 3 || reader.line()[0] != "isp2313-sim"
        || reader.line()[1] != "state" || reader.line()[2] != "1")
        ok = reader.fail(std::string("expected \"") + state_magic + "\"");
    else
        ++reader.next;
    if (ok && (reader.at_end() || reader.line().size() != 2 || reader.line()[0] != "part"
               || !parse_chip_name(reader.line()[1], parsed.part)))
        ok = reader.fail("expected \"part attiny2313\" or \"part at90s2313\"");
    else if (ok)
        ++reader.next;
    ok = ok && read_byte_field(reader, "fuse-low", parsed.fuse_low)
            && read_byte_field(reader, "fuse-high", parsed.fuse_high)
            && read_byte_field(reader, "fuse-extended", parsed.fuse_extended)
            && read_byte_field(reader, "lock-bits", parsed.lock_bits)
            && read_section(reader, "flash", parsed.flash, state_flash_bytes)
            && read_section(reader, "eeprom", parsed.eeprom, chip_eeprom_bytes);
    if (ok && !reader.at_end())
        ok = reader.fail("nothing may follow the eeprom section");
    if (!ok) {
        error = reader.error;
        return false;
    }
    state = parsed;
    return true;
}

state_load_result state_load(const std::string& path, chip_state& state, std::string& error)
{
    struct stat status;
    if (stat(path.c_str(), &status) != 0) {
        if (errno == ENOENT)
            return state_missing;
        error = std::strerror(errno);
        return state_refused;
    }
    if (!S_ISREG(status.st_mode)) {
        error = "not a regular file";
        return state_refused;
    }
    if (status.st_size > state_file_limit) {
        error = "too large for a state file";
        return state_refused;
    }
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = std::strerror(errno);
        return state_refused;
    }
    std::string text;
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        text.append(buffer, got);
    bool read_failed = std::ferror(file) != 0;
    std::fclose(file);
    if (read_failed) {
        error = "read error";
        return state_refused;
    }
    if (text.find('\0') != std::string::npos) {
        error = "not a text file";
        return state_refused;
    }
    return state_parse(text, state, error) ? state_loaded : state_refused;
}

static std::string directory_of(const std::string& path)
{
    std::size_t slash = path.find_last_of(host_path_separators);
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool state_can_save(const std::string& path, std::string& error)
{
    std::string why;
    if (host_can_write_in(directory_of(path), why))
        return true;
    error = "cannot write in " + directory_of(path) + ": " + why;
    return false;
}

bool state_save(const std::string& path, const chip_state& state, std::string& error)
{
    std::string temporary = path + ".XXXXXX";
    int fd = mkstemp(&temporary[0]);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    host_default_mode(fd);
    std::string text = state_text(state);
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ok = close(fd) == 0 && ok;
    if (ok && !host_replace_file(temporary, path))
        ok = false;
    if (!ok) {
        error = std::strerror(errno);
        unlink(temporary.c_str());
    }
    return ok;
}
