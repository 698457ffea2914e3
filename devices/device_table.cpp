// The supported chips, with figures from their datasheets.
#include "devices/device_table.h"

const device_record device_table[device_count] = {
//    name           flash  eeprom  signature            page  shift  lock  fuse_hi  fuse_lo
    { "AT90S2313",   2048,  128,    {0x1E, 0x91, 0x01},     1,     0,    0,       0,       0 },
    { "ATTINY2313",  2048,  128,    {0x1E, 0x91, 0x0A},    16,     4,    1,       1,       1 },
};

std::int32_t device_index = 0;

int find_device(const std::uint8_t signature[3])
{
    for (int row = 0; row < device_count; ++row) {
        const std::uint8_t* own = device_table[row].signature;
        if (own[0] == signature[0] && own[1] == signature[1] && own[2] == signature[2])
            return row;
    }
    return -1;
}

const device_record& chosen_device()
{
    return device_table[device_index];
}
