// The virtual chip's serial programming interface: SPI mode 0, 32-bit instruction frames
// counted on the chip's own bit counter, memories, fuses, lock bits and write times.
#include "sim/chip.h"
#include <cstring>

virtual_chip chip;
void (*chip_frame_hook)(const std::uint8_t frame[4], std::uint8_t answer, std::uint64_t now_ns) = nullptr;

constexpr std::uint64_t ms_ns = 1000000;

static const std::uint8_t at90s2313_signature[3]  = {0x1E, 0x91, 0x01};
static const std::uint8_t attiny2313_signature[3] = {0x1E, 0x91, 0x0A};
// Within the range factory-calibrated parts read; each chip has its own.
constexpr std::uint8_t factory_calibration_8mhz = 0x5E;
constexpr std::uint8_t factory_calibration_4mhz = 0x63;

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
    chip.eeprom_page_loaded = 0;
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
    chip.calibration[0] = factory_calibration_8mhz;
    chip.calibration[1] = factory_calibration_4mhz;
    chip.xtal_hz = chip_default_xtal_hz;
    chip.clock_hz = chip_selected_clock_hz();
    chip.mosi = true;
    chip.mosi_before = true;
    chip.miso = true;
    chip.faults.flash_word = -1;
    chip.faults.eeprom_address = -1;
    chip.faults.miso_stuck = -1;
}

// The ATtiny2313's low fuse: bit 7 CKDIV8 (0 divides by 8), bits 3..0 CKSEL. The crystal
// settings differ only in the frequency range and start-up time, which the model ignores.
std::uint32_t chip_selected_clock_hz(const char** source, int* divider)
{
    const char* from = "crystal";
    std::uint32_t hz = chip.xtal_hz;
    int by = 1;
    if (chip.faults.no_clock) {
        from = "no clock (the oscillator does not run)";
        hz = 0;
    } else if (chip.faults.slow_clock) {
        from = "slow clock";
        hz = chip_slow_clock_hz;
    } else if (chip.part == part_attiny2313) {
        switch (chip.fuse_low & 0x0F) {
        case 0x0: from = "external clock"; break;
        case 0x2: from = "internal 4 MHz oscillator"; hz = 4000000; break;
        case 0x4: from = "internal 8 MHz oscillator"; hz = 8000000; break;
        case 0x6: from = "internal 128 kHz oscillator"; hz = 128000; break;
        case 0x1: case 0x3: case 0x5: case 0x7: from = "a reserved clock setting"; hz = 0; break;
        }
        if ((chip.fuse_low & 0x80) == 0)
            by = 8;
    }
    if (source)
        *source = from;
    if (divider)
        *divider = by;
    return hz / static_cast<std::uint32_t>(by);
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

// Only the bytes loaded since the last page write are written; the others keep their value.
static std::uint8_t write_eeprom_page(int first)
{
    std::uint8_t loaded = chip.eeprom_page_loaded;
    for (int i = 0; i < chip_eeprom_page_bytes; ++i)
        if (loaded >> i & 1)
            write_eeprom(first + i, chip.eeprom_page[i]);
    chip.eeprom_page_loaded = 0;
    return loaded;
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
    if (chip.part == part_attiny2313 && (f[0] == 0x50 || f[0] == 0x58 || f[0] == 0x38 || f[0] == 0xF0))
        return true;
    return f[0] == 0x30 || f[0] == 0x20 || f[0] == 0x28 || f[0] == 0xA0;
}

static bool busy_at(std::uint64_t now_ns) { return now_ns < chip.busy_until_ns; }

// The answer of a read, in the fourth byte; memories read 0xFF while locked.
static std::uint8_t read_answer(const std::uint8_t* f, std::uint64_t now_ns)
{
    switch (f[0]) {
    case 0x30: return signature_byte(f[2] & 0x03);
    case 0x20: return chip_read_locked() ? 0xFF : static_cast<std::uint8_t>(chip.flash[flash_address(f)] & 0xFF);
    case 0x28: return chip_read_locked() ? 0xFF : static_cast<std::uint8_t>(chip.flash[flash_address(f)] >> 8);
    case 0xA0: return chip_read_locked() ? 0xFF : chip.eeprom[f[2] & 0x7F];
    case 0x50: return f[1] == 0x08 ? chip.fuse_extended : chip.fuse_low;
    case 0x58: return f[1] == 0x08 ? chip.fuse_high : chip.lock_bits;
    case 0x38: return chip.calibration[f[2] & 0x01];
    case 0xF0: return busy_at(now_ns) ? 0x01 : 0x00;
    }
    return 0xFF;
}

// A read of the location being written, while it is: the AT90S2313 gives 0x7F for flash,
// and for EEPROM 0x80 during the first half of the write (its automatic erase), then 0x7F;
// the ATtiny2313 gives 0xFF for any word of the flash page or an EEPROM byte being written.
static bool polled_answer(const std::uint8_t* f, std::uint64_t now_ns, std::uint8_t& answer)
{
    bool tiny = chip.part == part_attiny2313;
    if ((f[0] == 0x20 || f[0] == 0x28) && chip.busy_kind == busy_flash) {
        int word = flash_address(f);
        if (tiny && (word & ~(chip_page_words - 1)) == chip.busy_address) {
            answer = 0xFF;
            return true;
        }
        if (!tiny && word == chip.busy_address && (f[0] == 0x28) == chip.busy_high) {
            answer = 0x7F;
            return true;
        }
    }
    int offset = (f[2] & 0x7F) - chip.busy_address;
    if (f[0] == 0xA0 && chip.busy_kind == busy_eeprom && offset >= 0 && offset < 8
        && (chip.busy_eeprom_mask >> offset & 1)) {
        bool erasing = now_ns - chip.busy_started_ns < chip_eeprom_write_ns(chip.part) / 2;
        answer = tiny ? 0xFF : erasing ? 0x80 : 0x7F;
        return true;
    }
    return false;
}

static void start_busy(std::uint64_t now_ns, std::uint64_t duration_ns, chip_busy kind, int address = 0,
                       std::uint8_t eeprom_mask = 0)
{
    chip.busy_until_ns = now_ns + duration_ns;
    chip.busy_started_ns = now_ns;
    chip.busy_kind = kind;
    chip.busy_address = address;
    chip.busy_high = false;
    chip.busy_eeprom_mask = eeprom_mask;
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
        start_busy(now_ns, chip_erase_ns(chip.part), busy_erase);
    } else if (tiny && (f[1] == 0xA0 || f[1] == 0xA8 || f[1] == 0xA4)) {
        if (refused_by_lock())
            return;
        std::uint8_t& fuse = f[1] == 0xA0 ? chip.fuse_low : f[1] == 0xA8 ? chip.fuse_high : chip.fuse_extended;
        fuse = f[3];
        start_busy(now_ns, chip_config_write_ns(chip.part), busy_config);
    } else if ((f[1] & 0xE0) == 0xE0) {
        write_lock(f[1], f[3]);
        start_busy(now_ns, chip_config_write_ns(chip.part), busy_config);
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
        start_busy(now_ns, chip_flash_write_ns(chip.part), busy_flash, flash_address(f));
        chip.busy_high = op == 0x48;
    } else if ((op == 0x40 || op == 0x48) && tiny) {
        load_page_buffer(f[2] & 0x0F, op == 0x48, f[3]);
    } else if (op == 0x4C && tiny) {
        if (refused_by_lock())
            return;
        write_page_buffer(flash_address(f));
        start_busy(now_ns, chip_flash_write_ns(chip.part), busy_flash, flash_address(f) & ~(chip_page_words - 1));
    } else if (op == 0xC0) {
        if (refused_by_lock())
            return;
        write_eeprom(f[2] & 0x7F, f[3]);
        start_busy(now_ns, chip_eeprom_write_ns(chip.part), busy_eeprom, f[2] & 0x7F, 0x01);
    } else if (op == 0xC1 && tiny) {
        chip.eeprom_page[f[2] & 0x03] = f[3];
        chip.eeprom_page_loaded |= static_cast<std::uint8_t>(1 << (f[2] & 0x03));
    } else if (op == 0xC2 && tiny) {
        if (refused_by_lock())
            return;
        int first = f[2] & 0x7C;
        start_busy(now_ns, chip_eeprom_write_ns(chip.part), busy_eeprom, first, write_eeprom_page(first));
    } else {
        ++chip.counts.ignored_unknown;
        return;
    }
    ++chip.counts.executed;
}

