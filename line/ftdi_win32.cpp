// FTDI synchronous bit-bang on Windows, through D2XX (ftd2xx.dll), the library that FTDI's
// driver package installs with every FTDI device's COM port. It is loaded at run time, from
// the program's own directory or the system directory: where it is missing, or lacks a call
// used here, every COM port runs on line calls and a port named "ftdi…" does not open.
#define WIN32_LEAN_AND_MEAN
#include "line/os.h"

#include <cstdio>
#include <cstring>
#include <windows.h>
#include "line/ftdi_chips.h"
#include "line/os_note.h"
#include "line/port_name.h"

#ifndef LOAD_LIBRARY_SEARCH_APPLICATION_DIR
#define LOAD_LIBRARY_SEARCH_APPLICATION_DIR 0x00000200
#endif
#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

// D2XX's types and the few of its constants used here.
using ft_handle = void*;
using ft_status = ULONG;
constexpr ft_status ft_ok = 0, ft_device_not_found = 2, ft_device_not_opened = 3;
// The list's flags: the device is open (here or in another program), and it runs at high speed.
constexpr DWORD ft_flag_opened = 1, ft_flag_high_speed = 2;
constexpr ULONG ft_purge_rx = 1, ft_purge_tx = 2;
constexpr UCHAR ft_mode_reset = 0x00, ft_mode_sync_bitbang = 0x04;

// The states stream with transfers in flight. D2XX keeps IN requests going in the background
// from the open, each of the in-transfer size set with FT_SetUSBParameters, and holds what they
// bring until FT_Read takes it; FT_Write returns once the chip has taken every byte, which it
// does only as it puts states out, and it puts one out only while its sample FIFO has room. That
// FIFO fills only when the driver stops asking for packets, when its own buffer is full. D2XX
// documents no receive buffer beyond its requests, so the flight is one in-transfer's samples:
// the driver holds at least what the request it has pending asks for, and with no more than
// that sent and not read, no write waits on samples that nobody drains. The in-transfer is
// D2XX's default size, said here rather than assumed: 64 full-speed packets (3968 samples,
// 13 ms of wire at the byte clock's fastest), 8 high-speed ones (4080). A larger one would let
// more be in flight, but the driver hands a request's samples over only when it is full or a
// short packet ends it, and a flight shorter than a request would wait for the stream to stop.
constexpr ULONG in_transfer_bytes = 4096;
// A write is half a flight: one is on the wire while the samples of the one before are read,
// and each blocking write leaves the pins at most the chip's output FIFO ahead (128 states on an
// FT232R) while the next one's bytes are on their way, so the fewer the writes the fewer those
// gaps.
constexpr std::uint32_t writes_per_flight = 2;
// A write or a read that gets nowhere for a second fails: a write of half a flight takes 7 ms at
// the fastest byte clock, and the samples due follow the states sent within a round trip and the
// latency timer.
constexpr ULONG transfer_timeout_ms = 1000;

static struct {
    ft_status(WINAPI* create_device_info_list)(DWORD* count);
    ft_status(WINAPI* get_device_info_detail)(DWORD index, DWORD* flags, DWORD* type, DWORD* id, DWORD* location,
                                              char* serial, char* description, ft_handle* handle);
    ft_status(WINAPI* open)(int index, ft_handle* handle);
    ft_status(WINAPI* get_com_port_number)(ft_handle device, LONG* number);
    ft_status(WINAPI* set_baud_rate)(ft_handle device, ULONG baud);
    ft_status(WINAPI* set_latency_timer)(ft_handle device, UCHAR ms);
    ft_status(WINAPI* set_usb_parameters)(ft_handle device, ULONG in_bytes, ULONG out_bytes);
    ft_status(WINAPI* set_timeouts)(ft_handle device, ULONG read_ms, ULONG write_ms);
    ft_status(WINAPI* set_bit_mode)(ft_handle device, UCHAR mask, UCHAR mode);
    ft_status(WINAPI* clr_dtr)(ft_handle device);
    ft_status(WINAPI* clr_rts)(ft_handle device);
    ft_status(WINAPI* write)(ft_handle device, void* data, DWORD count, DWORD* written);
    ft_status(WINAPI* read)(ft_handle device, void* data, DWORD count, DWORD* got);
    ft_status(WINAPI* purge)(ft_handle device, ULONG what);
    ft_status(WINAPI* close)(ft_handle device);
} d2xx;

