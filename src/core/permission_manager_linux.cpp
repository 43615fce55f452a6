#include "src/core/permission_manager.h"
#include "src/core/permission_manager_linux.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

const char* const root_rights_hint =
    "KELVRA Flash Tool needs root rights to write USB drives. Start it with root rights, "
    "for example: sudo %s\n";

std::string own_executable(const std::string& fallback)
{
    char buffer[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0)
        return fallback;
    return std::string(buffer, static_cast<size_t>(length));
}

} // namespace

std::vector<std::string> elevation_command(const std::string& executable, const std::string& working_folder,
                                           const std::function<const char*(const char*)>& get_env,
                                           const std::function<bool(const std::string&)>& file_exists)
{
    std::vector<std::string> command = {"pkexec", "env"};
    for (const char* name : {"DISPLAY", "XAUTHORITY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR"}) {
        const char* value = get_env(name);
        if (value && *value)
            command.push_back(std::string(name) + "=" + value);
    }
    // Without XAUTHORITY, X clients look in the caller's home; root's home is another one.
    const char* home = get_env("HOME");
    const char* xauthority = get_env("XAUTHORITY");
    if ((!xauthority || !*xauthority) && home && *home && file_exists(std::string(home) + "/.Xauthority"))
        command.push_back(std::string("XAUTHORITY=") + home + "/.Xauthority");
    command.push_back(executable);
    command.push_back(working_folder);
    return command;
}

class permission_manager::impl {
};

permission_manager::permission_manager() : m_impl(std::make_shared<impl>()) {}

bool permission_manager::has_permissions()
{
    return geteuid() == 0;
}

void permission_manager::request_permissions(const std::string& executable_path, const std::string& working_folder)
{
    const std::string executable = own_executable(executable_path);
    const std::vector<std::string> command = elevation_command(
        executable, working_folder, [](const char* name) { return std::getenv(name); },
        [](const std::string& path) {
            struct stat info;
            return stat(path.c_str(), &info) == 0;
        });

    std::vector<char*> argv;
    for (const std::string& part : command)
        argv.push_back(const_cast<char*>(part.c_str()));
    argv.push_back(nullptr);

    pid_t child = 0;
    if (posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        std::fprintf(stderr, root_rights_hint, executable.c_str());
        return;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    // 126: the user dismissed the password dialog; 127: not authorised or no polkit agent.
    if (WIFEXITED(status) && (WEXITSTATUS(status) == 126 || WEXITSTATUS(status) == 127))
        std::fprintf(stderr, root_rights_hint, executable.c_str());
}
