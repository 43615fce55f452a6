#include "src/core/file_io.h"

#include <QString>

#include <windows.h>
#include <shellapi.h>

#include <csignal>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>

FILE* open_file(const std::string& utf8_path, const char* mode)
{
    const std::wstring wide_path = QString::fromStdString(utf8_path).toStdWString();
    const std::wstring wide_mode = QString::fromLatin1(mode).toStdWString();
    return _wfopen(wide_path.c_str(), wide_mode.c_str());
}

FILE* open_file_shared_reading(const std::string& utf8_path)
{
    // The C library's own open withholds FILE_SHARE_DELETE, which a rename of the file needs.
    const std::wstring wide_path = QString::fromStdString(utf8_path).toStdWString();
    HANDLE file = CreateFileW(wide_path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDONLY | _O_BINARY);
    if (descriptor < 0) {
        CloseHandle(file);
        return nullptr;
    }
    FILE* stream = _fdopen(descriptor, "rb");
    if (!stream)
        _close(descriptor);
    return stream;
}

int64_t file_tell(FILE* stream)
{
    return _ftelli64(stream);
}

int file_seek(FILE* stream, int64_t offset, int whence)
{
    return _fseeki64(stream, offset, whence);
}

bool flush_to_disk(const std::string& utf8_path)
{
    // FlushFileBuffers, which _commit calls, needs a handle opened for writing.
    FILE* stream = open_file(utf8_path, "r+b");
    if (!stream)
        return false;
    const bool flushed = std::fflush(stream) == 0 && _commit(_fileno(stream)) == 0;
    return std::fclose(stream) == 0 && flushed;
}

bool flush_folder(const std::string&)
{
    return true; // NTFS journals its directory changes itself
}

bool replace_file(const std::string& from, const std::string& to)
{
    const std::wstring wide_from = QString::fromStdString(from).toStdWString();
    const std::wstring wide_to = QString::fromStdString(to).toStdWString();
    return MoveFileExW(wide_from.c_str(), wide_to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool stream_is_terminal(FILE* stream)
{
    return _isatty(_fileno(stream)) != 0;
}

bool stream_redraws_in_place(FILE* stream)
{
    // Left as it is, the console prints the sequences as text ("<-[3A<-[2K"); one that cannot act
    // on them (NUL, Windows before 10) gets plain lines.
    const HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    return stream_is_terminal(stream) && console != INVALID_HANDLE_VALUE && GetConsoleMode(console, &mode)
        && ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING)
            || SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING));
}

std::vector<std::string> command_line_arguments(int argc, char** argv)
{
    // argv is in the ANSI code page, which lacks most characters a folder's name may hold ("Łódź"
    // on a western Windows): the wide command line has them all, and Qt reads its arguments there too.
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide)
        return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i)
        arguments.push_back(QString::fromWCharArray(wide[i]).toStdString());
    LocalFree(wide);
    return arguments;
}

int terminal_columns(FILE* stream)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    const HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    if (console == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(console, &info))
        return 80;
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    return columns > 0 ? columns : 80;
}

bool process_is_running(long long pid)
{
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (!process)
        return GetLastError() == ERROR_ACCESS_DENIED; // there, but not ours to look at
    DWORD code = 0;
    const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    CloseHandle(process);
    return running;
}

int terminal_rows(FILE* stream)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    const HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    if (console == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(console, &info))
        return 24;
    const int rows = info.srWindow.Bottom - info.srWindow.Top + 1;
    return rows > 0 ? rows : 24;
}

void catch_stop_signals(void (*handler)(int))
{
    std::signal(SIGINT, handler);
    std::signal(SIGTERM, handler);
}
