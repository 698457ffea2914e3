// The sim tool's host services on Windows.
#include "tools/host.h"
#include <windows.h>
#include <io.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

const char host_path_separators[] = "/\\";

bool host_stdout_is_console()
{
    return _isatty(_fileno(stdout)) != 0;
}

// Windows knows no search permission on a directory: only whether it can be written.
bool host_can_write_in(const std::string& dir, std::string& error)
{
    if (_access(dir.c_str(), 2) == 0)
        return true;
    error = std::strerror(errno);
    return false;
}

void host_default_mode(int)
{
}

// The C library's rename refuses an existing target on Windows.
bool host_replace_file(const std::string& from, const std::string& to)
{
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    errno = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : EIO;
    return false;
}
