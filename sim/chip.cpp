// The virtual chip's serial programming interface: SPI mode 0, 32-bit instruction frames
// counted on the chip's own bit counter, memories, fuses, lock bits and write times.
#include "sim/chip.h"
#include <cstring>

virtual_chip chip;
void (*chip_frame_hook)(const std::uint8_t frame[4], std::uint8_t answer, std::uint64_t now_ns) = nullptr;

constexpr std::uint64_t ms_ns = 1000000;

static const std::uint8_t at90s2313_signature[3]  = {0x1E, 0x91, 0x01};
static const std::uint8_t attiny2313_signature[3] = {0x1E, 0x91, 0x0A};

const std::uint8_t* chip_signature(chip_part part)
{
    return part == part_at90s2313 ? at90s2313_signature : attiny2313_signature;
}

const char* chip_part_name(chip_part part)
{
    return part == part_at90s2313 ? "AT90S2313" : "ATtiny2313";
}

// Datasheet figures at 5 V (ATtiny2313 erase: the longer of the two quoted).
std::uint64_t chip_flash_write_ns(chip_part part)  { return part == part_at90s2313 ? 4 * ms_ns : 4500000; }
std::uint64_t chip_eeprom_write_ns(chip_part)      { return 4 * ms_ns; }
std::uint64_t chip_erase_ns(chip_part part)        { return part == part_at90s2313 ? 20 * ms_ns : 9 * ms_ns; }
std::uint64_t chip_config_write_ns(chip_part part) { return part == part_at90s2313 ? 9 * ms_ns : 4500000; }

static void clear_page_buffer()
{
    for (std::uint16_t& word : chip.page_buffer)
        word = 0xFFFF;
}

void chip_new(chip_part part)
{
    std::memset(&chip, 0, sizeof chip);
    chip.part = part;
    chip.present = true;
    for (std::uint16_t& word : chip.flash)
        word = 0xFFFF;
    std::memset(chip.eeprom, 0xFF, sizeof chip.eeprom);
    clear_page_buffer();
    chip.fuse_low = 0x64;
    chip.fuse_high = 0xDF;
    chip.fuse_extended = 0xFF;
    chip.lock_bits = 0xFF;
    chip.miso = true;
    chip.faults.flash_word = -1;
    chip.faults.eeprom_address = -1;
}

// LB1 programmed stops programming; LB1 and LB2 both programmed stop reading too.
bool chip_write_locked() { return (chip.lock_bits & 0x01) == 0; }
bool chip_read_locked()  { return (chip.lock_bits & 0x03) == 0; }

static bool eeprom_saved_through_erase()
{
    return chip.part == part_attiny2313 && (chip.fuse_high & 0x40) == 0;
}

static void erase()
{
    for (std::uint16_t& word : chip.flash)
        word = 0xFFFF;
    if (!eeprom_saved_through_erase())
        std::memset(chip.eeprom, 0xFF, sizeof chip.eeprom);
    clear_page_buffer();
    chip.lock_bits = 0xFF;
    ++chip.counts.erases;
    if (chip.faults.dead_after_erase)
        chip.present = false;
}

static bool drop_flash_write(int word)
{
    if (word != chip.faults.flash_word || chip.faults.flash_drops <= 0)
        return false;
    return true;
}

// A faulty write is lost, or with flash_wrong_bits programs those bits as well: they can
// only come back to 1 through a Chip Erase.
static void program_flash_byte(int word, bool high, std::uint8_t value)
{
    std::uint16_t bits = high ? static_cast<std::uint16_t>(value << 8 | 0x00FF)
                              : static_cast<std::uint16_t>(0xFF00 | value);
    if (drop_flash_write(word)) {
        if (high)
            --chip.faults.flash_drops;
        if (chip.faults.flash_wrong_bits == 0)
            return;
        std::uint16_t half = high ? 0xFF00 : 0x00FF;
        bits &= static_cast<std::uint16_t>(~(chip.faults.flash_wrong_bits & half));
    }
    chip.flash[word] &= bits;
}

static void write_page_buffer(int address)
{
    int first = address & (chip_flash_words - chip_page_words);
    for (int j = 0; j < chip_page_words; ++j) {
        std::uint16_t bits = chip.page_buffer[j];
        if (drop_flash_write(first + j)) {
            --chip.faults.flash_drops;
            if (chip.faults.flash_wrong_bits == 0)
                continue;
            bits &= static_cast<std::uint16_t>(~chip.faults.flash_wrong_bits);
        }
        chip.flash[first + j] &= bits;
    }
    clear_page_buffer();
}

