// Serial line driver: clock, data and reset on a PC serial port's lines.
//
//   DB-9 pin 3  TXD  (break)  -> SCK    break on = clock high, the clock rests low
//   DB-9 pin 4  DTR           -> MOSI   inverted: a 1 bit clears DTR
//   DB-9 pin 6  DSR           <- MISO   inverted: DSR off reads as a 1 bit
//   DB-9 pin 7  RTS           -> RESET  RTS set holds the chip in reset
//   DB-9 pin 5  ground
#include "line/line.h"
#include <cstdio>
#include "line/os_note.h"
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
// states, one byte a change, and streamed to the adapter a chunk at a time with writes queued
// ahead. The byte clock runs at most bitbang_byte_rate, so each state stays on the pins at least
// 3.26 us: a clock phase of one byte is long enough for both chips, a MOSI change one byte before
// the rise is set up in time, and a wait is as many idle states as cover it at that clock. Each
// sample shows the outputs as the state before it left them: every sample is checked as it
// comes, and DSR bits are taken from the samples of the falling edges that read them.
bool bitbang = false;
bool bitbang_turned_off = false;
char bitbang_refusal[200];
os_reason bitbang_refusal_reason;
constexpr std::uint32_t bitbang_chunk_max = 4096;
// At most this many states are sent and not yet received (40 ms of wire time at the fastest
// byte clock, many round trips; less at a slower clock): a run stops within 50 ms of an
// interrupt, the close included.
constexpr std::uint32_t bitbang_flight_max = 12288;
static os_bitbang_sizes bb_sizes;
// The stream by position from the open: queued up to bb_queued, sent to the device up to
// bb_sent, samples received and checked up to bb_received. The ring keeps the states from
// bb_received on (at most a flight and a chunk).
constexpr std::uint32_t bb_ring_size = 32768;
static std::uint8_t  bb_ring[bb_ring_size];
static std::uint64_t bb_queued, bb_sent, bb_received;
static std::uint8_t  bb_pins;                         // the state the last queued byte gives
static std::uint8_t  bb_before;                       // the state before position bb_received
static std::uint8_t  bb_samples[bitbang_chunk_max];   // the samples of the last receive
static std::uint8_t  bb_last_sample;                  // the sample of position bb_received - 1
static std::uint32_t bb_phase;                        // bytes since the last clock edge
static std::uint32_t bb_since_fall;                   // bytes since the clock last fell
std::uint32_t bitbang_half_states = 1;                // bytes each clock phase lasts at least
std::uint32_t bitbang_wait_rate = bitbang_byte_rate;  // the byte clock that waits are sized at
// The positions whose samples are DSR bits, in order, or no_sample for a bit that a stopped line
// did not clock (a 1). Every eight make an answer byte, kept until asked for.
constexpr std::uint64_t no_sample = ~std::uint64_t{0};
constexpr std::uint32_t reads_max = 4096;
static std::uint64_t bb_read_at[reads_max];
static std::uint32_t bb_reads_in, bb_reads_out;
static std::uint8_t  bb_bits;                         // the answer byte being gathered, oldest bit first
static std::uint32_t bb_bit_count;
constexpr std::uint32_t answers_max = 256;           // answers queued and not yet asked for, at most
static std::uint8_t  answers[answers_max];
static std::uint32_t answers_in, answers_out, answers_queued;

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

static std::uint8_t bb_state_at(std::uint64_t position) { return bb_ring[position % bb_ring_size]; }

// Each sample shows the outputs as the state before it left them, the first of all the state
// the open left.
static bool bb_samples_follow(std::uint32_t count)
{
    std::uint8_t before = bb_before;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (((bb_samples[i] ^ before) & os_pin_outputs) != 0) {
            static char words[224];
            std::snprintf(words, sizeof words, "the adapter's samples did not follow its pins (sample %llu of %llu showed"
                          " %02X after %02X went out): a stray or lost byte, or a chip not in synchronous bit-bang",
                          static_cast<unsigned long long>(bb_received + i + 1),
                          static_cast<unsigned long long>(bb_sent), static_cast<unsigned>(bb_samples[i] & os_pin_outputs),
                          static_cast<unsigned>(before & os_pin_outputs));
            os_note_failure("bit-bang", words, os_reason_other);
            return false;
        }
        before = bb_state_at(bb_received + i);
    }
    return true;
}

