// Serial line driver: clock, data and reset on a PC serial port's lines.
//
//   DB-9 pin 3  TXD  (break)  -> SCK    break on = clock high, the clock rests low
//   DB-9 pin 4  DTR           -> MOSI   inverted: a 1 bit clears DTR
//   DB-9 pin 6  DSR           <- MISO   inverted: DSR off reads as a 1 bit
//   DB-9 pin 7  RTS           -> RESET  RTS set holds the chip in reset
//   DB-9 pin 5  ground
#include "line/line.h"
#include <cstdio>
#include "line/port_name.h"

os_handle     port_handle       = os_no_handle;
float         counter_frequency = 0.0f;
std::uint32_t half_period_ticks = 0;
bool          half_period_ready = false;
bool          dtr_level         = false;
bool          line_lost         = false;
std::uint32_t dsr_wait_us       = 0;
const char*   dsr_wait_refused  = nullptr;

// RTS, like DTR, is called only to change it; the first call after the open always goes out.
static bool rts_level, rts_known;

// Whether the chip may be busy with something sent since the last wait, and whether an
// interrupt cut an instruction short (then the chip is busy with nothing of it).
static bool bits_since_wait, bits_cut;

// FTDI synchronous bit-bang: the same line states as the line calls give, queued as pin
// states, one byte a change, and sent a chunk at a time. DSR bits come from the samples.
// The baud-rate generator is set so that even a byte clock of 16 times it leaves each
// state on the pins at least 3.26 us: a clock phase of one byte is long enough for both chips,
// and a MOSI change one byte before the rise is set up in time.
bool bitbang = false;
char bitbang_refusal[200];
os_reason bitbang_refusal_reason;
constexpr std::uint32_t bitbang_chunk_max = 4096;
static os_bitbang_sizes bb_sizes;
static std::uint8_t  bb_pins;                         // the state the last queued byte gives
static std::uint8_t  bb_states[bitbang_chunk_max], bb_samples[bitbang_chunk_max];
static std::uint32_t bb_queued;
static std::uint32_t bb_phase;                        // bytes since the last clock edge
std::uint32_t bitbang_half_states = 1;                // bytes each clock phase lasts at least
static std::uint32_t bb_read_at[8], bb_reads;         // queued bytes whose samples are DSR bits
static std::uint8_t  bb_bits;                         // those bits, oldest in bit 7 as they come
static std::uint32_t bb_bit_count;

// The threshold is 3e8 divided by the frequency, not a fixed time times the frequency:
// the quotient is taken in double, which holds its integer part exactly.
std::uint32_t half_period_for(float frequency)
{
    double quotient = 300000000.0f / static_cast<double>(frequency);
    return static_cast<std::uint32_t>(static_cast<std::int64_t>(quotient));
}

bool line_interrupted() { return os_interrupted(); }

bool line_stopped() { return line_lost || os_interrupted(); }

// Any line call the OS reports as failed means the port is gone (an adapter pulled, its
// driver failing): nothing more is sent over it.
bool line_call(bool done)
{
    if (!done)
        line_lost = true;
    return done;
}

// One transfer of the queued states; the samples of the rising edges that read DSR become bits.
// A failed transfer loses the line, and its reads give 1 bits.
static void bb_send()
{
    if (bb_queued == 0)
        return;
    if (!line_lost)
        line_call(os_bitbang_transfer(port_handle, bb_states, bb_samples, bb_queued));
    for (std::uint32_t i = 0; i < bb_reads; ++i) {
        bool dsr_on = !line_lost && (bb_samples[bb_read_at[i]] & os_pin_dsr) == 0;
        bb_bits = static_cast<std::uint8_t>(bb_bits << 1 | (dsr_on ? 0 : 1));
        ++bb_bit_count;
    }
    bb_queued = bb_reads = 0;
}

static void bb_queue(std::uint8_t state)
{
    if (bb_queued == bb_sizes.chunk_states)
        bb_send();
    bb_states[bb_queued++] = state;
    bb_pins = state;
    ++bb_phase;
}

// Everything queued reaches the pins and its samples come back. The last state is repeated to
// fill the last packet: a packet that is not full would wait for the latency timer.
static void bb_flush()
{
    while (bb_queued % bb_sizes.packet_states != 0)
        bb_queue(bb_pins);
    bb_send();
}

static void bb_set(std::uint8_t pin, bool line_set)
{
    bb_queue(static_cast<std::uint8_t>(line_set ? bb_pins & ~pin : bb_pins | pin));
}

// Differences are unsigned 32-bit, so a wrap of the counter inside a half period is harmless.
static void wait_half_period()
{
    if (bitbang) {
        while (bb_phase < bitbang_half_states)
            bb_queue(bb_pins);
        return;
    }
    std::uint32_t start = os_counter();
    while (static_cast<std::uint32_t>(os_counter() - start) <= half_period_ticks) {
    }
}

