#include "src/core/file_io.h"

#include <QString>

#include <io.h>
#include <stdio.h>

FILE* open_file(const std::string& utf8_path, const char* mode)
{
    const std::wstring wide_path = QString::fromStdString(utf8_path).toStdWString();
    const std::wstring wide_mode = QString::fromLatin1(mode).toStdWString();
    return _wfopen(wide_path.c_str(), wide_mode.c_str());
}

int64_t file_tell(FILE* stream)
{
    return _ftelli64(stream);
}

int file_seek(FILE* stream, int64_t offset, int whence)
{
    return _fseeki64(stream, offset, whence);
}

bool stream_is_terminal(FILE* stream)
{
    return _isatty(_fileno(stream)) != 0;
}
