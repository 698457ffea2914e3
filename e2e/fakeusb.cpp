// Test infrastructure, built into the faked port's preload for the FTDI runs: the libusb-1.0
// calls that libftdi1 (and the program) make, answered by one model FT232R (sim/ft232r.cpp)
// whose pins are the faked port's lines on the same virtual chip, in real time. Every libusb
// call that could reach a device ends here; libusb_error_name, a table of words, is libusb's.
// Bulk transfers come both ways: blocking (libusb_bulk_transfer) and submitted, completed
// through the event calls with the model run on to the moment.
// Switches (environment):
//   FAKEUSB_FAIL_FROM=N      every transfer from the Nth bulk one on fails as after an unplug
//                            (submissions counted, libftdi's own resubmissions too); those in
//                            flight then end as NO_DEVICE
//   FAKEUSB_REFUSE=1         the device does not open (no access)
//   FAKEUSB_BUSY=1           its interface cannot be claimed (another libusb program has it)
//   FAKEUSB_ROUND_TRIP_NS=N  the USB round trip (1 ms unless set)
//   FAKEUSB_SECOND=1         a second FT232R, serial E2E2313B at the next address, whose pins
//                            lead nowhere
//   FAKEUSB_SAME_SERIAL=1    that second device, with the first one's serial number
//   FAKEUSB_CHIP=NAME        the device is an FT232H (bcdDevice 0x0900, 512-byte packets, its
//                            FIFOs and byte clock), an FT2232D (0x0500, two channels; only
//                            channel A is modelled) or an FT232BM (0x0400) instead of an FT232R
//   FAKEUSB_DSR_LAG_NS=N     the samples show MISO this long late, as through a slow cable
//   FAKEUSB_STRAY_AFTER=N    one byte that is no sample after N samples
//   FAKEUSB_LOSE_AT=N        the sample with index N lost
//   FAKEUSB_NO_ECHO=1        samples show the state going out, not the one before it
//   FAKEUSB_ENTRY_GLITCH=1   all outputs low from the mode change until the first byte
#include <libusb.h>
#include <sys/ioctl.h>
#include <time.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include "e2e/fakeport.h"
#include "sim/ft232r.h"

struct libusb_context { int unused; };
struct libusb_device { int unused; };
struct libusb_device_handle { int unused; };

using namespace fakeport;

