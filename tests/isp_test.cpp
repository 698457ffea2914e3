// Programming-mode entry, the instructions and the flash writer on the virtual chip.
#include <gtest/gtest.h>
#include <cstring>
#include <string>
#include <vector>
#include "isp/isp.h"
#include "line/line.h"
#include "run/images.h"
#include "tests/lifecycle.h"

using bytes4 = std::vector<int>;

static std::vector<bytes4> frame_bytes()
{
    std::vector<bytes4> all;
    for (const frame_record& f : frames)
        all.push_back({f.bytes[0], f.bytes[1], f.bytes[2], f.bytes[3]});
    return all;
}

// Bytes on MOSI from trace event MARK on: one bit at each rising clock edge.
static std::vector<int> mosi_bytes(std::size_t mark)
{
    std::vector<int> out;
    bool dtr = false;
    int bits = 0, value = 0;
    for (std::size_t i = 0; i < sim.trace.size(); ++i) {
        const sim_event& e = sim.trace[i];
        if (e.line == sim_dtr)
            dtr = e.value;
        if (i < mark || e.line != sim_break || !e.value)
            continue;
        value = value << 1 | (dtr ? 0 : 1);
        if (++bits == 8) {
            out.push_back(value);
            bits = value = 0;
        }
    }
    return out;
}

static void start_session(chip_part part = part_attiny2313)
{
    fresh_bench(part);
    ASSERT_TRUE(port_open(1));
    ASSERT_TRUE(enter_programming_mode());
    frames.clear();
}

static std::uint64_t first_time(sim_line line, bool value, std::uint64_t after = 0)
{
    for (const sim_event& e : sim.trace)
        if (e.line == line && e.value == value && e.t_ns > after)
            return e.t_ns;
    return 0;
}

TEST(EnterProgrammingMode, InStepChipEchoesAtOnce)
{
    fresh_bench();
    ASSERT_TRUE(port_open(1));
    std::size_t mark = sim.trace.size();
    ASSERT_TRUE(enter_programming_mode());
    EXPECT_EQ(mosi_bytes(mark + 2).size(), 4u);   // after the leading pulse: AC 53, the read, 00
    EXPECT_EQ(frame_bytes(), (std::vector<bytes4>{{0xAC, 0x53, 0xFF, 0x00}}));
    EXPECT_TRUE(chip.enabled);

    // reset released at least 30 ms, then held at least 30 ms before the first instruction
    std::uint64_t released = first_time(sim_rts, false, sim.trace[mark].t_ns - 1);
    std::uint64_t held = first_time(sim_rts, true, released);
    std::uint64_t first_bit = first_time(sim_break, true, held);
    EXPECT_GE(held - released, 30000000u - 1000000u);
    EXPECT_GE(first_bit - held, 29000000u);
    // during the read DTR stays at bit 0 of 0x53, a 1 bit: no DTR change in those 8 clocks
    std::vector<sim_event> dsr = events_of(sim_dsr);
    ASSERT_EQ(dsr.size(), 8u);
    for (const sim_event& e : sim.trace)
        if (e.t_ns > dsr.front().t_ns && e.t_ns < dsr.back().t_ns) {
            EXPECT_NE(e.line, sim_dtr);
        }
    // 8 ms after the echo's fourth byte before anything else may follow
    EXPECT_GE(sim.now_ns - sim.trace.back().t_ns, 7000000u);
}

TEST(EnterProgrammingMode, OutOfStepChipIsFoundAtTheMatchingAttempt)
{
    for (int k : {1, 2, 7, 8, 15, 16, 30, 31}) {
        fresh_bench();
        chip.out_of_step = k;
        ASSERT_TRUE(port_open(1));
        EXPECT_TRUE(enter_programming_mode()) << "k=" << k;
        EXPECT_EQ(events_of(sim_dsr).size(), 8u * (k + 1)) << "k=" << k;
        EXPECT_EQ(chip.counts.programming_enables, 1);
    }
}

