// Intel HEX image files: the name test, the line reader and the record checks.
#include "run/intel_hex.h"
#include <cctype>
#include <cstring>

enum hex_record_type {
    record_data = 0x00,
    record_end_of_file = 0x01,
    record_segment_address = 0x02,   // base = value * 16
    record_segment_start = 0x03,     // a start address: nothing to program
    record_linear_address = 0x04,    // base = value << 16
    record_linear_start = 0x05,
};

// One line and its decoded bytes; a bit per memory byte says which a record has written.
static char         line_text[hex_line_limit + 2];
static std::uint8_t record[(hex_line_limit - 1) / 2];
static std::uint8_t written[hex_memory_limit / 8];

bool hex_file_name(const char* path)
{
    static const char* const endings[] = {".hex", ".ihx", ".ihex", ".eep"};
    std::size_t length = std::strlen(path);
    for (const char* ending : endings) {
        std::size_t n = std::strlen(ending);
        if (length < n)
            continue;
        bool same = true;
        for (std::size_t i = 0; i < n; ++i)
            same = same && std::tolower(static_cast<unsigned char>(path[length - n + i])) == ending[i];
        if (same)
            return true;
    }
    return false;
}

static bool fail(hex_failure& failure, const char* format, unsigned a = 0, unsigned b = 0, unsigned c = 0)
{
    std::snprintf(failure.reason, sizeof failure.reason, format, a, b, c);
    return false;
}

enum line_result { line_read, line_none, line_too_long, line_unreadable };

// The next line without its line end ("\n" or "\r\n") in line_text; LENGTH its characters.
static line_result read_line(std::FILE* stream, int& length)
{
    length = 0;
    int c = EOF;
    bool any = false;
    while ((c = std::getc(stream)) != EOF && c != '\n') {
        any = true;
        if (length == hex_line_limit + 1)
            return line_too_long;
        line_text[length++] = static_cast<char>(c);
    }
    if (std::ferror(stream))
        return line_unreadable;
    if (!any && c == EOF)
        return line_none;
    if (length > 0 && line_text[length - 1] == '\r')
        --length;
    return length > hex_line_limit ? line_too_long : line_read;
}

static int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Decodes the line's hex digit pairs into record[] and checks the count and the checksum.
static bool decode(int length, hex_failure& failure)
{
    if (line_text[0] != ':')
        return fail(failure, "the line does not start with ':'");
    for (int i = 1; i < length; ++i)
        if (hex_digit(line_text[i]) < 0)
            return fail(failure, "character %u is not a hex digit", static_cast<unsigned>(i + 1));
    if (length % 2 == 0)
        return fail(failure, "an odd number of hex digits");
    int count = (length - 1) / 2;
    if (count < 5)
        return fail(failure, "a record too short for its count, address, type and checksum");
    unsigned sum = 0;
    for (int i = 0; i < count; ++i) {
        record[i] = static_cast<std::uint8_t>(hex_digit(line_text[1 + 2 * i]) << 4 | hex_digit(line_text[2 + 2 * i]));
        sum += record[i];
    }
    if (record[0] != count - 5)
        return fail(failure, "the count byte says %u data bytes, the record holds %u", record[0],
                    static_cast<unsigned>(count - 5));
    if ((sum & 0xFF) != 0)
        return fail(failure, "checksum 0x%02X is wrong, 0x%02X makes the record sum to 0", record[count - 1],
                    (record[count - 1] - sum) & 0xFF);
    return true;
}

namespace {

struct hex_reader {
    std::uint8_t* image;
    std::int32_t  capacity, memory;
    std::uint32_t base;          // from the last extended address record
    std::int32_t  end;           // one past the highest address written
    bool          ended;         // the end-of-file record has been read
};

}  // namespace

static bool store_data(hex_reader& reader, const std::uint8_t* data, unsigned n, unsigned offset, hex_failure& failure)
{
    for (unsigned i = 0; i < n; ++i) {
        // No wrap at 64 KiB: a record that runs past a segment's end runs past the memory's.
        std::uint64_t address = static_cast<std::uint64_t>(reader.base) + offset + i;
        if (address >= static_cast<std::uint64_t>(reader.memory))
            return fail(failure, "address 0x%04X lies outside the memory's %u bytes", static_cast<unsigned>(address),
                        static_cast<unsigned>(reader.memory));
        std::int32_t at = static_cast<std::int32_t>(address);
        if (at < reader.capacity) {
            bool seen = written[at / 8] >> (at % 8) & 1;
            if (seen && reader.image[at] != data[i])
                return fail(failure, "address 0x%04X is given 0x%02X here and 0x%02X by an earlier record",
                            static_cast<unsigned>(at), data[i], reader.image[at]);
            reader.image[at] = data[i];
            written[at / 8] = static_cast<std::uint8_t>(written[at / 8] | 1 << (at % 8));
        }
        if (at + 1 > reader.end)
            reader.end = at + 1;
    }
    return true;
}

static bool take_record(hex_reader& reader, hex_failure& failure)
{
    unsigned n = record[0];
    unsigned offset = static_cast<unsigned>(record[1] << 8 | record[2]);
    const std::uint8_t* data = record + 4;
    if (reader.ended)
        return fail(failure, "a record after the end-of-file record");
    switch (record[3]) {
    case record_data:
        return store_data(reader, data, n, offset, failure);
    case record_end_of_file:
        if (n != 0)
            return fail(failure, "an end-of-file record with %u data bytes", n);
        reader.ended = true;
        return true;
    case record_segment_address:
    case record_linear_address:
        if (n != 2)
            return fail(failure, "an extended address record (type %02X) with %u data bytes, not 2", record[3], n);
        reader.base = static_cast<std::uint32_t>(data[0] << 8 | data[1]);
        reader.base <<= record[3] == record_segment_address ? 4 : 16;
        return true;
    case record_segment_start:
    case record_linear_start:
        if (n != 4)
            return fail(failure, "a start address record (type %02X) with %u data bytes, not 4", record[3], n);
        return true;
    default:
        return fail(failure, "record type %02X is not one of 00 to 05", record[3]);
    }
}

bool hex_read(std::FILE* stream, std::uint8_t* image, std::int32_t capacity, std::int32_t memory, std::int32_t unit,
              std::int32_t& image_bytes, hex_failure& failure)
{
    if (memory > hex_memory_limit)
        memory = hex_memory_limit;
    if (capacity > memory)
        capacity = memory;
    hex_reader reader{image, capacity, memory, 0, 0, false};
    std::memset(written, 0, sizeof written);
    failure.line = 0;
    failure.reason[0] = '\0';
    for (;;) {
        int length = 0;
        line_result got = read_line(stream, length);
        if (got == line_none)
            break;
        ++failure.line;
        if (got == line_unreadable)
            return fail(failure, "the file cannot be read");
        if (got == line_too_long)
            return fail(failure, "a line longer than the longest record (%u characters)", hex_line_limit);
        if (length == 0)
            continue;
        if (!decode(length, failure) || !take_record(reader, failure))
            return false;
    }
    if (!reader.ended) {
        ++failure.line;
        return fail(failure, "the file ends without an end-of-file record (:00000001FF)");
    }
    if (unit > 1 && reader.end % unit != 0)
        reader.end += unit - reader.end % unit;
    for (std::int32_t at = 0; at < reader.end && at < reader.capacity; ++at)
        if (!(written[at / 8] >> (at % 8) & 1))
            image[at] = 0xFF;
    image_bytes = reader.end;
    return true;
}
