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

// Ctrl-C and its kin set a flag instead of ending the process; os_interrupted reads it.
void      os_catch_interrupts();
bool      os_interrupted();

void      os_console_unbuffered();               // stdout unbuffered when it is a console

// Image files: null unless PATH is a regular file opened for binary reading; never blocks.
std::FILE*   os_open_regular_file(const char* path);
std::int64_t os_file_tell(std::FILE* stream);    // -1 on failure
bool         os_file_seek(std::FILE* stream, std::int64_t offset, int whence);