static void load_page_buffer(int index, bool high, std::uint8_t value)
{
    std::uint16_t& word = chip.page_buffer[index & (chip_page_words - 1)];
    if (high)
        word = static_cast<std::uint16_t>((word & 0x00FF) | value << 8);
    else
        word = static_cast<std::uint16_t>((word & 0xFF00) | value);
}

static void write_eeprom(int address, std::uint8_t value)
{
    if (address == chip.faults.eeprom_address && chip.faults.eeprom_drops > 0) {
        --chip.faults.eeprom_drops;
        return;
    }
    chip.eeprom[address] = value;
}

static void write_lock(std::uint8_t b2, std::uint8_t b4)
{
    if (chip.part == part_at90s2313)
        chip.lock_bits &= static_cast<std::uint8_t>(0xFC | ((b2 >> 1) & 0x03));
    else
        chip.lock_bits &= static_cast<std::uint8_t>(0xFC | (b4 & 0x03));
}

static std::uint8_t signature_byte(int address)
{
    const std::uint8_t* forced = nullptr;
    if (chip.counts.erases == 0 && chip.faults.signature_forced)
        forced = chip.faults.signature_first;
    else if (chip.counts.erases > 0 && chip.faults.signature_forced_after_erase)
        forced = chip.faults.signature_after_erase;
    if (address > 2)
        return 0xFF;
    if (forced)
        return forced[address];
    if (chip.part == part_at90s2313 && chip_read_locked())
        return static_cast<std::uint8_t>(address);
    return chip_signature(chip.part)[address];
}

static int flash_address(const std::uint8_t* f) { return ((f[1] & 0x03) << 8) | f[2]; }

static bool is_read(const std::uint8_t* f)
{
    if (chip.part == part_attiny2313 && (f[0] == 0x50 || f[0] == 0x58))
        return true;
    return f[0] == 0x30 || f[0] == 0x20 || f[0] == 0x28 || f[0] == 0xA0;
}

// The answer of a read, in the fourth byte; memories read 0xFF while locked.
static std::uint8_t read_answer(const std::uint8_t* f)
{
    switch (f[0]) {
    case 0x30: return signature_byte(f[2] & 0x03);
    case 0x20: return chip_read_locked() ? 0xFF : static_cast<std::uint8_t>(chip.flash[flash_address(f)] & 0xFF);
    case 0x28: return chip_read_locked() ? 0xFF : static_cast<std::uint8_t>(chip.flash[flash_address(f)] >> 8);
    case 0xA0: return chip_read_locked() ? 0xFF : chip.eeprom[f[2] & 0x7F];
    case 0x50: return f[1] == 0x08 ? chip.fuse_extended : chip.fuse_low;
    case 0x58: return f[1] == 0x08 ? chip.fuse_high : chip.lock_bits;
    }
    return 0xFF;
}

static bool busy(std::uint64_t now_ns)
{
    if (now_ns >= chip.busy_until_ns)
        return false;
    ++chip.counts.ignored_busy;
    return true;
}

static void start_busy(std::uint64_t now_ns, std::uint64_t duration_ns)
{
    chip.busy_until_ns = now_ns + duration_ns;
}

static bool refused_by_lock()
{
    if (!chip_write_locked())
        return false;
    ++chip.counts.ignored_locked;
    return true;
}

static void execute_ac(const std::uint8_t* f, std::uint64_t now_ns)
{
    bool tiny = chip.part == part_attiny2313;
    if (f[1] == 0x80) {
        erase();
        start_busy(now_ns, chip_erase_ns(chip.part));
    } else if (tiny && (f[1] == 0xA0 || f[1] == 0xA8 || f[1] == 0xA4)) {
        if (refused_by_lock())
            return;
        std::uint8_t& fuse = f[1] == 0xA0 ? chip.fuse_low : f[1] == 0xA8 ? chip.fuse_high : chip.fuse_extended;
        fuse = f[3];
        start_busy(now_ns, chip_config_write_ns(chip.part));
    } else if ((f[1] & 0xE0) == 0xE0) {
        write_lock(f[1], f[3]);
        start_busy(now_ns, chip_config_write_ns(chip.part));
    } else {
        ++chip.counts.ignored_unknown;
        return;
    }
    ++chip.counts.executed;
}