static bool d2xx_tried, d2xx_ready;
static std::uint32_t read_most;   // the most samples one FT_Read asks for: a write's worth
static char opened_description[160];   // the device open now, as the list describes it
static char d2xx_missing[160];   // why D2XX cannot be used

template <typename Call>
static void find_call(HMODULE library, const char* name, Call& call)
{
    FARPROC found = GetProcAddress(library, name);
    call = reinterpret_cast<Call>(reinterpret_cast<void (*)()>(found));
    if (found == nullptr && d2xx_missing[0] == '\0')
        std::snprintf(d2xx_missing, sizeof d2xx_missing, "ftd2xx.dll has no %s: FTDI's driver package is too old",
                      name);
}

// Not the current directory: a DLL left there would be run. A system without the search
// flags (Windows 7 before its 2011 update) refuses them, and searches as it always did.
static bool d2xx_loaded()
{
    if (d2xx_tried)
        return d2xx_ready;
    d2xx_tried = true;
    HMODULE library = LoadLibraryExA("ftd2xx.dll", nullptr,
                                     LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (library == nullptr && GetLastError() == ERROR_INVALID_PARAMETER)
        library = LoadLibraryA("ftd2xx.dll");
    if (library == nullptr) {
        std::snprintf(d2xx_missing, sizeof d2xx_missing,
                      "ftd2xx.dll is missing: FTDI's D2XX library comes with FTDI's driver package");
        return false;
    }
    find_call(library, "FT_CreateDeviceInfoList", d2xx.create_device_info_list);
    find_call(library, "FT_GetDeviceInfoDetail", d2xx.get_device_info_detail);
    find_call(library, "FT_Open", d2xx.open);
    find_call(library, "FT_GetComPortNumber", d2xx.get_com_port_number);
    find_call(library, "FT_SetBaudRate", d2xx.set_baud_rate);
    find_call(library, "FT_SetLatencyTimer", d2xx.set_latency_timer);
    find_call(library, "FT_SetUSBParameters", d2xx.set_usb_parameters);
    find_call(library, "FT_SetTimeouts", d2xx.set_timeouts);
    find_call(library, "FT_SetBitMode", d2xx.set_bit_mode);
    find_call(library, "FT_ClrDtr", d2xx.clr_dtr);
    find_call(library, "FT_ClrRts", d2xx.clr_rts);
    find_call(library, "FT_Write", d2xx.write);
    find_call(library, "FT_Read", d2xx.read);
    find_call(library, "FT_Purge", d2xx.purge);
    find_call(library, "FT_Close", d2xx.close);
    d2xx_ready = d2xx_missing[0] == '\0';
    if (!d2xx_ready)
        FreeLibrary(library);
    return d2xx_ready;
}

static const char* status_name(ft_status status)
{
    static const char* const names[] = {
        "FT_OK", "FT_INVALID_HANDLE", "FT_DEVICE_NOT_FOUND", "FT_DEVICE_NOT_OPENED", "FT_IO_ERROR",
        "FT_INSUFFICIENT_RESOURCES", "FT_INVALID_PARAMETER", "FT_INVALID_BAUD_RATE",
        "FT_DEVICE_NOT_OPENED_FOR_ERASE", "FT_DEVICE_NOT_OPENED_FOR_WRITE", "FT_FAILED_TO_WRITE_DEVICE",
        "FT_EEPROM_READ_FAILED", "FT_EEPROM_WRITE_FAILED", "FT_EEPROM_ERASE_FAILED", "FT_EEPROM_NOT_PRESENT",
        "FT_EEPROM_NOT_PROGRAMMED", "FT_INVALID_ARGS", "FT_NOT_SUPPORTED", "FT_OTHER_ERROR",
        "FT_DEVICE_LIST_NOT_READY"};
    return status < sizeof names / sizeof names[0] ? names[status] : "an unknown FT_STATUS";
}

// True for FT_OK; else the call and its status are kept for os_failure(). A device that will
// not open is held by another program: D2XX cannot open one whose COM port is in use.
static bool call_ok(const char* call, ft_status status)
{
    if (status == ft_ok)
        return true;
    os_reason reason = status == ft_device_not_found    ? os_reason_missing
                     : status == ft_device_not_opened ? os_reason_busy
                                                      : os_reason_other;
    os_note_failure(call, status_name(status), reason);
    return false;
}

// A listed device. A part with more than one channel lists each as a device of its own, its
// serial number the part's and the channel's letter (SERIAL + "A"). A device held by another
// program is flagged opened and may be listed without its serial number.
struct ft_device {
    DWORD index, flags, type, location;
    LONG  com;   // its COM port's number; 0 for none, or none known (a held device's)
    char  serial[16], description[64];
};

// More are not told apart: a desk has a few adapters.
constexpr DWORD most_devices = 16;
static ft_device listed[most_devices];

static bool held(const ft_device& device) { return (device.flags & ft_flag_opened) != 0; }

static const char* chip_name(DWORD type)
{
    const ftdi_chip* chip = ftdi_chip_by_d2xx_type(type);
    return chip != nullptr ? chip->name : "FTDI chip";
}

static bool synchronous(DWORD type)
{
    const ftdi_chip* chip = ftdi_chip_by_d2xx_type(type);
    return chip != nullptr && chip->synchronous;
}

// D2XX tells a device's COM port only while it is open here: a device no other program holds
// is opened for the moment it takes to ask.
static LONG com_port_of(const ft_device& device)
{
    ft_handle handle = nullptr;
    if (held(device) || d2xx.open(static_cast<int>(device.index), &handle) != ft_ok)
        return 0;
    LONG number = -1;
    if (d2xx.get_com_port_number(handle, &number) != ft_ok || number < 0)
        number = 0;
    d2xx.close(handle);
    return number;
}

// The devices attached, into LISTED, with their COM ports; how many.
static DWORD list_devices()
{
    DWORD count = 0;
    if (d2xx.create_device_info_list(&count) != ft_ok)
        return 0;
    DWORD kept = 0;
    for (DWORD index = 0; index < count && kept < most_devices; ++index) {
        ft_device& device = listed[kept];
        DWORD id = 0;
        ft_handle ignored = nullptr;
        device = ft_device{};
        device.index = index;
        if (d2xx.get_device_info_detail(index, &device.flags, &device.type, &id, &device.location, device.serial,
                                        device.description, &ignored) != ft_ok)
            continue;
        device.serial[sizeof device.serial - 1] = '\0';
        device.com = com_port_of(device);
        ++kept;
    }
    return kept;
}

// D2XX tells no USB bus and address: where a device sits is its location id.
static const char* describe(const ft_device& device, char* text, std::size_t size)
{
    char com[16] = "";
    if (device.com > 0)
        std::snprintf(com, sizeof com, ", COM%ld", static_cast<long>(device.com));
    std::snprintf(text, size, "%s serial %s, location 0x%lX%s%s", chip_name(device.type),
                  device.serial[0] != '\0' ? device.serial : "unknown", static_cast<unsigned long>(device.location),
                  com, held(device) ? ", open in another program" : "");
    return text;
}

// COM1, com12 or \\.\COM12: the port's number; 0 for any other name.
static int com_number(const char* name)
{
    if (std::strncmp(name, "\\\\.\\", 4) == 0)
        name += 4;
    if ((name[0] | 0x20) != 'c' || (name[1] | 0x20) != 'o' || (name[2] | 0x20) != 'm')
        return 0;
    int number = 0;
    for (const char* digit = name + 3; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9' || number > 255)
            return 0;
        number = number * 10 + (*digit - '0');
    }
    return number;
}

// Whether COMn is open in another program: the system refuses a second open of a COM port.
static bool com_port_in_use(int com)
{
    char path[24];
    std::snprintf(path, sizeof path, "\\\\.\\COM%d", com);
    HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port != INVALID_HANDLE_VALUE) {
        CloseHandle(port);
        return false;
    }
    DWORD error = GetLastError();
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION
        || error == ERROR_BUSY;
}

