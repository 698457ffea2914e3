// Image files on Windows: regular files only, 64-bit sizes.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include "line/os.h"

static bool is_regular(int fd)
{
    struct _stat64 status {};
    return _fstat64(fd, &status) == 0 && (status.st_mode & _S_IFMT) == _S_IFREG;
}

std::FILE* os_open_regular_file(const char* path)
{
    int fd = _open(path, _O_RDONLY | _O_BINARY);
    if (fd < 0)
        return nullptr;
    if (!is_regular(fd)) {
        _close(fd);
        return nullptr;
    }
    std::FILE* stream = _fdopen(fd, "rb");
    if (stream == nullptr)
        _close(fd);
    return stream;
}

std::int64_t os_file_tell(std::FILE* stream)
{
    __int64 position = _ftelli64(stream);
    return position < 0 ? -1 : static_cast<std::int64_t>(position);
}

bool os_file_seek(std::FILE* stream, std::int64_t offset, int whence)
{
    return _fseeki64(stream, offset, whence) == 0;
}
