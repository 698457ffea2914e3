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
constexpr DWORD ft_open_by_serial_number = 1;
constexpr DWORD ft_flag_opened = 1;
constexpr ULONG ft_purge_rx = 1, ft_purge_tx = 2;
constexpr UCHAR ft_mode_reset = 0x00, ft_mode_sync_bitbang = 0x04;
// The chip types FT_GetDeviceInfoDetail reports, 0 to 9.
enum : DWORD { ft_type_2232c = 4, ft_type_232r = 5, ft_type_2232h = 6, ft_type_4232h = 7, ft_type_232h = 8,
               ft_type_x = 9 };
static const char* const ft_type_names[] = {"FT232BM", "FT232AM", "FT100AX", "FTDI chip", "FT2232C/D",
                                            "FT232R", "FT2232H", "FT4232H", "FT232H", "FT-X"};

// A read or a write that gets nowhere for this long fails: a pulled adapter ends the run
// within a second, while a whole chunk at the slowest byte clock takes about a millisecond.
constexpr ULONG transfer_timeout_ms = 250;

static struct {
    ft_status(WINAPI* create_device_info_list)(DWORD* count);
    ft_status(WINAPI* get_device_info_detail)(DWORD index, DWORD* flags, DWORD* type, DWORD* id, DWORD* location,
                                              char* serial, char* description, ft_handle* handle);
    ft_status(WINAPI* open)(int index, ft_handle* handle);
    ft_status(WINAPI* open_ex)(void* which, DWORD how, ft_handle* handle);
    ft_status(WINAPI* get_com_port_number)(ft_handle device, LONG* number);
    ft_status(WINAPI* set_baud_rate)(ft_handle device, ULONG baud);
    ft_status(WINAPI* set_latency_timer)(ft_handle device, UCHAR ms);
    ft_status(WINAPI* set_usb_parameters)(ft_handle device, ULONG in_bytes, ULONG out_bytes);
    ft_status(WINAPI* set_timeouts)(ft_handle device, ULONG read_ms, ULONG write_ms);
    ft_status(WINAPI* set_bit_mode)(ft_handle device, UCHAR mask, UCHAR mode);
    ft_status(WINAPI* write)(ft_handle device, void* data, DWORD count, DWORD* written);
    ft_status(WINAPI* read)(ft_handle device, void* data, DWORD count, DWORD* got);
    ft_status(WINAPI* purge)(ft_handle device, ULONG what);
    ft_status(WINAPI* close)(ft_handle device);
} d2xx;

static bool d2xx_tried, d2xx_ready;
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
    find_call(library, "FT_OpenEx", d2xx.open_ex);
    find_call(library, "FT_GetComPortNumber", d2xx.get_com_port_number);
    find_call(library, "FT_SetBaudRate", d2xx.set_baud_rate);
    find_call(library, "FT_SetLatencyTimer", d2xx.set_latency_timer);
    find_call(library, "FT_SetUSBParameters", d2xx.set_usb_parameters);
    find_call(library, "FT_SetTimeouts", d2xx.set_timeouts);
    find_call(library, "FT_SetBitMode", d2xx.set_bit_mode);
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

// True for FT_OK; else the call and its status are kept for os_failure().
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

struct ft_device {
    DWORD flags, type, location;
    char  serial[16], description[64];
};

static DWORD device_count()
{
    DWORD count = 0;
    return d2xx.create_device_info_list(&count) == ft_ok ? count : 0;
}

static bool device_at(DWORD index, ft_device& device)
{
    DWORD id = 0;
    ft_handle ignored = nullptr;
    device = ft_device{};
    bool ok = d2xx.get_device_info_detail(index, &device.flags, &device.type, &id, &device.location, device.serial,
                                          device.description, &ignored) == ft_ok;
    device.serial[sizeof device.serial - 1] = '\0';
    return ok;
}

static const char* chip_name(DWORD type)
{
    return type < sizeof ft_type_names / sizeof ft_type_names[0] ? ft_type_names[type] : ft_type_names[3];
}

// D2XX tells no USB bus and address: where a device sits is its location id.
static const char* describe(const ft_device& device, char* text, std::size_t size)
{
    std::snprintf(text, size, "%s serial %s, location 0x%lX%s", chip_name(device.type),
                  device.serial[0] != '\0' ? device.serial : "(none)", static_cast<unsigned long>(device.location),
                  (device.flags & ft_flag_opened) != 0 ? ", open in another program" : "");
    return text;
}

