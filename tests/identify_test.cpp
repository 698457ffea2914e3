// Device identification on the virtual chip: the signature readings, the locked-chip
// erase, the banner, and how a failed identification ends the run.
#include <gtest/gtest.h>
#include <cstring>
#include "run/images.h"
#include "run/run.h"
#include "tests/lifecycle.h"
#include "tests/run_checks.h"

namespace {

struct reading {
    bool         forced;
    std::uint8_t bytes[3];
};

constexpr reading own_signature = {false, {0, 0, 0}};
constexpr reading locked_reading = {true, {0x00, 0x01, 0x02}};

struct identify_case {
    const char* label;
    chip_part   part;
    bool        locked;       // lock bits programmed, no forced readings
    reading     first;        // until the first erase
    reading     after_erase;
    const char* identify_out; // what identification prints
    bool        succeeds;
    long        identify_erases;
};

const char* const not_found = ">>> Device Not Found\n";

const identify_case identify_cases[] = {
    {"At90s2313", part_at90s2313, false, own_signature, own_signature,
     "\n>>> Device  AT90S2313 <<<\n", true, 0},
    {"Attiny2313", part_attiny2313, false, own_signature, own_signature,
     "\n>>> Device  ATTINY2313 <<<\n", true, 0},
    {"NoDevice", part_attiny2313, false, {true, {0xFF, 0xFF, 0xFF}}, own_signature, not_found, false, 0},
    {"PartlyFF", part_attiny2313, false, {true, {0xFF, 0xFF, 0x01}}, own_signature, not_found, false, 0},
    {"LockedReversed", part_attiny2313, false, {true, {0x02, 0x01, 0x00}}, own_signature, not_found, false, 0},
    {"LockedThenKnown", part_attiny2313, false, locked_reading, {true, {0x1E, 0x91, 0x0A}},
     ">>> Device LOCK\n>>> Device Erase\n\n>>> Device  ATTINY2313 <<<\n", true, 1},
    {"LockedTwice", part_attiny2313, false, locked_reading, locked_reading,
     ">>> Device LOCK\n>>> Device Erase\n>>> Device Not Found\n", false, 1},
    {"LockedThenNoDevice", part_attiny2313, false, locked_reading, {true, {0xFF, 0xFF, 0xFF}},
     ">>> Device LOCK\n>>> Device Erase\n>>> Device Not Found\n", false, 1},
    {"RealLockedAt90s2313", part_at90s2313, true, own_signature, own_signature,
     ">>> Device LOCK\n>>> Device Erase\n\n>>> Device  AT90S2313 <<<\n", true, 1},
};

class Identify : public testing::TestWithParam<identify_case> {};

void arrange_chip(const identify_case& c)
{
    fresh_bench(c.part);
    if (c.locked)
        chip.lock_bits = 0xFC;
    chip.faults.signature_forced = c.first.forced;
    std::memcpy(chip.faults.signature_first, c.first.bytes, 3);
    chip.faults.signature_forced_after_erase = c.after_erase.forced;
    std::memcpy(chip.faults.signature_after_erase, c.after_erase.bytes, 3);
}

}  // namespace

TEST_P(Identify, ReadingDecidesOutputEraseAndOutcome)
{
    const identify_case& c = GetParam();
    arrange_chip(c);
    std::string flash = scratch_file("flash.bin", pattern_bytes(64));
    run_result r = run_program({"1", flash});

    std::size_t signature_reads = frames_starting({0x30}).size();
    EXPECT_EQ(signature_reads, c.identify_erases ? 6u : 3u);
    EXPECT_EQ(erased_at_start, c.identify_erases == 1);

    if (c.succeeds) {
        EXPECT_EQ(r.status, 0);
        ASSERT_GE(r.out.size(), std::strlen(c.identify_out));
        EXPECT_EQ(r.out.substr(0, std::strlen(c.identify_out)), c.identify_out);
        EXPECT_EQ(r.out.substr(std::strlen(c.identify_out), 16), "\nFlash Attempt =");
        // One erase either way: the locked path's stands in for the flash pass's own.
        EXPECT_EQ(chip.counts.erases, 1);
        std::vector<std::uint8_t> bytes = pattern_bytes(64);
        for (int j = 0; j < 32; ++j)
            EXPECT_EQ(chip.flash[j], bytes[2 * j] | bytes[2 * j + 1] << 8) << "word " << j;
    } else {
        EXPECT_EQ(r.status, 33);
        EXPECT_EQ(r.out, c.identify_out);
        EXPECT_EQ(chip.counts.erases, c.identify_erases);
        EXPECT_EQ(flash_file_size, 0);
        EXPECT_TRUE(only_identification_frames());
        expect_chip_blank();
        expect_port_closed();
    }
}

INSTANTIATE_TEST_SUITE_P(Readings, Identify, testing::ValuesIn(identify_cases),
                         [](const testing::TestParamInfo<identify_case>& p) { return p.param.label; });