TEST(EnterProgrammingMode, GivesUpAfter32Reads)
{
    fresh_bench();
    chip.present = false;
    ASSERT_TRUE(port_open(1));
    std::size_t mark = sim.trace.size();
    EXPECT_FALSE(enter_programming_mode());
    EXPECT_EQ(events_of(sim_dsr).size(), 32u * 8);
    // 33 x AC 53, 32 x 00; each attempt after the first starts from a fresh reset, and attempt
    // k (from 0) is k extra pulses along
    std::string bits;
    bool dtr = false;
    for (std::size_t i = mark; i < sim.trace.size(); ++i) {
        dtr = sim.trace[i].line == sim_dtr ? sim.trace[i].value : dtr;
        if (sim.trace[i].line == sim_break && sim.trace[i].value)
            bits += dtr ? '0' : '1';
    }
    std::size_t enables = 0;
    for (std::size_t at = bits.find("1010110001010011"); at != std::string::npos; at = bits.find("1010110001010011", at + 16))
        ++enables;
    EXPECT_EQ(enables, 33u);
    std::size_t pulses = 0;
    for (std::size_t i = mark; i < sim.trace.size(); ++i)
        pulses += sim.trace[i].line == sim_break && sim.trace[i].value;
    EXPECT_EQ(pulses, 1 + 16 + 32 * 32u + 32 * 33u / 2);
    EXPECT_EQ(sim.trace.back().line, sim_break);
    // reset released and held again before every attempt; it is left held
    EXPECT_EQ(events_of(sim_rts).size(), 1 + 2 + 2 * 32u);
    EXPECT_TRUE(events_of(sim_rts).back().value);
}

TEST(EnterProgrammingMode, OnlyTheWholeEchoCounts)
{
    for (std::uint8_t wrong : {0x52, 0xD3, 0xFF}) {
        fresh_bench();
        chip.out_of_step = 1;      // the second attempt gets in step
        ASSERT_TRUE(port_open(1));
        std::deque<bool> dsr;
        for (int bit = 7; bit >= 0; --bit)
            dsr.push_back(((wrong >> bit) & 1) == 0);
        sim.scripted_dsr = dsr;
        EXPECT_TRUE(enter_programming_mode());
        EXPECT_EQ(events_of(sim_dsr).size(), 16u) << "a read of " << int(wrong) << " must fail";
    }
}

TEST(ReadSignature, AsksForAddressTwoFirst)
{
    for (chip_part part : {part_at90s2313, part_attiny2313}) {
        start_session(part);
        std::uint8_t signature[3] = {};
        read_signature(signature);
        EXPECT_EQ(std::memcmp(signature, chip_signature(part), 3), 0);
        EXPECT_EQ(frame_bytes(), (std::vector<bytes4>{{0x30, 0, 2, 0x00}, {0x30, 0, 1, 0xFF}, {0x30, 0, 0, 0x00}}));
    }
}

TEST(ChipErase, SendsAc800400ThenWaitsAndReenters)
{
    start_session(part_at90s2313);
    chip.flash[5] = 0x1234;
    std::uint64_t start = sim.now_ns;
    chip_erase();
    ASSERT_GE(frames.size(), 2u);
    EXPECT_EQ(frame_bytes()[0], (bytes4{0xAC, 0x80, 0x04, 0x00}));
    EXPECT_EQ(frame_bytes()[1], (bytes4{0xAC, 0x53, 0xFF, 0x00}));
    EXPECT_EQ(chip.flash[5], 0xFFFF);
    std::uint64_t erased = frames[0].t_ns;
    std::uint64_t released = first_time(sim_rts, false, start);
    std::uint64_t held = first_time(sim_rts, true, released);
    EXPECT_GE(released - erased, 59000000u);
    EXPECT_GE(held - released, 59000000u);
    EXPECT_GE(frames[1].t_ns - erased, 150000000u - 3000000u);
    EXPECT_EQ(chip.counts.ignored_busy, 0);
}

TEST(ChipErase, ChipThatDoesNotComeBackReturnsQuietly)
{
    start_session(part_at90s2313);
    chip.faults.dead_after_erase = true;
    testing::internal::CaptureStdout();
    chip_erase();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(chip.enabled);
}

