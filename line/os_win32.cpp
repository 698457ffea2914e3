// The platform seam on Windows: COM port, modem lines by EscapeCommFunction, performance counter.
#define WIN32_LEAN_AND_MEAN
#include "line/os.h"

#include <cstdlib>
#include <cstring>
#include <io.h>
#include <windows.h>
#include <mmsystem.h>
#include "line/os_note.h"
#include "line/port_name.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

static HANDLE handle_of(os_handle port) { return reinterpret_cast<HANDLE>(port); }

static char      failure_text[256];
static os_reason failure_reason = os_reason_other;
static bool      dtr_given, dtr_on;     // the level this port's DTR was last given
static volatile LONG interrupt_seen = 0;

// A COM port that another program holds answers ERROR_ACCESS_DENIED: the system lets anyone
// open a free one. wine answers a device that Linux calls busy with ERROR_LOCK_VIOLATION.
static os_reason reason_of(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_BAD_UNIT:
        return os_reason_missing;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_BUSY:
        return os_reason_busy;
    default:
        return os_reason_other;
    }
}

// Keeps CALL and WORDS for os_failure. Only the first failure since the open is kept: the
// calls that try to release the lines after it fail too, but it is the one that says why.
// The FTDI file beside this one reports its failures here too.
void os_note_failure(const char* call, const char* words, os_reason reason)
{
    if (failure_text[0] != '\0')
        return;
    failure_reason = reason;
    std::snprintf(failure_text, sizeof failure_text, "%s: %s", call, words);
}

// Keeps the call's name and the system's words for GetLastError; returns false for the caller.
static bool failed(const char* call)
{
    DWORD error = GetLastError();
    char words[sizeof failure_text];
    DWORD written = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                   words, static_cast<DWORD>(sizeof words), nullptr);
    if (written == 0)
        std::snprintf(words, sizeof words, "error %lu", static_cast<unsigned long>(error));
    // The system's text ends in a line break.
    for (char* end = words + std::strlen(words); end > words && (end[-1] == '\n' || end[-1] == '\r' || end[-1] == ' ');)
        *--end = '\0';
    os_note_failure(call, words, reason_of(error));
    return false;
}

void os_forget_failure() { failure_text[0] = '\0'; }

const char* os_failure() { return failure_text; }

os_reason os_failure_reason() { return failure_reason; }

std::uint64_t os_counter_frequency()
{
    LARGE_INTEGER frequency;
    if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0)
        return 0;
    return static_cast<std::uint64_t>(frequency.QuadPart);
}

static std::int64_t counter_now()
{
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    return count.QuadPart;
}

std::uint32_t os_counter()
{
    return static_cast<std::uint32_t>(counter_now());
}

// Not GetTickCount: it moves in 10-16 ms steps, so a wait that starts just before a step
// would take "8 ms" to be a few microseconds. Quotient and remainder keep count * 1000
// from overflowing.
std::uint32_t os_ticks_ms()
{
    std::uint64_t frequency = os_counter_frequency();
    if (frequency == 0)
        return GetTickCount();
    std::uint64_t ticks = static_cast<std::uint64_t>(counter_now());
    std::uint64_t ms = ticks / frequency * 1000u + ticks % frequency * 1000u / frequency;
    return static_cast<std::uint32_t>(ms);
}

// The sleep ends this long before the tick it aims at; the caller polls the rest.
constexpr std::int64_t sleep_margin_100ns = 5000;

static HANDLE sleep_timer;
static bool   sleep_timer_tried, coarse_period_set;

static void end_coarse_period() { timeEndPeriod(1); }

// A high-resolution waitable timer where the system has one (Windows 10 1803 on), else
// Sleep with the system's timer period raised to 1 ms for as long as the program runs.
static void sleep_100ns(std::int64_t duration)
{
    if (!sleep_timer_tried) {
        sleep_timer_tried = true;
        sleep_timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    }
    if (sleep_timer != nullptr) {
        LARGE_INTEGER due;
        due.QuadPart = -duration;
        if (SetWaitableTimer(sleep_timer, &due, 0, nullptr, nullptr, FALSE)) {
            WaitForSingleObject(sleep_timer, INFINITE);
            return;
        }
    }
    if (!coarse_period_set) {
        coarse_period_set = true;
        timeBeginPeriod(1);
        std::atexit(end_coarse_period);
    }
    // Sleep may overrun by up to a period: it is given whole milliseconds less one.
    DWORD ms = static_cast<DWORD>(duration / 10000);
    if (ms > 1)
        Sleep(ms - 1);
}

void os_sleep_until_ms(std::uint32_t tick)
{
    std::uint64_t frequency = os_counter_frequency();
    if (frequency == 0)
        return;
    std::uint64_t ticks = static_cast<std::uint64_t>(counter_now());
    std::uint64_t now_ms = ticks / frequency * 1000u + ticks % frequency * 1000u / frequency;
    std::uint32_t ahead = tick - static_cast<std::uint32_t>(now_ms);
    if (ahead == 0 || ahead > 0x80000000u)
        return;
    // From now to the start of millisecond TICK, in 100 ns units: PAST is how far now lies
    // into millisecond now_ms, in units of 1 / (1000 * frequency) seconds.
    std::uint64_t past = ticks % frequency * 1000u % frequency;
    std::int64_t  left = static_cast<std::int64_t>(ahead) * 10000
                       - static_cast<std::int64_t>(past * 10000u / frequency);
    if (left > sleep_margin_100ns)
        sleep_100ns(left - sleep_margin_100ns);
}

