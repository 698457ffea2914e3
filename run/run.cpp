// The command line and the order of the stages; every failure after the open ends
// through fail_run, which closes the port.
#include <cstdio>
#include <cstring>
#include "isp/isp.h"
#include "line/line.h"
#include "run/images.h"
#include "run/port_help.h"
#include "run/run.h"

int  port_number     = 1;
const char* program_name = "isp2313";
bool erased_at_start = false;

static int usage()
{
    std::printf("1[2] FLASH [EEPROM]\n");
    return exit_failure;
}

// A stage that stopped because the port was lost or the run was interrupted gives way to
// that message; the port is closed first, which releases the chip's reset line.
static int fail_run(const char* message = nullptr)
{
    bool lost = line_lost, interrupted = !lost && line_interrupted();
    if (lost)
        std::fprintf(stderr, "isp2313: the port stopped answering: %s\n", os_failure());
    port_close();
    if (lost) {
        std::printf("\n>>> COM%1u Lost\n", static_cast<unsigned>(port_number));
    } else if (interrupted) {
        std::printf("\n>>> Interrupted\n");
    } else if (message != nullptr) {
        std::printf("%s", message);
    }
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
// An interrupt before the port is open ends the run with nothing to close.
int run(int argc, char** argv)
{
    os_console_unbuffered();
    os_catch_interrupts();
    if (argc < 3 || !choose_port(argv[1]))
        return usage();
    if (line_interrupted())
        return fail_run();
    if (!port_open(port_number)) {
        if (line_interrupted())
            return fail_run();
        std::printf(">>> COM%1u Not Found\n", static_cast<unsigned>(port_number));
        explain_port_failure(port_number);
        return exit_failure;
    }
    explain_bitbang_fallback(port_number);
    std::uint8_t answers[entry_attempts];
    int attempts = 0;
    if (!enter_programming_mode_observed(answers, attempts)) {
        bool chip_silent = !line_stopped();
        bool dsr_moved = !answers_all(answers, attempts, 0xFF) && !answers_all(answers, attempts, 0x00);
        int  status = fail_run(">>> Not synchronization\n");
        if (chip_silent)
            suggest_probe(port_number, dsr_moved);
        return status;
    }
    if (!identify_device())
        return fail_run();
    if (!load_flash_file(argv[2]))
        return fail_run();
    if (argc == 4 && !load_eeprom_file(argv[3]))
        return fail_run();
    if (!flash_pass())
        return fail_run();
    if (eeprom_count != 0 && !eeprom_pass())
        return fail_run();
    if (!finish_run())
        return fail_run();
    return exit_success;
}