// An adapter that shows DSR late: the read waits until dsr_wait_us after the fall, the half
// period already waited included. Whole milliseconds but the last are slept, the rest polled.
static void wait_before_read()
{
    if (dsr_wait_us == 0)
        return;
    double wait_ticks = static_cast<double>(dsr_wait_us) * 1e-6 * counter_frequency;
    if (wait_ticks <= static_cast<double>(half_period_ticks))
        return;
    std::uint32_t start = os_counter();
    std::uint32_t ticks = static_cast<std::uint32_t>(wait_ticks) - half_period_ticks;
    std::uint32_t whole_ms = static_cast<std::uint32_t>(ticks / counter_frequency * 1000.0f);
    if (whole_ms >= 2)
        os_sleep_until_ms(os_ticks_ms() + whole_ms - 1);
    while (static_cast<std::uint32_t>(os_counter() - start) < ticks) {
    }
}

// One clock period, low half first: a data change made right after the last falling edge
// is a whole half period old when the chip samples it on the rise, and the chip's answer
// has had as long to settle after the fall when DSR is read, just before the rise.
static void pulse(bool* dsr_on = nullptr)
{
    if (!half_period_ready) {
        half_period_ticks = half_period_for(counter_frequency);
        half_period_ready = true;
    }
    bits_since_wait = true;
    wait_half_period();
    if (bitbang) {
        bb_phase = 0;
        bb_set(os_pin_txd, true);
        if (dsr_on != nullptr)
            bb_read_at[bb_reads++] = bb_queued - 1;
        wait_half_period();
        bb_phase = 0;
        bb_set(os_pin_txd, false);
        return;
    }
    if (dsr_on != nullptr) {
        wait_before_read();
        line_call(os_read_dsr(port_handle, *dsr_on));
    }
    if (line_lost)
        return;
    line_call(os_set_break(port_handle, true));
    if (line_lost)
        return;
    wait_half_period();
    line_call(os_set_break(port_handle, false));
}

// False, and the bit is noted as cut, once the line has stopped.
static bool bit_may_go()
{
    if (!line_stopped())
        return true;
    bits_cut = true;
    return false;
}

void clock_pulse()
{
    if (bit_may_go())
        pulse();
}

static void set_dtr(bool on)
{
    if (port_handle == os_no_handle || line_stopped())
        return;
    if (bitbang)
        bb_set(os_pin_dtr, on);
    else
        line_call(os_set_dtr(port_handle, on));
    dtr_level = on;
}

static void set_rts(bool on)
{
    if (port_handle == os_no_handle || line_stopped() || (rts_known && on == rts_level))
        return;
    if (bitbang)
        bb_set(os_pin_rts, on);
    else
        line_call(os_set_rts(port_handle, on));
    rts_level = on;
    rts_known = true;
}

void dtr_set()   { set_dtr(true); }
void dtr_clear() { set_dtr(false); }
void rts_set()   { set_rts(true); }
void rts_clear() { set_rts(false); }

// DTR is only called when the bit differs from what DTR already carries.
void send_byte(std::uint8_t value)
{
    if (port_handle == os_no_handle)
        return;
    for (unsigned mask = 0x80; mask != 0 && bit_may_go(); mask >>= 1) {
        bool dtr_for_bit = (value & mask) == 0;
        if (dtr_for_bit != dtr_level)
            set_dtr(dtr_for_bit);
        clock_pulse();
    }
}

// DTR keeps whatever the last byte sent left on it. A stopped line reads as 1 bits.
std::uint8_t receive_byte()
{
    std::uint8_t result = 0;
    if (port_handle == os_no_handle)
        return 0;
    bb_bit_count = 0;
    for (int bit = 0; bit < 8; ++bit) {
        bool dsr_on = false;
        if (bit_may_go())
            pulse(&dsr_on);
        result = static_cast<std::uint8_t>(result << 1 | (dsr_on ? 0 : 1));
    }
    if (!bitbang)
        return result;
    bb_flush();
    // Bits not clocked (a stopped line) read as 1s, as over line calls.
    return static_cast<std::uint8_t>(bb_bits << (8 - bb_bit_count) | (0xFF >> bb_bit_count));
}

// Sleeps through the bulk of the wait and polls its last stretch. After an interrupt a
// wait still runs when a whole instruction went out before it, and one under way runs
// out: a write the chip is busy with ends before its reset is released. Any other wait,
// and every wait on a lost port, is skipped.
static void wait_ms(std::uint32_t milliseconds)
{
    if (line_lost || (os_interrupted() && (bits_cut || !bits_since_wait)))
        return;
    if (bitbang) {
        bb_flush();
        if (line_lost)
            return;
    }
    std::uint32_t start = os_ticks_ms();
    while (static_cast<std::uint32_t>(os_ticks_ms() - start) < milliseconds && !line_lost)
        os_sleep_until_ms(start + milliseconds);
    bits_since_wait = false;
}

void wait_1ms()  { wait_ms(1); }
void wait_8ms()  { wait_ms(8); }
void wait_30ms() { wait_ms(30); }

// One line change, or one DSR reading, at once, over whichever path the port takes: for the
// probe's checks of the lines themselves. In bit-bang each is a transfer of its own.
bool line_now_set(bool use_break, bool on)
{
    if (!bitbang)
        return line_call(use_break ? os_set_break(port_handle, on) : os_set_dtr(port_handle, on));
    bb_set(use_break ? os_pin_txd : os_pin_dtr, on);
    bb_flush();
    return !line_lost;
}