static void frame_complete(std::uint64_t now_ns)
{
    const std::uint8_t* f = chip.frame;
    bool programming_enable = f[0] == 0xAC && f[1] == 0x53;
    if (!programming_enable && !chip.enabled) {
        ++chip.counts.ignored_unknown;
        return;
    }
    if (chip.enabled && is_read(f))
        return;
    if (busy_at(now_ns)) {
        ++chip.counts.ignored_busy;
        return;
    }
    if (!programming_enable) {
        execute_write(f, now_ns);
        return;
    }
    chip.enabled = true;
    ++chip.counts.programming_enables;
    ++chip.counts.executed;
}

// What the chip shifts out during the next byte. Before Programming Enable the chip
// answers only the enable itself, with 0x53 in the third byte when its own frame holds
// AC 53; once enabled it echoes the byte just received, and the fourth byte of a read
// carries the answer. A read that comes while the chip is busy gets the echo unless it
// polls the location being written; Poll RDY/BSY is the one read meant for that time.
static std::uint8_t next_out_byte(int bytes_in, std::uint64_t now_ns)
{
    const std::uint8_t* f = chip.frame;
    if (!chip.enabled)
        return bytes_in == 2 && f[0] == 0xAC && f[1] == 0x53 ? 0x53 : 0xFF;
    if (bytes_in != 3 || !is_read(f))
        return f[(bytes_in + 3) % 4];
    if (busy_at(now_ns) && f[0] != 0xF0) {
        ++chip.counts.reads_while_busy;
        std::uint8_t answer = f[2];
        polled_answer(f, now_ns, answer);
        return answer;
    }
    ++chip.counts.executed;
    return read_answer(f, now_ns);
}

