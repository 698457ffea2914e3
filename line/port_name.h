// What the OS files take from the environment: the device behind port 1 or 2 (the
// environment before the build's default) and how late DSR is read.
#pragma once
#include <cstdlib>

// ISP2313_PORT1 or ISP2313_PORT2 when set and not empty, else the default; null for any
// port but 1 and 2.
inline const char* chosen_port_name(int port_number, const char* port1_default, const char* port2_default)
{
    if (port_number != 1 && port_number != 2)
        return nullptr;
    const char* named = std::getenv(port_number == 1 ? "ISP2313_PORT1" : "ISP2313_PORT2");
    if (named != nullptr && named[0] != '\0')
        return named;
    return port_number == 1 ? port1_default : port2_default;
}

// "ftdi", "ftdi:SERIAL" or "ftdi:SERIAL:B" names an FTDI device to drive in bit-bang mode.
inline bool is_ftdi_name(const char* name)
{
    return name[0] == 'f' && name[1] == 't' && name[2] == 'd' && name[3] == 'i'
           && (name[4] == '\0' || name[4] == ':');
}

// ISP2313_BITBANG=0 keeps an FTDI adapter's serial port on line calls.
inline bool bitbang_allowed()
{
    const char* setting = std::getenv("ISP2313_BITBANG");
    return setting == nullptr || !(setting[0] == '0' && setting[1] == '\0');
}

// ISP2313_DSR_WAIT_US: how long after the clock falls a bus bit's DSR is read.
inline const char* chosen_dsr_wait() { return std::getenv("ISP2313_DSR_WAIT_US"); }
