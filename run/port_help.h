// Help for people on standard error: why a port did not open, where to look when no chip answers.
#pragma once

// Port PORT failed to open or to take its first line settings, for the reason that
// os_failure() holds: the device tried, that reason, and what to do about it; or because its
// ISP2313_DSR_WAIT_US was refused, before the port was tried. Nothing when no OS call
// failed (a system without a counter never tries the port).
void explain_port_failure(int port);

// Port PORT is an FTDI adapter's serial port that would not go into bit-bang mode, so the run
// goes on with line calls: why, and what to do. Nothing when bit-bang was not refused.
void explain_bitbang_fallback(int port);

// No chip answered Programming Enable on port PORT; DSR_MOVED when DSR changed all the same.
void suggest_probe(int port, bool dsr_moved);