// A write instruction takes effect once its fourth byte is in.
static void execute_write(const std::uint8_t* f, std::uint64_t now_ns)
{
    bool tiny = chip.part == part_attiny2313;
    std::uint8_t op = f[0];
    if (op == 0xAC) {
        execute_ac(f, now_ns);
        return;
    }
    if ((op == 0x40 || op == 0x48) && !tiny) {
        if (refused_by_lock())
            return;
        program_flash_byte(flash_address(f), op == 0x48, f[3]);
        start_busy(now_ns, chip_flash_write_ns(chip.part));
    } else if ((op == 0x40 || op == 0x48) && tiny) {
        load_page_buffer(f[2] & 0x0F, op == 0x48, f[3]);
    } else if (op == 0x4C && tiny) {
        if (refused_by_lock())
            return;
        write_page_buffer(flash_address(f));
        start_busy(now_ns, chip_flash_write_ns(chip.part));
    } else if (op == 0xC0) {
        if (refused_by_lock())
            return;
        write_eeprom(f[2] & 0x7F, f[3]);
        start_busy(now_ns, chip_eeprom_write_ns(chip.part));
    } else {
        ++chip.counts.ignored_unknown;
        return;
    }
    ++chip.counts.executed;
}

static void frame_complete(std::uint64_t now_ns)
{
    const std::uint8_t* f = chip.frame;
    if (f[0] == 0xAC && f[1] == 0x53) {
        if (busy(now_ns))
            return;
        chip.enabled = true;
        ++chip.counts.programming_enables;
        ++chip.counts.executed;
        return;
    }
    if (!chip.enabled) {
        ++chip.counts.ignored_unknown;
        return;
    }
    if (is_read(f))
        return;
    if (busy(now_ns))
        return;
    execute_write(f, now_ns);
}

// What the chip shifts out during the next byte. Before Programming Enable the chip
// answers only the enable itself, with 0x53 in the third byte when its own frame holds
// AC 53; once enabled it echoes the byte just received, and the fourth byte of a read
// carries the answer.
static std::uint8_t next_out_byte(int bytes_in, std::uint64_t now_ns)
{
    const std::uint8_t* f = chip.frame;
    if (!chip.enabled)
        return bytes_in == 2 && f[0] == 0xAC && f[1] == 0x53 ? 0x53 : 0xFF;
    if (bytes_in == 3 && is_read(f)) {
        if (busy(now_ns))
            return f[2];
        ++chip.counts.executed;
        return read_answer(f);
    }
    return f[(bytes_in + 3) % 4];
}

static void sample_bit(std::uint64_t now_ns)
{
    int byte = chip.bit_count / 8;
    chip.frame[byte] = static_cast<std::uint8_t>(chip.frame[byte] << 1 | (chip.mosi ? 1 : 0));
    ++chip.bit_count;
    if (chip.bit_count % 8 != 0)
        return;
    int bytes_in = chip.bit_count / 8;
    if (bytes_in == 4) {
        if (chip_frame_hook)
            chip_frame_hook(chip.frame, chip.out_byte, now_ns);
        frame_complete(now_ns);
        chip.bit_count = 0;
    }
    chip.out_byte = next_out_byte(bytes_in, now_ns);
    if (bytes_in == 4)
        std::memset(chip.frame, 0, sizeof chip.frame);
}

// Holding reset starts a new frame count; out_of_step makes it start that many bits late.
void chip_line_reset(bool held, std::uint64_t)
{
    if (held == chip.reset_held)
        return;
    chip.reset_held = held;
    chip.enabled = false;
    chip.miso = true;
    if (!held) {
        clear_page_buffer();
        return;
    }
    chip.bit_count = (32 - chip.out_of_step % 32) % 32;
    std::memset(chip.frame, 0, sizeof chip.frame);
    chip.out_byte = 0xFF;
}

// MOSI is sampled on the rising edge; MISO changes after the falling edge.
void chip_line_sck(bool high, std::uint64_t now_ns)
{
    if (high == chip.sck_high)
        return;
    chip.sck_high = high;
    if (!chip.reset_held || !chip.present)
        return;
    if (high) {
        sample_bit(now_ns);
        return;
    }
    chip.miso = (chip.out_byte >> (7 - chip.bit_count % 8)) & 1;
}

void chip_line_mosi(bool bit, std::uint64_t)
{
    if (bit != chip.mosi && chip.sck_high)
        ++chip.counts.mosi_changes_while_sck_high;
    chip.mosi = bit;
}

bool chip_line_miso()
{
    if (!chip.present || !chip.reset_held)
        return true;
    return chip.miso;
}
