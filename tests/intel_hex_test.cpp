// Intel HEX image files: the records taken, the image they give, every way a file is
// refused (line and reason on standard error), and that a HEX pair programs the chip
// exactly as the raw images of the same bytes do.
#include <gtest/gtest.h>
#include <cstring>
#include "devices/device_table.h"
#include "run/images.h"
#include "run/intel_hex.h"
#include "tests/lifecycle.h"

namespace {

// A record with its count and checksum worked out.
std::string record(unsigned type, unsigned address, std::vector<unsigned> data = {})
{
    std::vector<unsigned> bytes = {static_cast<unsigned>(data.size()), address >> 8 & 0xFF, address & 0xFF, type};
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (unsigned b : bytes)
        sum += b;
    bytes.push_back(-sum & 0xFF);
    std::string text = ":";
    char digits[3];
    for (unsigned b : bytes) {
        std::snprintf(digits, sizeof digits, "%02X", b);
        text += digits;
    }
    return text + "\n";
}

const std::string end_record = ":00000001FF\n";

// COUNT bytes of VALUE, then TAIL.
std::vector<std::uint8_t> run_then(std::size_t count, std::uint8_t value, std::vector<std::uint8_t> tail)
{
    tail.insert(tail.begin(), count, value);
    return tail;
}

enum memory { flash, eeprom };

struct hex_case {
    const char*               label;
    memory                    into;
    std::string               text;
    std::vector<std::uint8_t> image;     // the image bytes when the file is taken
    long                      line;      // else the line refused (0: a size message)
    const char*               reason;    // part of the reason, or the size message
};

const hex_case hex_cases[] = {
    // taken
    {"DataAtZero", flash, record(0, 0, {0x12, 0xC0}) + end_record, {0x12, 0xC0}, 0, ""},
    {"GapsAreErasedBytes", flash, record(0, 4, {0xAA, 0xBB}) + record(0, 0, {0x01}) + end_record,
     {0x01, 0xFF, 0xFF, 0xFF, 0xAA, 0xBB}, 0, ""},
    {"FlashRoundedToAWord", flash, record(0, 0, {0x01, 0x02, 0x03}) + end_record, {0x01, 0x02, 0x03, 0xFF}, 0, ""},
    {"OnlyTheEndRecord", flash, end_record, {}, 0, ""},
    {"LowerCaseCrLfAndBlankLines", eeprom, ":02000000fa0004\r\n\r\n:00000001ff\r\n\n", {0xFA, 0x00}, 0, ""},
    {"ZeroBasesAndStartAddresses", flash,
     record(4, 0, {0, 0}) + record(2, 0, {0, 0}) + record(0, 0, {0x34, 0x12}) + record(3, 0, {0, 0, 0, 0})
         + record(5, 0, {0, 0, 0, 0}) + end_record,
     {0x34, 0x12}, 0, ""},
    {"SameDataTwiceIsOneImage", flash, record(0, 0, {0x01, 0x02}) + record(0, 1, {0x02, 0x03}) + end_record,
     {0x01, 0x02, 0x03, 0xFF}, 0, ""},
    {"LastFlashWord", flash, record(0, 0x7FE, {0x55, 0x66}) + end_record, run_then(2046, 0xFF, {0x55, 0x66}), 0, ""},
    {"LongestRecord", flash, record(0, 0, std::vector<unsigned>(255, 0x11)) + end_record,
     run_then(255, 0x11, {0xFF}), 0, ""},
    // the size rules of a raw file of the image's bytes
    {"EepromOf128Bytes", eeprom, record(0, 0x7F, {0x01}) + end_record, {}, 0, ">>> Size File > 127 bytes\n"},
    // refused: the line and what is wrong with it
    {"NoColon", flash, "02000000FA0004\n" + end_record, {}, 1, "does not start with ':'"},
    {"NotAHexDigit", flash, record(0, 0, {1}) + ":0100000G01FE\n" + end_record, {}, 2, "character 9 is not a hex digit"},
    {"OddDigitCount", flash, ":0100000001FE0\n" + end_record, {}, 1, "odd number of hex digits"},
    {"TooShort", flash, ":0000FF\n", {}, 1, "too short"},
    {"BadChecksum", flash, record(0, 0, {1, 2}) + ":0200000001020A\n" + end_record, {}, 2,
     "checksum 0x0A is wrong, 0xFB makes"},
    {"CountDisagrees", flash, ":030000000102FA\n" + end_record, {}, 1, "says 3 data bytes, the record holds 2"},
    {"UnknownType", flash, record(6, 0, {}) + end_record, {}, 1, "type 06"},
    {"EndWithData", flash, ":01000001AA54\n", {}, 1, "end-of-file record with 1 data bytes"},
    {"NoEndRecord", flash, record(0, 0, {1, 2}), {}, 2, "without an end-of-file record"},
    {"EmptyFile", eeprom, "", {}, 1, "without an end-of-file record"},
    {"RecordAfterTheEnd", flash, end_record + record(0, 0, {1, 2}), {}, 2, "after the end-of-file record"},
    {"PastTheFlash", flash, record(0, 0x7FF, {1, 2}) + end_record, {}, 1, "address 0x0800 lies outside the memory's 2048"},
    {"PastTheEeprom", eeprom, record(0, 0x80, {1}) + end_record, {}, 1, "address 0x0080 lies outside the memory's 128"},
    // the EEPROM section of a whole ELF converted: it sits at 0x810000
    {"LinearBaseOfTheEepromSection", flash, record(4, 0, {0x00, 0x81}) + record(0, 0, {1, 2}) + end_record, {}, 2,
     "address 0x810000"},
    {"SegmentBaseDoesNotWrap", flash, record(2, 0, {0x10, 0x00}) + record(0, 0, {1, 2}) + end_record, {}, 2,
     "address 0x10000"},
    {"ConflictingData", flash, record(0, 2, {1, 2}) + record(0, 0, {9, 9, 9, 9}) + end_record, {}, 2,
     "address 0x0002 is given 0x09 here and 0x01 by an earlier record"},
    {"ExtendedAddressOfOneByte", flash, record(4, 0, {0}) + end_record, {}, 1, "with 1 data bytes, not 2"},
    {"LineLongerThanAnyRecord", flash, ":" + std::string(hex_line_limit, '0') + "\n" + end_record, {}, 1,
     "longer than the longest record (521 characters)"},
};

class HexFile : public testing::TestWithParam<hex_case> {};

void PrintTo(const hex_case& c, std::ostream* out)
{
    *out << c.label;
}

}  // namespace

