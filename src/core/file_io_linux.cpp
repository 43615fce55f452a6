#include "src/core/file_io.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/types.h>
#include <unistd.h>

static_assert(sizeof(off_t) == 8, "large file support is required");

FILE* open_file(const std::string& utf8_path, const char* mode)
{
    return std::fopen(utf8_path.c_str(), mode);
}

FILE* open_file_shared_reading(const std::string& utf8_path)
{
    return std::fopen(utf8_path.c_str(), "rb"); // renames and removals never wait for readers here
}

int64_t file_tell(FILE* stream)
{
    return static_cast<int64_t>(ftello(stream));
}

int file_seek(FILE* stream, int64_t offset, int whence)
{
    return fseeko(stream, static_cast<off_t>(offset), whence);
}

namespace {

bool sync_path(const std::string& utf8_path, int flags)
{
    const int descriptor = ::open(utf8_path.c_str(), flags | O_CLOEXEC);
    if (descriptor < 0)
        return false;
    const bool synced = ::fsync(descriptor) == 0;
    return ::close(descriptor) == 0 && synced;
}

} // namespace

bool flush_to_disk(const std::string& utf8_path)
{
    return sync_path(utf8_path, O_RDONLY);
}

bool flush_folder(const std::string& utf8_path)
{
    return sync_path(utf8_path, O_RDONLY | O_DIRECTORY);
}

bool replace_file(const std::string& from, const std::string& to)
{
    return std::rename(from.c_str(), to.c_str()) == 0;
}

bool stream_is_terminal(FILE* stream)
{
    return isatty(fileno(stream)) != 0;
}

int terminal_columns(FILE* stream)
{
    winsize size{};
    return ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}

bool process_is_running(long long pid)
{
    return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

int terminal_rows(FILE* stream)
{
    winsize size{};
    return ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_row > 0 ? size.ws_row : 24;
}

void catch_stop_signals(void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

bool stream_redraws_in_place(FILE* stream)
{
    return stream_is_terminal(stream);
}

std::vector<std::string> command_line_arguments(int argc, char** argv)
{
    return std::vector<std::string>(argv, argv + argc); // bytes as given: paths need no conversion here
}
