// Help for people on standard error; standard output keeps the program's own one-line messages.
#include "run/port_help.h"
#include <cstdio>
#include "line/line.h"
#include "line/os.h"
#include "line/port_name.h"
#include "run/probe.h"
#include "run/run.h"

static int  devices_listed;
static char last_device[256];

static void list_device(const char* name, const char* leads_to)
{
    if (leads_to[0] != '\0')
        std::fprintf(stderr, "    %s -> %s\n", name, leads_to);
    else
        std::fprintf(stderr, "    %s\n", name);
    ++devices_listed;
    std::snprintf(last_device, sizeof last_device, "%s", name);
}

// The last one listed is the example: the adapters and their stable by-id links come last.
static void list_serial_devices(int port, bool missing)
{
    devices_listed = 0;
    last_device[0] = '\0';
    std::fprintf(stderr, "%sThe serial devices on this system:\n", missing ? "There is no such device. " : "");
    os_list_serial_devices(list_device);
    if (devices_listed == 0)
        std::fprintf(stderr, "    none: is the adapter plugged in?\n"
                             "Once it is, name its device in ISP2313_PORT%d to use it as port %d.\n", port, port);
    else
        std::fprintf(stderr, "To use one of them as port %d, name it in ISP2313_PORT%d, e.g. ISP2313_PORT%d=%s\n",
                     port, port, port, last_device);
}

static void list_ftdi_device(const char* description)
{
    std::fprintf(stderr, "    %s\n", description);
    ++devices_listed;
}

// Without an FTDI library there is nothing to list: the reason given says what is missing.
static bool list_ftdi_devices()
{
    devices_listed = 0;
    std::fprintf(stderr, "The FTDI devices on this system:\n");
    if (!os_list_ftdi_devices(list_ftdi_device)) {
        std::fprintf(stderr, "    unknown: they are listed through the FTDI library, which this system lacks\n");
        return false;
    }
    if (devices_listed == 0)
        std::fprintf(stderr, "    none: is the adapter plugged in?\n");
    return true;
}

// What lets a user at an FTDI chip's USB device, where only root may open it.
static void explain_usb_access()
{
    std::fprintf(stderr, "Only root may open this USB device here. isp2313's package installs a udev rule that lets"
                         " the dialout group and the logged-in user open FTDI devices (/usr/lib/udev/rules.d/"
                         "60-isp2313-ftdi.rules); without the package, add such a rule, then plug the adapter in"
                         " again.\n");
}

// An "ftdi…" name that did not open: why, and the FTDI devices that are there.
static void explain_ftdi_failure(int port, const char* device)
{
    std::fprintf(stderr, "%s: port %d is %s: %s\n", program_name, port, device, os_failure());
    if (os_failure_reason() == os_reason_denied)
        explain_usb_access();
    else if (os_failure_reason() == os_reason_busy)
        std::fprintf(stderr, "The adapter's port is in use: close the program that holds it and try again.\n");
    if (list_ftdi_devices())
        std::fprintf(stderr, "Name one as ftdi:SERIAL (two that share a serial number, by their serial port) in"
                             " ISP2313_PORT%d, or plain ftdi when it is the only one.\n", port);
}

// A full run's time over line calls at a USB adapter's usual millisecond a call, in minutes,
// the longer of the two chips'.
static double line_call_minutes()
{
    double longest = 0.0;
    for (const full_run_calls& run : full_runs) {
        double seconds = predicted_usb_line_call_seconds(run, 1e-3);
        longest = seconds > longest ? seconds : longest;
    }
    return longest / 60.0;
}

void explain_bitbang_fallback(int port)
{
    if (bitbang_refusal[0] == '\0')
        return;
    std::fflush(stdout);
    if (bitbang_turned_off)
        std::fprintf(stderr, "%s: port %d (%s) is an FTDI adapter, run on its serial port's line calls as"
                             " ISP2313_BITBANG=0 asks", program_name, port, os_port_name(port));
    else
        std::fprintf(stderr, "%s: port %d (%s) is an FTDI adapter that would not go into bit-bang mode (%s), so this"
                             " run uses its serial port's line calls", program_name, port, os_port_name(port),
                     bitbang_refusal);
    std::fprintf(stderr, ": a full run takes about %.0f minutes that way at a USB adapter's usual 1 ms a call, against"
                         " seconds in bit-bang (isp2313-probe %d measures both).\n", line_call_minutes(), port);
    if (bitbang_turned_off)
        return;
    if (bitbang_refusal_reason == os_reason_denied)
        explain_usb_access();
    std::fprintf(stderr, "ISP2313_BITBANG=0 uses the line calls without trying.\n");
}

void explain_port_failure(int port)
{
    std::fflush(stdout);
    if (dsr_wait_refused != nullptr) {
        std::fprintf(stderr, "%s: ISP2313_DSR_WAIT_US is \"%s\": it takes a whole number of microseconds from 0 to %u,"
                             " how long after the clock falls each bit is read; the port was not opened.\n",
                     program_name, dsr_wait_refused, static_cast<unsigned>(dsr_wait_limit_us));
        return;
    }
    const char* device = os_port_name(port);
    if (device == nullptr || os_failure()[0] == '\0')
        return;
    if (is_ftdi_name(device)) {
        explain_ftdi_failure(port, device);
        return;
    }
    std::fprintf(stderr, "%s: port %d is %s: %s\n", program_name, port, device, os_failure());
    switch (os_failure_reason()) {
    case os_reason_denied: {
        const char* group = os_device_group(device);
        if (group[0] != '\0')
            std::fprintf(stderr, "Only members of group %s may open it: add your user to the group"
                                 " (sudo usermod -aG %s $USER), then log out and in again.\n", group, group);
        else
            std::fprintf(stderr, "This user may not open it: ask for read and write access to %s.\n", device);
        break;
    }
    case os_reason_busy:
        std::fprintf(stderr, "Another program has it open (a terminal, a modem manager, another isp2313):"
                             " close that program and try again.\n");
        break;
    case os_reason_missing:
        list_serial_devices(port, true);
        break;
    case os_reason_other:
        list_serial_devices(port, false);
        break;
    }
}

// DSR that moves without ever giving the echo is an answer that comes late or garbled.
void suggest_probe(int port, bool dsr_moved)
{
    std::fflush(stdout);
    std::fprintf(stderr, "isp2313: no chip answered; isp2313-probe %d tells what works on the port and what comes back"
                         " from the chip.\n", port);
    if (dsr_moved)
        std::fprintf(stderr, "isp2313: DSR did change during the entry, so something answers, only not in step, as a chip"
                             " does over an adapter that shows DSR late: isp2313-probe --loopback %d (a jumper from DTR"
                             " to DSR, no chip) measures how late, and names the ISP2313_DSR_WAIT_US that makes a run"
                             " wait for it.\n", port);
}
