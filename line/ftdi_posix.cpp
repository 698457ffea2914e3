// FTDI synchronous bit-bang on Linux through libftdi1: which ports are FTDI adapters (sysfs),
// opening one by its tty or by serial number, and the transfers of pin states and samples.
#include <ftdi.h>
#include <libusb.h>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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

static bool driver_is(const char* dir, const char* wanted)
{
    char path[PATH_MAX], driver[PATH_MAX];
    int fits = std::snprintf(path, sizeof path, "%s/driver", dir);
    ssize_t length = fits < static_cast<int>(sizeof path) ? readlink(path, driver, sizeof driver - 1) : -1;
    if (length <= 0)
        return false;
    driver[length] = '\0';
    const char* name = std::strrchr(driver, '/');
    return std::strcmp(name != nullptr ? name + 1 : driver, wanted) == 0;
}

struct tty_usb {
    unsigned bcd_device, bus, address, channel;
    char     name[32];       // the tty's kernel name, ttyUSB0
    dev_t    device;         // its device number, 0 when sysfs does not give it
};

// /sys/class/tty/NAME/device is, for a usb-serial driver such as ftdi_sio, the serial port's
// own device (.../1-2/1-2:1.0/ttyUSB0), whose driver link names ftdi_sio too; the USB interface,
// with bInterfaceNumber, is the directory above it (for cdc_acm the device is the interface
// itself), and the USB device, with the bus, address and bcdDevice, the one above that.
static bool usb_of_tty(const char* name, tty_usb& found)
{
    char path[PATH_MAX], dir[PATH_MAX];
    found = tty_usb{};
    int fits = std::snprintf(path, sizeof path, "/sys/class/tty/%s/device", name);
    if (fits >= static_cast<int>(sizeof path) || realpath(path, dir) == nullptr)
        return false;
    bool ftdi = driver_is(dir, "ftdi_sio");
    bool interface = false;
    for (int up = 0; up < 4 && !interface; ++up) {
        interface = read_attribute(dir, "bInterfaceNumber", 16, found.channel);
        ftdi = ftdi || (interface && driver_is(dir, "ftdi_sio"));
        char* slash = std::strrchr(dir, '/');
        if (slash == nullptr || slash == dir)
            return false;
        *slash = '\0';
    }
    if (!interface || !ftdi || !read_attribute(dir, "bcdDevice", 16, found.bcd_device)
        || !read_attribute(dir, "busnum", 10, found.bus) || !read_attribute(dir, "devnum", 10, found.address))
        return false;
    std::snprintf(found.name, sizeof found.name, "%s", name);
    char numbers[32];
    std::snprintf(path, sizeof path, "/sys/class/tty/%s/dev", name);
    std::FILE* file = std::fopen(path, "r");
    unsigned major_number = 0, minor_number = 0;
    if (file != nullptr && std::fgets(numbers, sizeof numbers, file) != nullptr
        && std::sscanf(numbers, "%u:%u", &major_number, &minor_number) == 2)
        found.device = makedev(major_number, minor_number);
    if (file != nullptr)
        std::fclose(file);
    return true;
}

// DEVICE may be a link (/dev/serial/by-id/...): its target names the tty.
static bool ftdi_tty(const char* device, tty_usb& found)
{
    char path[PATH_MAX];
    if (realpath(device, path) == nullptr)
        return false;
    const char* base = std::strrchr(path, '/');
    return usb_of_tty(base != nullptr ? base + 1 : path, found);
}

// The ttys that ftdi_sio gives the USB device at BUS and ADDRESS, by channel (empty names for
// channels without one): none while the device is in bit-bang or another driver has it.
static void ttys_of(unsigned bus, unsigned address, tty_usb (&ttys)[4])
{
    for (tty_usb& tty : ttys)
        tty = tty_usb{};
    DIR* listing = opendir("/sys/class/tty");
    if (listing == nullptr)
        return;
    while (const dirent* entry = readdir(listing)) {
        tty_usb usb{};
        if (std::strncmp(entry->d_name, "ttyUSB", 6) == 0 && usb_of_tty(entry->d_name, usb) && usb.bus == bus
            && usb.address == address && usb.channel < 4 && ttys[usb.channel].name[0] == '\0')
            ttys[usb.channel] = usb;
    }
    closedir(listing);
}

