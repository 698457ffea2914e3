// FTDI synchronous bit-bang on Linux through libftdi1: which ports are FTDI adapters (sysfs),
// opening one by its tty or by serial number, and the transfers of pin states and samples.
#include <ftdi.h>
#include <libusb.h>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <time.h>
#include <unistd.h>
#include "line/os.h"
#include "line/ftdi_chips.h"
#include "line/os_note.h"
#include "line/port_name.h"

constexpr int ftdi_vendor = 0x0403;

static const char* chip_name(unsigned bcd_device)
{
    const ftdi_chip* row = ftdi_chip_by_bcd(bcd_device);
    return row != nullptr ? row->name : "FTDI chip";
}

// ---- a tty's USB device, from sysfs ------------------------------------------------------

static bool read_attribute(const char* dir, const char* name, int base, unsigned& value)
{
    char path[PATH_MAX], text[32];
    std::snprintf(path, sizeof path, "%s/%s", dir, name);
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr)
        return false;
    bool got = std::fgets(text, sizeof text, file) != nullptr;
    std::fclose(file);
    char* end = nullptr;
    value = got ? static_cast<unsigned>(std::strtoul(text, &end, base)) : 0;
    return got && end != text;
}

struct tty_usb {
    unsigned bcd_device, bus, address, channel;
};

// /sys/class/tty/NAME/device is the USB interface, its driver link names the kernel driver
// and the directory above it is the USB device. NAME may be a link (/dev/serial/by-id/...).
static bool ftdi_tty(const char* device, tty_usb& found)
{
    char path[PATH_MAX], interface[PATH_MAX], driver[PATH_MAX];
    if (realpath(device, path) == nullptr)
        return false;
    const char* base = std::strrchr(path, '/');
    int fits = std::snprintf(interface, sizeof interface, "/sys/class/tty/%s/device", base != nullptr ? base + 1 : path);
    if (fits >= static_cast<int>(sizeof interface) || realpath(interface, path) == nullptr)
        return false;
    fits = std::snprintf(interface, sizeof interface, "%s/driver", path);
    ssize_t length = fits < static_cast<int>(sizeof interface) ? readlink(interface, driver, sizeof driver - 1) : -1;
    if (length <= 0)
        return false;
    driver[length] = '\0';
    const char* driver_name = std::strrchr(driver, '/');
    if (std::strcmp(driver_name != nullptr ? driver_name + 1 : driver, "ftdi_sio") != 0
        || !read_attribute(path, "bInterfaceNumber", 16, found.channel))
        return false;
    *std::strrchr(path, '/') = '\0';
    return read_attribute(path, "bcdDevice", 16, found.bcd_device) && read_attribute(path, "busnum", 10, found.bus)
           && read_attribute(path, "devnum", 10, found.address);
}

os_bitbang_use os_bitbang_wanted(int port_number)
{
    const char* name = os_port_name(port_number);
    tty_usb usb{};
    if (name == nullptr || !ftdi_tty(name, usb))
        return os_bitbang_off;
    const ftdi_chip* row = ftdi_chip_by_bcd(usb.bcd_device);
    return row != nullptr && row->synchronous ? os_bitbang_preferred : os_bitbang_off;
}

// ---- finding and opening the device ------------------------------------------------------

static ftdi_context* context_of(os_handle device) { return reinterpret_cast<ftdi_context*>(device); }

static os_reason reason_of(int libusb_code)
{
    switch (libusb_code) {
    case LIBUSB_ERROR_ACCESS:    return os_reason_denied;
    case LIBUSB_ERROR_NO_DEVICE:
    case LIBUSB_ERROR_NOT_FOUND: return os_reason_missing;
    case LIBUSB_ERROR_BUSY:      return os_reason_busy;
    default:                     return os_reason_other;
    }
}

// libftdi says only that libusb_open failed; libusb's own code says why (no access, gone).
static int usb_open_code(libusb_device* dev)
{
    libusb_device_handle* handle = nullptr;
    int code = libusb_open(dev, &handle);
    if (code == 0)
        libusb_close(handle);
    return code;
}