TEST(Instructions, BytesOnTheWire)
{
    struct { const char* name; void (*call)(); bytes4 expected; } cases[] = {
        {"write word", [] { write_flash_word(0x3FF, 0xABCD); }, {0x40, 0x03, 0xFF, 0xCD}},
        {"load page word", [] { load_page_word(0x105, 0x1234); }, {0x40, 0x00, 0x05, 0x34}},
        {"page 1", [] { write_page(device_table[1], 1); }, {0x4C, 0x00, 0x10, 0x00}},
        {"page 63", [] { write_page(device_table[1], 63); }, {0x4C, 0x03, 0xF0, 0x00}},
        {"page 64", [] { write_page(device_table[1], 64); }, {0x4C, 0x00, 0x00, 0x00}},
        {"eeprom write", [] { write_eeprom_byte(0, 0x5A); }, {0xC0, 0x00, 0x00, 0x5A}},
        {"eeprom read", [] { read_eeprom_byte(0x7F); }, {0xA0, 0x00, 0x7F, 0xFF}},
        {"fuse low", [] { write_fuse_low(0xEF); }, {0xAC, 0xA0, 0x00, 0xEF}},
        {"fuse high", [] { write_fuse_high(0xDF); }, {0xAC, 0xA8, 0x00, 0xDF}},
        {"lock 0 value 0", [] { write_lock_bits(device_table[0], 0); }, {0xAC, 0xE0, 0x00, 0x00}},
        {"lock 0 value FF", [] { write_lock_bits(device_table[0], 0xFF); }, {0xAC, 0xE6, 0x00, 0x00}},
        {"lock 1 value 0", [] { write_lock_bits(device_table[1], 0); }, {0xAC, 0xE0, 0x00, 0xC0}},
        {"lock 1 value FF", [] { write_lock_bits(device_table[1], 0xFF); }, {0xAC, 0xE0, 0x00, 0xFF}},
    };
    for (const auto& c : cases) {
        start_session(part_attiny2313);
        std::size_t mark = sim.trace.size();
        c.call();
        std::vector<int> sent = mosi_bytes(mark);
        ASSERT_GE(sent.size(), 4u) << c.name;
        EXPECT_EQ(std::vector<int>(sent.begin(), sent.begin() + 3),
                  std::vector<int>(c.expected.begin(), c.expected.begin() + 3)) << c.name;
        if (frame_bytes().front()[0] != 0xA0) {
            EXPECT_EQ(sent[3], c.expected[3]) << c.name;
        }
        EXPECT_EQ(frame_bytes().front(), c.expected) << c.name;
    }
}

TEST(Instructions, WritesAreFollowedByTheirWaits)
{
    struct { void (*call)(); int frames; std::uint64_t wait_ms; } cases[] = {
        {[] { write_flash_word(1, 2); }, 2, 8},
        {[] { load_page_word(1, 2); }, 2, 1},
        {[] { write_page(device_table[1], 0); }, 1, 8},
        {[] { write_eeprom_byte(1, 2); }, 1, 8},
        {[] { write_fuse_low(0xEF); }, 1, 30},
        {[] { write_fuse_high(0xDF); }, 1, 30},
        {[] { write_lock_bits(device_table[1], 0); }, 1, 30},
    };
    for (const auto& c : cases) {
        start_session(part_attiny2313);
        c.call();
        ASSERT_EQ(frames.size(), static_cast<std::size_t>(c.frames));
        std::uint64_t after_last_bit = sim.now_ns - sim.trace.back().t_ns;
        EXPECT_GE(after_last_bit, (c.wait_ms - 1) * 1000000u);
        EXPECT_LE(after_last_bit, c.wait_ms * 1000000u + 20000u);
    }
}

TEST(Instructions, FlashWordWriteWaitsBetweenItsTwoBytes)
{
    start_session(part_at90s2313);
    write_flash_word(0x3FF, 0xABCD);
    ASSERT_EQ(frame_bytes(), (std::vector<bytes4>{{0x40, 0x03, 0xFF, 0xCD}, {0x48, 0x03, 0xFF, 0xAB}}));
    EXPECT_GE(frames[1].t_ns - frames[0].t_ns, 7000000u);
    EXPECT_EQ(chip.flash[0x3FF], 0xABCD);
}

TEST(Instructions, PageWordPairHasNoWaitBetween)
{
    start_session(part_attiny2313);
    load_page_word(0x105, 0x1234);
    ASSERT_EQ(frame_bytes(), (std::vector<bytes4>{{0x40, 0, 5, 0x34}, {0x48, 0, 5, 0x12}}));
    EXPECT_LT(frames[1].t_ns - frames[0].t_ns, 1000000u);
    EXPECT_EQ(chip.page_buffer[5], 0x1234);
}

