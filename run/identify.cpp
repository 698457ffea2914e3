// Device identification: signature, the locked-chip erase, the table lookup, the banner.
#include <cstdio>
#include "devices/device_table.h"
#include "isp/isp.h"
#include "line/line.h"
#include "run/run.h"

static bool reads_as(const std::uint8_t signature[3], std::uint8_t b0, std::uint8_t b1, std::uint8_t b2)
{
    return signature[0] == b0 && signature[1] == b1 && signature[2] == b2;
}

// A locked AT90S2313 hides its signature behind 00 01 02; it is erased once and read
// again, and that second reading goes straight to the lookup. Over a stopped line the
// readings mean nothing: the run driver reports why the line stopped instead.
bool identify_device()
{
    std::uint8_t signature[3];
    read_signature(signature);
    if (line_stopped())
        return false;
    if (reads_as(signature, 0xFF, 0xFF, 0xFF)) {
        std::printf(">>> Device Not Found\n");
        return false;
    }
    if (reads_as(signature, 0x00, 0x01, 0x02)) {
        std::printf(">>> Device LOCK\n");
        std::printf(">>> Device Erase\n");
        chip_erase();
        erased_at_start = true;
        read_signature(signature);
        if (line_stopped())
            return false;
    }
    int row = find_device(signature);
    if (row < 0) {
        std::printf(">>> Device Not Found\n");
        return false;
    }
    device_index = row;
    std::printf("\n>>> Device  %s <<<\n", device_table[row].name);
    return true;
}
