// The FTDI chips as FTDI's datasheets give them, for the FTDI files (libftdi1 and D2XX) and the
// simulated platform: how each is known, whether it has synchronous bit-bang, its FIFOs and how
// fast its byte clock runs for a baud rate set.
#pragma once
#include <cstdint>

struct ftdi_chip {
    unsigned      bcd_device;       // the USB device descriptor's bcdDevice
    unsigned      d2xx_type;        // FT_GetDeviceInfoDetail's type
    const char*   name;
    bool          synchronous;      // synchronous bit-bang: a sample read back for each state
    std::uint32_t to_pins_fifo;     // bytes the chip holds on their way to the pins (a channel's)
    std::uint32_t samples_fifo;     // samples it holds for the host
    std::uint32_t clock_per_baud;   // the byte clock runs at most this many times the baud set
    bool          baud_by_channel;  // libftdi sets the rate of the channel opened (not of A only)
};

// The 12 MHz reference of the high-speed parts gives about 5 times the baud; the others 16.
// libftdi 1.5 names the channel in a baud-rate request only for the high-speed parts.
//  bcdDevice  D2XX  name         sync   to pins  samples  clock  by channel
inline constexpr ftdi_chip ftdi_chips[] = {
    {0x0200,   1,    "FT232AM",   false, 128,     384,     16,    true},
    {0x0400,   0,    "FT232BM",   false, 128,     384,     16,    true},
    {0x0500,   4,    "FT2232C/D", true,  128,     128,     16,    false},
    {0x0600,   5,    "FT232R",    true,  128,     256,     16,    true},
    {0x0700,   6,    "FT2232H",   true,  4096,    4096,    5,     true},
    {0x0800,   7,    "FT4232H",   true,  2048,    2048,    5,     true},
    {0x0900,   8,    "FT232H",    true,  1024,    1024,    5,     true},
    {0x1000,   9,    "FT-X",      true,  512,     512,     16,    true},
};

inline const ftdi_chip* ftdi_chip_by_bcd(unsigned bcd_device)
{
    for (const ftdi_chip& row : ftdi_chips)
        if (row.bcd_device == bcd_device)
            return &row;
    return nullptr;
}

inline const ftdi_chip* ftdi_chip_by_d2xx_type(unsigned type)
{
    for (const ftdi_chip& row : ftdi_chips)
        if (row.d2xx_type == type)
            return &row;
    return nullptr;
}

// The states one send carries where a read is always pending: the chip's sample FIFO in whole
// packets of PACKET_STATES samples (at least one packet), so that the host hands the pins a
// FIFO's worth at a time, and a write is never longer than a blocking write and read could take.
inline std::uint32_t ftdi_chunk_states(const ftdi_chip& chip, std::uint32_t packet_states)
{
    std::uint32_t chunk = chip.samples_fifo - chip.samples_fifo % packet_states;
    return chunk == 0 ? packet_states : chunk;
}

// The baud rate that makes the byte clock run at most BYTE_RATE states a second.
inline std::uint32_t ftdi_baud_for(const ftdi_chip& chip, std::uint32_t byte_rate)
{
    return byte_rate / chip.clock_per_baud;
}
