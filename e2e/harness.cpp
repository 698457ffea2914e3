// The shipped binaries on a faked port: pty, state file, mount-namespace guard, process runs.
#include "e2e/harness.h"
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <initializer_list>
#include <functional>
#include <grp.h>
#include <linux/capability.h>

extern char** environ;

const char* target_name(target which)
{
    switch (which) {
    case target::linux_binary: return "linux";
    case target::wine64:       return "wine64";
    case target::wine32:       return "wine32";
    case target::linux_ftdi:   return "linux_ftdi";
    }
    return "?";
}

std::string source_dir()   { return E2E_SOURCE_DIR; }
std::string examples_dir() { return source_dir() + "/examples"; }

std::string e2e_case_name = "?";

static std::uint64_t monotonic_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
}

// ---- files -------------------------------------------------------------------------------

// Inside the build tree, not the temporary directory: a failed case's files stay beside
// the build that made them, and a passed case leaves nothing.
std::string make_scratch_dir(const std::string& tag)
{
    std::string runs = std::string(E2E_WORK_DIR) + "/runs";
    mkdir(runs.c_str(), 0700);
    std::string pattern = runs + "/" + tag + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr)
        return "";
    return buffer.data();
}

void remove_tree(const std::string& dir)
{
    if (dir.empty() || dir == "/")
        return;
    DIR* listing = opendir(dir.c_str());
    if (listing == nullptr) {
        unlink(dir.c_str());
        return;
    }
    while (dirent* entry = readdir(listing)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        std::string path = dir + "/" + name;
        struct stat info {};
        if (lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
            remove_tree(path);
        else
            unlink(path.c_str());
    }
    closedir(listing);
    rmdir(dir.c_str());
}

void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return;
    if (!bytes.empty())
        std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
}

std::vector<std::uint8_t> read_file(const std::string& path)
{
    std::vector<std::uint8_t> bytes;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return bytes;
    std::uint8_t chunk[4096];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + got);
    std::fclose(file);
    return bytes;
}

// Nothing is left in the build's directory.
std::string exe_dir_for(const std::string& dir, target which, bool with_d2xx)
{
    std::string exe_dir = dir + "/exe";
    mkdir(exe_dir.c_str(), 0700);
    std::string built = which == target::wine32 ? E2E_WIN32_DIR : E2E_WIN64_DIR;
    write_file(exe_dir + "/isp2313.exe", read_file(built + "/isp2313.exe"));
    if (with_d2xx)
        write_file(exe_dir + "/ftd2xx.dll", read_file(which == target::wine32 ? E2E_FAKE_D2XX32 : E2E_FAKE_D2XX64));
    else
        unlink((exe_dir + "/ftd2xx.dll").c_str());
    return exe_dir;
}

static std::string read_text(const std::string& path)
{
    std::vector<std::uint8_t> bytes = read_file(path);
    return std::string(bytes.begin(), bytes.end());
}

static void write_text(const std::string& path, const std::string& text)
{
    write_file(path, std::vector<std::uint8_t>(text.begin(), text.end()));
}

static bool exists(const std::string& path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

// ---- expected output ---------------------------------------------------------------------

static std::string counts(const char* pattern, std::size_t last)
{
    std::string text;
    char line[32];
    for (std::size_t n = 1; n <= last; ++n) {
        std::snprintf(line, sizeof line, pattern, static_cast<unsigned>(n));
        text += line;
    }
    return text;
}

std::string expected_full_run(chip_part part, std::size_t flash_bytes, std::size_t eeprom_bytes, bool eeprom_file)
{
    bool tiny = part == part_attiny2313;
    std::string text = std::string("\n>>> Device  ") + (tiny ? "ATTINY2313" : "AT90S2313") + " <<<\n";
    text += "\nFlash Attempt =   1\n";
    text += counts("Program %4u\r", flash_bytes / 2) + "\n";
    text += counts("Verify  %4u\r", flash_bytes / 2) + "\nFlash Ok\n";
    if (eeprom_file) {
        text += "EEPROM Attempt = 1\n";
        text += counts("Program %3u\r", eeprom_bytes + 1);
        text += counts("Verify  %4u\r", eeprom_bytes + 1) + "\nERROR Ok\n";
    }
    if (tiny)
        text += "Write Fuse Low\nWrite Fuse High\n";
    return text + "Write Lock Bits\n";
}

std::string windows_text(const std::string& text)
{
    std::string converted;
    for (char c : text) {
        if (c == '\n')
            converted += '\r';
        converted += c;
    }
    return converted;
}

std::string trace_text(const std::vector<port_event>& trace)
{
    std::string text;
    std::uint64_t start = trace.empty() ? 0 : trace.front().t_ns;
    char line[64];
    for (const port_event& event : trace) {
        std::snprintf(line, sizeof line, "%llu %c %d\n",
                      static_cast<unsigned long long>(event.t_ns - start), event.line, event.value);
        text += line;
    }
    return text;
}

// ---- the pty and the state file -----------------------------------------------------------

namespace {

struct pty_port {
    int         master = -1;
    std::string slave;
    dev_t       rdev = 0;
};

std::string open_pty(pty_port& pty)
{
    pty.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty.master < 0 || grantpt(pty.master) != 0 || unlockpt(pty.master) != 0)
        return std::string("no pseudo-terminal: ") + std::strerror(errno);
    pty.slave = ptsname(pty.master);
    struct stat info {};
    if (stat(pty.slave.c_str(), &info) != 0 || !S_ISCHR(info.st_mode))
        return "cannot stat " + pty.slave;
    pty.rdev = info.st_rdev;
    return "";
}

port_state* create_state(const std::string& path, std::uint64_t capacity)
{
    std::uint64_t bytes = port_state_bytes(capacity);
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return nullptr;
    if (ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
        close(fd);
        return nullptr;
    }
    void* map = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED)
        return nullptr;
    port_state* state = static_cast<port_state*>(map);
    state->magic = port_state_magic;
    state->version = port_state_version;
    state->trace_capacity = capacity;
    state->trace_enabled = capacity > 0;
    return state;
}

