// Test infrastructure: a stand-in for FTDI's ftd2xx.dll, built with mingw and copied beside
// the Windows exe under wine; never shipped. Its one device is an FT232R (sim/ft232r.cpp)
// whose pins are the faked port's virtual chip in the state file FAKEPORT_STATE (a Unix path,
// reached through wine's Z: drive and mapped shared, as fakeport.cpp maps it), in real time
// on the performance counter (which wine reads from CLOCK_MONOTONIC_RAW). The file gets the
// device's opens and closes, its line changes in the trace, and a pull as a failed request.
// As FTDI's driver does, it asks the chip for packets from the open on, in the background, while
// its receive buffer has room for one more, and FT_Read takes from that buffer; FT_Write returns
// once the chip has taken every byte. The model runs in real time inside the calls, catching up
// at each on what happened since the last (the packets that came meanwhile included).
// Switches, from the environment:
//   FAKE_D2XX_ROUND_TRIP_US  a USB transfer out and its answer back (default 1000)
//   FAKE_D2XX_RX_SAMPLES     the samples the driver's receive buffer holds (default: those of
//                            one IN request of the size FT_SetUSBParameters set, 4096 bytes
//                            unless set: 62 samples to each 64 bytes)
//   FAKE_D2XX_PULLED_FROM    the adapter is pulled at this write (from 1): that write and every
//                            call after it but FT_Close fail FT_IO_ERROR
//   FAKE_D2XX_PULLED_AFTER   the adapter is pulled once the chip has put out this many states,
//                            mid-transfer: the call under way and every one after fail likewise
//   FAKE_D2XX_HELD=1         another program holds the device: opens fail FT_DEVICE_NOT_OPENED
//                            and the list flags it opened; =2 also lists it without a serial
//   FAKE_D2XX_COM            the COM number the device reports (default: none, -1)
//   FAKE_D2XX_SAME_SERIAL=1  a second FT232R with the same serial number is listed after it,
//                            at location 0x113, its COM number FAKE_D2XX_COM + 1; it has no
//                            chip, and takes no call but FT_GetComPortNumber and FT_Close
//   FAKE_D2XX_LINES_SET=1    the UART's DTR and RTS are set at the first open, as another
//                            program may leave an adapter. FT_SetDtr, FT_ClrDtr, FT_SetRts and
//                            FT_ClrRts set the UART's lines; outside bit-bang they are the
//                            port's lines at once, and leaving bit-bang gives the pins back to
//                            them (TXD idle: the break off)
//   FAKE_D2XX_STRAY_AFTER, FAKE_D2XX_LOSE_AT, FAKE_D2XX_NO_ECHO=1, FAKE_D2XX_ENTRY_GLITCH=1
//                            the model FT232R's faults (sim/ft232r.h): a stray byte after this
//                            many samples, the sample of this index lost, samples that show the
//                            state going out, all outputs low from the mode change
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include "e2e/port_state.h"
#include "sim/ft232r.h"

namespace {

constexpr ULONG ft_ok = 0, ft_invalid_handle = 1, ft_device_not_found = 2, ft_device_not_opened = 3,
                ft_io_error = 4;
const char     serial_number[] = "FAKE2313";
constexpr DWORD location_id = 0x0112, second_location_id = 0x0113;
constexpr std::int32_t tiocm_dtr = 0x002, tiocm_rts = 0x004;   // the file holds Linux's bits

ft232r_model  model;
port_state*   state;
std::uint64_t own_key;
bool          opened, pulled;
bool          uart_dtr, uart_rts, uart_known;   // the UART's modem lines as last set
int           second_device;                    // the second device's handle, when it is open
bool          second_opened;
long          writes, pull_after_states = -1, rx_samples_set;
ULONG         read_timeout_ms, write_timeout_ms, in_bytes = 4096;
std::deque<std::uint8_t> received;     // the driver's receive buffer: samples not yet read

long setting(const char* name, long otherwise)
{
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0' ? std::strtol(value, nullptr, 10) : otherwise;
}

std::uint64_t now_ns()
{
    LARGE_INTEGER frequency, count;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&count);
    std::uint64_t f = frequency.QuadPart, c = count.QuadPart;
    return c / f * 1000000000u + c % f * 1000000000u / f;
}

// Sleeps until T_NS, or shortly before it where the system's sleep is too coarse.
void wait_until(std::uint64_t t_ns)
{
    for (std::uint64_t now = now_ns(); now < t_ns; now = now_ns())
        if (t_ns - now > 2000000)
            Sleep(1);
}

