// Image files on POSIX systems: regular files only, opened without blocking, 64-bit sizes.
#define _FILE_OFFSET_BITS 64
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include "line/os.h"

// O_NONBLOCK keeps a FIFO without a writer from hanging the open; once fstat shows a
// regular file the flag is dropped again.
std::FILE* os_open_regular_file(const char* path)
{
    int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return nullptr;
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        return nullptr;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    std::FILE* stream = fdopen(fd, "rb");
    if (stream == nullptr)
        close(fd);
    return stream;
}

std::int64_t os_file_tell(std::FILE* stream)
{
    return static_cast<std::int64_t>(ftello(stream));
}

bool os_file_seek(std::FILE* stream, std::int64_t offset, int whence)
{
    return fseeko(stream, static_cast<off_t>(offset), whence) == 0;
}
