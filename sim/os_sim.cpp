// The simulated platform: the seam's services over the virtual chip and a virtual clock.
#include "sim/os_sim.h"
#include <cstdio>
#include "line/ftdi_chips.h"
#include "line/os.h"
#include "line/os_note.h"
#include "sim/chip.h"

sim_platform sim;
static char      failure_text[256];
static os_reason failure_reason = os_reason_other;

constexpr os_handle sim_port_handle = 1, sim_ftdi_handle = 2;

static void ftdi_drive(std::uint8_t pins, std::uint64_t t_ns);
static std::uint8_t ftdi_sense(std::uint64_t t_ns);

static void note_dsr_wire();

// The adapter runs along with virtual time: its pins change, and the chip sees them, at the
// byte clock's own ticks while the host does other things.
static bool adapter_running;

void sim_reset()
{
    sim = sim_platform{};
    adapter_running = false;
    sim.frequency = 10000000;
    sim.counter_read_ns = 100;
    sim.ticks_read_ns = 10000;
    sim.line_call_ns = 0;
    sim.sleep_margin_ns = 500000;
    failure_text[0] = '\0';
    failure_reason = os_reason_other;
    sim.port_present[1] = sim.port_present[2] = true;
    sim.port_name[1] = "COM1";
    sim.port_name[2] = "COM2";
    sim.device_group = "";
    sim.trace_enabled = true;
    sim.ftdi_library = true;
    sim.ftdi_bcd_device = 0x0600;
    sim.ftdi_flight_states = 1u << 20;
    sim.ftdi.drive = ftdi_drive;
    sim.ftdi.sense = ftdi_sense;
}


static void advance(std::uint64_t ns)
{
    std::uint64_t to = sim.now_ns + ns;
    if (sim.ftdi_open && !adapter_running) {
        adapter_running = true;
        ft232r_advance(sim.ftdi, to);
        adapter_running = false;
    }
    sim.now_ns = to > sim.now_ns ? to : sim.now_ns;
    if (sim.on_time)
        sim.on_time(sim.now_ns);
}

static void advance_to(std::uint64_t t_ns)
{
    if (t_ns > sim.now_ns)
        advance(t_ns - sim.now_ns);
}

static void trace_event(sim_line line, bool value)
{
    if (line == sim_break && value)
        ++sim.clock_pulses;
    if (sim.trace_enabled)
        sim.trace.push_back({sim.now_ns, line, value});
    if (sim.on_event)
        sim.on_event({sim.now_ns, line, value});
    if (sim.stop_when && sim.stop_when())
        throw sim_stopped{};
}

static void record(sim_line line, bool value)
{
    ++sim.line_calls;
    advance(sim.line_call_ns);
    trace_event(line, value);
}

std::uint64_t os_counter_frequency()
{
    return sim.frequency;
}

std::uint32_t os_counter()
{
    ++sim.counter_reads;
    advance(sim.counter_read_ns);
    if (!sim.scripted_counter.empty()) {
        std::uint32_t reading = sim.scripted_counter.front();
        sim.scripted_counter.pop_front();
        return reading;
    }
    // now * frequency / 1 s, whole seconds apart so that no product leaves 64 bits
    std::uint64_t seconds = sim.now_ns / 1000000000u, rest_ns = sim.now_ns % 1000000000u;
    std::uint64_t ticks = seconds * sim.frequency + rest_ns * sim.frequency / 1000000000u;
    return static_cast<std::uint32_t>(sim.counter_base + ticks);
}

std::uint32_t os_ticks_ms()
{
    ++sim.ticks_reads;
    advance(sim.ticks_read_ns);
    if (!sim.scripted_ticks.empty()) {
        std::uint32_t reading = sim.scripted_ticks.front();
        sim.scripted_ticks.pop_front();
        return reading;
    }
    return static_cast<std::uint32_t>(sim.ticks_base + sim.now_ns / 1000000);
}