// ---- the mount-namespace guard -------------------------------------------------------------

struct guard_report {
    char          message[1024];
    std::int32_t  status[3];
    std::uint64_t wall_ns[3], end_ns[3], cpu_ns[3];
    std::uint64_t interrupt_ns;
    bool          holder_kept_tty;
};

void report(guard_report& r, const std::string& text)
{
    if (r.message[0] == '\0')
        std::snprintf(r.message, sizeof r.message, "%s", text.c_str());
}

std::vector<std::string> serial_devices()
{
    std::vector<std::string> found;
    DIR* dev = opendir("/dev");
    if (dev == nullptr)
        return found;
    while (dirent* entry = readdir(dev))
        if (std::strncmp(entry->d_name, "ttyS", 4) == 0)
            found.push_back(std::string("/dev/") + entry->d_name);
    closedir(dev);
    return found;
}

// bcdDevice of the chips the USB stand-in can be (FAKEUSB_CHIP).
std::string bcd_device_of(const std::string& chip)
{
    return chip == "FT232H" ? "0900" : chip == "FT2232D" ? "0500" : chip == "FT232BM" ? "0400" : "0600";
}

// The sysfs view of the FTDI runs, made in DIR before the guard binds it, as a real system lays
// it out: /sys/class/tty/ttyUSB0/device is the usb-serial port device, whose driver is ftdi_sio,
// in the directory of the USB interface (bInterfaceNumber, the channel), in the directory of the
// USB device (bus, address, bcdDevice). DIR/ttyUSB0 (the pty, once bound there) is its /dev node,
// and the view's dev attribute the pty's numbers.
std::string make_usb_view(const std::string& dir, dev_t tty, const std::string& chip, int channel)
{
    remove_tree(dir + "/sys-usb");
    remove_tree(dir + "/sys-tty");
    std::string port = std::to_string(fakeusb_bus) + "-1", usb = dir + "/sys-usb/" + port;
    std::string interface = usb + "/" + port + ":1." + std::to_string(channel), serial_port = interface + "/ttyUSB0";
    std::string driver = dir + "/sys-usb/drivers/ftdi_sio";
    for (const std::string& d : {dir + "/sys-usb", dir + "/sys-usb/drivers", driver, usb, interface, serial_port,
                                 dir + "/sys-tty", dir + "/sys-tty/ttyUSB0"})
        mkdir(d.c_str(), 0755);
    write_text(usb + "/busnum", std::to_string(fakeusb_bus) + "\n");
    write_text(usb + "/devnum", std::to_string(fakeusb_address) + "\n");
    write_text(usb + "/bcdDevice", bcd_device_of(chip) + "\n");
    write_text(usb + "/serial", std::string(fakeusb_serial) + "\n");
    write_text(interface + "/bInterfaceNumber", "0" + std::to_string(channel) + "\n");
    write_text(dir + "/sys-tty/ttyUSB0/dev", std::to_string(major(tty)) + ":" + std::to_string(minor(tty)) + "\n");
    if (!exists(dir + "/ttyUSB0"))
        write_file(dir + "/ttyUSB0", {});
    if (symlink(driver.c_str(), (interface + "/driver").c_str()) != 0
        || symlink(driver.c_str(), (serial_port + "/driver").c_str()) != 0
        || symlink(serial_port.c_str(), (dir + "/sys-tty/ttyUSB0/device").c_str()) != 0)
        return "cannot make the sysfs view in " + dir;
    return "";
}

