// Writes the loaded flash image word by word or page by page, with a running count.
#include <cstdio>
#include "isp/isp.h"
#include "line/line.h"
#include "run/images.h"

static void print_word_count(std::int32_t word_number)
{
    std::printf("Program %4u\r", static_cast<unsigned>(word_number));
}

// An erased word already reads 0xFFFF, so a word-at-a-time chip is not sent one.
static void program_words(std::int32_t word_count)
{
    for (std::int32_t i = 0; i < word_count && !line_stopped(); ++i) {
        print_word_count(i + 1);
        if (flash_image[i] != 0xFFFF)
            write_flash_word(static_cast<std::uint16_t>(i), flash_image[i]);
    }
}

static void load_page(std::int32_t first_word, std::int32_t words)
{
    for (std::int32_t j = 0; j < words; ++j) {
        std::int32_t w = first_word + j;
        load_page_word(static_cast<std::uint16_t>(j), flash_image[w]);
        if (line_stopped())
            return;
        print_word_count(w + 1);
    }
}

// A partial last page is written with only its leading words loaded.
static void program_pages(const device_record& device, std::int32_t word_count)
{
    std::int32_t page_words = device.page_words;
    std::int32_t full_pages = word_count / page_words;
    std::int32_t left_over  = word_count % page_words;
    for (std::int32_t page = 0; page < full_pages && !line_stopped(); ++page) {
        load_page(page * page_words, page_words);
        write_page(device, page);
    }
    if (left_over != 0 && !line_stopped()) {
        load_page(full_pages * page_words, left_over);
        write_page(device, full_pages);
    }
}

void program_flash()
{
    const device_record& device = chosen_device();
    std::int32_t word_count = flash_file_size / 2;
    if (device.page_words == 1)
        program_words(word_count);
    else
        program_pages(device, word_count);
}
