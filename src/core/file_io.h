#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// C streams with 64-bit positions and UTF-8 paths on every platform: disk images are several
// GiB and user profiles may hold any characters.
FILE* open_file(const std::string& utf8_path, const char* mode);
// Opens for reading and lets others rename or remove the file meanwhile: a reader that follows an
// image while it is being made must not keep that image from being published.
FILE* open_file_shared_reading(const std::string& utf8_path);
int64_t file_tell(FILE* stream);
int file_seek(FILE* stream, int64_t offset, int whence);

// Pushes a file's contents (not only the C library's buffer) to the disk, so that a power cut
// after a rename that publishes it cannot leave a complete-looking but empty file.
bool flush_to_disk(const std::string& utf8_path);
// Makes the renames and removals inside a folder durable (a no-op where the system does it).
bool flush_folder(const std::string& utf8_path);

// Renames from over to, replacing a file of that name in one step.
bool replace_file(const std::string& from, const std::string& to);

// Ctrl-C and termination call handler, and interrupt a blocking read (a question at the terminal)
// instead of resuming it; a closed output pipe is an error on write, not the end of the process.
void catch_stop_signals(void (*handler)(int));

// Whether a process of that id is running (temporaries carry their run's process id).
bool process_is_running(long long pid);

// Whether the stream is an interactive terminal.
bool stream_is_terminal(FILE* stream);
// Whether lines written to the stream can be redrawn in place with escape sequences: a terminal that
// acts on them, which a Windows console does only once it is told to (this tells it).
bool stream_redraws_in_place(FILE* stream);

// The program's arguments in UTF-8, its own name first, whatever characters they hold.
std::vector<std::string> command_line_arguments(int argc, char** argv);
// The width of the terminal the stream writes to, in columns; 80 when it cannot be told.
int terminal_columns(FILE* stream);
// Its height, in rows; 24 when it cannot be told.
int terminal_rows(FILE* stream);
