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

inline const char* chosen_dsr_wait() { return std::getenv("ISP2313_DSR_WAIT_US"); }
