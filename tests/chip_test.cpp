// The virtual chip itself, driven frame by frame: what the program's tests rely on it for.
#include <gtest/gtest.h>
#include <vector>
#include "sim/chip.h"

static std::uint64_t now_ns = 0;

// Clocks one byte in, MSB first, and returns what the chip shifted out meanwhile.
static std::uint8_t clock_byte(std::uint8_t value)
{
    std::uint8_t in = 0;
    for (int bit = 7; bit >= 0; --bit) {
        in = static_cast<std::uint8_t>(in << 1 | (chip_line_miso() ? 1 : 0));
        chip_line_mosi((value >> bit) & 1, now_ns);
        chip_line_sck(true, now_ns += 1000);
        chip_line_sck(false, now_ns += 1000);
    }
    return in;
}

static std::uint8_t instruction(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4 = 0)
{
    clock_byte(b1);
    clock_byte(b2);
    clock_byte(b3);
    return clock_byte(b4);
}

static void wait_ms(int ms) { now_ns += static_cast<std::uint64_t>(ms) * 1000000; }

static void enable(chip_part part)
{
    chip_new(part);
    now_ns = 0;
    chip_line_reset(true, now_ns);
    clock_byte(0xAC);
    clock_byte(0x53);
    ASSERT_EQ(clock_byte(0x00), 0x53);
    clock_byte(0x00);
    ASSERT_TRUE(chip.enabled);
}

TEST(VirtualChip, IgnoresInstructionsBeforeProgrammingEnable)
{
    chip_new(part_attiny2313);
    chip_line_reset(true, 0);
    instruction(0xC0, 0, 1, 0x12);
    EXPECT_EQ(chip.eeprom[1], 0xFF);
    EXPECT_EQ(chip.counts.ignored_unknown, 1);
}

TEST(VirtualChip, At90s2313FlashBitsOnlyGoFromOneToZero)
{
    enable(part_at90s2313);
    instruction(0x40, 0x01, 0x23, 0xF0);
    wait_ms(5);
    instruction(0x48, 0x01, 0x23, 0x0F);
    wait_ms(5);
    instruction(0x40, 0x01, 0x23, 0x3C);
    wait_ms(5);
    EXPECT_EQ(chip.flash[0x123], 0x0F30);
    EXPECT_EQ(instruction(0x28, 0x01, 0x23), 0x0F);
    EXPECT_EQ(instruction(0x20, 0x01, 0x23), 0x30);
}

TEST(VirtualChip, TinyPageBufferClearsAfterEachPageWrite)
{
    enable(part_attiny2313);
    instruction(0x40, 0, 2, 0x34);
    instruction(0x48, 0, 2, 0x12);
    instruction(0x4C, 0, 0x10);
    wait_ms(5);
    EXPECT_EQ(chip.flash[16 + 2], 0x1234);
    EXPECT_EQ(chip.flash[16], 0xFFFF) << "a word not loaded stays erased";
    instruction(0x4C, 0, 0x20);
    wait_ms(5);
    EXPECT_EQ(chip.flash[32 + 2], 0xFFFF);
    instruction(0x40, 0, 0, 0x00);   // word mode does not exist on this part: a load only
    EXPECT_EQ(chip.flash[0], 0xFFFF);
}

TEST(VirtualChip, InstructionsWhileBusyAreIgnored)
{
    struct { chip_part part; std::uint8_t op; std::uint64_t busy_us; } cases[] = {
        {part_at90s2313, 0x40, 4000}, {part_attiny2313, 0x4C, 4500}, {part_attiny2313, 0xC0, 4000},
    };
    for (const auto& c : cases) {
        enable(c.part);
        instruction(c.op, 0, 1, 0x00);
        now_ns += (c.busy_us - 100) * 1000;
        instruction(0xC0, 0, 7, 0x55);
        EXPECT_EQ(chip.eeprom[7], 0xFF);
        EXPECT_EQ(chip.counts.ignored_busy, 1);
        wait_ms(1);
        instruction(0xC0, 0, 7, 0x55);
        EXPECT_EQ(chip.eeprom[7], 0x55);
    }
}

TEST(VirtualChip, EraseClearsFlashEepromAndLocksButNotFuses)
{
    enable(part_attiny2313);
    chip.flash[9] = 0;
    chip.eeprom[9] = 0;
    chip.lock_bits = 0xFC;
    chip.fuse_low = 0xEF;
    instruction(0xAC, 0x80, 0x04, 0x00);
    EXPECT_EQ(chip.flash[9], 0xFFFF);
    EXPECT_EQ(chip.eeprom[9], 0xFF);
    EXPECT_EQ(chip.lock_bits, 0xFF);
    EXPECT_EQ(chip.fuse_low, 0xEF);
    instruction(0xA0, 0, 9);
    EXPECT_EQ(chip.counts.ignored_busy, 1) << "9 ms erase on the ATtiny2313";
}

TEST(VirtualChip, LockBitsInEitherFormatStopWritesAndReads)
{
    struct { chip_part part; std::uint8_t b2, b4; } cases[] = {
        {part_at90s2313, 0xE0, 0x00}, {part_attiny2313, 0xE0, 0xC0},
    };
    for (const auto& c : cases) {
        enable(c.part);
        chip.eeprom[3] = 0x42;
        instruction(0xAC, c.b2, 0x00, c.b4);
        wait_ms(10);
        EXPECT_TRUE(chip_read_locked());
        EXPECT_EQ(instruction(0xA0, 0, 3), 0xFF);
        instruction(0xC0, 0, 3, 0x00);
        wait_ms(10);
        EXPECT_EQ(chip.eeprom[3], 0x42);
        std::uint8_t signature = instruction(0x30, 0, 2);
        EXPECT_EQ(signature, c.part == part_at90s2313 ? 0x02 : 0x0A);
    }
}

TEST(VirtualChip, TinyFusesAreWrittenAndLockedWithTheChip)
{
    enable(part_attiny2313);
    instruction(0xAC, 0xA0, 0, 0xEF);
    wait_ms(5);
    instruction(0xAC, 0xA8, 0, 0xDE);
    wait_ms(5);
    EXPECT_EQ(instruction(0x50, 0x00, 0), 0xEF);
    EXPECT_EQ(instruction(0x58, 0x08, 0), 0xDE);
    instruction(0xAC, 0xE0, 0, 0xC0);
    wait_ms(5);
    instruction(0xAC, 0xA0, 0, 0x00);
    EXPECT_EQ(chip.fuse_low, 0xEF);
    EXPECT_EQ(chip.counts.ignored_locked, 1);
}

TEST(VirtualChip, EepromSurvivesEraseOnlyWithEesaveProgrammed)
{
    enable(part_attiny2313);
    chip.fuse_high = 0x9F;
    chip.eeprom[0] = 0x11;
    instruction(0xAC, 0x80, 0x04, 0x00);
    EXPECT_EQ(chip.eeprom[0], 0x11);
}

TEST(VirtualChip, ReleasingResetLeavesProgrammingMode)
{
    enable(part_attiny2313);
    chip_line_reset(false, now_ns);
    EXPECT_TRUE(chip_line_miso());
    chip_line_reset(true, now_ns);
    instruction(0xC0, 0, 1, 0x12);
    EXPECT_EQ(chip.eeprom[1], 0xFF);
}
