// The virtual chip itself, driven frame by frame: what the program's tests rely on it for.
#include <gtest/gtest.h>
#include <functional>
#include <vector>
#include "line/os.h"
#include "sim/chip.h"
#include "sim/os_sim.h"

static std::uint64_t now_ns = 0;

// A programmer at the pins: each bit a low phase then a high one, MOSI set up ahead of the
// rise and driven only when it differs from the line's level, which starts as a closed
// port leaves it (DTR clear, MOSI 1). Phases of 3 us suit the factory ATtiny2313 (1 MHz).
struct bus_timing {
    std::uint64_t low_ns, high_ns, setup_ns;
};
static const bus_timing honest = {3000, 3000, 1500};
static bus_timing timing = honest;
static bool mosi_line = true;

// Clocks one byte in, MSB first, and returns what the chip shifted out meanwhile.
static std::uint8_t clock_byte(std::uint8_t value)
{
    std::uint8_t in = 0;
    for (int bit = 7; bit >= 0; --bit) {
        now_ns += timing.low_ns - timing.setup_ns;
        in = static_cast<std::uint8_t>(in << 1 | (chip_line_miso() ? 1 : 0));
        if (((value >> bit) & 1) != mosi_line) {
            mosi_line = !mosi_line;
            chip_line_mosi(mosi_line, now_ns);
        }
        chip_line_sck(true, now_ns += timing.setup_ns);
        chip_line_sck(false, now_ns += timing.high_ns);
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

static void wait_us(std::uint64_t us) { now_ns += us * 1000; }
static void wait_ms(int ms) { now_ns += static_cast<std::uint64_t>(ms) * 1000000; }

static void power_up(chip_part part)
{
    chip_new(part);
    now_ns = 0;
    mosi_line = true;
    timing = honest;
}

// Reset held, then Programming Enable: whether the chip echoed 0x53 and took it.
static bool enters()
{
    chip_line_reset(true, now_ns);
    clock_byte(0xAC);
    clock_byte(0x53);
    bool echoed = clock_byte(0x00) == 0x53;
    clock_byte(0x00);
    return echoed && chip.enabled;
}

static void enable(chip_part part)
{
    power_up(part);
    ASSERT_TRUE(enters());
}

TEST(VirtualChip, IgnoresInstructionsBeforeProgrammingEnable)
{
    power_up(part_attiny2313);
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
        now_ns += (c.busy_us - 300) * 1000;   // the next frame takes about 200 us
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
    EXPECT_EQ(chip.counts.reads_while_busy, 1) << "9 ms erase on the ATtiny2313";
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

// --- The chip's clock and what it asks of SCK and MOSI ---

struct clock_case {
    const char*   name;
    chip_part     part;
    std::uint8_t  fuse_low;
    std::uint32_t xtal_hz;
    bus_timing    bus;
    bool          lenient;
    bool          enters;
    bool          short_phases, late_mosi;   // whether any was counted
};

void PrintTo(const clock_case& c, std::ostream* out);
void PrintTo(const clock_case& c, std::ostream* out) { *out << c.name; }

class ChipClock : public testing::TestWithParam<clock_case> {};

TEST_P(ChipClock, TakesOnlyPulsesItCanSee)
{
    const clock_case& c = GetParam();
    power_up(c.part);
    chip.fuse_low = c.fuse_low;
    chip.xtal_hz = c.xtal_hz;
    chip.lenient_timing = c.lenient;
    timing = c.bus;
    EXPECT_EQ(enters(), c.enters);
    EXPECT_EQ(chip.counts.short_phases > 0, c.short_phases) << chip.counts.short_phases;
    EXPECT_EQ(chip.counts.mosi_setup_violations > 0, c.late_mosi) << chip.counts.mosi_setup_violations;
}

INSTANTIATE_TEST_SUITE_P(VirtualChip, ChipClock, testing::Values(
    // factory ATtiny2313: internal 8 MHz / 8 = 1 MHz, phases must be over 2 us
    clock_case{"FactoryTinyAtThreeMicroseconds", part_attiny2313, 0x64, 0, {3000, 3000, 1500}, false, true, false, false},
    clock_case{"FactoryTinyJustOverTwoCycles", part_attiny2313, 0x64, 0, {2001, 2001, 1000}, false, true, false, false},
    clock_case{"FactoryTinyTwoCyclesLosesEveryPulse", part_attiny2313, 0x64, 0, {2000, 2000, 1000}, false, false, true, false},
    clock_case{"ShortHighPhaseAlone", part_attiny2313, 0x64, 0, {3000, 2000, 1500}, false, false, true, false},
    clock_case{"ShortLowPhaseAlone", part_attiny2313, 0x64, 0, {2000, 3000, 1000}, false, false, true, false},
    clock_case{"MosiLessThanACycleAheadGivesTheOldBit", part_attiny2313, 0x64, 0, {3000, 3000, 999}, false, false, false, true},
    clock_case{"LenientCountsButTakes", part_attiny2313, 0x64, 0, {2000, 2000, 0}, true, true, true, true},
    clock_case{"InternalFourMegahertzUndivided", part_attiny2313, 0xE2, 0, {501, 501, 250}, false, true, false, false},
    clock_case{"InternalOscillatorOf128kHz", part_attiny2313, 0xE6, 0, {3000, 3000, 1500}, false, false, true, true},
    clock_case{"InternalOscillatorOf128kHzClockedSlower", part_attiny2313, 0xE6, 0, {15626, 15626, 7813}, false, true, false, false},
    clock_case{"CrystalFitted", part_attiny2313, 0xEF, 8000000, {251, 251, 125}, false, true, false, false},
    clock_case{"CrystalOf12MHzNeedsThreeCycles", part_attiny2313, 0xEF, 12000000, {250, 250, 84}, false, false, true, false},
    clock_case{"CrystalSelectedNoneFitted", part_attiny2313, 0xEF, 0, {3000, 3000, 1500}, false, false, false, false},
    clock_case{"ReservedClockSetting", part_attiny2313, 0x61, 8000000, {3000, 3000, 1500}, false, false, false, false},
    clock_case{"At90s2313OnItsCrystal", part_at90s2313, 0x64, 4000000, {501, 501, 250}, false, true, false, false},
    clock_case{"At90s2313WithoutCrystal", part_at90s2313, 0x64, 0, {3000, 3000, 1500}, false, false, false, false}),
    [](const testing::TestParamInfo<clock_case>& case_info) { return std::string(case_info.param.name); });

// Fuses are taken when reset is held: the session that writes the clock fuse ends on the old clock.
TEST(VirtualChip, NewClockFuseTakesEffectAtTheNextReset)
{
    enable(part_attiny2313);
    chip.xtal_hz = 0;
    instruction(0xAC, 0xA0, 0x00, 0xEF);
    wait_ms(5);
    EXPECT_EQ(instruction(0x50, 0x00, 0x00), 0xEF);
    chip_line_reset(false, now_ns);
    wait_ms(30);
    EXPECT_FALSE(enters()) << "a crystal is selected and none is fitted";
    chip.xtal_hz = 8000000;
    chip_line_reset(false, now_ns);
    EXPECT_TRUE(enters());
}

// --- Reads while a write is in progress, and the ATtiny2313's own instructions ---

struct busy_read_case {
    const char*               name;
    chip_part                 part;
    std::vector<std::uint8_t> writes;     // whole frames, four bytes each
    std::uint64_t             after_us;   // from the last write to the read
    std::uint8_t              read[3];
    std::uint8_t              answer;
};

void PrintTo(const busy_read_case& c, std::ostream* out);
void PrintTo(const busy_read_case& c, std::ostream* out) { *out << c.name; }

class BusyRead : public testing::TestWithParam<busy_read_case> {};

TEST_P(BusyRead, AnswersAsTheDatasheetSays)
{
    const busy_read_case& c = GetParam();
    enable(c.part);
    chip.eeprom[0x09] = 0x99;
    for (std::size_t i = 0; i + 3 < c.writes.size(); i += 4)
        instruction(c.writes[i], c.writes[i + 1], c.writes[i + 2], c.writes[i + 3]);
    wait_us(c.after_us);
    bool busy = now_ns + 24 * 6000 < chip.busy_until_ns && c.read[0] != 0xF0;   // polling is meant for it
    EXPECT_EQ(instruction(c.read[0], c.read[1], c.read[2]), c.answer);
    EXPECT_EQ(chip.counts.reads_while_busy, busy ? 1 : 0);
    EXPECT_EQ(chip.counts.ignored_busy, 0);
}

INSTANTIATE_TEST_SUITE_P(VirtualChip, BusyRead, testing::Values(
    busy_read_case{"At90sFlashByteBeingWritten", part_at90s2313, {0x40, 0, 5, 0x12}, 100, {0x20, 0, 5}, 0x7F},
    busy_read_case{"At90sOtherByteOfThatWordEchoes", part_at90s2313, {0x40, 0, 5, 0x12}, 100, {0x28, 0, 5}, 0x05},
    busy_read_case{"At90sFlashByteOnceWritten", part_at90s2313, {0x40, 0, 5, 0x12}, 4000, {0x20, 0, 5}, 0x12},
    busy_read_case{"At90sEepromBeforeItsErase", part_at90s2313, {0xC0, 0, 7, 0x55}, 1000, {0xA0, 0, 7}, 0x80},
    busy_read_case{"At90sEepromAfterItsErase", part_at90s2313, {0xC0, 0, 7, 0x55}, 2500, {0xA0, 0, 7}, 0x7F},
    busy_read_case{"At90sEepromOnceWritten", part_at90s2313, {0xC0, 0, 7, 0x55}, 4000, {0xA0, 0, 7}, 0x55},
    busy_read_case{"TinyWordOfThePageBeingWritten", part_attiny2313, {0x40, 0, 3, 0x34, 0x4C, 0, 0x10, 0}, 100, {0x20, 0, 0x1F}, 0xFF},
    busy_read_case{"TinyWordOfAnotherPageEchoes", part_attiny2313, {0x40, 0, 3, 0x34, 0x4C, 0, 0x10, 0}, 100, {0x20, 0, 0x20}, 0x20},
    busy_read_case{"TinyPageOnceWritten", part_attiny2313, {0x40, 0, 3, 0x34, 0x4C, 0, 0x10, 0}, 4500, {0x20, 0, 0x13}, 0x34},
    busy_read_case{"TinyEepromByteBeingWritten", part_attiny2313, {0xC0, 0, 7, 0x55}, 100, {0xA0, 0, 7}, 0xFF},
    busy_read_case{"TinyEepromPageByteBeingWritten", part_attiny2313, {0xC1, 0, 2, 0x66, 0xC2, 0, 0x08, 0}, 100, {0xA0, 0, 0x0A}, 0xFF},
    busy_read_case{"TinyEepromPageByteNotLoadedEchoes", part_attiny2313, {0xC1, 0, 2, 0x66, 0xC2, 0, 0x08, 0}, 100, {0xA0, 0, 0x09}, 0x09},
    busy_read_case{"TinyEepromPageOnceWritten", part_attiny2313, {0xC1, 0, 2, 0x66, 0xC2, 0, 0x08, 0}, 4000, {0xA0, 0, 0x0A}, 0x66},
    busy_read_case{"TinyEepromPageLeavesUnloadedBytes", part_attiny2313, {0xC1, 0, 2, 0x66, 0xC2, 0, 0x08, 0}, 4000, {0xA0, 0, 0x09}, 0x99},
    busy_read_case{"TinyPollWhileBusy", part_attiny2313, {0xC0, 0, 7, 0x55}, 100, {0xF0, 0, 0}, 0x01},
    busy_read_case{"TinyPollOnceReady", part_attiny2313, {0xC0, 0, 7, 0x55}, 4000, {0xF0, 0, 0}, 0x00},
    busy_read_case{"TinyCalibrationOf8MHz", part_attiny2313, {}, 0, {0x38, 0, 0}, 0x5E},
    busy_read_case{"TinyCalibrationOf4MHz", part_attiny2313, {}, 0, {0x38, 0, 1}, 0x63},
    busy_read_case{"At90sHasNoCalibrationByte", part_at90s2313, {}, 0, {0x38, 0, 0}, 0x00}),
    [](const testing::TestParamInfo<busy_read_case>& case_info) { return std::string(case_info.param.name); });

TEST(VirtualChip, TinyEepromPageBufferClearsAfterEachWriteAndIsLocked)
{
    enable(part_attiny2313);
    instruction(0xC1, 0, 0, 0x11);
    instruction(0xC2, 0, 0x04, 0);
    wait_ms(5);
    instruction(0xC2, 0, 0x0C, 0);
    wait_ms(5);
    EXPECT_EQ(chip.eeprom[4], 0x11);
    EXPECT_EQ(chip.eeprom[12], 0xFF) << "nothing loaded for the second page";
    chip.lock_bits = 0xFC;
    instruction(0xC1, 0, 1, 0x22);
    instruction(0xC2, 0, 0x10, 0);
    EXPECT_EQ(chip.eeprom[0x11], 0xFF);
    EXPECT_EQ(chip.counts.ignored_locked, 1);
}

// --- Faults on the wires, and the lines as the port leaves them ---

TEST(VirtualChip, MisoFaultsOverrideTheChip)
{
    struct { const char* name; std::function<void()> fault; bool miso_with_mosi_low, miso_with_mosi_high; } cases[] = {
        {"stuck at 0", [] { chip.faults.miso_stuck = 0; }, false, false},
        {"stuck at 1", [] { chip.faults.miso_stuck = 1; }, true, true},
        {"bridged to MOSI", [] { chip.faults.mosi_miso_bridged = true; }, false, true},
    };
    for (const auto& c : cases) {
        power_up(part_attiny2313);
        c.fault();
        EXPECT_FALSE(enters()) << c.name;
        chip_line_mosi(false, now_ns);
        EXPECT_EQ(chip_line_miso(), c.miso_with_mosi_low) << c.name;
        chip_line_mosi(true, now_ns);
        EXPECT_EQ(chip_line_miso(), c.miso_with_mosi_high) << c.name;
    }
}

TEST(VirtualChip, ClockFaultsSilenceTheChip)
{
    for (bool slow : {false, true}) {
        power_up(part_at90s2313);
        (slow ? chip.faults.slow_clock : chip.faults.no_clock) = true;
        EXPECT_FALSE(enters());
        EXPECT_TRUE(chip_line_miso());
        EXPECT_EQ(chip.counts.short_phases > 0, slow) << "a stopped clock sees no phase at all";
    }
}

TEST(VirtualChip, TakesThePortsLinesWhenItOpens)
{
    sim_reset();
    chip_new(part_attiny2313);
    EXPECT_TRUE(chip.mosi) << "a closed port's DTR is clear";
    sim.dtr_on = sim.rts_on = true;
    os_handle port = os_port_open(1);
    EXPECT_FALSE(chip.mosi);
    EXPECT_TRUE(chip.reset_held);
    os_port_close(port);
}