static bool has_sync_bitbang(DWORD type) { return type >= ft_type_2232c && type <= ft_type_x; }

static bool high_speed(DWORD type) { return type >= ft_type_2232h && type <= ft_type_232h; }

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

// The listed device with a synchronous bit-bang chip whose COM port is COMn, opened; null if
// none is. A device that another program holds (its COM port open) does not open.
static ft_handle open_by_com(int com, ft_device& device)
{
    DWORD count = device_count();
    for (DWORD index = 0; index < count; ++index) {
        ft_handle handle = nullptr;
        if (!device_at(index, device) || !has_sync_bitbang(device.type) || (device.flags & ft_flag_opened) != 0
            || d2xx.open(static_cast<int>(index), &handle) != ft_ok)
            continue;
        LONG number = -1;
        if (d2xx.get_com_port_number(handle, &number) == ft_ok && number == com)
            return handle;
        d2xx.close(handle);
    }
    return nullptr;
}

// "ftdi:SERIAL" or "ftdi:SERIAL:B", as D2XX names the device: the serial number, and the
// channel's letter for a part with more than one.
static void d2xx_serial(const char* name, char* serial, std::size_t size)
{
    const char* channel = std::strchr(name + 5, ':');
    int length = channel != nullptr ? static_cast<int>(channel - (name + 5)) : static_cast<int>(std::strlen(name + 5));
    std::snprintf(serial, size, "%.*s%s", length, name + 5, channel != nullptr ? channel + 1 : "");
}

static bool listed_as(const char* serial, DWORD count, ft_device& device)
{
    ft_device listed;
    for (DWORD index = 0; index < count; ++index)
        if (device_at(index, listed) && std::strcmp(listed.serial, serial) == 0) {
            device = listed;
            return true;
        }
    return false;
}

// The device NAME picks, opened, and what the list says of it; null with the failure kept.
static ft_handle open_named(const char* name, ft_device& device)
{
    ft_handle handle = nullptr;
    device = ft_device{};
    device.type = ft_type_232r;
    if (!is_ftdi_name(name)) {
        int com = com_number(name);
        handle = com != 0 ? open_by_com(com, device) : nullptr;
        if (handle == nullptr)
            os_note_failure("FT_GetComPortNumber", "no FTDI device with synchronous bit-bang has this COM port",
                            os_reason_missing);
        return handle;
    }
    DWORD count = device_count();
    if (name[4] == '\0') {
        if (count != 1) {
            os_note_failure("ftdi", count == 0 ? "no FTDI device is attached"
                                               : "more than one FTDI device is attached: name one as ftdi:SERIAL",
                            count == 0 ? os_reason_missing : os_reason_other);
            return nullptr;
        }
        device_at(0, device);
        return call_ok("FT_Open", d2xx.open(0, &handle)) ? handle : nullptr;
    }
    // The chip's type from the list; a device listed without its serial number (open
    // elsewhere) is taken for a full-speed one. A part with channels lists the first as
    // SERIAL + "A", which plain ftdi:SERIAL names.
    char serial[63];
    d2xx_serial(name, serial, sizeof serial - 1);
    if (!listed_as(serial, count, device) && std::strchr(name + 5, ':') == nullptr) {
        std::strcat(serial, "A");
        if (!listed_as(serial, count, device))
            serial[std::strlen(serial) - 1] = '\0';
    }
    std::snprintf(device.serial, sizeof device.serial, "%s", serial);
    return call_ok("FT_OpenEx", d2xx.open_ex(serial, ft_open_by_serial_number, &handle)) ? handle : nullptr;
}

