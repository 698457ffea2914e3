// The platform seam on Windows: COM port, modem lines by EscapeCommFunction, performance counter.
#define WIN32_LEAN_AND_MEAN
#include "line/os.h"

#include <io.h>
#include <windows.h>

static HANDLE handle_of(os_handle port) { return reinterpret_cast<HANDLE>(port); }

std::uint64_t os_counter_frequency()
{
    LARGE_INTEGER frequency;
    if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0)
        return 0;
    return static_cast<std::uint64_t>(frequency.QuadPart);
}

std::uint32_t os_counter()
{
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    return static_cast<std::uint32_t>(count.QuadPart);
}

// Not GetTickCount: it moves in 10-16 ms steps, so a wait that starts just before a step
// would take "8 ms" to be a few microseconds. Quotient and remainder keep count * 1000
// from overflowing.
std::uint32_t os_ticks_ms()
{
    std::uint64_t frequency = os_counter_frequency();
    if (frequency == 0)
        return GetTickCount();
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    std::uint64_t ticks = static_cast<std::uint64_t>(count.QuadPart);
    std::uint64_t ms = ticks / frequency * 1000u + ticks % frequency * 1000u / frequency;
    return static_cast<std::uint32_t>(ms);
}

// 115200 8N1, no flow control, DTR ours alone; every other field stays as the port had it,
// fRtsControl among them.
static bool configure(HANDLE port)
{
    DCB settings{};
    settings.DCBlength = sizeof settings;
    if (!GetCommState(port, &settings))
        return false;
    settings.BaudRate     = CBR_115200;
    settings.ByteSize     = 8;
    settings.Parity       = NOPARITY;
    settings.StopBits     = ONESTOPBIT;
    settings.fParity      = 0;
    settings.fOutxCtsFlow = 0;
    settings.fOutxDsrFlow = 0;
    settings.fDtrControl  = DTR_CONTROL_DISABLE;
    return SetCommState(port, &settings) != 0;
}

// Share mode 0: a port that another program holds fails the open.
os_handle os_port_open(int port_number)
{
    char name[16];
    std::snprintf(name, sizeof name, "COM%1u", static_cast<unsigned>(port_number));
    HANDLE port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE)
        return os_no_handle;
    if (!configure(port)) {
        CloseHandle(port);
        return os_no_handle;
    }
    return reinterpret_cast<os_handle>(port);
}

void os_port_close(os_handle port)
{
    CloseHandle(handle_of(port));
}

void os_set_dtr(os_handle port, bool on) { EscapeCommFunction(handle_of(port), on ? SETDTR : CLRDTR); }

void os_set_rts(os_handle port, bool on) { EscapeCommFunction(handle_of(port), on ? SETRTS : CLRRTS); }

void os_set_break(os_handle port, bool on)
{
    if (on)
        SetCommBreak(handle_of(port));
    else
        ClearCommBreak(handle_of(port));
}

bool os_dsr_on(os_handle port)
{
    DWORD lines = 0;
    if (!GetCommModemStatus(handle_of(port), &lines))
        return false;
    return (lines & MS_DSR_ON) != 0;
}

void os_console_unbuffered()
{
    if (_isatty(_fileno(stdout)))
        std::setvbuf(stdout, nullptr, _IONBF, 0);
}