void os_sleep_until_ms(std::uint32_t tick)
{
    std::uint64_t now_ms = sim.now_ns / 1000000;
    std::uint32_t ahead = tick - static_cast<std::uint32_t>(sim.ticks_base + now_ms);
    if (ahead == 0 || ahead > 0x80000000u)
        return;
    std::uint64_t wake = (now_ms + ahead) * 1000000 - sim.sleep_margin_ns;
    if (wake <= sim.now_ns)
        return;
    ++sim.sleeps;
    sim.slept_ns += wake - sim.now_ns;
    advance(wake - sim.now_ns);
}

// The first failure since the open is the one kept, as on the real platforms.
void os_note_failure(const char* call, const char* words, os_reason reason)
{
    if (failure_text[0] != '\0')
        return;
    std::snprintf(failure_text, sizeof failure_text, "%s: %s", call, words);
    failure_reason = reason;
}

// A port whose calls fail from some call on: the call changes nothing and says why.
static bool modem_call_fails(const char* call)
{
    ++sim.modem_calls;
    if (sim.fail_from_modem_call == 0 || sim.modem_calls < sim.fail_from_modem_call)
        return false;
    if (sim.failed_modem_calls++ == 0)
        sim.first_failure_ns = sim.now_ns;
    os_note_failure(call, "Input/output error", os_reason_other);
    return true;
}

void os_forget_failure() { failure_text[0] = '\0'; }

const char* os_failure() { return failure_text; }

os_reason os_failure_reason() { return failure_reason; }

const char* os_port_name(int port_number)
{
    return port_number == 1 || port_number == 2 ? sim.port_name[port_number] : nullptr;
}

const char* os_dsr_wait_setting() { return sim.dsr_wait_setting; }

os_handle os_port_open(int port_number)
{
    failure_text[0] = '\0';
    if (port_number < 1 || port_number > 2 || !sim.port_present[port_number])
        os_note_failure("open", "No such file or directory", os_reason_missing);
    else if (sim.port_denied[port_number])
        os_note_failure("open", "Permission denied", os_reason_denied);
    else if (sim.port_busy[port_number])
        os_note_failure("open", "Device or resource busy", os_reason_busy);
    else {
        record(sim_open, true);
        chip_lines(sim.rts_on, sim.break_on, !sim.dtr_on, sim.now_ns);
        note_dsr_wire();
        return sim_port_handle;
    }
    return os_no_handle;
}

void os_port_close(os_handle)
{
    record(sim_close, true);
}

const char* os_device_group(const char*) { return sim.device_group; }

void os_list_serial_devices(void (*seen)(const char* name, const char* leads_to))
{
    for (const auto& device : sim.serial_devices)
        seen(device.first.c_str(), device.second.c_str());
}

bool os_set_dtr(os_handle, bool on)
{
    if (modem_call_fails(on ? "set DTR" : "clear DTR"))
        return false;
    record(sim_dtr, on);
    sim.dtr_on = on;
    chip_line_mosi(!on, sim.now_ns);
    note_dsr_wire();
    return true;
}

bool os_set_rts(os_handle, bool on)
{
    if (modem_call_fails(on ? "set RTS" : "clear RTS"))
        return false;
    record(sim_rts, on);
    sim.rts_on = on;
    chip_line_reset(on, sim.now_ns);
    note_dsr_wire();
    return true;
}

bool os_set_break(os_handle, bool on)
{
    if (modem_call_fails(on ? "break on" : "break off"))
        return false;
    record(sim_break, on);
    sim.break_on = on;
    chip_line_sck(on, sim.now_ns);
    note_dsr_wire();
    return true;
}

// DSR as the wire has it: the chip's MISO (inverted by the adapter), or the plugged line.
static bool dsr_on_the_wire()
{
    if (sim.loopback == loopback_none)
        return !chip_line_miso();
    bool line = sim.loopback == loopback_dtr ? sim.dtr_on : sim.break_on && !sim.break_not_sent;
    return line != sim.loopback_inverted;
}