// Without the faked port's file the pins would drive nothing: stop loudly.
port_state* shared()
{
    if (state != nullptr)
        return state;
    const char* path = std::getenv("FAKEPORT_STATE");
    std::string windows_path = std::string("Z:") + (path != nullptr ? path : "");
    for (char& c : windows_path)
        c = c == '/' ? '\\' : c;
    HANDLE file = CreateFileA(windows_path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE mapping = file != INVALID_HANDLE_VALUE ? CreateFileMappingA(file, nullptr, PAGE_READWRITE, 0, 0, nullptr)
                                                  : nullptr;
    void* view = mapping != nullptr ? MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0) : nullptr;
    auto* mapped = static_cast<port_state*>(view);
    if (mapped == nullptr || mapped->magic != port_state_magic || mapped->version != port_state_version) {
        std::fprintf(stderr, "fake ftd2xx.dll: no usable state file (FAKEPORT_STATE=%s)\n", path ? path : "");
        ExitProcess(97);
    }
    return state = mapped;
}

void trace(char line, bool value, std::uint64_t t_ns)
{
    if (!state->trace_enabled)
        return;
    std::uint64_t index = state->trace_count++;
    if (index >= state->trace_capacity) {
        state->trace_overflow = 1;
        return;
    }
    state->events[index].t_ns = t_ns;
    state->events[index].line = line;
    state->events[index].value = value ? 1 : 0;
}

// As fakeport.cpp: the file's copy of the chip is taken up when another process changed it
// last, and written back after every transfer.
void take_chip()
{
    if (own_key == 0)
        own_key = __atomic_add_fetch(&state->keys_issued, 1, __ATOMIC_SEQ_CST);
    if (state->chip_owner_key != own_key) {
        shared_chip_load(state->chip);
        state->chip_owner_key = own_key;
    }
}

// The pins as the serial port's lines: a 0 bit is the line set.
void drive(std::uint8_t pins, std::uint64_t t_ns)
{
    bool break_on = (pins & 0x01) == 0, rts_on = (pins & 0x04) == 0, dtr_on = (pins & 0x10) == 0;
    if (break_on != (state->break_on != 0)) {
        trace('B', break_on, t_ns);
        state->break_on = break_on;
        chip_line_sck(break_on, t_ns);
    }
    if (dtr_on != ((state->modem_lines & tiocm_dtr) != 0)) {
        trace('D', dtr_on, t_ns);
        state->modem_lines ^= tiocm_dtr;
        chip_line_mosi(!dtr_on, t_ns);
    }
    if (rts_on != ((state->modem_lines & tiocm_rts) != 0)) {
        trace('R', rts_on, t_ns);
        state->modem_lines ^= tiocm_rts;
        chip_line_reset(rts_on, t_ns);
    }
}

std::uint8_t sense(std::uint64_t) { return chip_line_miso() ? 0xFF : 0xDF; }

std::size_t rx_capacity()
{
    return rx_samples_set > 0 ? static_cast<std::size_t>(rx_samples_set)
                              : in_bytes / ft232r_packet * ft232r_packet_samples;
}

// Samples in the buffer and on their way to it: the driver asks for a packet only while its
// buffer has room for everything asked for.
void ask_while_room()
{
    std::size_t coming = received.size();
    for (const auto& packet : model.to_host)
        coming += packet.bytes.size() - 2;
    model.reading = coming + ft232r_packet_samples <= rx_capacity();
}

// The chip and the driver run from where they were to T_NS, a step at a time: packets that
// arrive go into the buffer, status bytes dropped, and the driver asks again once there is room.
void run_to(std::uint64_t t_ns)
{
    for (;;) {
        ask_while_room();
        std::uint64_t next = ft232r_next_event_ns(model);
        ft232r_advance(model, next < t_ns ? next : t_ns);
        while (!model.to_host.empty() && model.to_host.front().arrives_ns <= model.now_ns) {
            const auto& bytes = model.to_host.front().bytes;
            received.insert(received.end(), bytes.begin() + 2, bytes.end());
            model.to_host.pop_front();
        }
        if (!pulled && pull_after_states >= 0 && model.bytes_out >= pull_after_states) {
            pulled = true;
            ++state->calls.failed_line_requests;
            state->calls.first_failure_ns = static_cast<std::int64_t>(model.now_ns);
        }
        if (next >= t_ns || pulled)
            return;
    }
}

// The model caught up with real time, the chip taken up from the file.
void run_to_now()
{
    take_chip();
    run_to(now_ns());
    shared_chip_save(state->chip);
}

