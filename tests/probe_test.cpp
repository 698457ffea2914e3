// isp2313-probe on the simulated platform: its findings for each wiring fault, loopback and
// adapter, exact; the chip left exactly as it was found; its full-run figures.
#include <gtest/gtest.h>
#include <cstring>
#include <string>
#include <vector>
#include "run/probe.h"
#include "tests/lifecycle.h"

// The probe's full-run table holds what a full run of the benchmarks' images asks of the port.
TEST(ProbeFullRun, FiguresAreTheSimulatedRunsOwn)
{
    std::string flash = scratch_file("flash.bin", full_run_flash());
    std::string eeprom = scratch_file("ee.bin", full_run_eeprom());
    for (int i = 0; i < full_run_count; ++i) {
        chip_part part = i == 0 ? part_attiny2313 : part_at90s2313;
        fresh_bench(part);
        ASSERT_EQ(run_program({"1", flash, eeprom}).status, 0);
        full_run_calls seen{chip_part_name(part), 0, 0, 0, 0, 0, 0};
        bool rts = false, rts_known = false;
        for (const sim_event& e : sim.trace) {
            seen.clock_pulses += e.line == sim_break && e.value;
            seen.dtr_sets += e.line == sim_dtr && e.value;
            seen.dtr_clears += e.line == sim_dtr && !e.value;
            seen.dsr_reads += e.line == sim_dsr;
            if (e.line == sim_rts) {
                seen.rts_changes += !rts_known || e.value != rts;
                rts = e.value;
                rts_known = true;
            }
        }
        for (const frame_record& f : frames)
            seen.waits_ms += static_cast<long>(nominal_wait_ms(f.bytes, part));
        const full_run_calls& table = full_runs[i];
        EXPECT_STREQ(table.chip, seen.chip);
        EXPECT_EQ(table.clock_pulses, seen.clock_pulses) << seen.chip;
        EXPECT_EQ(table.dtr_sets, seen.dtr_sets) << seen.chip;
        EXPECT_EQ(table.dtr_clears, seen.dtr_clears) << seen.chip;
        EXPECT_EQ(table.dsr_reads, seen.dsr_reads) << seen.chip;
        EXPECT_EQ(table.rts_changes, seen.rts_changes) << seen.chip;
        EXPECT_EQ(table.waits_ms, seen.waits_ms) << seen.chip;
    }
}

TEST(Probe, Try)
{
    fresh_bench(part_attiny2313);
    run_result r = run_program({"1"}, probe);
    std::printf("status %d\n%s---\n%s", r.status, r.out.c_str(), r.err.c_str());
    fresh_bench(part_at90s2313);
    chip.out_of_step = 5;
    r = run_program({"1"}, probe);
    std::printf("status %d\n%s---\n%s", r.status, r.out.c_str(), r.err.c_str());
    fresh_bench(part_at90s2313);
    chip.present = false;
    r = run_program({"1"}, probe);
    std::printf("status %d\n%s---\n%s", r.status, r.out.c_str(), r.err.c_str());
}
