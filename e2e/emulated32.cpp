// Test infrastructure for a kernel that runs no 32-bit programs: wine's i386 side then runs
// under qemu's user-mode emulator, and this library, preloaded into each emulated process,
// covers the two places where that differs from a real kernel for wine.
//  - qemu takes MAP_FIXED_NOREPLACE for a mere hint and maps elsewhere when the range is taken.
//    wine then keeps mappings it never asked for and fails to place its shared user data at
//    0x7ffe0000. Here the range is either mapped where asked or the call fails with EEXIST.
//  - the emulated wine starts its other 32-bit processes (wineboot, services) by exec, which
//    the kernel refuses (ENOEXEC); such an exec goes through the emulator instead.
// With E2E_EMULATE32=1 in the environment every 32-bit program goes through the emulator,
// as on a kernel without ia32 emulation, even where the kernel would run it.
// Built 32-bit only, with the emulator's path compiled in (E2E_QEMU_I386).
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern char** environ;

namespace {

constexpr int fixed_noreplace = 0x100000;

void* map(void* address, std::size_t length, int protection, int flags, int fd, std::uint64_t offset)
{
    bool exact = (flags & fixed_noreplace) != 0 && (flags & MAP_FIXED) == 0;
    flags &= ~fixed_noreplace;
    if ((offset & 4095u) != 0) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    long result = syscall(SYS_mmap2, address, length, protection, flags, fd, static_cast<unsigned long>(offset >> 12));
    void* mapped = reinterpret_cast<void*>(result);
    if (mapped != MAP_FAILED && exact && mapped != address) {
        syscall(SYS_munmap, mapped, length);
        errno = EEXIST;
        return MAP_FAILED;
    }
    return mapped;
}

bool forced_32bit(const char* path)
{
    if (std::getenv("E2E_EMULATE32") == nullptr || E2E_QEMU_I386[0] == '\0')
        return false;
    unsigned char header[5] = {};
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    bool elf32 = fd >= 0 && read(fd, header, sizeof header) == sizeof header
                 && std::memcmp(header, "\177ELF", 4) == 0 && header[4] == 1;
    if (fd >= 0)
        close(fd);
    return elf32;
}

int emulated_exec(const char* path, char* const argv[], char* const envp[])
{
    if (!forced_32bit(path)) {
        long result = syscall(SYS_execve, path, argv, envp);
        if (result == 0 || errno != ENOEXEC || E2E_QEMU_I386[0] == '\0')
            return static_cast<int>(result);
    }
    // qemu's -0 keeps the program's own argv[0].
    std::vector<const char*> args = {E2E_QEMU_I386, "-0", argv[0] != nullptr ? argv[0] : path, path};
    if (argv[0] != nullptr)
        for (char* const* arg = argv + 1; *arg != nullptr; ++arg)
            args.push_back(*arg);
    args.push_back(nullptr);
    syscall(SYS_execve, E2E_QEMU_I386, args.data(), envp);
    errno = ENOEXEC;
    return -1;
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) void* mmap(void* address, std::size_t length, int protection, int flags,
                                                  int fd, off_t offset)
{
    return map(address, length, protection, flags, fd, static_cast<std::uint32_t>(offset));
}

__attribute__((visibility("default"))) void* mmap64(void* address, std::size_t length, int protection, int flags,
                                                    int fd, off64_t offset)
{
    return map(address, length, protection, flags, fd, static_cast<std::uint64_t>(offset));
}

__attribute__((visibility("default"))) int execve(const char* path, char* const argv[], char* const envp[])
{
    return emulated_exec(path, argv, envp);
}

__attribute__((visibility("default"))) int execv(const char* path, char* const argv[])
{
    return emulated_exec(path, argv, environ);
}

__attribute__((visibility("default"))) int execvp(const char* file, char* const argv[])
{
    if (std::strchr(file, '/') != nullptr)
        return emulated_exec(file, argv, environ);
    using execvp_fn = int (*)(const char*, char* const[]);
    auto next = reinterpret_cast<execvp_fn>(dlsym(RTLD_NEXT, "execvp"));
    if (next == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    return next(file, argv);
}

} // extern "C"