// Real time runs on until DONE says so, the model with it, or until DEADLINE_NS or a pull.
template <typename Done>
void run_until(Done done, std::uint64_t deadline_ns)
{
    take_chip();
    for (std::uint64_t now = now_ns();; now = now_ns()) {
        run_to(now);
        if (done() || pulled || now >= deadline_ns)
            break;
        std::uint64_t next = ft232r_next_event_ns(model);
        wait_until(next < deadline_ns ? next : deadline_ns);
    }
    shared_chip_save(state->chip);
}

// The UART's lines on the pins: TXD idle (no break), RTS and DTR low while set.
void uart_drive(std::uint64_t t_ns)
{
    std::uint8_t pins = static_cast<std::uint8_t>(model.pins | 0x01 | 0x04 | 0x10);
    pins = static_cast<std::uint8_t>(pins & ~(uart_rts ? 0x04 : 0) & ~(uart_dtr ? 0x10 : 0));
    model.pins = pins;
    take_chip();
    drive(pins, t_ns);
    shared_chip_save(state->chip);
}

ULONG open_device(void** handle)
{
    if (setting("FAKE_D2XX_HELD", 0) != 0 || opened)
        return ft_device_not_opened;
    shared();
    if (!uart_known)
        uart_dtr = uart_rts = setting("FAKE_D2XX_LINES_SET", 0) != 0;
    uart_known = true;
    model = ft232r_model{};
    model.round_trip_ns = static_cast<std::uint64_t>(setting("FAKE_D2XX_ROUND_TRIP_US", 1000)) * 1000u;
    model.stray_after = setting("FAKE_D2XX_STRAY_AFTER", -1);
    model.lose_at = setting("FAKE_D2XX_LOSE_AT", -1);
    model.no_echo = setting("FAKE_D2XX_NO_ECHO", 0) != 0;
    model.entry_glitch = setting("FAKE_D2XX_ENTRY_GLITCH", 0) != 0;
    model.drive = drive;
    model.sense = sense;
    pull_after_states = setting("FAKE_D2XX_PULLED_AFTER", -1);
    rx_samples_set = setting("FAKE_D2XX_RX_SAMPLES", 0);
    received.clear();
    opened = true;
    std::uint64_t t = now_ns();
    model.now_ns = model.last_packet_ns = t;
    trace('O', true, t);
    ++state->calls.opens;
    ++state->open_count;
    if (state->first_open_ns == 0)
        state->first_open_ns = t;
    *handle = &model;
    return ft_ok;
}

bool ours(void* handle) { return opened && handle == &model; }

// Calls on a pulled device fail.
ULONG refusal(void* handle) { return !ours(handle) ? ft_invalid_handle : pulled ? ft_io_error : ft_ok; }

} // namespace

#define D2XX extern "C" __declspec(dllexport) ULONG WINAPI

static bool with_second() { return setting("FAKE_D2XX_SAME_SERIAL", 0) != 0; }

D2XX FT_CreateDeviceInfoList(DWORD* count)
{
    *count = with_second() ? 2 : 1;
    return ft_ok;
}

D2XX FT_GetDeviceInfoDetail(DWORD index, DWORD* flags, DWORD* type, DWORD* id, DWORD* location, char* serial,
                            char* description, void** handle)
{
    if (index > (with_second() ? 1u : 0u))
        return ft_device_not_found;
    long held = index == 0 ? setting("FAKE_D2XX_HELD", 0) : 0;
    bool open_now = index == 0 ? opened : second_opened;
    *flags = open_now || held != 0 ? 1 : 0;
    *type = 5;   // FT232R
    *id = 0x04036001;
    *location = index == 0 ? location_id : second_location_id;
    std::strcpy(serial, held == 2 ? "" : serial_number);
    std::strcpy(description, held == 2 ? "" : "FT232R USB UART");
    *handle = !open_now ? nullptr : index == 0 ? static_cast<void*>(&model) : static_cast<void*>(&second_device);
    return ft_ok;
}

D2XX FT_Open(int index, void** handle)
{
    if (index == 1 && with_second()) {
        if (second_opened)
            return ft_device_not_opened;
        second_opened = true;
        *handle = &second_device;
        return ft_ok;
    }
    return index == 0 ? open_device(handle) : ft_device_not_found;
}

D2XX FT_OpenEx(void* which, DWORD how, void** handle)
{
    bool this_one = how == 1 && std::strcmp(static_cast<const char*>(which), serial_number) == 0;
    return this_one ? open_device(handle) : ft_device_not_found;
}

D2XX FT_GetComPortNumber(void* handle, LONG* number)
{
    long com = setting("FAKE_D2XX_COM", -1);
    bool second = second_opened && handle == &second_device;
    *number = second && com > 0 ? com + 1 : second ? -1 : com;
    return ours(handle) || second ? ft_ok : ft_invalid_handle;
}

