// Help for people on standard error: why a port did not open, where to look when no chip answers.
#pragma once

// Port PORT_NUMBER failed to open or to take its first line settings, for the reason that
// os_failure() holds: the device tried, that reason, and what to do about it. Nothing when
// no OS call failed (a system without a counter never tries the port).
void explain_port_failure(int port_number);

// No chip answered Programming Enable on port PORT_NUMBER.
void suggest_probe(int port_number);
