// Intel HEX image files, as the AVR toolchain writes them (avr-objcopy -O ihex): read line
// by line through one fixed buffer, every record checked, straight into the image buffer.
#pragma once
#include <cstdint>
#include <cstdio>

// The longest record: ':' and two hex digits for each of the count, the two address bytes,
// the type, 255 data bytes and the checksum. The line end is not counted.
constexpr int hex_line_limit = 1 + 2 * (1 + 2 + 1 + 255 + 1);
// The largest memory a HEX file is read for: the flash image buffer's bytes.
constexpr std::int32_t hex_memory_limit = 4096;

struct hex_failure {
    long line;          // from 1
    char reason[112];
};

// Whether PATH names an Intel HEX file: it ends in .hex, .ihx, .ihex or .eep, in any case.
bool hex_file_name(const char* path);

// Reads STREAM's records into IMAGE, which then holds the bytes from address 0 to the
// highest address written, gaps 0xFF, the length rounded up to a multiple of UNIT (2 for
// flash words); bytes past that are left alone. Every address must lie below MEMORY; only
// the first CAPACITY bytes are stored (IMAGE_BYTES may then exceed CAPACITY: the caller's
// size check refuses such an image as it refuses a raw file of that length).
bool hex_read(std::FILE* stream, std::uint8_t* image, std::int32_t capacity, std::int32_t memory, std::int32_t unit,
              std::int32_t& image_bytes, hex_failure& failure);
