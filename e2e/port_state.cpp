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
    std::memcpy(to.frame, chip.frame, sizeof to.frame);
    to.bit_count = chip.bit_count;
    to.busy_until_ns = chip.busy_until_ns;
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
    std::memcpy(chip.frame, from.frame, sizeof chip.frame);
    chip.bit_count = from.bit_count;
    chip.busy_until_ns = from.busy_until_ns;
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
}