static bool note_usb_open(const char* call, libusb_device* dev, os_reason otherwise)
{
    static char words[96];
    int code = usb_open_code(dev);
    std::snprintf(words, sizeof words, "libusb_open() failed (%s)", libusb_error_name(code));
    os_note_failure(call, words, code != 0 ? reason_of(code) : otherwise);
    return false;
}

// What the open looks for: a tty's bus and address, or a serial number (empty: any one).
struct wanted_device {
    bool     by_place;
    unsigned bus, address;
    char     serial[64];
    int      channel;         // INTERFACE_A...
};

static bool parse_name(const char* name, wanted_device& want)
{
    want = wanted_device{};
    want.channel = INTERFACE_A;
    if (is_ftdi_name(name)) {
        const char* serial = name[4] == ':' ? name + 5 : "";
        const char* colon = std::strchr(serial, ':');
        std::size_t length = colon != nullptr ? static_cast<std::size_t>(colon - serial) : std::strlen(serial);
        std::snprintf(want.serial, sizeof want.serial, "%.*s", static_cast<int>(length), serial);
        if (colon != nullptr)
            want.channel = INTERFACE_A + (colon[1] - 'A');
        return colon == nullptr || (colon[1] >= 'A' && colon[1] <= 'D' && colon[2] == '\0');
    }
    tty_usb usb{};
    if (!ftdi_tty(name, usb))
        return false;
    want.by_place = true;
    want.bus = usb.bus;
    want.address = usb.address;
    want.channel = INTERFACE_A + static_cast<int>(usb.channel);
    return true;
}

static unsigned bcd_device_of(libusb_device* dev)
{
    libusb_device_descriptor descriptor{};
    return libusb_get_device_descriptor(dev, &descriptor) == 0 ? descriptor.bcdDevice : 0;
}

// The serial number, or a word for why there is none to read; false when it could not be read.
// The device stays open if it was.
static bool serial_of(ftdi_context* ftdi, libusb_device* dev, char* serial, int size)
{
    if (ftdi_usb_get_strings2(ftdi, dev, nullptr, 0, nullptr, 0, serial, size) == 0)
        return true;
    if (std::snprintf(serial, static_cast<std::size_t>(size), "unknown (%s)", libusb_error_name(usb_open_code(dev))) < 0)
        serial[0] = '\0';
    return false;
}

// "FT232R serial FT6Z3K9Q, bus 1 address 7"
static void describe(ftdi_context* ftdi, libusb_device* dev, char* description, std::size_t size)
{
    char serial[64];
    serial_of(ftdi, dev, serial, sizeof serial);
    std::snprintf(description, size, "%s serial %s, bus %u address %u", chip_name(bcd_device_of(dev)), serial,
                  libusb_get_bus_number(dev), libusb_get_device_address(dev));
}

static char open_description[160];

// The one device of LIST that WANT names, or null with the failure noted.
static libusb_device* pick(ftdi_context* ftdi, ftdi_device_list* list, int count, const wanted_device& want)
{
    static char words[128];
    if (!want.by_place && want.serial[0] == '\0') {
        if (count == 1)
            return list->dev;
        if (count == 0)
            os_note_failure("ftdi_usb_find_all", "no FTDI device is attached", os_reason_missing);
        else {
            std::snprintf(words, sizeof words, "%d FTDI devices are attached; name one as ftdi:SERIAL", count);
            os_note_failure("ftdi_usb_find_all", words, os_reason_other);
        }
        return nullptr;
    }
    libusb_device* unreadable = nullptr;
    for (ftdi_device_list* entry = list; entry != nullptr; entry = entry->next) {
        char serial[64];
        if (want.by_place) {
            if (libusb_get_bus_number(entry->dev) == want.bus && libusb_get_device_address(entry->dev) == want.address)
                return entry->dev;
        } else if (!serial_of(ftdi, entry->dev, serial, sizeof serial)) {
            unreadable = entry->dev;
        } else if (std::strcmp(serial, want.serial) == 0) {
            return entry->dev;
        }
    }
    // A device whose serial number could not be read may be the one: say why it could not.
    if (unreadable != nullptr) {
        note_usb_open("ftdi_usb_get_strings", unreadable, os_reason_other);
        return nullptr;
    }
    if (want.by_place)
        std::snprintf(words, sizeof words, "no FTDI device at bus %u address %u", want.bus, want.address);
    else
        std::snprintf(words, sizeof words, "no FTDI device has serial number %s", want.serial);
    os_note_failure("ftdi_usb_find_all", words, os_reason_missing);
    return nullptr;
}