const char* os_port_name(int port_number)
{
    return chosen_port_name(port_number, "COM1", "COM2");
}

const char* os_dsr_wait_setting() { return chosen_dsr_wait(); }

// 115200 8N1, no flow control, DTR ours alone; every other field stays as the port had it,
// fRtsControl among them.
static bool configure(HANDLE port)
{
    DCB settings{};
    settings.DCBlength = sizeof settings;
    if (!GetCommState(port, &settings))
        return failed("GetCommState");
    settings.BaudRate     = CBR_115200;
    settings.ByteSize     = 8;
    settings.Parity       = NOPARITY;
    settings.StopBits     = ONESTOPBIT;
    settings.fParity      = 0;
    settings.fOutxCtsFlow = 0;
    settings.fOutxDsrFlow = 0;
    settings.fDtrControl  = DTR_CONTROL_DISABLE;
    if (!SetCommState(port, &settings))
        return failed("SetCommState");
    return true;
}

// Share mode 0: a port that another program holds fails the open. Opened as \\.\COM12: the
// bare name reaches only COM1 to COM9.
os_handle os_port_open(int port_number)
{
    failure_text[0] = '\0';
    const char* name = os_port_name(port_number);
    char path[MAX_PATH];
    const char* prefix = name != nullptr && std::strncmp(name, "\\\\", 2) == 0 ? "" : "\\\\.\\";
    int length = name != nullptr ? std::snprintf(path, sizeof path, "%s%s", prefix, name) : -1;
    if (length < 0 || length >= static_cast<int>(sizeof path)) {
        SetLastError(ERROR_INVALID_NAME);
        failed("CreateFile");
        return os_no_handle;
    }
    HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        failed("CreateFile");
        return os_no_handle;
    }
    if (!configure(port)) {
        CloseHandle(port);
        return os_no_handle;
    }
    return reinterpret_cast<os_handle>(port);
}

void os_port_close(os_handle port)
{
    CloseHandle(handle_of(port));
    dtr_given = false;
}

// Windows grants COM ports to everyone; a refused one is held by another program.
const char* os_device_group(const char*) { return ""; }

// The COM names the serial drivers registered, as the system reports them.
void os_list_serial_devices(void (*seen)(const char* name, const char* leads_to))
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    for (DWORD index = 0;; ++index) {
        char  driver[256];
        char  name[64] = {};
        DWORD driver_size = sizeof driver, name_size = sizeof name - 1, type = 0;
        LONG  status = RegEnumValueA(key, index, driver, &driver_size, nullptr, &type,
                                     reinterpret_cast<BYTE*>(name), &name_size);
        if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA)
            break;
        if (status == ERROR_SUCCESS && type == REG_SZ && name[0] != '\0')
            seen(name, "");
    }
    RegCloseKey(key);
}

bool os_set_dtr(os_handle port, bool on)
{
    if (!EscapeCommFunction(handle_of(port), on ? SETDTR : CLRDTR))
        return failed(on ? "EscapeCommFunction SETDTR" : "EscapeCommFunction CLRDTR");
    dtr_given = true;
    dtr_on = on;
    return true;
}

// Windows' own CDC-ACM class driver is reported to send an RTS change only with the next
// DTR change, so DTR is set once more, to the level it already has.
bool os_set_rts(os_handle port, bool on)
{
    if (!EscapeCommFunction(handle_of(port), on ? SETRTS : CLRRTS))
        return failed(on ? "EscapeCommFunction SETRTS" : "EscapeCommFunction CLRRTS");
    return !dtr_given || os_set_dtr(port, dtr_on);
}

bool os_set_break(os_handle port, bool on)
{
    if (on ? !SetCommBreak(handle_of(port)) : !ClearCommBreak(handle_of(port)))
        return failed(on ? "SetCommBreak" : "ClearCommBreak");
    return true;
}

bool os_read_dsr(os_handle port, bool& on)
{
    DWORD lines = 0;
    if (!GetCommModemStatus(handle_of(port), &lines))
        return failed("GetCommModemStatus");
    on = (lines & MS_DSR_ON) != 0;
    return true;
}

// The console runs this on a thread of its own: it only raises the flag. For a closing
// console window, logoff or shutdown the process ends when the handler returns, so the
// handler waits there while the run closes the port and the process exits.
static BOOL WINAPI note_interrupt(DWORD event)
{
    InterlockedExchange(&interrupt_seen, 1);
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        Sleep(INFINITE);
    return TRUE;
}

void os_catch_interrupts()
{
    SetConsoleCtrlHandler(note_interrupt, TRUE);
}

bool os_interrupted() { return InterlockedCompareExchange(&interrupt_seen, 0, 0) != 0; }

void os_console_unbuffered()
{
    if (_isatty(_fileno(stdout)))
        std::setvbuf(stdout, nullptr, _IONBF, 0);
}