// Noted after every line change for a lagging adapter; changes older than the last one a
// read dsr_lag_ns ago would see are dropped.
static void note_dsr_wire()
{
    if (sim.dsr_lag_ns == 0)
        return;
    auto& changes = sim.dsr_wire_changes;
    bool on = dsr_on_the_wire();
    if (changes.empty() || changes.back().second != on)
        changes.push_back({sim.now_ns, on});
    while (changes.size() > 1 && changes[1].first + sim.dsr_lag_ns <= sim.now_ns)
        changes.pop_front();
}

// The wire as it was dsr_lag_ns ago; before the first change noted, as it was then.
static bool dsr_lagged()
{
    if (sim.dsr_lag_ns == 0 || sim.dsr_wire_changes.empty())
        return dsr_on_the_wire();
    bool on = sim.dsr_wire_changes.front().second;
    for (const auto& change : sim.dsr_wire_changes)
        if (change.first + sim.dsr_lag_ns <= sim.now_ns)
            on = change.second;
    return on;
}

// A driver that reports a cached status refreshes it only every dsr_cache_ns.
static bool dsr_as_reported()
{
    if (sim.dsr_cache_ns == 0)
        return dsr_lagged();
    if (!sim.dsr_cache_valid || sim.now_ns - sim.dsr_cached_at_ns >= sim.dsr_cache_ns) {
        sim.dsr_cached = dsr_lagged();
        sim.dsr_cached_at_ns = sim.now_ns - sim.now_ns % sim.dsr_cache_ns;
        sim.dsr_cache_valid = true;
    }
    return sim.dsr_cached;
}

bool os_read_dsr(os_handle, bool& on)
{
    if (modem_call_fails("read DSR"))
        return false;
    on = dsr_as_reported();
    if (!sim.scripted_dsr.empty()) {
        on = sim.scripted_dsr.front();
        sim.scripted_dsr.pop_front();
    }
    record(sim_dsr, on);
    return true;
}

// The FT232R's outputs reach the chip as the serial port's lines would: a 0 bit is the line set.
static void ftdi_drive(std::uint8_t pins, std::uint64_t t_ns)
{
    advance_to(t_ns);
    bool break_on = (pins & os_pin_txd) == 0, rts_on = (pins & os_pin_rts) == 0;
    bool dtr_on = (pins & os_pin_dtr) == 0;
    if (break_on != sim.break_on) {
        sim.break_on = break_on;
        trace_event(sim_break, break_on);
        chip_line_sck(break_on, t_ns);
    }
    if (dtr_on != sim.dtr_on) {
        sim.dtr_on = dtr_on;
        trace_event(sim_dtr, dtr_on);
        chip_line_mosi(!dtr_on, t_ns);
    }
    if (rts_on != sim.rts_on) {
        sim.rts_on = rts_on;
        trace_event(sim_rts, rts_on);
        chip_line_reset(rts_on, t_ns);
    }
    note_dsr_wire();
}

// A lagging DSR is the wire's own here (a cable, a slow transceiver): the pins see it late.
static std::uint8_t ftdi_sense(std::uint64_t t_ns)
{
    advance_to(t_ns);
    return static_cast<std::uint8_t>(dsr_lagged() ? 0xFF & ~os_pin_dsr : 0xFF);
}

os_bitbang_use os_bitbang_wanted(int port_number)
{
    os_bitbang_use use = port_number == 1 || port_number == 2 ? sim.bitbang_use[port_number] : os_bitbang_off;
    if (use == os_bitbang_unable)
        os_note_failure("ftdi", "the FT232BM has no synchronous bit-bang", os_reason_other);
    return use;
}