TEST(Instructions, ReadFlashWordTakesHighByteFirst)
{
    start_session(part_at90s2313);
    chip.flash[0x123] = 0xBEEF;
    std::size_t mark = sim.trace.size();
    EXPECT_EQ(read_flash_word(0x123), 0xBEEF);
    EXPECT_EQ(frame_bytes(), (std::vector<bytes4>{{0x28, 0x01, 0x23, 0xFF}, {0x20, 0x01, 0x23, 0xFF}}));
    EXPECT_EQ(frames[0].answer, 0xBE);
    // DTR changes only where a bit sent differs from the one before (the entry left a 0 bit),
    // and never during a read: it stays at bit 0 of 0x23, a 1 bit, through both answers
    std::size_t dtr_changes = 0;
    for (std::size_t i = mark; i < sim.trace.size(); ++i)
        dtr_changes += sim.trace[i].line == sim_dtr;
    int previous = 0;
    std::size_t bit_changes = 0;
    for (int byte : {0x28, 0x01, 0x23, 0x20, 0x01, 0x23})
        for (int bit = 7; bit >= 0; --bit) {
            bit_changes += ((byte >> bit) & 1) != previous;
            previous = (byte >> bit) & 1;
        }
    EXPECT_EQ(dtr_changes, bit_changes);
    EXPECT_EQ(read_eeprom_byte(0x7F), 0xFF);
}

TEST(Instructions, UnknownLockFormatSendsNothingButWaits)
{
    start_session(part_attiny2313);
    device_record odd = device_table[1];
    odd.lock_format = 2;
    std::size_t mark = sim.trace.size();
    std::uint64_t start = sim.now_ns;
    write_lock_bits(odd, 0);
    EXPECT_EQ(sim.trace.size(), mark);
    EXPECT_GE(sim.now_ns - start, 29000000u);
}

// The flash writer over an image of COUNT words from seed, on PART.
static std::string program(chip_part part, int words, const std::vector<std::uint16_t>& image = {})
{
    start_session(part);
    device_index = part == part_at90s2313 ? 0 : 1;
    flash_file_size = words * 2;
    for (int i = 0; i < words; ++i)
        flash_image[i] = image.empty() ? static_cast<std::uint16_t>(i * 7 + 1) : image[i];
    testing::internal::CaptureStdout();
    program_flash();
    return testing::internal::GetCapturedStdout();
}

static std::string counts(int from, int to)
{
    std::string text;
    char line[32];
    for (int i = from; i <= to; ++i) {
        std::snprintf(line, sizeof line, "Program %4u\r", static_cast<unsigned>(i));
        text += line;
    }
    return text;
}

TEST(ProgramFlash, PageModeLoadsEveryWordAndWritesEachPage)
{
    struct { int words; std::vector<int> pages; } cases[] = {
        {0, {}}, {1, {0}}, {16, {0}}, {17, {0, 16}}, {1024, {}},
    };
    for (int p = 0; p < 64; ++p)
        cases[4].pages.push_back(p * 16);
    for (const auto& c : cases) {
        std::string out = program(part_attiny2313, c.words);
        EXPECT_EQ(out, counts(1, c.words)) << c.words << " words";
        std::vector<int> pages;
        int loads = 0;
        for (const frame_record& f : frames) {
            if (f.bytes[0] == 0x4C)
                pages.push_back(f.bytes[1] << 8 | f.bytes[2]);
            loads += f.bytes[0] == 0x40;
        }
        EXPECT_EQ(pages, c.pages) << c.words << " words";
        EXPECT_EQ(loads, c.words);
        for (int i = 0; i < c.words; ++i)
            ASSERT_EQ(chip.flash[i], flash_image[i]) << "word " << i;
        EXPECT_EQ(chip.counts.ignored_busy, 0);
    }
}

TEST(ProgramFlash, PartialPageIsWrittenWithoutFiller)
{
    program(part_attiny2313, 17);
    ASSERT_EQ(frames.size(), 16u * 2 + 1 + 2 + 1);
    EXPECT_EQ(frame_bytes()[33], (bytes4{0x40, 0, 0, flash_image[16] & 0xFF}));
    EXPECT_EQ(frame_bytes()[35], (bytes4{0x4C, 0, 0x10, 0}));
    EXPECT_EQ(chip.flash[17], 0xFFFF);
}

TEST(ProgramFlash, WordModeSkipsErasedWordsButCountsThem)
{
    std::string out = program(part_at90s2313, 2, {0xFFFF, 0x3412});
    EXPECT_EQ(out, counts(1, 2));
    EXPECT_EQ(frame_bytes(), (std::vector<bytes4>{{0x40, 0, 1, 0x12}, {0x48, 0, 1, 0x34}}));
    EXPECT_EQ(chip.flash[1], 0x3412);

    out = program(part_at90s2313, 40, std::vector<std::uint16_t>(40, 0xFFFF));
    EXPECT_EQ(out, counts(1, 40));
    EXPECT_TRUE(frames.empty());
}

TEST(ProgramFlash, PageModeLoadsErasedWordsToo)
{
    program(part_attiny2313, 2, {0xFFFF, 0x0000});
    EXPECT_EQ(frames.size(), 5u);
}
