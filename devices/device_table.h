// The supported chips and the lookup by signature.
#pragma once
#include <cstdint>

struct device_record {
    const char*   name;
    std::int32_t  flash_bytes;
    std::int32_t  eeprom_bytes;
    std::uint8_t  signature[3];
    std::int32_t  page_words;
    std::int32_t  page_shift;
    std::int32_t  lock_format;
    std::uint8_t  sets_fuse_high;
    std::uint8_t  sets_fuse_low;
};

constexpr int device_count = 2;
extern const device_record device_table[device_count];
extern std::int32_t device_index;

// The matching row, or -1 when no row carries these three bytes.
int find_device(const std::uint8_t signature[3]);
const device_record& chosen_device();
