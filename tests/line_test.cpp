// The line driver on the simulated platform: line order, bit order, thresholds, waits.
#include <gtest/gtest.h>
#include <deque>
#include <string>
#include <vector>
#include "line/line.h"
#include "tests/lifecycle.h"

// The trace as text, one letter a line and its value: "D1 R1 B1 B0".
static std::string wire(std::size_t from = 0)
{
    std::string text;
    for (std::size_t i = from; i < sim.trace.size(); ++i) {
        if (!text.empty())
            text += ' ';
        text += static_cast<char>(sim.trace[i].line);
        text += sim.trace[i].value ? '1' : '0';
    }
    return text;
}

TEST(PortOpen, SetsDtrThenRtsThenGivesOnePulse)
{
    fresh_bench();
    ASSERT_TRUE(port_open(1));
    EXPECT_NE(port_handle, os_no_handle);
    EXPECT_EQ(wire(), "O1 D1 R1 B1 B0");
}

TEST(PortOpen, MissingOrBusyPortDrivesNothing)
{
    for (int busy = 0; busy < 2; ++busy) {
        fresh_bench();
        (busy ? sim.port_busy : sim.port_present)[2] = busy != 0;
        EXPECT_FALSE(port_open(2));
        EXPECT_EQ(port_handle, os_no_handle);
        EXPECT_TRUE(sim.trace.empty());
    }
}

TEST(PortOpen, ZeroCounterFrequencyOpensNothing)
{
    fresh_bench();
    sim.frequency = 0;
    EXPECT_FALSE(port_open(1));
    EXPECT_TRUE(sim.trace.empty());
}

TEST(PortClose, PulsesClearsBreakAndRtsThenCloses)
{
    fresh_bench();
    ASSERT_TRUE(port_open(1));
    std::size_t mark = sim.trace.size();
    port_close();
    EXPECT_EQ(wire(mark), "B1 B0 B0 R0 C1");
    EXPECT_EQ(port_handle, os_no_handle);
    port_close();
    EXPECT_EQ(wire(mark), "B1 B0 B0 R0 C1");
}

TEST(ClosedPort, LineOperationsDoNothing)
{
    fresh_bench();
    send_byte(0xA5);
    EXPECT_EQ(receive_byte(), 0);
    dtr_set();
    dtr_clear();
    rts_set();
    rts_clear();
    port_close();
    EXPECT_TRUE(sim.trace.empty());
}

TEST(SendByte, DrivesDtrMsbFirstOnePulseABit)
{
    fresh_bench();
    ASSERT_TRUE(port_open(1));
    std::size_t mark = sim.trace.size();
    send_byte(0xA5);
    EXPECT_EQ(wire(mark), "D0 B1 B0 D1 B1 B0 D0 B1 B0 D1 B1 B0 D1 B1 B0 D0 B1 B0 D1 B1 B0 D0 B1 B0");
}

TEST(ReceiveByte, SamplesDsrBeforeEachPulseInverted)
{
    struct { std::deque<bool> dsr; std::uint8_t expected; } cases[] = {
        {{true, true, true, true, true, true, true, true}, 0x00},
        {{false, false, false, false, false, false, false, false}, 0xFF},
        {{false, true, true, true, true, true, true, true}, 0x80},
        {{true, false, true, false, false, true, false, true}, 0x5A},
    };
    for (const auto& c : cases) {
        fresh_bench();
        ASSERT_TRUE(port_open(1));
        sim.scripted_dsr = c.dsr;
        std::size_t mark = sim.trace.size();
        EXPECT_EQ(receive_byte(), c.expected);
        std::string expected_wire;
        for (const bool on : c.dsr)
            expected_wire += std::string(expected_wire.empty() ? "" : " ") + (on ? "S1" : "S0") + " B1 B0";
        EXPECT_EQ(wire(mark), expected_wire);
    }
}

