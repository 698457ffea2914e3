// Serial line driver: clock, data and reset on a PC serial port's lines.
//
//   DB-9 pin 3  TXD  (break)  -> SCK    break on = clock high, the clock rests low
//   DB-9 pin 4  DTR           -> MOSI   inverted: a 1 bit clears DTR
//   DB-9 pin 6  DSR           <- MISO   inverted: DSR off reads as a 1 bit
//   DB-9 pin 7  RTS           -> RESET  RTS set holds the chip in reset
//   DB-9 pin 5  ground
#include "line/line.h"

os_handle     port_handle       = os_no_handle;
float         counter_frequency = 0.0f;
std::uint32_t half_period_ticks = 0;
bool          half_period_ready = false;

// The threshold is 3e8 divided by the frequency, not a fixed time times the frequency:
// the quotient is taken in double, which holds its integer part exactly.
std::uint32_t half_period_for(float frequency)
{
    double quotient = 300000000.0f / static_cast<double>(frequency);
    return static_cast<std::uint32_t>(static_cast<std::int64_t>(quotient));
}

// Differences are unsigned 32-bit, so a wrap of the counter inside a half period is harmless.
static void wait_half_period()
{
    std::uint32_t start = os_counter();
    while (static_cast<std::uint32_t>(os_counter() - start) <= half_period_ticks) {
    }
}

void clock_pulse()
{
    if (!half_period_ready) {
        half_period_ticks = half_period_for(counter_frequency);
        half_period_ready = true;
    }
    os_set_break(port_handle, true);
    wait_half_period();
    os_set_break(port_handle, false);
    wait_half_period();
}

void dtr_set()
{
    if (port_handle != os_no_handle)
        os_set_dtr(port_handle, true);
}

void dtr_clear()
{
    if (port_handle != os_no_handle)
        os_set_dtr(port_handle, false);
}

void rts_set()
{
    if (port_handle != os_no_handle)
        os_set_rts(port_handle, true);
}

void rts_clear()
{
    if (port_handle != os_no_handle)
        os_set_rts(port_handle, false);
}

void send_byte(std::uint8_t value)
{
    if (port_handle == os_no_handle)
        return;
    for (unsigned mask = 0x80; mask != 0; mask >>= 1) {
        if (value & mask)
            dtr_clear();
        else
            dtr_set();
        clock_pulse();
    }
}

// Each bit is sampled before its pulse; DTR keeps whatever the last byte sent left on it.
std::uint8_t receive_byte()
{
    std::uint8_t result = 0;
    if (port_handle == os_no_handle)
        return 0;
    for (int bit = 0; bit < 8; ++bit) {
        result = static_cast<std::uint8_t>(result << 1);
        bool dsr_on = false;
        os_read_dsr(port_handle, dsr_on);
        if (!dsr_on)
            result |= 1;
        clock_pulse();
    }
    return result;
}

static void wait_ms(std::uint32_t milliseconds)
{
    std::uint32_t start = os_ticks_ms();
    while (static_cast<std::uint32_t>(os_ticks_ms() - start) < milliseconds) {
    }
}

void wait_1ms()  { wait_ms(1); }
void wait_8ms()  { wait_ms(8); }
void wait_30ms() { wait_ms(30); }

// A platform without a counter frequency cannot time the clock: such a port is not
// opened at all, so nothing is driven with a meaningless clock.
bool port_open(int port_number)
{
    counter_frequency = static_cast<float>(os_counter_frequency());
    if (port_handle != os_no_handle) {
        os_port_close(port_handle);
        port_handle = os_no_handle;
    }
    if (counter_frequency <= 0.0f)
        return false;
    port_handle = os_port_open(port_number);
    if (port_handle == os_no_handle)
        return false;
    dtr_set();
    rts_set();
    clock_pulse();
    return true;
}

void port_close()
{
    if (port_handle == os_no_handle)
        return;
    clock_pulse();
    os_set_break(port_handle, false);
    rts_clear();
    os_port_close(port_handle);
    port_handle = os_no_handle;
}