// The DSR bits whose samples are in bb_samples (COUNT of them, from position bb_received), in
// order, and after them any that will not come: bits no state clocked, and on a lost line every
// one still due, read as 1s.
static void bb_take_reads(std::uint32_t count)
{
    while (bb_reads_out != bb_reads_in) {
        std::uint64_t at = bb_read_at[bb_reads_out % reads_max];
        bool dsr_on = false;
        if (at != no_sample && !line_lost) {
            if (at >= bb_received + count)
                return;
            dsr_on = (bb_samples[at - bb_received] & os_pin_dsr) == 0;
        }
        ++bb_reads_out;
        bb_bits = static_cast<std::uint8_t>(bb_bits << 1 | (dsr_on ? 0 : 1));
        if (++bb_bit_count == 8) {
            answers[answers_in++ % answers_max] = bb_bits;
            bb_bit_count = 0;
        }
    }
}

// The samples up to POSITION (of states sent), checked as they come. A failed receive, or
// samples that do not follow the pins, lose the line: nothing is read from them.
static void bb_receive_to(std::uint64_t position)
{
    while (bb_received < position && !line_lost) {
        std::uint64_t due = position - bb_received;
        std::uint32_t count = due < bitbang_chunk_max ? static_cast<std::uint32_t>(due) : bitbang_chunk_max;
        if (!line_call(os_bitbang_receive(port_handle, bb_samples, count)) || !line_call(bb_samples_follow(count)))
            break;
        bb_take_reads(count);
        bb_before = bb_state_at(bb_received + count - 1);
        bb_last_sample = bb_samples[count - 1];
        bb_received += count;
    }
    if (line_lost) {
        bb_take_reads(0);
        bb_received = bb_sent = bb_queued;
    }
}

// What is queued goes to the device a chunk at a time, never more than a flight ahead of the
// samples received.
static void bb_send()
{
    std::uint32_t flight = bb_sizes.flight_states;
    while (bb_sent < bb_queued && !line_lost) {
        std::uint64_t due = bb_queued - bb_sent, to_ring_end = bb_ring_size - bb_sent % bb_ring_size;
        std::uint32_t count = static_cast<std::uint32_t>(due < bb_sizes.chunk_states ? due : bb_sizes.chunk_states);
        count = count < to_ring_end ? count : static_cast<std::uint32_t>(to_ring_end);
        if (bb_sent + count - bb_received > flight)
            bb_receive_to(bb_sent + count - flight);
        if (line_lost || !line_call(os_bitbang_send(port_handle, &bb_ring[bb_sent % bb_ring_size], count)))
            break;
        bb_sent += count;
    }
    if (line_lost)
        bb_receive_to(bb_queued);
}

static void bb_queue(std::uint8_t state)
{
    bb_ring[bb_queued % bb_ring_size] = state;
    ++bb_queued;
    bb_pins = state;
    ++bb_phase;
    ++bb_since_fall;
    if (bb_queued - bb_sent >= bb_sizes.chunk_states)
        bb_send();
}

// Everything queued goes out, and its samples come back. A sample in a packet that is not full
// waits for the latency timer (1 ms): the last state is repeated a packet's worth behind them
// where that takes less time on the pins than the timer (those samples come with the next).
static void bb_flush()
{
    std::uint64_t position = bb_queued;
    if (bb_sizes.packet_states < bitbang_byte_rate / 1000)
        while (bb_queued < position + bb_sizes.packet_states)
            bb_queue(bb_pins);
    bb_send();
    bb_receive_to(position);
}