// Another process that holds TTY open, from its descriptors in /proc (entries this user may not
// read are passed over). libusb's claim of the interface unbinds ftdi_sio whoever holds the tty:
// that program's terminal is hung up under it, and the tty may come back under another number.
static bool tty_held(const tty_usb& tty)
{
    static char words[224];
    dev_t device = tty.device;
    struct stat info {};
    char path[PATH_MAX], target[PATH_MAX];
    std::snprintf(path, sizeof path, "/dev/%s", tty.name);
    if (device == 0 && stat(path, &info) == 0 && S_ISCHR(info.st_mode))
        device = info.st_rdev;
    DIR* proc = device != 0 ? opendir("/proc") : nullptr;
    if (proc == nullptr)
        return false;
    long holder = 0, own = static_cast<long>(getpid());
    while (const dirent* process = readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(process->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == own)
            continue;
        std::snprintf(path, sizeof path, "/proc/%ld/fd", pid);
        DIR* fds = opendir(path);
        if (fds == nullptr)
            continue;
        while (const dirent* fd = readdir(fds)) {
            // Only descriptors of files: pipes and sockets lead to no tty.
            std::snprintf(path, sizeof path, "/proc/%ld/fd/%s", pid, fd->d_name);
            ssize_t length = readlink(path, target, sizeof target - 1);
            if (length > 0 && target[0] == '/' && stat(path, &info) == 0 && S_ISCHR(info.st_mode)
                && info.st_rdev == device) {
                holder = pid;
                break;
            }
        }
        closedir(fds);
        if (holder != 0)
            break;
    }
    closedir(proc);
    if (holder == 0)
        return false;
    char program[64] = "";
    std::snprintf(path, sizeof path, "/proc/%ld/comm", holder);
    std::FILE* comm = std::fopen(path, "r");
    if (comm != nullptr && std::fgets(program, sizeof program, comm) != nullptr)
        program[std::strcspn(program, "\n")] = '\0';
    if (comm != nullptr)
        std::fclose(comm);
    std::snprintf(words, sizeof words, "/dev/%s is open in another program: %s (pid %ld)", tty.name,
                  program[0] != '\0' ? program : "?", holder);
    os_note_failure("/proc", words, os_reason_busy);
    return true;
}

// Why CHIP cannot be driven in synchronous bit-bang on CHANNEL (0 for A), or null when it can.
static const char* bitbang_refused(const ftdi_chip* chip, unsigned bcd_device, unsigned channel)
{
    static char words[128];
    if (chip == nullptr)
        std::snprintf(words, sizeof words, "an FTDI chip of bcdDevice %04x, which isp2313 does not know to have"
                      " synchronous bit-bang", bcd_device);
    else if (!chip->synchronous)
        std::snprintf(words, sizeof words, "the %s has no synchronous bit-bang", chip->name);
    // libftdi 1.5 addresses the baud-rate request of these parts to channel A whichever is open.
    else if (!chip->baud_by_channel && channel != 0)
        std::snprintf(words, sizeof words, "libftdi sets the %s's bit-bang rate on channel A only, not on channel %c",
                      chip->name, 'A' + channel);
    else
        return nullptr;
    return words;
}