namespace {

libusb_context       the_context;
libusb_device        devices[2];
libusb_device_handle handles[2];
ft232r_model         model;
bool                 configured, refused, busy, second, same_serial;
long long            fail_from;
// The device's descriptor values, FT232R unless FAKEUSB_CHIP says otherwise.
std::uint16_t        product = 0x6001, bcd_device = 0x0600;

// MISO's last changes as the pins had them, for samples that see it late: a ring of
// miso_history_size after miso_changes of them.
constexpr std::size_t miso_history_size = 256;
struct miso_change {
    std::uint64_t t_ns;
    bool          level;
};
miso_change   miso_history[miso_history_size];
std::uint64_t miso_changes, dsr_lag_ns;

void record_miso(std::uint64_t t)
{
    bool level = chip_line_miso();
    if (miso_changes == 0 || miso_history[(miso_changes - 1) % miso_history_size].level != level)
        miso_history[miso_changes++ % miso_history_size] = {t, level};
}

// MISO as the pins had it at T: the last change at or before T, the oldest kept if none.
bool miso_at(std::uint64_t t)
{
    std::uint64_t kept = miso_changes < miso_history_size ? miso_changes : miso_history_size;
    for (std::uint64_t back = 1; back <= kept; ++back) {
        const miso_change& change = miso_history[(miso_changes - back) % miso_history_size];
        if (change.t_ns <= t || back == kept)
            return change.level;
    }
    return chip_line_miso();
}

// The outputs reach the chip as the serial driver's lines would: a 0 bit is the line set.
void drive(std::uint8_t pins, std::uint64_t t)
{
    port_state* s = take_chip();
    bool break_on = (pins & 0x01) == 0, rts_on = (pins & 0x04) == 0, dtr_on = (pins & 0x10) == 0;
    if (break_on != (s->break_on != 0))
        set_break(s, break_on, t);
    if (dtr_on != ((s->modem_lines & TIOCM_DTR) != 0))
        set_dtr(s, dtr_on, t);
    if (rts_on != ((s->modem_lines & TIOCM_RTS) != 0))
        set_rts(s, rts_on, t);
    record_miso(t);
    give_chip(s);
}

std::uint8_t sense(std::uint64_t t)
{
    take_chip();
    bool miso = dsr_lag_ns == 0 ? chip_line_miso() : miso_at(t - dsr_lag_ns);
    return miso ? 0xFF : 0xFF & ~0x20;   // DSR# low: DSR on, a 0 bit from the chip
}

long long number_set(const char* name, long long otherwise)
{
    const char* value = std::getenv(name);
    return value != nullptr ? std::strtoll(value, nullptr, 10) : otherwise;
}

// One configuration, one interface (two alike for the FT2232D), bulk IN 0x81 and OUT 0x02 of
// 64-byte packets (512 for the FT232H).
libusb_endpoint_descriptor endpoints[2] = {
    {LIBUSB_DT_ENDPOINT_SIZE, LIBUSB_DT_ENDPOINT, 0x81, LIBUSB_TRANSFER_TYPE_BULK, ft232r_packet, 0, 0, 0, nullptr, 0},
    {LIBUSB_DT_ENDPOINT_SIZE, LIBUSB_DT_ENDPOINT, 0x02, LIBUSB_TRANSFER_TYPE_BULK, ft232r_packet, 0, 0, 0, nullptr, 0}};
const libusb_interface_descriptor setting = {LIBUSB_DT_INTERFACE_SIZE, LIBUSB_DT_INTERFACE, 0, 0, 2, 0xFF, 0xFF, 0xFF, 2,
                                             endpoints, nullptr, 0};
const libusb_interface interfaces[2] = {{&setting, 1}, {&setting, 1}};
libusb_config_descriptor configuration = {LIBUSB_DT_CONFIG_SIZE, LIBUSB_DT_CONFIG, 32, 1, 1, 0, 0x80, 45, interfaces,
                                          nullptr, 0};

void configure()
{
    if (configured)
        return;
    configured = true;
    fail_from = number_set("FAKEUSB_FAIL_FROM", 0);
    refused = std::getenv("FAKEUSB_REFUSE") != nullptr;
    busy = std::getenv("FAKEUSB_BUSY") != nullptr;
    same_serial = std::getenv("FAKEUSB_SAME_SERIAL") != nullptr;
    second = same_serial || std::getenv("FAKEUSB_SECOND") != nullptr;
    model.round_trip_ns = static_cast<std::uint64_t>(number_set("FAKEUSB_ROUND_TRIP_NS", 1000000));
    dsr_lag_ns = static_cast<std::uint64_t>(number_set("FAKEUSB_DSR_LAG_NS", 0));
    model.stray_after = static_cast<long>(number_set("FAKEUSB_STRAY_AFTER", -1));
    model.lose_at = static_cast<long>(number_set("FAKEUSB_LOSE_AT", -1));
    model.no_echo = std::getenv("FAKEUSB_NO_ECHO") != nullptr;
    model.entry_glitch = std::getenv("FAKEUSB_ENTRY_GLITCH") != nullptr;
    const char* chip_name = std::getenv("FAKEUSB_CHIP");
    std::string chip_named = chip_name != nullptr ? chip_name : "";
    if (chip_named == "FT232H") {
        product = 0x6014;
        bcd_device = 0x0900;
        ft232r_make_ft232h(model);
        endpoints[0].wMaxPacketSize = endpoints[1].wMaxPacketSize = static_cast<std::uint16_t>(model.packet_bytes);
    } else if (chip_named == "FT2232D") {
        product = 0x6010;
        bcd_device = 0x0500;
        configuration.bNumInterfaces = 2;
    } else if (chip_named == "FT232BM") {
        bcd_device = 0x0400;
    }
    model.drive = drive;
    model.sense = sense;
}

bool pulled() { return fail_from != 0 && shared()->usb.bulk_transfers >= fail_from; }

// A bulk transfer that failed for the unplug, counted unless it is libftdi resubmitting one that
// the unplug already ended: that is the library's reflex, not the program sending more.
void count_failure(bool counted)
{
    port_state* s = shared();
    if (counted && s->usb.failed_transfers++ == 0)
        s->usb.first_failure_ns = static_cast<std::int64_t>(now_ns());
}

void sleep_until(std::uint64_t t)
{
    timespec until{static_cast<time_t>(t / 1000000000u), static_cast<long>(t % 1000000000u)};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
}

// The baud-rate generator's divisor as libftdi encodes it: 14 bits of steps of the base clock
// and a fraction in eighths, its code's third bit in the index (in its high byte on the H
// parts, beside the flag that takes their 12 MHz base clock rather than 3 MHz).
std::uint32_t baud_of(std::uint16_t value, std::uint16_t index)
{
    static const unsigned eighths[8] = {0, 4, 2, 1, 3, 5, 6, 7};
    bool h_part = bcd_device == 0x0900;
    unsigned encoded = value | (h_part ? index >> 8 & 1u : index & 1u) << 16;
    std::uint32_t base = h_part && (index & 0x200) != 0 ? 12000000 : 3000000;
    if (encoded <= 1)
        return encoded == 0 ? base : base / 3 * 2;
    return base * 8 / ((encoded & 0x3FFF) * 8 + eighths[encoded >> 14]);
}

// ---- submitted transfers ---------------------------------------------------------------------

// A transfer from its submission to its callback. An OUT transfer's bytes have their places
// among all those written (model.taken_from_host counts the chip's takings of them); an IN
// transfer takes the packets that reach the host, the oldest IN transfer first.
struct in_flight {
    libusb_transfer* transfer;
    bool             out;
    std::uint64_t    start, end;
    std::uint64_t    deadline_ns;    // 0: no timeout
    bool             cancelled;
};
std::vector<in_flight>        flights;       // in submission order
std::uint64_t                 out_written;   // bytes written, ever, less those dropped
std::vector<libusb_transfer*> unplugged;     // ended by the unplug, not yet resubmitted
// A host transfer is heard of no more finely than this while the chip is busy: its packets'
// arrivals are known to the nanosecond, a write's last byte taken or a packet sent at this step.
constexpr std::uint64_t wake_step_ns = 200000;

// The bytes of a write that ends before the chip took them all never go.
void drop_untaken(in_flight& f)
{
    std::uint64_t taken = model.taken_from_host, from = std::max(f.start, taken);
    if (from >= f.end)
        return;
    std::uint64_t count = f.end - from;
    auto first = model.from_host.begin() + static_cast<std::ptrdiff_t>(from - taken);
    model.from_host.erase(first, first + static_cast<std::ptrdiff_t>(count));
    for (in_flight& later : flights)
        if (later.out && later.start >= f.end) {
            later.start -= count;
            later.end -= count;
        }
    out_written -= count;
    f.end = from;
}

// The mode change empties the chip's buffers, the bytes on their way to it too.
void set_bitmode(std::uint8_t mask, bool sync_bitbang)
{
    ft232r_set_bitmode(model, mask, sync_bitbang, now_ns());
    out_written = model.taken_from_host;
    for (in_flight& f : flights)
        if (f.out)
            f.start = f.end = std::min(f.end, out_written);
}

// Where the transfers stand at T: the model run on to T (not after an unplug), the packets that
// arrived given to the IN transfers; those that ended leave the list, in order.
std::vector<libusb_transfer*> settle(std::uint64_t t)
{
    bool gone = pulled();
    if (!gone)
        ft232r_advance(model, t);
    std::vector<libusb_transfer*> ended;
    bool reading = false;   // an IN transfer still pending: the later ones wait behind it
    for (std::size_t i = 0; i < flights.size();) {
        in_flight& f = flights[i];
        libusb_transfer* x = f.transfer;
        int status = -1;
        if (gone) {
            status = LIBUSB_TRANSFER_NO_DEVICE;
        } else if (f.out) {
            if (model.taken_from_host >= f.end && !f.cancelled)
                status = LIBUSB_TRANSFER_COMPLETED;
        } else if (!reading) {
            // A transfer ends when it is full or a short packet came (a status-only one is short).
            while (status < 0 && !f.cancelled && !model.to_host.empty() && model.to_host.front().arrives_ns <= t) {
                const std::vector<std::uint8_t>& bytes = model.to_host.front().bytes;
                if (static_cast<std::size_t>(x->length - x->actual_length) < bytes.size()) {
                    status = LIBUSB_TRANSFER_OVERFLOW;
                    break;
                }
                std::memcpy(x->buffer + x->actual_length, bytes.data(), bytes.size());
                x->actual_length += static_cast<int>(bytes.size());
                bool short_packet = bytes.size() < model.packet_bytes;
                model.to_host.pop_front();
                if (short_packet || static_cast<std::size_t>(x->length - x->actual_length) < model.packet_bytes)
                    status = LIBUSB_TRANSFER_COMPLETED;
            }
        }
        if (status < 0 && f.cancelled)
            status = LIBUSB_TRANSFER_CANCELLED;
        if (status < 0 && f.deadline_ns != 0 && t >= f.deadline_ns)
            status = LIBUSB_TRANSFER_TIMED_OUT;
        if (status < 0) {
            reading = reading || !f.out;
            ++i;
            continue;
        }
        if (f.out) {
            if (status != LIBUSB_TRANSFER_COMPLETED && !gone)
                drop_untaken(f);
            std::uint64_t done = std::min(model.taken_from_host, f.end);
            x->actual_length = done > f.start ? static_cast<int>(done - f.start) : 0;
        }
        x->status = static_cast<libusb_transfer_status>(status);
        if (status == LIBUSB_TRANSFER_NO_DEVICE)
            unplugged.push_back(x);
        ended.push_back(x);
        flights.erase(flights.begin() + static_cast<std::ptrdiff_t>(i));
    }
    // Packets leave the chip only while the host asks for them.
    model.reading = reading;
    return ended;
}

// Runs the transfers to now; the callbacks of those that ended, else a sleep until something
// may happen, the timeout or *COMPLETED set, whichever comes first.
int handle_events(const timeval* timeout, int* completed)
{
    std::uint64_t until = now_ns() + (timeout != nullptr ? static_cast<std::uint64_t>(timeout->tv_sec) * 1000000000u
                                                             + static_cast<std::uint64_t>(timeout->tv_usec) * 1000u
                                                         : 60000000000u);
    for (;;) {
        if (completed != nullptr && *completed != 0)
            return 0;
        std::uint64_t t = now_ns();
        std::vector<libusb_transfer*> ended = settle(t);
        for (libusb_transfer* x : ended)
            x->callback(x);
        if (!ended.empty() || t >= until)
            return 0;
        std::uint64_t wake = until;
        for (const in_flight& f : flights)
            if (f.deadline_ns != 0)
                wake = std::min(wake, f.deadline_ns);
        if (!flights.empty() && !pulled()) {
            if (!model.to_host.empty())
                wake = std::min(wake, model.to_host.front().arrives_ns);
            std::uint64_t next = ft232r_next_event_ns(model);
            if (next != ~std::uint64_t{0})
                wake = std::min(wake, std::max(next, t + wake_step_ns));
        }
        sleep_until(wake);
    }
}

} // namespace