TEST(ReceiveByte, NoChipReadsAsAllOnes)
{
    fresh_bench();
    chip.present = false;
    ASSERT_TRUE(port_open(1));
    EXPECT_EQ(receive_byte(), 0xFF);
}

TEST(HalfPeriod, ThresholdFromFrequency)
{
    EXPECT_EQ(half_period_for(1193182.0f), 251u);
    EXPECT_EQ(half_period_for(3579545.0f), 83u);
    EXPECT_EQ(half_period_for(10000000.0f), 30u);
    EXPECT_EQ(half_period_for(static_cast<float>(25000001)), 12u);
    EXPECT_EQ(half_period_for(300000001.0f * 2), 0u);
}

// Each half period ends at the first reading more than the threshold after its start.
TEST(HalfPeriod, EndsAtFirstReadingPastThreshold)
{
    struct { std::uint64_t frequency; std::uint32_t start, not_yet, done; } cases[] = {
        {3579545, 1000, 1083, 1084},
        {3579545, 4294967280u, 67, 68},         // across the counter's 32-bit wrap
        {1000000000, 500, 500, 501},            // threshold 0: one tick is enough
    };
    for (const auto& c : cases) {
        fresh_bench();
        sim.frequency = c.frequency;
        ASSERT_TRUE(port_open(1));
        sim.scripted_counter = {c.start, c.not_yet, c.done};
        long before = sim.counter_reads;
        std::vector<long> reads_at_line_call;
        sim.stop_when = [&] { reads_at_line_call.push_back(sim.counter_reads - before); return false; };
        std::size_t mark = sim.trace.size();
        clock_pulse();
        ASSERT_EQ(wire(mark), "B1 B0");
        // the break goes off right after the third reading, not after the second
        EXPECT_EQ(reads_at_line_call, (std::vector<long>{0, 3}));
    }
}

TEST(HalfPeriod, ComputedOnceAtTheFirstPulse)
{
    fresh_bench();
    sim.frequency = 3579545;
    ASSERT_TRUE(port_open(1));
    EXPECT_EQ(half_period_ticks, 83u);
    sim.frequency = 10000000;
    ASSERT_TRUE(port_open(1));
    EXPECT_EQ(half_period_ticks, 83u);
    EXPECT_FLOAT_EQ(counter_frequency, 10000000.0f);
}

TEST(HalfPeriod, LastsThresholdPlusOneTicksInVirtualTime)
{
    fresh_bench();
    ASSERT_TRUE(port_open(1));
    std::size_t mark = sim.trace.size();
    clock_pulse();
    std::uint64_t high = sim.trace[mark + 1].t_ns - sim.trace[mark].t_ns;
    EXPECT_GE(high, 3100u);
    EXPECT_LE(high, 3300u);
}

TEST(Waits, EndAtFirstReadingNMillisecondsOn)
{
    struct { void (*wait)(); std::uint32_t n; } waits[] = {{wait_1ms, 1}, {wait_8ms, 8}, {wait_30ms, 30}};
    for (const auto& w : waits) {
        fresh_bench();
        std::uint32_t start = 4294967290u;   // 6 ms before the wrap
        sim.scripted_ticks = {start, start + w.n - 1, start + w.n, 7};
        w.wait();
        ASSERT_EQ(sim.scripted_ticks.size(), 1u) << "wait of " << w.n;
    }
}

TEST(Waits, Wait1msEndsAtTheFirstChange)
{
    fresh_bench();
    sim.scripted_ticks = {100, 100, 101, 500};
    wait_1ms();
    EXPECT_EQ(sim.scripted_ticks.size(), 1u);
}

TEST(Waits, LastAtLeastNMinusOneMillisecondsOfVirtualTime)
{
    fresh_bench();
    sim.now_ns = 123456;
    std::uint64_t start = sim.now_ns;
    wait_8ms();
    EXPECT_GE(sim.now_ns - start, 7000000u);
    EXPECT_LE(sim.now_ns - start, 8020000u);
}