os_bitbang_use os_bitbang_wanted(int port_number)
{
    const char* name = os_port_name(port_number);
    tty_usb usb{};
    if (name == nullptr || !ftdi_tty(name, usb))
        return os_bitbang_off;
    const char* refused = bitbang_refused(ftdi_chip_by_bcd(usb.bcd_device), usb.bcd_device, usb.channel);
    if (refused == nullptr)
        return os_bitbang_preferred;
    os_forget_failure();
    os_note_failure("ftdi_set_bitmode", refused, os_reason_other);
    return os_bitbang_unable;
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

// "FT232R serial FT6Z3K9Q, bus 1 address 7, /dev/ttyUSB0": the ttys while ftdi_sio has them.
static void describe(ftdi_context* ftdi, libusb_device* dev, char* description, std::size_t size)
{
    char serial[64];
    serial_of(ftdi, dev, serial, sizeof serial);
    unsigned bus = libusb_get_bus_number(dev), address = libusb_get_device_address(dev);
    int length = std::snprintf(description, size, "%s serial %s, bus %u address %u", chip_name(bcd_device_of(dev)),
                               serial, bus, address);
    tty_usb ttys[4];
    ttys_of(bus, address, ttys);
    const char* separator = ", ";
    for (const tty_usb& tty : ttys)
        if (tty.name[0] != '\0' && length >= 0 && static_cast<std::size_t>(length) < size) {
            length += std::snprintf(description + length, size - static_cast<std::size_t>(length), "%s/dev/%s",
                                    separator, tty.name);
            separator = " ";
        }
}

static char open_description[192];

// Serial numbers repeat (clone chips, whole batches): a name that matches two devices opens
// neither, and says how to name one alone: by the tty of the channel wanted, where one of the
// MATCHED devices has it.
static void note_same_serial(libusb_device* const* matched, int matches, const wanted_device& want, int port_number)
{
    static char words[256];
    tty_usb ttys[4], example{};
    for (int i = 0; i < matches && i < 8 && example.name[0] == '\0'; ++i) {
        ttys_of(libusb_get_bus_number(matched[i]), libusb_get_device_address(matched[i]), ttys);
        example = ttys[want.channel - INTERFACE_A];
    }
    if (example.name[0] != '\0')
        std::snprintf(words, sizeof words, "%d FTDI devices have serial number %s: name one alone by its tty,"
                      " as ISP2313_PORT%d=/dev/%s", matches, want.serial, port_number, example.name);
    else
        std::snprintf(words, sizeof words, "%d FTDI devices have serial number %s and none has a tty to name it"
                      " by: leave only one plugged in", matches, want.serial);
    os_note_failure("ftdi_usb_find_all", words, os_reason_other);
}

// The one device of LIST that WANT names, or null with the failure noted.
static libusb_device* pick(ftdi_context* ftdi, ftdi_device_list* list, int count, const wanted_device& want,
                           int port_number)
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
    libusb_device *unreadable = nullptr, *matched[8] = {};
    int matches = 0;
    for (ftdi_device_list* entry = list; entry != nullptr; entry = entry->next) {
        char serial[64];
        if (want.by_place) {
            if (libusb_get_bus_number(entry->dev) == want.bus && libusb_get_device_address(entry->dev) == want.address)
                return entry->dev;
        } else if (!serial_of(ftdi, entry->dev, serial, sizeof serial)) {
            unreadable = entry->dev;
        } else if (std::strcmp(serial, want.serial) == 0) {
            if (matches < 8)
                matched[matches] = entry->dev;
            ++matches;
        }
    }
    if (matches > 1) {
        note_same_serial(matched, matches, want, port_number);
        return nullptr;
    }
    if (matches == 1)
        return matched[0];
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
// not take (another libusb program has claimed it), -8 no permission.
static bool note_open_failure(ftdi_context* ftdi, int code, libusb_device* dev)
{
    if (code == -4)
        return note_usb_open("ftdi_usb_open_dev", dev, os_reason_other);
    os_reason reason = code == -8 ? os_reason_denied : code == -3 || code == -5 ? os_reason_busy : os_reason_other;
    // libftdi's words for -5 blame the kernel's driver, which libusb detaches by itself: the
    // claim fails only while another libusb program has claimed the interface.
    const char* words = code == -5 ? "another program has claimed the adapter's USB interface (libusb_claim_interface"
                                     " failed)" : ftdi_get_error_string(ftdi);
    os_note_failure("ftdi_usb_open_dev", words, reason);
    return false;
}

static unsigned channels_of(libusb_device* dev)
{
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_config_descriptor(dev, 0, &config) != 0 || config == nullptr)
        return 1;
    unsigned channels = config->bNumInterfaces;
    libusb_free_config_descriptor(config);
    return channels;
}

// Whether DEV may be taken for WANT, told before anything opens it: a channel it has, a chip
// and channel that do synchronous bit-bang at the rate set, and a tty that no one holds.
static bool may_take(libusb_device* dev, const wanted_device& want)
{
    static char words[64];
    unsigned bcd_device = bcd_device_of(dev), channel = static_cast<unsigned>(want.channel - INTERFACE_A);
    if (channel >= channels_of(dev) || channel >= 4) {
        std::snprintf(words, sizeof words, "the %s has no channel %c", chip_name(bcd_device), 'A' + channel);
        os_note_failure("ftdi_set_interface", words, os_reason_missing);
        return false;
    }
    const char* refused = bitbang_refused(ftdi_chip_by_bcd(bcd_device), bcd_device, channel);
    if (refused != nullptr) {
        os_note_failure("ftdi_set_bitmode", refused, os_reason_other);
        return false;
    }
    tty_usb ttys[4];
    ttys_of(libusb_get_bus_number(dev), libusb_get_device_address(dev), ttys);
    return ttys[channel].name[0] == '\0' || !tty_held(ttys[channel]);
}