#define STAND_IN extern "C" __attribute__((visibility("default")))

STAND_IN int libusb_init(libusb_context** context)
{
    configure();
    if (context != nullptr)
        *context = &the_context;
    return 0;
}

STAND_IN void libusb_exit(libusb_context*) {}

STAND_IN ssize_t libusb_get_device_list(libusb_context*, libusb_device*** list)
{
    *list = static_cast<libusb_device**>(std::calloc(3, sizeof(libusb_device*)));
    (*list)[0] = &devices[0];
    (*list)[1] = second ? &devices[1] : nullptr;
    return second ? 2 : 1;
}

STAND_IN void libusb_free_device_list(libusb_device** list, int) { std::free(list); }
STAND_IN libusb_device* libusb_ref_device(libusb_device* device) { return device; }
STAND_IN void libusb_unref_device(libusb_device*) {}
STAND_IN std::uint8_t libusb_get_bus_number(libusb_device*) { return fakeusb_bus; }
STAND_IN std::uint8_t libusb_get_device_address(libusb_device* device)
{
    return static_cast<std::uint8_t>(fakeusb_address + (device - devices));
}

STAND_IN int libusb_get_device_descriptor(libusb_device*, libusb_device_descriptor* descriptor)
{
    configure();
    // FTDI's vendor, the chip's product and bcdDevice; strings 1 to 3 and one configuration
    *descriptor = {LIBUSB_DT_DEVICE_SIZE, LIBUSB_DT_DEVICE, 0x0200, 0, 0, 0, 8, 0x0403, product, bcd_device, 1, 2, 3, 1};
    return 0;
}