static ft_handle open_listed(const ft_device& device)
{
    ft_handle handle = nullptr;
    return call_ok("FT_Open", d2xx.open(static_cast<int>(device.index), &handle)) ? handle : nullptr;
}

static void note_held(const ft_device& device)
{
    char words[160];
    std::snprintf(words, sizeof words, "the %s serial %s is in use by another program, through its COM port or D2XX",
                  chip_name(device.type), device.serial[0] != '\0' ? device.serial : "unknown");
    os_note_failure("FT_GetDeviceInfoDetail", words, os_reason_busy);
}

// The listed device whose COM port is COMn, opened; null with the failure kept. A held device
// tells no COM port: when one is listed, COMn in use in another program may well be it.
static ft_handle open_by_com(int com, DWORD count, ft_device& device)
{
    bool some_held = false;
    for (DWORD at = 0; at < count; ++at) {
        some_held = some_held || held(listed[at]);
        if (listed[at].com != com)
            continue;
        device = listed[at];
        if (synchronous(device.type))
            return open_listed(device);
        char words[96];
        std::snprintf(words, sizeof words, "the %s has no synchronous bit-bang", chip_name(device.type));
        os_note_failure("FT_GetDeviceInfoDetail", words, os_reason_other);
        return nullptr;
    }
    char words[96];
    if (some_held && com_port_in_use(com)) {
        std::snprintf(words, sizeof words, "COM%d is open in another program", com);
        os_note_failure("CreateFile", words, os_reason_busy);
    } else {
        std::snprintf(words, sizeof words, "no FTDI device has COM%d as its COM port", com);
        os_note_failure("FT_GetComPortNumber", words, os_reason_missing);
    }
    return nullptr;
}