// In this (child) process only: port 1's device becomes the pty, every other serial device
// and port 2 a harmless empty file, USB device nodes an empty directory. With USB_VIEW (an FTDI
// run), also USB_VIEW/ttyUSB0 and /sys/class/tty as make_usb_view made them. Nothing runs
// unless all of that holds.
std::string shadow_serial_devices(const pty_port& pty, const std::string& harmless, const std::string& usb_view)
{
    if (unshare(CLONE_NEWNS) != 0)
        return std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno) + " (the end-to-end tests need root)";
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return std::string("making the mounts private: ") + std::strerror(errno);
    const std::string port1 = E2E_PORT1;
    const std::string port2 = E2E_PORT2;
    if (!exists(port1))
        return port1 + " does not exist, so the pty cannot take its place";
    if (mount(pty.slave.c_str(), port1.c_str(), nullptr, MS_BIND, nullptr) != 0)
        return "binding " + pty.slave + " over " + port1 + ": " + std::strerror(errno);
    std::vector<std::string> hidden = serial_devices();
    if (exists(port2))
        hidden.push_back(port2);
    for (const std::string& device : hidden) {
        if (device == port1)
            continue;
        if (mount(harmless.c_str(), device.c_str(), nullptr, MS_BIND, nullptr) != 0)
            return "binding a file over " + device + ": " + std::strerror(errno);
    }
    if (exists("/dev/bus/usb") && mount("tmpfs", "/dev/bus/usb", "tmpfs", MS_NOSUID | MS_NODEV, "size=1m") != 0)
        return std::string("hiding /dev/bus/usb: ") + std::strerror(errno);
    if (!usb_view.empty()
        && (mount(pty.slave.c_str(), (usb_view + "/ttyUSB0").c_str(), nullptr, MS_BIND, nullptr) != 0
            || mount((usb_view + "/sys-tty").c_str(), "/sys/class/tty", nullptr, MS_BIND, nullptr) != 0))
        return std::string("binding the sysfs view: ") + std::strerror(errno);
    // The wine server keeps its socket under /tmp: a private /tmp takes it, and the files,
    // with the namespace. A build tree under /tmp would be hidden by it, so it keeps /tmp.
    if (std::strncmp(E2E_WORK_DIR, "/tmp/", 5) != 0
        && mount("tmpfs", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777,size=64m") != 0)
        return std::string("a private /tmp: ") + std::strerror(errno);
    struct stat info {};
    if (stat(port1.c_str(), &info) != 0 || !S_ISCHR(info.st_mode) || info.st_rdev != pty.rdev)
        return port1 + " is not the pty after the bind";
    for (const std::string& device : hidden)
        if (device != port1 && (stat(device.c_str(), &info) != 0 || !S_ISREG(info.st_mode)))
            return device + " is still a device after the bind";
    return "";
}

guard_report* new_report()
{
    void* map = mmap(nullptr, sizeof(guard_report), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED)
        return nullptr;
    std::memset(map, 0, sizeof(guard_report));
    return static_cast<guard_report*>(map);
}

// Runs BODY in a child inside the guard; false (and the reason in the report) if the guard
// could not be set up or the child died.
bool run_guarded(const pty_port& pty, const std::string& harmless, guard_report& r,
                 const std::function<void(guard_report&)>& body, const std::string& usb_view = "")
{
    std::fflush(nullptr);
    pid_t child = fork();
    if (child < 0) {
        report(r, "fork failed");
        return false;
    }
    if (child == 0) {
        std::string error = shadow_serial_devices(pty, harmless, usb_view);
        if (!error.empty()) {
            report(r, "guard: " + error);
            _exit(125);
        }
        // Whatever the body starts lives in a PID namespace of its own, with the body as its
        // init: when the body ends, the kernel ends everything left in it, such as wine
        // processes that lost their server.
        if (unshare(CLONE_NEWPID) != 0) {
            report(r, std::string("guard: unshare(CLONE_NEWPID): ") + std::strerror(errno));
            _exit(125);
        }
        pid_t init = fork();
        if (init == 0) {
            // A /proc of the new namespace, so that /proc/self names the same pid as getpid()
            // (qemu recognises its own /proc/PID/exe only by that).
            if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
                report(r, std::string("guard: mounting /proc: ") + std::strerror(errno));
                _exit(125);
            }
            body(r);
            _exit(0);
        }
        int init_status = 0;
        while (init > 0 && waitpid(init, &init_status, 0) < 0 && errno == EINTR) {
        }
        _exit(init > 0 && WIFEXITED(init_status) ? WEXITSTATUS(init_status) : 124);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        report(r, "the guarded child failed");
        return false;
    }
    return true;
}

// ---- processes ---------------------------------------------------------------------------