// The settings: each changes the model, unless the call is refused.
template <typename Change>
ULONG setting_call(void* handle, Change change)
{
    ULONG refused = refusal(handle);
    if (refused == ft_ok)
        change();
    return refused;
}

D2XX FT_SetBaudRate(void* handle, ULONG baud) { return setting_call(handle, [=] { model.baud = baud; }); }

D2XX FT_SetLatencyTimer(void* handle, UCHAR ms) { return setting_call(handle, [=] { model.latency_ms = ms; }); }

D2XX FT_SetUSBParameters(void* handle, ULONG in_size, ULONG)
{
    return setting_call(handle, [=] { in_bytes = in_size; });
}

D2XX FT_SetTimeouts(void* handle, ULONG read_ms, ULONG write_ms)
{
    return setting_call(handle, [=] {
        read_timeout_ms = read_ms;
        write_timeout_ms = write_ms;
    });
}

// Bit-bang off gives the pins back to the UART's lines, so a close that left RTS set shows as
// the chip held in reset.
D2XX FT_SetBitMode(void* handle, UCHAR mask, UCHAR mode)
{
    return setting_call(handle, [=] {
        run_to_now();
        ft232r_set_bitmode(model, mask, mode == 0x04, model.now_ns);
        if (mode == 0)
            uart_drive(model.now_ns);
    });
}

// The UART's modem lines: the pins' only outside bit-bang.
static ULONG modem_line(void* handle, bool& line, bool on)
{
    return setting_call(handle, [&line, on] {
        line = on;
        if (!model.bitbang)
            uart_drive(now_ns());
    });
}

D2XX FT_SetDtr(void* handle) { return modem_line(handle, uart_dtr, true); }
D2XX FT_ClrDtr(void* handle) { return modem_line(handle, uart_dtr, false); }
D2XX FT_SetRts(void* handle) { return modem_line(handle, uart_rts, true); }
D2XX FT_ClrRts(void* handle) { return modem_line(handle, uart_rts, false); }

D2XX FT_Purge(void* handle, ULONG what)
{
    return setting_call(handle, [=] {
        run_to_now();
        if (what & 1) {
            received.clear();
            model.samples.clear();
            model.to_host.clear();
        }
        if (what & 2) {
            model.to_pins.clear();
            model.from_host.clear();
        }
    });
}

// The bytes go out at once and the call returns when the chip has taken the last of them; what
// it has not taken by the write timeout is dropped, as the driver cancels the request.
D2XX FT_Write(void* handle, void* data, DWORD count, DWORD* written)
{
    if (ULONG refused = refusal(handle))
        return refused;
    *written = 0;
    if (++writes == setting("FAKE_D2XX_PULLED_FROM", 0)) {
        pulled = true;
        ++state->calls.failed_line_requests;
        state->calls.first_failure_ns = static_cast<std::int64_t>(now_ns());
        return ft_io_error;
    }
    run_to_now();
    std::uint64_t before = model.taken_from_host, due = before + count;
    ft232r_submit_out(model, static_cast<std::uint8_t*>(data), count, model.now_ns);
    std::uint64_t timeout_ns = (write_timeout_ms != 0 ? write_timeout_ms : 5000) * 1000000ull;
    run_until([due] { return model.taken_from_host >= due; }, now_ns() + timeout_ns);
    model.from_host.clear();
    *written = static_cast<DWORD>(model.taken_from_host - before);
    return pulled ? ft_io_error : ft_ok;
}

// What the driver has received, waiting until COUNT samples are there or the read timeout.
D2XX FT_Read(void* handle, void* data, DWORD count, DWORD* got)
{
    if (ULONG refused = refusal(handle))
        return refused;
    std::uint64_t timeout_ns = (read_timeout_ms != 0 ? read_timeout_ms : 5000) * 1000000ull;
    run_until([count] { return received.size() >= count; }, now_ns() + timeout_ns);
    *got = 0;
    if (pulled)
        return ft_io_error;
    for (; *got < count && !received.empty(); ++*got) {
        static_cast<std::uint8_t*>(data)[*got] = received.front();
        received.pop_front();
    }
    return ft_ok;
}

D2XX FT_Close(void* handle)
{
    if (second_opened && handle == &second_device) {
        second_opened = false;
        return ft_ok;
    }
    if (!ours(handle))
        return ft_invalid_handle;
    opened = false;
    std::uint64_t t = now_ns();
    trace('C', true, t);
    ++state->calls.closes;
    --state->open_count;
    state->last_close_ns = t;
    return ft_ok;
}
