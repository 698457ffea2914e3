// The command line and the order of the stages; every failure after the open ends
// through fail_run, which closes the port.
#include <cstdio>
#include <cstring>
#include "isp/isp.h"
#include "line/line.h"
#include "run/images.h"
#include "run/run.h"

int  port_number     = 1;
bool erased_at_start = false;

static int usage()
{
    std::printf("1[2] FLASH [EEPROM]\n");
    return exit_failure;
}

static int fail_run()
{
    port_close();
    return exit_failure;
}

static bool choose_port(const char* operand)
{
    if (std::strlen(operand) > 1)
        return false;
    if (operand[0] == '1')
        port_number = 1;
    else if (operand[0] == '2')
        port_number = 2;
    else
        return false;
    return true;
}

// Only an argument count of exactly 4 names an EEPROM file; more operands are ignored.
int run(int argc, char** argv)
{
    os_console_unbuffered();
    if (argc < 3 || !choose_port(argv[1]))
        return usage();
    if (!port_open(port_number)) {
        std::printf(">>> COM%1u Not Found\n", static_cast<unsigned>(port_number));
        return exit_failure;
    }
    if (!enter_programming_mode()) {
        std::printf(">>> Not synchronization\n");
        return fail_run();
    }
    if (!identify_device())
        return fail_run();
    if (!load_flash_file(argv[2]))
        return fail_run();
    if (argc == 4 && !load_eeprom_file(argv[3]))
        return fail_run();
    flash_pass();
    if (eeprom_count != 0)
        eeprom_pass();
    return finish_run();
}
