// The platform seam on Linux and other POSIX systems: termios port, modem-line ioctls, CLOCK_MONOTONIC.
#include "line/os.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include "line/os_note.h"
#include "line/port_name.h"

#ifndef ISP2313_PORT1
#define ISP2313_PORT1 "/dev/ttyS0"
#endif
#ifndef ISP2313_PORT2
#define ISP2313_PORT2 "/dev/ttyS1"
#endif

static int fd_of(os_handle port) { return static_cast<int>(port - 1); }

static char      failure_text[256];
static os_reason failure_reason = os_reason_other;
static volatile std::sig_atomic_t interrupt_seen = 0;

static os_reason reason_of(int error)
{
    if (error == ENOENT || error == ENODEV || error == ENXIO)
        return os_reason_missing;
    if (error == EACCES || error == EPERM)
        return os_reason_denied;
    if (error == EBUSY || error == EAGAIN || error == EWOULDBLOCK)
        return os_reason_busy;
    return os_reason_other;
}

// Keeps CALL and WORDS for os_failure. Only the first failure since the open is kept: the
// calls that try to release the lines after it fail too, but it is the one that says why.
// The FTDI file beside this one reports its failures here too.
void os_note_failure(const char* call, const char* words, os_reason reason)
{
    if (failure_text[0] != '\0')
        return;
    failure_reason = reason;
    std::snprintf(failure_text, sizeof failure_text, "%s: %s", call, words);
}

// Keeps the call's name and errno's words; returns false for the caller.
static bool failed(const char* call)
{
    int error = errno;
    os_note_failure(call, std::strerror(error), reason_of(error));
    return false;
}

void os_forget_failure() { failure_text[0] = '\0'; }

const char* os_failure() { return failure_text; }

os_reason os_failure_reason() { return failure_reason; }

static std::uint64_t monotonic_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
}

// The monotonic clock is presented as a counter of 100 ns ticks.
std::uint64_t os_counter_frequency() { return 10000000; }

std::uint32_t os_counter()
{
    return static_cast<std::uint32_t>(monotonic_ns() / 100u);
}

std::uint32_t os_ticks_ms()
{
    return static_cast<std::uint32_t>(monotonic_ns() / 1000000u);
}

// The sleep ends this long before the tick it aims at, which covers the kernel's wake-up
// latency; the caller polls the rest.
constexpr std::uint64_t sleep_margin_ns = 500000;

void os_sleep_until_ms(std::uint32_t tick)
{
    std::uint64_t now = monotonic_ns();
    std::uint64_t now_ms = now / 1000000u;
    std::uint32_t ahead = tick - static_cast<std::uint32_t>(now_ms);
    if (ahead == 0 || ahead > 0x80000000u)
        return;
    std::uint64_t wake = (now_ms + ahead) * 1000000u - sleep_margin_ns;
    if (wake <= now)
        return;
    timespec until{};
    until.tv_sec = static_cast<time_t>(wake / 1000000000u);
    until.tv_nsec = static_cast<long>(wake % 1000000000u);
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
}

const char* os_port_name(int port_number)
{
    return chosen_port_name(port_number, ISP2313_PORT1, ISP2313_PORT2);
}

const char* os_dsr_wait_setting() { return chosen_dsr_wait(); }

// TIOCEXCL refuses later opens, but not root's; flock stops root too, as long as the
// other program locks its ports the same way. Either way a held port fails the open.
static bool take_exclusively(int fd)
{
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        return failed("flock");
    if (ioctl(fd, TIOCEXCL) != 0)
        return failed("ioctl TIOCEXCL");
    return true;
}

// 115200 8N1, raw, no flow control; every other setting stays as the port had it.
// IXOFF goes too: with it the driver would send XOFF on TXD, which is our clock.
static bool configure(int fd)
{
    termios settings{};
    if (tcgetattr(fd, &settings) != 0)
        return failed("tcgetattr");
    settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR
                                               | ICRNL | IXON | IXOFF | INPCK);
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    if (cfsetispeed(&settings, B115200) != 0 || cfsetospeed(&settings, B115200) != 0)
        return failed("cfsetspeed");
    if (tcsetattr(fd, TCSANOW, &settings) != 0)
        return failed("tcsetattr");
    return true;
}

static bool is_terminal(int fd)
{
    if (isatty(fd))
        return true;
    failure_reason = os_reason_other;
    std::snprintf(failure_text, sizeof failure_text, "isatty: not a terminal, so not a serial port");
    return false;
}

