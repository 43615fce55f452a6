#pragma once

#include <functional>
#include <string>
#include <vector>

// Where polkit reads its actions, and the file of this program's action.
constexpr const char* polkit_action_file = "/usr/share/polkit-1/actions/io.kelvra.flash-tool.policy";

// How to start the program again as root through polkit: the command, and what pkexec itself
// needs in its environment (NAME=value, on top of the caller's).
struct elevation {
    std::vector<std::string> command;
    std::vector<std::string> environment;
};

// When the installed action names this executable (policy_program == executable), pkexec starts
// the program itself: its dialog names the program, and the action lets the GUI keep DISPLAY and
// XAUTHORITY. Otherwise (a build folder, another copy) pkexec starts env, which carries the
// variables a GUI needs to reach the user's display session (pkexec clears the environment).
elevation elevation_command(const std::string& executable, const std::string& working_folder,
                            const std::string& policy_program, const std::function<const char*(const char*)>& get_env,
                            const std::function<bool(const std::string&)>& file_exists);

// The program that a polkit action file's org.freedesktop.policykit.exec.path annotation names;
// "" when it names none.
std::string policy_program(const std::string& policy_text);
