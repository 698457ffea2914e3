// Programming-mode entry, chip erase and the memory and configuration instructions.
// The chip is never polled: a write counts as done when its fixed wait has passed.
#include "isp/isp.h"
#include "line/line.h"

constexpr std::uint8_t programming_enable      = 0xAC;
constexpr std::uint8_t programming_enable_echo = 0x53;

static std::uint8_t high_byte(std::uint16_t value) { return static_cast<std::uint8_t>(value >> 8); }
static std::uint8_t low_byte(std::uint16_t value)  { return static_cast<std::uint8_t>(value & 0xFF); }

static void send_instruction(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4)
{
    send_byte(b1);
    send_byte(b2);
    send_byte(b3);
    send_byte(b4);
}

// A read sends three bytes and clocks the answer in where the fourth would go; the answer is
// taken later with byte_received.
static void read_instruction_later(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3)
{
    send_byte(b1);
    send_byte(b2);
    send_byte(b3);
    receive_byte_later();
}

static std::uint8_t read_instruction(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3)
{
    read_instruction_later(b1, b2, b3);
    return byte_received();
}

// The chip echoes 0x53 in the third byte once it is in step with our byte boundaries;
// extra pulses move the next attempt along the chip's frame: attempt k is k pulses along.
// A stopped line ends the attempts: its reads are all 1 bits and mean nothing.
//
// Each attempt after the first starts from a fresh reset, which ends programming mode: a
// chip whose echo does not reach us (MISO stuck, an adapter's stale DSR) may yet have been
// enabled, and would take the next attempts, shifted a bit along, as instructions; one of
// them is Write EEPROM C0 15 8A 7F.
bool enter_programming_mode_observed(std::uint8_t answers[entry_attempts], int& attempts)
{
    clock_pulse();
    rts_clear();
    wait_30ms();
    rts_set();
    wait_30ms();
    send_byte(programming_enable);
    send_byte(programming_enable_echo);
    attempts = 0;
    while (!line_stopped()) {
        answers[attempts] = receive_byte();
        if (answers[attempts] == programming_enable_echo) {
            ++attempts;
            send_byte(0x00);
            wait_8ms();
            return true;
        }
        send_byte(0x00);
        rts_clear();
        wait_1ms();
        rts_set();
        wait_30ms();
        for (int pulse = 0; pulse <= attempts; ++pulse)
            clock_pulse();
        send_byte(programming_enable);
        send_byte(programming_enable_echo);
        ++attempts;
        if (attempts >= entry_attempts)
            return false;
    }
    return false;
}

bool answers_all(const std::uint8_t answers[entry_attempts], int attempts, std::uint8_t value)
{
    for (int i = 0; i < attempts; ++i)
        if (answers[i] != value)
            return false;
    return true;
}

bool enter_programming_mode()
{
    std::uint8_t answers[entry_attempts];
    int attempts = 0;
    return enter_programming_mode_observed(answers, attempts);
}

// Chip Erase AC 80 04 00, then reset released and a fresh entry into programming mode.
void chip_erase()
{
    send_instruction(0xAC, 0x80, 0x04, 0x00);
    wait_30ms();
    wait_30ms();
    rts_clear();
    wait_30ms();
    enter_programming_mode();
}

// Read Signature Byte 30 00 aa, asked for address 2 first.
void read_signature(std::uint8_t signature[3])
{
    for (int address = 2; address >= 0; --address)
        signature[address] = read_instruction(0x30, 0x00, static_cast<std::uint8_t>(address));
}

// Read Program Memory 28 (high byte) then 20 (low byte), for COUNT words from ADDRESS on, all
// the instructions before any answer is taken.
void read_flash_words(std::uint16_t address, int count, std::uint16_t* words)
{
    for (int i = 0; i < count; ++i) {
        std::uint16_t at = static_cast<std::uint16_t>(address + i);
        read_instruction_later(0x28, high_byte(at), low_byte(at));
        read_instruction_later(0x20, high_byte(at), low_byte(at));
    }
    for (int i = 0; i < count; ++i) {
        std::uint8_t high = byte_received();
        words[i] = static_cast<std::uint16_t>((high << 8) | byte_received());
    }
}

