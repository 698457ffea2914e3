// A file that reads back shorter than its size said: the file services are replaced by
// stand-ins under which one file's end-of-file position claims more bytes than it holds.
#include <gtest/gtest.h>
#include "line/os.h"
#include "run/images.h"
#include "tests/lifecycle.h"
#include "tests/run_checks.h"

static std::string  lying_path;
static std::FILE*   lying_stream = nullptr;
static bool         lying_at_end = false;
constexpr long      claimed_extra = 6;

std::FILE* os_open_regular_file(const char* path)
{
    std::FILE* stream = std::fopen(path, "rb");
    if (path == lying_path)
        lying_stream = stream;
    return stream;
}

std::int64_t os_file_tell(std::FILE* stream)
{
    long extra = stream == lying_stream && lying_at_end ? claimed_extra : 0;
    return static_cast<std::int64_t>(std::ftell(stream) + extra);
}

bool os_file_seek(std::FILE* stream, std::int64_t offset, int whence)
{
    if (stream == lying_stream)
        lying_at_end = whence == SEEK_END && offset == 0;
    return std::fseek(stream, static_cast<long>(offset), whence) == 0;
}

namespace {

struct short_read_case {
    const char* label;
    bool        eeprom_lies;
    const char* message;
};

const short_read_case short_reads[] = {
    {"Flash", false, ">>> File Flash Read Error\n"},
    {"Eeprom", true, ">>> File EEPROM Read Error\n"},
};

class ShortRead : public testing::TestWithParam<short_read_case> {};

}  // namespace

TEST_P(ShortRead, EndsTheRunBeforeProgramming)
{
    const short_read_case& c = GetParam();
    fresh_bench(part_attiny2313);
    std::string flash = scratch_file("flash.bin", pattern_bytes(10));
    std::string ee = scratch_file("ee.bin", pattern_bytes(5));
    lying_path = c.eeprom_lies ? ee : flash;
    lying_stream = nullptr;

    run_result r = run_program({"1", flash, ee});
    lying_path.clear();
    lying_stream = nullptr;

    EXPECT_EQ(r.status, 33);
    EXPECT_EQ(r.out, std::string("\n>>> Device  ATTINY2313 <<<\n") + c.message);
    EXPECT_EQ(eeprom_count, 0);
    EXPECT_TRUE(only_identification_frames());
    EXPECT_EQ(chip.counts.erases, 0);
    expect_chip_blank();
    expect_port_closed();
}

INSTANTIATE_TEST_SUITE_P(Files, ShortRead, testing::ValuesIn(short_reads),
                         [](const testing::TestParamInfo<short_read_case>& p) { return p.param.label; });
