// Checks shared by the tests of runs that fail before anything is programmed.
#pragma once
#include <gtest/gtest.h>
#include <algorithm>
#include "tests/lifecycle.h"

// The run ended with the port closed once, the reset line released before the close.
inline void expect_port_closed()
{
    ASSERT_FALSE(sim.trace.empty());
    EXPECT_EQ(sim.trace.back().line, sim_close);
    EXPECT_EQ(events_of(sim_close).size(), 1u);
    std::vector<sim_event> rts = events_of(sim_rts);
    ASSERT_FALSE(rts.empty());
    EXPECT_FALSE(rts.back().value);
}

// Only Programming Enable, the signature reads and a Chip Erase reached the chip.
inline bool only_identification_frames()
{
    return std::all_of(frames.begin(), frames.end(), [](const frame_record& f) {
        return f.bytes[0] == 0x30 || (f.bytes[0] == 0xAC && (f.bytes[1] == 0x53 || f.bytes[1] == 0x80));
    });
}

// Flash and EEPROM read as erased.
inline void expect_chip_blank()
{
    EXPECT_TRUE(std::all_of(std::begin(chip.flash), std::end(chip.flash), [](std::uint16_t w) { return w == 0xFFFF; }));
    EXPECT_TRUE(std::all_of(std::begin(chip.eeprom), std::end(chip.eeprom), [](std::uint8_t b) { return b == 0xFF; }));
}

// The chip saw every clock phase long enough for its own clock, every bit set up at least a
// chip clock ahead of its rise, and nothing, not even a read, while it was busy.
inline void expect_chip_timing_kept()
{
    EXPECT_EQ(chip.counts.short_phases, 0) << "a clock phase too short for the chip's clock";
    EXPECT_EQ(chip.counts.mosi_setup_violations, 0) << "MOSI changed less than a chip clock before the rise";
    EXPECT_EQ(chip.counts.mosi_changes_while_sck_high, 0);
    EXPECT_EQ(chip.counts.ignored_busy, 0) << "an instruction came while the chip was still writing";
    EXPECT_EQ(chip.counts.reads_while_busy, 0) << "a read came while the chip was still writing";
}
