// The chip's serial programming instructions.
#pragma once
#include <cstdint>
#include "devices/device_table.h"

constexpr int entry_attempts = 32;

bool enter_programming_mode();
// The same, keeping the byte read in each attempt (ANSWERS) and the number of attempts made;
// true when the last of them was the echo.
bool enter_programming_mode_observed(std::uint8_t answers[entry_attempts], int& attempts);
// Whether each of the first ATTEMPTS answers is VALUE.
bool answers_all(const std::uint8_t answers[entry_attempts], int attempts, std::uint8_t value);
void chip_erase();
void read_signature(std::uint8_t signature[3]);

std::uint16_t read_flash_word(std::uint16_t address);
// Blocks of reads: all COUNT instructions go out before their answers are taken, so that in
// bit-bang they come back together. At most read_block_max a block.
constexpr int read_block_max = 64;
void read_flash_words(std::uint16_t address, int count, std::uint16_t* words);
void read_eeprom_bytes(std::uint16_t address, int count, std::uint8_t* bytes);
void write_flash_word(std::uint16_t address, std::uint16_t word);
void load_page_word(std::uint16_t index, std::uint16_t word);
void write_page(const device_record& device, std::int32_t page);
std::uint8_t read_eeprom_byte(std::uint16_t address);
void write_eeprom_byte(std::uint16_t address, std::uint8_t value);
void write_fuse_low(std::uint8_t value);
void write_fuse_high(std::uint8_t value);
void write_lock_bits(const device_record& device, std::uint8_t value);
// The ATtiny2313's fuse and lock bytes, read back.
std::uint8_t read_fuse_low();
std::uint8_t read_fuse_high();
std::uint8_t read_fuse_extended();
std::uint8_t read_lock_byte();

void program_flash();
