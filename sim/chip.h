// The virtual chip: an AT90S2313 or ATtiny2313 as its serial programming interface
// behaves, driven by line events with their virtual time in nanoseconds.
#pragma once
#include <cstdint>

enum chip_part { part_at90s2313, part_attiny2313 };

constexpr int chip_flash_words  = 1024;
constexpr int chip_eeprom_bytes = 128;
constexpr int chip_page_words   = 16;
constexpr int chip_eeprom_page_bytes = 4;

// The crystal fitted unless a test or the user says otherwise: the one the program's fuse
// byte 0xEF asks for on the ATtiny2313.
constexpr std::uint32_t chip_default_xtal_hz = 8000000;
// The clock of a chip with the slow_clock fault: the ATtiny2313's 128 kHz oscillator.
constexpr std::uint32_t chip_slow_clock_hz = 128000;

struct chip_counts {
    long executed;        // instructions carried out
    long ignored_busy;    // arrived while a write or erase was still under way
    long ignored_locked;  // writes refused by the lock bits
    long ignored_unknown; // not an instruction of this part, or before Programming Enable
    long mosi_changes_while_sck_high;
    long erases;
    long programming_enables;
    long short_phases;          // SCK phases of 2 chip clock cycles or less (3 at 12 MHz and up)
    long mosi_setup_violations; // MOSI changed less than one chip clock before a rising edge
    long reads_while_busy;      // reads that arrived while a write or erase was under way
};

struct chip_faults {
    int  flash_word;        // word address whose writes are dropped, -1 for none
    long flash_drops;       // how many writes of that word are dropped
    std::uint16_t flash_wrong_bits;  // not 0: those writes are not dropped but also clear these bits
    int  eeprom_address;    // EEPROM address whose writes are dropped, -1 for none
    long eeprom_drops;
    bool dead_after_erase;  // the chip stops answering after a Chip Erase
    bool signature_forced;  // the signature reads signature_first until the first erase
    std::uint8_t signature_first[3];
    bool signature_forced_after_erase;
    std::uint8_t signature_after_erase[3];
    // Wiring and clock faults, as a port sees them.
    int  miso_stuck;        // -1: the chip drives MISO; 0 or 1: MISO held at that level
    bool mosi_miso_bridged; // MISO repeats MOSI
    bool no_clock;          // the chip's oscillator does not run: it sees no clock pulse
    bool slow_clock;        // the chip runs at chip_slow_clock_hz, whatever fuses and crystal say
};

// What the chip is busy with, for reads of the location being written.
enum chip_busy { busy_none, busy_flash, busy_eeprom, busy_erase, busy_config };

struct virtual_chip {
    chip_part     part;
    bool          present;         // false: nothing drives MISO, it reads as the idle 1
    int           out_of_step;     // bits the chip's frame starts after ours at each reset
    std::uint16_t flash[chip_flash_words];
    std::uint8_t  eeprom[chip_eeprom_bytes];
    std::uint16_t page_buffer[chip_page_words];
    std::uint8_t  fuse_low, fuse_high, fuse_extended;
    std::uint8_t  lock_bits;       // bit 0 LB1, bit 1 LB2; 0 is programmed
    std::uint8_t  calibration[2];  // ATtiny2313: internal oscillator calibration, 8 MHz then 4 MHz
    std::uint8_t  eeprom_page[chip_eeprom_page_bytes];
    std::uint8_t  eeprom_page_loaded;  // bit i: byte i of the EEPROM page buffer was loaded
    std::uint32_t xtal_hz;         // the crystal or external clock fitted, 0 for none
    std::uint32_t clock_hz;        // the clock the chip runs on, taken when reset is held
    bool          lenient_timing;  // timing violations are counted but take no effect

    // the bus as the chip sees it
    bool          reset_held, sck_high, mosi, miso;
    bool          enabled;         // Programming Enable accepted since the last reset
    int           bit_count;       // bits of the current frame received, 0 to 31
    std::uint8_t  frame[4];
    std::uint8_t  out_byte;
    std::uint64_t sck_changed_ns;  // the SCK pin's last change
    std::uint64_t mosi_changed_ns; // the MOSI pin's last change, and its level before it
    bool          mosi_before;
    bool          rise_taken;      // the SCK pin is high and its rise counts so far
    bool          rise_bit;        // the bit that rise takes, at rise_ns
    std::uint64_t rise_ns;
    std::uint64_t busy_until_ns;
    chip_busy     busy_kind;
    int           busy_address;    // flash: word (AT90S2313) or the page's first word; EEPROM: first byte
    bool          busy_high;       // AT90S2313 flash: the high byte of the word
    std::uint8_t  busy_eeprom_mask; // EEPROM: bit i, the byte at busy_address + i
    std::uint64_t busy_started_ns;

    chip_counts   counts;
    chip_faults   faults;
};

extern virtual_chip chip;

// Told of every 32-bit frame the chip completes: its four bytes as received, the byte the
// chip shifted out during the fourth, and the time.
extern void (*chip_frame_hook)(const std::uint8_t frame[4], std::uint8_t answer, std::uint64_t now_ns);

// A new, erased chip of PART with its factory fuses, the default crystal, no faults, and the
// lines of a closed port: RESET released, SCK low, MOSI high (DTR clear).
void chip_new(chip_part part);

// The lines' levels as they stand, not as edges: a port tells the chip when it opens, so the
// chip starts from whatever the lines are. Holding RESET starts a frame count as an edge does.
void chip_lines(bool reset_held, bool sck_high, bool mosi, std::uint64_t now_ns);
void chip_line_reset(bool held, std::uint64_t now_ns);
void chip_line_sck(bool high, std::uint64_t now_ns);
void chip_line_mosi(bool bit, std::uint64_t now_ns);
bool chip_line_miso();

bool chip_write_locked();
bool chip_read_locked();
const std::uint8_t* chip_signature(chip_part part);
const char* chip_part_name(chip_part part);

// The clock the fuses, the crystal and the clock faults select now; the chip takes it up the
// next time reset is held. SOURCE names what drives it ("internal 8 MHz oscillator", "crystal").
std::uint32_t chip_selected_clock_hz(const char** source = nullptr, int* divider = nullptr);

// Busy times in nanoseconds.
std::uint64_t chip_flash_write_ns(chip_part part);
std::uint64_t chip_eeprom_write_ns(chip_part part);
std::uint64_t chip_erase_ns(chip_part part);
std::uint64_t chip_config_write_ns(chip_part part);
