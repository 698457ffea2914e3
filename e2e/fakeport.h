// What the faked port (fakeport.cpp) shares with the USB stand-in (fakeusb.cpp) built into the
// same preload: the state file, the chip in it, and the lines, which the stand-in's model FT232R
// drives as the serial driver would.
#pragma once
#include <cstdint>
#include "e2e/port_state.h"

namespace fakeport {

port_state*   shared();                   // the state file, mapped; stops the process without one
std::uint64_t now_ns();                   // CLOCK_MONOTONIC
void          trace(port_state* s, std::uint64_t t, char line, bool value);
port_state*   take_chip();                // the latest chip, loaded into this process
void          give_chip(port_state* s);   // and saved back after a change
void          set_dtr(port_state* s, bool on, std::uint64_t t);
void          set_rts(port_state* s, bool on, std::uint64_t t);
void          set_break(port_state* s, bool on, std::uint64_t t);
void          port_opened();              // counted and traced; the chip takes up the lines
void          port_closed();

} // namespace fakeport
