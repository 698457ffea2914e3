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

// Ctrl-C and its kin set a flag instead of ending the process; os_interrupted reads it.
void      os_catch_interrupts();
bool      os_interrupted();

void      os_console_unbuffered();               // stdout unbuffered when it is a console

// Image files: null unless PATH is a regular file opened for binary reading; never blocks.
std::FILE*   os_open_regular_file(const char* path);
std::int64_t os_file_tell(std::FILE* stream);    // -1 on failure
bool         os_file_seek(std::FILE* stream, std::int64_t offset, int whence);
