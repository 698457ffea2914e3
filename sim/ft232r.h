// An FT232R in synchronous bit-bang as a USB host sees it, for the simulated platform and the
// end-to-end stand-ins: the byte clock, the 128-byte output buffer, the 256-byte sample buffer
// whose unread samples stall the output, 64-byte packets of two status bytes and 62 samples,
// sent when full or when the latency timer runs out. Switches make it an FT232H (512-byte
// packets, 1 KiB buffers, a byte clock of 5 times the baud) or a faulty one. Time is the
// caller's, virtual or real; the pins are the caller's, through two functions.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

constexpr std::size_t ft232r_out_buffer = 128, ft232r_sample_buffer = 256;
constexpr std::size_t ft232r_packet = 64, ft232r_packet_samples = 62;

struct ft232r_model {
    // The model's settings.
    // A write and the read of what it produced: each way takes half of this (USB's frames).
    std::uint64_t round_trip_ns = 1000000;
    std::uint32_t clock_per_baud = 16;       // the byte clock is this times the baud rate set
    std::size_t   out_buffer = ft232r_out_buffer, sample_buffer = ft232r_sample_buffer;
    std::size_t   packet_bytes = ft232r_packet;  // 512 for a high-speed part on a high-speed port
    // Faults: all outputs driven low from the mode change until the first byte goes out, as a
    // real FT232R does; one byte that is no sample after this many samples (-1: none); the
    // sample with this index lost (-1: none); samples that show the state going out rather
    // than the one before it, as from a chip that does not do synchronous bit-bang.
    bool          entry_glitch = false;
    long          stray_after = -1, lose_at = -1;
    bool          no_echo = false;
    long          samples_taken = 0;
    // What the host has set.
    std::uint32_t baud = 9600;
    std::uint32_t latency_ms = 16;
    bool          bitbang = false;
    std::uint8_t  mask = 0;                  // 1 bits: outputs
    std::uint8_t  pins = 0xFF;               // the outputs as last put out
    // Inside the chip.
    std::deque<std::uint8_t>  to_pins;                 // written, not yet put out
    std::deque<std::uint8_t>  samples;                 // taken, not yet sent to the host
    std::uint64_t next_byte_ns = 0;                    // the byte clock's next tick
    std::uint64_t last_packet_ns = 0;                  // the latency timer runs from here
    long          bytes_out = 0, packets = 0;
    long          ran_dry = 0;                         // times the output buffer emptied with no byte written behind it
    // Transfers in flight, as a host with writes queued ahead and reads pending sees them: the
    // bytes written, each reaching the chip no sooner than half a round trip after it was
    // submitted and only as the output buffer has room; whether an IN request is pending
    // (packets leave the chip only then); the packets on their way, each reaching the host half
    // a round trip after it left; and how far the model has run.
    struct host_byte {
        std::uint64_t ready_ns;
        std::uint8_t  value;
    };
    struct in_packet {
        std::uint64_t             arrives_ns;
        std::vector<std::uint8_t> bytes;    // two status bytes, then the samples
    };
    std::deque<host_byte> from_host;
    std::uint64_t         taken_from_host = 0;   // bytes of from_host the chip has taken, ever
    bool                  reading = false;
    std::deque<in_packet> to_host;
    std::uint64_t         now_ns = 0;
    // The pins: outputs changed at a time; all eight pins read at a time.
    std::function<void(std::uint8_t pins, std::uint64_t t_ns)> drive;
    std::function<std::uint8_t(std::uint64_t t_ns)>            sense;
};

std::uint64_t ft232r_byte_ns(const ft232r_model& chip);
// The FT232H's sizes and byte clock, on a high-speed port.
void ft232r_make_ft232h(ft232r_model& chip);
// Bit-bang on with MASK (mode 0x04), or off (mode 0), at time T_NS.
void ft232r_set_bitmode(ft232r_model& chip, std::uint8_t mask, bool sync_bitbang, std::uint64_t t_ns);
// Transfers. Bytes written at T_NS, queued behind those written before.
void ft232r_submit_out(ft232r_model& chip, const std::uint8_t* data, std::size_t count, std::uint64_t t_ns);
// Runs the chip to T_NS: bytes taken in, put out on the byte clock, packets sent while a read is
// pending, full or at the latency timer.
void ft232r_advance(ft232r_model& chip, std::uint64_t t_ns);
// When the chip next does something (takes a byte, puts one out, sends a packet, a packet
// reaches the host); ~0 when it has nothing to do until the host acts.
std::uint64_t ft232r_next_event_ns(const ft232r_model& chip);