STAND_IN int libusb_get_config_descriptor(libusb_device*, std::uint8_t, libusb_config_descriptor** config)
{
    configure();
    *config = &configuration;
    return 0;
}

STAND_IN void libusb_free_config_descriptor(libusb_config_descriptor*) {}

STAND_IN int libusb_open(libusb_device* device, libusb_device_handle** handle)
{
    configure();
    if (refused) {
        ++shared()->usb.refused_opens;
        return LIBUSB_ERROR_ACCESS;
    }
    *handle = &handles[device - devices];
    return 0;
}

STAND_IN void libusb_close(libusb_device_handle*) {}

STAND_IN int libusb_get_string_descriptor_ascii(libusb_device_handle* handle, std::uint8_t index, unsigned char* data,
                                                int length)
{
    const char* serial = handle == &handles[0] || same_serial ? fakeusb_serial : "E2E2313B";
    const char* text = index == 1 ? "FTDI" : index == 2 ? "FT232R USB UART" : serial;
    int size = static_cast<int>(std::strlen(text));
    size = size < length ? size : length - 1;
    std::memcpy(data, text, static_cast<std::size_t>(size));
    data[size] = '\0';
    return size;
}

STAND_IN int libusb_get_configuration(libusb_device_handle*, int* config)
{
    *config = 1;
    return 0;
}