bool line_now_dsr(bool& on)
{
    if (!bitbang)
        return line_call(os_read_dsr(port_handle, on));
    bb_queue(bb_pins);
    std::uint32_t at = bb_queued - 1;
    bb_flush();
    on = !line_lost && (bb_samples[at] & os_pin_dsr) == 0;
    return !line_lost;
}

// COUNT states as the pins already are, in one transfer: nothing changes on the wire.
bool line_idle_states(std::uint32_t count)
{
    for (std::uint32_t i = 0; i < count; ++i)
        bb_queue(bb_pins);
    bb_send();
    return !line_lost;
}

std::uint32_t bitbang_packet_states() { return bb_sizes.packet_states; }
std::uint32_t bitbang_chunk_states()  { return bb_sizes.chunk_states; }

static os_bitbang_use bitbang_use(int port_number)
{
    const char* name = os_port_name(port_number);
    if (name != nullptr && is_ftdi_name(name))
        return os_bitbang_required;
    return bitbang_allowed() ? os_bitbang_wanted(port_number) : os_bitbang_off;
}

// An FTDI adapter runs in bit-bang when its name asks for it, or when its serial port's chip
// can and bit-bang is not turned off; a serial port that will not go into bit-bang runs on
// line calls, and the reason is kept for the run to give.
static bool open_device(int port_number)
{
    bitbang = false;
    bitbang_refusal[0] = '\0';
    bb_queued = bb_reads = bb_phase = 0;
    os_bitbang_use use = bitbang_use(port_number);
    if (use != os_bitbang_off) {
        bb_pins = os_pin_outputs | os_pin_dsr;
        port_handle = os_bitbang_open(port_number, bitbang_byte_rate, bb_pins, bb_sizes);
        if (port_handle != os_no_handle) {
            // A chunk is whole packets and never outgrows the driver's own buffers.
            std::uint32_t& packet = bb_sizes.packet_states;
            std::uint32_t& chunk = bb_sizes.chunk_states;
            packet = packet == 0 ? 1 : packet > bitbang_chunk_max ? bitbang_chunk_max : packet;
            chunk = chunk > bitbang_chunk_max ? bitbang_chunk_max : chunk < packet ? packet : chunk;
            chunk -= chunk % packet;
            bitbang = true;
            return true;
        }
        if (use == os_bitbang_required)
            return false;
        std::snprintf(bitbang_refusal, sizeof bitbang_refusal, "%s", os_failure());
        bitbang_refusal_reason = os_failure_reason();
    }
    port_handle = os_port_open(port_number);
    return port_handle != os_no_handle;
}

// ISP2313_DSR_WAIT_US, unset or empty: no wait; else whole microseconds up to the limit.
static bool take_dsr_wait(const char* setting)
{
    dsr_wait_us = 0;
    dsr_wait_refused = nullptr;
    if (setting == nullptr || setting[0] == '\0')
        return true;
    std::uint32_t value = 0;
    for (const char* digit = setting; *digit != '\0' && value <= dsr_wait_limit_us; ++digit) {
        if (*digit < '0' || *digit > '9')
            value = dsr_wait_limit_us + 1;
        else
            value = value * 10 + static_cast<std::uint32_t>(*digit - '0');
    }
    if (value > dsr_wait_limit_us) {
        dsr_wait_refused = setting;
        return false;
    }
    dsr_wait_us = value;
    return true;
}

// A platform without a counter frequency cannot time the clock: such a port is not
// opened at all, so nothing is driven with a meaningless clock; nor is one whose DSR wait is
// refused. A line call that fails while the port is being set up fails the open; the port
// is released as far as it lets.
bool port_open(int port_number)
{
    counter_frequency = static_cast<float>(os_counter_frequency());
    if (port_handle != os_no_handle) {
        if (bitbang)
            os_bitbang_close(port_handle);
        else
            os_port_close(port_handle);
        port_handle = os_no_handle;
    }
    line_lost = false;
    bits_since_wait = bits_cut = rts_known = false;
    if (counter_frequency <= 0.0f || !take_dsr_wait(os_dsr_wait_setting()))
        return false;
    if (!open_device(port_number))
        return false;
    dtr_set();
    rts_set();
    if (!line_lost)
        pulse();
    if (!line_lost)
        return true;
    port_close();
    return false;
}

// After an interrupt the port is closed the normal way; after a lost line call only what
// can still be done is tried, and nothing is clocked. The pulse leaves the break off, so
// only a port that failed mid-pulse is asked again.
void port_close()
{
    if (port_handle == os_no_handle)
        return;
    if (bitbang) {
        if (!line_lost) {
            pulse();
            bb_set(os_pin_rts, false);
            bb_flush();
        }
        os_bitbang_close(port_handle);
        port_handle = os_no_handle;
        return;
    }
    if (!line_lost)
        pulse();
    if (line_lost)
        os_set_break(port_handle, false);
    os_set_rts(port_handle, false);
    os_port_close(port_handle);
    port_handle = os_no_handle;
}
