#pragma once

#include <functional>
#include <string>
#include <vector>

// The command that starts the program again as root through polkit, carrying the variables a
// GUI needs to reach the user's display session (pkexec clears the environment).
std::vector<std::string> elevation_command(const std::string& executable, const std::string& working_folder,
                                           const std::function<const char*(const char*)>& get_env,
                                           const std::function<bool(const std::string&)>& file_exists);