// "ftdi:SERIAL" names the device listed as SERIAL or SERIAL + "A", "ftdi:SERIAL:B" the one
// listed as SERIAL + "B". None of the letter asked for but one of the part: the part has no
// such channel.
static bool serial_fits(const char* listed_serial, const char* serial, std::size_t length, const char* channel)
{
    if (std::strncmp(listed_serial, serial, length) != 0)
        return false;
    const char* rest = listed_serial + length;
    return channel != nullptr ? std::strcmp(rest, channel) == 0 : rest[0] == '\0' || std::strcmp(rest, "A") == 0;
}

static bool same_part(const char* listed_serial, const char* serial, std::size_t length)
{
    const char* rest = listed_serial + length;
    return std::strncmp(listed_serial, serial, length) == 0
        && (rest[0] == '\0' || (rest[0] >= 'A' && rest[0] <= 'H' && rest[1] == '\0'));
}

// Two devices or more with the serial number asked for: none is taken, each is told, and the
// name of one alone (its COM port).
static void note_ambiguous(int port_number, const char* serial, std::size_t length, const char* channel,
                           DWORD count)
{
    char words[256];
    int fits = 0;
    LONG example = 0;
    for (DWORD at = 0; at < count; ++at)
        fits += serial_fits(listed[at].serial, serial, length, channel) ? 1 : 0;
    int used = std::snprintf(words, sizeof words, "%d FTDI devices have serial number %.*s%s", fits,
                         static_cast<int>(length), serial, channel != nullptr ? channel : "");
    const char* separator = ":";
    for (DWORD at = 0; at < count && used < static_cast<int>(sizeof words); ++at) {
        const ft_device& device = listed[at];
        if (!serial_fits(device.serial, serial, length, channel))
            continue;
        char com[32] = "no COM port";
        if (device.com > 0)
            std::snprintf(com, sizeof com, "COM%ld", static_cast<long>(device.com));
        example = example != 0 ? example : device.com;
        used += std::snprintf(words + used, sizeof words - used, "%s %s at location 0x%lX on %s", separator,
                              chip_name(device.type), static_cast<unsigned long>(device.location), com);
        separator = ";";
    }
    if (used < static_cast<int>(sizeof words)) {
        if (example != 0)
            std::snprintf(words + used, sizeof words - used, "; name one alone by its COM port, as ISP2313_PORT%d=COM%ld",
                          port_number, static_cast<long>(example));
        else
            std::snprintf(words + used, sizeof words - used, "; none has a COM port to name it by: unplug the others");
    }
    os_note_failure("FT_GetDeviceInfoDetail", words, os_reason_other);
}

static ft_handle open_by_serial(int port_number, const char* name, DWORD count, ft_device& device)
{
    const char* serial = name + 5;
    const char* colon = std::strchr(serial, ':');
    std::size_t length = colon != nullptr ? static_cast<std::size_t>(colon - serial) : std::strlen(serial);
    const char* channel = colon != nullptr ? colon + 1 : nullptr;
    int fits = 0, parts = 0, blank_held = 0;
    for (DWORD at = 0; at < count; ++at) {
        if (serial_fits(listed[at].serial, serial, length, channel)) {
            device = listed[at];
            ++fits;
        }
        parts += same_part(listed[at].serial, serial, length) ? 1 : 0;
        blank_held += held(listed[at]) && listed[at].serial[0] == '\0' ? 1 : 0;
    }
    if (fits > 1) {
        note_ambiguous(port_number, serial, length, channel, count);
        return nullptr;
    }
    if (fits == 1) {
        if (!held(device))
            return open_listed(device);
        note_held(device);
        return nullptr;
    }
    char words[128];
    for (DWORD at = 0; at < count && parts > 0; ++at)
        if (same_part(listed[at].serial, serial, length)) {
            std::snprintf(words, sizeof words, "the %s serial %.*s has no channel %s", chip_name(listed[at].type),
                          static_cast<int>(length), serial, channel != nullptr ? channel : "A");
            os_note_failure("FT_GetDeviceInfoDetail", words, os_reason_missing);
            return nullptr;
        }
    if (blank_held > 0) {
        std::snprintf(words, sizeof words, "no free FTDI device has serial number %.*s, and one that another program"
                                           " holds shows none: it may be that one", static_cast<int>(length), serial);
        os_note_failure("FT_GetDeviceInfoDetail", words, os_reason_busy);
        return nullptr;
    }
    std::snprintf(words, sizeof words, "no FTDI device has serial number %.*s", static_cast<int>(length), serial);
    os_note_failure("FT_GetDeviceInfoDetail", words, os_reason_missing);
    return nullptr;
}

