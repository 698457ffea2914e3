// The virtual chip's lasting state (part, fuses, lock bits, flash, EEPROM) and its text
// form, which the sim tool keeps in a state file between runs and prints for --dump.
#pragma once
#include <cstdint>
#include <string>
#include "sim/chip.h"

constexpr int state_flash_bytes = 2 * chip_flash_words;

struct chip_state {
    chip_part    part;
    std::uint8_t fuse_low, fuse_high, fuse_extended, lock_bits;
    std::uint8_t flash[state_flash_bytes];   // byte 2i is the low byte of word i
    std::uint8_t eeprom[chip_eeprom_bytes];
};

// A new, erased chip of PART as chip_new makes it.
chip_state state_new(chip_part part);
chip_state state_of_chip();
// chip_new(state.part), then the state's memories, fuses and lock bits.
void state_to_chip(const chip_state& state);

std::string state_text(const chip_state& state);
// False with a message naming the line when TEXT is not a whole, well-formed state.
bool state_parse(const std::string& text, chip_state& state, std::string& error);

enum state_load_result { state_loaded, state_missing, state_refused };
state_load_result state_load(const std::string& path, chip_state& state, std::string& error);
// Whether PATH's directory takes the new file; checked before a run, so a run is not lost.
bool state_can_save(const std::string& path, std::string& error);
// Written to a temporary file beside PATH, then renamed over it.
bool state_save(const std::string& path, const chip_state& state, std::string& error);

bool parse_chip_name(const std::string& name, chip_part& part);
const char* chip_option_name(chip_part part);
