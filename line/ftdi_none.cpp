// FTDI bit-bang where the build has no FTDI library: every serial port runs on line calls,
// and a port named "ftdi…" does not open.
#include "line/os.h"
#include "line/os_note.h"

os_bitbang_use os_bitbang_wanted(int) { return os_bitbang_off; }

os_handle os_bitbang_open(int, std::uint32_t, std::uint8_t, os_bitbang_sizes&)
{
    os_forget_failure();
    os_note_failure("ftdi", "this isp2313 was built without libftdi1, so it drives FTDI adapters"
                            " only through their serial port", os_reason_other);
    return os_no_handle;
}

bool os_bitbang_send(os_handle, const std::uint8_t*, std::uint32_t) { return false; }
bool os_bitbang_receive(os_handle, std::uint8_t*, std::uint32_t) { return false; }

void os_bitbang_close(os_handle) {}

const char* os_bitbang_description(os_handle) { return ""; }

bool os_list_ftdi_devices(void (*)(const char*)) { return false; }
