// The device table: lookup by signature and the invariants its readers count on.
#include <gtest/gtest.h>
#include <cstring>
#include "devices/device_table.h"
#include "run/images.h"

namespace {

struct lookup_case {
    std::uint8_t signature[3];
    int          row;
};

const lookup_case lookup_cases[] = {
    {{0x1E, 0x91, 0x01}, 0},
    {{0x1E, 0x91, 0x0A}, 1},
    // reordered
    {{0x01, 0x91, 0x1E}, -1},
    {{0x0A, 0x91, 0x1E}, -1},
    // one byte off
    {{0x1E, 0x91, 0x0B}, -1},
    {{0x1E, 0x92, 0x01}, -1},
    {{0x1F, 0x91, 0x01}, -1},
    {{0x1E, 0x90, 0x0A}, -1},
    // the no-device and locked readings
    {{0xFF, 0xFF, 0xFF}, -1},
    {{0x00, 0x01, 0x02}, -1},
};

class FindDevice : public testing::TestWithParam<lookup_case> {};

}  // namespace

TEST_P(FindDevice, MatchesAllThreeBytesOnly)
{
    const lookup_case& c = GetParam();
    EXPECT_EQ(find_device(c.signature), c.row);
}

INSTANTIATE_TEST_SUITE_P(Signatures, FindDevice, testing::ValuesIn(lookup_cases));

TEST(FindDevice, RowsCarryTheirNames)
{
    const std::uint8_t at90s[3] = {0x1E, 0x91, 0x01};
    const std::uint8_t tiny[3] = {0x1E, 0x91, 0x0A};
    EXPECT_STREQ(device_table[find_device(at90s)].name, "AT90S2313");
    EXPECT_STREQ(device_table[find_device(tiny)].name, "ATTINY2313");
}

static bool power_of_two(std::int32_t n)
{
    return n > 0 && (n & (n - 1)) == 0;
}

TEST(DeviceTable, SelfCheck)
{
    for (int row = 0; row < device_count; ++row) {
        const device_record& d = device_table[row];
        SCOPED_TRACE(d.name);
        EXPECT_GE(d.page_words, 1);
        if (d.page_words > 1) {
            EXPECT_EQ(d.page_words, 1 << d.page_shift);
            // write_page masks the page number with the page count minus one
            EXPECT_EQ(d.flash_bytes % (2 * d.page_words), 0);
            EXPECT_TRUE(power_of_two(d.flash_bytes / (2 * d.page_words)));
        }
        EXPECT_GT(d.flash_bytes, 0);
        EXPECT_LE(d.flash_bytes, static_cast<std::int32_t>(sizeof flash_image));
        EXPECT_GT(d.eeprom_bytes, 0);
        EXPECT_LE(d.eeprom_bytes, eeprom_image_bytes);
        EXPECT_TRUE(d.lock_format == 0 || d.lock_format == 1);
        // identification gives these two readings their own meaning before any lookup
        const std::uint8_t none[3] = {0xFF, 0xFF, 0xFF};
        const std::uint8_t locked[3] = {0x00, 0x01, 0x02};
        EXPECT_NE(std::memcmp(d.signature, none, 3), 0);
        EXPECT_NE(std::memcmp(d.signature, locked, 3), 0);
        for (int other = 0; other < row; ++other)
            EXPECT_NE(std::memcmp(d.signature, device_table[other].signature, 3), 0) << "same as row " << other;
    }
}
