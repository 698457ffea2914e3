// The port's lines measured and watched for isp2313-probe, through the same seam as the
// line driver.
#include "line/line_checks.h"
#include <algorithm>
#include "line/line.h"

constexpr int    follow_changes   = 16;     // changes watched for each line
constexpr double follow_limit_s   = 0.05;   // a DSR that has not followed by then does not

static double seconds_since(std::uint32_t start)
{
    return static_cast<double>(static_cast<std::uint32_t>(os_counter() - start)) / counter_frequency;
}

static double median(std::uint32_t* samples, int count = cost_samples)
{
    std::nth_element(samples, samples + count / 2, samples + count);
    return static_cast<double>(samples[count / 2]) / counter_frequency;
}

// A failed call marks the line lost, as in a run; a loop over a lost line stops.
static bool timed(bool done, std::uint32_t start, std::uint32_t& sample)
{
    sample = static_cast<std::uint32_t>(os_counter() - start);
    return line_call(done);
}

bool measure_call_costs(call_costs& costs)
{
    std::uint32_t on[cost_samples], off[cost_samples], away[cost_samples], back[cost_samples], read[cost_samples];
    for (int i = 0; i < cost_samples && !line_stopped(); ++i) {
        std::uint32_t start = os_counter();
        if (!timed(os_set_break(port_handle, true), start, on[i]))
            break;
        start = os_counter();
        timed(os_set_break(port_handle, false), start, off[i]);
    }
    for (int i = 0; i < cost_samples && !line_stopped(); ++i) {
        std::uint32_t start = os_counter();
        if (!timed(os_set_dtr(port_handle, !dtr_level), start, away[i]))
            break;
        start = os_counter();
        timed(os_set_dtr(port_handle, dtr_level), start, back[i]);
    }
    for (int i = 0; i < cost_samples && !line_stopped(); ++i) {
        bool dsr_on = false;
        std::uint32_t start = os_counter();
        timed(os_read_dsr(port_handle, dsr_on), start, read[i]);
    }
    if (line_stopped())
        return false;
    costs.break_on = median(on);
    costs.break_off = median(off);
    // DTR went away from its level and back: the halves are named by what they did.
    costs.dtr_set = median(dtr_level ? back : away);
    costs.dtr_clear = median(dtr_level ? away : back);
    costs.dsr_read = median(read);
    return true;
}

// Reads DSR until it shows WANTED or the limit passes; the reads it took and the time.
static bool wait_for_dsr(bool wanted, int& reads, double& took)
{
    std::uint32_t start = os_counter();
    reads = 0;
    bool on = !wanted;
    while (line_now_dsr(on)) {
        ++reads;
        took = seconds_since(start);
        if (on == wanted)
            return true;
        if (took > follow_limit_s)
            return false;
    }
    return false;
}

// The line is put at rest first; DSR's level then, against its level once the line is set,
// says whether it follows and with which polarity. Then each change is timed.
static dsr_follow watch_dsr(bool use_break)
{
    dsr_follow result{false, false, true, 0.0};
    bool at_rest = false;
    int reads = 0;
    double took = 0.0;
    if (!line_now_set(use_break, false))
        return result;
    // A DSR read from a cached status may still show what went before: it is read for as
    // long as any adapter takes to follow before its level at rest counts.
    std::uint32_t start = os_counter();
    while (line_now_dsr(at_rest) && seconds_since(start) <= follow_limit_s) {
    }
    if (line_lost || !line_now_set(use_break, true))
        return result;
    result.follows = wait_for_dsr(!at_rest, reads, took);
    result.on_with_line = !at_rest;
    bool line_on = true;
    for (int i = 0; i < follow_changes && result.follows; ++i) {
        line_on = !line_on;
        if (!line_now_set(use_break, line_on))
            break;
        result.follows = wait_for_dsr(line_on == result.on_with_line, reads, took);
        result.live = result.live && reads == 1;
        result.slowest = std::max(result.slowest, took);
    }
    line_now_set(use_break, use_break ? false : dtr_level);
    result.live = result.live && result.follows;
    return result;
}

dsr_follow watch_dsr_against_dtr()   { return watch_dsr(false); }
dsr_follow watch_dsr_against_break() { return watch_dsr(true); }

// Transfers of one packet's states and of a whole chunk's, timed: each costs the USB round trip
// and its states on the pins, so the difference is the byte clock's. Where the two cannot be
// told apart the clock is only known to be at least as fast as a chunk in a round trip.
bool measure_bitbang(bitbang_costs& costs)
{
    std::uint32_t small[bitbang_samples], large[bitbang_samples];
    std::uint32_t packet = bitbang_packet_states(), chunk = bitbang_chunk_states();
    for (int i = 0; i < bitbang_samples && !line_stopped(); ++i) {
        std::uint32_t start = os_counter();
        if (!timed(line_idle_states(packet), start, small[i]))
            break;
        start = os_counter();
        timed(line_idle_states(chunk), start, large[i]);
    }
    if (line_stopped())
        return false;
    double one = median(small, bitbang_samples), all = median(large, bitbang_samples);
    costs.hidden = all <= one;
    costs.state = costs.hidden ? one / static_cast<double>(chunk) : (all - one) / static_cast<double>(chunk - packet);
    costs.round_trip = costs.hidden ? one : one - costs.state * static_cast<double>(packet);
    return true;
}