STAND_IN int libusb_set_configuration(libusb_device_handle*, int) { return 0; }
STAND_IN int libusb_detach_kernel_driver(libusb_device_handle*, int) { return 0; }
STAND_IN int libusb_set_auto_detach_kernel_driver(libusb_device_handle*, int) { return 0; }

// Claimed and released: the port's open and close, in the counts and the trace.
STAND_IN int libusb_claim_interface(libusb_device_handle*, int)
{
    if (busy)
        return LIBUSB_ERROR_BUSY;
    port_opened();
    return 0;
}

STAND_IN int libusb_release_interface(libusb_device_handle*, int)
{
    port_closed();
    return pulled() ? LIBUSB_ERROR_NO_DEVICE : 0;
}

// Vendor requests: reset and purge, modem and flow control, baud rate, data format, latency
// timer, bit mode. The model follows the baud rate, the latency timer and the bit mode.
STAND_IN int libusb_control_transfer(libusb_device_handle*, std::uint8_t request_type, std::uint8_t request,
                                     std::uint16_t value, std::uint16_t index, unsigned char* data,
                                     std::uint16_t length, unsigned int)
{
    port_state* s = shared();
    ++s->usb.control_transfers;
    if (pulled())
        return LIBUSB_ERROR_NO_DEVICE;
    if (request == 0x03)
        model.baud = baud_of(value, index);
    else if (request == 0x09)
        model.latency_ms = value & 0xFF;
    else if (request == 0x0B)
        set_bitmode(value & 0xFF, value >> 8 == 0x04);
    if ((request_type & LIBUSB_ENDPOINT_IN) != 0)
        std::memset(data, 0, length);
    return length;
}

