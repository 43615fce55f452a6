#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// C streams with 64-bit positions and UTF-8 paths on every platform: disk images are several
// GiB and user profiles may hold any characters.
FILE* open_file(const std::string& utf8_path, const char* mode);
int64_t file_tell(FILE* stream);
int file_seek(FILE* stream, int64_t offset, int whence);

// Whether the stream is an interactive terminal.
bool stream_is_terminal(FILE* stream);
