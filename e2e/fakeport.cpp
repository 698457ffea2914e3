// Test infrastructure, preloaded (LD_PRELOAD) into the program under test and whatever it
// starts: on the one pseudo-terminal whose device number FAKEPORT_RDEV names, it fakes what a
// pty cannot do, the modem lines and the break, and wires them to the virtual chip running in
// real time. Everything else (termios, TIOCEXCL, flock, close) reaches the real pty.
// The chip, the call counts and the trace live in the file FAKEPORT_STATE, mapped shared, so
// they outlive the process and whichever process drives the lines takes the chip up.
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include "e2e/fakeport.h"

namespace {

using open_fn    = int (*)(const char*, int, ...);
using openat_fn  = int (*)(int, const char*, int, ...);
using open2_fn   = int (*)(const char*, int);
using close_fn   = int (*)(int);
using ioctl_fn   = int (*)(int, unsigned long, void*);
using flock_fn   = int (*)(int, int);
using dup2_fn    = int (*)(int, int);
using dup3_fn    = int (*)(int, int, int);
using tcget_fn   = int (*)(int, termios*);
using tcset_fn   = int (*)(int, int, const termios*);
using clock_fn   = int (*)(clockid_t, void*);

void* next_symbol(const char* name)
{
    void* symbol = dlsym(RTLD_NEXT, name);
    if (symbol == nullptr) {
        std::fprintf(stderr, "fakeport: no %s after the preload\n", name);
        _exit(97);
    }
    return symbol;
}

template <typename F>
F real(F& cache, const char* name)
{
    if (cache == nullptr)
        cache = reinterpret_cast<F>(next_symbol(name));
    return cache;
}

open_fn   real_open, real_open64;
openat_fn real_openat, real_openat64;
open2_fn  real_open_2, real_open64_2;
close_fn  real_close;
ioctl_fn  real_ioctl;
flock_fn  real_flock;
dup2_fn   real_dup2;
dup3_fn   real_dup3;
tcget_fn  real_tcgetattr;
tcset_fn  real_tcsetattr;
clock_fn  real_clock_gettime;
#if defined(__i386__)
ioctl_fn  real_ioctl_time64;
clock_fn  real_clock_gettime64;
#endif

// Descriptors known to be the port: opened here (we report their open and close) or first
// met in an ioctl, as wine's client meets the descriptor its server opened.
constexpr int fd_table_size = 4096;
enum : unsigned char { fd_unknown, fd_opened_here, fd_met };
unsigned char fd_kind[fd_table_size];

bool          configured, port_user;
dev_t         port_rdev;
long long     fail_from;       // FAKEPORT_FAIL_FROM: that line request (from 1) and every later one fail
std::uint64_t dsr_lag_ns;      // FAKEPORT_DSR_LAG_NS: DSR read as the wire had it this long before
std::uint64_t dsr_polled_ns;   // FAKEPORT_DSR_POLLED_NS: DSR from a status refreshed at most this often
port_state*   state;
std::uint64_t own_key;         // 0 until this process first drives the lines

void forget_key() { own_key = 0; }

void configure()
{
    if (configured)
        return;
    configured = true;
    const char* rdev = std::getenv("FAKEPORT_RDEV");
    port_rdev = rdev ? static_cast<dev_t>(std::strtoull(rdev, nullptr, 10)) : 0;
    const char* fail = std::getenv("FAKEPORT_FAIL_FROM");
    fail_from = fail ? std::strtoll(fail, nullptr, 10) : 0;
    const char* lag = std::getenv("FAKEPORT_DSR_LAG_NS");
    dsr_lag_ns = lag ? std::strtoull(lag, nullptr, 10) : 0;
    const char* polled = std::getenv("FAKEPORT_DSR_POLLED_NS");
    dsr_polled_ns = polled ? std::strtoull(polled, nullptr, 10) : 0;
    pthread_atfork(nullptr, nullptr, forget_key);
}

} // namespace