STAND_IN libusb_transfer* libusb_alloc_transfer(int iso_packets)
{
    std::size_t size = sizeof(libusb_transfer)
                       + sizeof(libusb_iso_packet_descriptor) * static_cast<std::size_t>(iso_packets > 0 ? iso_packets : 0);
    return static_cast<libusb_transfer*>(std::calloc(1, size));
}

STAND_IN void libusb_free_transfer(libusb_transfer* transfer)
{
    flights.erase(std::remove_if(flights.begin(), flights.end(),
                                 [transfer](const in_flight& f) { return f.transfer == transfer; }),
                  flights.end());
    unplugged.erase(std::remove(unplugged.begin(), unplugged.end(), transfer), unplugged.end());
    std::free(transfer);
}

// OUT: the bytes queued behind those written before, reaching the chip half a round trip on.
// IN: the chip sends packets while one is pending.
STAND_IN int libusb_submit_transfer(libusb_transfer* transfer)
{
    ++shared()->usb.bulk_transfers;
    auto was_unplugged = std::find(unplugged.begin(), unplugged.end(), transfer);
    bool resubmitted = was_unplugged != unplugged.end();
    if (resubmitted)
        unplugged.erase(was_unplugged);
    if (pulled()) {
        count_failure(!resubmitted);
        return LIBUSB_ERROR_NO_DEVICE;
    }
    std::uint64_t t = now_ns();
    ft232r_advance(model, t);
    bool out = (transfer->endpoint & LIBUSB_ENDPOINT_IN) == 0;
    in_flight f{transfer, out, out_written, out_written, 0, false};
    if (transfer->timeout != 0)
        f.deadline_ns = t + transfer->timeout * 1000000ull;
    transfer->actual_length = 0;
    if (out) {
        ft232r_submit_out(model, transfer->buffer, static_cast<std::size_t>(transfer->length), t);
        out_written += static_cast<std::uint64_t>(transfer->length);
        f.end = out_written;
    }
    flights.push_back(f);
    model.reading = model.reading || !out;
    return 0;
}

STAND_IN int libusb_cancel_transfer(libusb_transfer* transfer)
{
    for (in_flight& f : flights)
        if (f.transfer == transfer) {
            f.cancelled = true;
            return 0;
        }
    return LIBUSB_ERROR_NOT_FOUND;
}

STAND_IN int libusb_handle_events_timeout_completed(libusb_context*, timeval* tv, int* completed)
{
    return handle_events(tv, completed);
}

STAND_IN int libusb_handle_events_timeout(libusb_context*, timeval* tv) { return handle_events(tv, nullptr); }
STAND_IN int libusb_handle_events_completed(libusb_context*, int* completed) { return handle_events(nullptr, completed); }
STAND_IN int libusb_handle_events(libusb_context*) { return handle_events(nullptr, nullptr); }

// As libusb itself does it: the transfer submitted, and events handled until it ends.
static void LIBUSB_CALL sync_transfer_done(libusb_transfer* transfer) { *static_cast<int*>(transfer->user_data) = 1; }

STAND_IN int libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data, int length,
                                  int* transferred, unsigned int timeout_ms)
{
    int done = 0;
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    libusb_fill_bulk_transfer(transfer, handle, endpoint, data, length, sync_transfer_done, &done, timeout_ms);
    int code = libusb_submit_transfer(transfer);
    while (code == 0 && done == 0)
        handle_events(nullptr, &done);
    *transferred = code == 0 ? transfer->actual_length : 0;
    if (code == 0 && transfer->status != LIBUSB_TRANSFER_COMPLETED)
        code = transfer->status == LIBUSB_TRANSFER_TIMED_OUT ? LIBUSB_ERROR_TIMEOUT
             : transfer->status == LIBUSB_TRANSFER_NO_DEVICE ? LIBUSB_ERROR_NO_DEVICE : LIBUSB_ERROR_IO;
    libusb_free_transfer(transfer);
    return code;
}