// The device NAME picks, opened, and what the list says of it; null with the failure kept.
// Nothing is opened by serial number: two devices may share one, and D2XX would take the first.
static ft_handle open_named(int port_number, const char* name, ft_device& device)
{
    DWORD count = list_devices();
    device = ft_device{};
    if (!is_ftdi_name(name)) {
        int com = com_number(name);
        if (com != 0)
            return open_by_com(com, count, device);
        os_note_failure("FT_GetComPortNumber", "the name is no COM port's", os_reason_missing);
        return nullptr;
    }
    if (name[4] != '\0')
        return open_by_serial(port_number, name, count, device);
    if (count == 1) {
        device = listed[0];
        if (!held(device))
            return open_listed(device);
        note_held(device);
        return nullptr;
    }
    char words[96];
    if (count == 0) {
        os_note_failure("FT_GetDeviceInfoDetail", "no FTDI device is attached", os_reason_missing);
        return nullptr;
    }
    std::snprintf(words, sizeof words, "%lu FTDI devices are attached: name one as ftdi:SERIAL or by its COM port",
                  static_cast<unsigned long>(count));
    os_note_failure("FT_GetDeviceInfoDetail", words, os_reason_other);
    return nullptr;
}

// A COM port is taken for bit-bang when a listed device reports it; when a device that
// another program holds may be the one, the open says so.
os_bitbang_use os_bitbang_wanted(int port_number)
{
    const char* name = os_port_name(port_number);
    int com = name != nullptr ? com_number(name) : 0;
    if (com == 0 || !d2xx_loaded())
        return os_bitbang_off;
    os_forget_failure();
    ft_device device;
    ft_handle handle = open_by_com(com, list_devices(), device);
    if (handle != nullptr) {
        d2xx.close(handle);
        return os_bitbang_preferred;
    }
    os_reason reason = os_failure_reason();
    return reason == os_reason_busy ? os_bitbang_preferred
         : reason == os_reason_other ? os_bitbang_unable
                                     : os_bitbang_off;
}