static void shift_in(bool bit, std::uint64_t now_ns)
{
    int byte = chip.bit_count / 8;
    chip.frame[byte] = static_cast<std::uint8_t>(chip.frame[byte] << 1 | (bit ? 1 : 0));
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

// SPAN_NS against CYCLES (at most 3) periods of the chip's clock: negative shorter, 0 equal,
// positive longer. Exact in integers: a span of 2^32 ns (4 s) outlasts 3 cycles of any clock
// above 1 Hz, and a shorter one times a 32-bit frequency fits in 64 bits.
static int against_cycles(std::uint64_t span_ns, std::uint64_t cycles)
{
    if (span_ns >> 32 != 0)
        return 1;
    std::uint64_t span = span_ns * chip.clock_hz;
    std::uint64_t cycles_ns = cycles * 1000000000u;
    return span < cycles_ns ? -1 : span > cycles_ns ? 1 : 0;
}

// Each SCK phase must last more than 2 chip clock cycles, 3 from 12 MHz up.
static bool phase_long_enough(std::uint64_t span_ns)
{
    bool long_enough = against_cycles(span_ns, chip.clock_hz >= 12000000 ? 3 : 2) > 0;
    if (!long_enough)
        ++chip.counts.short_phases;
    return long_enough || chip.lenient_timing;
}

// Holding reset starts a new frame count; out_of_step makes it start that many bits late.
// The chip takes up the clock its fuses select now: fuses written during programming
// change the clock only from the next time reset is held.
void chip_line_reset(bool held, std::uint64_t)
{
    if (held == chip.reset_held)
        return;
    chip.reset_held = held;
    chip.enabled = false;
    chip.miso = true;
    chip.rise_taken = false;
    if (!held) {
        clear_page_buffer();
        return;
    }
    chip.clock_hz = chip_selected_clock_hz();
    chip.bit_count = (32 - chip.out_of_step % 32) % 32;
    std::memset(chip.frame, 0, sizeof chip.frame);
    chip.out_byte = 0xFF;
}

// The chip takes MOSI on SCK's rising edge and moves MISO after the falling edge, but only
// for a pulse both of whose phases, the low one before the rise and the high one, last
// longer than the chip needs (phase_long_enough); any other pulse is lost whole: nothing
// is shifted in and MISO stays. A MOSI change less than one chip clock before the rise is
// too late: the rise takes the level MOSI had before that change. Violations are counted
// either way; lenient_timing makes the chip act as if there were none.
void chip_line_sck(bool high, std::uint64_t now_ns)
{
    if (high == chip.sck_high)
        return;
    chip.sck_high = high;
    std::uint64_t phase_ns = now_ns - chip.sck_changed_ns;
    chip.sck_changed_ns = now_ns;
    if (!chip.reset_held || !chip.present || chip.clock_hz == 0)
        return;
    if (high) {
        chip.rise_taken = phase_long_enough(phase_ns);
        chip.rise_ns = now_ns;
        chip.rise_bit = chip.mosi;
        if (against_cycles(now_ns - chip.mosi_changed_ns, 1) < 0) {
            ++chip.counts.mosi_setup_violations;
            if (!chip.lenient_timing)
                chip.rise_bit = chip.mosi_before;
        }
        return;
    }
    bool taken = phase_long_enough(phase_ns) && chip.rise_taken;
    chip.rise_taken = false;
    if (!taken)
        return;
    shift_in(chip.rise_bit, chip.rise_ns);
    chip.miso = (chip.out_byte >> (7 - chip.bit_count % 8)) & 1;
}

void chip_line_mosi(bool bit, std::uint64_t now_ns)
{
    if (bit == chip.mosi)
        return;
    if (chip.sck_high && chip.reset_held)
        ++chip.counts.mosi_changes_while_sck_high;
    chip.mosi_before = chip.mosi;
    chip.mosi = bit;
    chip.mosi_changed_ns = now_ns;
}

void chip_lines(bool reset_held, bool sck_high, bool mosi, std::uint64_t now_ns)
{
    if (sck_high != chip.sck_high) {
        chip.sck_high = sck_high;
        chip.sck_changed_ns = now_ns;
        chip.rise_taken = false;
    }
    if (mosi != chip.mosi) {
        chip.mosi_before = chip.mosi;
        chip.mosi = mosi;
        chip.mosi_changed_ns = now_ns;
    }
    chip_line_reset(reset_held, now_ns);
}

bool chip_line_miso()
{
    if (chip.faults.miso_stuck >= 0)
        return chip.faults.miso_stuck != 0;
    if (chip.faults.mosi_miso_bridged)
        return chip.mosi;
    if (!chip.present || !chip.reset_held)
        return true;
    return chip.miso;
}
