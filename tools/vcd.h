// The programming bus of a simulated run as a Value Change Dump, written as the line
// events happen: chip side SCK, MOSI, MISO, RESET and port side break, DTR, DSR, RTS.
#pragma once
#include <string>

// Opens PATH, writes the header and the lines' values now, and follows the simulated
// platform's line events until vcd_finish. The time unit is the coarsest power of ten
// of nanoseconds that every virtual time step of the platform is a multiple of.
bool vcd_start(const std::string& path, std::string& error);
bool vcd_finish(std::string& error);