// What the USB stand-in, built into the same preload, shares: the state file, the chip, the lines.
namespace fakeport {

// A process that meets the port without a state file would drive a real pty's lines,
// which proves nothing: it stops loudly instead.
port_state* shared()
{
    if (state != nullptr)
        return state;
    const char* path = std::getenv("FAKEPORT_STATE");
    int fd = path ? real(real_open, "open")(path, O_RDWR | O_CLOEXEC) : -1;
    struct stat64 info {};
    if (fd < 0 || fstat64(fd, &info) != 0 || info.st_size < static_cast<off64_t>(sizeof(port_state))) {
        std::fprintf(stderr, "fakeport: no usable state file (FAKEPORT_STATE=%s)\n", path ? path : "");
        _exit(97);
    }
    void* map = mmap(nullptr, static_cast<size_t>(info.st_size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    real(real_close, "close")(fd);
    if (map == MAP_FAILED || static_cast<port_state*>(map)->magic != port_state_magic
        || static_cast<port_state*>(map)->version != port_state_version) {
        std::fprintf(stderr, "fakeport: state file %s is not ours\n", path);
        _exit(97);
    }
    state = static_cast<port_state*>(map);
    port_user = true;
    return state;
}

std::uint64_t now_ns()
{
    timespec now{};
    real(real_clock_gettime, "clock_gettime")(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
}

void trace(port_state* s, std::uint64_t t, char line, bool value)
{
    if (!s->trace_enabled)
        return;
    std::uint64_t index = s->trace_count++;
    if (index >= s->trace_capacity) {
        s->trace_overflow = 1;
        return;
    }
    s->events[index].t_ns = t;
    s->events[index].line = line;
    s->events[index].value = value ? 1 : 0;
}

// The chip is copied out after every change, so the file always holds the latest state.
port_state* take_chip()
{
    port_state* s = shared();
    if (own_key == 0)
        own_key = __atomic_add_fetch(&s->keys_issued, 1, __ATOMIC_SEQ_CST);
    if (s->chip_owner_key != own_key) {
        shared_chip_load(s->chip);
        s->chip_owner_key = own_key;
    }
    return s;
}

void give_chip(port_state* s) { shared_chip_save(s->chip); }

// After every line change: the wire's DSR, for an adapter that shows it late.
static void note_dsr(port_state* s, std::uint64_t t)
{
    bool on = !chip_line_miso();
    std::uint64_t n = s->dsr_changes;
    if (dsr_lag_ns == 0 || (n != 0 && (s->dsr_history[(n - 1) % dsr_history_size].value != 0) == on))
        return;
    s->dsr_history[n % dsr_history_size] = {t, 'S', static_cast<std::uint8_t>(on), {}};
    s->dsr_changes = n + 1;
}

// DSR as the adapter reports it: the wire as it was dsr_lag_ns ago (the oldest change kept
// stands for all before it), from a status refreshed only by a read dsr_polled_ns after the last.
static bool dsr_reported(port_state* s, std::uint64_t t)
{
    bool on = !chip_line_miso();
    std::uint64_t n = s->dsr_changes, kept = n < dsr_history_size ? n : dsr_history_size;
    if (dsr_lag_ns != 0 && n != 0) {
        on = s->dsr_history[(n - kept) % dsr_history_size].value != 0;
        for (std::uint64_t i = n; i > n - kept; --i) {
            const port_event& change = s->dsr_history[(i - 1) % dsr_history_size];
            if (change.t_ns + dsr_lag_ns <= t) {
                on = change.value != 0;
                break;
            }
        }
    }
    if (dsr_polled_ns == 0)
        return on;
    if (s->dsr_polled_valid == 0 || t - s->dsr_polled_at_ns >= dsr_polled_ns) {
        s->dsr_polled = on;
        s->dsr_polled_at_ns = t - t % dsr_polled_ns;
        s->dsr_polled_valid = 1;
    }
    return s->dsr_polled != 0;
}

void set_dtr(port_state* s, bool on, std::uint64_t t)
{
    trace(s, t, 'D', on);
    s->modem_lines = on ? (s->modem_lines | TIOCM_DTR) : (s->modem_lines & ~TIOCM_DTR);
    chip_line_mosi(!on, t);      // a 1 bit clears DTR
    note_dsr(s, t);
}

void set_rts(port_state* s, bool on, std::uint64_t t)
{
    trace(s, t, 'R', on);
    s->modem_lines = on ? (s->modem_lines | TIOCM_RTS) : (s->modem_lines & ~TIOCM_RTS);
    chip_line_reset(on, t);      // RTS set holds the chip in reset
    note_dsr(s, t);
}

void set_break(port_state* s, bool on, std::uint64_t t)
{
    trace(s, t, 'B', on);
    s->break_on = on;
    chip_line_sck(on, t);
    note_dsr(s, t);
}

// Only a chip that disagrees with the lines is taken up: a process that merely opens the
// port while another drives it must not write back a copy that is already stale.
static void chip_follows_lines(port_state* s, std::uint64_t t)
{
    bool reset = (s->modem_lines & TIOCM_RTS) != 0, sck = s->break_on != 0, mosi = (s->modem_lines & TIOCM_DTR) == 0;
    if (s->chip.reset_held != reset || s->chip.sck_high != sck || s->chip.mosi != mosi) {
        take_chip();
        chip_lines(reset, sck, mosi, t);
        note_dsr(s, t);
        give_chip(s);
    }
}

void port_opened()
{
    port_state* s = shared();
    std::uint64_t t = now_ns();
    ++s->calls.opens;
    ++s->open_count;
    if (s->first_open_ns == 0)
        s->first_open_ns = t;
    trace(s, t, 'O', true);
    chip_follows_lines(s, t);
}

void port_closed()
{
    port_state* s = shared();
    std::uint64_t t = now_ns();
    ++s->calls.closes;
    --s->open_count;
    s->last_close_ns = t;
    trace(s, t, 'C', true);
}

} // namespace fakeport

using namespace fakeport;

namespace {

bool is_port(int fd)
{
    configure();
    if (fd < 0 || port_rdev == 0)
        return false;
    if (fd < fd_table_size && fd_kind[fd] != fd_unknown)
        return true;
    struct stat64 info {};
    if (fstat64(fd, &info) != 0 || !S_ISCHR(info.st_mode) || info.st_rdev != port_rdev)
        return false;
    if (fd < fd_table_size)
        fd_kind[fd] = fd_met;
    return true;
}

bool known_port(int fd) { return fd >= 0 && fd < fd_table_size && fd_kind[fd] != fd_unknown; }

int modem_status(port_state* s)
{
    std::uint64_t t = now_ns();
    bool dsr_on = dsr_reported(s, t);
    trace(s, t, 'S', dsr_on);
    return s->modem_lines | (dsr_on ? TIOCM_DSR : 0);
}

// TIOCMSET changes only what differs, as wine's read-modify-write of the lines expects;
// TIOCMBIS and TIOCMBIC act on every line named, changed or not.
void modem_set(port_state* s, int lines)
{
    if ((lines ^ s->modem_lines) & TIOCM_DTR)
        set_dtr(s, (lines & TIOCM_DTR) != 0, now_ns());
    if ((lines ^ s->modem_lines) & TIOCM_RTS)
        set_rts(s, (lines & TIOCM_RTS) != 0, now_ns());
}

void modem_change(port_state* s, int lines, bool on)
{
    if (lines & TIOCM_DTR)
        set_dtr(s, on, now_ns());
    if (lines & TIOCM_RTS)
        set_rts(s, on, now_ns());
}

bool is_line_request(unsigned long request)
{
    return request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC
        || request == TIOCSBRK || request == TIOCCBRK;
}

// An adapter pulled out: from the chosen request on, every one fails as the driver's do
// after a hang-up, and changes nothing.
bool request_fails(port_state* s)
{
    long long number = ++s->calls.line_requests;
    if (fail_from == 0 || number < fail_from)
        return false;
    if (s->calls.failed_line_requests++ == 0)
        s->calls.first_failure_ns = static_cast<std::int64_t>(now_ns());
    return true;
}

int fake_line_request(unsigned long request, void* arg)
{
    port_state* s = take_chip();
    if (request_fails(s)) {
        errno = EIO;
        return -1;
    }
    int* lines = static_cast<int*>(arg);
    switch (request) {
    case TIOCMGET: ++s->calls.tiocmget; *lines = modem_status(s); break;
    case TIOCMSET: ++s->calls.tiocmset; modem_set(s, *lines); break;
    case TIOCMBIS: ++s->calls.tiocmbis; modem_change(s, *lines, true); break;
    case TIOCMBIC: ++s->calls.tiocmbic; modem_change(s, *lines, false); break;
    case TIOCSBRK: ++s->calls.tiocsbrk; set_break(s, true, now_ns()); break;
    case TIOCCBRK: ++s->calls.tioccbrk; set_break(s, false, now_ns()); break;
    }
    give_chip(s);
    return 0;
}

int any_ioctl(ioctl_fn next, int fd, unsigned long request, void* arg)
{
    if (is_line_request(request) && is_port(fd))
        return fake_line_request(request, arg);
    if (known_port(fd))
        ++shared()->calls.other_ioctls;
    return next(fd, request, arg);
}

int opened(int fd)
{
    if (fd < 0 || !is_port(fd))
        return fd;
    if (fd < fd_table_size)
        fd_kind[fd] = fd_opened_here;
    port_opened();
    return fd;
}

void forget(int fd)
{
    if (fd < 0 || fd >= fd_table_size || fd_kind[fd] == fd_unknown)
        return;
    if (fd_kind[fd] == fd_opened_here)
        port_closed();
    fd_kind[fd] = fd_unknown;
}

mode_t mode_argument(int flags, va_list args)
{
    return (flags & (O_CREAT | O_TMPFILE)) ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

} // namespace

extern "C" {

// glibc's internal names, declared by its headers only in some builds.
int __open_2(const char* path, int flags);
int __open64_2(const char* path, int flags);
#if defined(__i386__)
int __ioctl_time64(int fd, unsigned long request, ...);
int __clock_gettime64(clockid_t clock, void* now);
#endif

__attribute__((visibility("default"))) int open(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_argument(flags, args);
    va_end(args);
    return opened(real(real_open, "open")(path, flags, mode));
}

__attribute__((visibility("default"))) int open64(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_argument(flags, args);
    va_end(args);
    return opened(real(real_open64, "open64")(path, flags, mode));
}

__attribute__((visibility("default"))) int openat(int dir, const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_argument(flags, args);
    va_end(args);
    return opened(real(real_openat, "openat")(dir, path, flags, mode));
}

__attribute__((visibility("default"))) int openat64(int dir, const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_argument(flags, args);
    va_end(args);
    return opened(real(real_openat64, "openat64")(dir, path, flags, mode));
}

// What a fortified open() becomes.
__attribute__((visibility("default"))) int __open_2(const char* path, int flags)
{
    return opened(real(real_open_2, "__open_2")(path, flags));
}

__attribute__((visibility("default"))) int __open64_2(const char* path, int flags)
{
    return opened(real(real_open64_2, "__open64_2")(path, flags));
}

__attribute__((visibility("default"))) int close(int fd)
{
    forget(fd);
    return real(real_close, "close")(fd);
}

__attribute__((visibility("default"))) int dup2(int from, int to)
{
    if (from != to)
        forget(to);
    return real(real_dup2, "dup2")(from, to);
}

__attribute__((visibility("default"))) int dup3(int from, int to, int flags)
{
    forget(to);
    return real(real_dup3, "dup3")(from, to, flags);
}

__attribute__((visibility("default"))) int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    return any_ioctl(real(real_ioctl, "ioctl"), fd, request, arg);
}

#if defined(__i386__)
// A 32-bit program built with 64-bit time_t (wine's i386 side) calls these instead.
__attribute__((visibility("default"))) int __ioctl_time64(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    return any_ioctl(real(real_ioctl_time64, "__ioctl_time64"), fd, request, arg);
}

__attribute__((visibility("default"))) int __clock_gettime64(clockid_t clock, void* now)
{
    if (port_user)
        ++state->calls.clock_reads;
    return real(real_clock_gettime64, "__clock_gettime64")(clock, now);
}
#endif

// The function shares its name with struct flock, which -Wshadow reports.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wshadow"
__attribute__((visibility("default"))) int flock(int fd, int operation)
{
    if (known_port(fd))
        ++shared()->calls.flocks;
    return real(real_flock, "flock")(fd, operation);
}
#pragma GCC diagnostic pop

__attribute__((visibility("default"))) int tcgetattr(int fd, termios* settings)
{
    if (known_port(fd))
        ++shared()->calls.tcgetattrs;
    return real(real_tcgetattr, "tcgetattr")(fd, settings);
}

__attribute__((visibility("default"))) int tcsetattr(int fd, int when, const termios* settings)
{
    if (known_port(fd))
        ++shared()->calls.tcsetattrs;
    return real(real_tcsetattr, "tcsetattr")(fd, when, settings);
}

__attribute__((visibility("default"))) int clock_gettime(clockid_t clock, timespec* now)
{
    if (port_user)
        ++state->calls.clock_reads;
    return real(real_clock_gettime, "clock_gettime")(clock, now);
}

} // extern "C"
