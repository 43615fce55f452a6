#include "src/core/file_io.h"

#include <sys/types.h>
#include <unistd.h>

static_assert(sizeof(off_t) == 8, "large file support is required");

FILE* open_file(const std::string& utf8_path, const char* mode)
{
    return std::fopen(utf8_path.c_str(), mode);
}

int64_t file_tell(FILE* stream)
{
    return static_cast<int64_t>(ftello(stream));
}

int file_seek(FILE* stream, int64_t offset, int whence)
{
    return fseeko(stream, static_cast<off_t>(offset), whence);
}

bool stream_is_terminal(FILE* stream)
{
    return isatty(fileno(stream)) != 0;
}
