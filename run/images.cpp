// Loads the flash and EEPROM image files and checks them against the chosen device.
#include <cstdio>
#include "devices/device_table.h"
#include "line/os.h"
#include "run/images.h"
#include "run/intel_hex.h"

static_assert(2 * flash_image_words <= hex_memory_limit, "a HEX file can fill the whole flash image");

std::uint16_t flash_image[flash_image_words];
std::int32_t  flash_file_size = 0;
std::uint8_t  eeprom_image[eeprom_image_bytes];
std::int32_t  eeprom_count = 0;

// Sizes are taken in 64 bits: a 32-bit size would let a file of 4 GiB + 2 bytes pass
// as a 2-byte image.
std::int64_t file_size(std::FILE* stream)
{
    std::int64_t here = os_file_tell(stream);
    os_file_seek(stream, 0, SEEK_END);
    std::int64_t size = os_file_tell(stream);
    os_file_seek(stream, here, SEEK_SET);
    return size;
}

// A raw file's size; or a HEX file read at once into IMAGE and the size of the image it
// gives, which then meets every rule that a raw file of those bytes meets. Where a HEX
// file breaks its format, standard error says which line and why.
static bool image_size(std::FILE* stream, const char* path, bool hex, std::uint8_t* image, std::int32_t capacity,
                       std::int32_t memory, std::int32_t unit, std::int64_t& size)
{
    if (!hex) {
        size = file_size(stream);
        return true;
    }
    std::int32_t image_bytes = 0;
    hex_failure failure;
    if (!hex_read(stream, image, capacity, memory, unit, image_bytes, failure)) {
        std::fprintf(stderr, "isp2313: %s:%ld: %s\n", path, failure.line, failure.reason);
        return false;
    }
    size = image_bytes;
    return true;
}

// Only regular files are images: a FIFO would hang the open, a directory or a device
// reports a size that means nothing.
bool load_flash_file(const char* path)
{
    std::FILE* stream = os_open_regular_file(path);
    if (stream == nullptr) {
        std::printf(">>> File Flash Not Found\n");
        return false;
    }
    const device_record& device = chosen_device();
    bool hex = hex_file_name(path);
    std::int64_t size = 0;
    if (!image_size(stream, path, hex, reinterpret_cast<std::uint8_t*>(flash_image), device.flash_bytes,
                    device.flash_bytes, 2, size)) {
        std::fclose(stream);
        std::printf(">>> File Flash Read Error\n");
        return false;
    }
    if (device.flash_bytes < size) {
        std::fclose(stream);
        std::printf(">>> Size File > %u bytes\n", static_cast<unsigned>(device.flash_bytes));
        return false;
    }
    if (size % 2 != 0) {
        std::fclose(stream);
        std::printf(">>> Size File Not Even\n");
        return false;
    }
    flash_file_size = static_cast<std::int32_t>(size);
    // Word i takes bytes 2i (low) and 2i + 1 (high) on the little-endian hosts we build for.
    std::size_t got = static_cast<std::size_t>(size);
    if (!hex)
        got = std::fread(flash_image, 1, got, stream);
    std::fclose(stream);
    if (got != static_cast<std::size_t>(size)) {
        std::printf(">>> File Flash Read Error\n");
        return false;
    }
    return true;
}

// The image holds the length byte and at most 127 file bytes, so a file of the
// device's full EEPROM size cannot be taken: it would need one byte more than both have.
bool load_eeprom_file(const char* path)
{
    std::FILE* stream = os_open_regular_file(path);
    if (stream == nullptr) {
        std::printf(">>> File EEPROM Not Found\n");
        return false;
    }
    std::int32_t limit = chosen_device().eeprom_bytes - 1;
    bool hex = hex_file_name(path);
    std::int64_t size = 0;
    if (!image_size(stream, path, hex, eeprom_image + 1, limit, chosen_device().eeprom_bytes, 1, size)) {
        std::fclose(stream);
        std::printf(">>> File EEPROM Read Error\n");
        return false;
    }
    if (size < 0) {
        std::fclose(stream);
        std::printf(">>> File EEPROM Not Found\n");
        return false;
    }
    if (limit < size) {
        std::fclose(stream);
        std::printf(">>> Size File > %u bytes\n", static_cast<unsigned>(limit));
        return false;
    }
    eeprom_image[0] = static_cast<std::uint8_t>(size & 0xFF);
    std::size_t got = static_cast<std::size_t>(size);
    if (!hex)
        got = std::fread(eeprom_image + 1, 1, got, stream);
    std::fclose(stream);
    if (got != static_cast<std::size_t>(size)) {
        std::printf(">>> File EEPROM Read Error\n");
        return false;
    }
    eeprom_count = static_cast<std::int32_t>(size) + 1;
    return true;
}
