#pragma once

#include <memory>
#include <string>

// Whether the process may open raw disks, and how to get there when it may not.
class permission_manager {
public:
    permission_manager();

    bool has_permissions();

    // Starts the program again with the needed rights; the caller ends afterwards. The working
    // folder is handed on so that the elevated run keeps the invoking user's files. Returns ""
    // when the program ran with the rights, otherwise why it could not (also on standard error).
    std::string request_permissions(const std::string& executable_path, const std::string& working_folder);

    class impl;

private:
    std::shared_ptr<impl> m_impl;
};