static bool open_device(ftdi_context* ftdi, int port_number, const char* name, unsigned& bcd_device)
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
    libusb_device* dev = pick(ftdi, list, count, want, port_number);
    bool opened = false;
    if (dev != nullptr && may_take(dev, want)) {
        bcd_device = bcd_device_of(dev);
        // Described while ftdi_sio still has its tty.
        describe(ftdi, dev, open_description, sizeof open_description);
        int code = ftdi_set_interface(ftdi, static_cast<ftdi_interface>(want.channel));
        if (code < 0)
            os_note_failure("ftdi_set_interface", ftdi_get_error_string(ftdi), os_reason_missing);
        else if ((code = ftdi_usb_open_dev(ftdi, dev)) < 0)
            note_open_failure(ftdi, code, dev);
        else
            opened = true;
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

// ---- transfers -----------------------------------------------------------------------------

// The states stream out through a few write slots, each a transfer of its own, and a read is
// always pending while samples are due, so that the chip's pins never wait for the host: it
// puts a state out only while its sample has room, and the sample goes only while a read asks.
// Samples land in a ring by their place in the stream; the caller takes them in order. A read
// asks for exactly the packets its samples fill (a transfer asking for more would end only at
// the latency timer's short packet), resized only while libftdi holds none of a packet's
// samples back (a new size drops them).
constexpr unsigned      write_slots = 16;
constexpr std::uint32_t slot_states = 4096;            // a send's most (libftdi's write chunk)
constexpr std::uint32_t ring_states = 16384;           // samples sent and not yet taken, at most
constexpr unsigned      read_chunk_max = 16384;        // libftdi's largest read on Linux
constexpr int           event_wait_ms = 10;

static std::uint8_t            slot_states_of[write_slots][slot_states];
static ftdi_transfer_control*  slot_tc[write_slots];
static unsigned                slot_next;              // round robin: the oldest when all are busy
static std::uint8_t            ring[ring_states];
static ftdi_transfer_control*  read_tc;
// Places in the stream since the open: states sent; samples asked for by reads (the pending
// one's included), arrived in the ring before the pending read, and taken by the caller.
static std::uint64_t stream_sent, samples_asked, samples_landed, samples_taken, read_start;
static bool          stream_failed;

static std::uint64_t monotonic_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

static const char* transfer_status_name(int status)
{
    switch (status) {
    case LIBUSB_TRANSFER_ERROR:     return "LIBUSB_TRANSFER_ERROR";
    case LIBUSB_TRANSFER_TIMED_OUT: return "LIBUSB_TRANSFER_TIMED_OUT";
    case LIBUSB_TRANSFER_CANCELLED: return "LIBUSB_TRANSFER_CANCELLED";
    case LIBUSB_TRANSFER_STALL:     return "LIBUSB_TRANSFER_STALL";
    case LIBUSB_TRANSFER_NO_DEVICE: return "LIBUSB_TRANSFER_NO_DEVICE";
    case LIBUSB_TRANSFER_OVERFLOW:  return "LIBUSB_TRANSFER_OVERFLOW";
    default:                        return "LIBUSB_TRANSFER_COMPLETED";
    }
}

static bool stream_failure(const char* call, const char* words)
{
    if (!stream_failed)
        os_note_failure(call, words, os_reason_other);
    stream_failed = true;
    return false;
}

// A transfer that ended short: libftdi resubmits the rest of one that failed, and marks it done
// when the resubmission is refused (the adapter pulled).
static bool ended_whole(const ftdi_transfer_control* tc, const char* call, const char* what)
{
    if (tc->offset >= tc->size)
        return true;
    static char words[96];
    int status = tc->transfer != nullptr ? tc->transfer->status : LIBUSB_TRANSFER_ERROR;
    std::snprintf(words, sizeof words, "usb bulk %s failed (%s)", what, transfer_status_name(status));
    return stream_failure(call, words);
}

// ftdi_transfer_data_cancel frees a transfer that has ended without waiting for anything.
static void free_ended(ftdi_transfer_control*& tc)
{
    ftdi_transfer_data_cancel(tc, nullptr);
    tc = nullptr;
}

// Samples that the pending read brought, and a new read for those sent since, where due.
static void keep_reading(ftdi_context* ftdi)
{
    if (read_tc != nullptr && read_tc->completed != 0) {
        bool whole = ended_whole(read_tc, "ftdi_read_data_submit", "read");
        samples_landed = read_start + static_cast<std::uint64_t>(read_tc->offset);
        free_ended(read_tc);
        if (!whole)
            return;
    }
    while (read_tc == nullptr && samples_asked < stream_sent && !stream_failed) {
        std::uint64_t at = samples_asked % ring_states, due = stream_sent - samples_asked;
        int size = static_cast<int>(due < ring_states - at ? due : ring_states - at);
        unsigned packet = static_cast<unsigned>(ftdi->max_packet_size), per_packet = packet - 2;
        unsigned chunk = (static_cast<unsigned>(size) + per_packet - 1) / per_packet * packet;
        chunk = chunk < read_chunk_max ? chunk : read_chunk_max / packet * packet;
        if (ftdi->readbuffer_remaining == 0 && ftdi->readbuffer_chunksize != chunk
            && ftdi_read_data_set_chunksize(ftdi, chunk) < 0) {
            stream_failure("ftdi_read_data_set_chunksize", ftdi_get_error_string(ftdi));
            return;
        }
        read_start = samples_asked;
        read_tc = ftdi_read_data_submit(ftdi, ring + at, size);
        if (read_tc == nullptr) {
            stream_failure("ftdi_read_data_submit", "usb bulk read failed");
            return;
        }
        samples_asked += static_cast<std::uint64_t>(size);
        // Served at once from what libftdi held back from the last read.
        if (read_tc->completed != 0) {
            samples_landed = read_start + static_cast<std::uint64_t>(read_tc->offset);
            free_ended(read_tc);
        }
    }
}

static void reap_writes()
{
    for (ftdi_transfer_control*& tc : slot_tc)
        if (tc != nullptr && tc->completed != 0) {
            ended_whole(tc, "ftdi_write_data_submit", "write");
            free_ended(tc);
        }
}

// libusb's events for up to WAIT_MS (sooner when *COMPLETED is set, or any transfer ends), then
// whatever ended taken in and the read kept going.
static bool handle_events(ftdi_context* ftdi, int* completed, int wait_ms = event_wait_ms)
{
    timeval wait{0, wait_ms * 1000};
    int code = libusb_handle_events_timeout_completed(ftdi->usb_ctx, &wait, completed);
    if (code < 0 && code != LIBUSB_ERROR_INTERRUPTED)
        return stream_failure("libusb_handle_events", libusb_error_name(code));
    reap_writes();
    keep_reading(ftdi);
    return !stream_failed;
}

static std::uint64_t samples_here()
{
    return read_tc != nullptr ? read_start + static_cast<std::uint64_t>(read_tc->offset) : samples_landed;
}

bool os_bitbang_send(os_handle device, const std::uint8_t* states, std::uint32_t count)
{
    ftdi_context* ftdi = context_of(device);
    if (stream_failed)
        return false;
    if (count > slot_states || stream_sent + count - samples_taken > ring_states)
        return stream_failure("ftdi_write_data_submit", "more states than the transfers in flight hold");
    // The slot's last write must have gone: the chip takes states as fast as it puts them out.
    ftdi_transfer_control*& tc = slot_tc[slot_next];
    std::uint64_t give_up = monotonic_ms() + 1000;
    while (tc != nullptr && handle_events(ftdi, &tc->completed))
        if (tc != nullptr && monotonic_ms() > give_up)
            return stream_failure("ftdi_write_data_submit", "the adapter took no states for a second");
    if (stream_failed)
        return false;
    std::memcpy(slot_states_of[slot_next], states, count);
    tc = ftdi_write_data_submit(ftdi, slot_states_of[slot_next], static_cast<int>(count));
    if (tc == nullptr)
        return stream_failure("ftdi_write_data_submit", "usb bulk write failed");
    slot_next = (slot_next + 1) % write_slots;
    stream_sent += count;
    // Whatever ended meanwhile is taken in without waiting, and the read asks for these too.
    return handle_events(ftdi, nullptr, 0);
}

bool os_bitbang_receive(os_handle device, std::uint8_t* samples, std::uint32_t count)
{
    ftdi_context* ftdi = context_of(device);
    if (stream_failed)
        return false;
    std::uint64_t wanted = samples_taken + count;
    if (wanted > stream_sent)
        return stream_failure("ftdi_read_data_submit", "more samples asked for than states sent");
    keep_reading(ftdi);
    // Packets of status bytes alone come while the chip has nothing new; not for long. Fewer
    // samples than states and then none: a sample lost, or the chip stopped.
    std::uint64_t seen = samples_here(), give_up = monotonic_ms() + 1000;
    while (samples_here() < wanted && !stream_failed) {
        if (!handle_events(ftdi, read_tc != nullptr ? &read_tc->completed : nullptr))
            return false;
        if (samples_here() != seen) {
            seen = samples_here();
            give_up = monotonic_ms() + 1000;
        } else if (monotonic_ms() > give_up) {
            static char words[96];
            std::snprintf(words, sizeof words, "the adapter sent %u of the %u samples due, then none for a second",
                          static_cast<unsigned>(seen - samples_taken), static_cast<unsigned>(count));
            return stream_failure("ftdi_read_data_submit", words);
        }
    }
    if (stream_failed)
        return false;
    for (std::uint32_t i = 0; i < count; ++i)
        samples[i] = ring[(samples_taken + i) % ring_states];
    samples_taken = wanted;
    return true;
}

// Whatever is still in flight (after a pulled adapter, or samples that stopped coming) is
// cancelled and waited for, a second at most: a transfer libusb still has is never freed.
static void cancel_transfers(ftdi_context* ftdi)
{
    if (ftdi->usb_ctx == nullptr)
        return;
    ftdi_transfer_control** all[write_slots + 1];
    unsigned count = 0;
    for (ftdi_transfer_control*& tc : slot_tc)
        all[count++] = &tc;
    all[count++] = &read_tc;
    std::uint64_t give_up = monotonic_ms() + 1000;
    for (;;) {
        bool pending = false;
        for (unsigned i = 0; i < count; ++i) {
            ftdi_transfer_control* tc = *all[i];
            if (tc != nullptr && tc->completed == 0 && tc->transfer != nullptr) {
                // Again each time: libftdi resubmits a transfer that ended as the cancel came.
                libusb_cancel_transfer(tc->transfer);
                pending = true;
            }
        }
        if (!pending || monotonic_ms() > give_up)
            break;
        timeval wait{0, event_wait_ms * 1000};
        if (libusb_handle_events_timeout_completed(ftdi->usb_ctx, &wait, nullptr) < 0
            && monotonic_ms() > give_up)
            break;
    }
    for (unsigned i = 0; i < count; ++i)
        if (*all[i] != nullptr && (*all[i])->completed != 0)
            free_ended(*all[i]);
        else
            *all[i] = nullptr;   // still libusb's: left to it
}

// A new stream: nothing sent, nothing in flight.
static void stream_reset()
{
    for (ftdi_transfer_control*& tc : slot_tc)
        tc = nullptr;
    read_tc = nullptr;
    slot_next = 0;
    stream_sent = samples_asked = samples_landed = samples_taken = read_start = 0;
    stream_failed = false;
}

void os_bitbang_close(os_handle device)
{
    ftdi_context* ftdi = context_of(device);
    if (ftdi == nullptr)
        return;
    cancel_transfers(ftdi);
    ftdi_set_bitmode(ftdi, 0, BITMODE_RESET);
    ftdi_usb_close(ftdi);
    ftdi_free(ftdi);
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
    if (!open_device(ftdi, port_number, name, bcd_device)) {
        ftdi_free(ftdi);
        return os_no_handle;
    }
    const ftdi_chip* row = ftdi_chip_by_bcd(bcd_device);
    if (row == nullptr || ftdi->max_packet_size < 3 || ftdi->max_packet_size > 512) {
        os_note_failure("ftdi_usb_open_dev", "the adapter's USB packets are of a size no FTDI chip has",
                        os_reason_other);
        ftdi_usb_close(ftdi);
        ftdi_free(ftdi);
        return os_no_handle;
    }
    // A high-speed part on a full-speed port sends packets of 64 bytes, not 512: the packet the
    // endpoint has, and as many of them to a transfer as the chip's FIFOs hold.
    sizes.packet_states = ftdi->max_packet_size - 2;
    sizes.chunk_states = ftdi_chunk_states(*row, sizes.packet_states);
    sizes.chunk_states = sizes.chunk_states < slot_states ? sizes.chunk_states : slot_states;
    sizes.flight_states = ring_states;
    stream_reset();
    os_handle device = reinterpret_cast<os_handle>(ftdi);
    std::uint8_t states[512], samples[512];
    std::memset(states, first_state, sizes.packet_states);
    if (!enter_bitbang(ftdi, ftdi_baud_for(*row, byte_rate)) || !os_bitbang_send(device, states, sizes.packet_states)
        || !os_bitbang_receive(device, samples, sizes.packet_states)) {
        os_bitbang_close(device);
        return os_no_handle;
    }
    return device;
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
            char description[192];
            describe(ftdi, entry->dev, description, sizeof description);
            seen(description);
        }
    ftdi_list_free(&list);
    ftdi_free(ftdi);
    return true;
}
