// The flash and EEPROM image files: size limits, layout in the images, files that are
// not images, and how a file failure ends the run.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstring>
#include "devices/device_table.h"
#include "run/images.h"
#include "tests/lifecycle.h"
#include "tests/run_checks.h"

namespace {

using loader = bool (*)(const char*);

struct load_result {
    bool        ok;
    std::string out;
};

// Calls one loader as the run would, right after the chip of PART was identified.
load_result load(loader load_file, const std::string& path, chip_part part = part_attiny2313)
{
    fresh_bench(part);
    device_index = part == part_at90s2313 ? 0 : 1;
    testing::internal::CaptureStdout();
    bool ok = load_file(path.c_str());
    std::fflush(stdout);
    return {ok, testing::internal::GetCapturedStdout()};
}

const char* const flash_too_big = ">>> Size File > 2048 bytes\n";
const char* const eeprom_too_big = ">>> Size File > 127 bytes\n";
const char* const flash_not_found = ">>> File Flash Not Found\n";
const char* const eeprom_not_found = ">>> File EEPROM Not Found\n";

struct size_case {
    std::size_t size;
    const char* message;  // empty when the file loads
};

const size_case flash_sizes[] = {
    {0, ""}, {2, ""}, {2048, ""},
    {1, ">>> Size File Not Even\n"}, {3, ">>> Size File Not Even\n"},
    // the limit is tested before the parity
    {2049, flash_too_big}, {2050, flash_too_big},
};

const size_case eeprom_sizes[] = {
    {0, ""}, {5, ""}, {126, ""}, {127, ""},
    // with its length byte, a file of the full EEPROM size would need 129 bytes
    {128, eeprom_too_big}, {129, eeprom_too_big},
};

class FlashSize : public testing::TestWithParam<std::tuple<chip_part, size_case>> {};
class EepromSize : public testing::TestWithParam<std::tuple<chip_part, size_case>> {};

}  // namespace

TEST_P(FlashSize, LoadsWithinLimitAndEvenOnly)
{
    chip_part part = std::get<0>(GetParam());
    const size_case& c = std::get<1>(GetParam());
    std::vector<std::uint8_t> bytes = pattern_bytes(c.size, 3);
    std::string path = scratch_file("flash.bin", bytes);
    load_result r = load(load_flash_file, path, part);
    EXPECT_EQ(r.out, c.message);
    EXPECT_EQ(r.ok, *c.message == '\0');
    if (!r.ok)
        return;
    EXPECT_EQ(flash_file_size, static_cast<std::int32_t>(c.size));
    for (std::size_t i = 0; i < c.size / 2; ++i)
        ASSERT_EQ(flash_image[i], bytes[2 * i] | bytes[2 * i + 1] << 8) << "word " << i;
    for (std::size_t i = c.size / 2; i < flash_image_words; ++i)
        ASSERT_EQ(flash_image[i], 0) << "word " << i;
}

TEST_P(EepromSize, LengthByteThenFileBytes)
{
    chip_part part = std::get<0>(GetParam());
    const size_case& c = std::get<1>(GetParam());
    std::vector<std::uint8_t> bytes = pattern_bytes(c.size, 4);
    std::string path = scratch_file("ee.bin", bytes);
    load_result r = load(load_eeprom_file, path, part);
    EXPECT_EQ(r.out, c.message);
    EXPECT_EQ(r.ok, *c.message == '\0');
    if (!r.ok) {
        EXPECT_EQ(eeprom_count, 0);
        return;
    }
    EXPECT_EQ(eeprom_count, static_cast<std::int32_t>(c.size + 1));
    EXPECT_EQ(eeprom_image[0], c.size);
    for (std::size_t i = 0; i < c.size; ++i)
        ASSERT_EQ(eeprom_image[i + 1], bytes[i]) << "file byte " << i;
    for (std::size_t i = c.size + 1; i < eeprom_image_bytes; ++i)
        ASSERT_EQ(eeprom_image[i], 0) << "image byte " << i;
}

INSTANTIATE_TEST_SUITE_P(BothParts, FlashSize,
                         testing::Combine(testing::Values(part_at90s2313, part_attiny2313), testing::ValuesIn(flash_sizes)));
INSTANTIATE_TEST_SUITE_P(BothParts, EepromSize,
                         testing::Combine(testing::Values(part_at90s2313, part_attiny2313), testing::ValuesIn(eeprom_sizes)));

TEST(FlashImage, LowByteFirstInEachWord)
{
    load_result r = load(load_flash_file, scratch_file("flash.bin", {0x34, 0x12, 0xCD, 0xAB}));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(flash_image[0], 0x1234);
    EXPECT_EQ(flash_image[1], 0xABCD);
    EXPECT_EQ(flash_image[2], 0);
    EXPECT_EQ(flash_file_size, 4);
}

