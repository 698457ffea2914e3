// The host-side flash and EEPROM images, loaded from the image files.
#pragma once
#include <cstdint>
#include <cstdio>

constexpr int flash_image_words  = 2048;
constexpr int eeprom_image_bytes = 128;

extern std::uint16_t flash_image[flash_image_words];
extern std::int32_t  flash_file_size;
extern std::uint8_t  eeprom_image[eeprom_image_bytes];
extern std::int32_t  eeprom_count;

std::int64_t file_size(std::FILE* stream);
bool load_flash_file(const char* path);
bool load_eeprom_file(const char* path);