struct process {
    pid_t         pid = -1;
    int           pidfd = -1;
    std::uint64_t start_ns = 0;
};

std::vector<char*> c_strings(std::vector<std::string>& strings)
{
    std::vector<char*> pointers;
    for (std::string& s : strings)
        pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

// A kernel without ia32 emulation refuses wine's i386 loader (ENOEXEC); qemu's user-mode
// emulator then runs it, with the helper that makes the emulated process behave for wine.
// E2E_EMULATE32=1 in the tests' environment asks for the emulator where the kernel would
// run the loader itself: what a kernel without ia32 emulation costs, seen anywhere.
void emulated(std::vector<std::string>& argv, std::vector<std::string>& env)
{
    argv.insert(argv.begin(), {E2E_QEMU_I386, "-0", argv[0]});
    for (std::string& var : env)
        if (var.rfind("LD_PRELOAD=", 0) == 0) {
            var += std::string(" ") + E2E_EMULATED32;
            return;
        }
    env.push_back(std::string("LD_PRELOAD=") + E2E_EMULATED32);
}

process spawn(std::vector<std::string> argv, std::vector<std::string> env, const std::string& dir,
              const std::string& out, const std::string& err, bool ordinary_user = false)
{
    std::vector<char*> args = c_strings(argv);
    std::vector<char*> vars = c_strings(env);
    std::vector<std::string> emulated_argv = argv, emulated_env = env;
    emulated(emulated_argv, emulated_env);
    std::vector<char*> emulated_args = c_strings(emulated_argv);
    std::vector<char*> emulated_vars = c_strings(emulated_env);
    process p;
    p.start_ns = monotonic_ns();
    p.pid = fork();
    if (p.pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || o < 0 || e < 0 || dup2(in, 0) < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0 || chdir(dir.c_str()) != 0)
            _exit(126);
        // Without CAP_SYS_ADMIN a tty in exclusive mode (TIOCEXCL) refuses the open, as for a user;
        // without the DAC capabilities so does a device whose permissions leave root out.
        if (ordinary_user)
            for (int capability : {CAP_SYS_ADMIN, CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH})
                if (prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0)
                    _exit(126);
        bool forced = std::getenv("E2E_EMULATE32") != nullptr && argv[0] == E2E_WINE32;
        if (!forced)
            execve(args[0], args.data(), vars.data());
        if ((forced || errno == ENOEXEC) && E2E_QEMU_I386[0] != '\0')
            execve(emulated_args[0], emulated_args.data(), emulated_vars.data());
        dprintf(2, "cannot start %s: %s\n", args[0], std::strerror(errno));
        _exit(127);
    }
    if (p.pid > 0)
        p.pidfd = static_cast<int>(syscall(SYS_pidfd_open, p.pid, 0));
    return p;
}

bool exited(const process& p, int wait_ms)
{
    pollfd ready{p.pidfd, POLLIN, 0};
    return poll(&ready, 1, wait_ms) > 0;
}

std::uint64_t time_ns(const timeval& t)
{
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000000u + static_cast<std::uint64_t>(t.tv_usec) * 1000u;
}