// Files that are not images: each fails as a file that cannot be opened, without blocking.
namespace {

enum not_an_image { missing, directory, fifo, null_device, sparse_4gib };

struct odd_file_case {
    const char*  label;
    not_an_image kind;
    loader       load_file;
    const char*  message;
};

const odd_file_case odd_files[] = {
    {"FlashMissing", missing, load_flash_file, flash_not_found},
    {"FlashDirectory", directory, load_flash_file, flash_not_found},
    {"FlashFifo", fifo, load_flash_file, flash_not_found},
    {"FlashDevNull", null_device, load_flash_file, flash_not_found},
    // 4 GiB + 2 bytes must not pass as a 2-byte image
    {"FlashSparse4GiB", sparse_4gib, load_flash_file, flash_too_big},
    {"EepromMissing", missing, load_eeprom_file, eeprom_not_found},
    {"EepromDirectory", directory, load_eeprom_file, eeprom_not_found},
    {"EepromFifo", fifo, load_eeprom_file, eeprom_not_found},
    {"EepromDevNull", null_device, load_eeprom_file, eeprom_not_found},
    {"EepromSparse4GiB", sparse_4gib, load_eeprom_file, eeprom_too_big},
};

std::string make_odd_file(not_an_image kind)
{
    std::string path = scratch_dir() + "/image";
    switch (kind) {
    case missing:
        break;
    case directory:
        mkdir(path.c_str(), 0700);
        break;
    case fifo:
        mkfifo(path.c_str(), 0600);
        break;
    case null_device:
        path = "/dev/null";
        break;
    case sparse_4gib: {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        EXPECT_EQ(ftruncate(fd, (static_cast<off_t>(1) << 32) + 2), 0);
        close(fd);
        break;
    }
    }
    return path;
}

class NotAnImage : public testing::TestWithParam<odd_file_case> {};

}  // namespace

TEST_P(NotAnImage, FailsWithTheStageMessage)
{
    const odd_file_case& c = GetParam();
    std::string path = make_odd_file(c.kind);
    alarm(20);  // a FIFO that blocked the open would otherwise hang the whole suite
    load_result r = load(c.load_file, path);
    alarm(0);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.out, c.message);
    EXPECT_EQ(eeprom_count, 0);
    if (c.kind == sparse_4gib)
        unlink(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(Kinds, NotAnImage, testing::ValuesIn(odd_files),
                         [](const testing::TestParamInfo<odd_file_case>& p) { return p.param.label; });

TEST(NotAnImage, UnreadableFlashIsNotFound)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root reads a file whatever its mode";
    std::string path = scratch_file("flash.bin", pattern_bytes(4));
    chmod(path.c_str(), 0);
    load_result r = load(load_flash_file, path);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.out, flash_not_found);
}

// Whole runs that end at a file: the banner, the one message, status 33, the port
// closed, and nothing programmed.
namespace {

constexpr int absent = -1;        // the path names no file
constexpr int not_given = -2;     // no EEPROM operand

struct file_run_case {
    const char* label;
    bool        locked_at90s2313; // identification erases first
    int         flash_size;
    int         eeprom_size;
    const char* message;
};

const file_run_case file_runs[] = {
    {"FlashMissing", false, absent, not_given, flash_not_found},
    {"FlashTooBig", false, 2049, not_given, flash_too_big},
    {"FlashOdd", false, 3, not_given, ">>> Size File Not Even\n"},
    {"EepromMissing", false, 34, absent, eeprom_not_found},
    {"EepromTooBig", false, 34, 128, eeprom_too_big},
    {"LockedFlashMissing", true, absent, not_given, flash_not_found},
    {"LockedEepromMissing", true, 34, absent, eeprom_not_found},
};

std::string image_path(const char* name, int size)
{
    if (size == absent)
        return scratch_dir() + "/" + name;
    return scratch_file(name, pattern_bytes(static_cast<std::size_t>(size), 5));
}

class FileFailureRun : public testing::TestWithParam<file_run_case> {};

}  // namespace

TEST_P(FileFailureRun, BannerThenMessageAndChipUntouched)
{
    const file_run_case& c = GetParam();
    fresh_bench(c.locked_at90s2313 ? part_at90s2313 : part_attiny2313);
    if (c.locked_at90s2313)
        chip.lock_bits = 0xFC;
    std::vector<std::string> operands = {"1", image_path("flash.bin", c.flash_size)};
    if (c.eeprom_size != not_given)
        operands.push_back(image_path("ee.bin", c.eeprom_size));

    run_result r = run_program(operands);

    std::string expected = c.locked_at90s2313
        ? ">>> Device LOCK\n>>> Device Erase\n\n>>> Device  AT90S2313 <<<\n"
        : "\n>>> Device  ATTINY2313 <<<\n";
    EXPECT_EQ(r.status, 33);
    EXPECT_EQ(r.out, expected + c.message);
    EXPECT_EQ(chip.counts.erases, c.locked_at90s2313 ? 1 : 0);
    EXPECT_TRUE(only_identification_frames());
    expect_chip_blank();
    expect_port_closed();
}

INSTANTIATE_TEST_SUITE_P(Files, FileFailureRun, testing::ValuesIn(file_runs),
                         [](const testing::TestParamInfo<file_run_case>& p) { return p.param.label; });

// Only an argument count of exactly four names an EEPROM file.
TEST(EepromOperand, IgnoredWithAFourthOperand)
{
    fresh_bench(part_attiny2313);
    std::string flash = scratch_file("flash.bin", pattern_bytes(34));
    run_result r = run_program({"1", flash, scratch_dir() + "/missing.bin", "extra"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(eeprom_count, 0);
    EXPECT_EQ(r.out.find("EEPROM"), std::string::npos);
    EXPECT_TRUE(frames_starting({0xC0}).empty());
    EXPECT_TRUE(frames_starting({0xA0}).empty());
}
