// The write-verify passes, repeated until the chip reads back the image, and the
// closing fuse and lock writes.
#include <cstdio>
#include "devices/device_table.h"
#include "isp/isp.h"
#include "line/line.h"
#include "run/images.h"
#include "run/run.h"

constexpr std::uint8_t fuse_low_value  = 0xEF;
constexpr std::uint8_t fuse_high_value = 0xDF;
constexpr std::uint8_t lock_value      = 0;

static void print_verified(int count)
{
    std::printf("Verify  %4u\r", static_cast<unsigned>(count));
}

// Stops at the first word that differs; every word, 0xFFFF included, is read back. A read
// over a stopped line means nothing and is not counted. The words are read a block at a time:
// the reads after a word that differs go out, but nothing is done with them.
static bool flash_matches()
{
    std::uint16_t words[read_block_max];
    for (std::int32_t j = 0; j < flash_file_size / 2; j += read_block_max) {
        int count = static_cast<int>(flash_file_size / 2 - j < read_block_max ? flash_file_size / 2 - j : read_block_max);
        read_flash_words(static_cast<std::uint16_t>(j), count, words);
        for (int k = 0; k < count; ++k) {
            if (line_stopped() || words[k] != flash_image[j + k])
                return false;
            print_verified(j + k + 1);
        }
    }
    return true;
}

static bool eeprom_matches()
{
    std::uint8_t values[read_block_max];
    for (std::int32_t l = 0; l < eeprom_count; l += read_block_max) {
        int count = static_cast<int>(eeprom_count - l < read_block_max ? eeprom_count - l : read_block_max);
        read_eeprom_bytes(static_cast<std::uint16_t>(l), count, values);
        for (int k = 0; k < count; ++k) {
            if (line_stopped() || values[k] != eeprom_image[l + k])
                return false;
            print_verified(l + k + 1);
        }
    }
    return true;
}

// There is no attempt limit: a chip that never reads back equal runs until interrupted.
// A flash bit only goes from 1 to 0 without an erase, so every attempt after the first
// erases the chip, even when identification erased it just before the first.
bool flash_pass()
{
    unsigned attempt = 0;
    for (;;) {
        std::printf("\nFlash Attempt = %3u\n", attempt + 1);
        if (!erased_at_start || attempt > 0)
            chip_erase();
        program_flash();
        if (line_stopped())
            return false;
        std::printf("\n");
        if (flash_matches())
            break;
        if (line_stopped())
            return false;
        ++attempt;
    }
    std::printf("\nFlash Ok\n");
    return true;
}

bool eeprom_pass()
{
    unsigned attempt = 0;
    for (;;) {
        std::printf("EEPROM Attempt = %u\n", attempt + 1);
        for (std::int32_t k = 0; k < eeprom_count; ++k) {
            write_eeprom_byte(static_cast<std::uint16_t>(k), eeprom_image[k]);
            if (line_stopped())
                return false;
            std::printf("Program %3u\r", static_cast<unsigned>(k + 1));
        }
        if (eeprom_matches())
            break;
        if (line_stopped())
            return false;
        ++attempt;
    }
    std::printf("\nERROR Ok\n");
    return true;
}

// Each message comes before its write; a write over a stopped line is not announced.
bool finish_run()
{
    const device_record& device = chosen_device();
    if (device.sets_fuse_low && !line_stopped()) {
        std::printf("Write Fuse Low\n");
        write_fuse_low(fuse_low_value);
    }
    if (device.sets_fuse_high && !line_stopped()) {
        std::printf("Write Fuse High\n");
        write_fuse_high(fuse_high_value);
    }
    if (!line_stopped()) {
        std::printf("Write Lock Bits\n");
        write_lock_bits(device, lock_value);
    }
    if (line_stopped())
        return false;
    port_close();
    return true;
}
