// The virtual chip: an AT90S2313 or ATtiny2313 as its serial programming interface
// behaves, driven by line events with their virtual time in nanoseconds.
#pragma once
#include <cstdint>

enum chip_part { part_at90s2313, part_attiny2313 };

constexpr int chip_flash_words  = 1024;
constexpr int chip_eeprom_bytes = 128;
constexpr int chip_page_words   = 16;

struct chip_counts {
    long executed;        // instructions carried out
    long ignored_busy;    // arrived while a write or erase was still under way
    long ignored_locked;  // writes refused by the lock bits
    long ignored_unknown; // not an instruction of this part, or before Programming Enable
    long mosi_changes_while_sck_high;
    long erases;
    long programming_enables;
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
};

struct virtual_chip {
    chip_part     part;
    bool          present;         // false: nothing drives MISO, it reads as the idle 1
    int           out_of_step;     // bits the chip's frame starts after ours at each reset
    std::uint16_t flash[chip_flash_words];
    std::uint8_t  eeprom[chip_eeprom_bytes];
    std::uint16_t page_buffer[chip_page_words];
    std::uint8_t  fuse_low, fuse_high, fuse_extended;
    std::uint8_t  lock_bits;       // bit 0 LB1, bit 1 LB2; 0 is programmed

    // the bus as the chip sees it
    bool          reset_held, sck_high, mosi, miso;
    bool          enabled;         // Programming Enable accepted since the last reset
    int           bit_count;       // bits of the current frame received, 0 to 31
    std::uint8_t  frame[4];
    std::uint8_t  out_byte;
    std::uint64_t busy_until_ns;

    chip_counts   counts;
    chip_faults   faults;
};

extern virtual_chip chip;

// Told of every 32-bit frame the chip completes: its four bytes as received, the byte the
// chip shifted out during the fourth, and the time.
extern void (*chip_frame_hook)(const std::uint8_t frame[4], std::uint8_t answer, std::uint64_t now_ns);

// A new, erased chip of PART with its factory fuses, lines idle, no faults.
void chip_new(chip_part part);

void chip_line_reset(bool held, std::uint64_t now_ns);
void chip_line_sck(bool high, std::uint64_t now_ns);
void chip_line_mosi(bool bit, std::uint64_t now_ns);
bool chip_line_miso();

bool chip_write_locked();
bool chip_read_locked();
const std::uint8_t* chip_signature(chip_part part);
const char* chip_part_name(chip_part part);

// Busy times in nanoseconds.
std::uint64_t chip_flash_write_ns(chip_part part);
std::uint64_t chip_eeprom_write_ns(chip_part part);
std::uint64_t chip_erase_ns(chip_part part);
std::uint64_t chip_config_write_ns(chip_part part);