TEST_P(HexFile, GivesTheImageOrSaysWhichLineAndWhy)
{
    const hex_case& c = GetParam();
    fresh_bench(part_attiny2313);
    device_index = 1;
    std::string path = scratch_file(c.into == flash ? "image.hex" : "image.eep",
                                    std::vector<std::uint8_t>(c.text.begin(), c.text.end()));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    bool ok = c.into == flash ? load_flash_file(path.c_str()) : load_eeprom_file(path.c_str());
    std::fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();

    if (c.line != 0) {
        EXPECT_FALSE(ok);
        EXPECT_EQ(out, c.into == flash ? ">>> File Flash Read Error\n" : ">>> File EEPROM Read Error\n");
        std::string where = "isp2313: " + path + ":" + std::to_string(c.line) + ": ";
        EXPECT_EQ(err.rfind(where, 0), 0u) << err;
        EXPECT_NE(err.find(c.reason), std::string::npos) << err;
        EXPECT_EQ(eeprom_count, 0);
        return;
    }
    if (*c.reason != '\0') {
        EXPECT_FALSE(ok);
        EXPECT_EQ(out, c.reason);
        EXPECT_EQ(err, "");
        return;
    }
    ASSERT_TRUE(ok) << out << err;
    EXPECT_EQ(err, "");
    if (c.into == flash) {
        ASSERT_EQ(flash_file_size, static_cast<std::int32_t>(c.image.size()));
        const std::uint8_t* bytes = reinterpret_cast<const std::uint8_t*>(flash_image);
        for (std::size_t i = 0; i < 2 * flash_image_words; ++i)
            ASSERT_EQ(bytes[i], i < c.image.size() ? c.image[i] : 0) << "byte " << i;
    } else {
        ASSERT_EQ(eeprom_count, static_cast<std::int32_t>(c.image.size() + 1));
        EXPECT_EQ(eeprom_image[0], c.image.size());
        EXPECT_TRUE(std::equal(c.image.begin(), c.image.end(), eeprom_image + 1));
    }
}

INSTANTIATE_TEST_SUITE_P(Records, HexFile, testing::ValuesIn(hex_cases),
                         [](const testing::TestParamInfo<hex_case>& p) { return p.param.label; });

// The name alone decides: HEX endings in any case; any other name is raw, even a file of records.
TEST(HexFileName, EndingsInAnyCaseElseRaw)
{
    for (const char* name : {"a.hex", "A.HEX", "b.Ihx", "c.ihex", "main.eep", "dir.bin/x.EEP"})
        EXPECT_TRUE(hex_file_name(name)) << name;
    for (const char* name : {"a.bin", "hex", "a.hex.bin", "a.he", "eep", "a.eeprom"})
        EXPECT_FALSE(hex_file_name(name)) << name;

    fresh_bench(part_attiny2313);
    device_index = 1;
    std::string text = record(0, 0, {1, 2}) + end_record;
    std::string path = scratch_file("records.bin", std::vector<std::uint8_t>(text.begin(), text.end()));
    testing::internal::CaptureStdout();
    EXPECT_TRUE(load_flash_file(path.c_str()));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(flash_file_size, static_cast<std::int32_t>(text.size()));
    EXPECT_EQ(flash_image[0], ':' | '0' << 8) << "programmed as the text it is";
}

// avr-objcopy's HEX files of the example leave the chip exactly as its raw images do.
TEST(HexFile, TheExampleProgramsAsItsRawImages)
{
    const std::string dir = std::string(EXAMPLES_DIR) + "/blink/";
    for (chip_part part : {part_attiny2313, part_at90s2313}) {
        fresh_bench(part);
        run_result raw = run_program({"1", dir + "blink.flash.bin", dir + "blink.eeprom.bin"});
        virtual_chip from_raw = chip;
        fresh_bench(part);
        run_result hex = run_program({"1", dir + "blink.hex", dir + "blink.eep"});
        EXPECT_EQ(raw.status, 0);
        EXPECT_EQ(hex.status, 0);
        EXPECT_EQ(hex.out, raw.out);
        EXPECT_EQ(std::memcmp(chip.flash, from_raw.flash, sizeof chip.flash), 0);
        EXPECT_EQ(std::memcmp(chip.eeprom, from_raw.eeprom, sizeof chip.eeprom), 0);
        EXPECT_EQ(chip.fuse_low, from_raw.fuse_low);
        EXPECT_EQ(chip.fuse_high, from_raw.fuse_high);
        EXPECT_EQ(chip.lock_bits, from_raw.lock_bits);
    }
}