static void bb_set(std::uint8_t pin, bool line_set)
{
    bb_queue(static_cast<std::uint8_t>(line_set ? bb_pins & ~pin : bb_pins | pin));
}

// A bit's DSR sample comes two states after the fall that moved the chip's answer, or as many
// more as ISP2313_DSR_WAIT_US takes at the fastest byte clock.
std::uint32_t bitbang_read_states()
{
    std::uint64_t wait = (static_cast<std::uint64_t>(dsr_wait_us) * bitbang_byte_rate + 999999) / 1000000;
    return wait > 2 ? static_cast<std::uint32_t>(wait) : 2;
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
// has had as long to settle after the fall when DSR is read, just before the rise (over line
// calls; in bit-bang just before the fall).
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
        wait_half_period();
        // DSR is read from the last sample while the clock is high: the chip's answer, and a
        // slow wire's copy of it, have had the whole low phase and the high phase to settle.
        while (dsr_on != nullptr && bb_since_fall + 1 < bitbang_read_states())
            bb_queue(bb_pins);
        bb_phase = 0;
        bb_set(os_pin_txd, false);
        bb_since_fall = 0;
        if (dsr_on != nullptr)
            bb_read_at[bb_reads_in++ % reads_max] = bb_queued - 1;
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

// DTR keeps whatever the last byte sent left on it. A stopped line reads as 1 bits. Over line
// calls the byte is read at once; in bit-bang its bits come with the samples of the states
// that clocked them, whenever those are sent.
static std::uint8_t receive_byte_now()
{
    std::uint8_t result = 0;
    for (int bit = 0; bit < 8; ++bit) {
        bool dsr_on = false;
        if (bit_may_go())
            pulse(&dsr_on);
        result = static_cast<std::uint8_t>(result << 1 | (dsr_on ? 0 : 1));
    }
    return result;
}

void receive_byte_later()
{
    if (port_handle == os_no_handle)
        return;
    ++answers_queued;
    if (!bitbang) {
        answers[answers_in++ % answers_max] = receive_byte_now();
        return;
    }
    for (int bit = 0; bit < 8; ++bit) {
        if (bit_may_go()) {
            bool dsr_on = false;
            pulse(&dsr_on);
        } else {
            bb_read_at[bb_reads_in++ % reads_max] = no_sample;
        }
    }
}

// The oldest answer asked for with receive_byte_later; its states are sent if they still wait.
std::uint8_t byte_received()
{
    if (port_handle == os_no_handle || answers_queued == 0)
        return 0;
    if (answers_in == answers_out && bitbang) {
        bb_flush();
        bb_take_reads(0);
    }
    --answers_queued;
    return answers[answers_out++ % answers_max];
}

std::uint8_t receive_byte()
{
    receive_byte_later();
    return byte_received();
}

// Sleeps through the bulk of the wait and polls its last stretch; in bit-bang the wait is idle
// states behind the instruction, enough to cover it at the byte clock. After an interrupt a
// wait still runs when a whole instruction went out before it, and one under way runs
// out: a write the chip is busy with ends before its reset is released. Any other wait,
// and every wait on a lost port, is skipped.
static void wait_ms(std::uint32_t milliseconds)
{
    if (line_lost || (os_interrupted() && (bits_cut || !bits_since_wait)))
        return;
    bits_since_wait = false;
    if (bitbang) {
        std::uint64_t states = (static_cast<std::uint64_t>(milliseconds) * bitbang_wait_rate + 999) / 1000;
        for (; states != 0 && !line_lost; --states)
            bb_queue(bb_pins);
        return;
    }
    std::uint32_t start = os_ticks_ms();
    while (static_cast<std::uint32_t>(os_ticks_ms() - start) < milliseconds && !line_lost)
        os_sleep_until_ms(start + milliseconds);
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
    bb_flush();
    on = !line_lost && (bb_last_sample & os_pin_dsr) == 0;
    return !line_lost;
}

// Everything sent comes back, the last packet at the latency timer if it is not full: then the
// adapter has nothing in flight, and its next packet starts with the next state.
static void bb_drain()
{
    bb_send();
    bb_receive_to(bb_queued);
}

// COUNT states as the pins already are, sent and received at once: nothing changes on the wire.
bool line_idle_states(std::uint32_t count)
{
    bb_drain();
    for (std::uint32_t i = 0; i < count; ++i)
        bb_queue(bb_pins);
    bb_drain();
    return !line_lost;
}

// DTR changed, then the rest of a chunk of states as the pins are, sent at once: how many
// states after the change the first sample shows DSR changed too (0: none of them does), and
// DSR at the end.
bool line_dsr_follow_states(bool dtr_on, std::uint32_t& states, bool& dsr_on)
{
    bb_drain();
    std::uint64_t start = bb_queued;
    bb_set(os_pin_dtr, dtr_on);
    while (bb_queued - start < bb_sizes.chunk_states)
        bb_queue(bb_pins);
    std::uint32_t count = bb_sizes.chunk_states;
    bb_drain();
    dtr_level = dtr_on;
    states = 0;
    for (std::uint32_t i = 1; i < count && states == 0 && !line_lost; ++i)
        if (((bb_samples[i] ^ bb_samples[0]) & os_pin_dsr) != 0)
            states = i;
    dsr_on = (bb_samples[count - 1] & os_pin_dsr) == 0;
    return !line_lost;
}

std::uint32_t bitbang_packet_states() { return bb_sizes.packet_states; }
std::uint32_t bitbang_chunk_states()  { return bb_sizes.chunk_states; }

// Why an FTDI adapter's serial port runs on line calls, for the run to give.
static void keep_refusal(const char* why, os_reason reason)
{
    std::snprintf(bitbang_refusal, sizeof bitbang_refusal, "%s", why);
    bitbang_refusal_reason = reason;
}

static os_bitbang_use bitbang_use(int port_number)
{
    const char* name = os_port_name(port_number);
    if (name != nullptr && is_ftdi_name(name))
        return os_bitbang_required;
    os_forget_failure();
    os_bitbang_use use = os_bitbang_wanted(port_number);
    if (use == os_bitbang_unable)
        keep_refusal(os_failure(), os_failure_reason());
    else if (use == os_bitbang_preferred && !bitbang_allowed())
        keep_refusal("ISP2313_BITBANG=0 asks for line calls", os_reason_other);
    else
        return use;
    bitbang_turned_off = use == os_bitbang_preferred;
    return os_bitbang_off;
}

// Before the chip sees anything but the first state: DTR toggled with the clock low, each
// toggle's sample checked as every transfer's are. A chip that does not echo its pins here
// is not doing synchronous bit-bang.
static bool bb_echo_checked()
{
    for (int i = 0; i < 4; ++i) {
        bb_set(os_pin_dtr, true);
        bb_set(os_pin_dtr, false);
    }
    bb_flush();
    return !line_lost;
}

// Only a clock well below the fastest counts as slow: a round trip that took longer once makes
// the fastest clock measure a little slow, and waits sized at that would come out short.
std::uint32_t bitbang_wait_rate_for(double measured)
{
    return measured > 0.0 && measured < bitbang_byte_rate * 0.6 ? static_cast<std::uint32_t>(measured * 1.125) + 1
                                                                : bitbang_byte_rate;
}

// Idle states timed at open, a packet's and many packets' worth, three times: each costs a round
// trip and its time on the pins, so the difference is the byte clock's. A chip whose clock runs
// well below the fastest the run asks for (libftdi scales the baud in bit-bang, and not every
// chip multiplies it alike) has its waits sized at its own clock, an eighth faster than the
// fastest measure for a margin; else, or where the measure shows nothing, at the fastest.
static void bb_measure_clock()
{
    std::uint32_t few = bb_sizes.packet_states, many = bitbang_chunk_max / few * few;
    double fastest = 0.0;
    for (int i = 0; i < 3 && !line_stopped(); ++i) {
        std::uint32_t start = os_counter();
        line_idle_states(few);
        std::uint32_t middle = os_counter();
        line_idle_states(many);
        double difference = static_cast<double>(static_cast<std::int32_t>((os_counter() - middle) - (middle - start)));
        double rate = difference > 0.0 ? (many - few) * static_cast<double>(counter_frequency) / difference : 0.0;
        fastest = rate > fastest ? rate : fastest;
    }
    bitbang_wait_rate = bitbang_wait_rate_for(fastest);
    // No more in flight than 40 ms of the pins' time at that clock.
    std::uint32_t flight = bitbang_wait_rate / 25;
    if (flight < bb_sizes.flight_states)
        bb_sizes.flight_states = flight < bb_sizes.chunk_states ? bb_sizes.chunk_states : flight;
}

// The device opened in bit-bang, its sizes within the driver's buffers, its echo checked and
// its byte clock measured; false, with the device closed, when the echo fails.
static bool bitbang_ready()
{
    // A chunk is whole packets and never outgrows the driver's own buffers.
    std::uint32_t& packet = bb_sizes.packet_states;
    std::uint32_t& chunk = bb_sizes.chunk_states;
    packet = packet == 0 ? 1 : packet > bitbang_chunk_max ? bitbang_chunk_max : packet;
    chunk = chunk > bitbang_chunk_max ? bitbang_chunk_max : chunk < packet ? packet : chunk;
    chunk -= chunk % packet;
    std::uint32_t& flight = bb_sizes.flight_states;
    flight = flight > bitbang_flight_max ? bitbang_flight_max : flight < chunk ? chunk : flight;
    bb_before = bb_pins;
    bb_since_fall = bitbang_read_states();
    bitbang = true;
    if (bb_echo_checked()) {
        bb_measure_clock();
        return true;
    }
    os_bitbang_close(port_handle);
    port_handle = os_no_handle;
    bitbang = false;
    line_lost = false;
    return false;
}

// A device given back by bit-bang gets its serial port again a moment later.
static os_handle open_serial_port(int port_number, bool given_back)
{
    std::uint32_t start = os_ticks_ms();
    os_handle port = os_port_open(port_number);
    while (port == os_no_handle && given_back && os_failure_reason() == os_reason_missing
           && static_cast<std::uint32_t>(os_ticks_ms() - start) < 2000 && !os_interrupted()) {
        os_sleep_until_ms(os_ticks_ms() + 50);
        port = os_port_open(port_number);
    }
    return port;
}

// An FTDI adapter runs in bit-bang when its name asks for it, or when its serial port's chip
// can and bit-bang is not turned off; a serial port that will not go into bit-bang runs on
// line calls, and the reason is kept for the run to give. A device that another program
// holds is not taken at all, nor is its serial port.
static bool open_device(int port_number)
{
    bitbang = bitbang_turned_off = false;
    bitbang_refusal[0] = '\0';
    bb_queued = bb_sent = bb_received = 0;
    bb_reads_in = bb_reads_out = bb_phase = bb_bit_count = 0;
    answers_in = answers_out = answers_queued = 0;
    os_bitbang_use use = bitbang_use(port_number);
    bool given_back = false;
    if (use != os_bitbang_off) {
        bb_pins = os_pin_outputs | os_pin_dsr;
        port_handle = os_bitbang_open(port_number, bitbang_byte_rate, bb_pins, bb_sizes);
        given_back = port_handle != os_no_handle;
        if (given_back && bitbang_ready())
            return true;
        if (use == os_bitbang_required || os_failure_reason() == os_reason_busy)
            return false;
        keep_refusal(os_failure(), os_failure_reason());
    }
    port_handle = open_serial_port(port_number, given_back);
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
            bb_drain();
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