// Non-blocking so that a port without carrier cannot hang the open; it stays so,
// since no character is ever read or written.
os_handle os_port_open(int port_number)
{
    failure_text[0] = '\0';
    const char* path = os_port_name(port_number);
    int fd = path != nullptr ? open(path, O_RDWR | O_NOCTTY | O_NONBLOCK) : -1;
    if (fd < 0) {
        if (path == nullptr)
            errno = ENODEV;
        failed("open");
        return os_no_handle;
    }
    if (!is_terminal(fd) || !take_exclusively(fd) || !configure(fd)) {
        close(fd);
        return os_no_handle;
    }
    return static_cast<os_handle>(fd) + 1;
}

// Exclusive mode belongs to the tty, not to this descriptor, and outlives our close while
// anyone else still holds the device; the flock goes with the descriptor.
void os_port_close(os_handle port)
{
    ioctl(fd_of(port), TIOCNXCL);
    close(fd_of(port));
}

// Only a group that may both read and write the device helps; the root group is no remedy.
const char* os_device_group(const char* device)
{
    static char name[64];
    name[0] = '\0';
    struct stat info {};
    if (stat(device, &info) != 0 || (info.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP) || info.st_gid == 0)
        return name;
    if (const group* entry = getgrgid(info.st_gid))
        std::snprintf(name, sizeof name, "%s", entry->gr_name);
    return name;
}

// The kernel makes a ttyS node for every UART it keeps room for; sysfs gives the ones with
// no hardware behind them type 0.
static bool uart_fitted(int number)
{
    char path[64], type[8] = {};
    std::snprintf(path, sizeof path, "/sys/class/tty/ttyS%d/type", number);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return true;
    ssize_t got = read(fd, type, sizeof type - 1);
    close(fd);
    return got <= 0 || std::atoi(type) != 0;
}

// Names are looked at, never opened: stat for the nodes, the links resolved by name only.
void os_list_serial_devices(void (*seen)(const char* name, const char* leads_to))
{
    static const char* const families[] = {"ttyS", "ttyUSB", "ttyACM"};
    char path[PATH_MAX];
    for (const char* family : families) {
        for (int number = 0; number < 256; ++number) {
            std::snprintf(path, sizeof path, "/dev/%s%d", family, number);
            struct stat info {};
            if (stat(path, &info) == 0 && S_ISCHR(info.st_mode)
                && (std::strcmp(family, "ttyS") != 0 || uart_fitted(number)))
                seen(path, "");
        }
    }
    DIR* links = opendir("/dev/serial/by-id");
    if (links == nullptr)
        return;
    char target[PATH_MAX];
    while (const dirent* entry = readdir(links)) {
        if (entry->d_name[0] == '.')
            continue;
        std::snprintf(path, sizeof path, "/dev/serial/by-id/%s", entry->d_name);
        seen(path, realpath(path, target) != nullptr ? target : "");
    }
    closedir(links);
}

static bool set_modem_line(os_handle port, int line, bool on)
{
    if (ioctl(fd_of(port), on ? TIOCMBIS : TIOCMBIC, &line) == -1)
        return failed(on ? "ioctl TIOCMBIS" : "ioctl TIOCMBIC");
    return true;
}

bool os_set_dtr(os_handle port, bool on) { return set_modem_line(port, TIOCM_DTR, on); }

bool os_set_rts(os_handle port, bool on) { return set_modem_line(port, TIOCM_RTS, on); }

bool os_set_break(os_handle port, bool on)
{
    if (ioctl(fd_of(port), on ? TIOCSBRK : TIOCCBRK) == -1)
        return failed(on ? "ioctl TIOCSBRK" : "ioctl TIOCCBRK");
    return true;
}

bool os_read_dsr(os_handle port, bool& on)
{
    int lines = 0;
    if (ioctl(fd_of(port), TIOCMGET, &lines) == -1)
        return failed("ioctl TIOCMGET");
    on = (lines & TIOCM_DSR) != 0;
    return true;
}

// The handler only raises a flag; the line driver looks at it between bits and in its waits.
static void note_interrupt(int) { interrupt_seen = 1; }

void os_catch_interrupts()
{
    struct sigaction action {};
    action.sa_handler = note_interrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

bool os_interrupted() { return interrupt_seen != 0; }

void os_console_unbuffered()
{
    if (isatty(STDOUT_FILENO))
        std::setvbuf(stdout, nullptr, _IONBF, 0);
}
