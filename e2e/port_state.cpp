// Copies the virtual chip to and from its fixed-width form in the shared state file.
#include "e2e/port_state.h"
#include <cstring>

void shared_chip_save(shared_chip& to)
{
    to.part = chip.part;
    to.out_of_step = chip.out_of_step;
    to.present = chip.present;
    to.reset_held = chip.reset_held;
    to.sck_high = chip.sck_high;
    to.mosi = chip.mosi;
    to.miso = chip.miso;
    to.enabled = chip.enabled;
    to.fuse_low = chip.fuse_low;
    to.fuse_high = chip.fuse_high;
    to.fuse_extended = chip.fuse_extended;
    to.lock_bits = chip.lock_bits;
    to.out_byte = chip.out_byte;
    to.lenient_timing = chip.lenient_timing;
    std::memcpy(to.frame, chip.frame, sizeof to.frame);
    to.bit_count = chip.bit_count;
    to.xtal_hz = chip.xtal_hz;
    to.clock_hz = chip.clock_hz;
    std::memcpy(to.calibration, chip.calibration, sizeof to.calibration);
    std::memcpy(to.eeprom_page, chip.eeprom_page, sizeof to.eeprom_page);
    to.eeprom_page_loaded = chip.eeprom_page_loaded;
    to.mosi_before = chip.mosi_before;
    to.rise_taken = chip.rise_taken;
    to.rise_bit = chip.rise_bit;
    to.busy_kind = static_cast<std::uint8_t>(chip.busy_kind);
    to.busy_high = chip.busy_high;
    to.busy_eeprom_mask = chip.busy_eeprom_mask;
    to.miso_stuck = static_cast<std::int8_t>(chip.faults.miso_stuck);
    to.mosi_miso_bridged = chip.faults.mosi_miso_bridged;
    to.no_clock = chip.faults.no_clock;
    to.slow_clock = chip.faults.slow_clock;
    to.busy_address = chip.busy_address;
    to.busy_until_ns = chip.busy_until_ns;
    to.busy_started_ns = chip.busy_started_ns;
    to.sck_changed_ns = chip.sck_changed_ns;
    to.mosi_changed_ns = chip.mosi_changed_ns;
    to.rise_ns = chip.rise_ns;
    std::memcpy(to.flash, chip.flash, sizeof to.flash);
    std::memcpy(to.eeprom, chip.eeprom, sizeof to.eeprom);
    std::memcpy(to.page_buffer, chip.page_buffer, sizeof to.page_buffer);
    to.executed = chip.counts.executed;
    to.ignored_busy = chip.counts.ignored_busy;
    to.ignored_locked = chip.counts.ignored_locked;
    to.ignored_unknown = chip.counts.ignored_unknown;
    to.mosi_changes_while_sck_high = chip.counts.mosi_changes_while_sck_high;
    to.erases = chip.counts.erases;
    to.programming_enables = chip.counts.programming_enables;
    to.short_phases = chip.counts.short_phases;
    to.mosi_setup_violations = chip.counts.mosi_setup_violations;
    to.reads_while_busy = chip.counts.reads_while_busy;
}

void shared_chip_load(const shared_chip& from)
{
    chip_new(static_cast<chip_part>(from.part));
    chip.out_of_step = from.out_of_step;
    chip.present = from.present;
    chip.reset_held = from.reset_held;
    chip.sck_high = from.sck_high;
    chip.mosi = from.mosi;
    chip.miso = from.miso;
    chip.enabled = from.enabled;
    chip.fuse_low = from.fuse_low;
    chip.fuse_high = from.fuse_high;
    chip.fuse_extended = from.fuse_extended;
    chip.lock_bits = from.lock_bits;
    chip.out_byte = from.out_byte;
    chip.lenient_timing = from.lenient_timing;
    std::memcpy(chip.frame, from.frame, sizeof chip.frame);
    chip.bit_count = from.bit_count;
    chip.xtal_hz = from.xtal_hz;
    chip.clock_hz = from.clock_hz;
    std::memcpy(chip.calibration, from.calibration, sizeof chip.calibration);
    std::memcpy(chip.eeprom_page, from.eeprom_page, sizeof chip.eeprom_page);
    chip.eeprom_page_loaded = from.eeprom_page_loaded;
    chip.mosi_before = from.mosi_before;
    chip.rise_taken = from.rise_taken;
    chip.rise_bit = from.rise_bit;
    chip.busy_kind = static_cast<chip_busy>(from.busy_kind);
    chip.busy_high = from.busy_high;
    chip.busy_eeprom_mask = from.busy_eeprom_mask;
    chip.faults.miso_stuck = from.miso_stuck;
    chip.faults.mosi_miso_bridged = from.mosi_miso_bridged;
    chip.faults.no_clock = from.no_clock;
    chip.faults.slow_clock = from.slow_clock;
    chip.busy_address = from.busy_address;
    chip.busy_until_ns = from.busy_until_ns;
    chip.busy_started_ns = from.busy_started_ns;
    chip.sck_changed_ns = from.sck_changed_ns;
    chip.mosi_changed_ns = from.mosi_changed_ns;
    chip.rise_ns = from.rise_ns;
    std::memcpy(chip.flash, from.flash, sizeof chip.flash);
    std::memcpy(chip.eeprom, from.eeprom, sizeof chip.eeprom);
    std::memcpy(chip.page_buffer, from.page_buffer, sizeof chip.page_buffer);
    chip.counts.executed = static_cast<long>(from.executed);
    chip.counts.ignored_busy = static_cast<long>(from.ignored_busy);
    chip.counts.ignored_locked = static_cast<long>(from.ignored_locked);
    chip.counts.ignored_unknown = static_cast<long>(from.ignored_unknown);
    chip.counts.mosi_changes_while_sck_high = static_cast<long>(from.mosi_changes_while_sck_high);
    chip.counts.erases = static_cast<long>(from.erases);
    chip.counts.programming_enables = static_cast<long>(from.programming_enables);
    chip.counts.short_phases = static_cast<long>(from.short_phases);
    chip.counts.mosi_setup_violations = static_cast<long>(from.mosi_setup_violations);
    chip.counts.reads_while_busy = static_cast<long>(from.reads_while_busy);
}