os_bitbang_use os_bitbang_wanted(int port_number)
{
    const char* name = os_port_name(port_number);
    int com = name != nullptr ? com_number(name) : 0;
    if (com == 0 || !d2xx_loaded())
        return os_bitbang_off;
    ft_device device;
    ft_handle handle = open_by_com(com, device);
    if (handle == nullptr)
        return os_bitbang_off;
    d2xx.close(handle);
    return os_bitbang_preferred;
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
    ft_handle handle = name != nullptr ? open_named(name, device) : nullptr;
    if (handle == nullptr)
        return os_no_handle;
    describe(device, opened_description, sizeof opened_description);
    if (!has_sync_bitbang(device.type)) {
        char words[96];
        std::snprintf(words, sizeof words, "the %s has no synchronous bit-bang", chip_name(device.type));
        os_note_failure("FT_SetBitMode", words, os_reason_other);
        d2xx.close(handle);
        return os_no_handle;
    }
    // Samples come back 62 to a 64-byte packet at full speed, 510 to a 512-byte one at high
    // speed. The driver's requests for them are one packet each: a request for more ends only
    // when filled or on a short packet, so after a transfer's last full packet it would wait
    // for the latency timer's.
    bool fast = high_speed(device.type);
    const ftdi_chip* chip = ftdi_chip_by_d2xx_type(device.type);
    sizes.packet_states = fast ? 510 : 62;
    sizes.chunk_states = ftdi_chunk_states(*chip, sizes.packet_states);
    ULONG packet_bytes = fast ? 512 : 64, chunk_bytes = sizes.chunk_states / sizes.packet_states * packet_bytes;
    if (!call_ok("FT_SetBaudRate", d2xx.set_baud_rate(handle, ftdi_baud_for(*chip, byte_rate)))
        || !call_ok("FT_SetLatencyTimer", d2xx.set_latency_timer(handle, 1))
        || !call_ok("FT_SetUSBParameters", d2xx.set_usb_parameters(handle, packet_bytes, chunk_bytes))
        || !call_ok("FT_SetTimeouts", d2xx.set_timeouts(handle, transfer_timeout_ms, transfer_timeout_ms))
        || !call_ok("FT_Purge", d2xx.purge(handle, ft_purge_rx | ft_purge_tx))
        || !call_ok("FT_SetBitMode", d2xx.set_bit_mode(handle, os_pin_outputs, ft_mode_sync_bitbang))) {
        d2xx.close(handle);
        return os_no_handle;
    }
    os_handle opened = reinterpret_cast<os_handle>(handle);
    std::uint8_t states[510], samples[510];
    std::memset(states, first_state, sizeof states);
    if (!os_bitbang_transfer(opened, states, samples, sizes.packet_states)) {
        os_bitbang_close(opened);
        return os_no_handle;
    }
    return opened;
}

bool os_bitbang_transfer(os_handle device, const std::uint8_t* states, std::uint8_t* samples, std::uint32_t count)
{
    ft_handle handle = reinterpret_cast<ft_handle>(device);
    DWORD done = 0;
    if (!call_ok("FT_Write", d2xx.write(handle, const_cast<std::uint8_t*>(states), count, &done)))
        return false;
    char words[96];
    if (done != count) {
        std::snprintf(words, sizeof words, "%lu of %lu states taken in %lu ms", static_cast<unsigned long>(done),
                      static_cast<unsigned long>(count), static_cast<unsigned long>(transfer_timeout_ms));
        os_note_failure("FT_Write", words, os_reason_other);
        return false;
    }
    if (!call_ok("FT_Read", d2xx.read(handle, samples, count, &done)))
        return false;
    if (done != count) {
        std::snprintf(words, sizeof words, "%lu of %lu samples came in %lu ms", static_cast<unsigned long>(done),
                      static_cast<unsigned long>(count), static_cast<unsigned long>(transfer_timeout_ms));
        os_note_failure("FT_Read", words, os_reason_other);
        return false;
    }
    return true;
}

// The pins go back to the UART; the COM port is the system's again once the handle is closed.
void os_bitbang_close(os_handle device)
{
    ft_handle handle = reinterpret_cast<ft_handle>(device);
    d2xx.set_bit_mode(handle, 0, ft_mode_reset);
    d2xx.close(handle);
}

const char* os_bitbang_description(os_handle) { return opened_description; }

bool os_list_ftdi_devices(void (*seen)(const char* description))
{
    if (!d2xx_loaded())
        return false;
    DWORD count = device_count();
    for (DWORD index = 0; index < count; ++index) {
        ft_device device;
        char line[160];
        if (device_at(index, device))
            seen(describe(device, line, sizeof line));
    }
    return true;
}