std::uint16_t read_flash_word(std::uint16_t address)
{
    std::uint16_t word = 0;
    read_flash_words(address, 1, &word);
    return word;
}

// Write Program Memory 40 (low byte) then 48 (high byte), word by word.
void write_flash_word(std::uint16_t address, std::uint16_t word)
{
    send_instruction(0x40, high_byte(address), low_byte(address), low_byte(word));
    wait_8ms();
    send_instruction(0x48, high_byte(address), low_byte(address), high_byte(word));
    wait_8ms();
}

// Load Program Memory Page 40/48 00 jj: only the low 8 bits of the index are sent.
void load_page_word(std::uint16_t index, std::uint16_t word)
{
    send_instruction(0x40, 0x00, low_byte(index), low_byte(word));
    send_instruction(0x48, 0x00, low_byte(index), high_byte(word));
    wait_1ms();
}

// Write Program Memory Page 4C aa aa 00; the page number wraps on the page count.
void write_page(const device_record& device, std::int32_t page)
{
    std::int32_t pages = device.flash_bytes / (2 * device.page_words);
    std::uint16_t mask = static_cast<std::uint16_t>(pages - 1);
    std::uint16_t address = static_cast<std::uint16_t>((page & mask) << device.page_shift);
    send_instruction(0x4C, high_byte(address), low_byte(address), 0x00);
    wait_8ms();
}

// Read EEPROM Memory A0 aa aa, for COUNT bytes from ADDRESS on.
void read_eeprom_bytes(std::uint16_t address, int count, std::uint8_t* bytes)
{
    for (int i = 0; i < count; ++i) {
        std::uint16_t at = static_cast<std::uint16_t>(address + i);
        read_instruction_later(0xA0, high_byte(at), low_byte(at));
    }
    for (int i = 0; i < count; ++i)
        bytes[i] = byte_received();
}

std::uint8_t read_eeprom_byte(std::uint16_t address)
{
    std::uint8_t value = 0;
    read_eeprom_bytes(address, 1, &value);
    return value;
}

// Write EEPROM Memory C0 aa aa dd.
void write_eeprom_byte(std::uint16_t address, std::uint8_t value)
{
    send_instruction(0xC0, high_byte(address), low_byte(address), value);
    wait_8ms();
}

// Write Fuse bits AC A0 00 vv.
void write_fuse_low(std::uint8_t value)
{
    send_instruction(0xAC, 0xA0, 0x00, value);
    wait_30ms();
}

// Write Fuse High bits AC A8 00 vv.
void write_fuse_high(std::uint8_t value)
{
    send_instruction(0xAC, 0xA8, 0x00, value);
    wait_30ms();
}

// Read Fuse bits 50 00, Read Fuse High bits 58 08, Read Extended Fuse bits 50 08, Read
// Lock bits 58 00 (the ATtiny2313's).
std::uint8_t read_fuse_low()      { return read_instruction(0x50, 0x00, 0x00); }
std::uint8_t read_fuse_high()     { return read_instruction(0x58, 0x08, 0x00); }
std::uint8_t read_fuse_extended() { return read_instruction(0x50, 0x08, 0x00); }
std::uint8_t read_lock_byte()     { return read_instruction(0x58, 0x00, 0x00); }

// Write Lock bits: the AT90S2313 takes them in byte 2 (bits 2 and 1), the ATtiny2313
// in byte 4 (bits 1 and 0). An unknown format sends nothing but still waits.
void write_lock_bits(const device_record& device, std::uint8_t value)
{
    if (device.lock_format == 0)
        send_instruction(0xAC, static_cast<std::uint8_t>((value & 0x06) | 0xE0), 0x00, 0x00);
    else if (device.lock_format == 1)
        send_instruction(0xAC, 0xE0, 0x00, static_cast<std::uint8_t>((value & 0x3F) | 0xC0));
    wait_30ms();
}