// The settings first, while the pins are still the UART's; then bit-bang on and at once the
// first state, a whole packet of it, whose samples are read so that none is left behind.
os_handle os_bitbang_open(int port_number, std::uint32_t byte_rate, std::uint8_t first_state, os_bitbang_sizes& sizes)
{
    os_forget_failure();
    const char* name = os_port_name(port_number);
    if (!d2xx_loaded()) {
        os_note_failure("LoadLibrary", d2xx_missing, os_reason_missing);
        return os_no_handle;
    }
    ft_device device;
    ft_handle handle = name != nullptr ? open_named(port_number, name, device) : nullptr;
    if (handle == nullptr)
        return os_no_handle;
    LONG com = -1;
    if (d2xx.get_com_port_number(handle, &com) == ft_ok && com > 0)
        device.com = com;
    describe(device, opened_description, sizeof opened_description);
    const ftdi_chip* chip = ftdi_chip_by_d2xx_type(device.type);
    if (chip == nullptr || !chip->synchronous) {
        char words[96];
        std::snprintf(words, sizeof words, "the %s has no synchronous bit-bang", chip_name(device.type));
        os_note_failure("FT_SetBitMode", words, os_reason_other);
        d2xx.close(handle);
        return os_no_handle;
    }
    // Samples come back 62 to a 64-byte packet at full speed, 510 to a 512-byte one when the
    // list flags the device high-speed (an H part on a high-speed port).
    bool fast = (device.flags & ft_flag_high_speed) != 0;
    ULONG packet_bytes = fast ? 512 : 64;
    sizes.packet_states = packet_bytes - 2;
    sizes.flight_states = in_transfer_bytes / packet_bytes * sizes.packet_states;
    std::uint32_t write_packets = in_transfer_bytes / packet_bytes / writes_per_flight;
    sizes.chunk_states = (write_packets > 0 ? write_packets : 1) * sizes.packet_states;
    read_most = sizes.chunk_states;
    if (!call_ok("FT_SetBaudRate", d2xx.set_baud_rate(handle, ftdi_baud_for(*chip, byte_rate)))
        || !call_ok("FT_SetLatencyTimer", d2xx.set_latency_timer(handle, 1))
        || !call_ok("FT_SetUSBParameters", d2xx.set_usb_parameters(handle, in_transfer_bytes, in_transfer_bytes))
        || !call_ok("FT_SetTimeouts", d2xx.set_timeouts(handle, transfer_timeout_ms, transfer_timeout_ms))
        || !call_ok("FT_Purge", d2xx.purge(handle, ft_purge_rx | ft_purge_tx))
        || !call_ok("FT_SetBitMode", d2xx.set_bit_mode(handle, os_pin_outputs, ft_mode_sync_bitbang))) {
        d2xx.close(handle);
        return os_no_handle;
    }
    os_handle opened = reinterpret_cast<os_handle>(handle);
    std::uint8_t states[510], samples[510];
    std::memset(states, first_state, sizeof states);
    if (!os_bitbang_send(opened, states, sizes.packet_states) || !os_bitbang_receive(opened, samples, sizes.packet_states)) {
        os_bitbang_close(opened);
        return os_no_handle;
    }
    return opened;
}

// A write returns once the chip has taken its states, the samples of those before coming into
// the driver's buffer meanwhile; one the chip stopped taking ends at the write timeout.
bool os_bitbang_send(os_handle device, const std::uint8_t* states, std::uint32_t count)
{
    ft_handle handle = reinterpret_cast<ft_handle>(device);
    DWORD done = 0;
    if (!call_ok("FT_Write", d2xx.write(handle, const_cast<std::uint8_t*>(states), count, &done)))
        return false;
    if (done != count) {
        char words[96];
        std::snprintf(words, sizeof words, "the adapter took %lu of the %lu states sent within a second",
                      static_cast<unsigned long>(done), static_cast<unsigned long>(count));
        os_note_failure("FT_Write", words, os_reason_other);
        return false;
    }
    return true;
}

// FT_Read waits at most its timeout for what it asks: a read that brought some asks again for
// the rest, and one that brought none ends the receive. Each asks for a write's worth at most,
// well within the driver's buffer: a read for nearly all it holds could wait on the last
// packet's samples while the driver, its buffer too full for a packet more, does not ask for
// them.
bool os_bitbang_receive(os_handle device, std::uint8_t* samples, std::uint32_t count)
{
    ft_handle handle = reinterpret_cast<ft_handle>(device);
    DWORD done = 0, got = 1;
    while (done < count && got > 0) {
        DWORD ask = count - done < read_most ? count - done : read_most;
        got = 0;
        if (!call_ok("FT_Read", d2xx.read(handle, samples + done, ask, &got)))
            return false;
        done += got;
    }
    if (done != count) {
        char words[96];
        std::snprintf(words, sizeof words, "the adapter sent %lu of the %lu samples due, then none for a second",
                      static_cast<unsigned long>(done), static_cast<unsigned long>(count));
        os_note_failure("FT_Read", words, os_reason_other);
        return false;
    }
    return true;
}

// The pins go back to the UART; the COM port is the system's again once the handle is closed.
// The UART drives DTR and RTS as they were last set through D2XX, perhaps by another program
// before this one (an adapter left with both set): cleared first, the chip is left running.
void os_bitbang_close(os_handle device)
{
    ft_handle handle = reinterpret_cast<ft_handle>(device);
    d2xx.clr_dtr(handle);
    d2xx.clr_rts(handle);
    d2xx.set_bit_mode(handle, 0, ft_mode_reset);
    d2xx.close(handle);
}

const char* os_bitbang_description(os_handle) { return opened_description; }

bool os_list_ftdi_devices(void (*seen)(const char* description))
{
    if (!d2xx_loaded())
        return false;
    DWORD count = list_devices();
    for (DWORD at = 0; at < count; ++at) {
        char line[160];
        seen(describe(listed[at], line, sizeof line));
    }
    return true;
}