// As the real ones do: the outputs given their first state at once, and its samples read so
// that none is left behind.
os_handle os_bitbang_open(int port_number, std::uint32_t byte_rate, std::uint8_t first_state,
                          os_bitbang_sizes& sizes)
{
    failure_text[0] = '\0';
    if (port_number < 1 || port_number > 2 || sim.bitbang_use[port_number] == os_bitbang_off
        || !sim.port_present[port_number]) {
        os_note_failure("ftdi_usb_open", "device not found", os_reason_missing);
        return os_no_handle;
    }
    if (sim.ftdi_refused) {
        os_note_failure("ftdi_usb_open", "usb_open() failed (LIBUSB_ERROR_ACCESS)", os_reason_denied);
        return os_no_handle;
    }
    if (sim.ftdi_held) {
        os_note_failure("ftdi", "/dev/ttyUSB0 is open in another program: minicom (pid 4242)", os_reason_busy);
        return os_no_handle;
    }
    trace_event(sim_open, true);
    const ftdi_chip& kind = *ftdi_chip_by_bcd(sim.ftdi_bcd_device);
    sim.ftdi.baud = ftdi_baud_for(kind, byte_rate);
    sim.ftdi.latency_ms = 1;
    ft232r_set_bitmode(sim.ftdi, os_pin_outputs, true, sim.now_ns);
    sizes.packet_states = static_cast<std::uint32_t>(sim.ftdi.packet_bytes - 2);
    sizes.chunk_states = ftdi_chunk_states(kind, sizes.packet_states);
    sim.ftdi_open = true;
    sizes.flight_states = sim.ftdi_flight_states;
    sim.ftdi.reading = true;
    sim.ftdi_samples.clear();
    std::uint8_t states[ft232r_packet_samples], samples[ft232r_packet_samples];
    for (auto& state : states)
        state = first_state;
    if (!os_bitbang_send(sim_ftdi_handle, states, ft232r_packet_samples)
        || !os_bitbang_receive(sim_ftdi_handle, samples, ft232r_packet_samples)) {
        os_bitbang_close(sim_ftdi_handle);
        return os_no_handle;
    }
    return sim_ftdi_handle;
}

// The states queued behind those in flight; the adapter takes them as it runs.
bool os_bitbang_send(os_handle, const std::uint8_t* states, std::uint32_t count)
{
    ++sim.ftdi_transfers;
    if (modem_call_fails("ftdi_write_data_submit"))
        return false;
    advance(0);
    ft232r_submit_out(sim.ftdi, states, count, sim.now_ns);
    return true;
}

// Virtual time runs on to each packet's arrival until COUNT samples are in, status bytes dropped.
bool os_bitbang_receive(os_handle, std::uint8_t* samples, std::uint32_t count)
{
    if (modem_call_fails("ftdi_transfer_data_done"))
        return false;
    std::uint64_t give_up = sim.now_ns + 1000000000u;
    while (sim.ftdi_samples.size() < count) {
        auto& arrived = sim.ftdi.to_host;
        if (!arrived.empty() && arrived.front().arrives_ns <= sim.now_ns) {
            sim.ftdi_samples.insert(sim.ftdi_samples.end(), arrived.front().bytes.begin() + 2, arrived.front().bytes.end());
            give_up = arrived.front().bytes.size() > 2 ? sim.now_ns + 1000000000u : give_up;
            arrived.pop_front();
            continue;
        }
        std::uint64_t next = ft232r_next_event_ns(sim.ftdi);
        if (next > give_up) {
            advance_to(give_up);
            static char words[96];
            std::snprintf(words, sizeof words, "the adapter sent %u of the %u samples due, then none for a second",
                          static_cast<unsigned>(sim.ftdi_samples.size()), static_cast<unsigned>(count));
            os_note_failure("ftdi_transfer_data_done", words, os_reason_other);
            return false;
        }
        advance_to(next);
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        samples[i] = sim.ftdi_samples.front();
        sim.ftdi_samples.pop_front();
    }
    return true;
}

void os_bitbang_close(os_handle)
{
    if (!sim.ftdi_open)
        return;
    ft232r_set_bitmode(sim.ftdi, 0, false, sim.now_ns);
    sim.ftdi_open = false;
    trace_event(sim_close, true);
}

const char* os_bitbang_description(os_handle)
{
    return sim.ftdi_devices.empty() ? "FT232R" : sim.ftdi_devices.front().c_str();
}

bool os_list_ftdi_devices(void (*seen)(const char* description))
{
    if (!sim.ftdi_library)
        return false;
    for (const auto& device : sim.ftdi_devices)
        seen(device.c_str());
    return true;
}

void os_catch_interrupts() { sim.interrupts_caught = true; }

bool os_interrupted() { return sim.interrupted; }

void os_console_unbuffered()
{
}
