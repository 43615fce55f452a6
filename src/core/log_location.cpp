#include "src/core/log_location.h"

#include <algorithm>

std::string log_location(const char* file, int line, const char* function)
{
    std::string path(file ? file : "");
    std::replace(path.begin(), path.end(), '\\', '/');

    std::string root(KELVRA_SOURCE_ROOT);
    std::replace(root.begin(), root.end(), '\\', '/');
    if (!root.empty() && path.compare(0, root.size(), root) == 0)
        path.erase(0, root.size());
    else if (const auto slash = path.rfind('/'); slash != std::string::npos)
        path.erase(0, slash + 1); // built elsewhere: the bare file name is still useful

    const auto dot = path.rfind('.');
    if (dot != std::string::npos && path.find('/', dot) == std::string::npos)
        path.erase(dot);

    std::ostringstream out;
    out << '[' << path << ':' << line << "] [" << (function ? function : "") << "] ";
    return out.str();
}
