// The FT232R model: what its byte clock puts out and samples, and what USB carries each way.
#include "sim/ft232r.h"
#include "line/ftdi_chips.h"
#include <algorithm>

std::uint64_t ft232r_byte_ns(const ft232r_model& chip)
{
    return 1000000000u / (static_cast<std::uint64_t>(chip.clock_per_baud) * chip.baud);
}

// Its FIFOs and byte clock as the FTDI files' table has them; 512-byte packets at high speed.
void ft232r_make_ft232h(ft232r_model& chip)
{
    const ftdi_chip& ft232h = *ftdi_chip_by_bcd(0x0900);
    chip.out_buffer = ft232h.to_pins_fifo;
    chip.sample_buffer = ft232h.samples_fifo;
    chip.clock_per_baud = ft232h.clock_per_baud;
    chip.packet_bytes = 512;
}

void ft232r_set_bitmode(ft232r_model& chip, std::uint8_t mask, bool sync_bitbang, std::uint64_t t_ns)
{
    chip.bitbang = sync_bitbang;
    chip.mask = sync_bitbang ? mask : 0;
    chip.to_pins.clear();
    chip.from_host.clear();
    chip.next_byte_ns = t_ns;
    chip.now_ns = std::max(chip.now_ns, t_ns);
    if (sync_bitbang && chip.entry_glitch) {
        chip.pins = static_cast<std::uint8_t>(chip.pins & ~mask);
        if (chip.drive)
            chip.drive(static_cast<std::uint8_t>(chip.pins | ~mask), t_ns);
    }
}

// One tick: the sample of all pins as they are, then the next state on the outputs. The chip
// puts a byte out only while it has room for its sample (the caller's to see).
static void put_out_one(ft232r_model& chip)
{
    std::uint64_t tick = chip.next_byte_ns;
    std::uint8_t inputs = chip.sense ? chip.sense(tick) : 0xFF;
    std::uint8_t shown = chip.no_echo ? chip.to_pins.front() : chip.pins;
    std::uint8_t sample = static_cast<std::uint8_t>((shown & chip.mask) | (inputs & ~chip.mask));
    if (chip.samples_taken++ != chip.lose_at)
        chip.samples.push_back(sample);
    if (chip.samples_taken - 1 == chip.stray_after)
        chip.samples.push_back(sample);
    chip.pins = chip.to_pins.front();
    chip.to_pins.pop_front();
    if (chip.drive)
        chip.drive(static_cast<std::uint8_t>(chip.pins | ~chip.mask), tick);
    ++chip.bytes_out;
    chip.ran_dry += chip.to_pins.empty() && chip.from_host.empty();
    chip.next_byte_ns = tick + ft232r_byte_ns(chip);
}

// The modem status bytes that start every packet: CTS, DSR and the low nibble as an idle
// FT232R reports them, then the line status (transmitter empty).
static void status_bytes(std::uint8_t* packet)
{
    packet[0] = 0x31;
    packet[1] = 0x60;
}

// ---- transfers in flight ----------------------------------------------------------------------

constexpr std::uint64_t never_ns = ~std::uint64_t{0};

void ft232r_submit_out(ft232r_model& chip, const std::uint8_t* data, std::size_t count, std::uint64_t t_ns)
{
    for (std::size_t i = 0; i < count; ++i)
        chip.from_host.push_back({t_ns + chip.round_trip_ns / 2, data[i]});
}

// Written bytes that have reached the chip go into the output buffer while it has room; the
// byte clock takes the first of them at once.
static void take_in(ft232r_model& chip)
{
    while (!chip.from_host.empty() && chip.from_host.front().ready_ns <= chip.now_ns
           && chip.to_pins.size() < chip.out_buffer) {
        if (chip.to_pins.empty())
            chip.next_byte_ns = std::max(chip.next_byte_ns, chip.now_ns);
        chip.to_pins.push_back(chip.from_host.front().value);
        chip.from_host.pop_front();
        ++chip.taken_from_host;
    }
}

static std::uint64_t next_tick_ns(const ft232r_model& chip)
{
    if (!chip.bitbang || chip.to_pins.empty() || chip.samples.size() >= chip.sample_buffer)
        return never_ns;
    return std::max(chip.next_byte_ns, chip.now_ns);
}

static std::uint64_t next_take_ns(const ft232r_model& chip)
{
    if (chip.from_host.empty() || chip.to_pins.size() >= chip.out_buffer)
        return never_ns;
    return std::max(chip.from_host.front().ready_ns, chip.now_ns);
}

// A packet leaves when it is full, or with what there is when the latency timer runs out.
static std::uint64_t next_packet_ns(const ft232r_model& chip)
{
    if (!chip.reading || !chip.bitbang)
        return never_ns;
    if (chip.samples.size() >= chip.packet_bytes - 2)
        return chip.now_ns;
    return std::max<std::uint64_t>(chip.last_packet_ns + chip.latency_ms * 1000000ull, chip.now_ns);
}

static void send_packet(ft232r_model& chip)
{
    std::size_t k = std::min(chip.samples.size(), chip.packet_bytes - 2);
    bool was_stalled = chip.samples.size() >= chip.sample_buffer;
    ft232r_model::in_packet packet{chip.now_ns + chip.round_trip_ns / 2, std::vector<std::uint8_t>(2 + k)};
    status_bytes(packet.bytes.data());
    for (std::size_t i = 0; i < k; ++i) {
        packet.bytes[2 + i] = chip.samples.front();
        chip.samples.pop_front();
    }
    chip.to_host.push_back(std::move(packet));
    ++chip.packets;
    chip.last_packet_ns = chip.now_ns;
    if (was_stalled)
        chip.next_byte_ns = std::max(chip.next_byte_ns, chip.now_ns);
}

void ft232r_advance(ft232r_model& chip, std::uint64_t t_ns)
{
    for (;;) {
        take_in(chip);
        std::uint64_t tick = next_tick_ns(chip), take = next_take_ns(chip), packet = next_packet_ns(chip);
        std::uint64_t next = std::min({tick, take, packet});
        if (next == never_ns || next > t_ns)
            break;
        chip.now_ns = next;
        if (packet == next) {
            send_packet(chip);
        } else if (tick == next) {
            chip.next_byte_ns = next;
            put_out_one(chip);
        }
    }
    chip.now_ns = std::max(chip.now_ns, t_ns);
}

std::uint64_t ft232r_next_event_ns(const ft232r_model& chip)
{
    std::uint64_t next = std::min({next_tick_ns(chip), next_take_ns(chip), next_packet_ns(chip)});
    return chip.to_host.empty() ? next : std::min(next, chip.to_host.front().arrives_ns);
}
