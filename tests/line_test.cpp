// The line driver on the simulated platform: line order, bit order, thresholds, waits.
#include <gtest/gtest.h>
#include <algorithm>
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

TEST(PortClose, PulsesReleasesResetThenCloses)
{
    fresh_bench();
    ASSERT_TRUE(port_open(1));
    std::size_t mark = sim.trace.size();
    port_close();
    EXPECT_EQ(wire(mark), "B1 B0 R0 C1");
    EXPECT_EQ(port_handle, os_no_handle);
    port_close();
    EXPECT_EQ(wire(mark), "B1 B0 R0 C1");
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

// DTR is called only where a bit differs from the one before; the port opened with DTR set.
TEST(SendByte, DrivesDtrMsbFirstOnePulseABitChangingItOnlyWhenTheBitDoes)
{
    fresh_bench();
    ASSERT_TRUE(port_open(1));
    std::size_t mark = sim.trace.size();
    send_byte(0xA5);
    EXPECT_EQ(wire(mark), "D0 B1 B0 D1 B1 B0 D0 B1 B0 D1 B1 B0 B1 B0 D0 B1 B0 D1 B1 B0 D0 B1 B0");
    mark = sim.trace.size();
    send_byte(0x01);
    EXPECT_EQ(wire(mark), "D1 B1 B0 B1 B0 B1 B0 B1 B0 B1 B0 B1 B0 B1 B0 D0 B1 B0");
}

// The clock rests low a half period before each rise: a DTR change made after the last
// fall stands a whole half period before the rise that samples it.
TEST(SendByte, DataStandsAHalfPeriodBeforeTheRiseAndAfterTheLastOne)
{
    fresh_bench();
    ASSERT_TRUE(port_open(1));
    std::size_t mark = sim.trace.size();
    send_byte(0x5A);
    std::uint64_t last_rise = 0;
    for (std::size_t i = mark; i < sim.trace.size(); ++i) {
        const sim_event& e = sim.trace[i];
        if (e.line == sim_break && e.value)
            last_rise = e.t_ns;
        if (e.line != sim_dtr)
            continue;
        std::uint64_t next_rise = 0;
        for (std::size_t j = i; j < sim.trace.size() && next_rise == 0; ++j)
            if (sim.trace[j].line == sim_break && sim.trace[j].value)
                next_rise = sim.trace[j].t_ns;
        EXPECT_GE(next_rise - e.t_ns, 3100u) << "set-up before the rise, event " << i;
        if (last_rise != 0) {
            EXPECT_GE(e.t_ns - last_rise, 3100u) << "hold after the last rise, event " << i;
        }
    }
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

// Bit-bang waits are sized at the fastest byte clock unless the one measured at open is well
// below it: a measure a round trip's hiccup made slow must never make a wait short.
TEST(BitbangWaits, SizedAtTheFastestClockUnlessMeasuredWellBelowIt)
{
    struct { double measured; std::uint32_t rate; } cases[] = {
        {0.0, 307200},             // nothing measured
        {307200.0, 307200},
        {307200.0 * 0.85, 307200}, // the fastest clock measured slow
        {400000.0, 307200},        // or fast
        {76800.0, 86401},          // a chip at 4 times the baud: its own clock, an eighth over
    };
    for (const auto& c : cases)
        EXPECT_EQ(bitbang_wait_rate_for(c.measured), c.rate) << c.measured;
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
        // the low half period ends, and the clock rises, right after the third reading
        ASSERT_EQ(reads_at_line_call.size(), 2u);
        EXPECT_EQ(reads_at_line_call[0], 3);
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
    std::uint64_t before = sim.now_ns;
    clock_pulse();
    std::uint64_t low = sim.trace[mark].t_ns - before;
    std::uint64_t high = sim.trace[mark + 1].t_ns - sim.trace[mark].t_ns;
    EXPECT_GE(low, 3100u);
    EXPECT_LE(low, 3300u);
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

// The bulk of a wait is slept; only its last stretch (the sleep's margin) is polled.
TEST(Waits, SleepMostOfTheWayAndLastAtLeastNMinusOneMilliseconds)
{
    struct { void (*wait)(); std::uint32_t n; std::uint64_t from_ns; } waits[] = {
        {wait_8ms, 8, 123456}, {wait_30ms, 30, 999999}, {wait_1ms, 1, 100000}, {wait_1ms, 1, 900000}};
    for (const auto& w : waits) {
        fresh_bench();
        sim.now_ns = w.from_ns;
        std::uint32_t start_tick = static_cast<std::uint32_t>((w.from_ns + sim.ticks_read_ns) / 1000000);
        w.wait();
        std::uint64_t lasted = sim.now_ns - w.from_ns;
        EXPECT_GE(sim.now_ns, (start_tick + w.n) * 1000000ull) << "ended before the tick count moved on by " << w.n;
        EXPECT_LE(sim.now_ns, (start_tick + w.n) * 1000000ull + 20000) << "wait of " << w.n;
        EXPECT_GE(lasted, (w.n - 1) * 1000000ull);
        EXPECT_LE(lasted - sim.slept_ns, sim.sleep_margin_ns + 20000) << "polled for more than the margin";
        EXPECT_LE(sim.ticks_reads, 60) << "wait of " << w.n;
    }
}

// ISP2313_DSR_WAIT_US moves each DSR read of a bus bit to that long after the fall before
// it, and moves nothing else: the same calls in the same order, the bits sent timed as ever.
// A wait shorter than the half period changes nothing; a long one is mostly slept.
TEST(DsrWait, ReadsEachBitThatLongAfterTheFallAndNothingElseMoves)
{
    struct { const char* setting; std::uint64_t wait_ns; } cases[] = {
        {nullptr, 0}, {"", 0}, {"0", 0}, {"002", 0}, {"250", 250000}, {"3000", 3000000}, {"100000", 100000000}};
    std::string calls;
    std::vector<std::uint64_t> send_times;
    for (const auto& c : cases) {
        fresh_bench();
        sim.dsr_wait_setting = c.setting;
        ASSERT_TRUE(port_open(1)) << c.setting;
        std::size_t mark = sim.trace.size();
        send_byte(0xA5);
        std::vector<std::uint64_t> sent;
        for (std::size_t i = mark; i < sim.trace.size(); ++i)
            sent.push_back(sim.trace[i].t_ns - sim.trace[mark].t_ns);
        sim.scripted_dsr = {true, false, true, false, false, true, false, true};
        long slept = sim.sleeps;
        EXPECT_EQ(receive_byte(), 0x5A);
        EXPECT_EQ(sim.sleeps > slept, c.wait_ns >= 3000000) << c.setting;
        if (calls.empty()) {
            calls = wire(mark);
            send_times = sent;
        }
        EXPECT_EQ(wire(mark), calls) << c.setting;
        EXPECT_EQ(sent, send_times) << c.setting;
        std::uint64_t fall = sim.trace[mark + sent.size() - 1].t_ns;
        for (std::size_t i = mark + sent.size(); i < sim.trace.size(); ++i) {
            if (sim.trace[i].line == sim_break && !sim.trace[i].value)
                fall = sim.trace[i].t_ns;
            if (sim.trace[i].line != sim_dsr)
                continue;
            std::uint64_t after_fall = sim.trace[i].t_ns - fall;
            EXPECT_GE(after_fall, std::max<std::uint64_t>(c.wait_ns, 3100)) << c.setting;
            EXPECT_LE(after_fall, std::max<std::uint64_t>(c.wait_ns, 3100) + 300) << c.setting;
        }
    }
}

// A failed line call is the port gone: nothing is clocked after it, reads give 1 bits, no
// wait starts, and the close tries only to release the lines.
TEST(LostPort, NothingIsClockedAfterTheFailedCall)
{
    fresh_bench();
    ASSERT_TRUE(port_open(1));
    sim.fail_from_modem_call = sim.modem_calls + 4;
    send_byte(0x00);
    EXPECT_TRUE(line_lost);
    EXPECT_TRUE(line_stopped());
    EXPECT_EQ(sim.failed_modem_calls, 1);
    EXPECT_STREQ(os_failure(), "break off: Input/output error");
    std::size_t mark = sim.trace.size();
    std::uint64_t before = sim.now_ns;
    send_byte(0xFF);
    EXPECT_EQ(receive_byte(), 0xFF);
    clock_pulse();
    wait_30ms();
    EXPECT_EQ(sim.trace.size(), mark);
    EXPECT_LT(sim.now_ns - before, 1000u);
    EXPECT_EQ(sim.failed_modem_calls, 1) << "no line call after the failed one";
    port_close();
    EXPECT_EQ(wire(mark), "C1");
    EXPECT_EQ(sim.failed_modem_calls, 3) << "break off and RTS clear tried";
}

TEST(LostPort, ALineCallThatFailsWhileOpeningFailsTheOpen)
{
    for (long failing = 1; failing <= 4; ++failing) {
        fresh_bench();
        sim.fail_from_modem_call = failing;
        EXPECT_FALSE(port_open(1)) << "call " << failing;
        EXPECT_EQ(port_handle, os_no_handle);
        EXPECT_EQ(sim.trace.back().line, sim_close);
        EXPECT_EQ(events_of(sim_break).size(), failing >= 4 ? 1u : 0u);
        EXPECT_NE(os_failure()[0], '\0');
    }
}

// An interrupt stops the bits at once. A wait still runs when whole bytes went out before
// it (the chip may be busy with them) and one under way runs out; any other is skipped.
// The close is the normal one.
TEST(Interrupt, StopsTheBitsButLetsTheChipFinishWhatItWasSent)
{
    struct { const char* name; int interrupt_at_rise; bool interrupt_in_wait; std::uint64_t first_wait_ns; } cases[] = {
        {"mid byte: the byte is cut, no wait", 3, false, 0},
        {"after the byte: its wait runs", 0, false, 7000000},
        {"in the wait: it runs out", 0, true, 7000000},
    };
    for (const auto& c : cases) {
        fresh_bench();
        ASSERT_TRUE(port_open(1));
        int rises = 0;
        sim.on_event = [&](const sim_event& e) {
            if (e.line == sim_break && e.value && ++rises == c.interrupt_at_rise)
                sim.interrupted = true;
        };
        send_byte(0x00);
        EXPECT_EQ(rises, c.interrupt_at_rise ? c.interrupt_at_rise : 8) << c.name;
        std::uint64_t before = sim.now_ns;
        if (c.interrupt_at_rise == 0 && !c.interrupt_in_wait)
            sim.interrupted = true;
        if (c.interrupt_in_wait)
            sim.on_time = [&](std::uint64_t now) { sim.interrupted = sim.interrupted || now > before + 2000000; };
        wait_8ms();
        EXPECT_GE(sim.now_ns - before, c.first_wait_ns) << c.name;
        EXPECT_LE(sim.now_ns - before, c.first_wait_ns ? 8100000u : 1000u) << c.name;
        sim.on_time = nullptr;
        before = sim.now_ns;
        std::size_t mark = sim.trace.size();
        wait_30ms();
        send_byte(0x55);
        rts_clear();
        EXPECT_LT(sim.now_ns - before, 1000u) << c.name;
        EXPECT_EQ(sim.trace.size(), mark) << c.name;
        port_close();
        EXPECT_EQ(wire(mark), "B1 B0 R0 C1") << c.name;
    }
}
