// The platform seam: the few OS services under the line driver and the image loader.
// The build links one port-and-clock file (os_posix.cpp, os_win32.cpp or sim/os_sim.cpp)
// and one image-file file (files_posix.cpp or files_win32.cpp).
#pragma once
#include <cstdint>
#include <cstdio>

// An open port as the OS file knows it; 0 means no port.
using os_handle = std::uintptr_t;
constexpr os_handle os_no_handle = 0;

std::uint64_t os_counter_frequency();            // counter ticks per second, 0 if none
std::uint32_t os_counter();                      // low 32 bits of the counter
std::uint32_t os_ticks_ms();                     // milliseconds, 1 ms steps, wraps at 2^32
// Sleeps until shortly before os_ticks_ms() reads TICK (a tick already reached returns at
// once); never past it. May return early, on an interrupt for one.
void          os_sleep_until_ms(std::uint32_t tick);

// The device that port PORT_NUMBER (1 or 2) opens: the environment variable ISP2313_PORT1 or
// ISP2313_PORT2 when it is set and not empty, else the system's default; null for other numbers.
const char* os_port_name(int port_number);
// ISP2313_DSR_WAIT_US as the environment has it; null when it is not set.
const char* os_dsr_wait_setting();
os_handle os_port_open(int port_number);         // exclusive, 115200 8N1, no flow control; 0 on failure
void      os_port_close(os_handle port);
// The line calls return false when the OS reports that the call failed.
bool      os_set_dtr(os_handle port, bool on);
bool      os_set_rts(os_handle port, bool on);
bool      os_set_break(os_handle port, bool on);
bool      os_read_dsr(os_handle port, bool& on);
// The last OS call that failed and the OS's reason, "ioctl TIOCMBIS: Input/output error";
// empty while none has.
const char* os_failure();
// What that reason means to someone whose port will not open.
enum os_reason : char { os_reason_other, os_reason_missing, os_reason_denied, os_reason_busy };
os_reason   os_failure_reason();
// The group whose members may read and write DEVICE ("dialout"); empty where the system has
// no such group or the device grants its group nothing.
const char* os_device_group(const char* device);
// Calls SEEN for each serial device the system reports, opening none: its name and, for a
// link, the device it leads to (else empty).
void        os_list_serial_devices(void (*seen)(const char* name, const char* leads_to));

// FTDI synchronous bit-bang: an FTDI adapter's own pins put to a state a byte at a time and
// sampled just before each, many bytes to one USB transfer. The chip's UART pins are active
// low, so in a state or a sample a 0 bit means the line set, as the serial driver sets it.
constexpr std::uint8_t os_pin_txd = 0x01;   // 0: break on (the clock high)
constexpr std::uint8_t os_pin_rts = 0x04;   // 0: RTS set (the chip held in reset)
constexpr std::uint8_t os_pin_dtr = 0x10;   // 0: DTR set (a 0 bit to the chip)
constexpr std::uint8_t os_pin_dsr = 0x20;   // 0: DSR on (a 0 bit from the chip)
constexpr std::uint8_t os_pin_outputs = os_pin_txd | os_pin_rts | os_pin_dtr;

// How port PORT_NUMBER is driven. The line driver itself takes an "ftdi", "ftdi:SERIAL" or
// "ftdi:SERIAL:B" name as required and ISP2313_BITBANG=0 as off; for any other name the OS
// file says whether it is the serial port of an FTDI chip with synchronous bit-bang.
enum os_bitbang_use : char {
    os_bitbang_off,         // line calls
    os_bitbang_required,    // bit-bang or no port
    os_bitbang_preferred,   // bit-bang where the device lets it, else line calls
    os_bitbang_unable       // an FTDI adapter's serial port that cannot go into synchronous
                            // bit-bang: line calls, and os_failure() says why
};
os_bitbang_use os_bitbang_wanted(int port_number);

// What the open device takes: the samples one USB packet carries back, the most states one
// send may carry (whole packets), and the most states that may have been sent with their
// samples not yet received (what the host's buffers and the transfers it keeps in flight hold,
// so that no write waits on samples no one takes; at least chunk_states).
struct os_bitbang_sizes {
    std::uint32_t packet_states, chunk_states, flight_states;
};

// Opens port PORT_NUMBER's FTDI device in synchronous bit-bang, the pins of os_pin_outputs as
// outputs set to FIRST_STATE before anything else, its baud-rate generator set so that the byte
// clock runs at most BYTE_RATE states a second (whatever the chip's multiple of the baud) and
// its latency timer at 1 ms. 0 on failure, and then
// os_failure() says why. A tty taken this way is given back at os_bitbang_close.
os_handle os_bitbang_open(int port_number, std::uint32_t byte_rate, std::uint8_t first_state,
                          os_bitbang_sizes& sizes);
// The states stream out with writes queued ahead and a read always pending, so that the pins
// need not wait for the host; the caller keeps at most flight_states sent and not received.
// os_bitbang_send queues COUNT states (at most chunk_states) behind those sent before, copied,
// and may return before they go out. os_bitbang_receive gives the next COUNT samples in order,
// waiting for them; sample i was taken just before state i went out. Both return false when the
// device failed (the adapter pulled) or, receiving, when the samples due stopped coming for a
// second; os_failure() says why.
bool os_bitbang_send(os_handle device, const std::uint8_t* states, std::uint32_t count);
bool os_bitbang_receive(os_handle device, std::uint8_t* samples, std::uint32_t count);
// Bit-bang off, the device closed and its serial port given back to the system.
void os_bitbang_close(os_handle device);
// The open device in the words of os_list_ftdi_devices.
const char* os_bitbang_description(os_handle device);
// Calls SEEN for each FTDI device attached: its chip, serial number, bus and address, in words
// ("FT232R serial FT6Z3K9Q, bus 1 address 7"). False where no FTDI library is there to ask.
bool os_list_ftdi_devices(void (*seen)(const char* description));

// Ctrl-C and its kin set a flag instead of ending the process; os_interrupted reads it.
void      os_catch_interrupts();
bool      os_interrupted();

void      os_console_unbuffered();               // stdout unbuffered when it is a console

// Image files: null unless PATH is a regular file opened for binary reading; never blocks.
std::FILE*   os_open_regular_file(const char* path);
std::int64_t os_file_tell(std::FILE* stream);    // -1 on failure
bool         os_file_seek(std::FILE* stream, std::int64_t offset, int whence);
