#include "src/core/permission_manager.h"
#include "src/core/permission_manager_linux.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

std::string root_rights_hint(const std::string& executable)
{
    return "KELVRA Flash Tool needs root rights to write USB drives. Start it with root rights, for example: sudo "
        + executable;
}

std::string refused(const std::string& executable)
{
    const std::string hint = root_rights_hint(executable);
    std::fprintf(stderr, "%s\n", hint.c_str());
    return hint;
}

std::string own_executable(const std::string& fallback)
{
    char buffer[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0)
        return fallback;
    return std::string(buffer, static_cast<size_t>(length));
}

} // namespace

elevation elevation_command(const std::string& executable, const std::string& working_folder,
                            const std::string& policy_program, const std::function<const char*(const char*)>& get_env,
                            const std::function<bool(const std::string&)>& file_exists)
{
    // Without XAUTHORITY, X clients look in the caller's home; root's home is another one.
    std::string xauthority;
    const char* home = get_env("HOME");
    const char* set_xauthority = get_env("XAUTHORITY");
    if ((!set_xauthority || !*set_xauthority) && home && *home && file_exists(std::string(home) + "/.Xauthority"))
        xauthority = std::string("XAUTHORITY=") + home + "/.Xauthority";

    elevation result;
    if (!executable.empty() && executable == policy_program) {
        // pkexec hands DISPLAY and XAUTHORITY of its own environment on to an action that allows
        // a GUI; a Wayland session is reached through its X server.
        result.command = {"pkexec", executable, working_folder};
        if (!xauthority.empty())
            result.environment.push_back(xauthority);
        return result;
    }
    result.command = {"pkexec", "env"};
    for (const char* name : {"DISPLAY", "XAUTHORITY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR"}) {
        const char* value = get_env(name);
        if (value && *value)
            result.command.push_back(std::string(name) + "=" + value);
    }
    if (!xauthority.empty())
        result.command.push_back(xauthority);
    result.command.push_back(executable);
    result.command.push_back(working_folder);
    return result;
}

std::string policy_program(const std::string& policy_text)
{
    const std::string key = "\"org.freedesktop.policykit.exec.path\"";
    const size_t annotation = policy_text.find(key);
    if (annotation == std::string::npos)
        return std::string();
    const size_t open = policy_text.find('>', annotation + key.size());
    if (open == std::string::npos)
        return std::string();
    const size_t close = policy_text.find('<', open + 1);
    if (close == std::string::npos)
        return std::string();
    const std::string value = policy_text.substr(open + 1, close - open - 1);
    const size_t first = value.find_first_not_of(" \t\r\n");
    const size_t last = value.find_last_not_of(" \t\r\n");
    return first == std::string::npos ? std::string() : value.substr(first, last - first + 1);
}

class permission_manager::impl {
};

permission_manager::permission_manager() : m_impl(std::make_shared<impl>()) {}

bool permission_manager::has_permissions()
{
    return geteuid() == 0;
}

std::string permission_manager::request_permissions(const std::string& executable_path,
                                                    const std::string& working_folder)
{
    const std::string executable = own_executable(executable_path);
    std::ifstream policy_file(polkit_action_file);
    const std::string policy_text((std::istreambuf_iterator<char>(policy_file)), std::istreambuf_iterator<char>());
    const elevation how = elevation_command(
        executable, working_folder, policy_program(policy_text), [](const char* name) { return std::getenv(name); },
        [](const std::string& path) {
            struct stat info;
            return stat(path.c_str(), &info) == 0;
        });

    std::vector<char*> argv;
    for (const std::string& part : how.command)
        argv.push_back(const_cast<char*>(part.c_str()));
    argv.push_back(nullptr);
    // The caller's environment with the additions in place of variables of the same name.
    std::vector<char*> envp;
    for (char** variable = environ; *variable; ++variable) {
        const std::string entry(*variable);
        const bool replaced =
            std::any_of(how.environment.begin(), how.environment.end(), [&](const std::string& added) {
                return entry.compare(0, added.find('=') + 1, added, 0, added.find('=') + 1) == 0;
            });
        if (!replaced)
            envp.push_back(*variable);
    }
    for (const std::string& added : how.environment)
        envp.push_back(const_cast<char*>(added.c_str()));
    envp.push_back(nullptr);

    pid_t child = 0;
    if (posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0)
        return refused(executable);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    // 126: the user dismissed the password dialog; 127: not authorised or no polkit agent.
    if (WIFEXITED(status) && (WEXITSTATUS(status) == 126 || WEXITSTATUS(status) == 127))
        return refused(executable);
    return std::string();
}