// libftdi's failures of ftdi_usb_open_dev: -3 and -5 a configuration or interface it could
// not take (the kernel driver still bound: another program holds the tty), -8 no permission.
static bool note_open_failure(ftdi_context* ftdi, int code, libusb_device* dev)
{
    if (code == -4)
        return note_usb_open("ftdi_usb_open_dev", dev, os_reason_other);
    os_reason reason = code == -8 ? os_reason_denied : code == -3 || code == -5 ? os_reason_busy : os_reason_other;
    os_note_failure("ftdi_usb_open_dev", ftdi_get_error_string(ftdi), reason);
    return false;
}

static bool open_device(ftdi_context* ftdi, const char* name, unsigned& bcd_device)
{
    wanted_device want{};
    if (!parse_name(name, want)) {
        os_note_failure("ftdi", "not an FTDI device name (ftdi, ftdi:SERIAL or ftdi:SERIAL:B)", os_reason_missing);
        return false;
    }
    ftdi_device_list* list = nullptr;
    int count = ftdi_usb_find_all(ftdi, &list, 0, 0);   // 0, 0: FTDI's own vendor and products
    if (count < 0) {
        os_note_failure("ftdi_usb_find_all", ftdi_get_error_string(ftdi), os_reason_other);
        return false;
    }
    libusb_device* dev = pick(ftdi, list, count, want);
    bool opened = false;
    if (dev != nullptr) {
        bcd_device = bcd_device_of(dev);
        int code = ftdi_set_interface(ftdi, static_cast<ftdi_interface>(want.channel));
        if (code < 0)
            os_note_failure("ftdi_set_interface", ftdi_get_error_string(ftdi), os_reason_missing);
        else if ((code = ftdi_usb_open_dev(ftdi, dev)) < 0)
            note_open_failure(ftdi, code, dev);
        else
            opened = true;
        if (opened)
            describe(ftdi, dev, open_description, sizeof open_description);
    }
    ftdi_list_free(&list);
    return opened;
}

static bool ftdi_ok(ftdi_context* ftdi, int code, const char* call)
{
    if (code < 0)
        os_note_failure(call, ftdi_get_error_string(ftdi), os_reason_other);
    return code >= 0;
}

// Bit-bang in the chip's own terms: latency 1 ms, the baud-rate generator at BAUD (set before
// the mode: libftdi multiplies the rate by 4 once bit-bang is on), then the mode.
static bool enter_bitbang(ftdi_context* ftdi, std::uint32_t baud)
{
    ftdi->usb_read_timeout = 1000;
    ftdi->usb_write_timeout = 1000;
    return ftdi_ok(ftdi, ftdi_set_latency_timer(ftdi, 1), "ftdi_set_latency_timer")
           && ftdi_ok(ftdi, ftdi_set_baudrate(ftdi, static_cast<int>(baud)), "ftdi_set_baudrate")
           && ftdi_ok(ftdi, ftdi_set_bitmode(ftdi, os_pin_outputs, BITMODE_SYNCBB), "ftdi_set_bitmode");
}