// The exit status, or -1 after a signal; a process past its time is killed (-2). END_NS and
// CPU_NS, when given, receive the time of the exit and the process's user + system time.
int finish(process& p, int timeout_s, std::uint64_t& wall_ns, std::uint64_t* end_ns = nullptr,
           std::uint64_t* cpu_ns = nullptr)
{
    if (p.pid <= 0)
        return -3;
    bool in_time = exited(p, timeout_s * 1000);
    std::uint64_t now = monotonic_ns();
    wall_ns = now - p.start_ns;
    if (end_ns != nullptr)
        *end_ns = now;
    if (!in_time)
        kill(p.pid, SIGKILL);
    int status = 0;
    rusage usage {};
    while (wait4(p.pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    if (cpu_ns != nullptr)
        *cpu_ns = time_ns(usage.ru_utime) + time_ns(usage.ru_stime);
    close(p.pidfd);
    if (!in_time)
        return -2;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Another program with the tty open, as a terminal program holds it: sleep, with TTY as its
// descriptor 3, in the caller's namespaces (so the program under test sees it in /proc).
// Returns once sleep runs, with the descriptor.
pid_t hold_tty(const std::string& tty)
{
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(tty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        int none = open("/dev/null", O_RDWR);
        if (fd < 0 || none < 0 || dup2(fd, 3) < 0 || dup2(none, 0) < 0 || dup2(none, 1) < 0 || dup2(none, 2) < 0)
            _exit(126);
        execlp("sleep", "sleep", "600", static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string comm = "/proc/" + std::to_string(pid) + "/comm";
    for (int tries = 0; pid > 0 && tries < 2000 && read_text(comm) != "sleep\n"; ++tries)
        usleep(1000);
    return pid;
}

// Whether the holder still has the tty (device RDEV) as its descriptor 3; then it is ended.
bool release_tty(pid_t holder, dev_t rdev)
{
    if (holder <= 0)
        return false;
    struct stat info {};
    bool kept = stat(("/proc/" + std::to_string(holder) + "/fd/3").c_str(), &info) == 0 && S_ISCHR(info.st_mode)
                && info.st_rdev == rdev;
    kill(holder, SIGKILL);
    while (waitpid(holder, nullptr, 0) < 0 && errno == EINTR) {
    }
    return kept;
}

// The tests' own environment, less whatever would choose the port, preload or wine for the program.
std::vector<std::string> inherited_environment()
{
    std::vector<std::string> env;
    for (char** var = environ; *var != nullptr; ++var) {
        std::string entry = *var;
        if (entry.rfind("LD_PRELOAD=", 0) == 0 || entry.rfind("FAKEPORT_", 0) == 0 || entry.rfind("WINE", 0) == 0
            || entry.rfind("ASAN_OPTIONS=", 0) == 0 || entry.rfind("TMPDIR=", 0) == 0
            || entry.rfind("ISP2313_PORT", 0) == 0 || entry.rfind("ISP2313_BITBANG", 0) == 0
            || entry.rfind("FAKEUSB_", 0) == 0
            || entry.rfind("DISPLAY=", 0) == 0 || entry.rfind("WAYLAND_DISPLAY=", 0) == 0)
            continue;
        env.push_back(entry);
    }
    // The guard's private /tmp, where wine's temporary files go with the namespace.
    env.push_back("TMPDIR=/tmp");
    return env;
}

std::string wine_prefix(target which)
{
    return std::string(E2E_WORK_DIR) + "/wineprefix-" + target_name(which);
}

std::vector<std::string> wine_environment(target which)
{
    std::vector<std::string> env = inherited_environment();
    env.push_back("WINEPREFIX=" + wine_prefix(which));
    env.push_back("WINEDEBUG=-all");
    env.push_back("WINEDLLOVERRIDES=mscoree,mshtml=;winedbg.exe=d");
    env.push_back(std::string("WINESERVER=") + E2E_WINESERVER);
    if (which == target::wine32)
        env.push_back("WINEARCH=win32");
    return env;
}

std::string wine_loader(target which) { return which == target::wine32 ? E2E_WINE32 : E2E_WINE64; }

std::vector<std::string> program_argv(const port_run& run)
{
    std::vector<std::string> argv;
    if (!is_wine(run.which)) {
        argv.push_back(std::string(E2E_LINUX_DIR) + "/" + run.program);
    } else {
        argv.push_back(wine_loader(run.which));
        std::string exe_dir = run.which == target::wine32 ? E2E_WIN32_DIR : E2E_WIN64_DIR;
        argv.push_back((run.exe_dir.empty() ? exe_dir : run.exe_dir) + "/" + run.program + ".exe");
    }
    argv.insert(argv.end(), run.operands.begin(), run.operands.end());
    return argv;
}

// Waits for the wine server of this prefix to go, so nothing holds the pty afterwards.
void stop_wine_server(target which, const std::vector<std::string>& env, const std::string& dir, guard_report& r)
{
    process server = spawn({E2E_WINESERVER, "-w"}, env, dir, dir + "/wineserver.out", dir + "/wineserver.err");
    std::uint64_t wall = 0;
    if (finish(server, 60, wall) != 0) {
        process kill_server = spawn({E2E_WINESERVER, "-k"}, env, dir, "/dev/null", "/dev/null");
        finish(kill_server, 30, wall);
        report(r, std::string("the wine server of ") + target_name(which) + " did not stop by itself");
    }
}

void copy_result(const port_state* state, port_result& result)
{
    result.chip = state->chip;
    result.calls = state->calls;
    result.usb = state->usb;
    result.modem_lines = state->modem_lines;
    result.open_count = state->open_count;
    result.first_open_ns = state->first_open_ns;
    result.last_close_ns = state->last_close_ns;
    std::uint64_t kept = state->trace_count < state->trace_capacity ? state->trace_count : state->trace_capacity;
    result.trace.assign(state->events, state->events + kept);
    result.trace_overflow = state->trace_overflow != 0;
}

void fill_program(program_result& program, const guard_report& r, int index, const std::string& dir, const char* stem)
{
    program.status = r.status[index];
    program.wall_s = static_cast<double>(r.wall_ns[index]) / 1e9;
    program.cpu_s = static_cast<double>(r.cpu_ns[index]) / 1e9;
    program.end_ns = r.end_ns[index];
    program.out = read_text(dir + "/" + stem + ".out");
    program.err = read_text(dir + "/" + stem + ".err");
}

} // namespace

namespace {

// The prefix's port mapping: COM1 and COM12 are port 1's device, COM2 maps to nothing.
const char* const mapped_ports[] = {"COM1", "COM12"};

std::string marker_path(target which) { return wine_prefix(which) + "/isp2313-ports-mapped"; }

// Held while a prefix is made or its links restored: one maker at a time, whoever runs it
// (a ctest pass, a second ctest in the same build tree, port_bench). Released when closed.
int lock_prefix(target which)
{
    std::string path = wine_prefix(which) + ".lock";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0)
        while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    return fd;
}

// wine's device manager deletes every dosdevices/comN link at the start of each wine session
// and makes them again from the registry. An emulated session that dies in between leaves the
// prefix without them, and the next program finds no COM1 until a session makes them again:
// the links are made here before each run. The registry itself must still hold the mapping.
std::string restore_port_links(target which)
{
    std::string prefix = wine_prefix(which);
    std::string registry = read_text(prefix + "/system.reg");
    for (const char* port : mapped_ports)
        if (registry.find(std::string("\"") + port + "\"=\"" + E2E_PORT1 + "\"") == std::string::npos)
            return std::string("the wine prefix's registry has no ") + port + " for " + E2E_PORT1;
    for (const char* port : mapped_ports) {
        std::string link = prefix + "/dosdevices/";
        for (const char* c = port; *c != '\0'; ++c)
            link += static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
        char target_path[256] = {};
        ssize_t length = readlink(link.c_str(), target_path, sizeof target_path - 1);
        if (length > 0 && std::string(target_path, static_cast<std::size_t>(length)) == E2E_PORT1)
            continue;
        unlink(link.c_str());
        if (symlink(E2E_PORT1, link.c_str()) != 0)
            return "cannot link " + link + " to " + E2E_PORT1 + ": " + std::strerror(errno);
    }
    return "";
}

bool port_links_present(target which)
{
    struct stat info {};
    return lstat((wine_prefix(which) + "/dosdevices/com1").c_str(), &info) == 0;
}

// Makes the prefix in the guard, one step after the other, each step's wine session ended
// before the next. wineboot first: it makes the prefix and waits for wine's first-time setup
// to finish, which would otherwise still write the registry while the mapping goes in.
std::string make_prefix(target which, const std::string& dir)
{
    pty_port pty;
    std::string error = open_pty(pty);
    std::string harmless = dir + "/not-a-port";
    write_file(harmless, {});
    guard_report* r = new_report();
    if (r == nullptr)
        error = "no memory for the guard's report";
    if (error.empty()) {
        std::vector<std::string> env = wine_environment(which);
        std::string loader = wine_loader(which);
        std::string key = "HKLM\\Software\\Wine\\Ports";
        std::vector<std::vector<std::string>> steps = {
            {loader, "wineboot", "--init"},
            {loader, "reg", "add", key, "/v", "COM1", "/t", "REG_SZ", "/d", E2E_PORT1, "/f"},
            {loader, "reg", "add", key, "/v", "COM2", "/t", "REG_SZ", "/d", "", "/f"},
            {loader, "reg", "add", key, "/v", "COM12", "/t", "REG_SZ", "/d", E2E_PORT1, "/f"},
        };
        run_guarded(pty, harmless, *r, [&](guard_report& g) {
            int n = 0;
            for (const std::vector<std::string>& step : steps) {
                std::string stem = dir + "/step" + std::to_string(n++);
                process p = spawn(step, env, dir, stem + ".out", stem + ".err");
                std::uint64_t wall = 0;
                int status = finish(p, 600, wall);
                std::string what = step[1] + (step.size() > 5 ? " " + step[5] : "");
                if (status != 0) {
                    report(g, "creating the wine prefix: " + step[0] + " " + what + " gave " + std::to_string(status)
                                  + ": " + read_text(stem + ".out") + read_text(stem + ".err"));
                    break;
                }
                // Every process of the session ended, the registry saved.
                stop_wine_server(which, env, dir, g);
                if (g.message[0] != '\0')
                    break;
            }
        });
        error = r->message;
    }
    if (r != nullptr)
        munmap(r, sizeof(guard_report));
    if (pty.master >= 0)
        close(pty.master);
    return error;
}

} // namespace

std::string prepare_wine(target which)
{
    int lock = lock_prefix(which);
    if (lock < 0)
        return "cannot lock " + wine_prefix(which) + ".lock: " + std::strerror(errno);
    std::string error;
    if (exists(marker_path(which)))
        error = restore_port_links(which);
    if (!exists(marker_path(which)) || !error.empty()) {
        remove_tree(wine_prefix(which));
        std::string dir = make_scratch_dir("wineprefix");
        error = make_prefix(which, dir);
        if (error.empty())
            error = restore_port_links(which);
        if (error.empty()) {
            write_file(marker_path(which), {});
            remove_tree(dir);
        } else {
            error += " (the steps' output is in " + dir + ")";
        }
    }
    close(lock);
    return error;
}

namespace {

// The line of TEXT that holds one of WORDS, or empty.
std::string line_with(const std::string& text, std::initializer_list<const char*> words)
{
    for (const char* word : words) {
        std::size_t at = text.find(word);
        if (at == std::string::npos)
            continue;
        std::size_t start = text.rfind('\n', at), end = text.find('\n', at);
        start = start == std::string::npos ? 0 : start + 1;
        return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    }
    return "";
}

// Why a run failed by the emulator's or wine's own doing rather than the program's, or empty.
// Every process of a wine session writes to the program's standard error, and under qemu
// some of wine's own die at many a session's end ("uncaught target signal", "wine client
// error") while the run went right: those words count only when the program's process ended
// as the program never ends (killed by a signal, or an exit status other than its 0 and 33;
// not a time-out, which may be the program's). Or: a server that hung, or a session that
// died before it made the COM links again.
std::string emulator_failure(target which, const port_result& result)
{
    for (const program_result* program : {&result.first, &result.second}) {
        bool own_end = program->status == 0 || program->status == 33 || program->status == -2
                       || program->status >= 126;
        std::string words = line_with(program->err, {"uncaught target signal", "wine: Assertion failed",
                                                     "wine client error"});
        if (!own_end && !words.empty())
            return "exit status " + std::to_string(program->status) + ", " + words;
    }
    std::string words = line_with(result.failure, {"did not stop by itself"});
    if (!words.empty())
        return words;
    if (!port_links_present(which))
        return "the session ended without making the COM links again";
    return "";
}

port_result run_once(const port_run& run);

} // namespace

// On emulated wine only, a run that emulator_failure names runs once more; the reason goes
// to standard output and to E2E_WORK_DIR/reruns.log, which scripts/test.sh shows.
port_result run_on_port(const port_run& run)
{
    port_result result = run_once(run);
    if (run.which != target::wine32)
        return result;
    std::string why = emulator_failure(run.which, result);
    if (why.empty())
        return result;
    std::string line = "e2e: " + e2e_case_name + ": the emulator failed, not the program (" + why
                     + "): the run is made once more\n";
    std::fputs(line.c_str(), stdout);
    std::FILE* log = std::fopen((std::string(E2E_WORK_DIR) + "/reruns.log").c_str(), "a");
    if (log != nullptr) {
        std::fputs(line.c_str(), log);
        std::fclose(log);
    }
    return run_once(run);
}

namespace {

port_result run_once(const port_run& run)
{
    port_result result;
    pty_port pty;
    result.failure = open_pty(pty);
    std::string state_path = run.dir + "/port-state";
    std::string harmless = run.dir + "/not-a-port";
    write_file(harmless, {});
    if (result.failure.empty() && run.port_for_dialout) {
        const group* dialout = getgrnam("dialout");
        if (dialout == nullptr || chown(pty.slave.c_str(), 65534, dialout->gr_gid) != 0 || chmod(pty.slave.c_str(), 0660) != 0)
            result.failure = "cannot give " + pty.slave + " to nobody and group dialout";
    }
    if (result.failure.empty() && run.which == target::linux_ftdi)
        result.failure = make_usb_view(run.dir, pty.rdev, run.usb_chip, run.usb_tty_channel);
    if (result.failure.empty() && is_wine(run.which)) {
        int lock = lock_prefix(run.which);
        result.failure = restore_port_links(run.which);
        close(lock);
    }
    port_state* state = result.failure.empty() ? create_state(state_path, run.trace_capacity) : nullptr;
    guard_report* r = new_report();
    if (result.failure.empty() && (state == nullptr || r == nullptr))
        result.failure = "cannot create the state file " + state_path;
    if (!result.failure.empty()) {
        if (pty.master >= 0)
            close(pty.master);
        return result;
    }

    chip_new(run.part);
    chip.present = run.chip_present;
    shared_chip_save(state->chip);

    bool wine = is_wine(run.which);
    std::vector<std::string> env = wine ? wine_environment(run.which) : inherited_environment();
    std::string preload = E2E_FAKEPORT64;
    if (run.which == target::wine32)
        preload += std::string(" ") + E2E_FAKEPORT32;
    if (run.program != "isp2313-sim")
        env.push_back("LD_PRELOAD=" + preload);
    // A sanitized build's runtime would refuse to start behind the preload.
    env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
    env.push_back("FAKEPORT_STATE=" + state_path);
    env.push_back("FAKEPORT_RDEV=" + std::to_string(static_cast<unsigned long long>(pty.rdev)));
    if (run.fail_from != 0)
        env.push_back("FAKEPORT_FAIL_FROM=" + std::to_string(run.fail_from));
    env.push_back("FAKEPORT_DSR_LAG_NS=" + std::to_string(run.dsr_lag_ns));
    env.push_back("FAKEPORT_DSR_POLLED_NS=" + std::to_string(run.dsr_polled_ns));
    bool ftdi = run.which == target::linux_ftdi;
    if (ftdi) {
        for (std::string& var : env)
            if (var.rfind("LD_PRELOAD=", 0) == 0)
                var = std::string("LD_PRELOAD=") + E2E_FAKEUSB64;
        bool named = std::any_of(run.environment.begin(), run.environment.end(),
                                 [](const std::string& var) { return var.rfind("ISP2313_PORT1=", 0) == 0; });
        if (!named)
            env.push_back("ISP2313_PORT1=ftdi");
        if (run.usb_fail_from != 0)
            env.push_back("FAKEUSB_FAIL_FROM=" + std::to_string(run.usb_fail_from));
        if (run.usb_refused)
            env.push_back("FAKEUSB_REFUSE=1");
        if (run.usb_busy)
            env.push_back("FAKEUSB_BUSY=1");
        if (run.usb_second)
            env.push_back("FAKEUSB_SECOND=1");
        if (!run.usb_chip.empty())
            env.push_back("FAKEUSB_CHIP=" + run.usb_chip);
    }
    env.insert(env.end(), run.environment.begin(), run.environment.end());
    std::vector<std::string> argv = program_argv(run);
    const std::string& dir = run.dir;

    run_guarded(pty, harmless, *r, [&](guard_report& g) {
        // A server left from an earlier, interrupted run would still see that run's pty.
        if (wine) {
            process stale = spawn({E2E_WINESERVER, "-k"}, env, dir, "/dev/null", "/dev/null");
            std::uint64_t ignored = 0;
            finish(stale, 30, ignored);
        }
        // Held as isp2313 holds it: a lock, and the tty in exclusive mode.
        int holder = -1;
        if (run.held_by_other) {
            holder = open(E2E_PORT1, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            if (holder < 0 || flock(holder, LOCK_EX | LOCK_NB) != 0 || ioctl(holder, TIOCEXCL) != 0)
                report(g, std::string("cannot hold the port: ") + std::strerror(errno));
        }
        pid_t tty_holder = run.tty_held ? hold_tty(dir + "/ttyUSB0") : -1;
        process first = spawn(argv, env, dir, dir + "/first.out", dir + "/first.err", run.ordinary_user);
        if (run.interrupt_signal != 0) {
            std::uint64_t deadline = monotonic_ns() + static_cast<std::uint64_t>(run.timeout_s) * 1000000000u;
            while (state->chip.executed < run.interrupt_after_executed && !exited(first, 1) && monotonic_ns() < deadline) {
            }
            g.interrupt_ns = monotonic_ns();
            kill(first.pid, run.interrupt_signal);
        }
        if (run.second_while_held) {
            // The second run starts once the first has the chip in programming mode.
            std::uint64_t deadline = monotonic_ns() + static_cast<std::uint64_t>(run.timeout_s) * 1000000000u;
            while (state->chip.programming_enables == 0 && !exited(first, 2) && monotonic_ns() < deadline) {
            }
            if (state->chip.programming_enables == 0)
                report(g, "the first run never entered programming mode");
            process second = spawn(argv, env, dir, dir + "/second.out", dir + "/second.err", run.ordinary_user);
            g.status[1] = finish(second, run.timeout_s, g.wall_ns[1], &g.end_ns[1], &g.cpu_ns[1]);
        }
        g.status[0] = finish(first, run.timeout_s, g.wall_ns[0], &g.end_ns[0], &g.cpu_ns[0]);
        g.holder_kept_tty = release_tty(tty_holder, pty.rdev);
        if (holder >= 0) {
            ioctl(holder, TIOCNXCL);
            close(holder);
        }
        if (wine)
            stop_wine_server(run.which, env, dir, g);
    }, ftdi ? run.dir : "");
    result.failure = r->message;
    result.interrupt_ns = r->interrupt_ns;
    result.holder_kept_tty = r->holder_kept_tty;
    fill_program(result.first, *r, 0, dir, "first");
    if (run.second_while_held)
        fill_program(result.second, *r, 1, dir, "second");
    copy_result(state, result);
    if (run.trace_capacity > 0)
        write_text(dir + "/trace.txt", trace_text(result.trace));
    munmap(state, port_state_bytes(run.trace_capacity));
    munmap(r, sizeof(guard_report));
    close(pty.master);
    return result;
}

} // namespace
