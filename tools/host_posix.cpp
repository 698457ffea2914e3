// The sim tool's host services on POSIX systems.
#include "tools/host.h"
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

const char host_path_separators[] = "/";

bool host_stdout_is_console()
{
    return isatty(STDOUT_FILENO) != 0;
}

bool host_can_write_in(const std::string& dir, std::string& error)
{
    if (access(dir.c_str(), W_OK | X_OK) == 0)
        return true;
    error = std::strerror(errno);
    return false;
}

// mkstemp makes the file for its owner only; a state file is as readable as any other.
void host_default_mode(int fd)
{
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
}

bool host_replace_file(const std::string& from, const std::string& to)
{
    return std::rename(from.c_str(), to.c_str()) == 0;
}