os_handle os_bitbang_open(int port_number, std::uint32_t byte_rate, std::uint8_t first_state, os_bitbang_sizes& sizes)
{
    os_forget_failure();
    const char* name = os_port_name(port_number);
    ftdi_context* ftdi = name != nullptr ? ftdi_new() : nullptr;
    if (ftdi == nullptr) {
        os_note_failure("ftdi_new", name != nullptr ? "no FTDI context" : "no such port", os_reason_other);
        return os_no_handle;
    }
    // Takes the device from the kernel's serial driver and gives it back at ftdi_usb_close.
    ftdi->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
    unsigned bcd_device = 0;
    if (!open_device(ftdi, name, bcd_device)) {
        ftdi_free(ftdi);
        return os_no_handle;
    }
    const ftdi_chip* row = ftdi_chip_by_bcd(bcd_device);
    if (row == nullptr || !row->synchronous || ftdi->max_packet_size < 3 || ftdi->max_packet_size > 512) {
        os_note_failure("ftdi_set_bitmode", "this FTDI chip has no synchronous bit-bang", os_reason_other);
        ftdi_usb_close(ftdi);
        ftdi_free(ftdi);
        return os_no_handle;
    }
    // A high-speed part on a full-speed port sends packets of 64 bytes, not 512: the packet the
    // endpoint has, and as many of them to a transfer as the chip's FIFOs hold.
    sizes.packet_states = ftdi->max_packet_size - 2;
    sizes.chunk_states = ftdi_chunk_states(*row, sizes.packet_states);
    os_handle device = reinterpret_cast<os_handle>(ftdi);
    std::uint8_t states[512], samples[512];
    std::memset(states, first_state, sizes.packet_states);
    if (!enter_bitbang(ftdi, ftdi_baud_for(*row, byte_rate)) || !os_bitbang_transfer(device, states, samples, sizes.packet_states)) {
        os_bitbang_close(device);
        return os_no_handle;
    }
    return device;
}

// ---- transfers -----------------------------------------------------------------------------

static std::uint64_t monotonic_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

// Each USB read asks for exactly the packets that the samples still due fill: a read asking for
// more would wait for the latency timer's short packet.
static bool read_samples(ftdi_context* ftdi, std::uint8_t* samples, std::uint32_t count)
{
    unsigned packet = ftdi->max_packet_size, per_packet = packet - 2;
    std::uint64_t give_up = monotonic_ms() + 1000;
    for (std::uint32_t got = 0; got < count;) {
        unsigned chunk = (count - got + per_packet - 1) / per_packet * packet;
        if (ftdi->readbuffer_chunksize != chunk
            && !ftdi_ok(ftdi, ftdi_read_data_set_chunksize(ftdi, chunk), "ftdi_read_data_set_chunksize"))
            return false;
        int read = ftdi_read_data(ftdi, samples + got, static_cast<int>(count - got));
        if (!ftdi_ok(ftdi, read, "ftdi_read_data"))
            return false;
        got += static_cast<std::uint32_t>(read);
        // Packets of status bytes alone come while the chip has nothing new; not for long.
        if (read == 0 && monotonic_ms() > give_up) {
            os_note_failure("ftdi_read_data", "the adapter sent no samples for a second", os_reason_other);
            return false;
        }
    }
    return true;
}

bool os_bitbang_transfer(os_handle device, const std::uint8_t* states, std::uint8_t* samples, std::uint32_t count)
{
    ftdi_context* ftdi = context_of(device);
    int wrote = ftdi_write_data(ftdi, states, static_cast<int>(count));
    if (!ftdi_ok(ftdi, wrote, "ftdi_write_data"))
        return false;
    if (static_cast<std::uint32_t>(wrote) != count) {
        os_note_failure("ftdi_write_data", "the adapter took only part of the states", os_reason_other);
        return false;
    }
    return read_samples(ftdi, samples, count);
}

void os_bitbang_close(os_handle device)
{
    ftdi_context* ftdi = context_of(device);
    if (ftdi == nullptr)
        return;
    ftdi_set_bitmode(ftdi, 0, BITMODE_RESET);
    ftdi_usb_close(ftdi);
    ftdi_free(ftdi);
}

const char* os_bitbang_description(os_handle) { return open_description; }

bool os_list_ftdi_devices(void (*seen)(const char* description))
{
    ftdi_context* ftdi = ftdi_new();
    if (ftdi == nullptr)
        return false;
    ftdi_device_list* list = nullptr;
    if (ftdi_usb_find_all(ftdi, &list, 0, 0) > 0)
        for (ftdi_device_list* entry = list; entry != nullptr; entry = entry->next) {
            char description[160];
            describe(ftdi, entry->dev, description, sizeof description);
            seen(description);
        }
    ftdi_list_free(&list);
    ftdi_free(ftdi);
    return true;
}
